// service.hpp: the service messages that one decrypted body carries.
//
// A msg_container becomes its messages in order, gzip_packed is inflated
// wherever it stands (the body, a message of a container, an rpc_result's
// result), and an rpc_result's result is decoded by the result type of the
// method the caller says it sent; everything else decodes as one object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

inline constexpr std::uint32_t kMsgContainerId = 0x73f1f8dcu;
inline constexpr std::uint32_t kGzipPackedId = 0x3072cfa1u;
inline constexpr std::uint32_t kRpcResultId = 0xf35c6d01u;
inline constexpr std::uint32_t kRpcErrorId = 0x2144ca19u;

// A list of (msg_id, seq_no, obj) tuples, new. pending is a dict from
// req_msg_id to the name of the method sent, or null. Inflating stops with
// a ValueError once the call's inflated bytes would pass max_inflated.
Result<py::Ref> unpack_messages(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                                PyObject* pending, std::size_t max_inflated);

}  // namespace velmora::message
