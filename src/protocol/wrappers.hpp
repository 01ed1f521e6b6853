// wrappers.hpp: the protocol's wrapper methods (invokeWithLayer,
// initConnection, invokeAfterMsg, invokeAfterMsgs, invokeWithoutUpdates,
// invokeWithMessagesRange, invokeWithTakeout), which carry a query whose
// answer is the answer to the whole request.
//
// Their layouts are fixed, whatever the current schema holds: an answer is
// decoded by the innermost query's method, so the wrappers are skipped here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velmora::protocol {

// True for the identifier of a wrapper method.
bool is_wrapper(std::uint32_t cid) noexcept;

// The offset in body of the innermost query: 0 when body is no wrapper;
// nothing when a wrapper's fields run past the body or do not read.
std::optional<std::size_t> innermost_query(std::span<const std::uint8_t> body) noexcept;

}  // namespace velmora::protocol
