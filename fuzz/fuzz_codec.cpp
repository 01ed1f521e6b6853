// Fuzzes the TL codec through the module itself: an embedded interpreter
// imports the instrumented velmora.ext of this build tree once, then each
// input goes through loads, and whatever decodes is written back with dumps
// and serialize_constructor. Nothing may crash, and the only exception the
// codec may raise is ValueError. The answers are checked too: both writers
// agree, and what dumps writes is a fixed point, loads reading it back to a
// value that dumps writes as the same bytes. (The input itself need not come
// back: stray flag bits, other bool words, padding bytes and long length
// headers all decode, and are written in the one canonical form.) Any
// failure aborts, so the input is kept.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

PyObject* g_loads = nullptr;
PyObject* g_dumps = nullptr;
PyObject* g_serialize_constructor = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_codec: %s\n", what);
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// A call that fails must fail with ValueError; the error is then cleared.
void expect_value_error_only(const char* call) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
    std::fprintf(stderr, "fuzz_codec: %s raised something other than ValueError\n", call);
    fail("unexpected exception");
  }
  PyErr_Clear();
}

PyObject* function(PyObject* module, const char* name) {
  PyObject* f = PyObject_GetAttrString(module, name);
  if (!f) fail("function missing from velmora.ext");
  return f;
}

// One argument call; a failure must be a ValueError, and gives null.
PyObject* call_one(PyObject* f, PyObject* arg, const char* what) {
  PyObject* out = PyObject_CallOneArg(f, arg);
  if (!out) expect_value_error_only(what);
  return out;
}

bool equal(PyObject* a, PyObject* b) {
  const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
  if (eq < 0) fail("comparison failed");
  return eq == 1;
}

// serialize_constructor(decoded["_"], decoded) must give what dumps gave
// (null: it failed), or fail as dumps did.
void check_serialize_constructor(PyObject* decoded, PyObject* dumped) {
  if (!PyDict_Check(decoded)) return;
  PyObject* name = PyDict_GetItemString(decoded, "_");  // borrowed
  if (!name || !PyUnicode_Check(name)) return;
  PyObject* args = PyTuple_Pack(2, name, decoded);
  if (!args) fail("out of memory");
  PyObject* out = PyObject_Call(g_serialize_constructor, args, nullptr);
  Py_DECREF(args);
  if (!out) expect_value_error_only("serialize_constructor");
  if ((out == nullptr) != (dumped == nullptr)) fail("dumps and serialize_constructor disagree");
  if (out && !equal(out, dumped)) fail("dumps and serialize_constructor wrote different bytes");
  Py_XDECREF(out);
}

// Bytes that dumps wrote decode, and encode again to themselves.
void check_fixed_point(PyObject* dumped) {
  PyObject* again = PyObject_CallOneArg(g_loads, dumped);
  if (!again) fail("loads refused bytes that dumps wrote");
  PyObject* redumped = PyObject_CallOneArg(g_dumps, again);
  Py_DECREF(again);
  if (!redumped) fail("dumps refused what loads read from dumps' own bytes");
  if (!equal(redumped, dumped)) fail("dumps(loads(b)) differs from b, where dumps wrote b");
  Py_DECREF(redumped);
}

void write_back(PyObject* decoded) {
  PyObject* dumped = call_one(g_dumps, decoded, "dumps");
  check_serialize_constructor(decoded, dumped);
  if (dumped) check_fixed_point(dumped);
  Py_XDECREF(dumped);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Plain malloc for every Python object, so that the sanitizers see each
  // allocation (pymalloc's arenas would hide overruns and leaks).
  PyPreConfig pre;
  PyPreConfig_InitIsolatedConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) fail("pre-initialisation failed");

  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.site_import = 0;
  config.install_signal_handlers = 0;
  PyStatus status = PyConfig_SetBytesString(&config, &config.home, VELMORA_FUZZ_PYTHON_HOME);
  if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) fail("interpreter initialisation failed");

  PyObject* sys_path = PySys_GetObject("path");  // borrowed
  PyObject* dir = PyUnicode_FromString(VELMORA_FUZZ_PACKAGE_DIR);
  if (!sys_path || !dir || PyList_Insert(sys_path, 0, dir) < 0) fail("sys.path");
  Py_DECREF(dir);
  PyObject* ext = PyImport_ImportModule("velmora.ext");
  if (!ext) fail("cannot import velmora.ext");
  g_loads = function(ext, "loads");
  g_dumps = function(ext, "dumps");
  g_serialize_constructor = function(ext, "serialize_constructor");
  Py_DECREF(ext);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                              static_cast<Py_ssize_t>(size));
  if (!input) fail("out of memory");
  PyObject* decoded = PyObject_CallOneArg(g_loads, input);
  Py_DECREF(input);
  if (!decoded) {
    expect_value_error_only("loads");
    return 0;
  }
  write_back(decoded);
  Py_DECREF(decoded);
  return 0;
}
