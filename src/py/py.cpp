#include "py/py.hpp"

namespace velmora::py {

namespace {
bool utf8_copy(PyObject* s, std::string& out) {
  ByteView v;
  Ref b = utf8_of(s, &v);
  if (!b) return false;
  out.assign(reinterpret_cast<const char*>(v.data()), v.size());
  return true;
}
}  // namespace

ByteView bytes_view(PyObject* o) noexcept {
  // One call for both, where PyBytes_AsString and PyBytes_Size are two.
  char* data = nullptr;
  Py_ssize_t len = 0;
  PyBytes_AsStringAndSize(o, &data, &len);
  return {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(len)};
}

#if VELMORA_API_LEVEL < 0x030A0000
Ref utf8_of(PyObject* s, ByteView* out) noexcept {
  Ref b = steal(PyUnicode_AsUTF8String(s));
  if (b) *out = bytes_view(b.get());
  return b;
}
#endif

Result<Ref> new_bytes(const void* data, std::size_t len) {
  Ref b = steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(len)));
  if (!b) return Failure::pending();
  return b;
}

std::string type_qualname(PyObject* o) {
  ErrorScope keep;
  static InternedText attr("__qualname__");
  std::string out;
  PyObject* key = attr.get();
  Ref name = key ? steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(o)), key)) : Ref();
  if (!name || !is_str(name.get()) || !utf8_copy(name.get(), out)) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return out;
}

std::string str_utf8(PyObject* o) {
  ErrorScope keep;
  std::string out;
  Ref s = steal(PyObject_Str(o));
  if (!s || !utf8_copy(s.get(), out)) {
    PyErr_Clear();
    out.clear();
  }
  return out;
}

bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  Ref mod = steal(PyObject_GetAttrString(type, "__module__"));
  if (!mod || !is_str(mod.get()) || PyUnicode_CompareWithASCIIString(mod.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  Ref name = steal(PyObject_GetAttrString(type, "__name__"));
  if (!name || !is_str(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace velmora::py
