// framing.hpp: the four ways the protocol frames a packet on a stream.
//
//   abridged:             length / 4 in one byte below 0x7f, else 0x7f and
//                         three little-endian bytes; then the packet
//   intermediate:         int32 length, the packet
//   padded intermediate:  int32 length, the packet, 0-15 random bytes
//   full:                 int32 length (packet + 12), int32 sequence number
//                         (from 0, per direction), the packet, CRC32 of all
//                         before it
//
// All little-endian. Framer writes one packet's frame and reads them back one
// at a time; it keeps what a stream needs between packets (the full codec's
// two sequence numbers) and nothing of the bytes themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/transport_status.hpp"

namespace velmora::protocol {

enum class Framing : std::uint8_t { kAbridged, kIntermediate, kPaddedIntermediate, kFull };

// What max_packet is when not given: the longest packet a codec reads or
// writes. Servers send far less; the bound is what keeps a hostile length
// from holding memory.
inline constexpr std::size_t kDefaultMaxPacket = std::size_t{16} << 20;
// The largest max_packet: the most the abridged length can say.
inline constexpr std::size_t kMaxPacketCeiling = std::size_t{0xffffff} * 4;
// The most random bytes padded intermediate puts after a packet.
inline constexpr std::size_t kMaxFramePadding = 15;
// The longest frame header (full's length and sequence number) and trailer.
inline constexpr std::size_t kMaxFrameOverhead = 8 + 4;

// The 4 bytes that open a plain connection in each framing (full sends
// none), and that an obfuscated header carries at bytes 56-60.
std::uint32_t framing_tag(Framing f) noexcept;
// The framing whose tag is t; false for none.
bool framing_of_tag(std::uint32_t t, Framing* f) noexcept;

// A packet found in a stream: its bytes, where they lie.
struct Span {
  const std::uint8_t* data;
  std::size_t len;
};

class Framer {
 public:
  Framer(Framing f, std::size_t max_packet) noexcept : framing_(f), max_packet_(max_packet) {}

  Framing framing() const noexcept { return framing_; }
  std::size_t max_packet() const noexcept { return max_packet_; }

  // The checks on a payload to send.
  TransportStatus check_payload(std::size_t n) const noexcept;
  // The frame's size for n bytes of payload and padding bytes of padding.
  std::size_t frame_size(std::size_t n, std::size_t padding) const noexcept;
  // Writes the frame of payload (n bytes, checked) into out, which has
  // frame_size(n, padding) bytes; padding points at the padding bytes
  // (padded intermediate only). Moves the sequence number on.
  void write(const std::uint8_t* payload, std::size_t n, const std::uint8_t* padding,
             std::size_t padding_len, std::uint8_t* out) noexcept;

  // Reads the frame at the start of p (avail bytes). *used is 0 when the
  // frame is not complete yet; else the frame's size, with *packet the
  // packet in it. kTransportError comes with *used past the frame. Any other
  // failure is a refusal.
  Outcome read(const std::uint8_t* p, std::size_t avail, std::size_t* used, Span* packet) noexcept;
  // The size of the frame the last read found incomplete, once its header
  // was in; 0 when it was not.
  std::size_t awaiting() const noexcept { return awaiting_; }

 private:
  Outcome read_length(const std::uint8_t* p, std::size_t avail, std::size_t* header,
                      std::size_t* len) const noexcept;
  Outcome open_full(const std::uint8_t* p, std::size_t frame, Span* packet) noexcept;
  Outcome strip_padding(Span* packet) const noexcept;

  Framing framing_;
  std::size_t max_packet_;
  std::uint32_t seq_out_ = 0;
  std::uint32_t seq_in_ = 0;
  std::size_t awaiting_ = 0;
};

}  // namespace velmora::protocol
