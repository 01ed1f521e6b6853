// AES-IGE through every backend of the build against OpenSSL's own IGE;
// AES-GCM through every backend of the build against Wycheproof and NIST CAVP.
#include <gtest/gtest.h>
// AES_ige_encrypt, OpenSSL's own IGE, is deprecated API: here it is only the reference.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/aes.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "crypto/aes_gcm.hpp"
#include "crypto/aes_ige.hpp"
#include "crypto/gcm_backends.hpp"
#include "vectors.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velmora::crypto::GcmBackend;
using velmora::crypto::GcmStatus;
using velmora::crypto::IgeBackend;
using velmora::crypto::IgeStatus;
using velmora::testing::unhex;

Bytes random_bytes(std::size_t n, std::size_t seed) {
  std::mt19937 rng(static_cast<std::uint32_t>(seed));
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// OpenSSL's own IGE (its low-level AES, not EVP): the same iv layout, c0 then p0.
Bytes openssl_ige(const Bytes& data, const Bytes& key, const Bytes& iv, bool encrypt) {
  AES_KEY k;
  (encrypt ? AES_set_encrypt_key : AES_set_decrypt_key)(key.data(), 256, &k);
  Bytes ivec(iv), out(data.size());
  AES_ige_encrypt(data.data(), out.data(), data.size(), &k, ivec.data(), encrypt);
  return out;
}

// Runs the IGE code over data into *out, first filled with 0x5A.
IgeStatus ige(const Bytes& data, const Bytes& key, const Bytes& iv, bool encrypt, Bytes* out,
              IgeBackend backend = velmora::crypto::ige_backend()) {
  out->assign(data.size(), 0x5A);
  return (encrypt ? velmora::crypto::aes_ige_encrypt : velmora::crypto::aes_ige_decrypt)(
      data.data(), data.size(), key.data(), key.size(), iv.data(), iv.size(), out->data(), backend);
}

class IgeSizes : public ::testing::TestWithParam<std::tuple<IgeBackend, std::size_t>> {};

// Sizes around the first two blocks and the encryption chunk (8192), where
// the CBC route has its special cases, and around the longest encryption
// the IPsec library does itself (448).
INSTANTIATE_TEST_SUITE_P(AesIge, IgeSizes,
                         ::testing::Combine(::testing::ValuesIn(velmora::crypto::ige_backends().begin(),
                                                                velmora::crypto::ige_backends().end()),
                                            ::testing::Values(0, 16, 32, 48, 64, 432, 448, 464, 8176, 8192, 8208,
                                                              16384, 24592, 100000 / 16 * 16)));

TEST_P(IgeSizes, MatchesOpenSsl) {
  const auto [backend, n] = GetParam();
  const Bytes key = random_bytes(32, n + 1), iv = random_bytes(32, n + 2);
  const Bytes data = random_bytes(n, n + 3);
  for (bool encrypt : {true, false}) {
    Bytes out;
    ASSERT_EQ(ige(data, key, iv, encrypt, &out, backend), IgeStatus::kOk);
    EXPECT_EQ(out, openssl_ige(data, key, iv, encrypt));
  }
}

// Each thread has its own IPsec manager and EVP context: threads that cipher
// at the same time get the answers of one thread alone.
TEST(AesIge, ThreadsCipherAtTheSameTime) {
  const Bytes key = random_bytes(32, 1), iv = random_bytes(32, 2);
  const Bytes data[2] = {random_bytes(64, 3), random_bytes(1024, 4)};  // either side of 448
  Bytes expected[2][2];  // [encrypt][data]
  for (int e : {0, 1}) for (int d : {0, 1}) expected[e][d] = openssl_ige(data[d], key, iv, e);
  for (IgeBackend backend : velmora::crypto::ige_backends()) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int round = 0; round < 20000; ++round) {
          const int e = round & 1, d = (round >> 1) & 1;
          Bytes out;
          ige(data[d], key, iv, e, &out, backend);
          wrong += out != expected[e][d];
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0) << velmora::crypto::ige_backend_name(backend);
  }
}

// A kept context is re-keyed message after message, with sizes either side
// of where it leaves short messages to the stateless path and of the chunk;
// threads sharing one find it busy and go their own way.
TEST(AesIge, KeptContextMessageAfterMessage) {
  velmora::crypto::IgeEncryptContext kept;
  std::atomic<int> wrong{0};
  auto run = [&](std::size_t seed) {
    for (std::size_t round = 0; round < 40; ++round) {
      const std::size_t n = std::vector<std::size_t>{16, 48, 64, 80, 1072, 8208, 24592}[round % 7];
      const Bytes key = random_bytes(32, seed + round), iv = random_bytes(32, seed + round + 1);
      const Bytes data = random_bytes(n, seed + round + 2);
      Bytes out(n, 0x5A);
      wrong += kept.encrypt(data.data(), n, key.data(), iv.data(), out.data()) != IgeStatus::kOk ||
               out != openssl_ige(data, key, iv, true);
    }
  };
  run(7);
  EXPECT_EQ(wrong, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) threads.emplace_back(run, 100 * t);
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
}

TEST(AesIge, FirstFaultWinsAndNothingIsWritten) {
  const struct { std::size_t data, key, iv; IgeStatus expected; } cases[] = {
      {15, 31, 31, IgeStatus::kBadDataLength}, {17, 32, 32, IgeStatus::kBadDataLength},
      {0, 31, 31, IgeStatus::kBadKeyLength},   {16, 16, 16, IgeStatus::kBadKeyLength},
      {16, 32, 16, IgeStatus::kBadIvLength},   {0, 32, 0, IgeStatus::kBadIvLength}};
  for (const auto& c : cases) {
    for (bool encrypt : {true, false}) {
      Bytes out;
      EXPECT_EQ(ige(Bytes(c.data, 0xAB), Bytes(c.key, 1), Bytes(c.iv, 2), encrypt, &out), c.expected);
      EXPECT_EQ(out, Bytes(c.data, 0x5A));
    }
  }
}

// The text limit is 2^36 - 32 bytes (the block counter's), the aad's 2^36; a sealed message adds the tag.
// The library's path for processors without AES instructions is never
// chosen (libcrypto serves those); its SSE code and up are, where it is built in.
TEST(IpsecMb, NotItsPathWithoutAesInstructions) {
  using velmora::crypto::detail::ipsec_arch_used;
  const bool built_in = velmora::crypto::detail::ipsec_prepare() != nullptr;
  EXPECT_EQ(std::make_tuple(ipsec_arch_used(0), ipsec_arch_used(1), ipsec_arch_used(2), ipsec_arch_used(5)),
            std::make_tuple(false, false, built_in, built_in));  // none, no AES-NI, SSE, AVX-512
}

TEST(AesGcm, KeyThenNonceThenLimits) {
  constexpr std::uint64_t kAad = std::uint64_t{1} << 36, kText = kAad - 32;
  const struct { bool seal; std::size_t key, nonce; std::uint64_t n, aad; GcmStatus expected; } cases[] = {
      {true, 24, 8, kText + 1, 0, GcmStatus::kBadKeyLength},
      {false, 32, 16, 0, 0, GcmStatus::kBadNonceLength},
      {true, 32, 12, kText, kAad, GcmStatus::kOk},
      {true, 32, 12, kText + 1, 0, GcmStatus::kEncryptFailure},
      {true, 32, 12, 0, kAad + 1, GcmStatus::kEncryptFailure},
      {false, 32, 12, 15, 0, GcmStatus::kDecryptFailure},
      {false, 32, 12, 16, kAad, GcmStatus::kOk},
      {false, 32, 12, kText + 16, kAad, GcmStatus::kOk},
      {false, 32, 12, kText + 17, 0, GcmStatus::kDecryptFailure},
      {false, 32, 12, 16, kAad + 1, GcmStatus::kDecryptFailure}};
  for (const auto& c : cases) {
    EXPECT_EQ(velmora::crypto::gcm_check(c.seal, c.key, c.nonce, c.n, c.aad), c.expected) << c.n;
  }
  // Every backend of the build is behind that check: one past the limit is refused before any byte is read.
  const std::uint8_t key[32] = {}, nonce[12] = {};
  for (GcmBackend b : velmora::crypto::gcm_backends()) {
    EXPECT_EQ(velmora::crypto::aes_gcm_seal(key, 32, nonce, 12, nullptr, kText + 1, nullptr, 0, nullptr, b),
              GcmStatus::kEncryptFailure);
    EXPECT_EQ(velmora::crypto::aes_gcm_open(key, 32, nonce, 12, nullptr, kText + 17, nullptr, 0, nullptr, b),
              GcmStatus::kDecryptFailure);
  }
}

struct GcmCase {
  Bytes key, iv, aad, msg, sealed;  // sealed: ciphertext then tag
  bool valid;
};

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<GcmCase> wycheproof() {
  const rapidjson::Document doc = velmora::testing::vector_file("wycheproof_aes_gcm_test.json");
  std::vector<GcmCase> out;
  if (!doc.IsObject()) return out;
  for (const auto& group : doc["testGroups"].GetArray()) {
    for (const auto& t : group["tests"].GetArray()) {
      auto hex = [&](const char* k) { return unhex(t[k].GetString()); };
      out.push_back({hex("key"), hex("iv"), hex("aad"), hex("msg"), concat(hex("ct"), hex("tag")),
                     std::string(t["result"].GetString()) == "valid"});
    }
  }
  EXPECT_EQ(out.size(), doc["numberOfTests"].GetUint());
  return out;
}

// NIST CAVP response files: "[Name = n]" headers, then records of
// "Name = hex" lines that end at a blank line; "FAIL" marks a forgery.
std::vector<GcmCase> cavp(const std::string& name) {
  std::ifstream f(std::string(VELMORA_CAVP_DIR "/") + name);
  std::vector<GcmCase> out;
  std::map<std::string, Bytes> r;
  std::string line, iv_bits, tag_bits;
  // A failed read leaves line empty, which closes the last record.
  while (std::getline(f, line) || !r.empty()) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
      if (!r.empty() && iv_bits == "96" && tag_bits == "128") {
        const bool valid = !r.count("FAIL");
        out.push_back({r["Key"], r["IV"], r["AAD"], r["PT"], concat(r["CT"], r["Tag"]), valid});
      }
      r.clear();
    }
    if (line == "FAIL") r["FAIL"];
    const bool header = !line.empty() && line[0] == '[';
    if (header) line = line.substr(1, line.size() - 2);
    const std::size_t eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
    if (key == "IVlen") iv_bits = value;
    if (key == "Taglen") tag_bits = value;
    if (!header) r[key] = unhex(value);
  }
  return out;
}

class Gcm : public ::testing::TestWithParam<GcmBackend> {
 protected:
  // Seals and opens every case with a 32-byte key and a 12-byte nonce;
  // returns how many were valid and how many forged.
  std::pair<int, int> run(const std::vector<GcmCase>& cases) {
    int valid = 0, forged = 0;
    for (const GcmCase& c : cases) {
      if (c.key.size() != 32 || c.iv.size() != 12) continue;  // refused before any backend runs
      Bytes sealed(c.msg.size() + 16), opened(c.sealed.size() - 16, 0x5A);
      EXPECT_EQ(velmora::crypto::aes_gcm_seal(c.key.data(), 32, c.iv.data(), 12, c.msg.data(), c.msg.size(),
                                              c.aad.data(), c.aad.size(), sealed.data(), GetParam()), GcmStatus::kOk);
      const GcmStatus dec = velmora::crypto::aes_gcm_open(c.key.data(), 32, c.iv.data(), 12, c.sealed.data(),
                                                          c.sealed.size(), c.aad.data(), c.aad.size(),
                                                          opened.data(), GetParam());
      ++(c.valid ? valid : forged);
      EXPECT_EQ(dec, c.valid ? GcmStatus::kOk : GcmStatus::kDecryptFailure);
      // A forgery leaves no unauthenticated plaintext behind.
      EXPECT_EQ(opened, c.valid ? c.msg : Bytes(opened.size(), 0));
      EXPECT_TRUE(!c.valid || sealed == c.sealed);
    }
    return {valid, forged};
  }
};

TEST_P(Gcm, Wycheproof) { EXPECT_EQ(run(wycheproof()), std::make_pair(39, 27)); }
TEST_P(Gcm, CavpEncrypt) { EXPECT_EQ(run(cavp("gcmEncryptExtIV256.rsp")), std::make_pair(375, 0)); }
TEST_P(Gcm, CavpDecrypt) { EXPECT_EQ(run(cavp("gcmDecrypt256.rsp")), std::make_pair(184, 191)); }

// Longer than libcrypto's int-sized piece (2^30), sealed and opened in place:
// a piece read or written at the wrong offset breaks the round trip.
TEST(AesGcm, OpenSslPastOnePiece) {
  using velmora::crypto::aes_gcm_open, velmora::crypto::aes_gcm_seal;
  const std::size_t n = (std::size_t{1} << 30) + 32;
  const std::uint8_t key[32] = {7}, nonce[12] = {9};
  Bytes buf(n + 16, 0xA5);
  std::uint8_t* b = buf.data();
  constexpr GcmBackend kEvp = GcmBackend::kOpenSsl;
  ASSERT_EQ(aes_gcm_seal(key, 32, nonce, 12, b, n, nullptr, 0, b, kEvp), GcmStatus::kOk);
  ASSERT_EQ(aes_gcm_open(key, 32, nonce, 12, b, n + 16, nullptr, 0, b, kEvp), GcmStatus::kOk);
  EXPECT_TRUE(std::all_of(b, b + n, [](std::uint8_t x) { return x == 0xA5; }));
}

INSTANTIATE_TEST_SUITE_P(AesGcm, Gcm,
    ::testing::ValuesIn(std::vector<GcmBackend>(velmora::crypto::gcm_backends().begin(),
                                                velmora::crypto::gcm_backends().end())),
    [](const auto& info) { return info.param == GcmBackend::kIpsecMb ? "IpsecMb" : "OpenSsl"; });

}  // namespace
