#include "codec/deserializer.hpp"

#include <cstdio>
#include <cstring>
#include <string>

#include "codec/compiled.hpp"
#include "codec/depth.hpp"
#include "codec/messages.hpp"
#include "codec/object_dict.hpp"
#include "codec/scratch_stack.hpp"
#include "schema/schema.hpp"
#include "wire/utf8.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

namespace {

using schema::Schema;
using wire::kBoolFalse;
using wire::kBoolTrue;
using wire::kFlagsWords;
using wire::kVectorId;
using wire::Reader;
using wire::ReadStatus;

// The reader's limit on a declared element count, part of the decoding
// contract: a larger count is "invalid vector count" before any element is
// read. It also bounds the work: counts are checked against the bytes left,
// but elements of type true take no bytes, so without it a 12-byte input
// could ask for a list of four billion items.
constexpr std::uint32_t kMaxVectorCount = 1'000'000;

// Least bytes one element of a vector of this kind occupies, so that a
// declared count can be checked against what is left before allocating.
std::size_t min_width(TypeKind k) {
  switch (k) {
    case TypeKind::kTrue: return 0;
    case TypeKind::kLong:
    case TypeKind::kDouble:
    case TypeKind::kVector: return 8;
    case TypeKind::kInt128: return 16;
    case TypeKind::kInt256: return 32;
    default: return 4;
  }
}

// The recursive path (object -> value -> vector_field -> value -> object) is
// kept to small frames: everything that does not recurse lives in functions
// of its own that are never inlined into it. This matters under ASan, whose
// redzones make every inlined local expensive on a 256 KiB thread stack.
#define VELMORA_OUTLINE [[gnu::noinline]]

// The record index of the method with identifier id, or kNone: a linear
// walk, for reading requests back, which is rare.
std::uint32_t method_index(const Schema& s, std::uint32_t id) {
  for (std::size_t i = 0; i < s.num_methods(); ++i) {
    if (s.by_index(i).record->cid == id) return static_cast<std::uint32_t>(i);
  }
  return SmallIndex::kNone;
}

class Decoder {
 public:
  Decoder(std::span<const std::uint8_t> data, Fault& fault, bool methods = false, bool strict = false)
      : r_(data), fault_(fault), methods_(methods), strict_(strict), schemas_(current_snapshot()) {}

  // Null on failure: either the Fault is filled (a ValueError) or a Python error is set.
  py::Ref object();
  // One value of the given kind at offset, which is within the data.
  py::Ref value_at(std::size_t offset, TypeKind kind, TypeKind element) {
    const std::uint8_t* skipped = nullptr;
    (void)r_.read_raw(offset, skipped);
    return value(kind, element);
  }
  // The fields of the constructor named at offset, with no identifier before them.
  py::Ref bare_at(std::size_t offset, std::string_view constructor) {
    const std::uint8_t* skipped = nullptr;
    (void)r_.read_raw(offset, skipped);
    const Schema* s = schemas_.current();
    const Schema::Entry* e = s ? s->find_constructor(constructor) : nullptr;
    return e ? fields_of(*s, *e) : fail(msg::kNoSchema);
  }
  std::size_t position() const noexcept { return r_.position(); }
  std::size_t size() const noexcept { return r_.all().size(); }

 private:
  py::Ref value(TypeKind kind, TypeKind element);
  py::Ref vector_field(TypeKind element);
  py::Ref fields_of(const Schema& s, const Schema::Entry& e);
  // Reads rec's fields into words and values (as object_dict takes them).
  bool read_fields(const CompiledRecord& rec, std::uint32_t* words, PyObject** values);
  py::Ref vector_object(std::uint32_t n);
  VELMORA_OUTLINE py::Ref unknown(std::uint32_t cid, std::size_t start);
  VELMORA_OUTLINE py::Ref byte_string(bool text);
  VELMORA_OUTLINE py::Ref scalar(TypeKind kind);
  VELMORA_OUTLINE py::Ref primitive_list(std::uint32_t n, TypeKind element);
  VELMORA_OUTLINE py::Ref not_a_vector(std::uint32_t id);
  VELMORA_OUTLINE py::Ref bad_utf8(std::span<const std::uint8_t> payload);
  VELMORA_OUTLINE py::Ref not_a_bool(std::uint32_t id);
  // Fills a list of n elements; prealloc only when the count is trusted.
  template <class Read>
  py::Ref list_of(std::uint32_t n, std::size_t width, Read&& read);
  // A vector of fixed-width primitives: one bounds check for all elements.
  template <class T, class Make>
  py::Ref fixed_list(std::uint32_t n, Make&& make);

  VELMORA_OUTLINE py::Ref fail(const char* m) {
    fault_.fail(m);
    return {};
  }

  Reader r_;
  Fault& fault_;
  unsigned depth_ = 0;
  bool methods_ = false;           // identifiers name methods too
  bool strict_ = false;            // a Bool is one of its two identifiers
  schema::SnapshotCache schemas_;  // each object's schema
  ScratchStack stack_;             // each object's field values, as read
};

template <class Read>
py::Ref Decoder::list_of(std::uint32_t n, std::size_t width, Read&& read) {
  const bool trusted = width == 0 || n <= r_.remaining() / width;
  py::Ref list = py::steal(PyList_New(trusted ? n : 0));
  if (!list) return {};
  for (std::uint32_t i = 0; i < n; ++i) {
    py::Ref item = read();
    if (!item) return {};
    if (trusted) {
      PyList_SetItem(list.get(), i, item.release());  // steals the item
    } else if (PyList_Append(list.get(), item.get()) < 0) {
      return {};
    }
  }
  return list;
}

template <class T, class Make>
py::Ref Decoder::fixed_list(std::uint32_t n, Make&& make) {
  const std::uint8_t* p = nullptr;
  if (!r_.read_raw(std::size_t{n} * sizeof(T), p)) return fail(msg::kEof);
  py::Ref list = py::steal(PyList_New(n));
  if (!list) return {};
  for (std::uint32_t i = 0; i < n; ++i) {
    PyObject* item = make(wire::load_le<T>(p + std::size_t{i} * sizeof(T)));
    if (!item) return {};
    PyList_SetItem(list.get(), i, item);  // steals the item
  }
  return list;
}

py::Ref Decoder::object() {
  DepthGuard guard(depth_);
  if (!guard.ok()) return fail(msg::kTooDeep);
  const std::size_t start = r_.position();
  std::uint32_t id = 0;
  if (!r_.read_u32(id)) return fail(msg::kEof);
  if (id == kVectorId) {
    std::uint32_t n = 0;
    if (!r_.read_u32(n)) return fail(msg::kEof);
    if (n > kMaxVectorCount) return fail(msg::kBadVectorCount);
    return vector_object(n);
  }

  const Schema* s = schemas_.current();
  std::uint32_t index =
      s ? static_cast<const CompiledSchema*>(s->attachment())->by_cid.find(id) : SmallIndex::kNone;
  if (index == SmallIndex::kNone && methods_ && s) index = method_index(*s, id);
  if (index == SmallIndex::kNone) return unknown(id, start);
  return fields_of(*s, s->by_index(index));
}

py::Ref Decoder::fields_of(const Schema& s, const Schema::Entry& e) {
  const CompiledRecord& rec = compiled(s, e);
  const std::size_t n = rec.fields.size();
  PyObject** values = stack_.push(n);
  std::uint32_t words[kFlagsWords] = {};
  const bool ok = read_fields(rec, words, values);
  py::Ref dict = ok ? object_dict(rec, hints_of(s, e).shape(), words, values) : py::Ref{};
  if (!ok) {
    for (std::size_t i = 0; i < n; ++i) Py_CLEAR(values[i]);
  }
  stack_.pop(n);
  return dict;
}

bool Decoder::read_fields(const CompiledRecord& rec, std::uint32_t* words, PyObject** values) {
  for (std::size_t i = 0; i < rec.fields.size(); ++i) {
    const CompiledField& f = rec.fields[i];
    const FieldRole role = role_of(f, words);
    if (role == FieldRole::kFlags) {
      if (!r_.read_u32(words[f.own_word])) {
        fail(msg::kEof);
        return false;
      }
      // object_dict makes the numbers and presence values of a fixed layout
      // from the final words; any other layout keeps them as they were read.
      if (!rec.fixed_layout && !(values[i] = PyLong_FromUnsignedLong(words[f.own_word]))) return false;
    } else if (role == FieldRole::kPayload) {
      if (!(values[i] = value(f.kind, f.element).release())) return false;
    } else if (role != FieldRole::kAbsent && !rec.fixed_layout) {
      values[i] = py::borrow(role == FieldRole::kTrue ? Py_True : Py_False).release();
    }
  }
  return true;
}

py::Ref Decoder::vector_object(std::uint32_t n) {
  // Every element is an object of at least its 4-byte identifier.
  return list_of(n, 4, [this] { return object(); });
}

py::Ref Decoder::unknown(std::uint32_t cid, std::size_t start) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto rest = r_.all().subspan(start);
  std::string hex(rest.size() * 2, '\0');
  for (std::size_t i = 0; i < rest.size(); ++i) {
    hex[2 * i] = kHex[rest[i] >> 4];
    hex[2 * i + 1] = kHex[rest[i] & 15];
  }
  r_.skip_to_end();
  return unknown_object_dict(cid, hex);
}

py::Ref Decoder::byte_string(bool text) {
  std::span<const std::uint8_t> payload;
  switch (r_.read_byte_string(payload)) {
    case ReadStatus::kOk: break;
    case ReadStatus::kEof: return fail(msg::kEof);
    case ReadStatus::kBadLength: return fail(text ? msg::kBadStringLen : msg::kBadBytesLen);
  }
  const char* p = reinterpret_cast<const char*>(payload.data());
  const auto n = static_cast<Py_ssize_t>(payload.size());
  if (!text) return py::steal(PyBytes_FromStringAndSize(p, n));
  // The interpreter's decoder is as strict as check_utf8, which therefore
  // runs only to word the refusal.
  py::Ref s = py::steal(PyUnicode_FromStringAndSize(p, n));
  return s ? s : bad_utf8(payload);
}

py::Ref Decoder::bad_utf8(std::span<const std::uint8_t> payload) {
  std::size_t at = 0, len = 0;
  if (wire::check_utf8(payload.data(), payload.size(), &at, &len)) return {};  // out of memory
  PyErr_Clear();
  // Formatted texts callers match on, as they are.
  fault_.fail(len == 0 ? "utf8: incomplete utf-8 byte sequence from index " + std::to_string(at)
                       : "utf8: invalid utf-8 sequence of " + std::to_string(len) +
                             " bytes from index " + std::to_string(at));
  return {};
}

py::Ref Decoder::not_a_bool(std::uint32_t id) {
  char text[64];
  // formatted: "Bool expected, got #<id> at offset <n>"
  (void)std::snprintf(text, sizeof(text), "%s#%08x%s%zu", msg::kNotABool, id, msg::kAtOffset,
                      r_.position() - 4);
  return fail(text);
}

py::Ref Decoder::not_a_vector(std::uint32_t id) {
  char text[32];
  // A formatted text callers match on. 23 characters always fit: the count cannot be short or negative.
  (void)std::snprintf(text, sizeof(text), "not a vector: %08x", id);
  return fail(text);
}

py::Ref Decoder::primitive_list(std::uint32_t n, TypeKind element) {
  switch (element) {
    case TypeKind::kLong:
      return fixed_list<std::int64_t>(n, [](std::int64_t v) { return PyLong_FromLongLong(v); });
    case TypeKind::kInt:
      return fixed_list<std::int32_t>(n, [](std::int32_t v) { return PyLong_FromLong(v); });
    case TypeKind::kDouble:
      return fixed_list<double>(n, [](double v) { return PyFloat_FromDouble(v); });
    default:
      // The remaining primitives never recurse.
      return list_of(n, min_width(element), [this, element] { return scalar(element); });
  }
}

py::Ref Decoder::vector_field(TypeKind element) {
  std::uint32_t id = 0;
  if (!r_.read_u32(id)) return fail(msg::kEof);
  if (id != kVectorId) return not_a_vector(id);
  std::uint32_t n = 0;
  if (!r_.read_u32(n)) return fail(msg::kEof);
  if (n > kMaxVectorCount) return fail(msg::kBadVectorCount);
  if (element != TypeKind::kObject && element != TypeKind::kVector) {
    return primitive_list(n, element);
  }
  // The elements of an inner vector are always "int".
  return list_of(n, min_width(element), [this, element] { return value(element, TypeKind::kInt); });
}

py::Ref Decoder::value(TypeKind kind, TypeKind element) {
  switch (kind) {
    case TypeKind::kVector:
      return vector_field(element);
    case TypeKind::kObject:
      return object();
    default:
      return scalar(kind);
  }
}

py::Ref Decoder::scalar(TypeKind kind) {
  switch (kind) {
    case TypeKind::kFlags: {
      std::uint32_t w = 0;
      if (!r_.read_u32(w)) return fail(msg::kEof);
      return py::steal(PyLong_FromUnsignedLong(w));
    }
    case TypeKind::kInt: {
      std::uint32_t w = 0;
      if (!r_.read_u32(w)) return fail(msg::kEof);
      return py::steal(PyLong_FromLong(static_cast<std::int32_t>(w)));
    }
    case TypeKind::kLong: {
      std::uint64_t w = 0;
      if (!r_.read_u64(w)) return fail(msg::kEof);
      return py::steal(PyLong_FromLongLong(static_cast<long long>(w)));
    }
    case TypeKind::kDouble: {
      double d = 0;
      if (!r_.read_double(d)) return fail(msg::kEof);
      return py::steal(PyFloat_FromDouble(d));
    }
    case TypeKind::kBool: {
      std::uint32_t w = 0;
      if (!r_.read_u32(w)) return fail(msg::kEof);
      if (w == kBoolTrue) return py::borrow(Py_True);
      if (strict_ && w != kBoolFalse) return not_a_bool(w);
      return py::borrow(Py_False);
    }
    case TypeKind::kTrue:
      return py::borrow(Py_True);
    case TypeKind::kInt128:
    case TypeKind::kInt256: {
      const std::size_t n = kind == TypeKind::kInt128 ? 16 : 32;
      const std::uint8_t* p = nullptr;
      if (!r_.read_raw(n, p)) return fail(msg::kEof);
      return py::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p),
                                                  static_cast<Py_ssize_t>(n)));
    }
    case TypeKind::kBytes:
      return byte_string(false);
    case TypeKind::kString:
      return byte_string(true);
    case TypeKind::kVector:
    case TypeKind::kObject:
      break;
  }
  return fail(msg::kUnknownFieldType);
}

#undef VELMORA_OUTLINE

// The outcome of a decode: the value, or null with the decode error in the
// Fault or the interpreter's error set.
py::Ref finish(py::Ref out, Fault& fault) {
  if (out) return out;
  // A Python error met on the way (none expected) yields to the decode error.
  if (fault.failed()) PyErr_Clear();
  return py::Ref();
}

}  // namespace

py::Ref deserialize(py::ByteView data, Fault& fault) {
  Decoder d(data, fault);
  return finish(d.object(), fault);
}

py::Ref deserialize_strict(py::ByteView data, Fault& fault) {
  Decoder d(data, fault, false, true);
  py::Ref out = d.object();
  if (out && d.position() != d.size()) {
    // formatted: "<n> bytes after the object at offset <m>"
    fault.fail(std::to_string(d.size() - d.position()) + msg::kTrailingBytes + std::to_string(d.position()));
    return {};
  }
  return finish(std::move(out), fault);
}

py::Ref deserialize_value(py::ByteView data, std::size_t offset, TypeKind kind, TypeKind element,
                          bool methods, std::size_t* end, Fault& fault, bool strict) {
  Decoder d(data, fault, methods, strict);
  py::Ref out = d.value_at(offset, kind, element);
  *end = d.position();
  return finish(std::move(out), fault);
}

py::Ref deserialize_bare(py::ByteView data, std::size_t offset, std::string_view constructor,
                         std::size_t* end, bool strict, Fault& fault) {
  Decoder d(data, fault, false, strict);
  py::Ref out = d.bare_at(offset, constructor);
  *end = d.position();
  return finish(std::move(out), fault);
}

}  // namespace velmora::codec
