#include "protocol/transport_status.hpp"

#include "crypto/messages.hpp"
#include "protocol/messages.hpp"

namespace velmora::protocol {

const char* transport_status_message(TransportStatus s) noexcept {
  switch (s) {
    case TransportStatus::kOk: return "ok";
    case TransportStatus::kEmptyPayload: return msg::kTransportEmptyPayload;
    case TransportStatus::kPayloadUnaligned: return msg::kTransportPayloadUnaligned;
    case TransportStatus::kPayloadTooLong: return msg::kTransportPayloadTooLong;
    case TransportStatus::kLengthUnaligned: return msg::kTransportLengthUnaligned;
    case TransportStatus::kLengthOverLimit: return msg::kTransportLengthOverLimit;
    case TransportStatus::kEmptyPacket: return msg::kTransportEmptyPacket;
    case TransportStatus::kLengthTooShort: return msg::kTransportLengthTooShort;
    case TransportStatus::kLengthByteUnknown: return msg::kTransportLengthByteUnknown;
    case TransportStatus::kCrcDiffers: return msg::kTransportCrcDiffers;
    case TransportStatus::kSeqDiffers: return msg::kTransportSeqDiffers;  // + "<got> where <due> was due"
    case TransportStatus::kPaddedLayout: return msg::kTransportPaddedLayout;
    case TransportStatus::kAlreadyRefused: return msg::kTransportAlreadyRefused;  // + the first text
    case TransportStatus::kTransportError: return msg::kTransportError;  // + the code
    case TransportStatus::kFullObfuscated: return msg::kTransportFullObfuscated;
    case TransportStatus::kBadSecretLength: return msg::kTransportBadSecretLength;
    case TransportStatus::kDdSecretNeedsPadded: return msg::kTransportDdSecretNeedsPadded;
    case TransportStatus::kBadHeaderLength: return msg::kTransportBadHeaderLength;
    case TransportStatus::kUnknownTag: return msg::kTransportUnknownTag;
    case TransportStatus::kRandomFailure: return msg::kRandomFailure;
    case TransportStatus::kCipherFailure: return crypto::msg::kCtrCipher;
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
