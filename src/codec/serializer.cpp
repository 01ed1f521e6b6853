#include "codec/serializer.hpp"

#include <algorithm>
#include <string>

#include "codec/value_rules.hpp"
#include "codec/walk.hpp"

namespace velmora::codec {
namespace {

// What a size hint reserves at most, so that one huge call does not make
// every later one allocate as much.
constexpr std::size_t kMaxSizeHint = std::size_t{1} << 22;

// Writes the top-level object of a record found in the snapshot, which the
// serializer keeps for the nested objects.
Result<py::Ref> encode_top_level(schema::SchemaStore::Snapshot snap, const Schema::Entry& e,
                                 PyObject* args, Strictness how) {
  if (!py::is_dict(args)) return Failure::value(msg::kArgsNotDict);
  const Schema& s = *snap.schema;
  const CompiledRecord& rec = compiled(s, e);
  Writer w;
  w.reserve(rec.size_hint);  // a page of messages, written with no regrowth
  std::string err;
  const bool ok = how == Strictness::kLenient
                      ? Serializer<false>(w, std::move(snap)).top_level_object(*e.name, args, s, e, err)
                      : Serializer<true>(w, std::move(snap), how == Strictness::kStrictHexText)
                            .top_level_object(*e.name, args, s, e, err);
  if (!ok) {
    if (how != Strictness::kLenient) err.insert(0, *e.name);  // the path's start
    return Failure::value(std::move(err));
  }
  rec.size_hint = std::min(w.size(), kMaxSizeHint);
  return py::new_bytes(w.data(), w.size());
}

// serialize_method and serialize_constructor: the exact-str lookup first,
// the text path when that does not find it.
Result<py::Ref> serialize_by_name_str(PyObject* name, PyObject* args, bool method, Strictness how) {
  schema::SchemaStore::Snapshot snap = schema::SchemaStore::instance().snapshot();
  const Schema* s = snap.schema.get();
  if (s) {
    const Schema::Entry* e = find_by_str(*s, name, !method, method);
    if (e != nullptr) return encode_top_level(std::move(snap), *e, args, how);
  }
  py::ByteView text;
  py::Ref hold = py::utf8_of(name, &text);  // UnicodeEncodeError passed on as it is
  if (!hold) return Failure::pending();
  const std::string_view n(reinterpret_cast<const char*>(text.data()), text.size());
  if (!s) return Failure::runtime(msg::kNoSchema);
  const Schema::Entry* e = method ? s->find_method(n) : s->find_constructor(n);
  if (e == nullptr) {
    // formatted: "unknown method: <name>", "unknown constructor: <name>"
    return Failure::value(std::string(method ? msg::kUnknownMethod : msg::kUnknownConstructor).append(n));
  }
  return encode_top_level(std::move(snap), *e, args, how);
}

}  // namespace

Result<py::Ref> serialize_method(PyObject* method, PyObject* args, Strictness how) {
  return serialize_by_name_str(method, args, true, how);
}

Result<py::Ref> serialize_constructor(PyObject* name, PyObject* args, Strictness how) {
  return serialize_by_name_str(name, args, false, how);
}

Result<py::Ref> dumps(PyObject* obj, Strictness how) {
  if (py::is_bytes(obj)) {
    auto view = py::bytes_view(obj);
    return py::new_bytes(view.data(), view.size());
  }
  if (!py::is_dict(obj)) return Failure::value(msg::kArgsNotDict);
  PyObject* const underscore = underscore_key.get();
  if (underscore == nullptr) return Failure::pending();
  PyObject* name = PyDict_GetItemWithError(obj, underscore);
  if (name == nullptr && PyErr_Occurred()) return Failure::pending();
  if (name == nullptr || !py::is_str(name)) return Failure::value(msg::kDumpsNoName);
  py::Ref hold = py::borrow(name);
  Writer w;
  std::string err;
  const bool ok = how == Strictness::kLenient
                      ? Serializer<false>(w, {}).object_by_name_str(name, obj, err, msg::kDumpsNoName)
                      : Serializer<true>(w, {}, how == Strictness::kStrictHexText)
                            .object_by_name_str(name, obj, err, msg::kDumpsNoName);
  if (!ok) {
    ByteSource text;
    bool exact = true;
    if (!err.empty() && err[0] == ':' && name_text(name, text, &exact)) {  // the path's start
      err.insert(0, reinterpret_cast<const char*>(text.data), text.len);
    }
    return Failure::value(std::move(err));
  }
  return py::new_bytes(w.data(), w.size());
}

}  // namespace velmora::codec
