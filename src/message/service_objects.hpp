// service_objects.hpp: the objects of the service messages, decoded by their
// fixed layouts (protocol/service_layouts.hpp) whatever the current schema
// holds: {"_": name, field: value, ...}, future_salts' bare
// vector<future_salt> as a list of future_salt objects.
#pragma once

#include "protocol/service_layouts.hpp"
#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

// The object of body (its constructor id first) as layout reads it; the
// codec's ValueError texts when it does not read. Bytes after it are ignored.
Result<py::Ref> service_object(const protocol::ServiceLayout& layout, py::ByteView body);

}  // namespace velmora::message
