#include "crypto/aes_cbc.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "crypto/ctr_backends.hpp"
#include "crypto/evp_util.hpp"
#include "crypto/messages.hpp"

namespace velmora::crypto {
namespace {

const EVP_CIPHER* cbc_cipher() noexcept {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  return c;
}

// EVP lengths are int: whole blocks at a time, the chain carried by the context.
constexpr std::size_t kPiece = std::size_t{1} << 30;

CbcStatus run(bool encrypt, const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
              std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
              std::uint8_t* out) noexcept {
  const CbcStatus st = cbc_check(n, key_len, iv_len);
  if (st != CbcStatus::kOk || n == 0) return st;
  if (n <= detail::kIpsecCbcMax && detail::ipsec_cbc(encrypt, in, n, key, iv, out)) {
    return CbcStatus::kOk;
  }
  const ThreadCipherCtx ctx;
  bool ok = ctx.get() != nullptr && cbc_cipher() != nullptr &&
            EVP_CipherInit_ex2(ctx.get(), cbc_cipher(), key, iv, encrypt ? 1 : 0, nullptr) == 1;
  // EVP_Cipher: whole blocks, no padding logic to switch off.
  for (std::size_t off = 0; ok && off < n; off += kPiece) {
    const std::size_t len = n - off < kPiece ? n - off : kPiece;
    ok = EVP_Cipher(ctx.get(), out + off, in + off, static_cast<unsigned>(len)) > 0;
  }
  if (ok) return CbcStatus::kOk;
  OPENSSL_cleanse(out, n);
  ERR_clear_error();
  return CbcStatus::kCipherFailure;
}

}  // namespace

const char* cbc_status_message(CbcStatus s) noexcept {
  switch (s) {
    case CbcStatus::kOk: return "ok";
    case CbcStatus::kBadDataLength: return msg::kCbcDataLength;
    case CbcStatus::kBadKeyLength: return msg::kCbcKeyLength;
    case CbcStatus::kBadIvLength: return msg::kCbcIvLength;
    case CbcStatus::kCipherFailure: return msg::kCbcCipher;
  }
  return "AES-CBC unknown status";
}

CbcStatus cbc_check(std::size_t data_len, std::size_t key_len, std::size_t iv_len) noexcept {
  if (data_len % 16 != 0) return CbcStatus::kBadDataLength;
  if (key_len != kCbcKeySize) return CbcStatus::kBadKeyLength;
  if (iv_len != kCbcIvSize) return CbcStatus::kBadIvLength;
  return CbcStatus::kOk;
}

CbcStatus aes_cbc_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept {
  return run(true, in, n, key, key_len, iv, iv_len, out);
}

CbcStatus aes_cbc_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                          std::size_t key_len, const std::uint8_t* iv, std::size_t iv_len,
                          std::uint8_t* out) noexcept {
  return run(false, in, n, key, key_len, iv, iv_len, out);
}

}  // namespace velmora::crypto
