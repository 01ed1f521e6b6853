// aes_gcm.hpp: AES-256-GCM with a 96-bit nonce and a 128-bit tag, on libcrypto.
//
// Stateless: a fresh context per call, the tag checked by libcrypto in
// constant time. All decryption failures share one status so that a caller
// cannot tell a short input from a forged one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

inline constexpr std::size_t kGcmKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;
// Longest plaintext and aad accepted; the ciphertext proper may be 16 longer.
inline constexpr std::uint64_t kGcmMaxLen = std::uint64_t{1} << 36;

enum class GcmStatus {
  kOk,
  kBadKeyLength,    // key not 32 bytes
  kBadNonceLength,  // nonce not 12 bytes
  kEncryptFailure,  // input over its limit, or libcrypto refused
  kDecryptFailure,  // short input, over a limit, or tag mismatch
};

// Fixed text of each status; kBadNonceLength wants the length, see
// gcm_nonce_message.
const char* gcm_status_message(GcmStatus s) noexcept;

// Seals plaintext: out receives n + 16 bytes (ciphertext, then tag). On any
// failure out is wiped.
GcmStatus aes_gcm_seal(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* plaintext, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out) noexcept;

// Opens a sealed message of n bytes (n >= 16): out receives n - 16 bytes.
// On any failure out is wiped, so no unauthenticated plaintext remains.
GcmStatus aes_gcm_open(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* sealed, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out) noexcept;

}  // namespace velmora::crypto
