// serializer.hpp: Python values to TL bytes under the current schema.
//
// src/codec is the Python-facing half of the codec: it walks Python objects
// and leaves the bytes to src/wire. The module calls it with arguments it has
// already converted.
//
// The top-level functions return the new bytes object, or null with the
// Fault filled (codec/fault.hpp). Inside, every value error is a text whose
// path gains one "object:field" step per object level, and a nested object's
// failure the step "ValueError: " as well (the texts: codec/messages.hpp);
// the interpreter's own exceptions met while converting values are
// discarded, never chained. Its parts: the value rules
// (codec/value_rules.hpp), the gathering of an object's field values
// (codec/field_values.hpp) and the walk over objects and vectors
// (serializer.cpp).
#pragma once

#include "codec/fault.hpp"
#include "py/py.hpp"

namespace velmora::codec {

// How values are taken: by the lenient rules of velmora.ext, or by their
// strict twins (codec/value_rules.hpp), which also refuse unknown keys and
// nested objects of another type and name the path in their failures; with
// hex text for bytes-like values, as JSON input gives them.
enum class Strictness { kLenient, kStrict, kStrictHexText };

// The record name must be a str (the caller applies the str rule). An exact
// str is looked up without a UTF-8 copy; a name with no UTF-8 form raises
// the interpreter's UnicodeEncodeError.
py::Ref serialize_method(PyObject* method, PyObject* args, Strictness how, Fault& fault);
py::Ref serialize_constructor(PyObject* name, PyObject* args, Strictness how, Fault& fault);
py::Ref dumps(PyObject* obj, Strictness how, Fault& fault);

}  // namespace velmora::codec
