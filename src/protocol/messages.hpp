// messages.hpp: the fixed texts of the protocol room's refusals.
//
// Callers match on these texts (the exception's message): change none of
// them. The envelope's reach Python as ValueError (the caller's arguments),
// SecurityError (a frame refused), RuntimeError (the generator) or the
// internal fault (libcrypto refusing valid lengths), as fn_message.cpp's
// envelope_failure sorts them.
#pragma once

namespace velmora::protocol::msg {

// A body that is not whole 4-byte words: the envelope's and gzip_packed's.
inline constexpr const char* kBodyUnaligned = "body length must be a multiple of 4";

// The envelope's arguments (envelope.cpp's envelope_status_message).
inline constexpr const char* kAuthKeyLength = "auth_key must be 256 bytes";
inline constexpr const char* kPaddingLength =
    "padding must be 12 to 1024 bytes and bring the message to a multiple of 16";
inline constexpr const char* kRandomFailure = "RAND_bytes failed";
inline constexpr const char* kCipherFailure = "AES-IGE failed";

// A frame refused, in the order open_message checks.
inline constexpr const char* kFrameTooShort = "frame too short for its header";
inline constexpr const char* kFrameLength = "frame length is not 24 plus a multiple of 16";
inline constexpr const char* kKeyIdDiffers = "auth key id differs";
inline constexpr const char* kMsgKeyDiffers = "msg_key differs";
inline constexpr const char* kLengthNegative = "length field negative";
inline constexpr const char* kLengthUnaligned = "length field not a multiple of 4";
inline constexpr const char* kLengthPastData = "length field past the decrypted data";
inline constexpr const char* kPaddingTooShort = "padding under 12 bytes";
inline constexpr const char* kPaddingTooLong = "padding over 1024 bytes";

}  // namespace velmora::protocol::msg
