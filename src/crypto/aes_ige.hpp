// aes_ige.hpp: AES-256 in IGE mode over whole 16-byte blocks.
//
// Two backends do the work, both with the block cipher in a library: Intel's
// multi-buffer IPsec library where the build found it (its key expansion and
// one-block ECB jobs), libcrypto's EVP everywhere else; long encryptions run
// as one EVP CBC pass in either. The functions are stateless: the key is
// expanded once per call and nothing of it survives the call, so chaining
// across calls is the caller's business (pass the last ciphertext block
// followed by the last plaintext block as the next iv). IgeEncryptContext,
// last, keeps a context for an owner that encrypts message after message.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace velmora::crypto {

inline constexpr std::size_t kIgeKeySize = 32;
inline constexpr std::size_t kIgeIvSize = 32;  // c0 (16 bytes) then p0 (16 bytes)
inline constexpr std::size_t kAesBlock = 16;

enum class IgeStatus {
  kOk,
  kBadDataLength,  // not a multiple of 16
  kBadKeyLength,   // not 32
  kBadIvLength,    // not 32
  kCipherFailure,  // the library refused; not reachable with valid lengths
};

enum class IgeBackend { kOpenSsl, kIpsecMb };

const char* ige_status_message(IgeStatus s) noexcept;

// The length checks, in the order callers must report them.
IgeStatus ige_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept;

// The backend of this process, chosen on the first call (the module makes
// that call at import): the IPsec library when it is built in and a manager
// could be set up, libcrypto otherwise.
IgeBackend ige_backend() noexcept;
// Every backend this build can run, the chosen one first.
std::span<const IgeBackend> ige_backends() noexcept;
// "openssl", or "ipsec-mb" with the library's version and code path.
const char* ige_backend_name(IgeBackend b) noexcept;

// Encrypt or decrypt n bytes from in to out. in and out must not overlap;
// out has room for n bytes. The checks of ige_check run first, before any
// byte of out is written; on a cipher failure out is wiped.
IgeStatus aes_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out, IgeBackend backend = ige_backend()) noexcept;
IgeStatus aes_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out, IgeBackend backend = ige_backend()) noexcept;

// AES-256-IGE encryption through a cipher context its owner keeps from
// message to message. Re-keying a kept context costs a fraction of setting
// one up and tearing it down, which the stateless calls above do every time
// so that nothing of a caller's key outlives the call. Here the last
// message's key schedule stays in the context until the next call or the
// owner's end: it is for an owner that holds the secret those keys derive
// from anyway (a session and its auth key). Short messages, where the IPsec
// library's path is faster still, and a call made while another is using
// the context, take the stateless path.
class IgeEncryptContext {
 public:
  IgeEncryptContext() noexcept = default;
  ~IgeEncryptContext();
  IgeEncryptContext(const IgeEncryptContext&) = delete;
  IgeEncryptContext& operator=(const IgeEncryptContext&) = delete;
  // As aes_ige_encrypt with a 32-byte key and iv.
  IgeStatus encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                    const std::uint8_t* iv, std::uint8_t* out) noexcept;

 private:
  EVP_CIPHER_CTX* ctx_ = nullptr;  // made on the first long message
  bool keyed_ = false;             // ctx_ holds the cipher: re-keying suffices
  std::atomic_flag busy_;          // one call at a time owns ctx_
};

}  // namespace velmora::crypto
