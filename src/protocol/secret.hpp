// secret.hpp: fixed-size buffers of key material that wipe themselves, and
// the digests the key exchange takes over several pieces.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace velmora::protocol {

template <std::size_t N>
struct Secret {
  std::uint8_t b[N] = {};
  Secret() noexcept = default;
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { OPENSSL_cleanse(b, N); }
  void wipe() noexcept { OPENSSL_cleanse(b, N); }
  static constexpr std::size_t size() noexcept { return N; }
};

using Piece = std::span<const std::uint8_t>;

// SHA-1 and SHA-256 of the pieces one after another, into out (20 or 32
// bytes); the digest state is wiped.
void sha1_of(std::initializer_list<Piece> parts, std::uint8_t* out) noexcept;
void sha256_of(std::initializer_list<Piece> parts, std::uint8_t* out) noexcept;

}  // namespace velmora::protocol
