#include "protocol/transport.hpp"

#include <openssl/crypto.h>

#include <cstring>

#include "crypto/random.hpp"
#include "wire/endian.hpp"

namespace velmora::protocol {

using crypto::random_bytes;

Transport::Transport(Framing f, std::size_t max_packet) noexcept : framer_(f, max_packet) {
  // A plain connection opens with its tag: abridged's is one byte of it.
  wire::store_le(start_, framing_tag(f));
  start_len_ = f == Framing::kFull ? 0 : f == Framing::kAbridged ? 1 : 4;
}

Outcome Transport::refuse(Outcome o) noexcept {
  if (o.status != TransportStatus::kTransportError && refused_.ok()) refused_ = o;
  return o;
}

Outcome Transport::start_streams(const std::uint8_t* header, const std::uint8_t* key_part,
                                 bool server) noexcept {
  StreamKeys k;
  derive_keys(header, key_part, server, &k);
  if (enc_.start(k.encrypt_key, 32, k.encrypt_iv, 16) != crypto::CtrStatus::kOk ||
      dec_.start(k.decrypt_key, 32, k.decrypt_iv, 16) != crypto::CtrStatus::kOk) {
    return {TransportStatus::kCipherFailure};
  }
  return {};
}

Outcome Transport::obfuscate(const std::uint8_t* random, std::optional<std::int16_t> dc_id,
                             const std::uint8_t* secret, std::size_t secret_len) noexcept {
  if (framing() == Framing::kFull) return {TransportStatus::kFullObfuscated};
  const std::uint8_t* key_part = nullptr;
  if (TransportStatus s = check_secret(secret, secret_len, framing(), &key_part);
      s != TransportStatus::kOk) {
    return {s};
  }
  std::uint8_t h[kObfuscatedHeader];
  if (random != nullptr) {
    std::memcpy(h, random, sizeof h);
  } else {
    do {
      if (!random_bytes(h, sizeof h)) return {TransportStatus::kRandomFailure};
    } while (!header_random_ok(h));
  }
  wire::store_le(h + 56, framing_tag(framing()));
  if (dc_id) {
    const auto dc = static_cast<std::uint16_t>(*dc_id);
    h[60] = static_cast<std::uint8_t>(dc);
    h[61] = static_cast<std::uint8_t>(dc >> 8);
  }
  Outcome o = start_streams(h, key_part, false);
  // All 64 bytes go through the stream, but only the last 8 are sent
  // enciphered: the server needs the first 56 to find the keys.
  std::uint8_t sealed[kObfuscatedHeader];
  if (o.ok() && !enc_.apply(h, sealed, sizeof h)) o = {TransportStatus::kCipherFailure};
  std::memcpy(start_, h, 56);
  std::memcpy(start_ + 56, sealed + 56, 8);
  start_len_ = kObfuscatedHeader;
  OPENSSL_cleanse(h, sizeof h);
  OPENSSL_cleanse(sealed, sizeof sealed);
  return o;
}

Outcome Transport::accept(const std::uint8_t* header, std::size_t header_len,
                          const std::uint8_t* secret, std::size_t secret_len,
                          std::size_t max_packet, std::unique_ptr<Transport>* out,
                          std::int16_t* dc_id) {
  if (header_len != kObfuscatedHeader) return {TransportStatus::kBadHeaderLength};
  // The secret's form is checked before the framing is known, then again
  // against it.
  const std::uint8_t* key_part = nullptr;
  if (TransportStatus s = check_secret(secret, secret_len, Framing::kPaddedIntermediate, &key_part);
      s != TransportStatus::kOk) {
    return {s};
  }
  auto t = std::make_unique<Transport>(Framing::kAbridged, max_packet);
  if (Outcome o = t->start_streams(header, key_part, true); !o.ok()) return o;
  std::uint8_t plain[kObfuscatedHeader];
  if (!t->dec_.apply(header, plain, sizeof plain)) return {TransportStatus::kCipherFailure};
  Framing f;
  const bool known = framing_of_tag(wire::load_le<std::uint32_t>(plain + 56), &f);
  *dc_id = static_cast<std::int16_t>(plain[60] | plain[61] << 8);
  OPENSSL_cleanse(plain, sizeof plain);
  if (!known) return {TransportStatus::kUnknownTag};
  if (TransportStatus s = check_secret(secret, secret_len, f, &key_part); s != TransportStatus::kOk) {
    return {s};
  }
  t->framer_ = Framer(f, max_packet);
  t->start_len_ = 0;
  *out = std::move(t);
  return {};
}

Outcome Transport::plan(std::size_t n, std::size_t* size, std::size_t* padding_len) const noexcept {
  if (!refused_.ok()) {
    return {TransportStatus::kAlreadyRefused, refused_.a, refused_.b, refused_.status};
  }
  if (TransportStatus s = framer_.check_payload(n); s != TransportStatus::kOk) return {s};
  *padding_len = 0;
  if (framing() == Framing::kPaddedIntermediate) {
    std::uint8_t r = 0;
    if (!random_bytes(&r, 1)) return {TransportStatus::kRandomFailure};
    *padding_len = r % (kMaxFramePadding + 1);
  }
  *size = framer_.frame_size(n, *padding_len);
  return {};
}

Outcome Transport::pack(const std::uint8_t* payload, std::size_t n, const std::uint8_t* padding,
                        std::size_t padding_len, std::uint8_t* out) noexcept {
  std::uint8_t random[kMaxFramePadding];
  if (padding == nullptr && padding_len > 0) {
    if (padding_len > kMaxFramePadding || !random_bytes(random, padding_len)) {
      return {TransportStatus::kRandomFailure};
    }
    padding = random;
  }
  framer_.write(payload, n, padding, padding_len, out);
  const std::size_t size = framer_.frame_size(n, padding_len);
  if (obfuscated() && !enc_.apply(out, out, size)) {
    return refuse({TransportStatus::kCipherFailure});
  }
  return {};
}

// Cuts the complete packets off p; *used is what they took.
Outcome Transport::cut(const std::uint8_t* p, std::size_t avail, std::size_t* used,
                       std::vector<Span>* packets) noexcept {
  *used = 0;
  for (;;) {
    std::size_t n = 0;
    Span s{};
    const Outcome o = framer_.read(p + *used, avail - *used, &n, &s);
    *used += n;
    if (!o.ok()) return refuse(o);
    if (n == 0) return {};
    packets->push_back(s);
  }
}

Outcome Transport::feed(const std::uint8_t* in, std::size_t n, std::vector<Span>* packets) {
  if (!refused_.ok()) {
    return {TransportStatus::kAlreadyRefused, refused_.a, refused_.b, refused_.status};
  }
  std::size_t used = 0;
  if (!obfuscated() && pending_.unread_size() == 0) {
    // Plain bytes with nothing pending are cut where they lie; only a
    // partial packet at their end is kept.
    const Outcome o = cut(in, n, &used, packets);
    if (o.ok() || o.status == TransportStatus::kTransportError) {
      pending_.reserve(framer_.awaiting());
      if (n > used) std::memcpy(pending_.extend(n - used), in + used, n - used);
    }
    return o;
  }
  if (n == 0) return {};
  pending_.reserve(framer_.awaiting());
  std::uint8_t* tail = pending_.extend(n);
  if (obfuscated()) {
    if (!dec_.apply(in, tail, n)) return refuse({TransportStatus::kCipherFailure});
  } else {
    std::memcpy(tail, in, n);
  }
  const Outcome o = cut(pending_.unread(), pending_.unread_size(), &used, packets);
  pending_.consume(used);
  return o;
}

}  // namespace velmora::protocol
