// Fuzzes feed of every transport codec, plain and obfuscated, as plain C++.
// The first byte picks the codec (its low two bits) and whether it is
// obfuscated (bit 2); the second, how the rest is cut into chunks. An
// obfuscated server is fed the rest enciphered with the client's stream, so
// that what it deciphers is the fuzzer's own framing. Every packet must lie
// inside what was fed and within max_packet; a refused stream must refuse
// again; then each packet is packed and read back. Any failure aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "crypto/aes_ctr.hpp"
#include "protocol/transport.hpp"

using namespace velmora::protocol;

namespace {

constexpr std::size_t kMaxPacket = 4096;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_transport: %s\n", what);
  std::abort();
}

// A client of framing f with a fixed header, and the server for it.
std::unique_ptr<Transport> obfuscated_pair(Framing f, Transport* client) {
  std::uint8_t random[kObfuscatedHeader];
  for (std::size_t i = 0; i < sizeof random; ++i) random[i] = static_cast<std::uint8_t>(i * 37 + 11);
  if (!client->obfuscate(random, std::nullopt, nullptr, 0).ok()) fail("obfuscate refused");
  std::unique_ptr<Transport> server;
  std::int16_t dc = 0;
  const auto h = client->start_bytes();
  if (!Transport::accept(h.data(), h.size(), nullptr, 0, kMaxPacket, &server, &dc).ok()) fail("accept refused");
  if (server->framing() != f) fail("accept read another framing");
  return server;
}

// The client's keystream over data, past the header's 64 bytes.
std::vector<std::uint8_t> enciphered(const Transport& client, const std::uint8_t* data, std::size_t n) {
  StreamKeys k;
  derive_keys(client.start_bytes().data(), nullptr, false, &k);
  velmora::crypto::CtrStream s;
  if (s.start(k.encrypt_key, 32, k.encrypt_iv, 16) != velmora::crypto::CtrStatus::kOk) fail("ctr refused");
  std::vector<std::uint8_t> out(kObfuscatedHeader + n), in(kObfuscatedHeader);
  in.insert(in.end(), data, data + n);
  if (!s.apply(in.data(), out.data(), in.size())) fail("ctr failed");
  out.erase(out.begin(), out.begin() + kObfuscatedHeader);
  return out;
}

void check_packets(const std::vector<Span>& packets, const Transport& t) {
  for (const Span& s : packets) {
    if (s.len == 0 || s.len > t.max_packet()) fail("a packet outside 1..max_packet");
  }
}

// Packs each packet found and reads it back through a fresh plain codec.
void round_trip(Framing f, const std::vector<std::vector<std::uint8_t>>& found) {
  Transport a(f, kMaxPacket), b(f, kMaxPacket);
  for (const auto& p : found) {
    std::size_t size = 0, pad = 0;
    if (!a.plan(p.size(), &size, &pad).ok()) continue;  // not a multiple of 4: pack refuses it
    std::vector<std::uint8_t> frame(size);
    if (!a.pack(p.data(), p.size(), nullptr, pad, frame.data()).ok()) fail("pack failed");
    std::vector<Span> back;
    const Outcome o = b.feed(frame.data(), frame.size(), &back);
    if (f == Framing::kPaddedIntermediate) continue;  // the layout decides what comes back
    if (o.status == TransportStatus::kTransportError) continue;
    if (!o.ok() || back.size() != 1 || back[0].len != p.size() || std::memcmp(back[0].data, p.data(), p.size())) {
      fail("a packed packet did not read back");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Framing f = static_cast<Framing>(data[0] & 3);
  const bool obfuscate = (data[0] & 4) != 0 && f != Framing::kFull;
  const std::size_t chunk = data[1] + 1u;
  data += 2;
  size -= 2;
  Transport client(f, kMaxPacket);
  std::unique_ptr<Transport> server;
  std::vector<std::uint8_t> stream(data, data + size);
  if (obfuscate) {
    server = obfuscated_pair(f, &client);
    stream = enciphered(client, data, size);
  }
  Transport& reader = obfuscate ? *server : client;
  std::vector<std::vector<std::uint8_t>> found;
  Outcome o;
  for (std::size_t off = 0; off < stream.size(); off += chunk) {
    std::vector<Span> packets;
    o = reader.feed(stream.data() + off, std::min(chunk, stream.size() - off), &packets);
    check_packets(packets, reader);
    for (const Span& s : packets) found.emplace_back(s.data, s.data + s.len);
    if (!o.ok() && o.status != TransportStatus::kTransportError) break;
  }
  if (!o.ok() && o.status != TransportStatus::kTransportError) {
    std::vector<Span> packets;
    if (reader.feed(data, size, &packets).status != TransportStatus::kAlreadyRefused) {
      fail("a refused stream read on");
    }
  }
  round_trip(f, found);
  return 0;
}
