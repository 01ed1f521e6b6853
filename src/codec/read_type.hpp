// read_type.hpp: what velmora.read reads for a type name, checked against
// the schema in use, so that a misspelt name is refused rather than read as
// whatever object the bytes hold.
#pragma once

#include <string>
#include <string_view>

#include "codec/type_name.hpp"
#include "codec/fault.hpp"
#include "schema/schema.hpp"

namespace velmora::codec {

struct ReadType {
  ValueType value;
  bool bare = false;  // a constructor's name: its fields with no identifier first
};

// A primitive, "Object", a boxed type that a constructor of s builds, or
// Vector<> of these reads as parse_type_name says; a constructor's name reads
// that constructor bare. Any other name is a ValueError naming it with the
// closest known names. A schema whose constructors say no type they build
// cannot tell a type from a misspelling: there every other name reads boxed.
// False with the Fault filled when the name is refused.
bool resolve_read_type(std::string_view name, const schema::Schema* s, ReadType& out, Fault& fault);

}  // namespace velmora::codec
