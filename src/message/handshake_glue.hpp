// handshake_glue.hpp: the Python side of the key exchange's native parts:
// arguments to the core's types, the core's results and refusals to Python.
//
// The state of a velmora.handshake.Handshake lives here (HandshakeState):
// the core machine and the lock that keeps two threads out of it. The random
// source is a Python callable passed on each call (never held by the state,
// which keeps no Python references), or None for the module's random bytes;
// with None the core runs without the GIL.
#pragma once

#include <mutex>
#include <optional>

#include "protocol/handshake.hpp"
#include "py/py.hpp"
#include "py/result.hpp"

namespace velmora::message {

struct HandshakeState {
  HandshakeState(std::vector<protocol::RsaKey> keys, std::int32_t dc,
                 std::optional<std::int32_t> expires_in)
      : core(std::move(keys), dc, expires_in) {}
  // Guards core: held for a whole call, which may run without the GIL. A
  // second thread is refused rather than kept waiting with the GIL held.
  std::mutex lock;
  protocol::Handshake core;
};

// A list of (n, e) pairs of big-endian bytes as the core's keys.
Result<std::vector<protocol::RsaKey>> server_keys(PyObject* list);

// req_pq_multi's body.
Result<py::Ref> start_exchange(HandshakeState& state, PyObject* rand);
// The next request's body, or (key, key_id, server_salt, time_offset,
// expires_at) once the exchange is done.
Result<py::Ref> receive_answer(HandshakeState& state, py::ByteView answer, double now,
                               PyObject* rand);

// RSA_PAD(data) to the key (n, e); rand as above.
Result<py::Ref> rsa_pad_bytes(py::ByteView data, py::ByteView n, py::ByteView e, PyObject* rand);
// (n, e) of a PEM public key, big-endian bytes.
Result<py::Ref> pem_numbers(py::ByteView pem);
// The first check a (dh_prime, g, g_a) fails, as its text, or None.
Result<py::Ref> dh_refusal(py::ByteView dh_prime, std::int32_t g, py::ByteView g_a);

}  // namespace velmora::message
