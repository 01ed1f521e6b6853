// service.hpp: the service messages that one decrypted body carries.
//
// A msg_container becomes its messages in order, gzip_packed is inflated
// wherever it stands (the body, a message of a container, an rpc_result's
// result), and an rpc_result's result is decoded by the result type of the
// method the caller says it sent; everything else decodes as one object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/type_name.hpp"
#include "protocol/service_layouts.hpp"

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

// Where an rpc_result's result type comes from: the caller's pending dict,
// or a session's own record of the requests it sent.
class ResultTypes {
 public:
  // The type the answer to req_msg_id decodes as: Object when none is known.
  virtual Result<codec::ValueType> of(std::int64_t req_msg_id) = 0;

 protected:
  ~ResultTypes() = default;
};

// One message unpack found, for a session to check and act on.
struct SeenMessage {
  std::int64_t msg_id;
  std::int32_t seq_no;
  bool in_container;        // a message of a msg_container, with an id of its own
  protocol::Effect effect;  // read from its body, inflated
};

struct UnpackOptions {
  ResultTypes* results;
  std::size_t max_inflated;
  PyObject* item_type = nullptr;             // a tuple subclass for the items, or null
  std::vector<SeenMessage>* seen = nullptr;  // filled when not null
};

// unpack_messages with the result types, the items' type and the record of
// what was seen given.
Result<py::Ref> unpack_with(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                            const UnpackOptions& options);

}  // namespace velmora::message
