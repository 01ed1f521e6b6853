// AES-IGE against a block-by-block reference on raw AES-256-ECB, and AES-GCM
// against the Wycheproof vectors.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <rapidjson/document.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/aes_gcm.hpp"
#include "crypto/aes_ige.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using velmora::crypto::GcmStatus;
using velmora::crypto::IgeStatus;

Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// The mode as written down: one block at a time through plain AES.
Bytes reference_ige(const Bytes& data, const Bytes& key, const Bytes& iv, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_EQ(1, EVP_CipherInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt));
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::uint8_t c[16], p[16];
  std::copy(iv.begin(), iv.begin() + 16, c);
  std::copy(iv.begin() + 16, iv.end(), p);
  Bytes out(data.size());
  for (std::size_t off = 0; off < data.size(); off += 16) {
    std::uint8_t in[16], x[16];
    const std::uint8_t* before = encrypt ? c : p;
    const std::uint8_t* after = encrypt ? p : c;
    for (int i = 0; i < 16; ++i) in[i] = data[off + i] ^ before[i];
    int outl = 0;
    EXPECT_EQ(1, EVP_CipherUpdate(ctx, x, &outl, in, 16));
    for (int i = 0; i < 16; ++i) out[off + i] = x[i] ^ after[i];
    // encrypt: c = C, p = P; decrypt: p = P, c = C.
    std::copy(out.begin() + off, out.begin() + off + 16, encrypt ? c : p);
    std::copy(data.begin() + off, data.begin() + off + 16, encrypt ? p : c);
  }
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

Bytes ige(const Bytes& data, const Bytes& key, const Bytes& iv, bool encrypt, IgeStatus* st) {
  Bytes out(data.size());
  *st = (encrypt ? velmora::crypto::aes_ige_encrypt : velmora::crypto::aes_ige_decrypt)(
      data.data(), data.size(), key.data(), key.size(), iv.data(), iv.size(), out.data());
  return out;
}

class IgeSizes : public ::testing::TestWithParam<std::size_t> {};

// Sizes around the encryption chunk (8192) and the first two blocks, where
// the CBC route has its special cases.
INSTANTIATE_TEST_SUITE_P(AesIge, IgeSizes,
                         ::testing::Values(0, 16, 32, 48, 64, 8176, 8192, 8208, 16384, 24592,
                                           100000 / 16 * 16));

TEST_P(IgeSizes, MatchesBlockByBlockReference) {
  const std::size_t n = GetParam();
  const Bytes key = random_bytes(32, 1 + static_cast<std::uint32_t>(n));
  const Bytes iv = random_bytes(32, 2 + static_cast<std::uint32_t>(n));
  const Bytes plain = random_bytes(n, 3 + static_cast<std::uint32_t>(n));
  IgeStatus st;
  const Bytes cipher = ige(plain, key, iv, true, &st);
  ASSERT_EQ(st, IgeStatus::kOk);
  EXPECT_EQ(cipher, reference_ige(plain, key, iv, true));
  EXPECT_EQ(ige(cipher, key, iv, false, &st), plain);
  ASSERT_EQ(st, IgeStatus::kOk);
  EXPECT_EQ(reference_ige(cipher, key, iv, false), plain);
}

TEST(AesIge, ChainingAcrossTwoCalls) {
  const Bytes key = random_bytes(32, 7), iv = random_bytes(32, 8), plain = random_bytes(160, 9);
  IgeStatus st;
  const Bytes whole = ige(plain, key, iv, true, &st);
  const Bytes first = ige(Bytes(plain.begin(), plain.begin() + 96), key, iv, true, &st);
  Bytes iv2(first.end() - 16, first.end());
  iv2.insert(iv2.end(), plain.begin() + 80, plain.begin() + 96);
  const Bytes second = ige(Bytes(plain.begin() + 96, plain.end()), key, iv2, true, &st);
  Bytes joined = first;
  joined.insert(joined.end(), second.begin(), second.end());
  EXPECT_EQ(joined, whole);
  // Decryption chains the same way: iv = last ciphertext block, last plaintext block.
  const Bytes back = ige(Bytes(whole.begin() + 96, whole.end()), key, iv2, false, &st);
  EXPECT_EQ(back, Bytes(plain.begin() + 96, plain.end()));
}

struct CheckCase {
  std::size_t data, key, iv;
  IgeStatus expected;
};

class IgeChecks : public ::testing::TestWithParam<CheckCase> {};

INSTANTIATE_TEST_SUITE_P(AesIge, IgeChecks,
                         ::testing::Values(CheckCase{15, 31, 31, IgeStatus::kBadDataLength},
                                           CheckCase{17, 32, 32, IgeStatus::kBadDataLength},
                                           CheckCase{0, 31, 31, IgeStatus::kBadKeyLength},
                                           CheckCase{16, 16, 16, IgeStatus::kBadKeyLength},
                                           CheckCase{16, 32, 16, IgeStatus::kBadIvLength},
                                           CheckCase{0, 32, 0, IgeStatus::kBadIvLength}));

TEST_P(IgeChecks, FirstFaultWinsAndNothingIsWritten) {
  const CheckCase c = GetParam();
  const Bytes data(c.data, 0xAB), key(c.key, 1), iv(c.iv, 2);
  for (bool encrypt : {true, false}) {
    Bytes out(c.data, 0x5A);
    const IgeStatus st =
        (encrypt ? velmora::crypto::aes_ige_encrypt : velmora::crypto::aes_ige_decrypt)(
            data.data(), data.size(), key.data(), key.size(), iv.data(), iv.size(), out.data());
    EXPECT_EQ(st, c.expected);
    EXPECT_EQ(out, Bytes(c.data, 0x5A));
  }
}

// --- AES-GCM ---------------------------------------------------------------

Bytes unhex(const char* s) {
  Bytes b;
  for (std::size_t i = 0; s[i] && s[i + 1]; i += 2) {
    b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(s + i, 2), nullptr, 16)));
  }
  return b;
}

TEST(AesGcm, Wycheproof) {
  std::ifstream f(VELMORA_VECTORS_DIR "/wycheproof_aes_gcm_test.json");
  ASSERT_TRUE(f) << "missing Wycheproof vectors";
  std::stringstream ss;
  ss << f.rdbuf();
  rapidjson::Document doc;
  doc.Parse(ss.str().c_str());
  ASSERT_FALSE(doc.HasParseError());
  int checked = 0;
  for (const auto& group : doc["testGroups"].GetArray()) {
    const int key_bits = group["keySize"].GetInt();
    const int iv_bits = group["ivSize"].GetInt();
    for (const auto& t : group["tests"].GetArray()) {
      const Bytes key = unhex(t["key"].GetString()), iv = unhex(t["iv"].GetString());
      const Bytes aad = unhex(t["aad"].GetString()), msg = unhex(t["msg"].GetString());
      Bytes sealed = unhex(t["ct"].GetString());
      const Bytes tag = unhex(t["tag"].GetString());
      sealed.insert(sealed.end(), tag.begin(), tag.end());
      const bool valid = std::string(t["result"].GetString()) == "valid";
      const int id = t["tcId"].GetInt();
      Bytes out(msg.size() + 16);
      Bytes opened(sealed.size() - 16, 0);
      const GcmStatus enc = velmora::crypto::aes_gcm_seal(key.data(), key.size(), iv.data(),
                                                          iv.size(), msg.data(), msg.size(),
                                                          aad.data(), aad.size(), out.data());
      const GcmStatus dec = velmora::crypto::aes_gcm_open(key.data(), key.size(), iv.data(),
                                                          iv.size(), sealed.data(), sealed.size(),
                                                          aad.data(), aad.size(), opened.data());
      if (key_bits != 256) {
        EXPECT_EQ(enc, GcmStatus::kBadKeyLength) << id;
        EXPECT_EQ(dec, GcmStatus::kBadKeyLength) << id;
      } else if (iv_bits != 96) {
        EXPECT_EQ(enc, GcmStatus::kBadNonceLength) << id;
        EXPECT_EQ(dec, GcmStatus::kBadNonceLength) << id;
      } else if (valid) {
        ASSERT_EQ(enc, GcmStatus::kOk) << id;
        EXPECT_EQ(out, sealed) << id;
        ASSERT_EQ(dec, GcmStatus::kOk) << id;
        EXPECT_EQ(opened, msg) << id;
      } else {
        EXPECT_EQ(dec, GcmStatus::kDecryptFailure) << id;
        // No unauthenticated plaintext is left behind.
        EXPECT_EQ(opened, Bytes(opened.size(), 0)) << id;
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, doc["numberOfTests"].GetInt());
}

TEST(AesGcm, ShortInputsFailAsForgeries) {
  const Bytes key(32, 3), nonce(12, 4);
  for (std::size_t n = 0; n < 16; ++n) {
    const Bytes sealed(n, 9);
    std::uint8_t sink[1];
    EXPECT_EQ(velmora::crypto::aes_gcm_open(key.data(), 32, nonce.data(), 12, sealed.data(), n,
                                            nullptr, 0, sink),
              GcmStatus::kDecryptFailure);
  }
}

TEST(AesGcm, KeyCheckedBeforeNonce) {
  const Bytes key(24, 3), nonce(8, 4);
  std::uint8_t out[16];
  EXPECT_EQ(velmora::crypto::aes_gcm_seal(key.data(), key.size(), nonce.data(), nonce.size(),
                                          nullptr, 0, nullptr, 0, out),
            GcmStatus::kBadKeyLength);
}

}  // namespace
