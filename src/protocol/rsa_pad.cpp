#include "protocol/rsa_pad.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "crypto/aes_ige.hpp"
#include "protocol/secret.hpp"
#include "wire/endian.hpp"
#include "wire/wire.hpp"
#include "protocol/messages.hpp"

namespace velmora::protocol {
namespace {

constexpr std::size_t kPadded = 192;       // data_with_padding
constexpr std::size_t kWithHash = 224;     // data_pad_reversed + SHA-256
constexpr unsigned kTempKeyAttempts = 64;  // each succeeds with odds over 1/2

struct BnFree {
  void operator()(BIGNUM* b) const noexcept { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};

std::span<const std::uint8_t> strip_zeros(std::span<const std::uint8_t> v) noexcept {
  std::size_t i = 0;
  while (i < v.size() && v[i] == 0) ++i;
  return v.subspan(i);
}

std::vector<std::uint8_t> bn_bytes(const BIGNUM* b) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  return out;
}

// kae^e mod n, as 256 big-endian bytes.
bool rsa_raw(const std::uint8_t* kae, const RsaKey& key, std::uint8_t* out) noexcept {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Bn base(BN_bin2bn(kae, kRsaSize, nullptr));
  Bn n(BN_bin2bn(key.n.data(), static_cast<int>(key.n.size()), nullptr));
  Bn e(BN_bin2bn(key.e.data(), static_cast<int>(key.e.size()), nullptr));
  Bn r(BN_new());
  if (!ctx || !base || !n || !e || !r) return false;
  return BN_mod_exp_mont(r.get(), base.get(), e.get(), n.get(), ctx.get(), nullptr) == 1 &&
         BN_bn2binpad(r.get(), out, kRsaSize) == static_cast<int>(kRsaSize);
}

}  // namespace

const char* rsa_status_message(RsaStatus s) noexcept {
  switch (s) {
    case RsaStatus::kOk: return "ok";
    case RsaStatus::kDataTooLong: return msg::kRsaDataTooLong;
    case RsaStatus::kModulusSize: return msg::kRsaModulusSize;
    case RsaStatus::kBadExponent: return msg::kRsaBadExponent;
    case RsaStatus::kNoTempKey: return msg::kRsaNoTempKey;
    case RsaStatus::kRandomFailure: return msg::kSourceFailed;
    case RsaStatus::kBadPem: return msg::kRsaBadPem;
    case RsaStatus::kArithmetic: return msg::kRsaArithmetic;
  }
  return "RSA refused";
}

std::int64_t rsa_fingerprint(std::span<const std::uint8_t> n,
                             std::span<const std::uint8_t> e) noexcept {
  const auto sn = strip_zeros(n), se = strip_zeros(e);
  try {
    wire::Writer w;
    w.put_byte_string(sn.data(), sn.size());
    w.put_byte_string(se.data(), se.size());
    std::uint8_t d[20];
    sha1_of({Piece(w.data(), w.size())}, d);
    return static_cast<std::int64_t>(wire::load_le<std::uint64_t>(d + 12));
  } catch (...) {
    return 0;  // only on memory exhaustion, for numbers far past any key
  }
}

RsaStatus make_rsa_key(std::span<const std::uint8_t> n, std::span<const std::uint8_t> e,
                       RsaKey* out) {
  const auto sn = strip_zeros(n), se = strip_zeros(e);
  if (sn.size() != kRsaSize || (sn[0] & 0x80) == 0) return RsaStatus::kModulusSize;
  if (se.empty() || se.size() > kRsaSize || (se.back() & 1) == 0 ||
      (se.size() == 1 && se[0] < 3)) {
    return RsaStatus::kBadExponent;
  }
  out->n.assign(sn.begin(), sn.end());
  out->e.assign(se.begin(), se.end());
  out->fingerprint = rsa_fingerprint(sn, se);
  return RsaStatus::kOk;
}

RsaStatus rsa_pem_numbers(std::span<const std::uint8_t> pem, std::vector<std::uint8_t>* n,
                          std::vector<std::uint8_t>* e) {
  EVP_PKEY* pkey = nullptr;
  OSSL_DECODER_CTX* dctx = OSSL_DECODER_CTX_new_for_pkey(&pkey, "PEM", nullptr, "RSA",
                                                         EVP_PKEY_PUBLIC_KEY, nullptr, nullptr);
  if (dctx == nullptr) return RsaStatus::kBadPem;
  const unsigned char* data = pem.data();
  std::size_t len = pem.size();
  const bool decoded = OSSL_DECODER_from_data(dctx, &data, &len) == 1;
  OSSL_DECODER_CTX_free(dctx);
  BIGNUM *bn_n = nullptr, *bn_e = nullptr;
  const bool ok = decoded && EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_N, &bn_n) == 1 &&
                  EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_RSA_E, &bn_e) == 1;
  EVP_PKEY_free(pkey);
  Bn hold_n(bn_n), hold_e(bn_e);
  if (!ok) return RsaStatus::kBadPem;
  *n = bn_bytes(bn_n);
  *e = bn_bytes(bn_e);
  return RsaStatus::kOk;
}

RsaStatus rsa_pad(std::span<const std::uint8_t> data, const RsaKey& key, RandomSource& random,
                  std::uint8_t* out) {
  if (data.size() > kRsaPadMaxData) return RsaStatus::kDataTooLong;
  if (key.n.size() != kRsaSize) return RsaStatus::kModulusSize;
  Secret<kPadded> padded;
  Secret<kWithHash> with_hash;
  Secret<kRsaSize> kae;  // temp_key_xor + aes_encrypted
  Secret<32> temp_key, digest;
  std::copy(data.begin(), data.end(), padded.b);
  if (data.size() < kPadded && !random.fill(padded.b + data.size(), kPadded - data.size())) {
    return RsaStatus::kRandomFailure;
  }
  std::reverse_copy(padded.b, padded.b + kPadded, with_hash.b);
  static constexpr std::uint8_t kZeroIv[crypto::kIgeIvSize] = {};
  for (unsigned attempt = 0; attempt < kTempKeyAttempts; ++attempt) {
    if (!random.fill(temp_key.b, 32)) return RsaStatus::kRandomFailure;
    sha256_of({Piece(temp_key.b, 32), Piece(padded.b, kPadded)}, with_hash.b + kPadded);
    if (crypto::aes_ige_encrypt(with_hash.b, kWithHash, temp_key.b, 32, kZeroIv, sizeof(kZeroIv),
                                kae.b + 32) != crypto::IgeStatus::kOk) {
      return RsaStatus::kArithmetic;
    }
    sha256_of({Piece(kae.b + 32, kWithHash)}, digest.b);
    for (std::size_t i = 0; i < 32; ++i) kae.b[i] = temp_key.b[i] ^ digest.b[i];
    if (std::memcmp(kae.b, key.n.data(), kRsaSize) < 0) {
      return rsa_raw(kae.b, key, out) ? RsaStatus::kOk : RsaStatus::kArithmetic;
    }
  }
  return RsaStatus::kNoTempKey;
}

}  // namespace velmora::protocol
