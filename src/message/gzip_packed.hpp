// gzip_packed.hpp: the gzip_packed body that carries another body deflated:
// the constructor's identifier, then the gzip stream as TL bytes.
// Unpacking it is service.cpp's (it stands wherever a message may).
#pragma once

#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

// The gzip_packed body holding body (whole 4-byte words), as new bytes.
Result<py::Ref> gzip_packed(py::ByteView body);

}  // namespace velmora::message
