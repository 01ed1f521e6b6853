// utf8.hpp: the one strict UTF-8 check, used by the schema document parser and
// by the deserializer for TL strings. No Python in it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::wire {

// Checks strict UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF. On failure returns false and sets *out_index to the offset of the
// bad sequence and *out_len to its length in bytes, or 0 when the data ends
// inside a sequence that could still have been valid.
bool check_utf8(const std::uint8_t* p, std::size_t n, std::size_t* out_index,
                std::size_t* out_len) noexcept;

}  // namespace velmora::wire
