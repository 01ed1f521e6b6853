// compiled.hpp: what the codec keeps beside an installed Schema.
//
// For every record (by Schema slot) the Python str of its name and of each
// field name, and each field's type classification and flags words worked
// out once. Built before the Schema is published and immutable afterwards;
// its Python objects are released only with the GIL held, as every release
// of a Schema happens inside a module call or at installation.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "py/py.hpp"
#include "schema/schema.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

using wire::TypeKind;

struct CompiledField {
  const schema::TlFieldDef* def = nullptr;
  py::Ref key;                   // the field name as str
  TypeKind kind = TypeKind::kInt;
  // kVector only: the element field's kind; when that is kVector too, the
  // inner elements are "int".
  TypeKind element = TypeKind::kInt;
  bool conditional = false;      // the record has_flags and the field a flag_bit
  std::uint8_t own_word = 0;     // "#" fields: word of its own name
  std::uint8_t group_word = 0;   // conditional fields: word of flags_group or "flags"
  std::uint32_t bit = 0;         // conditional fields: 1 << (flag_bit % 32)
};

struct CompiledRecord {
  py::Ref name;  // the record's name as str
  std::vector<CompiledField> fields;
};

class CompiledSchema final : public schema::SchemaAttachment {
 public:
  std::vector<CompiledRecord> records;  // by Schema slot
  // Record name (exact str) -> slot (int), for methods and for constructors:
  // lets the codec find a record from a Python name without a UTF-8 copy.
  py::Ref method_slots;
  py::Ref constructor_slots;
};

// The compiled data of an installed schema.
inline const CompiledRecord& compiled(const schema::Schema& s, const schema::Schema::Entry& e) {
  return static_cast<const CompiledSchema*>(s.attachment())->records[e.slot];
}

// Builds the Schema and its compiled data; null with a Python error set when
// a str object could not be created.
std::shared_ptr<const schema::Schema> publish_schema(schema::SchemaInput&& input);

}  // namespace velmora::codec
