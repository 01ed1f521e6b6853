// serializer.hpp: Python values to TL bytes under the current schema.
//
// src/codec is the Python-facing half of the codec: it walks Python objects
// and leaves the bytes to src/wire. The module calls it with arguments it has
// already converted.
//
// The top-level functions return the new bytes object or a Failure. Inside,
// every value error is a text that gains one "object:field: " prefix per
// object level, and a nested object's failure the prefix "ValueError: " as
// well (the texts: codec/messages.hpp); the interpreter's own exceptions met
// while converting values are discarded, never chained. Its parts: the value
// rules (codec/value_rules.hpp), the gathering of an object's field values
// (codec/field_values.hpp) and the walk over objects and vectors
// (serializer.cpp).
#pragma once

#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::codec {

// How values are taken: by the lenient rules of velmora.ext, or by their
// strict twins (codec/value_rules.hpp), which also refuse unknown keys and
// nested objects of another type and name the path in their failures; with
// hex text for bytes-like values, as JSON input gives them.
enum class Strictness { kLenient, kStrict, kStrictHexText };

// The record name must be a str (the caller applies the str rule). An exact
// str is looked up without a UTF-8 copy; a name with no UTF-8 form raises
// the interpreter's UnicodeEncodeError.
Result<py::Ref> serialize_method(PyObject* method, PyObject* args,
                                 Strictness how = Strictness::kLenient);
Result<py::Ref> serialize_constructor(PyObject* name, PyObject* args,
                                      Strictness how = Strictness::kLenient);
Result<py::Ref> dumps(PyObject* obj, Strictness how = Strictness::kLenient);

}  // namespace velmora::codec
