// The C++ side of the AES-GCM benchmark, one line per measurement:
//   <engine> <enc|dec> <bytes> <median ns per call>
// "evp": libcrypto's EVP as a stateless caller uses it (a context and the
// key per call). "core-openssl", "core-ipsec-mb": velmora's own seal and
// open through each backend built in, without Python. Times are the
// thread's CPU time, the median of 15 rounds.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "crypto/aes_gcm.hpp"
#include "thread_clock.hpp"

namespace {

template <class Fn>
double median_ns(std::size_t n, Fn&& fn) {
  const std::size_t reps = (std::size_t{8} << 20) / (n + 256) + 2;  // ~10 ms a round
  std::vector<double> rounds;
  for (int r = 0; r < 15; ++r) {
    const double t0 = thread_ns();
    for (std::size_t i = 0; i < reps; ++i) fn();
    rounds.push_back((thread_ns() - t0) / static_cast<double>(reps));
  }
  std::nth_element(rounds.begin(), rounds.begin() + 7, rounds.end());
  return rounds[7];
}

bool evp(const EVP_CIPHER* gcm, bool enc, const std::uint8_t* key, const std::uint8_t* iv,
         const std::uint8_t* in, std::size_t n, std::uint8_t* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int l = 0;
  void* tag = const_cast<std::uint8_t*>(enc ? out + n : in + n);
  const int len = static_cast<int>(n);
  const bool ok =
      enc ? EVP_EncryptInit_ex2(ctx, gcm, key, iv, nullptr) == 1 &&
                EVP_EncryptUpdate(ctx, out, &l, in, len) == 1 &&
                EVP_EncryptFinal_ex(ctx, out + n, &l) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, tag) == 1
          : EVP_DecryptInit_ex2(ctx, gcm, key, iv, nullptr) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, 16, tag) == 1 &&
                EVP_DecryptUpdate(ctx, out, &l, in, len) == 1 &&
                EVP_DecryptFinal_ex(ctx, out + n, &l) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

}  // namespace

int main() {
  using namespace velmora::crypto;
  EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  if (!gcm) return 1;
  const std::uint8_t key[32] = {1, 2, 3}, iv[12] = {4, 5, 6};
  for (std::size_t n : {std::size_t{64}, std::size_t{1024}, std::size_t{65536}, std::size_t{1} << 20}) {
    std::vector<std::uint8_t> plain(n, 0x42), sealed(n + 16), out(n + 16);
    if (!evp(gcm, true, key, iv, plain.data(), n, sealed.data())) return 1;
    std::printf("evp enc %zu %.1f\n", n, median_ns(n, [&] {
      evp(gcm, true, key, iv, plain.data(), n, out.data());
    }));
    std::printf("evp dec %zu %.1f\n", n, median_ns(n, [&] {
      evp(gcm, false, key, iv, sealed.data(), n, out.data());
    }));
    for (GcmBackend b : gcm_backends()) {
      const char* name = b == GcmBackend::kIpsecMb ? "ipsec-mb" : "openssl";
      std::printf("core-%s enc %zu %.1f\n", name, n, median_ns(n, [&] {
        aes_gcm_seal(key, 32, iv, 12, plain.data(), n, nullptr, 0, out.data(), b);
      }));
      std::printf("core-%s dec %zu %.1f\n", name, n, median_ns(n, [&] {
        aes_gcm_open(key, 32, iv, 12, sealed.data(), n + 16, nullptr, 0, out.data(), b);
      }));
    }
  }
  EVP_CIPHER_free(gcm);
  return 0;
}
