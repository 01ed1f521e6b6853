#include "protocol/transport_status.hpp"

namespace velmora::protocol {

const char* transport_status_message(TransportStatus s) noexcept {
  switch (s) {
    case TransportStatus::kOk: return "ok";
    case TransportStatus::kEmptyPayload: return "empty payload";
    case TransportStatus::kPayloadUnaligned: return "payload length not a multiple of 4";
    case TransportStatus::kPayloadTooLong: return "payload over max_packet";
    case TransportStatus::kLengthUnaligned: return "length not a multiple of 4";
    case TransportStatus::kLengthOverLimit: return "length over the limit";
    case TransportStatus::kEmptyPacket: return "empty packet";
    case TransportStatus::kLengthTooShort: return "length under the 12 bytes of a full packet";
    case TransportStatus::kLengthByteUnknown: return "abridged length byte over 7f";
    case TransportStatus::kCrcDiffers: return "crc32 differs";
    case TransportStatus::kSeqDiffers: return "sequence number ";  // + "<got> where <due> was due"
    case TransportStatus::kPaddedLayout: return "padded packet of unknown layout";
    case TransportStatus::kAlreadyRefused: return "stream already refused: ";  // + the first text
    case TransportStatus::kTransportError: return "transport error ";  // + the code
    case TransportStatus::kFullObfuscated: return "the full codec cannot be obfuscated";
    case TransportStatus::kBadSecretLength: return "secret must be 16 bytes, or 17 beginning dd";
    case TransportStatus::kDdSecretNeedsPadded:
      return "a secret beginning dd needs the padded intermediate codec";
    case TransportStatus::kBadHeaderLength: return "header must be 64 bytes";
    case TransportStatus::kUnknownTag: return "header carries no codec tag";
    case TransportStatus::kRandomFailure: return "random bytes unavailable";
    case TransportStatus::kCipherFailure: return "AES-CTR cipher failure";
  }
  return "unknown transport status";
}

std::string outcome_text(const Outcome& o) {
  std::string m = transport_status_message(o.status);
  switch (o.status) {
    case TransportStatus::kSeqDiffers:
      return m + std::to_string(o.a) + " where " + std::to_string(o.b) + " was due";
    case TransportStatus::kTransportError: return m + std::to_string(o.a);
    case TransportStatus::kAlreadyRefused:
      return m + outcome_text(Outcome{o.first, o.a, o.b});
    default: return m;
  }
}

}  // namespace velmora::protocol
