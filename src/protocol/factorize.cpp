#include "protocol/factorize.hpp"
#include "protocol/messages.hpp"

#include <cmath>

namespace velmora::protocol {
namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

// A Pollard-Brent walk of this many steps finds a factor below 2^32 with
// overwhelming odds (some 2^16 steps on average); a few fresh starts cover
// the rare cycle that closes on both factors at once.
constexpr u64 kWalkSteps = u64{1} << 22;
constexpr unsigned kFactorAttempts = 16;
constexpr unsigned kBatch = 128;  // products multiplied together per gcd

// Arithmetic modulo an odd n in Montgomery form (R = 2^64).
struct Mont {
  u64 n;
  u64 inv;  // n^-1 mod 2^64
  u64 one;  // R mod n

  explicit Mont(u64 modulus) noexcept : n(modulus), inv(modulus), one(static_cast<u64>((u128{1} << 64) % modulus)) {
    for (int i = 0; i < 5; ++i) inv *= 2 - n * inv;  // Newton: doubles the good bits
  }
  // a * b / R mod n, for a, b < n: the low halves cancel, so the result is
  // the high half of a*b less that of m*n, corrected by n when negative.
  u64 mul(u64 a, u64 b) const noexcept {
    const u128 t = u128{a} * b;
    const u64 m = static_cast<u64>(t) * inv;
    // cppcheck-suppress shiftTooManyBits
    const u64 mn_hi = static_cast<u64>((u128{m} * n) >> 64);  // u128: cppcheck takes it for 64 bits
    const u64 t_hi = static_cast<u64>(t >> 64);
    return t_hi >= mn_hi ? t_hi - mn_hi : t_hi - mn_hi + n;
  }
  u64 add(u64 a, u64 b) const noexcept {
    const u64 s = a + b;
    return (s < a || s >= n) ? s - n : s;
  }
  u64 to(u64 a) const noexcept { return static_cast<u64>((u128{a} << 64) % n); }
  u64 pow(u64 base, u64 e) const noexcept {
    u64 r = one;
    for (; e != 0; e >>= 1) {
      if (e & 1) r = mul(r, base);
      base = mul(base, base);
    }
    return r;
  }
};

u64 gcd(u64 a, u64 b) noexcept {
  if (a == 0) return b;
  if (b == 0) return a;
  const int shift = __builtin_ctzll(a | b);
  a >>= __builtin_ctzll(a);
  while (b != 0) {
    b >>= __builtin_ctzll(b);
    if (a > b) {
      const u64 t = a;
      a = b;
      b = t;
    }
    b -= a;
  }
  return a << shift;
}

bool witness_passes(const Mont& m, u64 a, u64 d, int s) noexcept {
  const u64 minus_one = m.n - m.one;
  u64 x = m.pow(m.to(a % m.n), d);
  if (x == m.one || x == minus_one) return true;
  for (int i = 1; i < s; ++i) {
    x = m.mul(x, x);
    if (x == minus_one) return true;
  }
  return false;
}

u64 isqrt(u64 n) noexcept {
  u64 r = static_cast<u64>(std::sqrt(static_cast<double>(n)));
  while (r > 0 && u128{r} * r > n) --r;
  while (u128{r + 1} * (r + 1) <= n) ++r;
  return r;
}

u64 absdiff(u64 a, u64 b) noexcept { return a > b ? a - b : b - a; }

// One Brent walk x -> x^2 + c from x0: a nontrivial factor of n, or 0.
u64 brent_walk(const Mont& m, u64 x0, u64 c) noexcept {
  u64 y = x0, x = x0, ys = x0, q = m.one, g = 1;
  for (u64 r = 1; g == 1 && r <= kWalkSteps; r <<= 1) {
    x = y;
    for (u64 i = 0; i < r; ++i) y = m.add(m.mul(y, y), c);
    for (u64 k = 0; k < r && g == 1; k += kBatch) {
      ys = y;
      const u64 steps = r - k < kBatch ? r - k : kBatch;
      for (u64 i = 0; i < steps; ++i) {
        y = m.add(m.mul(y, y), c);
        q = m.mul(q, absdiff(x, y));
      }
      g = gcd(q, m.n);
    }
  }
  if (g == m.n) {  // the batch overshot: walk it again one step at a time
    g = 1;
    for (unsigned i = 0; g == 1 && i <= kBatch; ++i) {
      ys = m.add(m.mul(ys, ys), c);
      g = gcd(absdiff(x, ys), m.n);
    }
  }
  return (g == 1 || g == m.n) ? 0 : g;
}

// A nontrivial factor of the composite n, or 0 past the bound.
u64 some_factor(u64 n) noexcept {
  static constexpr unsigned kSmall[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47};
  for (unsigned p : kSmall) {
    if (n % p == 0) return p;
  }
  const u64 root = isqrt(n);
  if (root * root == n) return root;
  const Mont m(n);
  for (unsigned attempt = 1; attempt <= kFactorAttempts; ++attempt) {
    const u64 f = brent_walk(m, m.to(attempt + 1), m.to(attempt));
    if (f != 0) return f;
  }
  return 0;
}

}  // namespace

const char* factor_status_message(FactorStatus s) noexcept {
  switch (s) {
    case FactorStatus::kOk: return "ok";
    case FactorStatus::kNotProduct: return msg::kPqNotProduct;
    case FactorStatus::kPrime: return msg::kPqPrime;
    case FactorStatus::kThreeOrMore: return msg::kPqThreeOrMore;
    case FactorStatus::kBeyondBound: return msg::kPqBeyondBound;
  }
  return "pq refused";
}

bool is_prime_u64(u64 n) noexcept {
  if (n < 2) return false;
  static constexpr unsigned kBases[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  for (unsigned p : kBases) {
    if (n % p == 0) return n == p;
  }
  u64 d = n - 1;
  const int s = __builtin_ctzll(d);
  d >>= s;
  const Mont m(n);
  for (unsigned a : kBases) {
    if (!witness_passes(m, a, d, s)) return false;
  }
  return true;
}

FactorStatus factorize(u64 pq, u64* p, u64* q) noexcept {
  if (pq < 2) return FactorStatus::kNotProduct;
  if (is_prime_u64(pq)) return FactorStatus::kPrime;
  const u64 f = some_factor(pq);
  if (f == 0) return FactorStatus::kBeyondBound;
  const u64 g = pq / f;
  if (!is_prime_u64(f) || !is_prime_u64(g)) return FactorStatus::kThreeOrMore;
  *p = f < g ? f : g;
  *q = f < g ? g : f;
  return FactorStatus::kOk;
}

}  // namespace velmora::protocol
