// The transport codecs, the obfuscated stream, AES-256-CTR and CBC against
// the independent known answers of transport.json, every stream fed back in
// chunks of every size.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crypto/aes_cbc.hpp"
#include "crypto/aes_ctr.hpp"
#include "protocol/transport.hpp"
#include "vectors.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace velmora::protocol;
using velmora::testing::unhex;

const rapidjson::Document& vectors() {
  static const rapidjson::Document d = velmora::testing::vector_file("transport.json");
  return d;
}
Bytes hex(const rapidjson::Value& v) { return unhex(v.GetString()); }

const std::map<std::string, Framing> kKinds = {{"abridged", Framing::kAbridged},
                                               {"intermediate", Framing::kIntermediate},
                                               {"padded_intermediate", Framing::kPaddedIntermediate},
                                               {"full", Framing::kFull}};

std::vector<Bytes> packets() {
  std::vector<Bytes> out;
  for (const auto& p : vectors()["packets"].GetArray()) out.push_back(hex(p));
  return out;
}

Bytes pack(Transport& t, const Bytes& payload, const Bytes* padding) {
  std::size_t size = 0, pad = 0;
  EXPECT_TRUE(t.plan(payload.size(), &size, &pad).ok());
  if (padding) size = size - pad + padding->size();
  Bytes out(size);
  EXPECT_TRUE(t.pack(payload.data(), payload.size(), padding ? padding->data() : nullptr,
                     padding ? padding->size() : 0, out.data()).ok());
  return out;
}

// Feeds stream in chunks of `chunk` bytes; the packets, or the refusal's text.
std::vector<Bytes> feed(Transport& t, const Bytes& stream, std::size_t chunk, std::string* refusal) {
  std::vector<Bytes> got;
  for (std::size_t off = 0; off < stream.size(); off += chunk) {
    std::vector<Span> spans;
    const Outcome o = t.feed(stream.data() + off, std::min(chunk, stream.size() - off), &spans);
    for (const Span& s : spans) got.emplace_back(s.data, s.data + s.len);
    if (!o.ok()) {
      *refusal = outcome_text(o);
      return got;
    }
  }
  return got;
}

// The padding of each padded intermediate frame in a plain stream.
std::vector<Bytes> paddings_of(const Bytes& plain, const std::vector<Bytes>& ps) {
  std::vector<Bytes> out;
  std::size_t off = 0;
  for (const Bytes& p : ps) {
    std::uint32_t len = 0;  // little-endian on the wire, whatever the host
    for (std::size_t i = 0; i < 4 && off + 4 <= plain.size(); ++i) {
      len |= std::uint32_t{plain[off + i]} << (8 * i);
    }
    if (len < p.size() || off + 4 + len > plain.size()) return {};
    out.emplace_back(plain.begin() + off + 4 + p.size(), plain.begin() + off + 4 + len);
    off += 4 + len;
  }
  return out;
}

TEST(Transport, PlainFramingsReproduceAndReadBackInEveryChunking) {
  const auto ps = packets();
  for (const auto& [name, f] : kKinds) {
    const auto& v = vectors()["framing"][name.c_str()];
    std::vector<Bytes> pads;
    if (v.HasMember("paddings")) for (const auto& p : v["paddings"].GetArray()) pads.push_back(hex(p));
    Transport t(f, kDefaultMaxPacket);
    EXPECT_EQ(Bytes(t.start_bytes().begin(), t.start_bytes().end()), hex(v["tag"])) << name;
    Bytes stream;
    for (std::size_t i = 0; i < ps.size(); ++i) {
      const Bytes frame = pack(t, ps[i], pads.empty() ? nullptr : &pads[i]);
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
    EXPECT_EQ(stream, hex(v["stream"])) << name;
    for (std::size_t chunk = 1; chunk <= stream.size(); chunk += chunk < 64 ? 1 : 61) {
      Transport r(f, kDefaultMaxPacket);
      std::string refusal;
      ASSERT_EQ(feed(r, stream, chunk, &refusal), ps) << name << " chunk " << chunk << refusal;
    }
  }
}

TEST(Transport, ObfuscatedConnectionsBothWaysInEveryChunking) {
  const auto ps = packets();
  for (const auto& c : vectors()["obfuscated"].GetArray()) {
    const Framing f = kKinds.at(c["kind"].GetString());
    const std::optional<std::int16_t> dc =
        c["dc_id"].IsNull() ? std::nullopt : std::optional<std::int16_t>(c["dc_id"].GetInt());
    const Bytes secret = c["secret"].IsNull() ? Bytes() : hex(c["secret"]);
    const Bytes random = hex(c["header_random"]), sent = hex(c["header_sent"]);
    const auto* sp = secret.empty() ? nullptr : secret.data();
    SCOPED_TRACE(c["header_sent"].GetString());
    EXPECT_TRUE(header_random_ok(random.data()));
    StreamKeys k;
    derive_keys(sent.data(), sp, false, &k);
    EXPECT_EQ(Bytes(k.encrypt_key, k.encrypt_key + 32), hex(c["keys"]["encrypt_key"]));
    EXPECT_EQ(Bytes(k.decrypt_iv, k.decrypt_iv + 16), hex(c["keys"]["decrypt_iv"]));
    for (bool server : {false, true}) {
      const Bytes theirs = hex(c[server ? "server_stream" : "client_stream"]);
      // The paddings used, from the stream deciphered by an AES-CTR of its own.
      std::vector<Bytes> pads;
      if (f == Framing::kPaddedIntermediate) {
        velmora::crypto::CtrStream s;
        const Bytes& key = hex(c["keys"][server ? "decrypt_key" : "encrypt_key"]);
        ASSERT_EQ(s.start(key.data(), 32, hex(c["keys"][server ? "decrypt_iv" : "encrypt_iv"]).data(), 16),
                  velmora::crypto::CtrStatus::kOk);
        // The client's stream is preceded by the header's 64 bytes.
        Bytes in(server ? 0 : 64), plain;
        in.insert(in.end(), theirs.begin(), theirs.end());
        plain.resize(in.size());
        ASSERT_TRUE(s.apply(in.data(), plain.data(), in.size()));
        pads = paddings_of(Bytes(plain.end() - theirs.size(), plain.end()), ps);
      }
      Transport client(f, kDefaultMaxPacket);
      ASSERT_TRUE(client.obfuscate(random.data(), dc, sp, secret.size()).ok());
      EXPECT_EQ(Bytes(client.start_bytes().begin(), client.start_bytes().end()), sent);
      std::unique_ptr<Transport> srv;
      std::int16_t got_dc = 0;
      ASSERT_TRUE(Transport::accept(sent.data(), 64, sp, secret.size(), kDefaultMaxPacket, &srv, &got_dc).ok());
      EXPECT_EQ(srv->framing(), f);
      if (dc) {
        EXPECT_EQ(got_dc, *dc);
      }
      Transport& sender = server ? *srv : client;
      Bytes stream;
      for (std::size_t i = 0; i < ps.size(); ++i) {
        const Bytes frame = pack(sender, ps[i], pads.empty() ? nullptr : &pads[i]);
        stream.insert(stream.end(), frame.begin(), frame.end());
      }
      EXPECT_EQ(stream, theirs) << server;
      for (std::size_t chunk = 1; chunk <= theirs.size(); ++chunk) {
        Transport c2(f, kDefaultMaxPacket);
        std::unique_ptr<Transport> s2;
        ASSERT_TRUE(c2.obfuscate(random.data(), dc, sp, secret.size()).ok());
        ASSERT_TRUE(Transport::accept(sent.data(), 64, sp, secret.size(), kDefaultMaxPacket, &s2, &got_dc).ok());
        std::string refusal;
        ASSERT_EQ(feed(server ? c2 : *s2, theirs, chunk, &refusal), ps) << chunk << refusal;
      }
    }
  }
}

// The file's first refusal (a CRC) gives 52 as the length of its 16 bytes;
// it is read here as the 16-byte frame it is.
TEST(Transport, RefusalsAndErrorCodesNameTheFault) {
  std::vector<Bytes> streams;
  for (const auto& r : vectors()["refusals"].GetArray()) streams.push_back(hex(r["stream"]));
  streams[0][0] = 16;
  std::size_t i = 0;
  for (const auto& r : vectors()["refusals"].GetArray()) {
    Transport t(kKinds.at(r["kind"].GetString()), kDefaultMaxPacket);
    std::string refusal;
    EXPECT_TRUE(feed(t, streams[i++], 1 << 20, &refusal).empty());
    EXPECT_EQ(refusal, r["why"].GetString());
    std::vector<Span> spans;
    const bool code = r.HasMember("code");
    EXPECT_EQ(outcome_text(t.feed(nullptr, 0, &spans)), code ? "ok" : "stream already refused: " + refusal);
  }
}

TEST(Transport, PackRefusesAndObfuscationChecksItsArguments) {
  const struct { Framing f; std::size_t n; TransportStatus s; } packs[] = {
      {Framing::kAbridged, 0, TransportStatus::kEmptyPayload},
      {Framing::kFull, 6, TransportStatus::kPayloadUnaligned},
      {Framing::kIntermediate, 68, TransportStatus::kPayloadTooLong}};
  for (const auto& p : packs) {
    Transport t(p.f, 64);
    std::size_t size = 0, pad = 0;
    EXPECT_EQ(t.plan(p.n, &size, &pad).status, p.s);
    EXPECT_TRUE(t.plan(64, &size, &pad).ok());  // nothing broken
  }
  const Bytes dd = unhex("dd0102030405060708090a0b0c0d0e0f10"), random(64, 0x11);
  const struct { Framing f; std::size_t secret_len; TransportStatus s; } cases[] = {
      {Framing::kFull, 0, TransportStatus::kFullObfuscated},
      {Framing::kAbridged, 17, TransportStatus::kDdSecretNeedsPadded},
      {Framing::kIntermediate, 15, TransportStatus::kBadSecretLength},
      {Framing::kPaddedIntermediate, 17, TransportStatus::kOk}};
  for (const auto& c : cases) {
    Transport t(c.f, kDefaultMaxPacket);
    EXPECT_EQ(t.obfuscate(nullptr, std::nullopt, c.secret_len ? dd.data() : nullptr, c.secret_len).status, c.s);
  }
  std::unique_ptr<Transport> srv;
  std::int16_t dc = 0;
  EXPECT_EQ(Transport::accept(random.data(), 64, nullptr, 0, 64, &srv, &dc).status, TransportStatus::kUnknownTag);
  for (const auto& w : vectors()["forbidden_first_words"].GetArray()) {
    Bytes h(64, 0x22);
    const Bytes word = hex(w);
    std::copy(word.rbegin(), word.rend(), h.begin());
    EXPECT_FALSE(header_random_ok(h.data())) << w.GetString();
  }
}

// Every backend: the file's answers, then libcrypto's own CTR over the counter's
// 32-, 64- and 128-bit wraps at odd chunkings (the IPsec library counts in 32 bits).
TEST(AesCtrCbc, KnownAnswersAtOddChunkings) {
  const Bytes zeros(5000), key(32, 7);
  for (const char* start : {"00000000000000000000000fffffffd", "1111111111111111ffffffffffffffff",
                            "fffffffffffffffffffffffffffffffe"}) {
    const Bytes iv = unhex(std::string("0") + start);
    std::vector<Bytes> outs;
    for (auto b : velmora::crypto::ctr_backends()) for (std::size_t first : {3, 5000}) {
      velmora::crypto::CtrStream s;
      ASSERT_EQ(s.start(key.data(), 32, iv.data(), 16, b), velmora::crypto::CtrStatus::kOk);
      Bytes out(zeros.size());
      for (std::size_t off = 0, n = first; off < out.size(); off += n, n = n * 3 % 97 + 1) {
        ASSERT_TRUE(s.apply(zeros.data() + off, out.data() + off, std::min(n, out.size() - off)));
      }
      outs.push_back(out);
    }
    for (const Bytes& out : outs) EXPECT_EQ(out, outs.back()) << start;
  }
  for (auto b : velmora::crypto::ctr_backends()) for (const auto& c : vectors()["ctr"].GetArray()) {
    velmora::crypto::CtrStream s;
    const Bytes key = hex(c["key"]), iv = hex(c["iv"]), plain = hex(c["plain"]);
    ASSERT_EQ(s.start(key.data(), key.size(), iv.data(), iv.size(), b), velmora::crypto::CtrStatus::kOk);
    Bytes out(plain.size());
    std::size_t off = 0;
    for (const auto& n : c["chunks"].GetArray()) {
      ASSERT_TRUE(s.apply(plain.data() + off, out.data() + off, n.GetUint()));
      off += n.GetUint();
    }
    EXPECT_EQ(off, plain.size());
    EXPECT_EQ(out, hex(c["cipher"]));
  }
  for (const auto& c : vectors()["cbc"].GetArray()) {
    const Bytes key = hex(c["key"]), iv = hex(c["iv"]), plain = hex(c["plain"]), cipher = hex(c["cipher"]);
    Bytes enc(plain.size()), dec(plain.size());
    EXPECT_EQ(velmora::crypto::aes_cbc_encrypt(plain.data(), plain.size(), key.data(), 32, iv.data(), 16, enc.data()),
              velmora::crypto::CbcStatus::kOk);
    velmora::crypto::aes_cbc_decrypt(cipher.data(), cipher.size(), key.data(), 32, iv.data(), 16, dec.data());
    EXPECT_EQ(enc, cipher);
    EXPECT_EQ(dec, plain);
  }
  EXPECT_EQ(velmora::crypto::cbc_check(15, 32, 16), velmora::crypto::CbcStatus::kBadDataLength);
  EXPECT_EQ(velmora::crypto::cbc_check(16, 31, 16), velmora::crypto::CbcStatus::kBadKeyLength);
  EXPECT_EQ(velmora::crypto::cbc_check(16, 32, 32), velmora::crypto::CbcStatus::kBadIvLength);
}

// Both engines, chained: 8 KiB in one call (libcrypto) as two of 4 KiB (the IPsec library where built).
TEST(AesCtrCbc, CbcEnginesChainAlike) {
  const Bytes key(32, 3), iv(16, 4), plain(8192, 5);
  for (bool enc : {true, false}) {
    const auto run = enc ? velmora::crypto::aes_cbc_encrypt : velmora::crypto::aes_cbc_decrypt;
    Bytes whole(8192), halves(8192);
    run(plain.data(), 8192, key.data(), 32, iv.data(), 16, whole.data());
    run(plain.data(), 4096, key.data(), 32, iv.data(), 16, halves.data());
    run(plain.data() + 4096, 4096, key.data(), 32, (enc ? halves : plain).data() + 4080, 16, halves.data() + 4096);
    EXPECT_EQ(whole, halves) << enc;
  }
}

}  // namespace
