// AES-256-IGE through libcrypto's EVP interface: the backend everywhere the
// IPsec library is not built in, and the long encryptions of both.
#include <openssl/evp.h>

#include <cstring>

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

// Q_i = P_i ^ P_(i-2) over one chunk at off, with c0 folded into Q_0 (see
// below): P_(-2) = c0, P_(-1) = p0, the two halves of iv.
void cbc_input(const std::uint8_t* in, std::size_t off, std::size_t len, const std::uint8_t* iv,
               std::uint8_t* z) noexcept {
  for (std::size_t i = 0; i < len; i += kAesBlock) {
    const std::size_t g = off + i;  // position in the whole message
    xor16(z + i, in + g, g >= 2 * kAesBlock ? in + g - 2 * kAesBlock : iv + (g == 0 ? 0 : kAesBlock));
  }
}

constexpr std::uint8_t kZeroIv[kAesBlock] = {};

// Whether re-keying a CBC context without an IV starts it again from the IV
// it was set up with, as libcrypto does (as 1.1.1 did) rather than going on
// from the last block. A kept context re-keyed so skips the IV's set-up,
// some 80 ns a message; a library that chains instead is given the IV each
// time. Checked once, on one block.
bool rekey_restarts_iv() noexcept {
  static const bool restarts = [] {
    const CipherCtx c(EVP_CIPHER_CTX_new());
    const std::uint8_t key[32] = {};
    std::uint8_t first[kAesBlock], again[kAesBlock];
    return c && cbc_cipher() && EVP_CipherInit_ex2(c.get(), cbc_cipher(), key, kZeroIv, 1, nullptr) == 1 &&
           EVP_Cipher(c.get(), first, kZeroIv, kAesBlock) > 0 &&
           EVP_CipherInit_ex2(c.get(), nullptr, key, nullptr, 1, nullptr) == 1 &&
           EVP_Cipher(c.get(), again, kZeroIv, kAesBlock) > 0 && std::memcmp(first, again, kAesBlock) == 0;
  }();
  return restarts;
}

}  // namespace

// IGE encryption is C_i = E(P_i ^ C_(i-1)) ^ P_(i-1). With Z_i = C_i ^ P_(i-1)
// that reads Z_i = E(P_i ^ P_(i-2) ^ Z_(i-1)), with Z_(-1) = c0 and
// P_(-1) = p0: CBC over Q_i = P_i ^ P_(i-2). So the whole message is one CBC
// pass between two XOR passes, and CBC encryption is the fastest serial AES
// libcrypto has. The pass runs from a zero IV with c0 folded into Q_0 (the
// first block is E(Q_0 ^ c0) either way), so a kept context's IV never
// changes. EVP_Cipher is the leanest entry: whole blocks, no padding logic
// to switch off, the IV carried from chunk to chunk.
bool evp_ige_encrypt_on(EVP_CIPHER_CTX* ctx, bool fresh, const std::uint8_t* in, std::size_t n,
                        const std::uint8_t* key, const std::uint8_t* iv, std::uint8_t* out) noexcept {
  const std::uint8_t* cbc_iv = fresh || !rekey_restarts_iv() ? kZeroIv : nullptr;
  if (ctx == nullptr || cbc_cipher() == nullptr ||
      EVP_CipherInit_ex2(ctx, fresh ? cbc_cipher() : nullptr, key, cbc_iv, 1, nullptr) != 1) {
    return false;
  }
  const std::uint8_t* p0 = iv + kAesBlock;
  for (std::size_t off = 0; off < n; off += kChunk) {
    const std::size_t len = n - off < kChunk ? n - off : kChunk;
    std::uint8_t* z = out + off;
    cbc_input(in, off, len, iv, z);
    if (EVP_Cipher(ctx, z, z, static_cast<unsigned>(len)) <= 0) return false;
    // C_i = Z_i ^ P_(i-1).
    for (std::size_t i = 0; i < len; i += kAesBlock) {
      const std::size_t g = off + i;
      xor16(z + i, z + i, g == 0 ? p0 : in + g - kAesBlock);
    }
  }
  return true;
}

bool evp_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                     const std::uint8_t* iv, std::uint8_t* out) noexcept {
  const ThreadCipherCtx ctx;
  return evp_ige_encrypt_on(ctx.get(), true, in, n, key, iv, out);
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
