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

// The transports' (transport_status.cpp's transport_status_message). A codec's
// refusals reach Python as FramingError, the server's code as TransportError,
// the obfuscation's arguments as ValueError (message/transport_codec.cpp sorts them);
// three are followed by numbers: "sequence number <got> where <due> was due",
// "transport error <code>", "stream already refused: <the first text>".
// The generator's and the cipher's failures are kRandomFailure and crypto's kCtrCipher.
inline constexpr const char* kTransportEmptyPayload = "empty payload";
inline constexpr const char* kTransportPayloadUnaligned = "payload length not a multiple of 4";
inline constexpr const char* kTransportPayloadTooLong = "payload over max_packet";
inline constexpr const char* kTransportLengthUnaligned = "length not a multiple of 4";
inline constexpr const char* kTransportLengthOverLimit = "length over the limit";
inline constexpr const char* kTransportEmptyPacket = "empty packet";
inline constexpr const char* kTransportLengthTooShort = "length under the 12 bytes of a full packet";
inline constexpr const char* kTransportLengthByteUnknown = "abridged length byte over 7f";
inline constexpr const char* kTransportCrcDiffers = "crc32 differs";
inline constexpr const char* kTransportSeqDiffers = "sequence number ";
inline constexpr const char* kTransportPaddedLayout = "padded packet of unknown layout";
inline constexpr const char* kTransportAlreadyRefused = "stream already refused: ";
inline constexpr const char* kTransportError = "transport error ";
inline constexpr const char* kTransportFullObfuscated = "the full codec cannot be obfuscated";
inline constexpr const char* kTransportBadSecretLength = "secret must be 16 bytes, or 17 beginning dd";
inline constexpr const char* kTransportBadHeaderLength = "header must be 64 bytes";
inline constexpr const char* kTransportUnknownTag = "header carries no codec tag";
inline constexpr const char* kTransportDdSecretNeedsPadded =
    "a secret beginning dd needs the padded intermediate codec";

}  // namespace velmora::protocol::msg
