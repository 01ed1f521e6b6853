// envelope_failure.hpp: how an envelope status reaches Python, for
// velmora.message's entries and the session alike.
#pragma once

#include "protocol/envelope.hpp"
#include "py/result.hpp"

namespace velmora::message {

inline Failure envelope_failure(protocol::EnvelopeStatus s) {
  using protocol::EnvelopeStatus;
  // The generator refusing is the machine's trouble, not a fault of ours.
  if (s == EnvelopeStatus::kRandomFailure) return Failure::runtime(protocol::envelope_status_message(s));
  if (s == EnvelopeStatus::kCipherFailure) return Failure::internal(protocol::envelope_status_message(s));
  if (s >= EnvelopeStatus::kFrameTooShort) return Failure::security(protocol::envelope_status_message(s));
  return Failure::value(protocol::envelope_status_message(s));
}

}  // namespace velmora::message
