#include "message/service.hpp"

#include <deque>
#include <vector>

#include "codec/compiled.hpp"
#include "codec/deserializer.hpp"
#include "codec/messages.hpp"
#include "codec/type_name.hpp"
#include "message/messages.hpp"
#include "message/service_objects.hpp"
#include "protocol/service_layouts.hpp"
#include "protocol/wrappers.hpp"
#include "schema/schema.hpp"
#include "wire/endian.hpp"
#include "wire/gzip.hpp"
#include "wire/wire.hpp"

namespace velmora::message {
namespace {

using codec::deserialize_value;
using codec::parse_type_name;
using codec::ValueType;
using wire::TypeKind;

using codec::msg::kBadBytesLen;
using codec::msg::kEof;
using namespace msg;

// The rpc_result dict's keys and its constructor's name, and the undecoded
// entry's, made once per process.
py::InternedText g_rpc_result{"rpc_result"};
py::InternedText g_req_msg_id{"req_msg_id"};
py::InternedText g_result{"result"};
py::InternedText g_undecoded{"undecoded"};
py::InternedText g_raw{"raw"};
py::InternedText g_error{"error"};

// A failure that stands for the message alone (its body does not decode),
// against one that breaks the whole body (a gzip bomb) or the interpreter's.
bool message_fault(const Failure& f) {
  return f.kind() == ErrorKind::kValue && f.message() != kTooLarge;
}

// {"_": "undecoded", "raw": body, "error": text}: a message that did not
// decode, in its place.
Result<py::Ref> undecoded(py::ByteView body, const Failure& f) {
  PyObject* const underscore = codec::underscore_key.get();
  PyObject* const name = g_undecoded.get();
  PyObject* const raw_key = g_raw.get();
  PyObject* const error_key = g_error.get();
  py::Ref d = py::steal(PyDict_New());
  py::Ref raw = py::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(body.data()),
                                                    static_cast<Py_ssize_t>(body.size())));
  py::Ref text = py::steal(PyUnicode_FromStringAndSize(f.message().data(),
                                                       static_cast<Py_ssize_t>(f.message().size())));
  if (!underscore || !name || !raw_key || !error_key || !d || !raw || !text ||
      PyDict_SetItem(d.get(), underscore, name) < 0 || PyDict_SetItem(d.get(), raw_key, raw.get()) < 0 ||
      PyDict_SetItem(d.get(), error_key, text.get()) < 0) {
    return Failure::pending();
  }
  return d;
}

// The caller's pending dict: req_msg_id to the name of the method sent, or
// to the request's body, whose innermost query names it.
class DictResults final : public ResultTypes {
 public:
  explicit DictResults(PyObject* pending) : pending_(pending) {}
  Result<ValueType> of(std::int64_t req_msg_id) override;

 private:
  PyObject* pending_;
  // Taken at the first result read by a pending method's type, kept for the call.
  std::shared_ptr<const schema::Schema> schema_;
};

Result<ValueType> DictResults::of(std::int64_t req_msg_id) {
  if (pending_ == nullptr) return ValueType{};
  py::Ref id = py::steal(PyLong_FromLongLong(req_msg_id));
  if (!id) return Failure::pending();
  PyObject* named = PyDict_GetItemWithError(pending_, id.get());  // borrowed
  if (named == nullptr) {
    if (PyErr_Occurred()) return Failure::pending();
    return ValueType{};
  }
  if (!schema_) schema_ = schema::SchemaStore::instance().current();
  if (!schema_) return ValueType{};
  const schema::Schema::Entry* entry = nullptr;
  if (py::is_bytes(named)) {
    const py::ByteView body = py::bytes_view(named);
    const auto at = protocol::innermost_query(body);
    if (!at || body.size() < *at + 4) return ValueType{};
    entry = schema_->find_method_by_cid(wire::load_le<std::uint32_t>(body.data() + *at));
  } else if (py::is_str(named)) {
    py::ByteView utf8;
    py::Ref holder = py::utf8_of(named, &utf8);
    if (!holder) return Failure::pending();
    entry = schema_->find_method(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
  }
  if (!entry) return ValueType{};
  const auto& method = static_cast<const schema::TlMethod&>(*entry->record);
  // A wrapper named by name: its result is its query's, which only the body tells.
  if (protocol::is_wrapper(method.cid)) return ValueType{};
  return parse_type_name(method.result).value_or(ValueType{});
}

std::uint32_t first_word(py::ByteView b) {
  return b.size() >= 4 ? wire::load_le<std::uint32_t>(b.data()) : 0;
}

class Unpacker {
 public:
  explicit Unpacker(const UnpackOptions& o) : o_(o), budget_(o.max_inflated) {}

  Status message(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body, bool in_container);
  py::Ref out_ = py::steal(PyList_New(0));

 private:
  Status container(py::ByteView body);
  Result<py::ByteView> inflate(py::ByteView packed);
  Result<py::Ref> object(py::ByteView body, bool inflated);
  Result<py::Ref> rpc_result(py::ByteView body, bool inflated);
  Result<py::Ref> result_value(std::int64_t req_msg_id, py::ByteView data, bool inflated);
  Status append(std::int64_t msg_id, std::int32_t seq_no, py::Ref obj);

  const UnpackOptions& o_;
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

// One message: a container split, a gzip_packed inflated, anything else
// decoded as one object, or as an undecoded entry when it does not decode.
Status Unpacker::message(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                         bool in_container) {
  const std::uint32_t id = first_word(body);
  if (id == kMsgContainerId) {
    if (in_container) return Failure::value(kNested);
    return container(body);
  }
  py::ByteView data = body;
  Result<py::Ref> obj = py::Ref();
  if (id == kGzipPackedId) {
    auto unpacked = inflate(body);
    if (unpacked) {
      data = *unpacked;
      // A container may come packed; it is split as if it had not been.
      if (first_word(data) == kMsgContainerId) {
        if (in_container) return Failure::value(kNested);
        return container(data);
      }
      obj = object(data, true);
    } else {
      obj = std::move(unpacked).failure();
    }
  } else {
    obj = object(body, false);
  }
  if (!obj && message_fault(obj.failure())) obj = undecoded(body, obj.failure());
  if (!obj) return std::move(obj).failure();
  if (o_.seen) o_.seen->push_back({msg_id, seq_no, in_container, protocol::read_effect(data)});
  return append(msg_id, seq_no, std::move(*obj));
}

Result<py::Ref> Unpacker::object(py::ByteView body, bool inflated) {
  const std::uint32_t id = first_word(body);
  if (body.size() < 4) return Failure::value(kEof);
  if (id == kGzipPackedId) return Failure::value(kGzipInGzip);
  if (id == kRpcResultId) return rpc_result(body, inflated);
  if (const auto* layout = protocol::find_service_layout(id)) return service_object(*layout, body);
  std::size_t end = 0;
  codec::Fault fault;
  py::Ref v = deserialize_value(body, 0, TypeKind::kObject, TypeKind::kInt, false, &end, fault);
  if (!v) return std::move(fault).failure();
  return v;
}

Status Unpacker::append(std::int64_t msg_id, std::int32_t seq_no, py::Ref obj) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(o_.item_type);
  py::Ref item = py::steal(type ? PyType_GenericAlloc(type, 3) : PyTuple_New(3));
  PyObject* id_obj = PyLong_FromLongLong(msg_id);
  PyObject* seq_obj = PyLong_FromLong(seq_no);
  if (!item || !id_obj || !seq_obj) {
    Py_XDECREF(id_obj);
    Py_XDECREF(seq_obj);
    return Failure::pending();
  }
  PyTuple_SetItem(item.get(), 0, id_obj);  // each SetItem steals its item
  PyTuple_SetItem(item.get(), 1, seq_obj);
  PyTuple_SetItem(item.get(), 2, obj.release());
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
    if (len % 4 != 0) return Failure::value(kUnaligned);
    Status s = message(static_cast<std::int64_t>(id), static_cast<std::int32_t>(seq),
                       py::ByteView(p, len), true);
    if (!s) return s;
  }
  if (r.remaining() != 0) return Failure::value(kAfterLast);
  return Status::success();
}

Result<py::Ref> Unpacker::rpc_result(py::ByteView body, bool inflated) {
  wire::Reader r(body.subspan(4));
  std::uint64_t req = 0;
  if (!r.read_u64(req)) return Failure::value(kEof);
  const auto req_msg_id = static_cast<std::int64_t>(req);
  py::ByteView data = body.subspan(12);
  if (first_word(data) == kGzipPackedId) {
    if (inflated) return Failure::value(kGzipInGzip);
    auto unpacked = inflate(data);
    if (!unpacked) return std::move(unpacked).failure();
    data = *unpacked;
    inflated = true;
  }
  auto value = result_value(req_msg_id, data, inflated);
  if (!value) return value;
  py::Ref id = py::steal(PyLong_FromLongLong(req_msg_id));
  if (!id) return Failure::pending();
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

Result<py::Ref> Unpacker::result_value(std::int64_t req_msg_id, py::ByteView data, bool inflated) {
  const std::uint32_t id = first_word(data);
  if (id == kGzipPackedId && inflated) return Failure::value(kGzipInGzip);
  // A service object (an error, future_salts, ...) is what it says it is.
  if (data.size() >= 4) {
    if (const auto* layout = protocol::find_service_layout(id)) return service_object(*layout, data);
  }
  auto wanted = o_.results->of(req_msg_id);
  if (!wanted) return std::move(wanted).failure();
  std::size_t end = 0;
  codec::Fault fault;
  py::Ref v = deserialize_value(data, 0, wanted->kind, wanted->element, false, &end, fault);
  if (!v) return std::move(fault).failure();
  return v;
}

}  // namespace

Result<py::Ref> unpack_with(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                            const UnpackOptions& options) {
  Unpacker u(options);
  if (!u.out_) return Failure::pending();
  Status s = u.message(msg_id, seq_no, body, false);
  if (!s) return std::move(s).failure();
  return std::move(u.out_);
}

Result<py::Ref> unpack_messages(std::int64_t msg_id, std::int32_t seq_no, py::ByteView body,
                                PyObject* pending, std::size_t max_inflated) {
  DictResults results(pending);
  return unpack_with(msg_id, seq_no, body, UnpackOptions{&results, max_inflated});
}

}  // namespace velmora::message
