#include "codec/value_rules.hpp"

#include <climits>
#include <cstdint>

#include "codec/field_values.hpp"
#include "codec/messages.hpp"
#include "codec/refusals.hpp"

namespace velmora::codec {
namespace {

using wire::TypeKind;
using wire::Writer;

int hex_digit(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes text made only of hex digits, of even length; false otherwise.
bool decode_hex(const std::uint8_t* p, std::size_t n, std::string& out) {
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (hex_digit(p[i]) < 0) return false;
  }
  out.resize(n / 2);
  for (std::size_t i = 0; i < n / 2; ++i) {
    out[i] = static_cast<char>(hex_digit(p[2 * i]) << 4 | hex_digit(p[2 * i + 1]));
  }
  return true;
}

// UTF-8 of a str; false with the error cleared when the text cannot be
// encoded (a lone surrogate).
[[gnu::hot]] bool utf8_of(PyObject* s, ByteSource& out) {
  py::ByteView v;
  out.keep = py::utf8_of(s, &v);
  if (!out.keep) {
    PyErr_Clear();
    return false;
  }
  out.set_view(v);
  return true;
}

// The fast path for an exact int that fits 64 signed bits: no Python code
// runs and nothing can fail.
bool small_exact_int(PyObject* v, long long& out) {
  if (!py::is_exact_int(v)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v, &overflow);
  return overflow == 0;
}

// Strict: an int, not bool, in lo..hi, as its 64-bit pattern. Reads the
// int's own value, so no Python code runs, not even a subclass's. Inlined
// into its two callers: out of line it costs a call per strict integer.
[[gnu::always_inline]] inline bool plain_int(PyObject* v, long long lo, std::uint64_t hi,
                                             const msg::Refusal& wrong, const msg::Refusal& range,
                                             std::uint64_t& out, Fault& fault) {
  if (!py::is_exact_int(v) && (!py::is_int(v) || PyBool_Check(v))) return refuse(fault, wrong, v);
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow == 0) {
    if (x < lo || (x > 0 && static_cast<std::uint64_t>(x) > hi)) return refuse(fault, range, v);
    out = static_cast<std::uint64_t>(x);
    return true;
  }
  if (overflow < 0) return refuse(fault, range, v);
  const unsigned long long u = PyLong_AsUnsignedLongLong(v);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return refuse(fault, range, v);
  }
  if (u > hi) return refuse(fault, range, v);
  out = u;
  return true;
}

// Strict bytes-like: bytes, bytearray, or a C-contiguous memoryview (copied
// once: the limited API of the oldest interpreter served reads no buffer).
// 1: taken; 0: none of them; -1: refused, in fault.
int bytes_like(PyObject* v, ByteSource& out, Fault& fault) {
  if (py::is_bytes(v)) {
    out.set_view(py::bytes_view(v));
    return 1;
  }
  if (PyByteArray_Check(v)) {
    out.data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(v));
    out.len = static_cast<std::size_t>(PyByteArray_Size(v));
    return 1;
  }
  if (!PyMemoryView_Check(v)) return 0;
  py::Ref contiguous = py::steal(PyObject_GetAttrString(v, "c_contiguous"));
  if (contiguous.get() == Py_True) out.keep = py::steal(PyBytes_FromObject(v));
  if (!out.keep) {  // not contiguous, or released
    PyErr_Clear();
    (void)refuse(fault, msg::kStrictNotContiguous, v);
    return -1;
  }
  out.set_view(py::bytes_view(out.keep.get()));
  return 1;
}

// bytes_like, or with hex_text (JSON input) the bytes that a str of hex
// digits spells.
int strict_bytes(PyObject* v, bool hex_text, ByteSource& out, Fault& fault) {
  if (!hex_text || !py::is_str(v)) return bytes_like(v, out, fault);
  if (!utf8_of(v, out) || !decode_hex(out.data, out.len, out.own)) {
    (void)refuse(fault, msg::kStrictHex, v);
    return -1;
  }
  out.set_own();
  return 1;
}

// An int as n bytes little-endian (two's complement when negative), through
// int.to_bytes itself; false when it fits n bytes neither signed nor unsigned.
bool int_le_bytes(PyObject* v, std::size_t n, std::string& out) {
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  PyObject* sign = overflow < 0 || (overflow == 0 && x < 0) ? Py_True : Py_False;
  py::Ref method = py::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyLong_Type), "to_bytes"));
  py::Ref args = py::steal(Py_BuildValue("(Ons)", v, static_cast<Py_ssize_t>(n), "little"));
  py::Ref kwargs = py::steal(Py_BuildValue("{s:O}", "signed", sign));
  py::Ref bytes;
  if (method && args && kwargs) bytes = py::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
  if (!bytes) {
    PyErr_Clear();
    return false;
  }
  const py::ByteView view = py::bytes_view(bytes.get());
  out.assign(reinterpret_cast<const char*>(view.data()), view.size());
  return true;
}

// Integer conversion: signed 64-bit, or the bit pattern of an unsigned one.
bool to_u64(PyObject* v, std::uint64_t& out) {
  py::Ref index;
  PyObject* n = v;
  if (!py::is_int(v)) {
    python_may_run();
    index = py::steal(PyNumber_Index(v));
    if (!index) {
      PyErr_Clear();
      return false;
    }
    n = index.get();
  }
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (overflow == 0) {
    if (x == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    out = static_cast<std::uint64_t>(x);
    return true;
  }
  if (overflow < 0) return false;
  const unsigned long long u = PyLong_AsUnsignedLongLong(n);
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = u;
  return true;
}

// A byte source: bytes, the hex text of bytes (other text as its UTF-8), or
// a list of ints (each taken modulo 256).
bool byte_source(PyObject* v, ByteSource& out, Fault& fault) {
  if (py::is_bytes(v)) {
    out.set_view(py::bytes_view(v));
    return true;
  }
  if (py::is_str(v)) {
    if (!utf8_of(v, out)) return fault.fail(msg::kBytesExpected);
    if (out.len != 0 && decode_hex(out.data, out.len, out.own)) out.set_own();
    return true;
  }
  if (py::is_list(v)) {
    // Items may run Python code (__index__) that changes the list: hold
    // each one and re-read the size.
    for (Py_ssize_t i = 0; i < py::list_size(v); ++i) {
      py::Ref item = py::borrow(PyList_GetItem(v, i));
      std::uint64_t x = 0;
      if (!item || !to_u64(item.get(), x)) {
        PyErr_Clear();
        return fault.fail(msg::kIntExpected);
      }
      out.own.push_back(static_cast<char>(x & 0xff));
    }
    out.set_own();
    return true;
  }
  return fault.fail(msg::kBytesExpected);
}

// int and "#": an integer, its low 32 bits.
bool write_int(PyObject* v, Writer& w, Fault& fault) {
  long long small = 0;
  std::uint64_t x = 0;
  if (small_exact_int(v, small)) {
    x = static_cast<std::uint64_t>(small);
  } else if (!to_u64(v, x)) {
    return fault.fail(msg::kIntExpected);
  }
  w.put_u32(static_cast<std::uint32_t>(x));
  return true;
}

// Strict int and "#": an int, not bool, in -2^31 .. 2^32 - 1.
bool write_int_strict(PyObject* v, Writer& w, Fault& fault) {
  std::uint64_t x = 0;
  if (!plain_int(v, INT32_MIN, UINT32_MAX, msg::kStrictInt, msg::kStrictIntRange, x, fault)) return false;
  w.put_u32(static_cast<std::uint32_t>(x));
  return true;
}

// long: an int, 8 bytes as they are, or the hex text of 8 bytes.
bool write_long(PyObject* v, Writer& w, Fault& fault) {
  long long small = 0;
  if (small_exact_int(v, small)) {
    w.put_u64(static_cast<std::uint64_t>(small));
    return true;
  }
  if (py::is_bytes(v)) {
    auto view = py::bytes_view(v);
    if (view.size() != 8) return fault.fail(msg::kIntExpected);
    w.put_raw(view.data(), 8);
    return true;
  }
  if (py::is_str(v)) {
    ByteSource src;
    std::string raw;
    if (!utf8_of(v, src) || src.len != 16 || !decode_hex(src.data, src.len, raw)) {
      return fault.fail(msg::kIntExpected);
    }
    w.put_raw(raw.data(), 8);
    return true;
  }
  std::uint64_t x = 0;
  if (!to_u64(v, x)) return fault.fail(msg::kIntExpected);
  w.put_u64(x);
  return true;
}

// Strict long: an int, not bool, in -2^63 .. 2^64 - 1.
bool write_long_strict(PyObject* v, Writer& w, Fault& fault) {
  std::uint64_t x = 0;
  if (!plain_int(v, LLONG_MIN, UINT64_MAX, msg::kStrictLong, msg::kStrictLongRange, x, fault)) return false;
  w.put_u64(x);
  return true;
}

// double: anything float() takes.
bool write_double(PyObject* v, Writer& w, Fault& fault) {
  if (!py::is_exact_float(v) && !py::is_exact_int(v)) python_may_run();  // __float__, __index__
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return fault.fail(msg::kDoubleExpected);
  }
  w.put_double(d);
  return true;
}

// Strict double: a float, or an int (not bool) that a double holds.
bool write_double_strict(PyObject* v, Writer& w, Fault& fault) {
  double d = 0;
  if (py::is_exact_float(v) || PyFloat_Check(v)) {
    d = PyFloat_AsDouble(v);  // a subclass's own value: no __float__ runs
  } else if (py::is_exact_int(v) || (py::is_int(v) && !PyBool_Check(v))) {
    d = PyLong_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return refuse(fault, msg::kStrictDoubleRange, v);
    }
  } else {
    return refuse(fault, msg::kStrictDouble, v);
  }
  w.put_double(d);
  return true;
}

// int128 and int256 from a byte source; an int128 also takes 8 bytes or an
// integer, padded with zeros (anything else as 0).
bool write_wide_int(bool int256, PyObject* v, Writer& w, Fault& fault) {
  ByteSource src;
  if (!byte_source(v, src, fault)) return false;
  if (int256) {
    if (src.len != 32) return fault.fail(msg::kInt256Length);
    w.put_raw(src.data, 32);
  } else if (src.len == 16) {
    w.put_raw(src.data, 16);
  } else if (src.len == 8) {
    w.put_raw(src.data, 8);
    w.put_zeros(8);
  } else {
    std::uint64_t x = 0;
    if (!to_u64(v, x)) x = 0;
    w.put_u64(x);
    w.put_zeros(8);
  }
  return true;
}

// Strict int128 and int256: bytes-like of exactly 16 or 32 bytes, or an int
// (not bool) that fits in 128 or 256 bits, signed or unsigned, written
// little-endian like every TL integer.
bool write_wide_int_strict(bool int256, PyObject* v, Writer& w, bool hex_text, Fault& fault) {
  const std::size_t n = int256 ? 32 : 16;
  ByteSource src;
  const int got = strict_bytes(v, hex_text, src, fault);
  if (got < 0) return false;
  if (got > 0) {
    if (src.len != n) return refuse(fault, int256 ? msg::kStrictInt256Length : msg::kStrictInt128Length, v);
    w.put_raw(src.data, n);
    return true;
  }
  if (!py::is_int(v) || PyBool_Check(v)) return refuse(fault, int256 ? msg::kStrictInt256 : msg::kStrictInt128, v);
  if (!int_le_bytes(v, n, src.own)) return refuse(fault, int256 ? msg::kStrictInt256Range : msg::kStrictInt128Range, v);
  w.put_raw(src.own.data(), n);
  return true;
}

// bytes from a byte source; string from a str (one with no UTF-8 form as
// empty) or bytes, anything else as empty.
[[gnu::hot]] bool write_byte_string(bool text, PyObject* v, Writer& w, Fault& fault) {
  ByteSource src;
  if (text) {
    if (py::is_str(v)) {
      if (!utf8_of(v, src)) src.len = 0;
    } else if (py::is_bytes(v)) {
      src.set_view(py::bytes_view(v));
    }
  } else if (!byte_source(v, src, fault)) {
    return false;
  }
  // Longer payloads have no TL encoding: refuse rather than truncate.
  if (src.len > wire::kMaxByteStringLen) return fault.fail(text ? msg::kStringTooLong : msg::kBytesTooLong);
  w.put_byte_string(src.data, src.len);
  return true;
}

// Strict string: a str with a UTF-8 form, or bytes-like; strict bytes:
// bytes-like only.
[[gnu::hot]] bool write_byte_string_strict(bool text, PyObject* v, Writer& w, bool hex_text, Fault& fault) {
  ByteSource src;
  if (text && py::is_str(v)) {
    if (!utf8_of(v, src)) return refuse(fault, msg::kStrictNoUtf8, v);
  } else {
    const int got = text ? bytes_like(v, src, fault) : strict_bytes(v, hex_text, src, fault);
    if (got < 0) return false;
    if (got == 0) return refuse(fault, text ? msg::kStrictString : msg::kStrictBytes, v);
  }
  const msg::Refusal& too_long = text ? msg::kStrictStringTooLong : msg::kStrictBytesTooLong;
  if (src.len > wire::kMaxByteStringLen) return refuse(fault, too_long, v);
  w.put_byte_string(src.data, src.len);
  return true;
}

}  // namespace

int to_bool(PyObject* v) {
  if (v == Py_True) return 1;
  if (v == Py_False) return 0;
  if (v == Py_None) return -1;
  python_may_run();
  if (!py::is_numpy_bool(v)) return -1;
  const int t = PyObject_IsTrue(v);
  if (t < 0) {
    PyErr_Clear();
    return -1;
  }
  return t;
}

bool write_scalar(TypeKind kind, PyObject* v, Writer& w, Fault& fault) {
  switch (kind) {
    case TypeKind::kFlags:
    case TypeKind::kInt: return write_int(v, w, fault);
    case TypeKind::kLong: return write_long(v, w, fault);
    case TypeKind::kDouble: return write_double(v, w, fault);
    case TypeKind::kInt128:
    case TypeKind::kInt256: return write_wide_int(kind == TypeKind::kInt256, v, w, fault);
    case TypeKind::kBytes: return write_byte_string(false, v, w, fault);
    case TypeKind::kString: return write_byte_string(true, v, w, fault);
    case TypeKind::kBool:
      w.put_bool(to_bool(v) == 1);  // anything else is false
      return true;
    case TypeKind::kTrue: return true;
    case TypeKind::kVector:
    case TypeKind::kObject: break;  // the walk's
  }
  return fault.fail(msg::kUnknownFieldType);
}

bool write_scalar_strict(TypeKind kind, PyObject* v, Writer& w, bool hex_text, Fault& fault) {
  switch (kind) {
    case TypeKind::kFlags:
    case TypeKind::kInt: return write_int_strict(v, w, fault);
    case TypeKind::kLong: return write_long_strict(v, w, fault);
    case TypeKind::kDouble: return write_double_strict(v, w, fault);
    case TypeKind::kInt128:
    case TypeKind::kInt256: return write_wide_int_strict(kind == TypeKind::kInt256, v, w, hex_text, fault);
    case TypeKind::kBytes: return write_byte_string_strict(false, v, w, hex_text, fault);
    case TypeKind::kString: return write_byte_string_strict(true, v, w, hex_text, fault);
    case TypeKind::kBool: {
      const int b = to_bool(v);
      if (b < 0) return refuse(fault, msg::kStrictBool, v);
      w.put_bool(b == 1);
      return true;
    }
    case TypeKind::kTrue: return check_presence_flag(v, fault);
    case TypeKind::kVector:
    case TypeKind::kObject: break;  // the walk's
  }
  return refuse(fault, msg::kStrictNested, v);
}

bool check_presence_flag(PyObject* v, Fault& fault) {
  return v == Py_None || to_bool(v) >= 0 || refuse(fault, msg::kStrictFlag, v);
}

bool write_ready_made_strict(PyObject* v, Writer& w, std::uint32_t* first, Fault& fault) {
  ByteSource src;
  const int got = bytes_like(v, src, fault);
  if (got < 0) return false;
  if (got == 0) return refuse(fault, msg::kStrictNested, v);
  // Anything else would leave the words after it misaligned, or write nothing.
  if (src.len == 0 || src.len % 4 != 0) return refuse(fault, msg::kStrictReadyMade, v);
  *first = wire::load_le<std::uint32_t>(src.data);
  w.put_raw(src.data, src.len);
  return true;
}

std::size_t given_byte_length(PyObject* v) {
  ByteSource src;
  Fault ignored;
  (void)strict_bytes(v, true, src, ignored);
  return src.len;
}

bool write_ready_made(PyObject* v, Writer& w, Fault& fault) {
  if (py::is_bytes(v)) {
    auto view = py::bytes_view(v);
    w.put_raw(view.data(), view.size());
    return true;
  }
  if (!py::is_str(v)) return fault.fail(msg::kNestedNotEncoded);
  // Empty text writes nothing.
  ByteSource src;
  std::string raw;
  if (!utf8_of(v, src) || !decode_hex(src.data, src.len, raw)) return fault.fail(msg::kNestedBadHex);
  w.put_raw(raw.data(), raw.size());
  return true;
}

template <class T, bool Strict>
[[gnu::noinline]] Py_ssize_t write_exact_int_run(Writer& w, PyObject* seq, bool list, Py_ssize_t n) {
  // A loop of its own, whatever is inlined around the vector writer.
  w.reserve(static_cast<std::size_t>(n) * sizeof(T));
  Py_ssize_t i = 0;
  for (; i < n; ++i) {
    PyObject* item = list ? PyList_GetItem(seq, i) : PyTuple_GetItem(seq, i);
    long long x = 0;
    if (!small_exact_int(item, x)) break;
    if constexpr (Strict && sizeof(T) == 4) {
      if (x < INT32_MIN || x > UINT32_MAX) break;  // refused by the int rule
    }
    if constexpr (sizeof(T) == 8) {
      w.put_u64(static_cast<T>(x));
    } else {
      w.put_u32(static_cast<T>(x));
    }
  }
  return i;
}
template Py_ssize_t write_exact_int_run<std::uint32_t>(Writer&, PyObject*, bool, Py_ssize_t);
template Py_ssize_t write_exact_int_run<std::uint64_t>(Writer&, PyObject*, bool, Py_ssize_t);
template Py_ssize_t write_exact_int_run<std::uint32_t, true>(Writer&, PyObject*, bool, Py_ssize_t);

bool name_text(PyObject* s, ByteSource& out, bool* exact) {
  *exact = utf8_of(s, out);
  if (*exact) return true;
  out.keep = py::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
  if (!out.keep) {
    PyErr_Clear();
    return false;
  }
  out.set_view(py::bytes_view(out.keep.get()));
  return true;
}

}  // namespace velmora::codec
