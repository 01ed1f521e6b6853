// type_name.hpp: what a TL type name, as a caller or a method's result
// writes it, asks the deserializer to read.
//
// A primitive name reads that primitive; "Vector<T>" a boxed vector of T
// (T any of these, a vector of vectors only of "int", as the codec reads
// them); any other name ("Object", "User", "X") one boxed object.
#pragma once

#include <optional>
#include <string_view>

#include "wire/wire.hpp"

namespace velmora::codec {

struct ValueType {
  wire::TypeKind kind = wire::TypeKind::kObject;
  wire::TypeKind element = wire::TypeKind::kInt;  // kVector only
};

// The reading of a type name, or nothing when the codec cannot read it
// exactly: empty, unbalanced "Vector<", or a vector of vectors of other
// than "int".
std::optional<ValueType> parse_type_name(std::string_view name) noexcept;

}  // namespace velmora::codec
