// The floor of Session.encrypt, loaded into the benchmark's own process by
// ctypes, so that each round of it runs on the thread, the core and the
// caches of the round of Session.encrypt it is paired with:
// velmora_floor_ns(body, reps) is the thread CPU time in ns per call of
// SHA-256 of the bytes msg_key covers (32 bytes of the key, the 32-byte
// header, the body and the default padding) and AES-256-IGE of the message,
// nothing else, over reps calls.
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level digest: the envelope's own
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/aes_ige.hpp"
#include "protocol/envelope.hpp"
#include "../thread_clock.hpp"

namespace {

volatile std::uint8_t g_sink;

}  // namespace

extern "C" __attribute__((visibility("default"))) double velmora_floor_ns(std::size_t body, long reps) {
  const std::size_t n = velmora::protocol::kInnerHeader + body + velmora::protocol::default_padding_len(body);
  std::vector<std::uint8_t> buf(32 + n, 0x5a), out(n), key(32, 1), iv(32, 2);
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  const double t0 = thread_ns();
  for (long i = 0; i < reps; ++i) {
    SHA256_CTX c;
    SHA256_Init(&c);
    SHA256_Update(&c, buf.data(), buf.size());
    SHA256_Final(digest, &c);
    velmora::crypto::aes_ige_encrypt(buf.data() + 32, n, key.data(), 32, iv.data(), 32, out.data());
    g_sink = static_cast<std::uint8_t>(digest[0] ^ out[0]);
  }
  return (thread_ns() - t0) / static_cast<double>(reps);
}
