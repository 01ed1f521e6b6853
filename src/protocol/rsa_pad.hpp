// rsa_pad.hpp: the server keys of the key exchange and the protocol's
// RSA_PAD encryption of p_q_inner_data, on libcrypto's BN, SHA and the
// module's AES-IGE.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/random_source.hpp"

namespace velmora::protocol {

inline constexpr std::size_t kRsaSize = 256;        // a 2048-bit modulus, big-endian
inline constexpr std::size_t kRsaPadMaxData = 144;  // what fits beside the hashes

enum class RsaStatus : std::uint8_t {
  kOk,
  kDataTooLong,    // over 144 bytes
  kModulusSize,    // n not of 2048 bits
  kBadExponent,    // e below 3 or even
  kNoTempKey,      // no temp key gave a number below n within the bound
  kRandomFailure,
  kBadPem,         // not an RSA public key in PEM
  kArithmetic,     // libcrypto refused; not reachable with valid keys
};

const char* rsa_status_message(RsaStatus s) noexcept;

// A server's public key: n and e big-endian without leading zeros, and the
// fingerprint that a resPQ lists for it.
struct RsaKey {
  std::vector<std::uint8_t> n;
  std::vector<std::uint8_t> e;
  std::int64_t fingerprint = 0;
};

// The key's numbers stripped of leading zeros and checked (2048-bit n, odd e
// of at least 3), its fingerprint computed.
RsaStatus make_rsa_key(std::span<const std::uint8_t> n, std::span<const std::uint8_t> e,
                       RsaKey* out);

// The low 64 bits of SHA-1(n as TL bytes + e as TL bytes), little-endian.
std::int64_t rsa_fingerprint(std::span<const std::uint8_t> n,
                             std::span<const std::uint8_t> e) noexcept;

// The numbers of a PEM public key ("RSA PUBLIC KEY", PKCS#1, or "PUBLIC KEY").
RsaStatus rsa_pem_numbers(std::span<const std::uint8_t> pem, std::vector<std::uint8_t>* n,
                          std::vector<std::uint8_t>* e);

// RSA_PAD(data) to key, 256 bytes into out; draws the padding (192 - len)
// and then 32-byte temp keys until one gives a number below n. Every
// intermediate buffer is wiped before the call returns.
RsaStatus rsa_pad(std::span<const std::uint8_t> data, const RsaKey& key, RandomSource& random,
                  std::uint8_t* out);

}  // namespace velmora::protocol
