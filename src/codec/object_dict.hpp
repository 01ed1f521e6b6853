// object_dict.hpp: the dict of a decoded object, made from its record, its
// flags words and the values read for its fields.
//
// Objects of a record mostly come with the same flags, so with the same keys
// in the same order, the same flags numbers and the same True or False for
// each presence field. Once the same flags have come twice in a row, the
// record keeps that dict as its shape (payload values None); each object
// with those flags is then a copy of it, made in one step with no resizing,
// and only its payload values are set. Keys, their order and every value are
// the same as when the dict is built key by key.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec/compiled.hpp"
#include "py/py.hpp"

namespace velmora::codec {

// What a field contributes to its object's dict, given the flags words read
// so far: the one statement of the flags rules for decoding.
enum class FieldRole : std::uint8_t {
  kFlags,    // a flags word: read, then its number
  kAbsent,   // conditional, its bit clear: nothing read, no key
  kFalse,    // presence field, its bit clear: nothing read, False
  kTrue,     // presence field, its bit set: nothing read, True
  kPayload,  // read by its type
};

inline FieldRole role_of(const CompiledField& f, const std::uint32_t* words) noexcept {
  if (f.kind == TypeKind::kFlags) return FieldRole::kFlags;
  if (!f.conditional) return FieldRole::kPayload;
  if (!(words[f.group_word] & f.bit)) return f.presence_flag ? FieldRole::kFalse : FieldRole::kAbsent;
  return f.presence_flag ? FieldRole::kTrue : FieldRole::kPayload;
}

// The dict of one object of rec. words are its flags words; values holds,
// by field index, a new reference for each payload field read and null
// elsewhere, except for a record without fixed_layout, whose values hold
// every field that has a key (flags numbers and presence values included),
// as read. Steals every value, whatever the outcome, and leaves values null.
// Null with a Python error set when a Python object could not be made. A
// record of fixed layout makes its dicts as copies of shape, which it keeps
// up to date.
py::Ref object_dict(const CompiledRecord& rec, DictShape& shape, const std::uint32_t* words,
                    PyObject** values);

// The dict of an object whose identifier cid no record has: its name
// "unknownConstructor", "cid" and "raw" (the hex of the bytes from the
// identifier on). Null with a Python error set when it could not be made.
py::Ref unknown_object_dict(std::uint32_t cid, std::string_view hex);

}  // namespace velmora::codec
