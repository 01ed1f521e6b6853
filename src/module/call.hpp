// call.hpp: the call frame shared by every module function.
//
// A module function binds its arguments (bind), converts each by its rule
// (arg_bytes, arg_text, arg_u64), runs its operation and hands the Result to
// call_frame, which returns the new reference or raises. This is the only
// place that sets Python exceptions from a Failure, and no C++ exception gets
// past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "codec/fault.hpp"
#include "module/messages.hpp"
#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::module {

// The most parameters a module function may have: bind_args lists the
// missing ones in a table of this size.
inline constexpr std::size_t kMaxParams = 16;

// Parameter description: the function's name and its parameter names in
// order. Every parameter is positional-or-keyword and required.
template <std::size_t N>
struct Params {
  static_assert(N <= kMaxParams, "more parameters than bind_args can report");
  const char* function;
  std::array<const char*, N> names;
};

// Binds a positional tuple and a keyword dict (or null) to the n
// parameters: out[i] is the borrowed argument of parameter i. On failure the TypeError names the function.
Status bind_args(const char* function, const char* const* names, std::size_t n,
                 PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
Result<std::array<PyObject*, N>> bind(const Params<N>& p, PyObject* args, PyObject* kwargs) {
  std::array<PyObject*, N> bound{};
  Status s = bind_args(p.function, p.names.data(), N, args, kwargs, bound.data());
  if (!s) return std::move(s).failure();
  return bound;
}

using py::bytes_view;
using py::ByteView;
using py::new_bytes;

// bytes rule: a bytes object or an instance of a subclass, read in place.
Result<ByteView> arg_bytes(const char* param, PyObject* o);
// str rule: a str (or subclass), borrowed as it is.
Result<PyObject*> arg_str(const char* param, PyObject* o);
// text rule: the str rule, then an owned UTF-8 copy.
Result<std::string> arg_text(const char* param, PyObject* o);
// unsigned integer rule: an int or any object with __index__, 0 to 2**64 - 1.
Result<std::uint64_t> arg_u64(const char* param, PyObject* o);

// The package's bytes-like rule: bytes, read in place, or a bytearray or
// C-contiguous memoryview, copied once (the limited API of 3.9 has no buffer
// view); *keep owns the copy.
Result<ByteView> arg_bytes_like(const char* param, PyObject* o, py::Ref* keep);

// The package's keyword-only strict=True: its truth, and in *kwargs the
// other keywords, for bind() (a copy without it when it is given).
Result<bool> take_strict(PyObject** kwargs, py::Ref& rest);
// bits rule: an int as the low `bits` bits of a value from -2**(bits-1) to
// 2**bits - 1, as the codec writes "int" (32) and "long" (64).
Result<std::uint64_t> arg_bits(const char* param, PyObject* o, unsigned bits);

// The bytes rule's refusal of o for parameter param.
Failure bytes_refused(const char* param, PyObject* o);

// A vectorcall-convention call handed to an entry of the (tuple, dict)
// convention, the arguments rebuilt as those: a call with keywords binds,
// and fails, exactly as it does there.
PyObject* call_with_tuple(PyObject* (*entry)(PyObject*, PyObject*, PyObject*), PyObject* self,
                          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Keyword-only options of a function: their names, and their values once
// taken (null when not given).
template <std::size_t N>
struct Options {
  std::array<const char*, N> names;
  std::array<PyObject*, N> values{};
};

// Takes the options out of kwargs, then binds the rest as bind does. The
// common call, without keywords, copies nothing.
template <std::size_t N, std::size_t M>
Result<std::array<PyObject*, N>> bind_options(const Params<N>& p, Options<M>* o, PyObject* args,
                                              PyObject* kwargs) {
  py::Ref rest;
  if (kwargs != nullptr) {
    rest = py::steal(PyDict_Copy(kwargs));
    if (!rest) return Failure::pending();
    for (std::size_t i = 0; i < M; ++i) {
      o->values[i] = PyDict_GetItemString(kwargs, o->names[i]);  // borrowed, kwargs lives on
      if (o->values[i] && PyDict_DelItemString(rest.get(), o->names[i]) < 0) return Failure::pending();
    }
  }
  return bind(p, args, rest.get());
}

// bind, then the bytes rule for every argument: (*views)[i] reads argument
// i in place. The failures are those of bind and arg_bytes in turn, without
// a Result per argument on the way.
template <std::size_t N>
Status bind_bytes(const Params<N>& p, PyObject* args, PyObject* kwargs,
                  std::array<ByteView, N>* views) {
  std::array<PyObject*, N> bound{};
  Status s = bind_args(p.function, p.names.data(), N, args, kwargs, bound.data());
  if (!s) return s;
  for (std::size_t i = 0; i < N; ++i) {
    if (!py::is_bytes(bound[i])) return bytes_refused(p.names[i], bound[i]);
    (*views)[i] = bytes_view(bound[i]);
  }
  return s;
}

// Re-raises a pending TypeError as "argument '<param>': <its message>",
// keeping its cause; any other pending error is left as it is.
Failure prefix_pending_type_error(const char* param);

// The internal-fault exception class: one per process, created on first use,
// deriving directly from BaseException. Returns a borrowed reference or null
// with an error set.
PyObject* internal_fault_type();

// Makes the package's exception classes (SecurityError, HandshakeError,
// FramingError, TransportError) once per process and sets them as the module's
// private attributes (_SecurityError, ...). Returns -1 with an error set.
int make_package_errors(PyObject* module);

// __reduce__ of the native protocol objects (src/py/native_object.hpp): their
// state (keys, stream positions, replay windows) must never be duplicated, so
// copy.copy, copy.deepcopy and pickle all refuse them with a TypeError.
// Put kRefuseReduce in each such type's method table.
PyObject* refuse_reduce(PyObject* self, PyObject* unused) noexcept;
inline constexpr PyMethodDef kRefuseReduce = {"__reduce__", &refuse_reduce, METH_NOARGS, nullptr};

// Sets the interpreter's exception from a failure.
void raise(const Failure& f);

// The module's import refused with ImportError(text): null, for PyInit_ext
// to return.
PyObject* refuse_import(const char* text);

// A codec call's outcome as the call frame takes it: its value, or its Fault
// as the module's Failure (codec/fault.hpp).
inline Result<py::Ref> outcome(py::Ref&& value, codec::Fault& fault) {
  if (value) return value;
  return std::move(fault).failure();
}

// Runs body, which returns Result<py::Ref>, and converts its outcome.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
  try {
    Result<py::Ref> r = std::forward<Body>(body)();
    if (r.ok()) {
      PyObject* out = (*r).release();
      if (out == nullptr && !PyErr_Occurred()) {
        raise(Failure::internal(msg::kNoResult));
      }
      return out;
    }
    raise(r.failure());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise(Failure::internal(e.what()));
  } catch (...) {
    raise(Failure::internal(msg::kUnidentifiedFault));
  }
  return nullptr;
}

}  // namespace velmora::module
