// envelope.hpp: the protocol's version-2 message encryption, one call each
// way, on libcrypto's SHA-1, SHA-256 and RAND_bytes and the module's AES-IGE.
//
// A frame is auth_key_id (8 bytes) + msg_key (16) + AES-256-IGE(inner +
// padding), where inner is salt, session_id, msg_id (int64 each), seq_no and
// the body's length (int32 each), then the body; all little-endian. The side
// that sends selects which part of the 256-byte auth key feeds the hashes
// (x = 0 for the client, 8 for the server). Stateless: every derived key, IV
// and digest is wiped before a call returns, and a refused frame leaves
// nothing decrypted behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/aes_ige.hpp"

namespace velmora::protocol {

inline constexpr std::size_t kAuthKeySize = 256;
inline constexpr std::size_t kFrameHeader = 24;  // auth_key_id + msg_key
inline constexpr std::size_t kInnerHeader = 32;  // salt .. length
inline constexpr std::size_t kMinPadding = 12;
inline constexpr std::size_t kMaxPadding = 1024;

enum class Sender : std::uint8_t { kClient = 0, kServer = 8 };

enum class EnvelopeStatus : std::uint8_t {
  kOk,
  kBadKeyLength,      // auth_key is not 256 bytes
  kBadBodyLength,     // body not a multiple of 4, or too long
  kBadPadding,        // given padding outside 12..1024 or not aligning to 16
  kRandomFailure,     // RAND_bytes refused
  kFrameTooShort,     // under 24 + 32 bytes
  kFrameLength,       // not 24 + a multiple of 16
  kKeyIdDiffers,
  kMsgKeyDiffers,
  kLengthNegative,
  kLengthUnaligned,
  kLengthPastData,
  kPaddingTooShort,
  kPaddingTooLong,
  kCipherFailure,     // libcrypto refused; not reachable with valid lengths
};

// The fixed text of each status; callers match on the refusals' texts.
const char* envelope_status_message(EnvelopeStatus s) noexcept;

// The header fields of inner, as the wire holds them.
struct EnvelopeHeader {
  std::int64_t salt = 0;
  std::int64_t session_id = 0;
  std::int64_t msg_id = 0;
  std::int32_t seq_no = 0;
};

// The low 64 bits of SHA-1(auth_key): digest bytes 12..19, little-endian.
// key must hold kAuthKeySize bytes.
std::uint64_t auth_key_id(const std::uint8_t* key) noexcept;

// The padding length used when the caller gives none: the fewest bytes, at
// least 12, that bring inner to a multiple of 16 (12 to 27).
std::size_t default_padding_len(std::size_t body_len) noexcept;

// The frame size for a body and a padding length.
inline constexpr std::size_t frame_size(std::size_t body_len, std::size_t padding_len) noexcept {
  return kFrameHeader + kInnerHeader + body_len + padding_len;
}

// Encrypts one message into out, which has room for frame_size(body_len,
// padding_len) bytes. padding points at padding_len bytes, or is null for
// padding_len random bytes. Checks the key, the body and the padding length
// before writing anything. scratch has room for 32 + frame_size - 24 bytes
// and the key material in it is wiped before the call returns.
EnvelopeStatus seal_message(const std::uint8_t* key, std::size_t key_len, Sender sender,
                            const EnvelopeHeader& header, const std::uint8_t* body,
                            std::size_t body_len, const std::uint8_t* padding,
                            std::size_t padding_len, std::uint8_t* scratch,
                            std::uint8_t* out) noexcept;

// What open_message found: the header fields, and the body as an offset and
// a length in plain.
struct Opened {
  EnvelopeHeader header;
  std::size_t body_offset = 0;
  std::size_t body_len = 0;
};

// The size of the plain buffer open_message needs for a frame: 32 bytes of
// key material ahead of the decrypted data.
inline constexpr std::size_t open_buffer_size(std::size_t frame_len) noexcept {
  return frame_len < kFrameHeader ? 32 : 32 + frame_len - kFrameHeader;
}

// Decrypts and checks a frame, in this order: the frame's length, the auth
// key id, the msg_key recomputed over the decrypted data (in constant time),
// the length field and the padding it implies. plain has room for
// open_buffer_size(frame_len) bytes; on success the body lies at
// plain + out->body_offset, on any refusal plain is wiped.
EnvelopeStatus open_message(const std::uint8_t* key, std::size_t key_len, Sender sender,
                            const std::uint8_t* frame, std::size_t frame_len, std::uint8_t* plain,
                            Opened* out) noexcept;

// The same two, for a caller that keeps the key's id (auth_key_id(key)),
// which costs a SHA-1 of the whole key to compute; key is kAuthKeySize bytes.
// A caller that keeps a cipher context for the key's messages passes it too:
// sealing then re-keys it instead of setting one up.
struct KeyRef {
  const std::uint8_t* bytes;
  std::uint64_t id;
  crypto::IgeEncryptContext* cipher = nullptr;
};
EnvelopeStatus seal_keyed(KeyRef key, Sender sender, const EnvelopeHeader& header,
                          const std::uint8_t* body, std::size_t body_len,
                          const std::uint8_t* padding, std::size_t padding_len,
                          std::uint8_t* scratch, std::uint8_t* out) noexcept;
EnvelopeStatus open_keyed(KeyRef key, Sender sender, const std::uint8_t* frame,
                          std::size_t frame_len, std::uint8_t* plain, Opened* out) noexcept;

}  // namespace velmora::protocol
