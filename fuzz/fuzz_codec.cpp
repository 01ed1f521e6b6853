// Fuzzes the TL codec through the module itself: an embedded interpreter
// imports the instrumented velmora.ext of this build tree once, then each
// input goes through loads, and whatever decodes is written back with dumps
// and serialize_constructor. Nothing may crash, and the only exception the
// codec may raise is ValueError. The answers are checked too: both writers
// agree, loads reads back from what dumps wrote the value it had decoded, and
// dumps writes that again as the same bytes. The input bytes themselves need
// not come back: stray flag bits, other bool words, padding bytes and long
// length headers all decode, and are written in the one canonical form (so a
// flags word read back may lack bits that no field uses). Any failure aborts,
// so the input is kept.
#include "embedded.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool same_value(PyObject* a, PyObject* b);

// A flags word read back holds no bit that the one first read lacked.
bool same_flags(PyObject* a, PyObject* b) {
  const unsigned long wa = PyLong_AsUnsignedLong(a), wb = PyLong_AsUnsignedLong(b);
  if (PyErr_Occurred()) fail("flags word is not a 32-bit integer");
  return (wb & ~wa) == 0;
}

bool same_dict(PyObject* a, PyObject* b) {
  if (PyDict_Size(a) != PyDict_Size(b)) return false;
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* va = nullptr;
  while (PyDict_Next(a, &pos, &key, &va)) {
    PyObject* vb = PyDict_GetItemWithError(b, key);  // borrowed
    if (!vb) return false;
    const bool flags = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "flags") == 0 &&
                       PyLong_CheckExact(va) && PyLong_CheckExact(vb);
    if (!(flags ? same_flags(va, vb) : same_value(va, vb))) return false;
  }
  return true;
}

// a: decoded from the input; b: decoded from what dumps wrote for a. Equal in
// type and value, floats bit for bit (a NaN equals itself).
bool same_value(PyObject* a, PyObject* b) {
  if (Py_TYPE(a) != Py_TYPE(b)) return false;
  if (PyDict_Check(a)) return same_dict(a, b);
  if (PyList_Check(a)) {
    if (PyList_Size(a) != PyList_Size(b)) return false;
    for (Py_ssize_t i = 0; i < PyList_Size(a); ++i) {
      if (!same_value(PyList_GetItem(a, i), PyList_GetItem(b, i))) return false;
    }
    return true;
  }
  if (PyFloat_Check(a)) {
    const double x = PyFloat_AsDouble(a), y = PyFloat_AsDouble(b);
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  return equal(a, b);
}

// Bytes that dumps wrote decode to the value it was given, and encode again
// to themselves.
void check_round_trip(PyObject* decoded, PyObject* dumped) {
  PyObject* again = PyObject_CallOneArg(g_loads, dumped);
  if (!again) fail("loads refused bytes that dumps wrote");
  if (!same_value(decoded, again)) fail("loads(dumps(v)) differs from v");
  PyObject* redumped = PyObject_CallOneArg(g_dumps, again);
  Py_DECREF(again);
  if (!redumped) fail("dumps refused what loads read from dumps' own bytes");
  if (!equal(redumped, dumped)) fail("dumps(loads(b)) differs from b, where dumps wrote b");
  Py_DECREF(redumped);
}

void write_back(PyObject* decoded) {
  PyObject* dumped = call_one(g_dumps, decoded, "dumps");
  check_serialize_constructor(decoded, dumped);
  if (dumped) check_round_trip(decoded, dumped);
  Py_XDECREF(dumped);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::start_interpreter(fail);
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
