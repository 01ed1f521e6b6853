// dh_check.hpp: the checks of the server's Diffie-Hellman group and of the
// public values exchanged in it, on libcrypto's BN.
//
// A group (dh_prime, g) passes when dh_prime has exactly 2048 bits, is prime
// and a safe prime ((p-1)/2 prime too), and g lies in 2..7 and generates the
// subgroup of order (p-1)/2 by the residue rule for that g. The two prime
// tests take a good part of a second, so their verdict is kept for the
// process per dh_prime (a few primes; servers use one), and only a client's
// first exchange pays for them; the residue rule is checked every time.
#pragma once

#include <openssl/bn.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::protocol {

inline constexpr std::size_t kDhPrimeSize = 256;
inline constexpr int kDhRangeBits = 1984;  // public values lie in [2^1984, p - 2^1984]

enum class DhStatus : std::uint8_t {
  kOk,
  kPrimeBits,    // dh_prime not of 2048 bits
  kNotPrime,
  kNotSafe,      // (p-1)/2 composite
  kGRange,       // g outside 2..7
  kNoGenerator,  // g fails the residue rule
  kOutOfRange,   // a public value outside [2^1984, p - 2^1984]
  kArithmetic,   // libcrypto refused; not reachable with valid numbers
};

// The fixed text of each status (callers match on them).
const char* dh_status_message(DhStatus s) noexcept;

// The verdict on a group; the prime tests run once per dh_prime for the
// process. Thread-safe.
DhStatus check_dh_group(std::span<const std::uint8_t> dh_prime, std::int32_t g) noexcept;

// Whether v lies in [2^1984, p - 2^1984].
DhStatus check_dh_value(const BIGNUM* p, const BIGNUM* v) noexcept;

}  // namespace velmora::protocol
