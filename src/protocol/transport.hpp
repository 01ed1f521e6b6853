// transport.hpp: one connection's transport codec: a framing and, when
// obfuscated, the two AES-256-CTR streams around it.
//
// feed takes the bytes received in one pass: deciphered into the pending
// buffer (or read in place when plain and nothing is pending), then cut into
// packets there. A refusal breaks the stream for good: every later pack and
// feed refuses too. The server's error code is not a refusal; the packets
// before it are returned with it and the bytes after it stay for the next
// feed. Not safe for two threads at once: callers that share one lock it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "crypto/aes_ctr.hpp"
#include "protocol/byte_buffer.hpp"
#include "protocol/framing.hpp"
#include "protocol/obfuscation.hpp"
#include "protocol/transport_status.hpp"

namespace velmora::protocol {

class Transport {
 public:
  Transport(Framing f, std::size_t max_packet) noexcept;

  Framing framing() const noexcept { return framer_.framing(); }
  std::size_t max_packet() const noexcept { return framer_.max_packet(); }
  bool obfuscated() const noexcept { return enc_.started(); }

  // Makes this a client's obfuscated codec: a header of random bytes (or of
  // random, 64 bytes, when given: for known answers), the tag, the DC id
  // when given; secret as check_secret takes it. Must come before any
  // pack or feed.
  Outcome obfuscate(const std::uint8_t* random, std::optional<std::int16_t> dc_id,
                    const std::uint8_t* secret, std::size_t secret_len) noexcept;
  // The server's codec for a client's header: its framing and DC id read
  // from the header, its streams the reverse of the client's.
  static Outcome accept(const std::uint8_t* header, std::size_t header_len,
                        const std::uint8_t* secret, std::size_t secret_len,
                        std::size_t max_packet, std::unique_ptr<Transport>* out,
                        std::int16_t* dc_id);

  // What a client sends first: the plain codec's tag, the obfuscated header,
  // or nothing (full, and a server).
  std::span<const std::uint8_t> start_bytes() const noexcept { return {start_, start_len_}; }

  // The frame's size for n bytes of payload, after the checks; *padding_len
  // is the padding chosen (padded intermediate: 0-15 random bytes).
  Outcome plan(std::size_t n, std::size_t* size, std::size_t* padding_len) const noexcept;
  // Writes the frame planned for payload into out (size bytes), enciphered
  // when obfuscated; padding is null for random bytes.
  Outcome pack(const std::uint8_t* payload, std::size_t n, const std::uint8_t* padding,
               std::size_t padding_len, std::uint8_t* out) noexcept;

  // The packets complete in the bytes received so far, appended to
  // *packets; they point into this codec's buffer or into in, and stay valid
  // until the next call.
  Outcome feed(const std::uint8_t* in, std::size_t n, std::vector<Span>* packets);

 private:
  Outcome refuse(Outcome o) noexcept;
  Outcome cut(const std::uint8_t* p, std::size_t avail, std::size_t* used,
              std::vector<Span>* packets) noexcept;
  Outcome start_streams(const std::uint8_t* header, const std::uint8_t* key_part,
                        bool server) noexcept;

  Framer framer_;
  crypto::CtrStream enc_;
  crypto::CtrStream dec_;
  ByteBuffer pending_;
  Outcome refused_;
  std::uint8_t start_[kObfuscatedHeader] = {};
  std::size_t start_len_ = 0;
};

}  // namespace velmora::protocol
