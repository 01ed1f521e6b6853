#include "crypto/aes_ige.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include "crypto/gcm_backends.hpp"
#include "crypto/ige_backends.hpp"
#include "crypto/messages.hpp"

namespace velmora::crypto {
namespace {

struct Backends {
  IgeBackend list[2];
  std::size_t count;
  const char* ipsec_name;
};

// The IPsec library is named as its GCM side names it: one library, one
// processor path.
const Backends& backends() noexcept {
  static const Backends b = [] {
    const char* ipsec = detail::ipsec_prepare();
    if (ipsec == nullptr || !detail::ipsec_ige_ready()) {
      return Backends{{IgeBackend::kOpenSsl}, 1, nullptr};
    }
    return Backends{{IgeBackend::kIpsecMb, IgeBackend::kOpenSsl}, 2, ipsec};
  }();
  return b;
}

}  // namespace

IgeStatus detail::cipher_failed(std::uint8_t* out, std::size_t n) noexcept {
  OPENSSL_cleanse(out, n);
  ERR_clear_error();
  return IgeStatus::kCipherFailure;
}

const char* ige_status_message(IgeStatus s) noexcept {
  switch (s) {
    case IgeStatus::kOk: return "ok";
    case IgeStatus::kBadDataLength: return msg::kIgeDataLength;
    case IgeStatus::kBadKeyLength: return msg::kIgeKeyLength;
    case IgeStatus::kBadIvLength: return msg::kIgeIvLength;
    case IgeStatus::kCipherFailure: return msg::kIgeCipher;
  }
  return "AES-IGE unknown status";
}

IgeStatus ige_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept {
  if (data_len % kAesBlock != 0) return IgeStatus::kBadDataLength;
  if (key_len != kIgeKeySize) return IgeStatus::kBadKeyLength;
  if (iv_len != kIgeIvSize) return IgeStatus::kBadIvLength;
  return IgeStatus::kOk;
}

IgeBackend ige_backend() noexcept { return backends().list[0]; }

std::span<const IgeBackend> ige_backends() noexcept {
  const Backends& b = backends();
  return {b.list, b.count};
}

const char* ige_backend_name(IgeBackend b) noexcept {
  if (b == IgeBackend::kIpsecMb) {
    const char* name = backends().ipsec_name;
    return name ? name : "ipsec-mb (not available)";
  }
  return "openssl";
}

IgeStatus aes_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out, IgeBackend backend) noexcept {
  const IgeStatus st = ige_check(n, key_len, iv_len);
  if (st != IgeStatus::kOk || n == 0) return st;
  const bool ok = backend == IgeBackend::kIpsecMb && n <= detail::kIpsecEncryptMax
                      ? detail::ipsec_ige_encrypt(in, n, key, iv, out)
                      : detail::evp_ige_encrypt(in, n, key, iv, out);
  return ok ? IgeStatus::kOk : detail::cipher_failed(out, n);
}

IgeStatus aes_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out, IgeBackend backend) noexcept {
  const IgeStatus st = ige_check(n, key_len, iv_len);
  if (st != IgeStatus::kOk || n == 0) return st;
  const bool ok = backend == IgeBackend::kIpsecMb ? detail::ipsec_ige_decrypt(in, n, key, iv, out)
                                                  : detail::evp_ige_decrypt(in, n, key, iv, out);
  return ok ? IgeStatus::kOk : detail::cipher_failed(out, n);
}

}  // namespace velmora::crypto
