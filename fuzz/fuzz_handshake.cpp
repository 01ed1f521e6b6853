// Fuzzes the key exchange's receive as plain C++. The first known exchange
// of handshake.json is replayed up to a step chosen by the input's first
// byte, and the rest of the input is the answer at that step: as it is (steps
// 0 to 2), or, for step 3, as the plaintext of server_DH_inner_data that the
// target hashes, pads and encrypts with the exchange's temporary key, so that
// the group and range checks are reached. Any answer must end in a request,
// a key or a refusal; after a refusal no secret is held and every call is
// refused. Any failure aborts.
#include <rapidjson/document.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/aes_ige.hpp"
#include "protocol/handshake.hpp"
#include "protocol/secret.hpp"

using namespace velmora::protocol;
using Bytes = std::vector<std::uint8_t>;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_handshake: %s\n", what);
  std::abort();
}

Bytes unhex(const std::string& s) {
  Bytes out(s.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = std::stoi(s.substr(2 * i, 2), nullptr, 16);
  return out;
}

struct Known {
  std::vector<Bytes> draws, replies;
  Bytes n;
};

const Known& known() {
  static const Known k = [] {
    std::ifstream f(VELMORA_VECTORS_DIR "/handshake.json");
    std::stringstream ss;
    ss << f.rdbuf();
    rapidjson::Document d;
    d.Parse(ss.str().c_str());
    if (!d.IsObject()) fail("handshake.json unreadable");
    Known out;
    const auto& x = d["exchanges"][0];
    for (const auto& v : x["client_random"].GetArray()) out.draws.push_back(unhex(v.GetString()));
    for (const auto& v : x["replies"].GetArray()) out.replies.push_back(unhex(v.GetString()));
    out.n = unhex(d["rsa_test_key"]["n"].GetString());
    return out;
  }();
  return k;
}

// The recorded draws in order, then bytes of a counter.
class Draws final : public RandomSource {
 public:
  bool fill(std::uint8_t* out, std::size_t n) noexcept override {
    const auto& d = known().draws;
    if (next_ < d.size() && d[next_].size() == n) {
      std::memcpy(out, d[next_++].data(), n);
      return true;
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(counter_++ * 29 + 1);
    return true;
  }

 private:
  std::size_t next_ = 0;
  unsigned counter_ = 0;
};

// server_DH_params_ok around plain inner data, encrypted as the server would.
Bytes wrap_inner(const std::uint8_t* data, std::size_t size) {
  const auto& k = known();
  const Bytes& res_pq = k.replies[0];
  const std::uint8_t* nonce = res_pq.data() + 4;
  const std::uint8_t* server_nonce = res_pq.data() + 20;
  std::uint8_t key[32], iv[32];
  tmp_aes_key_iv(k.draws[1].data(), server_nonce, key, iv);
  Bytes plain(20 + size);
  sha1_of({Piece(data, size)}, plain.data());
  if (size != 0) std::memcpy(plain.data() + 20, data, size);
  plain.resize((plain.size() + 15) / 16 * 16);
  Bytes enc(plain.size());
  velmora::crypto::aes_ige_encrypt(plain.data(), plain.size(), key, 32, iv, 32, enc.data());
  Bytes out{0x5c, 0x07, 0xe8, 0xd0};
  out.insert(out.end(), nonce, nonce + 32);  // nonce and server_nonce
  const std::uint32_t n = static_cast<std::uint32_t>(enc.size());
  const std::uint8_t head[4] = {254, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                                static_cast<std::uint8_t>(n >> 16)};
  out.insert(out.end(), head, head + 4);
  out.insert(out.end(), enc.begin(), enc.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 16)) return 0;
  const auto& k = known();
  const unsigned step = data[0] % 4;
  RsaKey key;
  if (make_rsa_key(k.n, Bytes{1, 0, 1}, &key) != RsaStatus::kOk) fail("test key refused");
  Handshake hs({key}, 2, std::nullopt);
  Draws random;
  Bytes request;
  AuthKey out;
  bool done = false;
  if (hs.start(random, &request) != HandshakeStatus::kOk) fail("start refused");
  for (unsigned i = 0; i < (step == 3 ? 1u : step); ++i) {
    if (hs.receive(k.replies[i], 0, random, &request, &done, &out) != HandshakeStatus::kOk) {
      fail("a known answer refused");
    }
  }
  const Bytes answer = step == 3 ? wrap_inner(data + 1, size - 1) : Bytes(data + 1, data + size);
  const HandshakeStatus s = hs.receive(answer, 0, random, &request, &done, &out);
  if (s == HandshakeStatus::kOk) return 0;
  if (handshake_misuse(s)) fail("an answer taken for a call out of order");
  if (hs.holds_secrets()) fail("secrets held after a refusal");
  if (hs.receive(answer, 0, random, &request, &done, &out) != HandshakeStatus::kEnded) {
    fail("a call after a refusal not refused");
  }
  return 0;
}
