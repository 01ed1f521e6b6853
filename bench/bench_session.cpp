// The digests behind the envelope's choice of the low-level calls:
//   bench_session digests: "<what> <len> <ns>" lines: SHA-256 of 52 bytes and
//     of 1 KiB and SHA-1 of the 256-byte key through the low-level calls and
//     through EVP with the digest fetched once, and the one block of a
//     52-byte input compressed alone, as the envelope does. (Session.encrypt's
//     floor is bench/floor/bench_floor.cpp, loaded into bench_session.py's
//     process.)
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level digests: the envelope's own
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "thread_clock.hpp"

namespace {

template <class Fn>
double per_call_ns(Fn&& fn, double batch_ns = 2e7) {
  std::size_t reps = 16;
  double spent = 0;
  for (;;) {
    const double t0 = thread_ns();
    for (std::size_t i = 0; i < reps; ++i) fn();
    spent = thread_ns() - t0;
    if (spent >= batch_ns / 4) break;
    reps *= 4;
  }
  return spent / static_cast<double>(reps);
}

int digests() {
  std::vector<std::uint8_t> data(1024, 7);
  std::uint8_t d[64];
  EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  auto evp = [&](const EVP_MD* md, std::size_t len) {
    EVP_DigestInit_ex2(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, data.data(), len);
    EVP_DigestFinal_ex(ctx, d, nullptr);
  };
  auto low256 = [&](std::size_t len) {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, data.data(), len);
    SHA256_Final(d, &c);
  };
  auto low1 = [&](std::size_t len) {
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, data.data(), len);
    SHA1_Final(d, &c);
  };
  // The envelope's digest of a 52-byte input: its one padded block compressed.
  auto block256 = [&] {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Transform(&c, data.data());
    std::memcpy(d, c.h, sizeof c.h);
  };
  std::printf("sha256-block 52 %.1f\n", per_call_ns(block256));
  for (std::size_t len : {std::size_t{52}, std::size_t{1024}}) {
    std::printf("sha256-low %zu %.1f\n", len, per_call_ns([&] { low256(len); }));
    std::printf("sha256-evp %zu %.1f\n", len, per_call_ns([&] { evp(sha256, len); }));
  }
  std::printf("sha1-low 256 %.1f\n", per_call_ns([&] { low1(256); }));
  std::printf("sha1-evp 256 %.1f\n", per_call_ns([&] { evp(sha1, 256); }));
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(sha256);
  EVP_MD_free(sha1);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "digests") return digests();
  std::fprintf(stderr, "usage: bench_session digests\n");
  return 2;
}
