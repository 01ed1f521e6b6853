// deserializer.hpp: TL bytes back to Python values under the current schema.
//
// One cursor runs over the caller's buffer, read in place. Identifiers the
// schema does not know become an unknown-constructor dict holding the rest of
// the input as hex; every read error is a ValueError with a fixed text. Each
// function returns the value, or null with the Fault filled (or, out of
// memory, the interpreter's error set).
#pragma once

#include "codec/fault.hpp"
#include "py/py.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

// Decodes the object at the start of data; trailing bytes are ignored.
py::Ref deserialize(py::ByteView data, Fault& fault);

// The package's strict decoding: a Bool is boolTrue or boolFalse, and the
// object ends the data; each refusal names its offset.
py::Ref deserialize_strict(py::ByteView data, Fault& fault);

// Decodes one value at offset (not past the end of data): kind and element
// as a field's classification gives them (element: a vector's elements).
// With methods, an identifier that names no constructor is looked up among
// the methods too. *end is set to the offset just past the value. strict:
// a Bool is one of its two identifiers.
py::Ref deserialize_value(py::ByteView data, std::size_t offset, wire::TypeKind kind, wire::TypeKind element,
                          bool methods, std::size_t* end, Fault& fault, bool strict = false);

// The fields of the named constructor of the current schema at offset, as
// TL's bare type of that name reads them: no identifier first.
py::Ref deserialize_bare(py::ByteView data, std::size_t offset, std::string_view constructor,
                         std::size_t* end, bool strict, Fault& fault);

}  // namespace velmora::codec
