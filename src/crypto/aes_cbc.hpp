// aes_cbc.hpp: AES-256-CBC without padding, over whole 16-byte blocks.
//
// Stateless, as the IGE calls are: calls up to 4 KiB run on the IPsec
// library where the build has it, the rest on libcrypto's EVP; either way
// the expanded key is cleansed before the call returns; chaining across calls is the caller's (the last ciphertext block
// is the next iv).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

inline constexpr std::size_t kCbcKeySize = 32;
inline constexpr std::size_t kCbcIvSize = 16;

enum class CbcStatus {
  kOk,
  kBadDataLength,  // not a multiple of 16
  kBadKeyLength,   // not 32
  kBadIvLength,    // not 16
  kCipherFailure,  // the library refused; not reachable with valid lengths
};

// The fixed text of each status; callers match on the refusals' texts.
const char* cbc_status_message(CbcStatus s) noexcept;

// The length checks, in the order callers must report them.
CbcStatus cbc_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept;

// n bytes from in to out (in == out allowed); the checks of cbc_check come
// first, before any byte of out is written; on a cipher failure out is wiped.
CbcStatus aes_cbc_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept;
CbcStatus aes_cbc_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept;

}  // namespace velmora::crypto
