// Fuzzes unpack and read through the module itself, as fuzz_codec does
// loads: an embedded interpreter imports the instrumented package of this
// build tree once. Each input is unpacked as a body (with requests pending
// under the compiled-in schema's methods) and read by one of several types at
// an offset that its first bytes choose. Nothing may crash, the only
// exception allowed is ValueError, and a read's end lies within the data.
#include "embedded.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

PyObject* g_unpack = nullptr;
PyObject* g_read = nullptr;
PyObject* g_unpack_kwargs = nullptr;

const char* const kTypes[] = {"Object", "Vector<long>", "Vector<int>", "Vector<Object>",
                              "Vector<Vector<int>>", "string", "bytes", "InputPeer"};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_unpack: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

void expect_value_error_only(const char* call) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
    std::fprintf(stderr, "fuzz_unpack: %s raised something other than ValueError\n", call);
    fail("unexpected exception");
  }
  PyErr_Clear();
}

PyObject* attribute(const char* module, const char* name) {
  PyObject* m = PyImport_ImportModule(module);
  PyObject* f = m ? PyObject_GetAttrString(m, name) : nullptr;
  if (!f) fail("cannot import the package");
  Py_DECREF(m);
  return f;
}

void run_unpack(PyObject* body) {
  PyObject* args = Py_BuildValue("(iiO)", 1, 2, body);
  if (!args) fail("out of memory");
  PyObject* out = PyObject_Call(g_unpack, args, g_unpack_kwargs);
  Py_DECREF(args);
  if (!out) expect_value_error_only("unpack");
  Py_XDECREF(out);
}

void run_read(PyObject* body, const std::uint8_t* data, std::size_t size) {
  const std::size_t type = size > 0 ? data[0] % (sizeof(kTypes) / sizeof(kTypes[0])) : 0;
  const std::size_t offset = size > 1 ? data[1] % 16 : 0;
  if (offset > size) return;
  PyObject* args = Py_BuildValue("(Os)", body, kTypes[type]);
  PyObject* kwargs = Py_BuildValue("{s:n,s:O}", "offset", static_cast<Py_ssize_t>(offset), "methods",
                                   size > 2 && (data[2] & 1) ? Py_True : Py_False);
  if (!args || !kwargs) fail("out of memory");
  PyObject* out = PyObject_Call(g_read, args, kwargs);
  Py_DECREF(args);
  Py_DECREF(kwargs);
  if (!out) return expect_value_error_only("read");
  const Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GetItem(out, 1));
  if (end < static_cast<Py_ssize_t>(offset) || end > static_cast<Py_ssize_t>(size)) {
    fail("read's end outside the data");
  }
  Py_DECREF(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::start_interpreter(fail);
  g_unpack = attribute("velmora.message", "unpack");
  g_read = attribute("velmora", "read");
  // rpc_results answering 1 or 2 are read as help.getConfig's and
  // initConnection's results; the bound keeps inflated data small.
  g_unpack_kwargs = Py_BuildValue("{s:{i:s,i:s},s:i}", "pending", 1, "help.getConfig", 2,
                                  "initConnection", "max_inflated", 1 << 20);
  if (!g_unpack_kwargs) fail("out of memory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* body = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                             static_cast<Py_ssize_t>(size));
  if (!body) fail("out of memory");
  run_unpack(body);
  run_read(body, data, size);
  Py_DECREF(body);
  return 0;
}
