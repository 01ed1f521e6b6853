// transport_codec.hpp: the Python face of the transport codecs
// (velmora.transport): a codec's state and its start, pack and feed.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "protocol/transport.hpp"
#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

struct CodecState {
  std::mutex lock;  // guards codec: pack and feed may run without the GIL
  std::unique_ptr<protocol::Transport> codec;
  std::vector<protocol::Span> found;  // feed's packets, kept for its next call
};

// The failure of an outcome: FramingError for a broken stream or a refused
// payload, TransportError (with its code) for the server's error, ValueError
// for a refused argument, the internal fault for libcrypto's.
Failure transport_failure(const protocol::Outcome& o);

// "abridged", "intermediate", "padded_intermediate" or "full".
const char* framing_name(protocol::Framing f) noexcept;

Result<py::Ref> codec_start(CodecState& s);
Result<py::Ref> codec_pack(CodecState& s, py::ByteView payload);
// The packets complete so far, as a list of bytes. On the server's error
// code, *before receives the list of the packets ahead of it.
Result<py::Ref> codec_feed(CodecState& s, py::ByteView data, py::Ref* before);

}  // namespace velmora::message
