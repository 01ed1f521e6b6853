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
// ---- The key exchange (factorize, rsa_pad, dh_check, handshake) ----------
// factorize's refusals (ValueError); the handshake refuses with the first.
inline constexpr const char* kPqNotProduct = "pq not a product of two primes";
inline constexpr const char* kPqPrime = "pq is a prime";
inline constexpr const char* kPqThreeOrMore = "pq has three prime factors or more";
inline constexpr const char* kPqBeyondBound = "pq not split within the work bound";
// A server key or RSA_PAD's arguments refused (ValueError).
inline constexpr const char* kRsaDataTooLong = "data over 144 bytes";
inline constexpr const char* kRsaModulusSize = "RSA modulus not 2048 bits";
inline constexpr const char* kRsaBadExponent = "RSA exponent not an odd number of at least 3";
inline constexpr const char* kRsaNoTempKey = "no temp key gave a number below n";
inline constexpr const char* kRsaBadPem = "not an RSA public key in PEM";
inline constexpr const char* kRsaArithmetic = "RSA arithmetic failed";
inline constexpr const char* kSourceFailed = "random source failed";
// The server's DH group and public values.
inline constexpr const char* kDhPrimeBits = "dh_prime not 2048 bits";
inline constexpr const char* kDhNotPrime = "dh_prime not prime";
inline constexpr const char* kDhNotSafe = "dh_prime not a safe prime";
inline constexpr const char* kDhGRange = "g not in 2..7";
inline constexpr const char* kDhNoGenerator = "g does not generate the subgroup of order (p-1)/2";
inline constexpr const char* kDhOutOfRange = "value out of range";
inline constexpr const char* kDhArithmetic = "DH arithmetic failed";
// The exchange's refusals (HandshakeError), then its calls out of order
// (RuntimeError), as handshake.cpp's handshake_status_message maps them.
inline constexpr const char* kKexNonceDiffers = "nonce differs";
inline constexpr const char* kKexServerNonceDiffers = "server_nonce differs";
inline constexpr const char* kKexNoKnownKey = "no known server key";
inline constexpr const char* kKexDhParamsRefused = "server refused the DH parameters";
inline constexpr const char* kKexNewNonceHashDiffers = "new_nonce_hash differs";
inline constexpr const char* kKexAnswerLength = "answer length not a multiple of 16";
inline constexpr const char* kKexAnswerHash = "answer hash differs";
inline constexpr const char* kKexGaRange = "g_a out of range";
inline constexpr const char* kKexHash1Differs = "new_nonce_hash1 differs";
inline constexpr const char* kKexHash2Differs = "new_nonce_hash2 differs";
inline constexpr const char* kKexHash3Differs = "new_nonce_hash3 differs";
inline constexpr const char* kKexKeyRefused = "server refused the key";
inline constexpr const char* kKexTooManyRetries = "server asked for too many retries";
inline constexpr const char* kKexUnexpected = "answer not of the kind this step expects";
inline constexpr const char* kKexUndecodable = "answer does not decode";
inline constexpr const char* kKexArithmetic = "key exchange arithmetic failed";
inline constexpr const char* kKexEnded = "exchange ended by an earlier refusal";
inline constexpr const char* kKexNotStarted = "start() not called yet";
inline constexpr const char* kKexStartedTwice = "start() already called";
inline constexpr const char* kKexFinished = "exchange already finished";

// A received message refused by the session (session_rules.cpp), in the
// order its checks run.
inline constexpr const char* kForeignSession = "session_id is not this session's";
inline constexpr const char* kNotServerId = "msg_id is not a server's";
inline constexpr const char* kTooOld = "msg_id more than 300 s old";
inline constexpr const char* kTooNew = "msg_id more than 30 s ahead";
inline constexpr const char* kReplayed = "msg_id received already";
inline constexpr const char* kBelowWindow = "msg_id below the replay window";

}  // namespace velmora::protocol::msg
