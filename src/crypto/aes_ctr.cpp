#include "crypto/aes_ctr.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>

namespace velmora::crypto {
namespace {

// Fetched once for the process: a fetch is a provider lookup dearer than
// starting a stream.
const EVP_CIPHER* ctr_cipher() noexcept {
  static EVP_CIPHER* c = EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr);
  return c;
}

// EVP lengths are int: longer inputs go in pieces of whole blocks, so that
// the stream's position inside a block carries over unchanged.
constexpr std::size_t kPiece = std::size_t{1} << 30;

}  // namespace

const char* ctr_status_message(CtrStatus s) noexcept {
  switch (s) {
    case CtrStatus::kOk: return "ok";
    case CtrStatus::kBadKeyLength: return "AES-CTR key must be 32 bytes";
    case CtrStatus::kBadIvLength: return "AES-CTR IV must be 16 bytes";
    case CtrStatus::kCipherFailure: return "AES-CTR cipher failure";
  }
  return "AES-CTR unknown status";
}

CtrStatus CtrStream::start(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* iv,
                           std::size_t iv_len) noexcept {
  if (key_len != kCtrKeySize) return CtrStatus::kBadKeyLength;
  if (iv_len != kCtrIvSize) return CtrStatus::kBadIvLength;
  if (!ctx_) ctx_.reset(EVP_CIPHER_CTX_new());
  if (!ctx_ || ctr_cipher() == nullptr ||
      EVP_EncryptInit_ex2(ctx_.get(), ctr_cipher(), key, iv, nullptr) != 1) {
    ctx_.reset();
    ERR_clear_error();
    return CtrStatus::kCipherFailure;
  }
  return CtrStatus::kOk;
}

bool CtrStream::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) noexcept {
  if (!ctx_) return false;
  for (std::size_t off = 0; off < n; off += kPiece) {
    const std::size_t len = n - off < kPiece ? n - off : kPiece;
    // EVP_Cipher is the leanest entry: CTR takes any length there and keeps
    // its place inside a block between calls.
    if (EVP_Cipher(ctx_.get(), out + off, in + off, static_cast<unsigned>(len)) <= 0) {
      OPENSSL_cleanse(out, n);
      ERR_clear_error();
      return false;
    }
  }
  return true;
}

}  // namespace velmora::crypto
