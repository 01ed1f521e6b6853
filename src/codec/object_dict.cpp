#include "codec/object_dict.hpp"

#include <cstring>

namespace velmora::codec {
namespace {

// The keys and the name of unknown objects, made once per process.
py::InternedText g_cid{"cid"};
py::InternedText g_raw{"raw"};
py::InternedText g_unknown{"unknownConstructor"};

#ifndef VELMORA_FREE_THREADED
bool same_words(const std::uint32_t* a, const std::uint32_t* b) noexcept {
  return std::memcmp(a, b, sizeof(std::uint32_t) * wire::kFlagsWords) == 0;
}
#endif

// The value of a field that is not read (a flags number, True, False) or,
// when payload is given, of a payload field; null with no error set when the
// field has no key.
py::Ref field_value(const CompiledField& f, const std::uint32_t* words, PyObject* payload) {
  switch (role_of(f, words)) {
    case FieldRole::kFlags: return py::steal(PyLong_FromUnsignedLong(words[f.own_word]));
    case FieldRole::kAbsent: return {};
    case FieldRole::kFalse: return py::borrow(Py_False);
    case FieldRole::kTrue: return py::borrow(Py_True);
    case FieldRole::kPayload: return payload ? py::borrow(payload) : py::Ref{};
  }
  return {};
}

// "_" and then each field in order; values null (a shape) puts None for the
// payload fields.
py::Ref build(const CompiledRecord& rec, const std::uint32_t* words, PyObject* const* values) {
  PyObject* const underscore = underscore_key.get();
  py::Ref d = py::steal(PyDict_New());
  if (!underscore || !d || PyDict_SetItem(d.get(), underscore, rec.name.get()) < 0) return {};
  for (std::size_t i = 0; i < rec.fields.size(); ++i) {
    const CompiledField& f = rec.fields[i];
    py::Ref v = rec.fixed_layout ? field_value(f, words, values ? values[i] : Py_None)
                                 : py::borrow(values[i]);
    if (!v) {
      if (PyErr_Occurred()) return {};
      continue;
    }
    if (PyDict_SetItem(d.get(), f.key.get(), v.get()) < 0) return {};
  }
  return d;
}

#ifdef VELMORA_FREE_THREADED
// No shape on this build: it is state shared by the threads (compiled.hpp).
py::Ref copy_of_shape(const CompiledRecord&, DictShape&, const std::uint32_t*) { return {}; }
#else
// A copy of the shape, or null with no error set when the record has none
// for these words (and none is made).
py::Ref copy_of_shape(const CompiledRecord& rec, DictShape& s, const std::uint32_t* words) {
  if (!s.dict || !same_words(words, s.words)) {
    const bool again = same_words(words, s.last);
    std::memcpy(s.last, words, sizeof(s.last));
    if (!again) return {};
    py::Ref made = build(rec, words, nullptr);
    if (!made) return {};
    s.dict = std::move(made);
    std::memcpy(s.words, words, sizeof(s.words));
  }
  // Held while copied: the copy allocates, and a collection it starts may
  // run Python code that decodes and replaces the shape.
  py::Ref shape = s.dict;
  return py::steal(PyDict_Copy(shape.get()));
}
#endif

}  // namespace

py::Ref object_dict(const CompiledRecord& rec, DictShape& shape, const std::uint32_t* words,
                    PyObject** values) {
  py::Ref d = rec.fixed_layout ? copy_of_shape(rec, shape, words) : py::Ref{};
  const bool copied = static_cast<bool>(d);
  if (!copied && !PyErr_Occurred()) d = build(rec, words, values);
  for (std::size_t i = 0; i < rec.fields.size(); ++i) {
    PyObject* const v = values[i];
    if (v == nullptr) continue;
    // A copy of the shape gets its payload values here; build() set them.
    if (copied && d && PyDict_SetItem(d.get(), rec.fields[i].key.get(), v) < 0) d.reset();
    values[i] = nullptr;
    Py_DECREF(v);
  }
  return d;
}

py::Ref unknown_object_dict(std::uint32_t cid, std::string_view hex) {
  PyObject* const underscore = underscore_key.get();
  PyObject* const cid_key = g_cid.get();
  PyObject* const raw_key = g_raw.get();
  PyObject* const name = g_unknown.get();
  if (!underscore || !cid_key || !raw_key || !name) return {};
  py::Ref dict = py::steal(PyDict_New());
  py::Ref id = py::steal(PyLong_FromUnsignedLong(cid));
  py::Ref raw = py::steal(PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size())));
  if (!dict || !id || !raw) return {};
  if (PyDict_SetItem(dict.get(), underscore, name) < 0 ||
      PyDict_SetItem(dict.get(), cid_key, id.get()) < 0 ||
      PyDict_SetItem(dict.get(), raw_key, raw.get()) < 0) {
    return {};
  }
  return dict;
}

}  // namespace velmora::codec
