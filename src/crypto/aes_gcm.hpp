// aes_gcm.hpp: AES-256-GCM with a 96-bit nonce and a 128-bit tag.
//
// Two backends do the work: Intel's multi-buffer IPsec library where the
// build found it (it picks its own SSE, AVX2 or AVX-512 code), libcrypto's
// EVP everywhere else. Both are stateless: the key schedule is expanded per
// call and wiped before the call returns, and the tag is compared in constant
// time. All decryption failures share one status so that a caller cannot
// tell a short input from a forged one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::crypto {

inline constexpr std::size_t kGcmKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;
// Longest aad accepted.
inline constexpr std::uint64_t kGcmMaxAadLen = std::uint64_t{1} << 36;
// Longest plaintext, and ciphertext proper, for one nonce: NIST SP 800-38D's
// 2^39 - 256 bits. Past it the 32-bit block counter wraps and keystream
// (the tag's mask among it) repeats; libcrypto refuses it, the IPsec
// library does not, so this check is what keeps the backends alike.
inline constexpr std::uint64_t kGcmMaxTextLen = (std::uint64_t{1} << 36) - 32;

enum class GcmStatus {
  kOk,
  kBadKeyLength,    // key not 32 bytes
  kBadNonceLength,  // nonce not 12 bytes
  kEncryptFailure,  // input over its limit, or the backend refused
  kDecryptFailure,  // short input, over a limit, or tag mismatch
};

enum class GcmBackend { kOpenSsl, kIpsecMb };

// Fixed text of each status; callers add the length to kBadNonceLength.
const char* gcm_status_message(GcmStatus s) noexcept;

// The length checks, in the order callers must report them: key, nonce,
// then the limits of the input and aad. n is the plaintext length when
// sealing, the sealed message's length (tag included) when opening.
GcmStatus gcm_check(bool seal, std::size_t key_len, std::size_t nonce_len, std::size_t n,
                    std::size_t aad_len) noexcept;

// The backend of this process, chosen on the first call (the module makes
// that call at import): the IPsec library when it is built in and its
// manager could be set up, libcrypto otherwise.
GcmBackend gcm_backend() noexcept;
// Every backend this build can run, the chosen one first.
std::span<const GcmBackend> gcm_backends() noexcept;
// "openssl", or "ipsec-mb" with the library's version and code path.
const char* gcm_backend_name(GcmBackend b) noexcept;

// Seals plaintext: out receives n + 16 bytes (ciphertext, then tag). On any
// failure out is wiped.
GcmStatus aes_gcm_seal(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* plaintext, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out,
                       GcmBackend backend = gcm_backend()) noexcept;

// Opens a sealed message of n bytes (n >= 16): out receives n - 16 bytes.
// On any failure out is wiped, so no unauthenticated plaintext remains.
GcmStatus aes_gcm_open(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* sealed, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out,
                       GcmBackend backend = gcm_backend()) noexcept;

}  // namespace velmora::crypto
