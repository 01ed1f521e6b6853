// deserializer.hpp: TL bytes back to Python values under the current schema.
//
// One cursor runs over the caller's buffer, read in place. Identifiers the
// schema does not know become an unknown-constructor dict holding the rest of
// the input as hex; every read error is a ValueError with a fixed text.
#pragma once

#include <cstdint>
#include <span>

#include "module/result.hpp"
#include "py/py.hpp"

namespace velmora::tl {

// Decodes the object at the start of data; trailing bytes are ignored.
Result<py::Ref> deserialize(std::span<const std::uint8_t> data);

// Checks strict UTF-8. On failure returns false and sets *out_index to the
// offset of the bad sequence and *out_len to its length in bytes, or 0 when
// the data ends inside a sequence that could still have been valid.
bool check_utf8(const std::uint8_t* p, std::size_t n, std::size_t* out_index,
                std::size_t* out_len) noexcept;

}  // namespace velmora::tl
