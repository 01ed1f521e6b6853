#include "protocol/handshake.hpp"

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "crypto/aes_ige.hpp"
#include "protocol/dh_check.hpp"
#include "protocol/envelope.hpp"
#include "protocol/factorize.hpp"
#include "wire/endian.hpp"
#include "protocol/messages.hpp"

namespace velmora::protocol {

using layout::Out;
using layout::Parse;
using layout::Piece;
using HS = HandshakeStatus;

namespace {

// A g_b outside the range has odds near 2^-63 per draw; the bound only
// keeps a broken random source from looping.
constexpr unsigned kBDraws = 16;
constexpr std::size_t kSha1 = 20;

struct BnClear {
  void operator()(BIGNUM* b) const noexcept { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnClear>;
struct CtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};

Bn bn_of(Piece v) { return Bn(BN_bin2bn(v.data(), static_cast<int>(v.size()), nullptr)); }

HS from_parse(Parse p) noexcept { return p == Parse::kUnexpected ? HS::kUnexpected : HS::kUndecodable; }

HS from_dh(DhStatus s) noexcept {
  switch (s) {
    case DhStatus::kPrimeBits: return HS::kDhPrimeBits;
    case DhStatus::kNotPrime: return HS::kDhPrimeNotPrime;
    case DhStatus::kNotSafe: return HS::kDhPrimeNotSafe;
    case DhStatus::kGRange: return HS::kGRange;
    case DhStatus::kNoGenerator: return HS::kGNoGenerator;
    case DhStatus::kOutOfRange: return HS::kGaRange;
    default: return HS::kArithmetic;
  }
}

// p or q as a big-endian byte string of the fewest bytes.
std::size_t be_bytes(std::uint64_t v, std::uint8_t* out) noexcept {
  std::size_t n = 0;
  for (std::uint64_t t = v; t != 0; t >>= 8) ++n;
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
  return n;
}

bool same(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  return CRYPTO_memcmp(a, b, n) == 0;
}

}  // namespace

const char* handshake_status_message(HS s) noexcept {
  switch (s) {
    case HS::kOk: return "ok";
    case HS::kNonceDiffers: return msg::kKexNonceDiffers;
    case HS::kServerNonceDiffers: return msg::kKexServerNonceDiffers;
    case HS::kNoKnownKey: return msg::kKexNoKnownKey;
    case HS::kPqNotProduct: return msg::kPqNotProduct;
    case HS::kDhParamsRefused: return msg::kKexDhParamsRefused;
    case HS::kNewNonceHashDiffers: return msg::kKexNewNonceHashDiffers;
    case HS::kAnswerLength: return msg::kKexAnswerLength;
    case HS::kAnswerHash: return msg::kKexAnswerHash;
    case HS::kDhPrimeBits: return msg::kDhPrimeBits;
    case HS::kDhPrimeNotPrime: return msg::kDhNotPrime;
    case HS::kDhPrimeNotSafe: return msg::kDhNotSafe;
    case HS::kGRange: return msg::kDhGRange;
    case HS::kGNoGenerator: return msg::kDhNoGenerator;
    case HS::kGaRange: return msg::kKexGaRange;
    case HS::kHash1Differs: return msg::kKexHash1Differs;
    case HS::kHash2Differs: return msg::kKexHash2Differs;
    case HS::kHash3Differs: return msg::kKexHash3Differs;
    case HS::kKeyRefused: return msg::kKexKeyRefused;
    case HS::kTooManyRetries: return msg::kKexTooManyRetries;
    case HS::kUnexpected: return msg::kKexUnexpected;
    case HS::kUndecodable: return msg::kKexUndecodable;
    case HS::kRandomFailure: return msg::kSourceFailed;
    case HS::kArithmetic: return msg::kKexArithmetic;
    case HS::kEnded: return msg::kKexEnded;
    case HS::kNotStarted: return msg::kKexNotStarted;
    case HS::kStartedTwice: return msg::kKexStartedTwice;
    case HS::kFinished: return msg::kKexFinished;
  }
  return "key exchange refused";
}

bool handshake_misuse(HS s) noexcept { return s >= HS::kNotStarted; }

void tmp_aes_key_iv(const std::uint8_t* nn, const std::uint8_t* sn, std::uint8_t* key,
                    std::uint8_t* iv) noexcept {
  Secret<kSha1> a, b, c;
  const Piece new_nonce(nn, layout::kNewNonce), server_nonce(sn, layout::kNonce);
  sha1_of({new_nonce, server_nonce}, a.b);
  sha1_of({server_nonce, new_nonce}, b.b);
  sha1_of({new_nonce, new_nonce}, c.b);
  std::memcpy(key, a.b, 20);
  std::memcpy(key + 20, b.b, 12);
  std::memcpy(iv, b.b + 12, 8);
  std::memcpy(iv + 8, c.b, 20);
  std::memcpy(iv + 28, nn, 4);
}

void new_nonce_hash(const std::uint8_t* new_nonce, const std::uint8_t* auth_key,
                    std::uint8_t which, std::uint8_t* out) noexcept {
  Secret<kSha1> aux, d;
  sha1_of({Piece(auth_key, 256)}, aux.b);
  sha1_of({Piece(new_nonce, layout::kNewNonce), Piece(&which, 1), Piece(aux.b, 8)}, d.b);
  std::memcpy(out, d.b + 4, 16);
}

std::uint64_t aux_hash(const std::uint8_t* auth_key) noexcept {
  Secret<kSha1> d;
  sha1_of({Piece(auth_key, 256)}, d.b);
  return wire::load_le<std::uint64_t>(d.b);
}

std::int64_t server_salt(const std::uint8_t* new_nonce, const std::uint8_t* server_nonce) noexcept {
  return static_cast<std::int64_t>(wire::load_le<std::uint64_t>(new_nonce) ^
                                   wire::load_le<std::uint64_t>(server_nonce));
}


Handshake::Handshake(std::vector<RsaKey> keys, std::int32_t dc,
                     std::optional<std::int32_t> expires_in)
    : keys_(std::move(keys)), dc_(dc), expires_in_(expires_in) {}

HS Handshake::start(RandomSource& random, std::vector<std::uint8_t>* request) {
  if (stage_ == Stage::kEnded) return HS::kEnded;
  if (stage_ != Stage::kNew) return HS::kStartedTwice;
  request->resize(4 + layout::kNonce);
  if (!random.fill(nonce_, layout::kNonce)) return refuse(HS::kRandomFailure);
  Out out(request->data(), request->size());
  out.u32(layout::kReqPqMulti);
  out.raw(Piece(nonce_, layout::kNonce));
  stage_ = Stage::kResPq;
  return HS::kOk;
}

HS Handshake::receive(Piece answer, double now, RandomSource& random,
                      std::vector<std::uint8_t>* request, bool* done, AuthKey* key) {
  *done = false;
  HS s = HS::kOk;
  try {
    switch (stage_) {
      case Stage::kNew: return HS::kNotStarted;
      case Stage::kDone: return HS::kFinished;
      case Stage::kEnded: return HS::kEnded;
      case Stage::kResPq: s = on_res_pq(answer, now, random, request); break;
      case Stage::kDhParams: s = on_dh_params(answer, now, random, request); break;
      case Stage::kDhGen: s = on_dh_gen(answer, random, request, done, key); break;
    }
  } catch (...) {  // out of memory: the exchange cannot go on
    refuse(HS::kEnded);
    throw;
  }
  return s == HS::kOk ? s : refuse(s);
}

HS Handshake::check_nonces(const std::uint8_t* nonce, const std::uint8_t* server_nonce) const {
  if (!same(nonce, nonce_, layout::kNonce)) return HS::kNonceDiffers;
  if (!same(server_nonce, server_nonce_, layout::kNonce)) return HS::kServerNonceDiffers;
  return HS::kOk;
}

// The first key listed that the client holds.
const RsaKey* Handshake::find_key(Piece fingerprints) const noexcept {
  for (std::size_t i = 0; i + 8 <= fingerprints.size(); i += 8) {
    const auto fp = static_cast<std::int64_t>(wire::load_le<std::uint64_t>(&fingerprints[i]));
    for (const RsaKey& k : keys_) {
      if (k.fingerprint == fp) return &k;
    }
  }
  return nullptr;
}

HS Handshake::on_res_pq(Piece answer, double now, RandomSource& random,
                        std::vector<std::uint8_t>* request) {
  layout::ResPq r;
  if (Parse p = layout::parse_res_pq(answer, &r); p != Parse::kOk) return from_parse(p);
  if (!same(r.nonce, nonce_, layout::kNonce)) return HS::kNonceDiffers;
  const RsaKey* key = find_key(r.fingerprints);
  if (key == nullptr) return HS::kNoKnownKey;
  std::uint64_t pq = 0, p = 0, q = 0;
  if (r.pq.size() > 8) return HS::kPqNotProduct;
  for (std::uint8_t b : r.pq) pq = pq << 8 | b;
  if (factorize(pq, &p, &q) != FactorStatus::kOk) return HS::kPqNotProduct;
  std::memcpy(server_nonce_, r.server_nonce, layout::kNonce);
  if (!random.fill(new_nonce_.b, layout::kNewNonce)) return HS::kRandomFailure;

  std::uint8_t pb[8], qb[8];
  const Piece p_bytes(pb, be_bytes(p, pb)), q_bytes(qb, be_bytes(q, qb));
  Secret<kRsaPadMaxData> inner;
  Out w(inner.b, inner.size());
  w.u32(expires_in_ ? layout::kPqInnerDataTempDc : layout::kPqInnerDataDc);
  w.string(r.pq);
  w.string(p_bytes);
  w.string(q_bytes);
  w.raw(Piece(nonce_, layout::kNonce));
  w.raw(Piece(server_nonce_, layout::kNonce));
  w.raw(Piece(new_nonce_.b, layout::kNewNonce));
  w.u32(static_cast<std::uint32_t>(dc_));
  if (expires_in_) w.u32(static_cast<std::uint32_t>(*expires_in_));
  if (w.overflow()) return HS::kArithmetic;
  std::uint8_t encrypted[kRsaSize];
  const RsaStatus rs = rsa_pad(Piece(inner.b, w.size()), *key, random, encrypted);
  if (rs != RsaStatus::kOk) {
    return rs == RsaStatus::kRandomFailure ? HS::kRandomFailure : HS::kArithmetic;
  }
  request->resize(4 + 2 * layout::kNonce + layout::string_size(p_bytes.size()) +
                  layout::string_size(q_bytes.size()) + 8 + layout::string_size(kRsaSize));
  Out o(request->data(), request->size());
  o.u32(layout::kReqDhParams);
  o.raw(Piece(nonce_, layout::kNonce));
  o.raw(Piece(server_nonce_, layout::kNonce));
  o.string(p_bytes);
  o.string(q_bytes);
  o.u64(static_cast<std::uint64_t>(key->fingerprint));
  o.string(Piece(encrypted, kRsaSize));
  if (expires_in_) expires_at_ = now + *expires_in_;
  stage_ = Stage::kDhParams;
  return HS::kOk;
}

HS Handshake::on_dh_params(Piece answer, double now, RandomSource& random,
                           std::vector<std::uint8_t>* request) {
  layout::DhParams d;
  if (Parse p = layout::parse_dh_params(answer, &d); p != Parse::kOk) return from_parse(p);
  if (HS s = check_nonces(d.nonce, d.server_nonce); s != HS::kOk) return s;
  if (!d.ok) {
    Secret<kSha1> h;
    sha1_of({Piece(new_nonce_.b, layout::kNewNonce)}, h.b);
    return same(h.b + 4, d.hash, 16) ? HS::kDhParamsRefused : HS::kNewNonceHashDiffers;
  }
  const std::size_t len = d.encrypted_answer.size();
  if (len % crypto::kAesBlock != 0) return HS::kAnswerLength;
  tmp_aes_key_iv(new_nonce_.b, server_nonce_, tmp_key_.b, tmp_iv_.b);
  std::vector<std::uint8_t> plain(len);
  HS s = HS::kArithmetic;
  if (crypto::aes_ige_decrypt(d.encrypted_answer.data(), len, tmp_key_.b, 32, tmp_iv_.b, 32,
                              plain.data()) == crypto::IgeStatus::kOk) {
    s = on_dh_inner(plain.data(), len, now);
  }
  OPENSSL_cleanse(plain.data(), plain.size());
  return s == HS::kOk ? client_dh(0, random, request) : s;
}

HS Handshake::on_dh_inner(const std::uint8_t* plain, std::size_t len, double now) {
  layout::DhInner in;
  if (len < kSha1 || layout::parse_dh_inner(Piece(plain + kSha1, len - kSha1), &in) != Parse::kOk ||
      len - kSha1 - in.length >= crypto::kAesBlock) {
    return HS::kAnswerHash;  // no object where the hash says one is
  }
  std::uint8_t h[kSha1];
  sha1_of({Piece(plain + kSha1, in.length)}, h);
  if (!same(h, plain, kSha1)) return HS::kAnswerHash;
  if (HS s = check_nonces(in.nonce, in.server_nonce); s != HS::kOk) return s;
  if (DhStatus g = check_dh_group(in.dh_prime, in.g); g != DhStatus::kOk) return from_dh(g);
  Bn p = bn_of(in.dh_prime), g_a = bn_of(in.g_a);
  if (!p || !g_a) return HS::kArithmetic;
  if (DhStatus r = check_dh_value(p.get(), g_a.get()); r != DhStatus::kOk) return from_dh(r);
  std::memcpy(dh_prime_, in.dh_prime.data(), sizeof(dh_prime_));
  if (BN_bn2binpad(g_a.get(), g_a_, sizeof(g_a_)) != static_cast<int>(sizeof(g_a_))) {
    return HS::kArithmetic;
  }
  g_ = in.g;
  time_offset_ = static_cast<std::int64_t>(in.server_time) - std::llround(now);
  return HS::kOk;
}

HS Handshake::new_b(RandomSource& random, std::uint8_t* g_b) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_secure_new());
  Bn p = bn_of(Piece(dh_prime_, sizeof(dh_prime_))), g_a = bn_of(Piece(g_a_, sizeof(g_a_)));
  Bn g(BN_new()), b(BN_secure_new()), gb(BN_new()), key(BN_secure_new());
  if (!ctx || !p || !g_a || !g || !b || !gb || !key || BN_set_word(g.get(), static_cast<BN_ULONG>(g_)) != 1) {
    return HS::kArithmetic;
  }
  BN_set_flags(b.get(), BN_FLG_CONSTTIME);
  Secret<256> raw;
  for (unsigned i = 0; i < kBDraws; ++i) {
    if (!random.fill(raw.b, raw.size())) return HS::kRandomFailure;
    if (BN_bin2bn(raw.b, static_cast<int>(raw.size()), b.get()) == nullptr ||
        BN_mod_exp_mont_consttime(gb.get(), g.get(), b.get(), p.get(), ctx.get(), nullptr) != 1) {
      return HS::kArithmetic;
    }
    if (check_dh_value(p.get(), gb.get()) != DhStatus::kOk) continue;
    const bool ok =
        BN_mod_exp_mont_consttime(key.get(), g_a.get(), b.get(), p.get(), ctx.get(), nullptr) == 1 &&
        BN_bn2binpad(key.get(), auth_key_.b, 256) == 256 && BN_bn2binpad(gb.get(), g_b, 256) == 256;
    return ok ? HS::kOk : HS::kArithmetic;
  }
  return HS::kArithmetic;
}

HS Handshake::client_dh(std::uint64_t retry_id, RandomSource& random,
                        std::vector<std::uint8_t>* request) {
  std::uint8_t g_b[256];
  if (HS s = new_b(random, g_b); s != HS::kOk) return s;
  // SHA-1(data) + data + padding: 20 + 304 + up to 15 bytes.
  Secret<352> buf;
  Out w(buf.b + kSha1, buf.size() - kSha1);
  w.u32(layout::kClientDhInnerData);
  w.raw(Piece(nonce_, layout::kNonce));
  w.raw(Piece(server_nonce_, layout::kNonce));
  w.u64(retry_id);
  w.string(Piece(g_b, sizeof(g_b)));
  if (w.overflow()) return HS::kArithmetic;
  sha1_of({Piece(buf.b + kSha1, w.size())}, buf.b);
  std::size_t total = kSha1 + w.size();
  const std::size_t pad = (crypto::kAesBlock - total % crypto::kAesBlock) % crypto::kAesBlock;
  if (pad != 0 && !random.fill(buf.b + total, pad)) return HS::kRandomFailure;
  total += pad;
  std::uint8_t encrypted[sizeof(buf.b)];
  if (crypto::aes_ige_encrypt(buf.b, total, tmp_key_.b, 32, tmp_iv_.b, 32, encrypted) !=
      crypto::IgeStatus::kOk) {
    return HS::kArithmetic;
  }
  request->resize(4 + 2 * layout::kNonce + layout::string_size(total));
  Out o(request->data(), request->size());
  o.u32(layout::kSetClientDhParams);
  o.raw(Piece(nonce_, layout::kNonce));
  o.raw(Piece(server_nonce_, layout::kNonce));
  o.string(Piece(encrypted, total));
  stage_ = Stage::kDhGen;
  return HS::kOk;
}

HS Handshake::on_dh_gen(Piece answer, RandomSource& random, std::vector<std::uint8_t>* request,
                        bool* done, AuthKey* key) {
  layout::DhGen g;
  if (Parse p = layout::parse_dh_gen(answer, &g); p != Parse::kOk) return from_parse(p);
  if (HS s = check_nonces(g.nonce, g.server_nonce); s != HS::kOk) return s;
  std::uint8_t expected[16];
  if (g.id == layout::kDhGenOk) {
    new_nonce_hash(new_nonce_.b, auth_key_.b, 1, expected);
    if (!same(expected, g.hash, 16)) return HS::kHash1Differs;
    hand_over(key);
    *done = true;
    return HS::kOk;
  }
  if (g.id == layout::kDhGenFail) {
    new_nonce_hash(new_nonce_.b, auth_key_.b, 3, expected);
    return same(expected, g.hash, 16) ? HS::kKeyRefused : HS::kHash3Differs;
  }
  new_nonce_hash(new_nonce_.b, auth_key_.b, 2, expected);
  if (!same(expected, g.hash, 16)) return HS::kHash2Differs;
  if (++retries_ > kMaxRetries) return HS::kTooManyRetries;
  return client_dh(aux_hash(auth_key_.b), random, request);
}

void Handshake::hand_over(AuthKey* key) noexcept {
  std::memcpy(key->key.b, auth_key_.b, 256);
  key->key_id = auth_key_id(auth_key_.b);
  key->server_salt = server_salt(new_nonce_.b, server_nonce_);
  key->time_offset = time_offset_;
  key->temporary = expires_in_.has_value();
  key->expires_at = expires_at_;
  wipe();
  stage_ = Stage::kDone;
}

HS Handshake::refuse(HS s) noexcept {
  wipe();
  stage_ = Stage::kEnded;
  return s;
}

void Handshake::wipe() noexcept {
  new_nonce_.wipe();
  tmp_key_.wipe();
  tmp_iv_.wipe();
  auth_key_.wipe();
}

bool Handshake::holds_secrets() const noexcept {
  auto any = [](const std::uint8_t* p, std::size_t n) {
    return std::any_of(p, p + n, [](std::uint8_t b) { return b != 0; });
  };
  return any(new_nonce_.b, 32) || any(tmp_key_.b, 32) || any(tmp_iv_.b, 32) ||
         any(auth_key_.b, 256);
}

}  // namespace velmora::protocol
