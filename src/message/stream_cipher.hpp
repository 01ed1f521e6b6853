// stream_cipher.hpp: the Python face of one AES-256-CTR stream
// (velmora.crypto.Ctr): its state and its update.
#pragma once

#include <mutex>

#include "crypto/aes_ctr.hpp"
#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

struct CtrState {
  std::mutex lock;  // guards stream: update may run without the GIL
  crypto::CtrStream stream;
};

// The failure of a CTR status.
Failure ctr_failure(crypto::CtrStatus s);

// A new stream keyed with key and iv (the lengths checked).
Result<std::unique_ptr<CtrState>> ctr_state(py::ByteView key, py::ByteView iv);

// The next len(data) bytes of the stream over data, as new bytes; 64 KiB
// and more without the GIL.
Result<py::Ref> ctr_update(CtrState& s, py::ByteView data);

}  // namespace velmora::message
