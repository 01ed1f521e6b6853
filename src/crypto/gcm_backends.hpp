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

// Whether the library's code for a processor (its IMB_ARCH) is used: not
// its path for processors without AES instructions, which libcrypto serves
// better and which the library's own benchmarks do not cover. One rule for
// the GCM and the IGE managers.
bool ipsec_arch_used(int arch) noexcept;

// Sets up the library's manager once per process and names it; null when
// the library is not built in, could not be set up, or has only its path
// for processors without AES instructions.
const char* ipsec_prepare() noexcept;
bool ipsec_seal(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* in,
                std::size_t n, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept;
bool ipsec_open(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* sealed,
                std::size_t len, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept;

}  // namespace velmora::crypto::detail
