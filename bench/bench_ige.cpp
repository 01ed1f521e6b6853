// The C++ side of the AES-IGE benchmark, one line per measurement:
//   <engine> <enc|dec> <bytes> <median ns per call>
// "core": velmora's own aes_ige_encrypt and aes_ige_decrypt without Python,
// which tells what the Python call adds. "evp-cbc": libcrypto's AES-256-CBC
// encryption through EVP as a stateless caller uses it (a context and the
// key per call), the ceiling of serial AES. Times are the thread's CPU
// time, the median of 15 rounds. Last, "paired cbc/core <bytes> <ratio>":
// CBC's time over IGE encryption's, the median of 15 rounds that time both
// in turn, so that a change of load on a shared machine falls on both.
// "kept": encryption through a kept context (IgeEncryptContext, a session's),
// re-keyed for every call.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "crypto/aes_ige.hpp"
#include "thread_clock.hpp"

namespace {

std::size_t reps_for(std::size_t n) { return (std::size_t{8} << 20) / (n + 256) + 2; }  // ~10 ms

template <class Fn>
double round_ns(std::size_t reps, Fn&& fn) {
  const double t0 = thread_ns();
  for (std::size_t i = 0; i < reps; ++i) fn();
  return (thread_ns() - t0) / static_cast<double>(reps);
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

template <class Fn>
double median_ns(std::size_t n, Fn&& fn) {
  std::vector<double> rounds;
  for (int r = 0; r < 15; ++r) rounds.push_back(round_ns(reps_for(n), fn));
  return median(rounds);
}

// The median of b's time over a's, over 15 rounds that time both, in an order
// that turns from round to round.
template <class A, class B>
double paired_ratio(std::size_t n, A&& a, B&& b) {
  std::vector<double> ratios;
  for (int r = 0; r < 15; ++r) {
    double ta = 0, tb = 0;
    if (r % 2 == 0) {
      ta = round_ns(reps_for(n), a);
      tb = round_ns(reps_for(n), b);
    } else {
      tb = round_ns(reps_for(n), b);
      ta = round_ns(reps_for(n), a);
    }
    ratios.push_back(tb / ta);
  }
  return median(ratios);
}

bool evp_cbc(const EVP_CIPHER* cbc, const std::uint8_t* key, const std::uint8_t* iv,
             const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int l = 0;
  const bool ok = ctx != nullptr && EVP_EncryptInit_ex2(ctx, cbc, key, iv, nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                  EVP_EncryptUpdate(ctx, out, &l, in, static_cast<int>(n)) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace

int main() {
  using velmora::crypto::aes_ige_decrypt;
  using velmora::crypto::aes_ige_encrypt;
  using velmora::crypto::IgeStatus;
  EVP_CIPHER* cbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (cbc == nullptr) return 1;
  const std::uint8_t key[32] = {1, 2, 3}, iv[32] = {4, 5, 6};
  bool ok = true;
  for (std::size_t n : {std::size_t{16}, std::size_t{64}, std::size_t{1024}, std::size_t{65536},
                        std::size_t{1} << 20}) {
    std::vector<std::uint8_t> in(n, 0x42), out(n);
    const double enc = median_ns(n, [&] {
      ok &= aes_ige_encrypt(in.data(), n, key, 32, iv, 32, out.data()) == IgeStatus::kOk;
    });
    const double dec = median_ns(n, [&] {
      ok &= aes_ige_decrypt(in.data(), n, key, 32, iv, 32, out.data()) == IgeStatus::kOk;
    });
    const double ceil = median_ns(n, [&] { ok &= evp_cbc(cbc, key, iv, in.data(), n, out.data()); });
    velmora::crypto::IgeEncryptContext ctx;
    std::uint8_t message_key[32] = {7};
    const double kept = median_ns(n, [&] {
      ++message_key[0];
      ok &= ctx.encrypt(in.data(), n, message_key, iv, out.data()) == IgeStatus::kOk;
    });
    std::printf("core enc %zu %.1f\ncore dec %zu %.1f\nevp-cbc enc %zu %.1f\nkept enc %zu %.1f\n", n, enc,
                n, dec, n, ceil, n, kept);
  }
  const std::size_t n = std::size_t{1} << 20;
  std::vector<std::uint8_t> in(n, 0x42), out(n);
  const double ratio = paired_ratio(
      n, [&] { ok &= aes_ige_encrypt(in.data(), n, key, 32, iv, 32, out.data()) == IgeStatus::kOk; },
      [&] { ok &= evp_cbc(cbc, key, iv, in.data(), n, out.data()); });
  std::printf("paired cbc/core %zu %.4f\n", n, ratio);
  EVP_CIPHER_free(cbc);
  return ok ? 0 : 1;
}
