// AES-256-IGE through libcrypto's EVP interface: the backend everywhere the
// IPsec library is not built in, and the long encryptions of both.
#include <openssl/evp.h>

#include "crypto/aes_ige.hpp"
#include "crypto/evp_util.hpp"
#include "crypto/ige_backends.hpp"

namespace velmora::crypto::detail {
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

// Encryption works chunk by chunk so that the three passes over a chunk stay
// in the first-level cache.
constexpr std::size_t kChunk = 8192;

// Q_i = P_i ^ P_(i-2) over one chunk at off; P_(-1) = p0, P_(-2) = 0.
void cbc_input(const std::uint8_t* in, std::size_t off, std::size_t len, const std::uint8_t* p0,
               std::uint8_t* z) noexcept {
  for (std::size_t i = 0; i < len; i += kAesBlock) {
    const std::size_t g = off + i;  // position in the whole message
    if (g >= 2 * kAesBlock) {
      xor16(z + i, in + g, in + g - 2 * kAesBlock);
    } else if (g == kAesBlock) {
      xor16(z + i, in + g, p0);
    } else {
      std::memcpy(z + i, in + g, kAesBlock);
    }
  }
}

}  // namespace

// IGE encryption is C_i = E(P_i ^ C_(i-1)) ^ P_(i-1). With Z_i = C_i ^ P_(i-1)
// that reads Z_i = E(P_i ^ P_(i-2) ^ Z_(i-1)): CBC under the IV c0 over
// Q_0 = P_0, Q_1 = P_1 ^ p0, Q_i = P_i ^ P_(i-2). So the whole message is one
// CBC pass between two XOR passes, and CBC encryption is the fastest serial
// AES libcrypto has. EVP_Cipher is its leanest entry: whole blocks, no
// padding logic to switch off, the IV carried from chunk to chunk.
bool evp_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                     const std::uint8_t* iv, std::uint8_t* out) noexcept {
  const ThreadCipherCtx ctx;
  if (ctx.get() == nullptr || cbc_cipher() == nullptr ||
      EVP_CipherInit_ex2(ctx.get(), cbc_cipher(), key, iv, 1, nullptr) != 1) {
    return false;
  }
  const std::uint8_t* p0 = iv + kAesBlock;
  for (std::size_t off = 0; off < n; off += kChunk) {
    const std::size_t len = n - off < kChunk ? n - off : kChunk;
    std::uint8_t* z = out + off;
    cbc_input(in, off, len, p0, z);
    if (EVP_Cipher(ctx.get(), z, z, static_cast<unsigned>(len)) <= 0) return false;
    // C_i = Z_i ^ P_(i-1).
    for (std::size_t i = 0; i < len; i += kAesBlock) {
      const std::size_t g = off + i;
      xor16(z + i, z + i, g == 0 ? p0 : in + g - kAesBlock);
    }
  }
  return true;
}

// Decryption has no such route through a libcrypto mode: P_i needs P_(i-1)
// before its block can be deciphered, so EVP_Cipher runs once per block on
// an ECB context. Each block is deciphered in place in out, so no temporary
// holds plaintext.
bool evp_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                     const std::uint8_t* iv, std::uint8_t* out) noexcept {
  const ThreadCipherCtx ctx;
  if (ctx.get() == nullptr || ecb_cipher() == nullptr ||
      EVP_CipherInit_ex2(ctx.get(), ecb_cipher(), key, nullptr, 0, nullptr) != 1) {
    return false;
  }
  const std::uint8_t* c = iv;              // previous ciphertext block
  const std::uint8_t* p = iv + kAesBlock;  // previous plaintext block
  for (std::size_t off = 0; off < n; off += kAesBlock) {
    std::uint8_t* b = out + off;
    xor16(b, in + off, p);
    if (EVP_Cipher(ctx.get(), b, b, kAesBlock) <= 0) return false;
    xor16(b, b, c);
    c = in + off;
    p = b;
  }
  return true;
}

}  // namespace velmora::crypto::detail
