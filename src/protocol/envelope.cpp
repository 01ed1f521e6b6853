#include "protocol/envelope.hpp"

// SHA256() and SHA1() of OpenSSL 3.0 fetch the algorithm by name on every
// call (EVP_Q_digest), some 600 ns against 85 ns for the digest of 52 bytes
// itself; the low-level functions run the same code without the fetch. They
// are deprecated in 3.0, not removed. EVP with the digests fetched once
// would honour a provider an administrator configured, but costs 55 to 110
// ns more a digest (bench_session digests: 52 bytes 73 against 127 ns, the
// key's SHA-1 225 against 280), and a message takes three or four of them:
// some 10 % of a small message, which its targets cannot spare. Kept so.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <string.h>  // explicit_bzero

#include <cstring>

#include "crypto/aes_ige.hpp"
#include "crypto/random.hpp"
#include "protocol/messages.hpp"
#include "wire/endian.hpp"

namespace velmora::protocol {

using crypto::aes_ige_decrypt;
using crypto::aes_ige_encrypt;
using crypto::IgeStatus;
using crypto::kAesBlock;
namespace {

constexpr std::size_t kMsgKey = 16;

// Every piece of key material one seal or open derives, together so that
// one wipe takes it all when it goes, on every return path: nine
// OPENSSL_cleanse calls over its parts cost some 40 ns a message, a tenth
// of what a session's encrypt may add to its floor.
struct KeyMaterial {
  SHA256_CTX ctx;
  std::uint8_t block[64];  // one 52-byte input of derive and its padding
  std::uint8_t a[SHA256_DIGEST_LENGTH];
  std::uint8_t b[SHA256_DIGEST_LENGTH];
  std::uint8_t key[32];  // the AES key and IV for a msg_key, as the protocol derives them
  std::uint8_t iv[32];
  std::uint8_t msg_key[SHA256_DIGEST_LENGTH];  // the digest msg_key is cut from
  // Each part is written before it is read: clearing them first would be one wipe more.
  // cppcheck-suppress uninitMemberVar
  KeyMaterial() = default;
  KeyMaterial(const KeyMaterial&) = delete;
  KeyMaterial& operator=(const KeyMaterial&) = delete;
  ~KeyMaterial() { explicit_bzero(this, sizeof *this); }

  void sha256(const std::uint8_t* p, std::size_t len, std::uint8_t* out) noexcept {
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, p, len);
    SHA256_Final(out, &ctx);
  }

  // SHA-256 of block's first 52 bytes, its padding in place (derive writes
  // it). A 52-byte input fits one block with its padding (0x80, zeros, the
  // length in bits big-endian), the same for every input: compressing that
  // block alone skips SHA256_Update's buffering and SHA256_Final's padding,
  // some 25 ns a digest (bench_session digests: sha256-low against
  // sha256-block).
  void sha256_of_block(std::uint8_t* out) noexcept {
    SHA256_Init(&ctx);
    SHA256_Transform(&ctx, block);
    for (std::size_t i = 0; i < 8; ++i) wire::store<std::endian::big>(out + 4 * i, static_cast<std::uint32_t>(ctx.h[i]));
  }

  void derive(const std::uint8_t* auth_key, std::size_t x, const std::uint8_t* mk) noexcept {
    static constexpr std::uint8_t kPadding[12] = {0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 52 * 8 >> 8, 52 * 8 & 0xff};
    std::memcpy(block + 52, kPadding, sizeof kPadding);  // both inputs are 52 bytes
    std::memcpy(block, mk, kMsgKey);
    std::memcpy(block + kMsgKey, auth_key + x, 36);
    sha256_of_block(a);
    std::memcpy(block, auth_key + 40 + x, 36);
    std::memcpy(block + 36, mk, kMsgKey);
    sha256_of_block(b);
    std::memcpy(key, a, 8);
    std::memcpy(key + 8, b + 8, 16);
    std::memcpy(key + 24, a + 24, 8);
    std::memcpy(iv, b, 8);
    std::memcpy(iv + 8, a + 8, 16);
    std::memcpy(iv + 24, b + 24, 8);
  }

  // msg_key over buf, whose first 32 bytes already hold
  // auth_key[88+x : 120+x] and the rest the plaintext: digest bytes 8..23.
  const std::uint8_t* msg_key_of(const std::uint8_t* buf, std::size_t len) noexcept {
    sha256(buf, len, msg_key);
    return msg_key + 8;
  }
};

// The header's numbers are little-endian on every host.
void put64(std::uint8_t* p, std::int64_t v) noexcept { wire::store_le(p, v); }
void put32(std::uint8_t* p, std::int32_t v) noexcept { wire::store_le(p, v); }
std::int64_t get64(const std::uint8_t* p) noexcept { return wire::load_le<std::int64_t>(p); }
std::int32_t get32(const std::uint8_t* p) noexcept { return wire::load_le<std::int32_t>(p); }

// Checks what open_message needs before it decrypts anything.
EnvelopeStatus check_frame(std::uint64_t key_id, const std::uint8_t* frame,
                           std::size_t frame_len) noexcept {
  if (frame_len < kFrameHeader + kInnerHeader) return EnvelopeStatus::kFrameTooShort;
  if ((frame_len - kFrameHeader) % kAesBlock != 0) return EnvelopeStatus::kFrameLength;
  if (wire::load_le<std::uint64_t>(frame) != key_id) return EnvelopeStatus::kKeyIdDiffers;
  return EnvelopeStatus::kOk;
}

// The length field and the padding it implies, once the msg_key has matched.
EnvelopeStatus check_inner(const std::uint8_t* inner, std::size_t n, Opened* out) noexcept {
  const std::int32_t len = get32(inner + 28);
  if (len < 0) return EnvelopeStatus::kLengthNegative;
  if (len % 4 != 0) return EnvelopeStatus::kLengthUnaligned;
  const auto body_len = static_cast<std::size_t>(len);
  if (body_len > n - kInnerHeader) return EnvelopeStatus::kLengthPastData;
  const std::size_t padding = n - kInnerHeader - body_len;
  if (padding < kMinPadding) return EnvelopeStatus::kPaddingTooShort;
  if (padding > kMaxPadding) return EnvelopeStatus::kPaddingTooLong;
  out->header = EnvelopeHeader{get64(inner), get64(inner + 8), get64(inner + 16), get32(inner + 24)};
  out->body_len = body_len;
  return EnvelopeStatus::kOk;
}

}  // namespace

const char* envelope_status_message(EnvelopeStatus s) noexcept {
  switch (s) {
    case EnvelopeStatus::kOk: return "ok";
    case EnvelopeStatus::kBadKeyLength: return msg::kAuthKeyLength;
    case EnvelopeStatus::kBadBodyLength: return msg::kBodyUnaligned;
    case EnvelopeStatus::kBadPadding: return msg::kPaddingLength;
    case EnvelopeStatus::kRandomFailure: return msg::kRandomFailure;
    case EnvelopeStatus::kFrameTooShort: return msg::kFrameTooShort;
    case EnvelopeStatus::kFrameLength: return msg::kFrameLength;
    case EnvelopeStatus::kKeyIdDiffers: return msg::kKeyIdDiffers;
    case EnvelopeStatus::kMsgKeyDiffers: return msg::kMsgKeyDiffers;
    case EnvelopeStatus::kLengthNegative: return msg::kLengthNegative;
    case EnvelopeStatus::kLengthUnaligned: return msg::kLengthUnaligned;
    case EnvelopeStatus::kLengthPastData: return msg::kLengthPastData;
    case EnvelopeStatus::kPaddingTooShort: return msg::kPaddingTooShort;
    case EnvelopeStatus::kPaddingTooLong: return msg::kPaddingTooLong;
    case EnvelopeStatus::kCipherFailure: return msg::kCipherFailure;
  }
  return "envelope failure";
}

std::uint64_t auth_key_id(const std::uint8_t* key) noexcept {
  std::uint8_t d[SHA_DIGEST_LENGTH];
  SHA_CTX c;
  SHA1_Init(&c);
  SHA1_Update(&c, key, kAuthKeySize);
  SHA1_Final(d, &c);
  OPENSSL_cleanse(&c, sizeof(c));
  // The id is public; the rest of the digest is key material.
  const auto id = wire::load_le<std::uint64_t>(d + 12);
  OPENSSL_cleanse(d, sizeof(d));
  return id;
}

std::size_t default_padding_len(std::size_t body_len) noexcept {
  const std::size_t unpadded = kInnerHeader + body_len + kMinPadding;
  return kMinPadding + (kAesBlock - unpadded % kAesBlock) % kAesBlock;
}

EnvelopeStatus seal_message(const std::uint8_t* key, std::size_t key_len, Sender sender,
                            const EnvelopeHeader& header, const std::uint8_t* body,
                            std::size_t body_len, const std::uint8_t* padding,
                            std::size_t padding_len, std::uint8_t* scratch,
                            std::uint8_t* out) noexcept {
  if (key_len != kAuthKeySize) return EnvelopeStatus::kBadKeyLength;
  return seal_keyed({key, auth_key_id(key)}, sender, header, body, body_len, padding, padding_len,
                    scratch, out);
}

EnvelopeStatus seal_keyed(KeyRef k, Sender sender, const EnvelopeHeader& header,
                          const std::uint8_t* body, std::size_t body_len,
                          const std::uint8_t* padding, std::size_t padding_len,
                          std::uint8_t* scratch, std::uint8_t* out) noexcept {
  const std::uint8_t* key = k.bytes;
  if (body_len % 4 != 0 || body_len > 0x7fffffff) return EnvelopeStatus::kBadBodyLength;
  const std::size_t n = kInnerHeader + body_len + padding_len;
  if (padding_len < kMinPadding || padding_len > kMaxPadding || n % kAesBlock != 0) {
    return EnvelopeStatus::kBadPadding;
  }
  const auto x = static_cast<std::size_t>(sender);
  std::uint8_t* inner = scratch + 32;
  std::memcpy(scratch, key + 88 + x, 32);
  put64(inner, header.salt);
  put64(inner + 8, header.session_id);
  put64(inner + 16, header.msg_id);
  put32(inner + 24, header.seq_no);
  put32(inner + 28, static_cast<std::int32_t>(body_len));
  if (body_len) std::memcpy(inner + kInnerHeader, body, body_len);
  std::uint8_t* pad = inner + kInnerHeader + body_len;
  EnvelopeStatus st = EnvelopeStatus::kOk;
  if (padding) {
    std::memcpy(pad, padding, padding_len);
  } else if (!crypto::random_bytes(pad, padding_len)) {
    st = EnvelopeStatus::kRandomFailure;
  }
  if (st == EnvelopeStatus::kOk) {
    wire::store_le(out, k.id);
    KeyMaterial m;
    std::memcpy(out + 8, m.msg_key_of(scratch, 32 + n), kMsgKey);
    m.derive(key, x, out + 8);
    const IgeStatus sealed = k.cipher ? k.cipher->encrypt(inner, n, m.key, m.iv, out + kFrameHeader)
                                      : aes_ige_encrypt(inner, n, m.key, 32, m.iv, 32, out + kFrameHeader);
    if (sealed != IgeStatus::kOk) {
      st = EnvelopeStatus::kCipherFailure;
    }
  }
  // The key material; the rest is the caller's own body and the padding.
  explicit_bzero(scratch, 32);
  return st;
}

EnvelopeStatus open_message(const std::uint8_t* key, std::size_t key_len, Sender sender,
                            const std::uint8_t* frame, std::size_t frame_len, std::uint8_t* plain,
                            Opened* out) noexcept {
  if (key_len != kAuthKeySize) return EnvelopeStatus::kBadKeyLength;
  if (frame_len < kFrameHeader + kInnerHeader) return EnvelopeStatus::kFrameTooShort;
  return open_keyed({key, auth_key_id(key)}, sender, frame, frame_len, plain, out);
}

EnvelopeStatus open_keyed(KeyRef k, Sender sender, const std::uint8_t* frame,
                          std::size_t frame_len, std::uint8_t* plain, Opened* out) noexcept {
  const std::uint8_t* key = k.bytes;
  EnvelopeStatus st = check_frame(k.id, frame, frame_len);
  if (st != EnvelopeStatus::kOk) return st;
  const auto x = static_cast<std::size_t>(sender);
  const std::size_t n = frame_len - kFrameHeader;
  std::uint8_t* inner = plain + 32;
  KeyMaterial m;
  m.derive(key, x, frame + 8);
  if (aes_ige_decrypt(frame + kFrameHeader, n, m.key, 32, m.iv, 32, inner) != IgeStatus::kOk) {
    st = EnvelopeStatus::kCipherFailure;
  }
  if (st == EnvelopeStatus::kOk) {
    std::memcpy(plain, key + 88 + x, 32);
    if (CRYPTO_memcmp(m.msg_key_of(plain, 32 + n), frame + 8, kMsgKey) != 0) {
      st = EnvelopeStatus::kMsgKeyDiffers;
    }
  }
  if (st == EnvelopeStatus::kOk) st = check_inner(inner, n, out);
  // The key material ahead of the data goes in every case, the data itself
  // on refusal.
  explicit_bzero(plain, st == EnvelopeStatus::kOk ? 32 : 32 + n);
  out->body_offset = 32 + kInnerHeader;
  return st;
}

}  // namespace velmora::protocol
