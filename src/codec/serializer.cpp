#include "codec/serializer.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "codec/closest.hpp"
#include "codec/refusals.hpp"
#include "codec/value_rules.hpp"
#include "codec/walk.hpp"

namespace velmora::codec {
namespace {

using wire::kFlagsWords;

// The call's new bytes; null, the interpreter's MemoryError set, when they
// cannot be had (the Fault left as it is stands for that error).
py::Ref bytes_of(const void* data, std::size_t len) {
  return py::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(len)));
}

// The entry that an exact str names in one of the compiled name tables, or
// null. Comparing exact str keys runs no Python code; anything else (a str
// subclass, a miss) is left to the text path, which also words the errors.
const Schema::Entry* find_by_str(const Schema& s, PyObject* name, bool constructors,
                                 bool methods) {
  if (!py::is_exact_str(name)) return nullptr;
  const auto* cs = static_cast<const CompiledSchema*>(s.attachment());
  for (PyObject* table : {constructors ? cs->constructor_indexes.get() : nullptr,
                          methods ? cs->method_indexes.get() : nullptr}) {
    if (table == nullptr) continue;
    PyObject* hit = PyDict_GetItemWithError(table, name);
    if (hit != nullptr) return &s.by_index(PyLong_AsSize_t(hit));
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace

// The flags words from the values, field by field in schema order.
template <bool Strict>
void Serializer<Strict>::flags_pass(const CompiledRecord& rec, FieldValues& values, std::uint32_t* words) {
  std::fill_n(words, kFlagsWords, 0);
  const std::size_t n = rec.fields.size();
  for (std::size_t i = 0; i < n; ++i) {
    const CompiledField& f = rec.fields[i];
    if (!f.conditional) continue;
    PyObject* v = values.get(i);
    if (v == nullptr || v == Py_None) continue;
    if (f.presence_flag && to_bool(v) != 1) continue;
    words[f.group_word] |= f.bit;
  }
}

// One boxed object: its constructor identifier, then its fields. The call's
// first object (the top-level one, or dumps()'s) is at depth 1.
template <bool Strict>
bool Serializer<Strict>::write_object(std::string_view name, PyObject* dict, const Schema& s,
                              const Schema::Entry& e, Fault& fault, Py_ssize_t after_name) {
  const CompiledRecord& rec = compiled(s, e);
  std::uint32_t words[kFlagsWords] = {};
  FieldValues values(gathered_, dict, rec, hints_of(s, e), rec.has_flags ? words : nullptr, depth_ == 1,
                     after_name);
  w_.put_u32(e.record->cid);
  // Strict failures name the path, which the top level starts.
  const std::string_view obj = strict_ ? std::string_view() : name;
  bool written = false;
  if (!rec.has_flags) {
    written = write_fields(obj, rec, values, fault);
  } else {
    if (!values.flags_set()) flags_pass(rec, values, words);
    written = write_flagged_fields(obj, rec, values, words, fault);
  }
  if (!strict_) return written;
  // Strict: the keys the walk found as fields make up the whole dict, with
  // the "_" that named a nested object (see keys_known).
  const Py_ssize_t found = values.found();
  if (written && rec.gather && found >= 0) {
    const Py_ssize_t extra = PyDict_Size(dict) - found;
    if (extra == 0 || (extra == 1 && depth_ > 1)) return true;
  }
  return keys_known(dict, rec, values, written, fault);
}

// Strict: every key of the dict is "_" or names a field. The keys found as
// fields, with "_", make up the whole dict only when no other key is there,
// so the dict is walked only when the count says otherwise, or after a
// missing field (most often a misspelt key, which is the better report).
template <bool Strict>
bool Serializer<Strict>::keys_known(PyObject* dict, const CompiledRecord& rec, FieldValues& values,
                            bool written, Fault& fault) {
  if (written) {
    Py_ssize_t found = values.found();
    if (found < 0) {
      found = 0;
      for (std::size_t i = 0; i < rec.fields.size(); ++i) found += values.get(i) != nullptr;
    }
    const Py_ssize_t extra = PyDict_Size(dict) - found;
    if (rec.gather && extra == 0) return true;
    // "_" named every object but the top level of serialize_method and
    // serialize_constructor.
    if (rec.gather && extra == 1 && (depth_ > 1 || !top_args_)) return true;
    PyObject* const underscore = underscore_key.get();
    if (rec.gather && extra == 1 && underscore && PyDict_GetItemWithError(dict, underscore)) return true;
    PyErr_Clear();
  } else if (!fault.path().empty() || !fault.text().starts_with(msg::kMissingField)) {
    return false;  // only this object's own missing field yields to an unknown key
  }
  return keys_name_fields(dict, rec, fault) && written;
}

// The fields of a record without flags: each one required.
template <bool Strict>
inline bool Serializer<Strict>::write_fields(std::string_view name, const CompiledRecord& rec, FieldValues& values,
                              Fault& fault) {
  const std::size_t n = rec.fields.size();  // not re-read after each call out
  for (std::size_t i = 0; i < n; ++i) {
    const CompiledField& f = rec.fields[i];
    PyObject* v = values.get(i);
    if (v == nullptr) return missing_field(name, f, fault);
    if (!field(name, f, v, fault)) return false;
  }
  return true;
}

// The fields of a record with flags: the flags words as worked out, and each
// conditional field only when present. Once the words are settled, a record
// of few enough fields visits only those the walk found and those written
// or checked when missing (always_visit); the rest would be skipped anyway.
template <bool Strict>
inline bool Serializer<Strict>::write_flagged_fields(std::string_view name, const CompiledRecord& rec,
                                      FieldValues& values, const std::uint32_t* words,
                                      Fault& fault) {
  const std::size_t n = rec.fields.size();
  if (n > kMaskFields) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!flagged_field(name, rec.fields[i], values, i, words, fault)) return false;
    }
    return true;
  }
  std::uint64_t visit = values.found() >= 0 ? rec.always_visit | values.present()
                                            : ~std::uint64_t{0} >> (kMaskFields - n);
  for (; visit != 0; visit &= visit - 1) {
    const auto i = static_cast<std::size_t>(std::countr_zero(visit));
    if (!flagged_field(name, rec.fields[i], values, i, words, fault)) return false;
  }
  return true;
}

// Field i of a record with flags.
template <bool Strict>
inline bool Serializer<Strict>::flagged_field(std::string_view name, const CompiledField& f,
                                              FieldValues& values, std::size_t i,
                                              const std::uint32_t* words, Fault& fault) {
  if (f.kind == TypeKind::kFlags) {
    w_.put_u32(words[f.own_word]);
    return true;
  }
  PyObject* v = values.get(i);
  if (!f.conditional) return v == nullptr ? missing_field(name, f, fault) : field(name, f, v, fault);
  const bool bit = (words[f.group_word] & f.bit) != 0;
  if (v == nullptr || v == Py_None) {
    // A sibling on the same bit set it, so every reader expects this
    // field's payload: writing nothing would be bytes no one can read.
    return f.presence_flag || !bit || missing_field(name, f, fault);
  }
  if (f.presence_flag) {
    // The bit is settled already; strict refuses what is not a flag.
    if (!strict_) {
      (void)to_bool(v);
    } else if (!check_presence_flag(v, fault)) {
      path_field(f, fault);
      return false;
    }
    return true;
  }
  // The words are written already: a value that Python code put in the
  // dict after they were settled is not written, as they say it is absent.
  return !bit || field(name, f, v, fault);
}

template <bool Strict>
inline bool Serializer<Strict>::field(std::string_view obj, const CompiledField& f, PyObject* v, Fault& fault) {
  if (value(f.kind, f.element, f.expect, v, fault)) return true;
  field_error(obj, f, fault);
  return false;
}

template <bool Strict>
inline bool Serializer<Strict>::value(TypeKind kind, TypeKind element, const std::string* expect, PyObject* v,
                       Fault& fault) {
  if (kind == TypeKind::kVector) return vector(element, expect, v, fault);
  if (kind == TypeKind::kObject) return nested_field(v, expect, fault);
  if (strict_) return write_scalar_strict(kind, v, w_, hex_text_, fault);
  return write_scalar(kind, v, w_, fault);
}

template <bool Strict>
bool Serializer<Strict>::vector(TypeKind element, const std::string* expect, PyObject* v, Fault& fault) {
  const bool list = py::is_list(v);
  if (!list && !py::is_tuple(v)) {
    if (strict_) return refuse(fault, msg::kStrictVector, v);
    return fault.fail(msg::kVectorExpected);
  }
  // The elements of an inner vector are always "int".
  const TypeKind inner = TypeKind::kInt;
  const Py_ssize_t n = list ? py::list_size(v) : py::tuple_size(v);
  w_.put_vector_header(static_cast<std::uint32_t>(n));
  Py_ssize_t i = 0;
  if (element == TypeKind::kLong || element == TypeKind::kInt) {
    i = element == TypeKind::kLong ? write_exact_int_run<std::uint64_t>(w_, v, list, n)
        : strict_                  ? write_exact_int_run<std::uint32_t, true>(w_, v, list, n)
                                   : write_exact_int_run<std::uint32_t>(w_, v, list, n);
  }
  // Converting an item may run Python code; a list that changes size
  // meanwhile would make the count written above wrong.
  for (; i < n && !(list && py::list_size(v) != n); ++i) {
    py::Ref item = py::borrow(list ? PyList_GetItem(v, i) : PyTuple_GetItem(v, i));
    if (!value(element, inner, expect, item.get(), fault)) {
      if (strict_) path_index(i, fault);
      return false;
    }
  }
  return !(list && py::list_size(v) != n) || fault.fail(msg::kVectorResized);
}

// The value of an Object field: a dict named by its entry "_", or a
// ready-made encoding.
template <bool Strict>
bool Serializer<Strict>::nested_field(PyObject* v, const std::string* expect, Fault& fault) {
  if (!py::is_dict(v)) return object_ready_made(v, expect, fault);
  PyObject* const underscore = underscore_key.get();
  if (underscore == nullptr) PyErr_Clear();  // out of memory: fails as nameless
  // A dict written as a literal or made by loads() holds "_" first: the name
  // then comes with the first item, and the gather goes on after it.
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* name = nullptr;
  if (!PyDict_Next(v, &pos, &key, &name) || key != underscore) {
    pos = 0;
    name = underscore ? PyDict_GetItemWithError(v, underscore) : nullptr;
  }
  if (name == nullptr || !py::is_str(name)) {
    PyErr_Clear();
    return fault.fail(msg::kNestedNoName);
  }
  py::Ref hold = py::borrow(name);
  return object_by_name_str(name, v, fault, msg::kNestedNoName, expect, pos);
}

template <bool Strict>
bool Serializer<Strict>::object_ready_made(PyObject* v, const std::string* expect, Fault& fault) {
  if (strict_) {
    std::uint32_t id = 0;
    if (!write_ready_made_strict(v, w_, &id, fault)) return false;
    // An identifier the schema knows must name a constructor of the field's type.
    const Schema* s = schemas_.current();
    if (expect == nullptr || s == nullptr) return true;
    const std::uint32_t index = static_cast<const CompiledSchema*>(s->attachment())->by_cid.find(id);
    return index == SmallIndex::kNone || builds(*s, s->by_index(index), *expect, fault);
  }
  return write_ready_made(v, w_, fault);
}

template <bool Strict>
inline bool Serializer<Strict>::object_by_name_str(PyObject* name, PyObject* dict, Fault& fault,
                                                   const char* no_text, const std::string* expect,
                                                   Py_ssize_t after_name) {
  if (py::is_exact_str(name)) {
    if (const Schema* s = schemas_.current()) {
      const auto* cs = static_cast<const CompiledSchema*>(s->attachment());
      const std::uint32_t index = cs->nested_by_name.find(address(name));
      const Schema::Entry* e =
          index != SmallIndex::kNone ? &s->by_index(index) : find_by_str(*s, name, true, true);
      if (e != nullptr) return nested_object(*e->name, s, e, dict, fault, expect, after_name);
    }
  }
  return object_by_name_text(name, dict, fault, no_text, expect);
}

// The name's text, looked up as a constructor, else as a method; a name
// that is not exact (see name_text) is reported as unknown.
template <bool Strict>
bool Serializer<Strict>::object_by_name_text(PyObject* name, PyObject* dict, Fault& fault,
                                     const char* no_text, const std::string* expect) {
  ByteSource text;
  bool exact = true;
  if (!name_text(name, text, &exact)) return fault.fail(no_text);
  const std::string_view n(reinterpret_cast<const char*>(text.data), text.len);
  const Schema* s = schemas_.current();
  const Schema::Entry* e = s && exact ? s->find_constructor(n) : nullptr;
  if (e == nullptr && s && exact) e = s->find_method(n);
  return nested_object(n, s, e, dict, fault, expect, 0);
}

// A nested object, one more level of nesting, of the record e found in
// snapshot s (null: no schema; e null: `name` names no record).
template <bool Strict>
inline bool Serializer<Strict>::nested_object(std::string_view name, const Schema* s,
                                              const Schema::Entry* e, PyObject* dict, Fault& fault,
                                              const std::string* expect, Py_ssize_t after_name) {
  DepthGuard guard(depth_);
  if (!guard.ok()) return fault.fail(msg::kTooDeep);
  if (s == nullptr) return fault.fail(msg::kNoSchema);
  if (e == nullptr) return unknown_nested(name, *s, fault);
  if (strict_ && expect != nullptr && compiled(*s, *e).type != expect && !builds(*s, *e, *expect, fault)) {
    return false;
  }
  if (!write_object(name, dict, *s, *e, fault, after_name)) {
    if (!strict_) fault.step(msg::kNestedPrefix);
    return false;
  }
  return true;
}

// "unknown constructor <name>", strict with the closest names after it.
template <bool Strict>
bool Serializer<Strict>::unknown_nested(std::string_view name, const Schema& s, Fault& fault) {
  std::string m = std::string(msg::kUnknownNested).append(name);  // formatted: "unknown constructor <name>"
  if (strict_) m.append(did_you_mean(closest_records(s, name, true, true)));
  return fault.fail(std::move(m));
}

namespace {

// Writes the top-level object of a record found in the snapshot, which the
// serializer keeps for the nested objects.
[[gnu::hot]] py::Ref encode_top_level(schema::SchemaStore::Snapshot snap, const Schema::Entry& e,
                                      PyObject* args, Strictness how, Fault& fault) {
  if (!py::is_dict(args)) {
    fault.fail(msg::kArgsNotDict);
    return {};
  }
  const Schema& s = *snap.schema;
  RecordHints& hints = hints_of(s, e);
  Writer w;
  w.reserve(hints.size());  // a page of messages, written with no regrowth
  bool ok = false;
  if (how == Strictness::kLenient) {
    Serializer<false> walk(w, std::move(snap));
    ok = walk.top_level_object(*e.name, args, s, e, fault);
  } else {
    Serializer<true> walk(w, std::move(snap), how == Strictness::kStrictHexText);
    ok = walk.top_level_object(*e.name, args, s, e, fault);
  }
  if (!ok) {
    if (how != Strictness::kLenient && fault.located()) fault.step(*e.name);  // the path's start
    return {};
  }
  hints.note_size(w.size());
  return bytes_of(w.data(), w.size());
}

// serialize_method and serialize_constructor: the exact-str lookup first,
// the text path when that does not find it.
[[gnu::hot]] py::Ref serialize_by_name_str(PyObject* name, PyObject* args, bool method, Strictness how,
                                           Fault& fault) {
  schema::SchemaStore::Snapshot snap = current_snapshot();
  const Schema* s = snap.schema.get();
  if (s) {
    const Schema::Entry* e = find_by_str(*s, name, !method, method);
    if (e != nullptr) return encode_top_level(std::move(snap), *e, args, how, fault);
  }
  py::ByteView text;
  py::Ref hold = py::utf8_of(name, &text);  // UnicodeEncodeError passed on as it is
  if (!hold) {
    fault.pending();
    return {};
  }
  const std::string_view n(reinterpret_cast<const char*>(text.data()), text.size());
  if (!s) {
    fault.fail(msg::kNoSchema, ErrorKind::kRuntime);
    return {};
  }
  const Schema::Entry* e = method ? s->find_method(n) : s->find_constructor(n);
  if (e == nullptr) {
    // formatted: "unknown method: <name>", "unknown constructor: <name>"
    std::string m = std::string(method ? msg::kUnknownMethod : msg::kUnknownConstructor).append(n);
    if (how != Strictness::kLenient) m += unknown_name_hint(*s, n, method);
    fault.fail(std::move(m));
    return {};
  }
  return encode_top_level(std::move(snap), *e, args, how, fault);
}

}  // namespace

py::Ref serialize_method(PyObject* method, PyObject* args, Strictness how, Fault& fault) {
  return serialize_by_name_str(method, args, true, how, fault);
}

py::Ref serialize_constructor(PyObject* name, PyObject* args, Strictness how, Fault& fault) {
  return serialize_by_name_str(name, args, false, how, fault);
}

py::Ref dumps(PyObject* obj, Strictness how, Fault& fault) {
  if (py::is_bytes(obj)) {
    auto view = py::bytes_view(obj);
    return bytes_of(view.data(), view.size());
  }
  PyObject* const underscore = underscore_key.get();
  PyObject* name = nullptr;
  if (!py::is_dict(obj)) {
    fault.fail(msg::kArgsNotDict);
    return {};
  }
  if (underscore != nullptr) name = PyDict_GetItemWithError(obj, underscore);
  if (name == nullptr && (underscore == nullptr || PyErr_Occurred())) {
    fault.pending();
    return {};
  }
  if (name == nullptr || !py::is_str(name)) {
    fault.fail(msg::kDumpsNoName);
    return {};
  }
  py::Ref hold = py::borrow(name);
  Writer w;
  const bool ok = how == Strictness::kLenient
                      ? Serializer<false>(w, current_snapshot()).object_by_name_str(name, obj, fault, msg::kDumpsNoName)
                      : Serializer<true>(w, current_snapshot(), how == Strictness::kStrictHexText)
                            .object_by_name_str(name, obj, fault, msg::kDumpsNoName);
  if (!ok) {
    ByteSource text;
    bool exact = true;
    if (how != Strictness::kLenient && fault.located() && name_text(name, text, &exact)) {  // the path's start
      fault.step(std::string_view(reinterpret_cast<const char*>(text.data), text.len));
    }
    return {};
  }
  return bytes_of(w.data(), w.size());
}

}  // namespace velmora::codec
