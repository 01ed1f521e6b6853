#include "protocol/random_source.hpp"

#include "crypto/random.hpp"

namespace velmora::protocol {

bool SystemRandom::fill(std::uint8_t* out, std::size_t n) noexcept {
  return crypto::random_bytes_unpooled(out, n);
}

}  // namespace velmora::protocol
