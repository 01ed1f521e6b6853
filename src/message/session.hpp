// session.hpp: the Python side of a session: the native state a Session
// object owns, and its operations taking and giving Python objects.
//
// The pure rules are protocol::SessionState's; this layer reads the request
// bodies through the current schema, builds the frames and decodes what
// arrives (as unpack does), and keeps the state's lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "protocol/session_state.hpp"
#include "py/py.hpp"
#include "py/result.hpp"
#include "schema/schema.hpp"

namespace velmora::message {

// The state a Session owns. The lock guards state (and schema): the calls
// that read or change it may run without the GIL, or with none at all in
// a free-threaded interpreter. It is never held across a call into Python
// code, which could reach the same session again.
struct SessionBox {
  SessionBox(const std::uint8_t* key, std::int64_t session_id, std::int64_t salt,
             std::int64_t time_offset) noexcept
      : state(key, session_id, salt, time_offset) {}
  std::mutex lock;
  protocol::SessionState state;
  schema::SchemaStore::Snapshot schema;  // the last one read, while its generation holds
  // The last request's identifier and how its answer decodes, under that
  // schema (found or not): a client sends the same few methods over and over.
  std::uint32_t last_cid = 0;
  bool last_known = false;  // last_cid and last_shape hold
  protocol::ResultShape last_shape;
};

// The Received named tuple of velmora.session; items are plain tuples until
// the package registers it. Takes a reference.
void set_received_type(PyObject* cls) noexcept;

// (msg_id, frame) of one message sent at clock time now.
Result<py::Ref> session_encrypt(SessionBox& s, double now, py::ByteView body,
                                bool content_related);
// (list of msg_ids, frame) of a msg_container holding bodies.
Result<py::Ref> session_encrypt_many(SessionBox& s, double now, std::span<const py::ByteView> bodies);
// The list of Received in a frame, after every check; SecurityError on refusal,
// the state then as it was.
Result<py::Ref> session_decrypt(SessionBox& s, double now, py::ByteView frame);
// The body of one msgs_ack with the ids owed, or None.
Result<py::Ref> session_acks(SessionBox& s);
// {msg_id: acked} of the requests sent and not yet answered.
Result<py::Ref> session_pending(SessionBox& s);
// The salts announced for later, as (valid_since, valid_until, salt) tuples.
Result<py::Ref> session_future_salts(SessionBox& s);

}  // namespace velmora::message
