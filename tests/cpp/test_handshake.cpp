// The key exchange against handshake.json's independently computed answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <new>
#include <string>

#include "protocol/dh_check.hpp"
#include "protocol/factorize.hpp"
#include "protocol/handshake.hpp"
#include "protocol/rsa_pad.hpp"
#include "vectors.hpp"

namespace {

using namespace velmora::protocol;
using velmora::testing::unhex;
using Bytes = std::vector<std::uint8_t>;

const rapidjson::Document& vectors() {
  static const rapidjson::Document d = velmora::testing::vector_file("handshake.json");
  return d;
}

Bytes hex_of(const rapidjson::Value& v) { return unhex(v.GetString()); }

// A number's hex text as big-endian bytes (an odd count of digits padded).
Bytes number(const rapidjson::Value& v) {
  std::string s = v.GetString();
  return unhex(s.size() % 2 ? "0" + s : s);
}

// Hands out the recorded draws in order; a draw of another size fails.
class Replay final : public RandomSource {
 public:
  explicit Replay(const rapidjson::Value& draws) {
    for (const auto& d : draws.GetArray()) left.push_back(hex_of(d));
  }
  bool fill(std::uint8_t* out, std::size_t n) noexcept override {
    if (left.empty() || left.front().size() != n) return false;
    std::memcpy(out, left.front().data(), n);
    left.pop_front();
    return true;
  }
  std::deque<Bytes> left;
};

RsaKey test_key() {
  const auto& k = vectors()["rsa_test_key"];
  RsaKey key;
  const Bytes e{0x01, 0x00, 0x01};
  EXPECT_EQ(k["e"].GetInt(), 65537);
  EXPECT_EQ(make_rsa_key(number(k["n"]), e, &key), RsaStatus::kOk);
  return key;
}

TEST(Factorize, KnownAnswers) {
  for (const auto& c : vectors()["factorize"].GetArray()) {
    std::uint64_t p = 0, q = 0;
    ASSERT_EQ(factorize(c["pq"].GetUint64(), &p, &q), FactorStatus::kOk) << c["pq"].GetUint64();
    EXPECT_EQ(p, c["p"].GetUint64());
    EXPECT_EQ(q, c["q"].GetUint64());
  }
}

TEST(Factorize, Refusals) {
  const struct {
    std::uint64_t pq;
    FactorStatus want;
  } cases[] = {{0, FactorStatus::kNotProduct},
               {1, FactorStatus::kNotProduct},
               {2, FactorStatus::kPrime},
               {2305843009213693951u, FactorStatus::kPrime},
               {105, FactorStatus::kThreeOrMore},
               {8, FactorStatus::kThreeOrMore},
               {4294967291u * 4294967291u, FactorStatus::kOk},  // the largest 32-bit prime squared
               {18446744073709551557u, FactorStatus::kPrime}};
  for (const auto& c : cases) {
    std::uint64_t p = 0, q = 0;
    EXPECT_EQ(factorize(c.pq, &p, &q), c.want) << c.pq;
    if (c.want == FactorStatus::kOk) {
      EXPECT_EQ(p * q, c.pq);
    }
  }
}

TEST(Rsa, Fingerprints) {
  const Bytes e{0x01, 0x00, 0x01};
  EXPECT_EQ(test_key().fingerprint, vectors()["rsa_test_key"]["fingerprint"].GetInt64());
  for (const auto& k : vectors()["rsa_server_keys"].GetArray()) {
    EXPECT_EQ(rsa_fingerprint(number(k["n"]), e), k["fingerprint"].GetInt64());
  }
}

TEST(Rsa, PadKnownAnswers) {
  const RsaKey key = test_key();
  for (const auto& c : vectors()["rsa_pad"].GetArray()) {
    rapidjson::Document draws;
    draws.SetArray();
    draws.PushBack(rapidjson::Value(c["padding"], draws.GetAllocator()), draws.GetAllocator());
    for (const auto& t : c["temp_keys"].GetArray()) {
      draws.PushBack(rapidjson::Value(t, draws.GetAllocator()), draws.GetAllocator());
    }
    if (c["padding"].GetStringLength() == 0) draws.Erase(draws.Begin());
    Replay random(draws);
    std::uint8_t out[kRsaSize];
    ASSERT_EQ(rsa_pad(hex_of(c["data"]), key, random, out), RsaStatus::kOk);
    EXPECT_EQ(Bytes(out, out + kRsaSize), hex_of(c["encrypted_data"]));
    EXPECT_TRUE(random.left.empty());
  }
  std::uint8_t out[kRsaSize];
  SystemRandom system;
  EXPECT_EQ(rsa_pad(Bytes(145), key, system, out), RsaStatus::kDataTooLong);
}

TEST(Exchange, DerivedValues) {
  const auto& v = vectors();
  for (const auto& c : v["tmp_aes"].GetArray()) {
    std::uint8_t key[32], iv[32];
    tmp_aes_key_iv(hex_of(c["new_nonce"]).data(), hex_of(c["server_nonce"]).data(), key, iv);
    EXPECT_EQ(Bytes(key, key + 32), hex_of(c["key"]));
    EXPECT_EQ(Bytes(iv, iv + 32), hex_of(c["iv"]));
  }
  for (const auto& c : v["new_nonce_hash"].GetArray()) {
    const Bytes nn = hex_of(c["new_nonce"]), key = hex_of(c["auth_key"]);
    for (std::uint8_t which = 1; which <= 3; ++which) {
      std::uint8_t h[16];
      new_nonce_hash(nn.data(), key.data(), which, h);
      const std::string field = "new_nonce_hash" + std::to_string(which);
      EXPECT_EQ(Bytes(h, h + 16), hex_of(c[field.c_str()]));
    }
    EXPECT_EQ(aux_hash(key.data()), c["aux_hash"].GetUint64());
  }
  for (const auto& c : v["server_salt"].GetArray()) {
    EXPECT_EQ(server_salt(hex_of(c["new_nonce"]).data(), hex_of(c["server_nonce"]).data()),
              c["server_salt"].GetInt64());
  }
}

std::string dh_verdict(const Bytes& p, std::int32_t g) {
  const DhStatus s = check_dh_group(p, g);
  return s == DhStatus::kOk ? "ok" : dh_status_message(s);
}

TEST(DhCheck, GroupVerdicts) {
  for (const auto& c : vectors()["dh_params"].GetArray()) {
    EXPECT_EQ(dh_verdict(number(c["p"]), c["g"].GetInt()), c["verdict"].GetString())
        << c["note"].GetString();
  }
}

TEST(DhCheck, ValueRange) {
  const auto& r = vectors()["g_range"];
  const Bytes pb = number(r["p"]);
  BIGNUM* p = BN_bin2bn(pb.data(), static_cast<int>(pb.size()), nullptr);
  for (const auto& c : r["cases"].GetArray()) {
    const Bytes vb = number(c["value"]);
    BIGNUM* v = BN_bin2bn(vb.data(), static_cast<int>(vb.size()), nullptr);
    EXPECT_EQ(check_dh_value(p, v) == DhStatus::kOk, c["ok"].GetBool()) << c["value"].GetString();
    BN_free(v);
  }
  BN_free(p);
}

// Replays an exchange: the requests must match byte for byte. The status
// of the last answer is returned.
HandshakeStatus replay(const rapidjson::Value& x, Handshake& hs, Replay& random, AuthKey* key,
                       double now) {
  std::vector<std::uint8_t> request;
  EXPECT_EQ(hs.start(random, &request), HandshakeStatus::kOk);
  const auto& requests = x["requests"].GetArray();
  const auto& replies = x["replies"].GetArray();
  EXPECT_EQ(request, hex_of(requests[0]));
  HandshakeStatus s = HandshakeStatus::kOk;
  for (rapidjson::SizeType i = 0; i < replies.Size() && s == HandshakeStatus::kOk; ++i) {
    bool done = false;
    s = hs.receive(hex_of(replies[i]), now, random, &request, &done, key);
    if (s == HandshakeStatus::kOk && !done) {
      EXPECT_EQ(request, hex_of(requests[i + 1])) << i;
    }
    if (done) {
      EXPECT_EQ(i + 1, replies.Size());
    }
  }
  return s;
}

std::optional<std::int32_t> expiry(const rapidjson::Value& x) {
  if (x["expires_in"].IsNull()) return std::nullopt;
  return x["expires_in"].GetInt();
}

TEST(Exchange, KnownExchanges) {
  for (const auto& x : vectors()["exchanges"].GetArray()) {
    SCOPED_TRACE(x["label"].GetString());
    Handshake hs({test_key()}, x["dc"].GetInt(), expiry(x));
    Replay random(x["client_random"]);
    AuthKey key;
    const double now = x["clock"].GetDouble();
    ASSERT_EQ(replay(x, hs, random, &key, now), HandshakeStatus::kOk);
    EXPECT_TRUE(random.left.empty());
    EXPECT_EQ(Bytes(key.key.b, key.key.b + 256), hex_of(x["auth_key"]));
    EXPECT_EQ(key.key_id, x["auth_key_id"].GetUint64());
    EXPECT_EQ(key.server_salt, x["server_salt"].GetInt64());
    EXPECT_EQ(key.time_offset, x["time_offset"].GetInt64());
    EXPECT_EQ(key.temporary, !x["expires_in"].IsNull());
    if (key.temporary) {
      EXPECT_EQ(key.expires_at, now + x["expires_in"].GetInt());
    }
    EXPECT_FALSE(hs.holds_secrets());
    std::vector<std::uint8_t> request;
    bool done = false;
    EXPECT_EQ(hs.receive({}, now, random, &request, &done, &key), HandshakeStatus::kFinished);
  }
}

TEST(Exchange, Refusals) {
  for (const auto& x : vectors()["refusals"].GetArray()) {
    SCOPED_TRACE(x["label"].GetString());
    Handshake hs({test_key()}, 2, std::nullopt);
    Replay random(x["client_random"]);
    AuthKey key;
    const HandshakeStatus s = replay(x, hs, random, &key, 0);
    EXPECT_EQ(std::string(handshake_status_message(s)), x["why"].GetString());
    EXPECT_FALSE(handshake_misuse(s));
    EXPECT_FALSE(hs.holds_secrets());
    std::vector<std::uint8_t> request;
    bool done = false;
    EXPECT_EQ(hs.receive(hex_of(x["replies"][0]), 0, random, &request, &done, &key),
              HandshakeStatus::kEnded);
  }
}

// An object destroyed mid-exchange leaves none of its secrets in the memory
// it lived in: the new_nonce drawn and the auth key are there before, gone after.
TEST(Exchange, WipedWhenFreedMidway) {
  const auto& x = vectors()["exchanges"][0];
  const Bytes new_nonce = hex_of(x["client_random"][1]);
  alignas(Handshake) std::uint8_t storage[sizeof(Handshake)];
  auto* hs = new (storage) Handshake({test_key()}, x["dc"].GetInt(), std::nullopt);
  Replay random(x["client_random"]);
  std::vector<std::uint8_t> request;
  bool done = false;
  AuthKey key;
  ASSERT_EQ(hs->start(random, &request), HandshakeStatus::kOk);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(hs->receive(hex_of(x["replies"][i]), 0, random, &request, &done, &key),
              HandshakeStatus::kOk);
  }
  const Bytes auth_key = hex_of(x["auth_key"]);
  auto holds = [&](const Bytes& secret) {
    return std::search(storage, storage + sizeof(storage), secret.begin(), secret.end()) !=
           storage + sizeof(storage);
  };
  EXPECT_TRUE(hs->holds_secrets());
  EXPECT_TRUE(holds(new_nonce) && holds(auth_key));
  hs->~Handshake();
  EXPECT_FALSE(holds(new_nonce) || holds(auth_key));
}

}  // namespace
