#include "protocol/framing.hpp"

#include <zlib.h>

#include <cstring>

#include "wire/endian.hpp"

namespace velmora::protocol {
namespace {

constexpr std::uint8_t kAbridgedLong = 0x7f;

std::uint32_t le32(const std::uint8_t* p) noexcept { return wire::load_le<std::uint32_t>(p); }
void put_le32(std::uint8_t* p, std::uint32_t v) noexcept { wire::store_le(p, v); }

std::uint32_t crc32_of(const std::uint8_t* p, std::size_t n) noexcept {
  return static_cast<std::uint32_t>(crc32_z(crc32_z(0, nullptr, 0), p, n));
}

// The server's error: a 4-byte packet holding a negative int32.
bool is_error_code(const Span& s) noexcept {
  return s.len == 4 && static_cast<std::int32_t>(le32(s.data)) < 0;
}

}  // namespace

std::uint32_t framing_tag(Framing f) noexcept {
  switch (f) {
    case Framing::kAbridged: return 0xefefefefu;
    case Framing::kIntermediate: return 0xeeeeeeeeu;
    case Framing::kPaddedIntermediate: return 0xddddddddu;
    case Framing::kFull: return 0;
  }
  return 0;
}

bool framing_of_tag(std::uint32_t t, Framing* f) noexcept {
  for (Framing k : {Framing::kAbridged, Framing::kIntermediate, Framing::kPaddedIntermediate}) {
    if (framing_tag(k) == t) {
      *f = k;
      return true;
    }
  }
  return false;
}

TransportStatus Framer::check_payload(std::size_t n) const noexcept {
  if (n == 0) return TransportStatus::kEmptyPayload;
  if (n % 4 != 0) return TransportStatus::kPayloadUnaligned;
  if (n > max_packet_) return TransportStatus::kPayloadTooLong;
  return TransportStatus::kOk;
}

std::size_t Framer::frame_size(std::size_t n, std::size_t padding) const noexcept {
  switch (framing_) {
    case Framing::kAbridged: return (n / 4 < kAbridgedLong ? 1 : 4) + n;
    case Framing::kIntermediate: return 4 + n;
    case Framing::kPaddedIntermediate: return 4 + n + padding;
    case Framing::kFull: return 12 + n;
  }
  return 0;
}

void Framer::write(const std::uint8_t* payload, std::size_t n, const std::uint8_t* padding,
                   std::size_t padding_len, std::uint8_t* out) noexcept {
  std::size_t h = 4;
  switch (framing_) {
    case Framing::kAbridged:
      if (n / 4 < kAbridgedLong) {
        out[0] = static_cast<std::uint8_t>(n / 4);
        h = 1;
      } else {
        put_le32(out, static_cast<std::uint32_t>(n / 4) << 8 | kAbridgedLong);
      }
      break;
    case Framing::kIntermediate: put_le32(out, static_cast<std::uint32_t>(n)); break;
    case Framing::kPaddedIntermediate:
      put_le32(out, static_cast<std::uint32_t>(n + padding_len));
      if (padding_len > 0) std::memcpy(out + 4 + n, padding, padding_len);
      break;
    case Framing::kFull:
      put_le32(out, static_cast<std::uint32_t>(n + 12));
      put_le32(out + 4, seq_out_++);
      h = 8;
      break;
  }
  std::memcpy(out + h, payload, n);
  if (framing_ == Framing::kFull) put_le32(out + 8 + n, crc32_of(out, 8 + n));
}

// The frame's header size and the length it gives (full: the whole frame's),
// checked against the framing's rules; *header is 0 while incomplete.
Outcome Framer::read_length(const std::uint8_t* p, std::size_t avail, std::size_t* header,
                            std::size_t* len) const noexcept {
  *header = 0;
  if (framing_ == Framing::kAbridged) {
    if (avail == 0) return {};
    if (p[0] > kAbridgedLong) return {TransportStatus::kLengthByteUnknown};
    if (p[0] < kAbridgedLong) {
      *header = 1;
      *len = std::size_t{p[0]} * 4;
    } else {
      if (avail < 4) return {};
      *header = 4;
      *len = std::size_t{le32(p) >> 8} * 4;
    }
  } else {
    if (avail < 4) return {};
    *header = 4;
    *len = le32(p);
    if (framing_ == Framing::kFull) {
      if (*len % 4 != 0) return {TransportStatus::kLengthUnaligned};
      if (*len < 12) return {TransportStatus::kLengthTooShort};
      if (*len - 12 > max_packet_) return {TransportStatus::kLengthOverLimit};
      if (*len == 12) return {TransportStatus::kEmptyPacket};
      return {};
    }
    if (framing_ == Framing::kIntermediate && *len % 4 != 0) {
      return {TransportStatus::kLengthUnaligned};
    }
  }
  const std::size_t most = max_packet_ + (framing_ == Framing::kPaddedIntermediate ? kMaxFramePadding : 0);
  if (*len > most) return {TransportStatus::kLengthOverLimit};
  if (*len == 0) return {TransportStatus::kEmptyPacket};
  return {};
}

Outcome Framer::read(const std::uint8_t* p, std::size_t avail, std::size_t* used,
                     Span* packet) noexcept {
  *used = 0;
  awaiting_ = 0;
  std::size_t header = 0, len = 0;
  if (Outcome o = read_length(p, avail, &header, &len); !o.ok() || header == 0) return o;
  if (framing_ == Framing::kFull) {
    if (avail < len) {
      awaiting_ = len;
      return {};
    }
    if (Outcome o = open_full(p, len, packet); !o.ok()) return o;
    *used = len;
  } else {
    if (avail - header < len) {
      awaiting_ = header + len;
      return {};
    }
    *packet = Span{p + header, len};
    *used = header + len;
  }
  if (is_error_code(*packet)) return {TransportStatus::kTransportError, static_cast<std::int32_t>(le32(packet->data))};
  if (framing_ == Framing::kPaddedIntermediate) return strip_padding(packet);
  return {};
}

// The checks of a complete full frame, the sequence number first (as the
// known answers have it): a frame out of order is refused as that.
Outcome Framer::open_full(const std::uint8_t* p, std::size_t frame, Span* packet) noexcept {
  const std::uint32_t seq = le32(p + 4);
  if (seq != seq_in_) return {TransportStatus::kSeqDiffers, seq, seq_in_};
  if (crc32_of(p, frame - 4) != le32(p + frame - 4)) return {TransportStatus::kCrcDiffers};
  ++seq_in_;
  *packet = Span{p + 8, frame - 12};
  return {};
}

// Padded intermediate says nothing of where its padding starts; what it
// carries does. An unencrypted message (key id 0) is 20 bytes of header
// (key id, msg_id, length) and its length field's bytes; an encrypted one
// is 24 bytes (key id, msg_key) and whole 16-byte blocks; the server's error
// is a negative int32 shorter than either.
Outcome Framer::strip_padding(Span* packet) const noexcept {
  static constexpr std::uint8_t kZeroKeyId[8] = {};
  const std::size_t n = packet->len;
  std::size_t message = 0;
  if (n >= 20 && std::memcmp(packet->data, kZeroKeyId, 8) == 0) {
    const std::size_t body = le32(packet->data + 16);
    if (body > n - 20 || n - 20 - body > kMaxFramePadding) return {TransportStatus::kPaddedLayout};
    message = 20 + body;
  } else if (n >= 24) {
    message = n - (n - 24) % 16;
  } else if (n >= 4 && static_cast<std::int32_t>(le32(packet->data)) < 0) {
    return {TransportStatus::kTransportError, static_cast<std::int32_t>(le32(packet->data))};
  } else {
    return {TransportStatus::kPaddedLayout};
  }
  if (message > max_packet_) return {TransportStatus::kLengthOverLimit};
  packet->len = message;
  return {};
}

}  // namespace velmora::protocol
