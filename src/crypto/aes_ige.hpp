// aes_ige.hpp: AES-256 in IGE mode over whole 16-byte blocks, on libcrypto.
//
// Stateless: the key is expanded once per call and nothing survives it, so
// chaining across calls is the caller's business (pass the last ciphertext
// block followed by the last plaintext block as the next iv).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

inline constexpr std::size_t kIgeKeySize = 32;
inline constexpr std::size_t kIgeIvSize = 32;  // c0 (16 bytes) then p0 (16 bytes)
inline constexpr std::size_t kAesBlock = 16;

enum class IgeStatus {
  kOk,
  kBadDataLength,  // not a multiple of 16
  kBadKeyLength,   // not 32
  kBadIvLength,    // not 32
  kCipherFailure,  // libcrypto refused; not reachable with valid lengths
};

const char* ige_status_message(IgeStatus s) noexcept;

// The length checks, in the order callers must report them.
IgeStatus ige_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept;

// Encrypt or decrypt n bytes from in to out. in and out must not overlap;
// out has room for n bytes. The checks of ige_check run first, before any
// byte of out is written.
IgeStatus aes_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept;
IgeStatus aes_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept;

}  // namespace velmora::crypto
