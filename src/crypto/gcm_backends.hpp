// gcm_backends.hpp: the two AES-256-GCM engines behind aes_gcm.hpp.
//
// The lengths are checked before any of these runs: key 32 bytes, nonce 12,
// and each length within its limit. Each returns false on failure and leaves
// wiping out to its caller.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::detail {

bool evp_seal(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* in,
              std::size_t n, const std::uint8_t* aad, std::size_t aad_len,
              std::uint8_t* out) noexcept;
// sealed holds len bytes of ciphertext followed by the tag.
bool evp_open(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* sealed,
              std::size_t len, const std::uint8_t* aad, std::size_t aad_len,
              std::uint8_t* out) noexcept;

// Sets up the library's manager once per process and names it; null when
// the library is not built in or could not be set up.
const char* ipsec_prepare() noexcept;
bool ipsec_seal(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* in,
                std::size_t n, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept;
bool ipsec_open(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* sealed,
                std::size_t len, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept;

}  // namespace velmora::crypto::detail
