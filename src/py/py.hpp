// py.hpp: a thin RAII layer over the limited C API.
//
// Ref owns one strong reference. A raw pointer never becomes a Ref
// implicitly: steal() adopts a new reference, borrow() adds one. Beside it the
// type tests, the view of a bytes object, the UTF-8 of a str, new bytes
// objects and the process's cached str objects: what the codec and the module
// both need. src/py is the bottom
// layer of the extension and includes nothing of the layers above it. All of
// this must run with the interpreter lock held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The limited API of the floor, or the full API on the free-threaded
// interpreter (which has no limited API): there every call of the newest
// floor is there too, so VELMORA_API_LEVEL says which calls the code may use.
#if defined(Py_LIMITED_API)
#define VELMORA_API_LEVEL Py_LIMITED_API
#elif defined(Py_GIL_DISABLED)
#define VELMORA_API_LEVEL PY_VERSION_HEX
#else
#error "the extension is built against the limited API, or the full API of a free-threaded CPython"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "py/result.hpp"

namespace velmora::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership: for APIs that steal a reference, and for returning to
  // the interpreter.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Ref().swap(*this); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

  friend Ref steal(PyObject* p) noexcept;
  friend Ref borrow(PyObject* p) noexcept;

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Adopts a new reference (null stays null).
inline Ref steal(PyObject* p) noexcept { return Ref(p); }
// Takes a new reference to a borrowed object.
inline Ref borrow(PyObject* p) noexcept {
  Py_XINCREF(p);
  return Ref(p);
}

// Type tests through the subclass flags, so subclasses pass too. The limited
// API hides the Py*_Check macros' fast paths behind PyType_GetFlags, a call:
// the exact type, the common case, is compared first.
inline unsigned long type_flags(PyObject* o) noexcept { return PyType_GetFlags(Py_TYPE(o)); }
inline bool has_type(PyObject* o, PyTypeObject& exact, unsigned long subclass_flag) noexcept {
  return Py_TYPE(o) == &exact || (type_flags(o) & subclass_flag) != 0;
}
inline bool is_int(PyObject* o) noexcept {
  return has_type(o, PyLong_Type, Py_TPFLAGS_LONG_SUBCLASS);
}
inline bool is_bytes(PyObject* o) noexcept {
  return has_type(o, PyBytes_Type, Py_TPFLAGS_BYTES_SUBCLASS);
}
inline bool is_str(PyObject* o) noexcept {
  return has_type(o, PyUnicode_Type, Py_TPFLAGS_UNICODE_SUBCLASS);
}
inline bool is_list(PyObject* o) noexcept {
  return has_type(o, PyList_Type, Py_TPFLAGS_LIST_SUBCLASS);
}
inline bool is_tuple(PyObject* o) noexcept {
  return has_type(o, PyTuple_Type, Py_TPFLAGS_TUPLE_SUBCLASS);
}
inline bool is_dict(PyObject* o) noexcept {
  return has_type(o, PyDict_Type, Py_TPFLAGS_DICT_SUBCLASS);
}

// Exact type tests: no subclass, so no Python code of a subclass can run when
// the value is read.
inline bool is_exact_bool(PyObject* o) noexcept {
  return Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(&PyBool_Type);
}
inline bool is_exact_str(PyObject* o) noexcept { return Py_TYPE(o) == &PyUnicode_Type; }
inline bool is_exact_int(PyObject* o) noexcept { return Py_TYPE(o) == &PyLong_Type; }
inline bool is_exact_float(PyObject* o) noexcept { return Py_TYPE(o) == &PyFloat_Type; }

// NumPy's boolean scalar, recognised by its type's module and name so that
// NumPy is never imported: numpy.bool_ in NumPy 1.x, numpy.bool in 2.x.
// Reading those attributes may run Python code. Never leaves an error set.
bool is_numpy_bool(PyObject* o);

// A str made on first use and kept for the life of the process, interned so
// that dict lookups by it usually match by identity. The one out-of-memory
// policy of every cached str: get() returns null with the interpreter's error
// set when the str cannot be made, and the next call tries again (nothing is
// cached broken). Calls hold the GIL, so no lock is needed.
class InternedText {
 public:
  explicit constexpr InternedText(const char* text) noexcept : text_(text) {}
  InternedText(const InternedText&) = delete;
  InternedText& operator=(const InternedText&) = delete;

  // Threads that find it unmade make it alike; the first to publish it wins
  // and the others drop theirs (an atomic, for the free-threaded build).
  PyObject* get() noexcept {
    PyObject* made = obj_.load(std::memory_order_acquire);
    if (made != nullptr) return made;
    PyObject* fresh = PyUnicode_InternFromString(text_);
    if (fresh == nullptr) return nullptr;
    if (obj_.compare_exchange_strong(made, fresh, std::memory_order_acq_rel)) return fresh;
    Py_DECREF(fresh);
    return made;
  }

 private:
  const char* text_;                   // the ASCII text
  std::atomic<PyObject*> obj_{nullptr};  // the str, never released; null until made
};

// Sizes without the macros that the limited API lacks. Py_SIZE stays valid
// for lists and tuples, whose object layout is var-sized.
inline Py_ssize_t list_size(PyObject* o) noexcept { return Py_SIZE(o); }
inline Py_ssize_t tuple_size(PyObject* o) noexcept { return Py_SIZE(o); }

// A read-only view of a bytes object's own buffer, valid while the object is.
using ByteView = std::span<const std::uint8_t>;

// The view of an object known to be bytes (is_bytes).
ByteView bytes_view(PyObject* o) noexcept;

// The UTF-8 form of a str, with *out viewing it, and the object that holds
// it; null with the interpreter's error set when the text has none (a lone
// surrogate raises UnicodeEncodeError). Under the 3.9 floor that object is a
// new bytes object, the one way text leaves a str there; from the 3.10 floor
// on it is the str itself, which keeps its UTF-8 form (an ASCII str is its
// own), so no object is made.
#if VELMORA_API_LEVEL >= 0x030A0000
inline Ref utf8_of(PyObject* s, ByteView* out) noexcept {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (p == nullptr) return Ref();
  *out = {reinterpret_cast<const std::uint8_t*>(p), static_cast<std::size_t>(n)};
  return borrow(s);
}
#else
Ref utf8_of(PyObject* s, ByteView* out) noexcept;
#endif

// New bytes object holding a copy of data.
Result<Ref> new_bytes(const void* data, std::size_t len);

// The qualified name of o's type, or the placeholder text when it cannot be
// read. Never leaves an error set.
std::string type_qualname(PyObject* o);

// str(o) as UTF-8, or an empty string when that fails. Never leaves an error set.
std::string str_utf8(PyObject* o);

// Saves the pending error, if any, and restores it on destruction, so that
// cleanup code may call into Python without clobbering it.
class ErrorScope {
 public:
  ErrorScope() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
  ~ErrorScope() { PyErr_Restore(type_, value_, tb_); }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

}  // namespace velmora::py
