#include "message/service_objects.hpp"

#include "codec/deserializer.hpp"
#include "wire/endian.hpp"

namespace velmora::message {
namespace {

using wire::TypeKind;

constexpr const char* kEof = "unexpected eof";  // the codec's own text for a body cut short

Status set(PyObject* dict, const char* key, PyObject* value) {
  py::Ref owned = py::steal(value);
  if (!owned) return Failure::pending();
  py::Ref k = py::steal(PyUnicode_InternFromString(key));
  if (!k || PyDict_SetItem(dict, k.get(), owned.get()) < 0) return Failure::pending();
  return Status::success();
}

// The bare vector<future_salt>: a count, then each salt without its id.
Result<py::Ref> future_salts(py::ByteView body, std::size_t* at) {
  const protocol::ServiceLayout* salt = protocol::find_service_layout(0x0949d9dcu);
  if (body.size() - *at < 4) return Failure::value(kEof);
  const auto n = wire::load_le<std::uint32_t>(body.data() + *at);
  *at += 4;
  if ((body.size() - *at) / protocol::kFutureSaltSize < n) return Failure::value(kEof);
  py::Ref list = py::steal(PyList_New(0));
  if (!list) return Failure::pending();
  // Each element read as a boxed one would be, its id borrowed from the layout.
  std::uint8_t boxed[4 + protocol::kFutureSaltSize];
  wire::store_le(boxed, salt->cid);
  for (std::uint32_t i = 0; i < n; ++i, *at += protocol::kFutureSaltSize) {
    for (std::size_t j = 0; j < protocol::kFutureSaltSize; ++j) boxed[4 + j] = body[*at + j];
    auto item = service_object(*salt, py::ByteView(boxed, sizeof(boxed)));
    if (!item) return item;
    if (PyList_Append(list.get(), item->get()) < 0) return Failure::pending();
  }
  return list;
}

Result<py::Ref> field(const protocol::ServiceField& f, py::ByteView body, std::size_t* at) {
  if (f.kind == TypeKind::kObject) return future_salts(body, at);
  std::size_t end = 0;
  codec::Fault fault;
  py::Ref v = codec::deserialize_value(body, *at, f.kind, f.element, false, &end, fault);
  if (!v) return std::move(fault).failure();
  *at = end;
  return v;
}

}  // namespace

Result<py::Ref> service_object(const protocol::ServiceLayout& layout, py::ByteView body) {
  py::Ref dict = py::steal(PyDict_New());
  if (!dict) return Failure::pending();
  Status s = set(dict.get(), "_", PyUnicode_FromString(layout.name));
  std::size_t at = 4;
  for (std::uint8_t i = 0; s && i < layout.count; ++i) {
    auto v = field(layout.fields[i], body, &at);
    if (!v) return std::move(v).failure();
    s = set(dict.get(), layout.fields[i].name, (*v).release());
  }
  if (!s) return std::move(s).failure();
  return dict;
}

}  // namespace velmora::message
