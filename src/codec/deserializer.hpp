// deserializer.hpp: TL bytes back to Python values under the current schema.
//
// One cursor runs over the caller's buffer, read in place. Identifiers the
// schema does not know become an unknown-constructor dict holding the rest of
// the input as hex; every read error is a ValueError with a fixed text.
#pragma once

#include "py/py.hpp"
#include "py/result.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

// Decodes the object at the start of data; trailing bytes are ignored.
Result<py::Ref> deserialize(py::ByteView data);

// Decodes one value at offset (not past the end of data): kind and element
// as a field's classification gives them (element: a vector's elements).
// With methods, an identifier that names no constructor is looked up among
// the methods too. *end is set to the offset just past the value.
Result<py::Ref> deserialize_value(py::ByteView data, std::size_t offset, wire::TypeKind kind,
                                  wire::TypeKind element, bool methods, std::size_t* end);

}  // namespace velmora::codec
