// AES-256-GCM through libcrypto's EVP interface: the backend everywhere the
// IPsec library is not built in.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "crypto/aes_gcm.hpp"
#include "crypto/evp_util.hpp"
#include "crypto/gcm_backends.hpp"

namespace velmora::crypto::detail {
namespace {

// Fetched once and kept for the process: fetching is a provider lookup that
// costs more than sealing a small message.
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
    std::uint8_t* to = out ? out + off : nullptr;
    const int ok = encrypt ? EVP_EncryptUpdate(ctx, to, &outl, in + off, len)
                           : EVP_DecryptUpdate(ctx, to, &outl, in + off, len);
    if (ok != 1) return false;
  }
  return true;
}

// The tag as a parameter: handed to the cipher directly, which spares the
// ctrl call's translation into one.
OSSL_PARAM tag_param(const std::uint8_t* tag) noexcept {
  // libcrypto only reads the tag when setting it; the const_cast is for the type.
  return OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                           const_cast<std::uint8_t*>(tag), kGcmTagSize);
}

}  // namespace

bool evp_seal(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* in,
              std::size_t n, const std::uint8_t* aad, std::size_t aad_len,
              std::uint8_t* out) noexcept {
  const ThreadCipherCtx ctx;
  if (gcm_cipher() == nullptr || ctx.get() == nullptr) return false;
  OSSL_PARAM tag[] = {tag_param(out + n), OSSL_PARAM_construct_end()};
  int outl = 0;
  // The default IV length of AES-GCM is 12, so no parameter needs setting.
  return EVP_EncryptInit_ex2(ctx.get(), gcm_cipher(), key, nonce, nullptr) == 1 &&
         feed(ctx.get(), true, nullptr, aad, aad_len) && feed(ctx.get(), true, out, in, n) &&
         EVP_EncryptFinal_ex(ctx.get(), out + n, &outl) == 1 &&
         EVP_CIPHER_CTX_get_params(ctx.get(), tag) == 1;
}

bool evp_open(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* sealed,
              std::size_t len, const std::uint8_t* aad, std::size_t aad_len,
              std::uint8_t* out) noexcept {
  const ThreadCipherCtx ctx;
  if (gcm_cipher() == nullptr || ctx.get() == nullptr) return false;
  const OSSL_PARAM tag[] = {tag_param(sealed + len), OSSL_PARAM_construct_end()};
  int outl = 0;
  // The expected tag goes in with the key; the final step compares it in
  // constant time.
  return EVP_DecryptInit_ex2(ctx.get(), gcm_cipher(), key, nonce, tag) == 1 &&
         feed(ctx.get(), false, nullptr, aad, aad_len) &&
         feed(ctx.get(), false, out, sealed, len) &&
         EVP_DecryptFinal_ex(ctx.get(), out + len, &outl) == 1;
}

}  // namespace velmora::crypto::detail
