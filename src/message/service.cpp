#include "message/service.hpp"

#include <deque>
#include <vector>

#include "codec/compiled.hpp"
#include "codec/deserializer.hpp"
#include "codec/messages.hpp"
#include "codec/type_name.hpp"
#include "message/messages.hpp"
#include "schema/schema.hpp"
#include "wire/endian.hpp"
#include "wire/gzip.hpp"
#include "wire/wire.hpp"

namespace velmora::message {
namespace {

using codec::CompiledSchema;
using codec::deserialize_value;
using codec::parse_type_name;
using codec::ValueType;
using wire::TypeKind;

using codec::msg::kBadBytesLen;
using codec::msg::kEof;
using namespace msg;

// The rpc_result dict's keys and its constructor's name, made once per process.
py::InternedText g_rpc_result{"rpc_result"};
py::InternedText g_req_msg_id{"req_msg_id"};
py::InternedText g_result{"result"};

std::uint32_t first_word(py::ByteView b) {
  return b.size() >= 4 ? wire::load_le<std::uint32_t>(b.data()) : 0;
}

class Unpacker {
 public:
  Unpacker(PyObject* pending, std::size_t max_inflated)
      : pending_(pending), budget_(max_inflated) {}

  Status message(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body, bool in_container,
                 bool inflated);
  py::Ref out_ = py::steal(PyList_New(0));

 private:
  Status container(py::ByteView body);
  Result<py::ByteView> inflate(py::ByteView packed);
  Result<py::Ref> rpc_result(py::ByteView body);
  Result<py::Ref> result_value(PyObject* req_msg_id, py::ByteView data, bool inflated);
  ValueType result_type(PyObject* req_msg_id);

  PyObject* pending_;
  // Taken at the first result read by a pending method's type, kept for the call.
  std::shared_ptr<const schema::Schema> schema_;
  std::size_t budget_;                          // inflated bytes still allowed
  std::deque<std::vector<std::uint8_t>> held_;  // inflated data, alive for the call
};

Result<py::ByteView> Unpacker::inflate(py::ByteView packed) {
  wire::Reader r(packed.subspan(4));
  std::span<const std::uint8_t> payload;
  switch (r.read_byte_string(payload)) {
    case wire::ReadStatus::kOk: break;
    case wire::ReadStatus::kEof: return Failure::value(kEof);
    case wire::ReadStatus::kBadLength: return Failure::value(kBadBytesLen);
  }
  std::vector<std::uint8_t>& out = held_.emplace_back();
  switch (wire::gzip_inflate(payload, budget_, &out)) {
    case wire::GzipStatus::kOk: break;
    case wire::GzipStatus::kTooLarge: return Failure::value(kTooLarge);
    case wire::GzipStatus::kCorrupt: return Failure::value(kCorrupt);
    case wire::GzipStatus::kNoMemory: return Failure::no_memory();
  }
  budget_ -= out.size();
  return py::ByteView(out);
}

Status Unpacker::message(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                         bool in_container, bool inflated) {
  const std::uint32_t id = first_word(body);
  if (body.size() < 4) return Failure::value(kEof);
  if (id == kGzipPackedId) {
    if (inflated) return Failure::value(kGzipInGzip);
    auto data = inflate(body);
    if (!data) return std::move(data).failure();
    return message(msg_id, seq_no, *data, in_container, true);
  }
  if (id == kMsgContainerId) {
    if (in_container) return Failure::value(kNested);
    return container(body);
  }
  Result<py::Ref> obj = id == kRpcResultId ? rpc_result(body) : [&]() -> Result<py::Ref> {
    std::size_t end = 0;
    return deserialize_value(body, 0, TypeKind::kObject, TypeKind::kInt, false, &end);
  }();
  if (!obj) return std::move(obj).failure();
  py::Ref item = py::steal(PyTuple_New(3));
  PyObject* id_obj = PyLong_FromLongLong(msg_id);
  PyObject* seq_obj = PyLong_FromLong(seq_no);
  if (!item || !id_obj || !seq_obj) {
    Py_XDECREF(id_obj);
    Py_XDECREF(seq_obj);
    return Failure::pending();
  }
  PyTuple_SetItem(item.get(), 0, id_obj);  // each SetItem steals its item
  PyTuple_SetItem(item.get(), 1, seq_obj);
  PyTuple_SetItem(item.get(), 2, (*obj).release());
  if (PyList_Append(out_.get(), item.get()) < 0) return Failure::pending();
  return Status::success();
}

Status Unpacker::container(py::ByteView body) {
  wire::Reader r(body.subspan(4));
  std::uint32_t count = 0;
  if (!r.read_u32(count)) return Failure::value(kEof);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t id = 0;
    std::uint32_t seq = 0, len = 0;
    if (!r.read_u64(id) || !r.read_u32(seq) || !r.read_u32(len)) return Failure::value(kPastContainer);
    const std::uint8_t* p = nullptr;
    if (!r.read_raw(len, p)) return Failure::value(kPastContainer);
    Status s = message(static_cast<std::int64_t>(id), static_cast<std::int32_t>(seq),
                       py::ByteView(p, len), true, false);
    if (!s) return s;
  }
  if (r.remaining() != 0) return Failure::value(kAfterLast);
  return Status::success();
}

Result<py::Ref> Unpacker::rpc_result(py::ByteView body) {
  wire::Reader r(body.subspan(4));
  std::uint64_t req = 0;
  if (!r.read_u64(req)) return Failure::value(kEof);
  const auto req_msg_id = static_cast<std::int64_t>(req);
  py::ByteView data = body.subspan(12);
  bool inflated = false;
  if (first_word(data) == kGzipPackedId) {
    auto unpacked = inflate(data);
    if (!unpacked) return std::move(unpacked).failure();
    data = *unpacked;
    inflated = true;
  }
  py::Ref id = py::steal(PyLong_FromLongLong(req_msg_id));
  if (!id) return Failure::pending();
  auto value = result_value(id.get(), data, inflated);
  if (!value) return value;
  PyObject* const underscore = codec::underscore_key.get();
  PyObject* const name = g_rpc_result.get();
  PyObject* const req_key = g_req_msg_id.get();
  PyObject* const result_key = g_result.get();
  py::Ref dict = py::steal(PyDict_New());
  if (!underscore || !name || !req_key || !result_key || !dict ||
      PyDict_SetItem(dict.get(), underscore, name) < 0 ||
      PyDict_SetItem(dict.get(), req_key, id.get()) < 0 ||
      PyDict_SetItem(dict.get(), result_key, value->get()) < 0) {
    return Failure::pending();
  }
  return dict;
}

Result<py::Ref> Unpacker::result_value(PyObject* req_msg_id, py::ByteView data, bool inflated) {
  ValueType wanted = result_type(req_msg_id);
  if (PyErr_Occurred()) return Failure::pending();
  const std::uint32_t id = first_word(data);
  // An error, or a result inflated already, is what it says it is.
  if (id == kRpcErrorId) wanted = ValueType{};
  if (id == kGzipPackedId && inflated) return Failure::value(kGzipInGzip);
  std::size_t end = 0;
  return deserialize_value(data, 0, wanted.kind, wanted.element, false, &end);
}

// The result type of the method pending_[req_msg_id] names; Object when
// there is none to be had. May leave a Python error set (a dict subclass
// whose lookup raises).
ValueType Unpacker::result_type(PyObject* req_msg_id) {
  if (pending_ == nullptr) return {};
  PyObject* name = PyDict_GetItemWithError(pending_, req_msg_id);  // borrowed
  if (name == nullptr || !py::is_str(name)) return {};
  if (!schema_) schema_ = schema::SchemaStore::instance().current();
  const schema::Schema* s = schema_.get();
  if (!s) return {};
  const auto* data = static_cast<const CompiledSchema*>(s->attachment());
  PyObject* slot = PyDict_GetItemWithError(data->method_indexes.get(), name);  // borrowed
  if (slot == nullptr) return {};
  const std::size_t i = PyLong_AsSize_t(slot);
  const auto& method = static_cast<const schema::TlMethod&>(*s->by_index(i).record);
  return parse_type_name(method.result).value_or(ValueType{});
}

}  // namespace

Result<py::Ref> unpack_messages(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                                PyObject* pending, std::size_t max_inflated) {
  Unpacker u(pending, max_inflated);
  if (!u.out_) return Failure::pending();
  Status s = u.message(msg_id, seq_no, body, false, false);
  if (!s) return std::move(s).failure();
  return std::move(u.out_);
}

}  // namespace velmora::message
