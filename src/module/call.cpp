#include "module/call.hpp"
#include "module/messages.hpp"

#include <climits>
#include <cstring>

namespace velmora::module {

namespace {

std::string quoted_list(const char* const* names, const std::size_t* idx, std::size_t c) {
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
  std::string out;
  for (std::size_t i = 0; i < c; ++i) {
    if (i > 0) out += (c == 2) ? " and " : (i + 1 == c ? ", and " : ", ");
    out += '\'';
    out += names[idx[i]];
    out += '\'';
  }
  return out;
}

std::string conversion_refused(const char* param, PyObject* o, const char* target) {
  std::string m = msg::kArgumentPrefix;
  m += param;
  m += "': '";
  m += py::type_qualname(o);
  m += msg::kCannotConvert;
  m += target;
  m += '\'';
  return m;
}

}  // namespace

PyObject* call_with_tuple(PyObject* (*entry)(PyObject*, PyObject*, PyObject*), PyObject* self,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  py::Ref tuple = py::steal(PyTuple_New(nargs));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SetItem(tuple.get(), i, args[i]);  // steals, cannot fail on a new tuple
  }
  py::Ref kwargs;
  const Py_ssize_t nkw = kwnames ? py::tuple_size(kwnames) : 0;
  if (nkw > 0) {
    kwargs = py::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      PyObject* name = PyTuple_GetItem(kwnames, i);
      if (PyDict_SetItem(kwargs.get(), name, args[nargs + i]) < 0) return nullptr;
    }
  }
  return entry(self, tuple.get(), kwargs.get());
}

Status bind_args(const char* function, const char* const* names, std::size_t n,
                 PyObject* args, PyObject* kwargs, PyObject** out) {
  // The binding texts are formatted as the interpreter words its own, and
  // callers match on them (module/messages.hpp).
  const Py_ssize_t given = args ? py::tuple_size(args) : 0;
  if (static_cast<std::size_t>(given) > n) {
    return Failure::type(std::string(function) + "() takes " + std::to_string(n) +
                         " positional arguments but " + std::to_string(given) +
                         " were given");
  }
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, i);
  // Every argument given by position: the common call, nothing left to match.
  if (kwargs == nullptr && static_cast<std::size_t>(given) == n) return Status::success();
  for (std::size_t i = static_cast<std::size_t>(given); i < n; ++i) out[i] = nullptr;

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t hit = n;
      if (py::is_str(key)) {
        for (std::size_t i = 0; i < n; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
            hit = i;
            break;
          }
        }
      }
      if (hit == n) {
        return Failure::type(std::string(function) + "() got an unexpected keyword argument '" +
                             py::str_utf8(key) + "'");
      }
      if (out[hit] != nullptr) {
        return Failure::type(std::string(function) + "() got multiple values for argument '" +
                             names[hit] + "'");
      }
      out[hit] = value;
    }
  }

  std::size_t missing[kMaxParams];
  std::size_t c = 0;
  for (std::size_t i = 0; i < n && c < kMaxParams; ++i) {
    if (out[i] == nullptr) missing[c++] = i;
  }
  if (c > 0) {
    return Failure::type(std::string(function) + "() missing " + std::to_string(c) +
                         " required positional argument" + (c > 1 ? "s" : "") + ": " +
                         quoted_list(names, missing, c));
  }
  return Status::success();
}

Failure bytes_refused(const char* param, PyObject* o) {
  return Failure::type(conversion_refused(param, o, msg::kTargetBytes));
}

Result<ByteView> arg_bytes(const char* param, PyObject* o) {
  if (!py::is_bytes(o)) return bytes_refused(param, o);
  return bytes_view(o);
}

Result<ByteView> arg_bytes_like(const char* param, PyObject* o, py::Ref* keep) {
  if (py::is_bytes(o)) return py::bytes_view(o);
  const bool view = PyObject_TypeCheck(o, &PyMemoryView_Type);
  if (!view && !PyObject_TypeCheck(o, &PyByteArray_Type)) return arg_bytes(param, o);
  if (view) {
    py::Ref contiguous = py::steal(PyObject_GetAttrString(o, "c_contiguous"));
    if (!contiguous) return Failure::pending();
    if (contiguous.get() != Py_True) return bytes_refused(param, o);
  }
  *keep = py::steal(PyBytes_FromObject(o));
  if (!*keep) return Failure::pending();
  return py::bytes_view(keep->get());
}

Result<bool> take_strict(PyObject** kwargs, py::Ref& rest) {
  static py::InternedText key{"strict"};
  if (*kwargs == nullptr) return true;
  if (key.get() == nullptr) return Failure::pending();
  PyObject* v = PyDict_GetItemWithError(*kwargs, key.get());
  if (v == nullptr) {
    if (PyErr_Occurred()) return Failure::pending();
    return true;
  }
  py::Ref hold = py::borrow(v);
  rest = py::steal(PyDict_Copy(*kwargs));
  if (!rest || PyDict_DelItem(rest.get(), key.get()) < 0) return Failure::pending();
  *kwargs = rest.get();
  const int truth = PyObject_IsTrue(v);
  if (truth < 0) return Failure::pending();
  return truth == 1;
}

Result<std::uint64_t> arg_bits(const char* param, PyObject* o, unsigned bits) {
  if (!py::is_int(o)) {
    return Failure::type(msg::kArgumentPrefix + std::string(param) + "': " + py::type_qualname(o) +
                         msg::kNotAnInt);
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return Failure::pending();
  const long long low = bits == 64 ? LLONG_MIN : -(1LL << (bits - 1));
  bool fits = overflow == 0 && v >= low && (bits == 64 || v < (1LL << bits));
  std::uint64_t u = static_cast<std::uint64_t>(v);
  if (overflow > 0 && bits == 64) {
    u = PyLong_AsUnsignedLongLong(o);
    fits = !(u == ~0ULL && PyErr_Occurred());
    PyErr_Clear();
  }
  if (!fits) {
    return Failure::overflow(msg::kArgumentPrefix + std::string(param) + msg::kOutOfRangeBits +
                             std::to_string(bits) + " bits");
  }
  return u;
}

Result<PyObject*> arg_str(const char* param, PyObject* o) {
  if (!py::is_str(o)) return Failure::type(conversion_refused(param, o, msg::kTargetText));
  return o;
}

Result<std::string> arg_text(const char* param, PyObject* o) {
  auto s = arg_str(param, o);
  if (!s) return std::move(s).failure();
  // A lone surrogate makes this fail with UnicodeEncodeError, passed on as it is.
  ByteView v;
  py::Ref b = py::utf8_of(*s, &v);
  if (!b) return Failure::pending();
  return std::string(reinterpret_cast<const char*>(v.data()), v.size());
}

Result<std::uint64_t> arg_u64(const char* param, PyObject* o) {
  py::Ref index;
  PyObject* number = o;
  if (!py::is_int(o)) {
    index = py::steal(PyNumber_Index(o));
    if (!index) return prefix_pending_type_error(param);
    number = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // OverflowError for negative or too large values, unchanged.
    return prefix_pending_type_error(param);
  }
  return static_cast<std::uint64_t>(v);
}

Failure prefix_pending_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Failure::pending();
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  py::Ref t = py::steal(type), v = py::steal(value), trace = py::steal(tb);
  std::string m = std::string(msg::kArgumentPrefix) + param + "': " + (v ? py::str_utf8(v.get()) : "");
  py::Ref text = py::steal(PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size())));
  if (!text) return Failure::pending();
  py::Ref targs = py::steal(PyTuple_New(1));
  if (!targs) return Failure::pending();
  PyTuple_SetItem(targs.get(), 0, text.release());
  py::Ref exc = py::steal(PyObject_Call(PyExc_TypeError, targs.get(), nullptr));
  if (!exc) return Failure::pending();
  if (v) {
    PyObject* cause = PyException_GetCause(v.get());  // new reference or null
    if (cause) PyException_SetCause(exc.get(), cause);  // steals cause
  }
  PyErr_SetObject(PyExc_TypeError, exc.get());
  return Failure::pending();
}

PyObject* internal_fault_type() {
  // Deliberately never released: it must stay the same class for the life of
  // the process. Made at import (add_functions), once (PyInit_ext refuses a
  // second), before any other thread can reach the module; read-only after.
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "velmora.ext.InternalFault",
        "An internal consistency check of velmora.ext failed. Derives from "
        "BaseException so that 'except Exception' does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return cls;
}

namespace {

// The package's exception classes, one per ErrorKind past kNoMemory, in that
// order; a class may derive from one made before it. Made once at import
// (make_package_errors), never released: callers keep references to them.
struct PackageError {  // NOLINT(clang-analyzer-optin.performance.Padding): a few entries, read at import
  ErrorKind kind;
  const char* attribute;  // the module attribute the package re-exports
  const char* name;       // the class's qualified name, as callers see it
  const char* doc;
  int base;               // index of a class made before, or -1 for base_exc
  PyObject* base_exc;
};

PackageError kPackageErrors[] = {
    {ErrorKind::kSecurity, "_SecurityError", "velmora.message.SecurityError",
     "A frame or message refused by a check; the message names the check that failed.", -1,
     nullptr},
    {ErrorKind::kHandshake, "_HandshakeError", "velmora.handshake.HandshakeError",
     "A key exchange refused; the message names the check that failed.", 0, nullptr},
    {ErrorKind::kFraming, "_FramingError", "velmora.transport.FramingError",
     "A transport stream that cannot be read on; the codec refuses every later call.", -1,
     nullptr},
    {ErrorKind::kTransport, "_TransportError", "velmora.transport.TransportError",
     "The server's transport error (a negative 4-byte packet); .code holds it.", -1, nullptr},
};
// Written at import only, as internal_fault_type's class; read-only after.
PyObject* g_package_errors[std::size(kPackageErrors)] = {};

PyObject* package_error(ErrorKind k) {
  for (std::size_t i = 0; i < std::size(kPackageErrors); ++i) {
    if (kPackageErrors[i].kind == k) return g_package_errors[i];
  }
  return nullptr;
}

}  // namespace

int make_package_errors(PyObject* m) {
  kPackageErrors[0].base_exc = PyExc_ValueError;
  kPackageErrors[2].base_exc = PyExc_ValueError;
  kPackageErrors[3].base_exc = PyExc_ConnectionError;
  for (std::size_t i = 0; i < std::size(kPackageErrors); ++i) {
    const PackageError& e = kPackageErrors[i];
    if (g_package_errors[i] == nullptr) {
      PyObject* base = e.base < 0 ? e.base_exc : g_package_errors[e.base];
      g_package_errors[i] = PyErr_NewExceptionWithDoc(e.name, e.doc, base, nullptr);
      if (g_package_errors[i] == nullptr) return -1;
    }
    if (PyObject_SetAttrString(m, e.attribute, g_package_errors[i]) < 0) return -1;
  }
  return 0;
}

namespace {

PyObject* class_of(ErrorKind k) {
  switch (k) {
    case ErrorKind::kType: return PyExc_TypeError;
    case ErrorKind::kValue: return PyExc_ValueError;
    case ErrorKind::kOverflow: return PyExc_OverflowError;
    case ErrorKind::kRuntime: return PyExc_RuntimeError;
    case ErrorKind::kInternal: return internal_fault_type();
    case ErrorKind::kPending: return nullptr;
    default: {
      PyObject* cls = package_error(k);
      return cls ? cls : internal_fault_type();
    }
  }
}

// A TransportError instance with its .code set.
void raise_with_code(PyObject* cls, PyObject* text, long long code) {
  py::Ref exc = py::steal(PyObject_CallFunctionObjArgs(cls, text, nullptr));
  if (!exc) return;
  py::Ref c = py::steal(PyLong_FromLongLong(code));
  if (!c || PyObject_SetAttrString(exc.get(), "code", c.get()) < 0) return;
  PyErr_SetObject(cls, exc.get());
}

}  // namespace

PyObject* refuse_reduce(PyObject* self, PyObject*) noexcept {
  return call_frame([&]() -> Result<py::Ref> {
    return Failure::type(std::string(msg::kNotCopyable) + "'" + py::type_qualname(self) + "' object");
  });
}

PyObject* refuse_import(const char* text) {
  PyErr_SetString(PyExc_ImportError, text);
  return nullptr;
}

void raise(const Failure& f) {
  if (f.kind() == ErrorKind::kPending) {
    if (!PyErr_Occurred()) {
      PyObject* fault = internal_fault_type();
      if (fault) PyErr_SetString(fault, msg::kNoException);
    }
    return;
  }
  if (f.kind() == ErrorKind::kNoMemory) {
    PyErr_NoMemory();  // the interpreter's own instance: nothing to allocate
    return;
  }
  PyObject* cls = class_of(f.kind());
  if (cls == nullptr) return;  // its creation left an error set
  const std::string& m = f.message();
  if (f.kind() == ErrorKind::kInternal && m.empty()) {
    PyErr_SetString(cls, msg::kInternalFault);
    return;
  }
  py::Ref text = py::steal(PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size())));
  if (!text) return;
  if (f.kind() == ErrorKind::kTransport) {
    raise_with_code(cls, text.get(), f.code());
    return;
  }
  PyErr_SetObject(cls, text.get());
}

}  // namespace velmora::module
