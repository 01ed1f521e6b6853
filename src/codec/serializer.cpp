#include "codec/serializer.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/compiled.hpp"
#include "codec/depth.hpp"
#include "codec/slots.hpp"
#include "schema/schema.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {
namespace {

using schema::Schema;
using wire::kFlagsWords;
using wire::kMaxByteStringLen;
using wire::Writer;

// Bytes taken from a Python value: a view into an object kept alive, or
// bytes of our own.
struct ByteSource {
  const std::uint8_t* data = nullptr;
  std::size_t len = 0;
  py::Ref keep;
  std::string own;

  void set_own() {
    data = reinterpret_cast<const std::uint8_t*>(own.data());
    len = own.size();
  }
  void set_view(py::ByteView v) {
    data = v.data();
    len = v.size();
  }
};

PyObject* underscore_key() {
  static PyObject* key = [] {
    PyObject* k = PyUnicode_InternFromString("_");
    return k;
  }();
  return key;
}

// Moves whenever a conversion may have run Python code (__index__,
// __float__, a NumPy scalar's truth, a key's __eq__), which may change any
// dict being written. Calls hold the GIL, so a plain counter will do.
std::uint64_t python_epoch = 0;
void python_may_run() noexcept { ++python_epoch; }

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
bool utf8_of(PyObject* s, ByteSource& out) {
  py::ByteView v;
  out.keep = py::utf8_of(s, &v);
  if (!out.keep) {
    PyErr_Clear();
    return false;
  }
  out.set_view(v);
  return true;
}

// The text of an object name, for the lookup and the messages. A str with no
// UTF-8 form (a lone surrogate) names nothing in any schema: it is rendered
// with backslash escapes for the message, and *exact is cleared so that the
// rendering is never looked up. False only when even that fails.
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

// NumPy's boolean scalar, recognised by name so that NumPy is never imported:
// numpy.bool_ in NumPy 1.x, numpy.bool in 2.x.
bool is_numpy_bool(PyObject* v) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
  py::Ref mod = py::steal(PyObject_GetAttrString(type, "__module__"));
  if (!mod || !py::is_str(mod.get()) || PyUnicode_CompareWithASCIIString(mod.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  py::Ref name = py::steal(PyObject_GetAttrString(type, "__name__"));
  if (!name || !py::is_str(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

// Boolean conversion: 1 or 0, or -1 when the value is no boolean.
int to_bool(PyObject* v) {
  if (v == Py_True) return 1;
  if (v == Py_False) return 0;
  if (v == Py_None) return -1;
  python_may_run();
  if (!is_numpy_bool(v)) return -1;
  const int t = PyObject_IsTrue(v);
  if (t < 0) {
    PyErr_Clear();
    return -1;
  }
  return t;
}

// Byte-source conversion; an error text or null.
const char* byte_source(PyObject* v, ByteSource& out) {
  if (py::is_bytes(v)) {
    out.set_view(py::bytes_view(v));
    return nullptr;
  }
  if (py::is_str(v)) {
    if (!utf8_of(v, out)) return "bytes expected";
    if (out.len != 0 && decode_hex(out.data, out.len, out.own)) out.set_own();
    return nullptr;
  }
  if (py::is_list(v)) {
    // Items may run Python code (__index__) that changes the list: hold
    // each one and re-read the size.
    for (Py_ssize_t i = 0; i < py::list_size(v); ++i) {
      py::Ref item = py::borrow(PyList_GetItem(v, i));
      std::uint64_t x = 0;
      if (!item || !to_u64(item.get(), x)) {
        PyErr_Clear();
        return "int expected";
      }
      out.own.push_back(static_cast<char>(x & 0xff));
    }
    out.set_own();
    return nullptr;
  }
  return "bytes expected";
}

bool is_exact_str(PyObject* o) { return Py_TYPE(o) == &PyUnicode_Type; }
bool is_exact_int(PyObject* o) { return Py_TYPE(o) == &PyLong_Type; }

// The fast path for an exact int that fits 64 signed bits: no Python code
// runs and nothing can fail.
bool small_exact_int(PyObject* v, long long& out) {
  if (!is_exact_int(v)) return false;
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v, &overflow);
  return overflow == 0;
}

// The leading items of an int or long vector (T: their width) that are exact
// ints, which convert without running Python code: the items stay borrowed
// and the container cannot change under us. Returns the index of the first
// other item, left to the general loop. A loop of its own, whatever is
// inlined around the vector writer.
template <class T>
[[gnu::noinline]] Py_ssize_t exact_ints(Writer& w, PyObject* v, bool list, Py_ssize_t n) {
  w.reserve(static_cast<std::size_t>(n) * sizeof(T));
  Py_ssize_t i = 0;
  for (; i < n; ++i) {
    PyObject* item = list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i);
    long long x = 0;
    if (!small_exact_int(item, x)) break;
    if constexpr (sizeof(T) == 8) {
      w.put_u64(static_cast<T>(x));
    } else {
      w.put_u32(static_cast<T>(x));
    }
  }
  return i;
}

// The entry that an exact str names in one of the compiled name tables, or
// null. Comparing exact str keys runs no Python code; anything else (a str
// subclass, a miss) is left to the text path, which also words the errors.
const Schema::Entry* find_by_str(const Schema& s, PyObject* name, bool constructors,
                                 bool methods) {
  if (!is_exact_str(name)) return nullptr;
  const auto* cs = static_cast<const CompiledSchema*>(s.attachment());
  for (PyObject* table : {constructors ? cs->constructor_slots.get() : nullptr,
                          methods ? cs->method_slots.get() : nullptr}) {
    if (table == nullptr) continue;
    PyObject* hit = PyDict_GetItemWithError(table, name);
    if (hit != nullptr) return &s.slot(PyLong_AsSize_t(hit));
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return nullptr;
    }
  }
  return nullptr;
}

class Serializer;

constexpr std::uint64_t kLive = ~std::uint64_t{0};
constexpr std::size_t kFewFields = 4;

// The values of one object's fields, by field index. They are gathered in one
// walk of the dict into a run of slots, each a strong reference (null: the
// key is missing). Once Python code may have run since, or when the walk
// cannot be used, each field still to be read is looked up live instead, so
// that what such code does to the dict is seen as before; a value looked up
// is held until the next one is.
class FieldValues {
 public:
  // With words (for a record with flags), the walk also sets the flags bits
  // when it can tell them from the values alone; see flags_set().
  FieldValues(Serializer& s, PyObject* dict, const CompiledRecord& rec, std::uint32_t* words);
  [[gnu::always_inline]] ~FieldValues();
  FieldValues(const FieldValues&) = delete;
  FieldValues& operator=(const FieldValues&) = delete;

  // Borrowed; alive until the next call at least.
  PyObject* get(std::size_t i) { return epoch_ == python_epoch ? slots_[i] : live(i); }
  bool flags_set() const noexcept { return flags_set_; }

 private:
  PyObject* live(std::size_t i);

  Serializer& s_;
  PyObject* dict_;
  const CompiledRecord& rec_;
  PyObject** slots_ = nullptr;
  std::uint64_t epoch_ = kLive;  // python_epoch when gathered
  py::Ref held_;
  bool flags_set_ = false;
};

class Serializer {
 public:
  Serializer(Writer& w, schema::SchemaStore::Snapshot top) : w_(w), schemas_(std::move(top)) {}

  // Writes one boxed object; false with *err set to the ValueError message.
  bool object(std::string_view name, PyObject* dict, const Schema& s, const Schema::Entry& e,
              std::string& err);

  // The nested-object writer for a name given as a str; a name without any
  // text form fails with `no_text`.
  bool named(PyObject* name, PyObject* dict, std::string& err, const char* no_text);

  // The top-level object, counted as the first level of nesting.
  bool top(std::string_view name, PyObject* dict, const Schema& s, const Schema::Entry& e,
           std::string& err) {
    DepthGuard guard(depth_);
    return object(name, dict, s, e, err);
  }

 private:
  friend class FieldValues;

  // The recursive path (object -> value -> vector/nested -> object) keeps
  // its frames small, so the deepest accepted nesting fits a small thread
  // stack even in sanitizer builds; everything else runs in frames of its own.
  bool value(TypeKind kind, TypeKind element, PyObject* v, std::string& err);
  [[gnu::noinline]] bool scalar(TypeKind kind, PyObject* v, std::string& err);
  bool long_int(PyObject* v, std::string& err);
  bool wide_int(bool int256, PyObject* v, std::string& err);
  [[gnu::noinline]] bool nested_by_text(PyObject* name, PyObject* dict, std::string& err,
                                        const char* no_text);
  [[gnu::noinline]] bool nested_encoded(PyObject* v, std::string& err);
  [[gnu::noinline]] bool gather(PyObject* dict, const CompiledRecord& rec, PyObject** slots,
                                std::uint32_t* words, bool* flags_set);
  [[gnu::noinline]] static void flags_pass(const CompiledRecord& rec, FieldValues& values,
                                           std::uint32_t* words);
  bool vector(TypeKind element, PyObject* v, std::string& err);
  bool nested(PyObject* v, std::string& err);
  bool byte_string(PyObject* v, bool text, std::string& err);
  // The nested-object writer for a name given as text; one that is not exact
  // (see name_text) is reported as unknown.
  bool nested_object(std::string_view name, PyObject* dict, std::string& err, bool exact);
  // The same for a record already found in snapshot s.
  bool nested_entry(const Schema& s, const Schema::Entry& e, PyObject* dict, std::string& err);

  // Turns a value error in err into the field-error form "obj:field: err".
  [[gnu::noinline]] static void field_error(std::string_view obj, const CompiledField& f,
                                            std::string& err) {
    std::string m;
    m.reserve(obj.size() + f.def->name.size() + err.size() + 3);
    m.append(obj).append(":").append(f.def->name).append(": ").append(err);
    err.swap(m);
  }
  [[gnu::noinline]] static void missing_field(std::string_view obj, const CompiledField& f,
                                              std::string& err) {
    err.assign(obj).append(": missing required field ").append(f.def->name);
  }

  Writer& w_;
  unsigned depth_ = 0;
  schema::SnapshotCache schemas_;  // the top-level object's, then each nested object's
  // Field values of the objects being written, one run of slots per level.
  Slots arena_;
  // A dict whose first item, "_", nested() has read: its gather may start at
  // start_pos_ while python_epoch stays at start_epoch_.
  PyObject* start_dict_ = nullptr;
  Py_ssize_t start_pos_ = 0;
  std::uint64_t start_epoch_ = 0;
};

// Looks a field up with the dict's own item lookup; a lookup that raises
// counts as missing. Returns a strong reference, since converting the value
// may run Python code that mutates the dict.
py::Ref lookup(PyObject* dict, PyObject* key) {
  PyObject* v = PyDict_GetItemWithError(dict, key);
  if (v == nullptr && PyErr_Occurred()) PyErr_Clear();
  return py::borrow(v);
}

FieldValues::FieldValues(Serializer& s, PyObject* dict, const CompiledRecord& rec,
                         std::uint32_t* words)
    : s_(s), dict_(dict), rec_(rec) {
  // The top-level object has no outer one whose gathered values Python code
  // could make stale: a few unconditional fields are looked up as cheaply as
  // a walk would find them.
  if (s.depth_ == 1 && !rec.has_flags && rec.fields.size() <= kFewFields) return;
  if (!rec.gather) {
    python_may_run();  // lookups in a dict not walked may call a key's __eq__
    return;
  }
  slots_ = s.arena_.push(rec.fields.size());
  if (s.gather(dict, rec, slots_, words, &flags_set_)) epoch_ = python_epoch;
}

inline FieldValues::~FieldValues() {
  if (slots_ == nullptr) return;
  const std::size_t n = rec_.fields.size();
  for (std::size_t i = 0; i < n; ++i) Py_CLEAR(slots_[i]);
  s_.arena_.pop(n);
}

PyObject* FieldValues::live(std::size_t i) {
  epoch_ = kLive;
  held_ = lookup(dict_, rec_.fields[i].key.get());
  return held_.get();
}

// The field named by an exact str that is not the interned name itself.
std::uint32_t find_equal(const CompiledRecord& rec, PyObject* key) {
  const Py_hash_t h = PyObject_Hash(key);  // cached by the str
  for (std::uint32_t i = 0; i < rec.fields.size(); ++i) {
    const CompiledField& f = rec.fields[i];
    if (f.hash == h && PyUnicode_Compare(key, f.key.get()) == 0) return i;
  }
  return SmallIndex::kNone;
}

// Puts the dict's values into the slots of their fields, matching each key by
// the address of the interned name, else (a str equal but not the same, as
// json.loads makes) by hash and text. False at the first key that is not an
// exact str: only the dict's own lookup knows how such a key compares, and it
// may run Python code.
bool Serializer::gather(PyObject* dict, const CompiledRecord& rec, PyObject** slots,
                        std::uint32_t* words, bool* flags_set) {
  // The flags pass sets a bit for each conditional value other than None, a
  // presence flag only for True. With no other presence-flag value, whose
  // truth may take Python code and so must be asked in field order, the bits
  // do not depend on the order they are met in.
  bool plain = words != nullptr;
  Py_ssize_t pos = 0;
  if (start_dict_ == dict && start_epoch_ == python_epoch &&
      rec.by_key.find(address(underscore_key())) == SmallIndex::kNone) {
    pos = start_pos_;
  }
  start_dict_ = nullptr;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  // An exact str key names one field at most, so the walk may stop once every
  // field has its value.
  for (std::size_t left = rec.fields.size(); left != 0 && PyDict_Next(dict, &pos, &k, &v);) {
    std::uint32_t i = rec.by_key.find(address(k));
    if (i == SmallIndex::kNone) {
      if (!is_exact_str(k)) {
        python_may_run();
        return false;
      }
      if (k == underscore_key()) continue;
      i = find_equal(rec, k);
      if (i == SmallIndex::kNone) continue;
    }
    Py_INCREF(v);
    slots[i] = v;
    --left;
    const CompiledField& f = rec.fields[i];
    if (plain && f.conditional && v != Py_None) {
      if (!f.bare || v == Py_True) {
        words[f.group_word] |= f.bit;
      } else {
        plain = v == Py_False;
      }
    }
  }
  *flags_set = plain;
  return true;
}

// The flags words from the values, field by field in schema order.
void Serializer::flags_pass(const CompiledRecord& rec, FieldValues& values, std::uint32_t* words) {
  std::fill_n(words, kFlagsWords, 0);
  for (std::size_t i = 0; i < rec.fields.size(); ++i) {
    const CompiledField& f = rec.fields[i];
    if (!f.conditional) continue;
    PyObject* v = values.get(i);
    if (v == nullptr || v == Py_None) continue;
    if (f.bare && to_bool(v) != 1) continue;
    words[f.group_word] |= f.bit;
  }
}

bool Serializer::object(std::string_view name, PyObject* dict, const Schema& s,
                        const Schema::Entry& e, std::string& err) {
  const CompiledRecord& rec = compiled(s, e);
  std::uint32_t words[kFlagsWords] = {};
  FieldValues values(*this, dict, rec, rec.has_flags ? words : nullptr);
  const std::size_t n = rec.fields.size();
  w_.put_u32(e.record->cid);
  if (!e.record->has_flags) {
    for (std::size_t i = 0; i < n; ++i) {
      const CompiledField& f = rec.fields[i];
      PyObject* v = values.get(i);
      if (v == nullptr) {
        missing_field(name, f, err);
        return false;
      }
      if (!value(f.kind, f.element, v, err)) {
        field_error(name, f, err);
        return false;
      }
    }
    return true;
  }

  if (!values.flags_set()) flags_pass(rec, values, words);
  for (std::size_t i = 0; i < n; ++i) {
    const CompiledField& f = rec.fields[i];
    if (f.kind == TypeKind::kFlags) {
      w_.put_u32(words[f.own_word]);
      continue;
    }
    PyObject* v = values.get(i);
    if (!f.conditional) {
      if (v == nullptr) {
        missing_field(name, f, err);
        return false;
      }
    } else {
      if (v == nullptr || v == Py_None) {
        // A sibling on the same bit set it, so every reader expects this
        // field's payload: writing nothing would be bytes no one can read.
        if (!f.bare && (words[f.group_word] & f.bit) != 0) {
          missing_field(name, f, err);
          return false;
        }
        continue;
      }
      if (f.bare) {
        (void)to_bool(v);  // the bit is settled already
        continue;
      }
    }
    if (!value(f.kind, f.element, v, err)) {
      field_error(name, f, err);
      return false;
    }
  }
  return true;
}

bool Serializer::nested_object(std::string_view name, PyObject* dict, std::string& err,
                               bool exact) {
  DepthGuard guard(depth_);
  if (!guard.ok()) {
    err = kTooDeepMessage;
    return false;
  }
  const Schema* s = schemas_.current();
  if (s == nullptr) {
    err = "schema not loaded";
    return false;
  }
  const Schema::Entry* e = exact ? s->find_constructor(name) : nullptr;
  if (e == nullptr && exact) e = s->find_method(name);
  if (e == nullptr) {
    err.assign("unknown constructor ").append(name);
    return false;
  }
  if (!object(name, dict, *s, *e, err)) {
    err.insert(0, "ValueError: ");
    return false;
  }
  return true;
}

bool Serializer::nested_entry(const Schema& s, const Schema::Entry& e, PyObject* dict,
                              std::string& err) {
  DepthGuard guard(depth_);
  if (!guard.ok()) {
    err = kTooDeepMessage;
    return false;
  }
  if (!object(*e.name, dict, s, e, err)) {
    err.insert(0, "ValueError: ");
    return false;
  }
  return true;
}

bool Serializer::byte_string(PyObject* v, bool text, std::string& err) {
  ByteSource src;
  if (text) {
    if (py::is_str(v)) {
      if (!utf8_of(v, src)) src.len = 0;
    } else if (py::is_bytes(v)) {
      src.set_view(py::bytes_view(v));
    }
  } else if (const char* e = byte_source(v, src)) {
    err = e;
    return false;
  }
  // Longer payloads have no TL encoding: refuse rather than truncate.
  if (src.len > kMaxByteStringLen) {
    err = text ? "string too long" : "bytes too long";
    return false;
  }
  w_.put_byte_string(src.data, src.len);
  return true;
}

bool Serializer::value(TypeKind kind, TypeKind element, PyObject* v, std::string& err) {
  if (kind == TypeKind::kVector) return vector(element, v, err);
  if (kind == TypeKind::kObject) return nested(v, err);
  return scalar(kind, v, err);
}

bool Serializer::scalar(TypeKind kind, PyObject* v, std::string& err) {
  switch (kind) {
    case TypeKind::kFlags:
    case TypeKind::kInt: {
      long long small = 0;
      std::uint64_t x = 0;
      if (small_exact_int(v, small)) {
        x = static_cast<std::uint64_t>(small);
      } else if (!to_u64(v, x)) {
        err = "int expected";
        return false;
      }
      w_.put_u32(static_cast<std::uint32_t>(x));
      return true;
    }
    case TypeKind::kLong:
      return long_int(v, err);
    case TypeKind::kDouble: {
      if (Py_TYPE(v) != &PyFloat_Type && !is_exact_int(v)) python_may_run();
      const double d = PyFloat_AsDouble(v);
      if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        err = "double expected";
        return false;
      }
      w_.put_double(d);
      return true;
    }
    case TypeKind::kInt128:
    case TypeKind::kInt256:
      return wide_int(kind == TypeKind::kInt256, v, err);
    case TypeKind::kBytes:
      return byte_string(v, false, err);
    case TypeKind::kString:
      return byte_string(v, true, err);
    case TypeKind::kBool:
      w_.put_bool(to_bool(v) == 1);
      return true;
    case TypeKind::kTrue:
      return true;
    case TypeKind::kVector:
    case TypeKind::kObject:
      break;  // handled by value()
  }
  err = "unknown field type";
  return false;
}

// long: an int, 8 bytes as they are, or the hex text of 8 bytes.
bool Serializer::long_int(PyObject* v, std::string& err) {
  long long small = 0;
  if (small_exact_int(v, small)) {
    w_.put_u64(static_cast<std::uint64_t>(small));
    return true;
  }
  if (py::is_bytes(v)) {
    auto view = py::bytes_view(v);
    if (view.size() != 8) {
      err = "int expected";
      return false;
    }
    w_.put_raw(view.data(), 8);
    return true;
  }
  if (py::is_str(v)) {
    ByteSource src;
    std::string raw;
    if (utf8_of(v, src) && src.len == 16 && decode_hex(src.data, src.len, raw)) {
      w_.put_raw(raw.data(), 8);
      return true;
    }
    err = "int expected";
    return false;
  }
  std::uint64_t x = 0;
  if (!to_u64(v, x)) {
    err = "int expected";
    return false;
  }
  w_.put_u64(x);
  return true;
}

// int128 and int256 from a byte source; an int128 also takes 8 bytes or an
// integer, padded with zeros.
bool Serializer::wide_int(bool int256, PyObject* v, std::string& err) {
  ByteSource src;
  if (const char* e = byte_source(v, src)) {
    err = e;
    return false;
  }
  if (int256) {
    if (src.len != 32) {
      err = "int256 must be 32 bytes";
      return false;
    }
    w_.put_raw(src.data, 32);
  } else if (src.len == 16) {
    w_.put_raw(src.data, 16);
  } else if (src.len == 8) {
    w_.put_raw(src.data, 8);
    w_.put_zeros(8);
  } else {
    std::uint64_t x = 0;
    if (!to_u64(v, x)) x = 0;
    w_.put_u64(x);
    w_.put_zeros(8);
  }
  return true;
}

bool Serializer::vector(TypeKind element, PyObject* v, std::string& err) {
  const bool list = py::is_list(v);
  if (!list && !py::is_tuple(v)) {
    err = "vector expected array";
    return false;
  }
  // The elements of an inner vector are always "int".
  const TypeKind inner = TypeKind::kInt;
  const Py_ssize_t n = list ? py::list_size(v) : py::tuple_size(v);
  w_.put_vector_header(static_cast<std::uint32_t>(n));
  Py_ssize_t i = 0;
  if (element == TypeKind::kLong || element == TypeKind::kInt) {
    i = element == TypeKind::kLong ? exact_ints<std::uint64_t>(w_, v, list, n)
                                   : exact_ints<std::uint32_t>(w_, v, list, n);
  }
  for (; i < n; ++i) {
    // Converting an item may run Python code; a list that changes size
    // meanwhile would make the count written above wrong.
    if (list && py::list_size(v) != n) {
      err = "vector changed size during serialization";
      return false;
    }
    py::Ref item = py::borrow(list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i));
    if (!value(element, inner, item.get(), err)) return false;
  }
  if (list && py::list_size(v) != n) {
    err = "vector changed size during serialization";
    return false;
  }
  return true;
}

bool Serializer::nested(PyObject* v, std::string& err) {
  if (!py::is_dict(v)) return nested_encoded(v, err);
  // A dict written as a literal or made by loads() holds "_" first: the name
  // then comes with the first item, and the gather goes on after it.
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* name = nullptr;
  if (PyDict_Next(v, &pos, &key, &name) && key == underscore_key()) {
    start_dict_ = v;
    start_pos_ = pos;
    start_epoch_ = python_epoch;
  } else {
    name = PyDict_GetItemWithError(v, underscore_key());
  }
  if (name == nullptr || !py::is_str(name)) {
    PyErr_Clear();
    err = "nested object missing _";
    return false;
  }
  py::Ref hold = py::borrow(name);
  return named(name, v, err, "nested object missing _");
}

bool Serializer::named(PyObject* name, PyObject* dict, std::string& err, const char* no_text) {
  if (is_exact_str(name)) {
    if (const Schema* s = schemas_.current()) {
      const auto* cs = static_cast<const CompiledSchema*>(s->attachment());
      const std::uint32_t slot = cs->nested_by_name.find(address(name));
      const Schema::Entry* e =
          slot != SmallIndex::kNone ? &s->slot(slot) : find_by_str(*s, name, true, true);
      if (e != nullptr) return nested_entry(*s, *e, dict, err);
    }
  }
  return nested_by_text(name, dict, err, no_text);
}

bool Serializer::nested_by_text(PyObject* name, PyObject* dict, std::string& err,
                                const char* no_text) {
  ByteSource text;
  bool exact = true;
  if (!name_text(name, text, &exact)) {
    err = no_text;
    return false;
  }
  return nested_object(std::string_view(reinterpret_cast<const char*>(text.data), text.len), dict,
                       err, exact);
}

bool Serializer::nested_encoded(PyObject* v, std::string& err) {
  if (py::is_bytes(v)) {
    // Ready-made encoding, inserted unchecked.
    auto view = py::bytes_view(v);
    w_.put_raw(view.data(), view.size());
    return true;
  }
  if (py::is_str(v)) {
    // The hex text of a ready-made encoding; empty text writes nothing.
    ByteSource src;
    std::string raw;
    if (!utf8_of(v, src) || !decode_hex(src.data, src.len, raw)) {
      err = "nested field expected dict or bytes, got string";
      return false;
    }
    w_.put_raw(raw.data(), raw.size());
    return true;
  }
  err = "nested field expected dict or bytes";
  return false;
}

// Writes the top-level object of a record found in the snapshot, which the
// serializer keeps for the nested objects.
Result<py::Ref> encode_top(schema::SchemaStore::Snapshot snap, const Schema::Entry& e,
                           PyObject* args) {
  if (!py::is_dict(args)) return Failure::value("TL args must be a dict");
  const Schema& s = *snap.schema;
  Writer w;
  Serializer ser(w, std::move(snap));
  std::string err;
  if (!ser.top(*e.name, args, s, e, err)) return Failure::value(std::move(err));
  return py::new_bytes(w.data(), w.size());
}

// The top level for a name given as a str: the exact-str lookup first, the
// text path when that does not find it.
Result<py::Ref> top_level(PyObject* name, PyObject* args, bool method) {
  schema::SchemaStore::Snapshot snap = schema::SchemaStore::instance().snapshot();
  const Schema* s = snap.schema.get();
  if (s) {
    const Schema::Entry* e = find_by_str(*s, name, !method, method);
    if (e != nullptr) return encode_top(std::move(snap), *e, args);
  }
  py::ByteView text;
  py::Ref hold = py::utf8_of(name, &text);  // UnicodeEncodeError passed on as it is
  if (!hold) return Failure::pending();
  const std::string_view n(reinterpret_cast<const char*>(text.data()), text.size());
  if (!s) return Failure::runtime("schema not loaded");
  const Schema::Entry* e = method ? s->find_method(n) : s->find_constructor(n);
  if (e == nullptr) {
    return Failure::value(std::string(method ? "unknown method: " : "unknown constructor: ").append(n));
  }
  return encode_top(std::move(snap), *e, args);
}

}  // namespace

Result<py::Ref> serialize_method(PyObject* method, PyObject* args) {
  return top_level(method, args, true);
}

Result<py::Ref> serialize_constructor(PyObject* name, PyObject* args) {
  return top_level(name, args, false);
}

Result<py::Ref> dumps(PyObject* obj) {
  if (py::is_bytes(obj)) {
    auto view = py::bytes_view(obj);
    return py::new_bytes(view.data(), view.size());
  }
  if (!py::is_dict(obj)) return Failure::value("TL args must be a dict");
  PyObject* name = PyDict_GetItemWithError(obj, underscore_key());
  if (name == nullptr && PyErr_Occurred()) return Failure::pending();
  if (name == nullptr || !py::is_str(name)) return Failure::value("dumps requires _ constructor name");
  py::Ref hold = py::borrow(name);
  Writer w;
  Serializer ser(w, {});
  std::string err;
  if (!ser.named(name, obj, err, "dumps requires _ constructor name")) {
    return Failure::value(std::move(err));
  }
  return py::new_bytes(w.data(), w.size());
}

}  // namespace velmora::codec
