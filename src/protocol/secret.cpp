// The low-level SHA functions skip OpenSSL 3.0's fetch by name on every
// call; deprecated in 3.0, not removed. Defined ahead of every OpenSSL header.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "protocol/secret.hpp"

namespace velmora::protocol {

void sha1_of(std::initializer_list<Piece> parts, std::uint8_t* out) noexcept {
  SHA_CTX c;
  SHA1_Init(&c);
  for (const Piece& p : parts) SHA1_Update(&c, p.data(), p.size());
  SHA1_Final(out, &c);
  OPENSSL_cleanse(&c, sizeof(c));
}

void sha256_of(std::initializer_list<Piece> parts, std::uint8_t* out) noexcept {
  SHA256_CTX c;
  SHA256_Init(&c);
  for (const Piece& p : parts) SHA256_Update(&c, p.data(), p.size());
  SHA256_Final(out, &c);
  OPENSSL_cleanse(&c, sizeof(c));
}

}  // namespace velmora::protocol
