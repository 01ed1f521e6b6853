// The C++ side of the session benchmark.
//   bench_session floor <bytes> <rounds>: one line per round, the thread CPU
//     time in ns of the floor of encrypting a body of that size: SHA-256 of
//     the bytes msg_key covers (32 bytes of the key, the 32-byte header, the
//     body and the default padding) and AES-256-IGE of the message, nothing
//     else. bench_session.py pairs each round with a round of Session.encrypt.
//   bench_session digests: "<what> <ns>" lines: SHA-256 of 52 bytes and of
//     1 KiB and SHA-1 of the 256-byte key through the low-level calls and
//     through EVP with the digest fetched once, for the envelope's choice.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level digests: the envelope's own
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/aes_ige.hpp"
#include "protocol/envelope.hpp"

namespace {

double thread_ns() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

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

volatile std::uint8_t g_sink;

int floor_rounds(std::size_t body, int rounds) {
  const std::size_t n = velmora::protocol::kInnerHeader + body + velmora::protocol::default_padding_len(body);
  std::vector<std::uint8_t> buf(32 + n, 0x5a), out(n), key(32, 1), iv(32, 2);
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  // The digest through the low-level calls, as the envelope runs it: SHA256()
  // would fetch the algorithm on every call.
  auto floor = [&] {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, buf.data(), buf.size());
    SHA256_Final(digest, &c);
    velmora::crypto::aes_ige_encrypt(buf.data() + 32, n, key.data(), 32, iv.data(), 32, out.data());
    g_sink = static_cast<std::uint8_t>(digest[0] ^ out[0]);
  };
  std::vector<std::uint8_t> auth(256, 3), frame(velmora::protocol::frame_size(body, n - 32 - body) + 64),
      scratch(frame.size() + 64);
  const velmora::protocol::KeyRef k{auth.data(), 1};
  auto seal = [&] {
    velmora::protocol::seal_keyed(k, velmora::protocol::Sender::kClient, {}, buf.data(), body, nullptr,
                                  n - 32 - body, scratch.data(), frame.data());
  };
  for (int r = 0; r < rounds; ++r) {
    std::printf("%.1f", per_call_ns(floor));
    if (std::getenv("VELMORA_BENCH_SEAL")) std::printf(" seal %.1f", per_call_ns(seal));
    std::printf("\n");
  }
  return 0;
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
  if (argc == 4 && std::string(argv[1]) == "floor") {
    return floor_rounds(std::strtoul(argv[2], nullptr, 10), std::atoi(argv[3]));
  }
  if (argc == 2 && std::string(argv[1]) == "digests") return digests();
  std::fprintf(stderr, "usage: bench_session floor <bytes> <rounds> | digests\n");
  return 2;
}
