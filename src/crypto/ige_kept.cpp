// AES-256-IGE encryption on a cipher context kept from call to call.
#include <openssl/evp.h>

#include "crypto/aes_ige.hpp"
#include "crypto/ige_backends.hpp"

namespace velmora::crypto {
namespace {

// Below this the IPsec library's stateless path is faster than re-keying a
// kept EVP context; the two meet near 48 bytes on an AVX-512 machine
// (bench_ige: its core and kept lines).
constexpr std::size_t kKeptFrom = 64;

}  // namespace

IgeEncryptContext::~IgeEncryptContext() { EVP_CIPHER_CTX_free(ctx_); }  // wipes the key schedule

IgeStatus IgeEncryptContext::encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                                     const std::uint8_t* iv, std::uint8_t* out) noexcept {
  const bool stateless = n < kKeptFrom && ige_backend() == IgeBackend::kIpsecMb;
  // The stateless call also reports the lengths it refuses.
  if (stateless || n == 0 || ige_check(n, kIgeKeySize, kIgeIvSize) != IgeStatus::kOk ||
      busy_.test_and_set(std::memory_order_acquire)) {
    return aes_ige_encrypt(in, n, key, kIgeKeySize, iv, kIgeIvSize, out);
  }
  if (ctx_ == nullptr) ctx_ = EVP_CIPHER_CTX_new();
  const bool ok = detail::evp_ige_encrypt_on(ctx_, !keyed_, in, n, key, iv, out);
  keyed_ = ok;
  if (!ok && ctx_ != nullptr) EVP_CIPHER_CTX_reset(ctx_);  // set up afresh next time
  busy_.clear(std::memory_order_release);
  return ok ? IgeStatus::kOk : detail::cipher_failed(out, n);
}

}  // namespace velmora::crypto
