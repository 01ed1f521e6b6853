#include "crypto/aes_ige.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "crypto/evp_util.hpp"

namespace velmora::crypto {
namespace {

// Fetched once and kept for the process: fetching is a provider lookup that
// costs more than encrypting a small message.
const EVP_CIPHER* cbc_cipher() noexcept {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return c;
}
const EVP_CIPHER* ecb_cipher() noexcept {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
  return c;
}

inline void xor16(std::uint8_t* dst, const std::uint8_t* a, const std::uint8_t* b) noexcept {
  std::uint64_t x[2], y[2];
  std::memcpy(x, a, 16);
  std::memcpy(y, b, 16);
  x[0] ^= y[0];
  x[1] ^= y[1];
  std::memcpy(dst, x, 16);
}

// Encryption works chunk by chunk so that the three passes over a chunk stay
// in the first-level cache.
constexpr std::size_t kChunk = 8192;

IgeStatus fail() noexcept {
  ERR_clear_error();
  return IgeStatus::kCipherFailure;
}

// What both directions start with: the length checks, then the context of
// this call (cipher, direction and key set, padding off) in ctx.
IgeStatus start(std::size_t n, std::size_t key_len, std::size_t iv_len, const EVP_CIPHER* cipher,
                bool encrypt, const std::uint8_t* key, const std::uint8_t* iv,
                CipherCtx& ctx) noexcept {
  const IgeStatus st = ige_check(n, key_len, iv_len);
  if (st != IgeStatus::kOk) return st;
  if (cipher == nullptr) return fail();
  ctx.reset(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex2(ctx.get(), cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return fail();
  }
  return IgeStatus::kOk;
}

}  // namespace

const char* ige_status_message(IgeStatus s) noexcept {
  switch (s) {
    case IgeStatus::kOk: return "ok";
    case IgeStatus::kBadDataLength: return "AES-IGE data length must be a multiple of 16";
    case IgeStatus::kBadKeyLength: return "AES-IGE key must be 32 bytes";
    case IgeStatus::kBadIvLength: return "AES-IGE IV must be 32 bytes";
    case IgeStatus::kCipherFailure: return "AES-IGE cipher failure";
  }
  return "AES-IGE unknown status";
}

IgeStatus ige_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept {
  if (data_len % kAesBlock != 0) return IgeStatus::kBadDataLength;
  if (key_len != kIgeKeySize) return IgeStatus::kBadKeyLength;
  if (iv_len != kIgeIvSize) return IgeStatus::kBadIvLength;
  return IgeStatus::kOk;
}

// IGE encryption is C_i = E(P_i ^ C_(i-1)) ^ P_(i-1). With Z_i = C_i ^ P_(i-1)
// that reads Z_i = E(P_i ^ P_(i-2) ^ Z_(i-1)): CBC under the IV c0 over
// Q_0 = P_0, Q_1 = P_1 ^ p0, Q_i = P_i ^ P_(i-2). So the whole message is one
// CBC pass between two XOR passes, and CBC encryption is the fastest serial
// AES libcrypto has.
IgeStatus aes_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept {
  CipherCtx ctx;
  const IgeStatus st = start(n, key_len, iv_len, cbc_cipher(), true, key, iv, ctx);
  if (st != IgeStatus::kOk || n == 0) return st;
  const std::uint8_t* p0 = iv + kAesBlock;
  for (std::size_t off = 0; off < n; off += kChunk) {
    const std::size_t len = n - off < kChunk ? n - off : kChunk;
    std::uint8_t* z = out + off;
    const std::uint8_t* p = in + off;
    // Q_i = P_i ^ P_(i-2); P_(-1) = p0, P_(-2) = 0.
    for (std::size_t i = 0; i < len; i += kAesBlock) {
      const std::size_t g = off + i;  // position in the whole message
      if (g >= 2 * kAesBlock) {
        xor16(z + i, p + i, in + g - 2 * kAesBlock);
      } else if (g == kAesBlock) {
        xor16(z + i, p + i, p0);
      } else {
        std::memcpy(z + i, p + i, kAesBlock);
      }
    }
    int outl = 0;
    if (EVP_EncryptUpdate(ctx.get(), z, &outl, z, static_cast<int>(len)) != 1 ||
        static_cast<std::size_t>(outl) != len) {
      OPENSSL_cleanse(out, n);
      return fail();
    }
    // C_i = Z_i ^ P_(i-1).
    for (std::size_t i = 0; i < len; i += kAesBlock) {
      const std::size_t g = off + i;
      xor16(z + i, z + i, g == 0 ? p0 : in + g - kAesBlock);
    }
  }
  return IgeStatus::kOk;
}

// Decryption has no such route through a libcrypto mode: P_i needs P_(i-1)
// before its block can be deciphered. One ECB context is set up once and
// EVP_Cipher, the cheapest entry, is called per block.
IgeStatus aes_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept {
  CipherCtx ctx;
  const IgeStatus st = start(n, key_len, iv_len, ecb_cipher(), false, key, nullptr, ctx);
  if (st != IgeStatus::kOk || n == 0) return st;
  // Each block is deciphered in place in out, so no temporary holds key
  // material or plaintext.
  const std::uint8_t* c = iv;              // previous ciphertext block
  const std::uint8_t* p = iv + kAesBlock;  // previous plaintext block
  for (std::size_t off = 0; off < n; off += kAesBlock) {
    std::uint8_t* b = out + off;
    xor16(b, in + off, p);
    if (EVP_Cipher(ctx.get(), b, b, kAesBlock) <= 0) {
      OPENSSL_cleanse(out, n);
      return fail();
    }
    xor16(b, b, c);
    c = in + off;
    p = b;
  }
  return IgeStatus::kOk;
}

}  // namespace velmora::crypto
