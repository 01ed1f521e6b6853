// random_source.hpp: where the key exchange's random bytes come from.
//
// The exchange draws its nonces, paddings, temporary keys and exponent in a
// fixed order from one source, so that a test can replay an exchange from
// its draws. The default source is the module's one owner of random bytes
// (crypto/random.hpp), unpooled; this seam only lets a known source stand in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::protocol {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills out with n bytes (n > 0); false when the source fails, and then
  // the exchange is refused.
  virtual bool fill(std::uint8_t* out, std::size_t n) noexcept = 0;
};

// crypto::random_bytes_unpooled.
class SystemRandom final : public RandomSource {
 public:
  bool fill(std::uint8_t* out, std::size_t n) noexcept override;
};

}  // namespace velmora::protocol
