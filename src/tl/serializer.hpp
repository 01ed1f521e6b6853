// serializer.hpp: Python values to TL bytes under the current schema.
//
// The top-level functions return the new bytes object or a Failure. Inside,
// every value error is a text that gains one "object:field: " prefix per
// object level; the interpreter's own exceptions met while converting values
// are discarded, never chained.
#pragma once

#include <string_view>

#include "module/result.hpp"
#include "py/py.hpp"

namespace velmora::tl {

Result<py::Ref> serialize_method(std::string_view method, PyObject* args);
// The same with the name as the bound argument: a str (or the TypeError of
// the text rule). An exact str is looked up without a UTF-8 copy.
Result<py::Ref> serialize_method(PyObject* method, PyObject* args);
Result<py::Ref> serialize_constructor(PyObject* name, PyObject* args);
Result<py::Ref> serialize_constructor(std::string_view name, PyObject* args);
Result<py::Ref> dumps(PyObject* obj);

}  // namespace velmora::tl
