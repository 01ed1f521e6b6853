#include "crypto/aes_gcm.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/evp_util.hpp"

namespace velmora::crypto {
namespace {

const EVP_CIPHER* gcm_cipher() noexcept {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  return c;
}

// EVP lengths are int: feed long inputs in pieces.
constexpr std::size_t kPiece = std::size_t{1} << 30;

bool feed(EVP_CIPHER_CTX* ctx, bool encrypt, std::uint8_t* out, const std::uint8_t* in,
          std::size_t n) noexcept {
  for (std::size_t off = 0; off < n; off += kPiece) {
    const int len = static_cast<int>(n - off < kPiece ? n - off : kPiece);
    int outl = 0;
    const int ok = encrypt ? EVP_EncryptUpdate(ctx, out ? out + off : nullptr, &outl, in + off, len)
                           : EVP_DecryptUpdate(ctx, out ? out + off : nullptr, &outl, in + off, len);
    if (ok != 1) return false;
  }
  return true;
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
    case GcmStatus::kBadKeyLength: return "AES-GCM key error: Invalid Length";
    case GcmStatus::kBadNonceLength: return "AES-GCM nonce must be 12 bytes";
    case GcmStatus::kEncryptFailure: return "AES-GCM encrypt error: aead::Error";
    case GcmStatus::kDecryptFailure: return "AES-GCM decrypt error: aead::Error";
  }
  return "AES-GCM unknown status";
}

GcmStatus aes_gcm_seal(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* plaintext, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out) noexcept {
  if (key_len != kGcmKeySize) return GcmStatus::kBadKeyLength;
  if (nonce_len != kGcmNonceSize) return GcmStatus::kBadNonceLength;
  if (aad_len > kGcmMaxLen || n > kGcmMaxLen) return GcmStatus::kEncryptFailure;
  const std::size_t total = n + kGcmTagSize;
  if (gcm_cipher() == nullptr) return failed(GcmStatus::kEncryptFailure, out, total);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int outl = 0;
  // The default IV length of AES-GCM is 12, so no parameter needs setting.
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), gcm_cipher(), key, nonce, nullptr) != 1 ||
      !feed(ctx.get(), true, nullptr, aad, aad_len) ||
      !feed(ctx.get(), true, out, plaintext, n) ||
      EVP_EncryptFinal_ex(ctx.get(), out + n, &outl) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kGcmTagSize, out + n) != 1) {
    return failed(GcmStatus::kEncryptFailure, out, total);
  }
  return GcmStatus::kOk;
}

GcmStatus aes_gcm_open(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* nonce,
                       std::size_t nonce_len, const std::uint8_t* sealed, std::size_t n,
                       const std::uint8_t* aad, std::size_t aad_len, std::uint8_t* out) noexcept {
  if (key_len != kGcmKeySize) return GcmStatus::kBadKeyLength;
  if (nonce_len != kGcmNonceSize) return GcmStatus::kBadNonceLength;
  if (n < kGcmTagSize || aad_len > kGcmMaxLen || n - kGcmTagSize > kGcmMaxLen + kGcmTagSize) {
    return GcmStatus::kDecryptFailure;
  }
  const std::size_t len = n - kGcmTagSize;
  if (gcm_cipher() == nullptr) return failed(GcmStatus::kDecryptFailure, out, len);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  // libcrypto only copies the tag here; the const_cast is for its signature.
  void* tag = const_cast<std::uint8_t*>(sealed + len);
  int outl = 0;
  if (!ctx || EVP_DecryptInit_ex2(ctx.get(), gcm_cipher(), key, nonce, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kGcmTagSize, tag) != 1 ||
      !feed(ctx.get(), false, nullptr, aad, aad_len) ||
      !feed(ctx.get(), false, out, sealed, len) ||
      EVP_DecryptFinal_ex(ctx.get(), out + len, &outl) != 1) {
    return failed(GcmStatus::kDecryptFailure, out, len);
  }
  return GcmStatus::kOk;
}

}  // namespace velmora::crypto
