#include "py/py.hpp"

namespace velmora::py {

namespace {
// UTF-8 of a str object through one temporary bytes object: the cp39 floor
// has no PyUnicode_AsUTF8AndSize.
bool utf8_of(PyObject* s, std::string& out) {
  Ref b = steal(PyUnicode_AsUTF8String(s));
  if (!b) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(b.get(), &data, &len) < 0) return false;
  out.assign(data, static_cast<std::size_t>(len));
  return true;
}
}  // namespace

std::string type_qualname(PyObject* o) {
  ErrorScope keep;
  static PyObject* attr = PyUnicode_InternFromString("__qualname__");
  std::string out;
  Ref name = steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(o)), attr));
  if (!name || !is_str(name.get()) || !utf8_of(name.get(), out)) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return out;
}

std::string str_utf8(PyObject* o) {
  ErrorScope keep;
  std::string out;
  Ref s = steal(PyObject_Str(o));
  if (!s || !utf8_of(s.get(), out)) {
    PyErr_Clear();
    out.clear();
  }
  return out;
}

}  // namespace velmora::py
