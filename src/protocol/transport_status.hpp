// transport_status.hpp: the outcomes of the transport codecs and their texts.
//
// One table of fixed texts (transport_status_message): callers match on
// them, so keep every text as it is. Three carry numbers and are formatted
// by outcome_text: "sequence number <got> where <due> was due", "transport
// error <code>" and "stream already refused: <the first refusal>".
#pragma once

#include <cstdint>
#include <string>

namespace velmora::protocol {

enum class TransportStatus : std::uint8_t {
  kOk,
  // pack's refusals: the codec is left as it was.
  kEmptyPayload,
  kPayloadUnaligned,
  kPayloadTooLong,
  // feed's refusals: the stream is broken, every later call refuses.
  kLengthUnaligned,
  kLengthOverLimit,
  kEmptyPacket,
  kLengthTooShort,
  kLengthByteUnknown,
  kCrcDiffers,
  kSeqDiffers,      // a: the number read, b: the one due
  kPaddedLayout,
  kAlreadyRefused,  // first: the first refusal's status, a and b its numbers
  // The server's error code, a negative 4-byte packet (a: the code); not a
  // refusal: the stream reads on.
  kTransportError,
  // Setting up the obfuscated stream.
  kFullObfuscated,
  kBadSecretLength,
  kDdSecretNeedsPadded,
  kBadHeaderLength,
  kUnknownTag,
  kRandomFailure,
  kCipherFailure,
};

// What a codec call came to: a status and the numbers of its text.
struct Outcome {
  TransportStatus status = TransportStatus::kOk;
  std::int64_t a = 0;
  std::int64_t b = 0;
  TransportStatus first = TransportStatus::kOk;  // of kAlreadyRefused
  bool ok() const noexcept { return status == TransportStatus::kOk; }
};

const char* transport_status_message(TransportStatus s) noexcept;

// The full text of an outcome, numbers filled in.
std::string outcome_text(const Outcome& o);

}  // namespace velmora::protocol
