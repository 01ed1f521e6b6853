#include "protocol/random_source.hpp"

#include <openssl/rand.h>

#include <climits>

namespace velmora::protocol {

bool SystemRandom::fill(std::uint8_t* out, std::size_t n) noexcept {
  return n <= INT_MAX && RAND_bytes(out, static_cast<int>(n)) == 1;
}

}  // namespace velmora::protocol
