#include "crypto/aes_gcm.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "crypto/gcm_backends.hpp"
#include "crypto/messages.hpp"

namespace velmora::crypto {
namespace {

struct Backends {
  GcmBackend list[2];
  std::size_t count;
  const char* ipsec_name;
};

const Backends& backends() noexcept {
  static const Backends b = [] {
    const char* ipsec = detail::ipsec_prepare();
    if (ipsec == nullptr) return Backends{{GcmBackend::kOpenSsl}, 1, nullptr};
    return Backends{{GcmBackend::kIpsecMb, GcmBackend::kOpenSsl}, 2, ipsec};
  }();
  return b;
}

GcmStatus failed(GcmStatus s, std::uint8_t* out, std::size_t n) noexcept {
  if (n != 0) OPENSSL_cleanse(out, n);
  ERR_clear_error();
  return s;
}

}  // namespace

const char* gcm_status_message(GcmStatus s) noexcept {
  switch (s) {
    case GcmStatus::kOk: return "ok";
    case GcmStatus::kBadKeyLength: return msg::kGcmKeyLength;
    case GcmStatus::kBadNonceLength: return msg::kGcmNonceLength;
    case GcmStatus::kEncryptFailure: return msg::kGcmEncrypt;
    case GcmStatus::kDecryptFailure: return msg::kGcmDecrypt;
  }
  return "AES-GCM unknown status";
}

GcmStatus gcm_check(bool seal, std::size_t key_len, std::size_t nonce_len, std::size_t n,
                    std::size_t aad_len) noexcept {
  if (key_len != kGcmKeySize) return GcmStatus::kBadKeyLength;
  if (nonce_len != kGcmNonceSize) return GcmStatus::kBadNonceLength;
  if (seal) {
    if (aad_len > kGcmMaxAadLen || n > kGcmMaxTextLen) return GcmStatus::kEncryptFailure;
  } else if (n < kGcmTagSize || aad_len > kGcmMaxAadLen || n - kGcmTagSize > kGcmMaxTextLen) {
    return GcmStatus::kDecryptFailure;
  }
  return GcmStatus::kOk;
}

GcmBackend gcm_backend() noexcept { return backends().list[0]; }

std::span<const GcmBackend> gcm_backends() noexcept {
  const Backends& b = backends();
  return {b.list, b.count};
}

const char* gcm_backend_name(GcmBackend b) noexcept {
  if (b == GcmBackend::kIpsecMb) {
    const char* name = backends().ipsec_name;
    return name ? name : "ipsec-mb (not available)";
  }
  return "openssl";
}

GcmStatus aes_gcm_seal(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* plaintext, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out,
                       GcmBackend backend) noexcept {
  const GcmStatus st = gcm_check(true, key_len, nonce_len, n, aad_len);
  if (st != GcmStatus::kOk) return st;
  const bool ok = backend == GcmBackend::kIpsecMb
                      ? detail::ipsec_seal(key, nonce, plaintext, n, aad, aad_len, out)
                      : detail::evp_seal(key, nonce, plaintext, n, aad, aad_len, out);
  return ok ? GcmStatus::kOk : failed(GcmStatus::kEncryptFailure, out, n + kGcmTagSize);
}

GcmStatus aes_gcm_open(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* sealed, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out,
                       GcmBackend backend) noexcept {
  const GcmStatus st = gcm_check(false, key_len, nonce_len, n, aad_len);
  if (st != GcmStatus::kOk) return st;
  const std::size_t len = n - kGcmTagSize;
  const bool ok = backend == GcmBackend::kIpsecMb
                      ? detail::ipsec_open(key, nonce, sealed, len, aad, aad_len, out)
                      : detail::evp_open(key, nonce, sealed, len, aad, aad_len, out);
  return ok ? GcmStatus::kOk : failed(GcmStatus::kDecryptFailure, out, len);
}

}  // namespace velmora::crypto
