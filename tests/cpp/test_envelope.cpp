// The message envelope against the published known answers, and the gzip
// streams of gzip_packed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/envelope.hpp"
#include "vectors.hpp"
#include "wire/gzip.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace velmora::protocol;
using velmora::testing::unhex;
using velmora::wire::GzipStatus;

const rapidjson::Document& vectors() {
  static const rapidjson::Document doc = velmora::testing::vector_file("envelope.json");
  return doc;
}

Sender sender_of(const rapidjson::Value& v) {
  return std::string(v["sender"].GetString()) == "server" ? Sender::kServer : Sender::kClient;
}

EnvelopeStatus open(const Bytes& key, Sender s, const Bytes& frame, Bytes* plain, Opened* out) {
  plain->assign(open_buffer_size(frame.size()), 0x5A);
  return open_message(key.data(), key.size(), s, frame.data(), frame.size(), plain->data(), out);
}

TEST(Envelope, KnownAnswersBothWays) {
  const auto& cases = vectors()["cases"];
  ASSERT_EQ(cases.Size(), 10u);
  for (const auto& c : cases.GetArray()) {
    const Bytes key = unhex(c["auth_key"].GetString()), body = unhex(c["body"].GetString());
    const Bytes padding = unhex(c["padding"].GetString()), frame = unhex(c["frame"].GetString());
    const EnvelopeHeader h{c["salt"].GetInt64(), c["session_id"].GetInt64(), c["msg_id"].GetInt64(),
                           c["seq_no"].GetInt()};
    EXPECT_EQ(auth_key_id(key.data()), c["auth_key_id"].GetUint64());
    Bytes out(frame_size(body.size(), padding.size())), scratch(out.size() + 8);
    ASSERT_EQ(seal_message(key.data(), key.size(), sender_of(c), h, body.data(), body.size(),
                           padding.data(), padding.size(), scratch.data(), out.data()), EnvelopeStatus::kOk);
    EXPECT_EQ(out, frame) << body.size();
    Bytes plain;
    Opened o;
    ASSERT_EQ(open(key, sender_of(c), frame, &plain, &o), EnvelopeStatus::kOk);
    EXPECT_EQ(Bytes(plain.begin() + o.body_offset, plain.begin() + o.body_offset + o.body_len), body);
    EXPECT_EQ(std::tie(o.header.salt, o.header.session_id, o.header.msg_id, o.header.seq_no),
              std::tie(h.salt, h.session_id, h.msg_id, h.seq_no));
  }
}

TEST(Envelope, RefusalsNameTheirCheckAndWipe) {
  const std::map<std::string, EnvelopeStatus> expected = {
      {"auth key id differs", EnvelopeStatus::kKeyIdDiffers},
      {"msg key differs (one bit)", EnvelopeStatus::kMsgKeyDiffers},
      {"ciphertext changed (one bit)", EnvelopeStatus::kMsgKeyDiffers},
      {"ciphertext not a multiple of 16 bytes", EnvelopeStatus::kFrameLength},
      {"too short to hold key id, msg key and header", EnvelopeStatus::kFrameTooShort},
      {"empty", EnvelopeStatus::kFrameTooShort},
      {"sent by the server (x = 8) but read as from the client", EnvelopeStatus::kMsgKeyDiffers},
      {"padding of 4 bytes (under 12)", EnvelopeStatus::kPaddingTooShort},
      {"padding of 1,044 bytes (over 1,024)", EnvelopeStatus::kPaddingTooLong},
      {"length field past the decrypted data", EnvelopeStatus::kLengthPastData},
      {"length field negative", EnvelopeStatus::kLengthNegative},
      {"length field not a multiple of 4", EnvelopeStatus::kLengthUnaligned},
  };
  const auto& refusals = vectors()["refusals"];
  ASSERT_EQ(refusals.Size(), expected.size());
  for (const auto& r : refusals.GetArray()) {
    const std::string why = r["why"].GetString();
    Bytes plain;
    Opened o;
    EXPECT_EQ(open(unhex(r["auth_key"].GetString()), sender_of(r), unhex(r["frame"].GetString()), &plain, &o),
              expected.at(why)) << why;
    // Nothing decrypted stays behind: untouched (0x5A) or wiped (0).
    EXPECT_TRUE(std::all_of(plain.begin(), plain.end(), [](auto b) { return b == 0 || b == 0x5A; }))
        << why;
  }
}

TEST(Envelope, SealRefusesBadInputAndPadsByDefault) {
  const Bytes key(256, 7), body(8, 1);
  Bytes out(200), scratch(240);
  auto seal = [&](std::size_t key_len, std::size_t body_len, const std::uint8_t* pad, std::size_t n) {
    return seal_message(key.data(), key_len, Sender::kClient, {}, body.data(), body_len, pad, n,
                        scratch.data(), out.data());
  };
  EXPECT_EQ(seal(255, 8, nullptr, 24), EnvelopeStatus::kBadKeyLength);
  EXPECT_EQ(seal(256, 6, nullptr, 26), EnvelopeStatus::kBadBodyLength);
  EXPECT_EQ(seal(256, 8, nullptr, 8), EnvelopeStatus::kBadPadding);
  EXPECT_EQ(seal(256, 8, nullptr, 25), EnvelopeStatus::kBadPadding);
  EXPECT_EQ(seal(256, 8, nullptr, 1048), EnvelopeStatus::kBadPadding);
  for (std::size_t n : {0, 4, 16, 20, 1000}) {
    const std::size_t p = default_padding_len(n);
    EXPECT_TRUE(p >= 12 && p < 28 && (32 + n + p) % 16 == 0) << n;
  }
  // Random padding still opens.
  ASSERT_EQ(seal(256, 8, nullptr, 24), EnvelopeStatus::kOk);
  Bytes plain;
  Opened o;
  EXPECT_EQ(open(key, Sender::kClient, Bytes(out.begin(), out.begin() + 88), &plain, &o), EnvelopeStatus::kOk);
}

TEST(Gzip, RoundTripBoundAndCorruption) {
  Bytes text(100000);
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<std::uint8_t>(i % 251 / 7);
  Bytes packed, back;
  ASSERT_EQ(velmora::wire::gzip_deflate(text, &packed), GzipStatus::kOk);
  ASSERT_EQ(velmora::wire::gzip_inflate(packed, text.size(), &back), GzipStatus::kOk);
  EXPECT_EQ(back, text);
  EXPECT_EQ(velmora::wire::gzip_inflate(packed, SIZE_MAX, &back), GzipStatus::kOk);
  EXPECT_EQ(velmora::wire::gzip_inflate(packed, text.size() - 1, &back), GzipStatus::kTooLarge);
  EXPECT_LE(back.size(), text.size());
  Bytes flipped = packed, cut(packed.begin(), packed.end() - 1), longer = packed;
  ASSERT_GT(packed.size(), 20u);
  flipped.at(flipped.size() - 6) ^= 1;  // the CRC
  longer.push_back(0);
  for (const Bytes& bad : {flipped, cut, longer, Bytes{}, Bytes(text.begin(), text.begin() + 40)}) {
    EXPECT_EQ(velmora::wire::gzip_inflate(bad, 1 << 20, &back), GzipStatus::kCorrupt) << bad.size();
  }
}

}  // namespace
