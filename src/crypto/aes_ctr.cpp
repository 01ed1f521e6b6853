#include "crypto/aes_ctr.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <new>

#include "crypto/messages.hpp"

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

struct Backends {
  CtrBackend list[2];
  std::size_t count;
};

const Backends& backends() noexcept {
  static const Backends b = detail::ipsec_ctr_ready()
                                ? Backends{{CtrBackend::kIpsecMb, CtrBackend::kOpenSsl}, 2}
                                : Backends{{CtrBackend::kOpenSsl}, 1};
  return b;
}

}  // namespace

CtrBackend ctr_backend() noexcept { return backends().list[0]; }

std::span<const CtrBackend> ctr_backends() noexcept { return {backends().list, backends().count}; }

const char* ctr_status_message(CtrStatus s) noexcept {
  switch (s) {
    case CtrStatus::kOk: return "ok";
    case CtrStatus::kBadKeyLength: return msg::kCtrKeyLength;
    case CtrStatus::kBadIvLength: return msg::kCtrIvLength;
    case CtrStatus::kCipherFailure: return msg::kCtrCipher;
  }
  return "AES-CTR unknown status";
}

CtrStatus CtrStream::start(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* iv,
                           std::size_t iv_len, CtrBackend backend) noexcept {
  if (key_len != kCtrKeySize) return CtrStatus::kBadKeyLength;
  if (iv_len != kCtrIvSize) return CtrStatus::kBadIvLength;
  ctx_.reset();
  ipsec_.reset();
  if (backend == CtrBackend::kIpsecMb) {
    ipsec_.reset(new (std::nothrow) detail::IpsecCtr());
    if (ipsec_ && detail::ipsec_ctr_start(ipsec_.get(), key, iv)) return CtrStatus::kOk;
    ipsec_.reset();
    return CtrStatus::kCipherFailure;
  }
  ctx_.reset(EVP_CIPHER_CTX_new());
  if (!ctx_ || ctr_cipher() == nullptr ||
      EVP_EncryptInit_ex2(ctx_.get(), ctr_cipher(), key, iv, nullptr) != 1) {
    ctx_.reset();
    ERR_clear_error();
    return CtrStatus::kCipherFailure;
  }
  return CtrStatus::kOk;
}

bool CtrStream::apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) noexcept {
  if (ipsec_) {
    if (detail::ipsec_ctr_apply(ipsec_.get(), in, out, n)) return true;
    OPENSSL_cleanse(out, n);
    return false;
  }
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
