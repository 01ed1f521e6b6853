// bytes_like.hpp: the bytes-like rule of the package's own entries.
#pragma once

#include "module/call.hpp"

namespace velmora::module {

// bytes (or a subclass) read in place; bytearray and memoryview copied once
// into a bytes object that *keep owns (the limited API of the 3.9 floor has
// no buffer view). The copy also makes the view immutable, so native work
// may read it with the GIL released. Anything else: the bytes rule's
// TypeError.
Result<ByteView> arg_bytes_like(const char* param, PyObject* o, py::Ref* keep);

}  // namespace velmora::module
