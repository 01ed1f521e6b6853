// factorize.hpp: splitting the key exchange's pq, a product of two primes
// below 2^64, into its factors.
//
// Miller-Rabin with the twelve bases that decide every 64-bit number, then
// Pollard-Brent over Montgomery products (128-bit multiplications, no
// division in the loop). The work is bounded: a number the search cannot
// split within kFactorAttempts starting points is refused, never looped on.
#pragma once

#include <cstdint>

namespace velmora::protocol {

enum class FactorStatus : std::uint8_t {
  kOk,
  kNotProduct,     // 0 or 1
  kPrime,
  kThreeOrMore,    // three prime factors or more
  kBeyondBound,    // not split within the bounded work
};

// The fixed text of each status (callers match on them).
const char* factor_status_message(FactorStatus s) noexcept;

// Deterministic primality for every 64-bit number.
bool is_prime_u64(std::uint64_t n) noexcept;

// pq = *p * *q with *p <= *q, both prime (a square gives *p == *q).
FactorStatus factorize(std::uint64_t pq, std::uint64_t* p, std::uint64_t* q) noexcept;

}  // namespace velmora::protocol
