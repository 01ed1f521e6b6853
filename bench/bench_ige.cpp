// Ceiling for the AES-IGE benchmark: libcrypto's own AES-256-CBC encryption
// through EVP, one line per size:
//   <mode> <bytes> <ns per call>
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

double best_ns(std::size_t reps, auto&& fn) {
  double best = 1e300;
  for (int round = 0; round < 7; ++round) {
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < reps; ++i) fn();
    const auto t1 = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / reps;
    if (ns < best) best = ns;
  }
  return best;
}

}  // namespace

int main() {
  EVP_CIPHER* cbc = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (!cbc) return 1;
  const std::uint8_t key[32] = {1, 2, 3}, iv[16] = {4, 5, 6};
  for (std::size_t n : {std::size_t{1024}, std::size_t{65536}, std::size_t{1} << 20}) {
    std::vector<std::uint8_t> in(n, 0x42), out(n);
    const std::size_t reps = (std::size_t{64} << 20) / n / 8 + 4;
    const double cbc_ns = best_ns(reps, [&] {
      EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
      int l = 0;
      EVP_EncryptInit_ex2(ctx, cbc, key, iv, nullptr);
      EVP_CIPHER_CTX_set_padding(ctx, 0);
      EVP_EncryptUpdate(ctx, out.data(), &l, in.data(), static_cast<int>(n));
      EVP_CIPHER_CTX_free(ctx);
    });
    std::printf("cbc %zu %.1f\n", n, cbc_ns);
  }
  EVP_CIPHER_free(cbc);
  return 0;
}
