#include "protocol/dh_check.hpp"
#include "protocol/messages.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

namespace velmora::protocol {
namespace {

struct BnFree {
  void operator()(BIGNUM* b) const noexcept { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
  void operator()(BN_CTX* c) const noexcept { BN_CTX_free(c); }
};

// The prime tests' verdicts kept per dh_prime (the residue rule for each g
// costs nothing beside them): a few entries, the oldest replaced, so that a
// server sending new primes cannot make the cache grow.
struct Verdict {
  std::array<std::uint8_t, kDhPrimeSize> prime{};
  DhStatus status = DhStatus::kOk;
  bool used = false;
};
constexpr std::size_t kKeptVerdicts = 8;
std::mutex g_verdicts_lock;  // guards g_verdicts and g_next
std::array<Verdict, kKeptVerdicts> g_verdicts;
std::size_t g_next = 0;

bool find_verdict(std::span<const std::uint8_t> p, DhStatus* out) {
  std::lock_guard<std::mutex> lock(g_verdicts_lock);
  for (const Verdict& v : g_verdicts) {
    if (v.used && std::equal(p.begin(), p.end(), v.prime.begin())) {
      *out = v.status;
      return true;
    }
  }
  return false;
}

void keep_verdict(std::span<const std::uint8_t> p, DhStatus s) {
  std::lock_guard<std::mutex> lock(g_verdicts_lock);
  Verdict& v = g_verdicts[g_next];
  g_next = (g_next + 1) % kKeptVerdicts;
  std::copy(p.begin(), p.end(), v.prime.begin());
  v.status = s;
  v.used = true;
}

// g generates the subgroup of order (p-1)/2 of a safe prime p exactly when
// p falls in these residue classes.
bool residue_rule(const BIGNUM* p, std::int32_t g) {
  auto mod = [p](BN_ULONG m) { return BN_mod_word(p, m); };
  switch (g) {
    case 2: return mod(8) == 7;
    case 3: return mod(3) == 2;
    case 4: return true;
    case 5: return mod(5) == 1 || mod(5) == 4;
    case 6: return mod(24) == 19 || mod(24) == 23;
    case 7: return mod(7) == 3 || mod(7) == 5 || mod(7) == 6;
  }
  return false;
}

// The slow part: p prime, and (p-1)/2 prime too.
DhStatus judge_prime(std::span<const std::uint8_t> bytes) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Bn p(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
  Bn q(BN_new());
  if (!ctx || !p || !q) return DhStatus::kArithmetic;
  const int prime = BN_check_prime(p.get(), ctx.get(), nullptr);
  if (prime < 0) return DhStatus::kArithmetic;
  if (prime == 0) return DhStatus::kNotPrime;
  if (BN_rshift1(q.get(), p.get()) != 1) return DhStatus::kArithmetic;
  const int safe = BN_check_prime(q.get(), ctx.get(), nullptr);
  if (safe < 0) return DhStatus::kArithmetic;
  return safe == 0 ? DhStatus::kNotSafe : DhStatus::kOk;
}

}  // namespace

const char* dh_status_message(DhStatus s) noexcept {
  switch (s) {
    case DhStatus::kOk: return "ok";
    case DhStatus::kPrimeBits: return msg::kDhPrimeBits;
    case DhStatus::kNotPrime: return msg::kDhNotPrime;
    case DhStatus::kNotSafe: return msg::kDhNotSafe;
    case DhStatus::kGRange: return msg::kDhGRange;
    case DhStatus::kNoGenerator: return msg::kDhNoGenerator;
    case DhStatus::kOutOfRange: return msg::kDhOutOfRange;
    case DhStatus::kArithmetic: return msg::kDhArithmetic;
  }
  return "DH refused";
}

DhStatus check_dh_group(std::span<const std::uint8_t> dh_prime, std::int32_t g) noexcept {
  if (dh_prime.size() != kDhPrimeSize || (dh_prime[0] & 0x80) == 0) return DhStatus::kPrimeBits;
  if (g < 2 || g > 7) return DhStatus::kGRange;
  DhStatus s = DhStatus::kArithmetic;
  try {
    if (!find_verdict(dh_prime, &s)) {
      s = judge_prime(dh_prime);
      if (s != DhStatus::kArithmetic) keep_verdict(dh_prime, s);
    }
  } catch (...) {  // std::system_error from the lock
    return DhStatus::kArithmetic;
  }
  if (s != DhStatus::kOk) return s;
  Bn p(BN_bin2bn(dh_prime.data(), static_cast<int>(dh_prime.size()), nullptr));
  if (!p) return DhStatus::kArithmetic;
  return residue_rule(p.get(), g) ? DhStatus::kOk : DhStatus::kNoGenerator;
}

DhStatus check_dh_value(const BIGNUM* p, const BIGNUM* v) noexcept {
  Bn bound(BN_new()), high(BN_new());
  if (!bound || !high || BN_set_bit(bound.get(), kDhRangeBits) != 1 ||
      BN_sub(high.get(), p, bound.get()) != 1) {
    return DhStatus::kArithmetic;
  }
  const bool in = BN_cmp(v, bound.get()) >= 0 && BN_cmp(v, high.get()) <= 0;
  return in ? DhStatus::kOk : DhStatus::kOutOfRange;
}

}  // namespace velmora::protocol
