// compiled.hpp: what the codec keeps beside an installed Schema.
//
// For every record (by its Schema record index) the Python str of its name and of each
// field name, and each field's type classification and flags words worked
// out once. Built before the Schema is published and read-only afterwards;
// what the codec learns as it runs lives beside it, in its hint table
// (codec/hints.hpp). Its Python objects are released only with the GIL held,
// as every release of a Schema happens inside a module call or at
// installation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/hints.hpp"
#include "py/py.hpp"
#include "py/shared.hpp"
#include "schema/schema.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

using wire::TypeKind;

// A small open-addressing table from a word (the address of a str, a
// constructor identifier) to an index (a field's, a record's), built once.
class SmallIndex {
 public:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  using Entries = std::vector<std::pair<std::uintptr_t, std::uint32_t>>;

  SmallIndex() = default;
  // Moving keeps the vector's storage, which table_ points into.
  SmallIndex(SmallIndex&&) noexcept = default;
  SmallIndex& operator=(SmallIndex&&) noexcept = default;

  // True when no key repeats; of equal keys, find() returns the first built.
  bool build(const Entries& entries);

  std::uint32_t find(std::uintptr_t key) const noexcept {
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Bucket& b = table_[i];
      if (b.value == kNone || b.key == key) return b.value;
    }
  }

 private:
  // One place of the table: a key and its index, or kNone when empty.
  struct Bucket {
    std::uintptr_t key;
    std::uint32_t value;
  };
  static constexpr Bucket kEmpty[1] = {{0, kNone}};
  // Fibonacci hashing: the top bits of the product mix every bit of the key,
  // so aligned addresses spread as well as numbers do.
  std::size_t home(std::uintptr_t key) const noexcept {
    return static_cast<std::size_t>((std::uint64_t{key} * 0x9e3779b97f4a7c15ull) >> shift_) & mask_;
  }
  std::vector<Bucket> buckets_;  // a power of two of them, at least twice the keys
  const Bucket* table_ = kEmpty;  // buckets_, or one empty bucket before build()
  std::size_t mask_ = 0;         // buckets - 1
  unsigned shift_ = 63;          // 64 - log2(buckets): home() keeps the top bits
};

inline std::uintptr_t address(const PyObject* o) noexcept {
  return reinterpret_cast<std::uintptr_t>(o);
}

// One field of a record, as the serializer and the deserializer read it.
struct CompiledField {
  const schema::TlFieldDef* def = nullptr;  // the field in the Schema (name, type text)
  py::Ref key;                   // the field name as str, interned and shared
  Py_hash_t hash = 0;            // of key, for gathering a key equal but not the same
  TypeKind kind = TypeKind::kInt;  // how the value is written and read
  // kVector only: the element field's kind; when that is kVector too, the
  // inner elements are "int".
  TypeKind element = TypeKind::kInt;
  bool conditional = false;      // the record has_flags and the field a flag_bit
  // is_bare: a conditional field that is its bit alone (True or False), with
  // no payload; ignored on any other field.
  bool presence_flag = false;
  std::uint8_t own_word = 0;     // "#" fields: word of its own name
  std::uint8_t group_word = 0;   // conditional fields: word of flags_group or "flags"
  std::uint32_t bit = 0;         // conditional fields: 1 << (flag_bit % 32)
  // Strict encoding: the type (in CompiledSchema::type_names) that a nested
  // object here must build, this field's or its vector's elements'; null
  // when no constructor of the document declares building it.
  const std::string* expect = nullptr;
};

// The records whose fields a 64-bit mask can stand for, one bit each.
inline constexpr std::size_t kMaskFields = 64;

// One record: what a codec call reads of it for each object it writes or reads.
struct CompiledRecord {
  py::Ref name;  // the record's name as str (a decoded object's "_")
  std::vector<CompiledField> fields;  // in schema order
  bool has_flags = false;             // the record's has_flags
  // Field names unique: FieldValues may gather an object's values from one
  // walk of its dict, matching each key to a field by by_key.
  bool gather = false;
  bool underscore_field = false;  // a field is named "_", the key that names objects
  // Records of at most kMaskFields fields: the fields written even when their
  // key is missing, by bit (see write_flagged_fields): the flags words, the
  // unconditional fields, and each payload field that shares its bit with
  // another field (which may set it).
  std::uint64_t always_visit = 0;
  SmallIndex by_key;  // address of the interned field name -> field index (FieldValues)
  // A constructor's "type" (in CompiledSchema::type_names), else null.
  const std::string* type = nullptr;
  // Every conditional field follows the flags word it depends on, and no
  // flags word is read twice: the words at the end of an object are those
  // each field was decided by, so the object's keys follow from them.
  bool fixed_layout = false;
};

class CompiledSchema final : public schema::SchemaAttachment {
 public:
  std::vector<CompiledRecord> records;  // by Schema record index
  // Record name (exact str) -> record index (int), for methods and for
  // constructors: lets the serializer find a record from a Python name
  // without a UTF-8 copy.
  py::Ref method_indexes;
  py::Ref constructor_indexes;
  // Address of an interned record name -> record index, as the serializer
  // resolves a nested object's name: the constructor of that name, else the
  // method.
  SmallIndex nested_by_name;
  // Constructor identifier -> record index of the constructor that
  // find_constructor_by_cid finds (the deserializer's lookup).
  SmallIndex by_cid;
  // The types the document's constructors build, each once; its records
  // and fields point here.
  std::vector<std::string> type_names;
  // The one part written after publication, in a table of its own: through
  // a read-only CompiledSchema it is still the hints' to write.
  std::unique_ptr<HintTable> hints;
};

// The key "_" of an object's dict, which names its record: read by the
// serializer, written by the deserializer.
inline py::InternedText underscore_key{"_"};

// The store's current snapshot, kept from call to call while the store's
// generation is unchanged: a codec call takes a reference count, not the
// store's lock as well (under the GIL; compiled.cpp says why not without).
// A schema it lets go is released by a thread attached to the interpreter.
[[gnu::hot]] schema::SchemaStore::Snapshot current_snapshot();

// The compiled data of an installed schema.
inline const CompiledRecord& compiled(const schema::Schema& s, const schema::Schema::Entry& e) {
  return static_cast<const CompiledSchema*>(s.attachment())->records[e.index];
}

// The hints of e's record.
inline RecordHints& hints_of(const schema::Schema& s, const schema::Schema::Entry& e) {
  return static_cast<const CompiledSchema*>(s.attachment())->hints->record(e.index);
}

// Builds the Schema and its compiled data; null with a Python error set when
// a str object could not be created.
std::shared_ptr<const schema::Schema> publish_schema(schema::SchemaInput&& input);

}  // namespace velmora::codec
