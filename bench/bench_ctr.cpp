// The C++ side of the transport benchmark, one line per measurement:
//   <engine> <bytes> <median ns per call>
// "evp-ctr": libcrypto's own AES-256-CTR through EVP with its context kept
// from call to call, into a buffer made once: the floor that Ctr.update is
// held to. "core": velmora's CtrStream the same way. Times are the thread's
// CPU time, the median of 15 rounds.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "crypto/aes_ctr.hpp"
#include "thread_clock.hpp"

namespace {

template <class Fn>
double median_ns(std::size_t n, Fn&& fn) {
  const std::size_t reps = (std::size_t{16} << 20) / (n + 256) + 2;
  std::vector<double> rounds;
  for (int r = 0; r < 15; ++r) {
    const double t0 = thread_ns();
    for (std::size_t i = 0; i < reps; ++i) fn();
    rounds.push_back((thread_ns() - t0) / static_cast<double>(reps));
  }
  std::nth_element(rounds.begin(), rounds.begin() + 7, rounds.end());
  return rounds[7];
}

}  // namespace

int main() {
  EVP_CIPHER* ctr = EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const std::uint8_t key[32] = {1, 2, 3}, iv[16] = {4, 5, 6};
  if (ctr == nullptr || ctx == nullptr || EVP_EncryptInit_ex2(ctx, ctr, key, iv, nullptr) != 1) return 1;
  velmora::crypto::CtrStream core;
  if (core.start(key, 32, iv, 16) != velmora::crypto::CtrStatus::kOk) return 1;
  bool ok = true;
  for (std::size_t n : {std::size_t{64}, std::size_t{1024}, std::size_t{65536}, std::size_t{1} << 20}) {
    std::vector<std::uint8_t> in(n, 0x42), out(n);
    const double evp = median_ns(n, [&] {
      int l = 0;
      ok &= EVP_EncryptUpdate(ctx, out.data(), &l, in.data(), static_cast<int>(n)) == 1;
    });
    const double ours = median_ns(n, [&] { ok &= core.apply(in.data(), out.data(), n); });
    std::printf("evp-ctr %zu %.1f\ncore %zu %.1f\n", n, evp, n, ours);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(ctr);
  return ok ? 0 : 1;
}
