#include "message/transport_codec.hpp"

#include <vector>

#include "py/threads.hpp"

namespace velmora::message {

using protocol::Outcome;
using protocol::TransportStatus;

Failure transport_failure(const Outcome& o) {
  std::string text = protocol::outcome_text(o);
  switch (o.status) {
    case TransportStatus::kTransportError: return Failure::transport(std::move(text), o.a);
    case TransportStatus::kFullObfuscated:
    case TransportStatus::kBadSecretLength:
    case TransportStatus::kDdSecretNeedsPadded: return Failure::value(std::move(text));
    // The generator refusing is the machine's trouble, as for the envelope.
    case TransportStatus::kRandomFailure: return Failure::runtime(std::move(text));
    case TransportStatus::kCipherFailure: return Failure::internal(std::move(text));
    default: return Failure::framing(std::move(text));
  }
}

const char* framing_name(protocol::Framing f) noexcept {
  switch (f) {
    case protocol::Framing::kAbridged: return "abridged";
    case protocol::Framing::kIntermediate: return "intermediate";
    case protocol::Framing::kPaddedIntermediate: return "padded_intermediate";
    case protocol::Framing::kFull: return "full";
  }
  return "?";
}

Result<py::Ref> codec_start(CodecState& s) {
  const py::StateLock held(s.lock);
  const auto b = s.codec->start_bytes();
  return py::new_bytes(b.data(), b.size());
}

Result<py::Ref> codec_pack(CodecState& s, py::ByteView payload) {
  const py::StateLock held(s.lock);
  std::size_t size = 0, padding = 0;
  if (Outcome o = s.codec->plan(payload.size(), &size, &padding); !o.ok()) {
    return transport_failure(o);
  }
  py::Ref out = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return Failure::pending();
  auto* to = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
  const bool release = s.codec->obfuscated() && payload.size() >= py::kReleaseGilFrom;
  const Outcome o = py::without_gil(
      release, [&] { return s.codec->pack(payload.data(), payload.size(), nullptr, padding, to); });
  if (!o.ok()) return transport_failure(o);
  return out;
}

namespace {

Result<py::Ref> list_of(const std::vector<protocol::Span>& packets) {
  py::Ref list = py::steal(PyList_New(static_cast<Py_ssize_t>(packets.size())));
  if (!list) return Failure::pending();
  for (std::size_t i = 0; i < packets.size(); ++i) {
    PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packets[i].data),
                                            static_cast<Py_ssize_t>(packets[i].len));
    if (b == nullptr) return Failure::pending();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), b);  // steals b
  }
  return list;
}

}  // namespace

Result<py::Ref> codec_feed(CodecState& s, py::ByteView data, py::Ref* before) {
  const py::StateLock held(s.lock);
  std::vector<protocol::Span>& packets = s.found;
  packets.clear();
  // The packets point into the codec's buffer or into data, both unchanged
  // until the lock is let go: the bytes objects are made before that.
  const Outcome o = py::without_gil(data.size() >= py::kReleaseGilFrom,
                                    [&] { return s.codec->feed(data.data(), data.size(), &packets); });
  auto list = list_of(packets);
  if (!list) return list;
  if (o.ok()) return list;
  if (o.status == TransportStatus::kTransportError) *before = std::move(*list);
  return transport_failure(o);
}

}  // namespace velmora::message
