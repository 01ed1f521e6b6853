// deserializer.hpp: TL bytes back to Python values under the current schema.
//
// One cursor runs over the caller's buffer, read in place. Identifiers the
// schema does not know become an unknown-constructor dict holding the rest of
// the input as hex; every read error is a ValueError with a fixed text.
#pragma once

#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::codec {

// Decodes the object at the start of data; trailing bytes are ignored.
Result<py::Ref> deserialize(py::ByteView data);

}  // namespace velmora::codec
