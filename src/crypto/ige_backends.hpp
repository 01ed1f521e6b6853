// ige_backends.hpp: the two AES-256-IGE engines behind aes_ige.hpp.
//
// The lengths are checked before any of these runs (key and iv 32 bytes, n a
// non-zero multiple of 16), and in and out do not overlap. Each returns
// false on failure and leaves wiping out to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "crypto/aes_ige.hpp"  // IgeStatus, EVP_CIPHER_CTX declared

namespace velmora::crypto::detail {

inline void xor16(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b) noexcept {
  std::uint64_t x[2], y[2];
  std::memcpy(x, a, 16);
  std::memcpy(y, b, 16);
  x[0] ^= y[0];
  x[1] ^= y[1];
  std::memcpy(dst, x, 16);
}

// out wiped and the library's error queue cleared: what a refused cipher
// call leaves to its caller.
IgeStatus cipher_failed(std::uint8_t* out, std::size_t n) noexcept;

// libcrypto through EVP: encryption as one CBC pass, decryption a block at a
// time through ECB.
bool evp_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                     const std::uint8_t* iv, std::uint8_t* out) noexcept;
bool evp_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                     const std::uint8_t* iv, std::uint8_t* out) noexcept;
// The encryption on ctx, which is set up for AES-256-CBC first when fresh and
// only re-keyed otherwise.
bool evp_ige_encrypt_on(EVP_CIPHER_CTX* ctx, bool fresh, const std::uint8_t* in, std::size_t n,
                        const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out) noexcept;

// The IPsec library: its key expansion, then one ECB job per block. Up to
// kIpsecEncryptMax bytes its encryption beats EVP's CBC pass, whose set-up
// costs more than a few blocks; beyond, CBC's leaner block loop wins (the
// two meet near 450 bytes on an AVX-512 machine).
inline constexpr std::size_t kIpsecEncryptMax = 448;
// True when the library is built in and this thread's manager is set up.
bool ipsec_ige_ready() noexcept;
bool ipsec_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                       const std::uint8_t* iv, std::uint8_t* out) noexcept;
bool ipsec_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                       const std::uint8_t* iv, std::uint8_t* out) noexcept;

}  // namespace velmora::crypto::detail
