// obfuscation.hpp: the obfuscated transport's 64-byte header and the keys of
// its two AES-256-CTR streams.
//
// The client picks 64 random bytes (never opening like another protocol or
// a plain codec), puts its codec's tag at bytes 56-60 and, when it names
// one, the DC id at 60-62. It encrypts with key = header[8:40], iv =
// header[40:56]; it decrypts with the key and iv of header[8:56] reversed.
// A proxy secret (16 bytes) makes each key SHA-256(key + secret). The
// server reads the same header from the other side.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/framing.hpp"

namespace velmora::protocol {

inline constexpr std::size_t kObfuscatedHeader = 64;
inline constexpr std::size_t kSecretSize = 16;
// A 17-byte secret beginning dd asks for padded intermediate.
inline constexpr std::uint8_t kPaddedSecretMark = 0xdd;

// Keys and IVs of one side: what it encrypts with and what it decrypts with.
// Wiped when it goes.
struct StreamKeys {
  std::uint8_t encrypt_key[32];
  std::uint8_t encrypt_iv[16];
  std::uint8_t decrypt_key[32];
  std::uint8_t decrypt_iv[16];
  // Left unset: derive_keys writes every byte before anything reads them.
  // cppcheck-suppress uninitMemberVar
  StreamKeys() = default;
  StreamKeys(const StreamKeys&) = delete;
  StreamKeys& operator=(const StreamKeys&) = delete;
  ~StreamKeys();
};

// Whether 64 random bytes may open a connection: not ef first, not one of
// the words other protocols or the plain codecs open with, and bytes 4-8
// not all zero.
bool header_random_ok(const std::uint8_t* header) noexcept;

// The checks on a secret (null when none): 16 bytes, or 17 beginning dd
// with padded intermediate only. *key_part is the 16 bytes hashed in.
TransportStatus check_secret(const std::uint8_t* secret, std::size_t len, Framing f,
                             const std::uint8_t** key_part) noexcept;

// The keys of the client (server false) or the server (true) from the
// header as sent; key_part is null without a secret.
void derive_keys(const std::uint8_t* header, const std::uint8_t* key_part, bool server,
                 StreamKeys* out) noexcept;

}  // namespace velmora::protocol
