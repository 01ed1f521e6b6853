#include "protocol/obfuscation.hpp"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#include "wire/endian.hpp"

namespace velmora::protocol {
namespace {

// The first words (little-endian) that would make the stream read as
// something else: HTTP's HEAD, POST, GET and OPTIONS, a TLS record, and the
// padded intermediate and intermediate tags.
constexpr std::uint32_t kForbiddenFirstWords[] = {0x44414548u, 0x54534f50u, 0x20544547u,
                                                  0x4954504fu, 0x02010316u, 0xddddddddu,
                                                  0xeeeeeeeeu};

// key = SHA-256(key + secret) in place.
void mix_secret(std::uint8_t* key, const std::uint8_t* key_part) noexcept {
  std::uint8_t joined[32 + kSecretSize];
  std::memcpy(joined, key, 32);
  std::memcpy(joined + 32, key_part, kSecretSize);
  SHA256(joined, sizeof joined, key);
  OPENSSL_cleanse(joined, sizeof joined);
}

}  // namespace

StreamKeys::~StreamKeys() { OPENSSL_cleanse(this, sizeof *this); }

bool header_random_ok(const std::uint8_t* h) noexcept {
  if (h[0] == 0xef) return false;
  const std::uint32_t first = wire::load_le<std::uint32_t>(h);
  if (std::find(std::begin(kForbiddenFirstWords), std::end(kForbiddenFirstWords), first) !=
      std::end(kForbiddenFirstWords)) {
    return false;
  }
  return wire::load_le<std::uint32_t>(h + 4) != 0;
}

TransportStatus check_secret(const std::uint8_t* secret, std::size_t len, Framing f,
                             const std::uint8_t** key_part) noexcept {
  *key_part = nullptr;
  if (secret == nullptr) return TransportStatus::kOk;
  if (len == kSecretSize + 1 && secret[0] == kPaddedSecretMark) {
    if (f != Framing::kPaddedIntermediate) return TransportStatus::kDdSecretNeedsPadded;
    *key_part = secret + 1;
    return TransportStatus::kOk;
  }
  if (len != kSecretSize) return TransportStatus::kBadSecretLength;
  *key_part = secret;
  return TransportStatus::kOk;
}

void derive_keys(const std::uint8_t* header, const std::uint8_t* key_part, bool server,
                 StreamKeys* out) noexcept {
  std::uint8_t reversed[48];
  std::reverse_copy(header + 8, header + 56, reversed);
  // The client's encrypting stream is the server's decrypting one.
  std::uint8_t* fwd_key = server ? out->decrypt_key : out->encrypt_key;
  std::uint8_t* fwd_iv = server ? out->decrypt_iv : out->encrypt_iv;
  std::uint8_t* back_key = server ? out->encrypt_key : out->decrypt_key;
  std::uint8_t* back_iv = server ? out->encrypt_iv : out->decrypt_iv;
  std::memcpy(fwd_key, header + 8, 32);
  std::memcpy(fwd_iv, header + 40, 16);
  std::memcpy(back_key, reversed, 32);
  std::memcpy(back_iv, reversed + 32, 16);
  OPENSSL_cleanse(reversed, sizeof reversed);
  if (key_part != nullptr) {
    mix_secret(fwd_key, key_part);
    mix_secret(back_key, key_part);
  }
}

}  // namespace velmora::protocol
