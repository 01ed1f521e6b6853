#include "module/bytes_like.hpp"

namespace velmora::module {

Result<ByteView> arg_bytes_like(const char* param, PyObject* o, py::Ref* keep) {
  if (py::is_bytes(o)) return py::bytes_view(o);
  if (!PyObject_TypeCheck(o, &PyByteArray_Type) && !PyObject_TypeCheck(o, &PyMemoryView_Type)) {
    return bytes_refused(param, o);
  }
  *keep = py::steal(PyBytes_FromObject(o));
  if (!*keep) return Failure::pending();
  return py::bytes_view(keep->get());
}

}  // namespace velmora::module
