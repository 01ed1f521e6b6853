#include "wire/utf8.hpp"

#include <cstring>

namespace velmora::wire {

bool check_utf8(const std::uint8_t* p, std::size_t n, std::size_t* out_index,
                std::size_t* out_len) noexcept {
  std::size_t i = 0;
  while (i < n) {
    // Most text is ASCII: eight bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const std::uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xbf;  // range of the first continuation byte
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;       // no overlong forms
      else if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      else if (c == 0xf4) hi = 0x8f;  // nothing above U+10FFFF
    } else {
      *out_index = i;
      *out_len = 1;
      return false;
    }
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= n) {
        *out_index = i;
        *out_len = 0;
        return false;
      }
      const std::uint8_t b = p[i + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b & 0xc0) == 0x80;
      if (!ok) {
        *out_index = i;
        *out_len = k;
        return false;
      }
    }
    i += len;
  }
  return true;
}

}  // namespace velmora::wire
