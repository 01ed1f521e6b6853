#include "message/session.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "codec/type_name.hpp"
#include "message/envelope_failure.hpp"
#include "message/messages.hpp"
#include "message/service.hpp"
#include "message/wiped_scratch.hpp"
#include "protocol/messages.hpp"
#include "protocol/wrappers.hpp"
#include "wire/endian.hpp"
#include "wire/wire.hpp"

namespace velmora::message {
namespace {

using protocol::EnvelopeStatus;
using protocol::ReceiveStatus;
using protocol::ResultShape;

using protocol::msg::kBodyUnaligned;

constexpr std::size_t kMaxBody = 0x7fffffff;
// What one decrypt may inflate, as unpack's default (velmora.message.MAX_INFLATED).
constexpr std::size_t kMaxInflated = 8u << 20;
// Bodies from this size on are sealed and opened without the GIL.
constexpr std::size_t kReleaseGil = 64u << 10;

PyObject* g_received_type = nullptr;


// How the answer to the request in body decodes: the innermost query's
// method's result type in the current schema; Object when none is known.
// Called with the lock held; calls no Python code.
ResultShape shape_of(SessionBox& s, py::ByteView body) {
  const auto at = protocol::innermost_query(body);
  if (!at || body.size() < *at + 4) return {};
  const auto cid = wire::load_le<std::uint32_t>(body.data() + *at);
  auto& store = schema::SchemaStore::instance();
  const std::uint64_t generation = store.generation();
  if (s.last_known && s.schema.generation == generation && cid == s.last_cid) return s.last_shape;
  if (!s.schema.schema || s.schema.generation != generation) s.schema = store.snapshot();
  s.last_known = false;
  if (!s.schema.schema) return {};
  const auto* entry = s.schema.schema->find_method_by_cid(cid);
  s.last_shape = {};
  if (entry) {
    const auto& method = static_cast<const schema::TlMethod&>(*entry->record);
    const auto t = codec::parse_type_name(method.result).value_or(codec::ValueType{});
    s.last_shape = {t.kind, t.element};
  }
  s.last_cid = cid;
  s.last_known = true;  // under s.schema, which the next call checks again
  return s.last_shape;
}

// Seals body (its header in h) into out. It needs no lock (see
// SessionState::keyed); a large body is sealed without the GIL.
EnvelopeStatus seal(SessionBox& s, const protocol::EnvelopeHeader& h, py::ByteView body,
                    std::uint8_t* out) {
  const std::size_t pad = protocol::default_padding_len(body.size());
  WipedScratch scratch(protocol::frame_size(body.size(), pad) + 8);
  return protocol::seal_keyed(s.state.keyed(), protocol::Sender::kClient, h,
                              body.data(), body.size(), nullptr, pad, scratch.data(), out);
}

Result<py::Ref> blank_frame(std::size_t body_len, std::uint8_t** data) {
  const std::size_t n = protocol::frame_size(body_len, protocol::default_padding_len(body_len));
  py::Ref b = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!b) return Failure::pending();
  *data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(b.get()));
  return b;
}

// (first, second), taking both references.
Result<py::Ref> pair(PyObject* first, py::Ref second) {
  py::Ref a = py::steal(first);
  py::Ref t = py::steal(PyTuple_New(2));
  if (!a || !t) return Failure::pending();
  PyTuple_SetItem(t.get(), 0, a.release());  // each SetItem steals its item
  PyTuple_SetItem(t.get(), 1, second.release());
  return t;
}

// The container body's size for bodies, after their checks.
Result<std::size_t> container_size(std::span<const py::ByteView> bodies) {
  if (bodies.empty()) return Failure::value(msg::kNoMessages);
  std::size_t total = 8;
  for (const py::ByteView v : bodies) {
    if (v.size() % 4 != 0) return Failure::value(kBodyUnaligned);
    if (v.size() >= 4 && wire::load_le<std::uint32_t>(v.data()) == kMsgContainerId) {
      return Failure::value(msg::kNested);
    }
    total += 16 + v.size();
    if (total > kMaxBody) return Failure::value(kBodyUnaligned);
  }
  return total;
}

// The session's own record of its requests, asked for each rpc_result.
class SessionResults final : public ResultTypes {
 public:
  explicit SessionResults(SessionBox& s) : s_(s) {}
  Result<codec::ValueType> of(std::int64_t req_msg_id) override {
    std::lock_guard<std::mutex> hold(s_.lock);
    const protocol::PendingRequest* p = s_.state.find_pending(req_msg_id);
    if (!p) return codec::ValueType{};
    return codec::ValueType{p->shape.kind, p->shape.element};
  }

 private:
  SessionBox& s_;
};

// Every id the frame carries: its own, then its container's messages'.
std::vector<std::int64_t> ids_of(std::int64_t msg_id, const std::vector<SeenMessage>& seen) {
  std::vector<std::int64_t> ids{msg_id};
  for (const SeenMessage& m : seen) {
    if (m.in_container) ids.push_back(m.msg_id);
  }
  return ids;
}

}  // namespace

void set_received_type(PyObject* cls) noexcept {
  Py_INCREF(cls);
  PyObject* old = g_received_type;
  g_received_type = cls;
  Py_XDECREF(old);
}

Result<py::Ref> session_encrypt(SessionBox& s, double now, py::ByteView body,
                                bool content_related) {
  if (body.size() % 4 != 0 || body.size() > kMaxBody) return Failure::value(kBodyUnaligned);
  std::uint8_t* out = nullptr;
  auto frame = blank_frame(body.size(), &out);
  if (!frame) return frame;
  std::unique_lock<std::mutex> hold(s.lock);
  const ResultShape shape = content_related ? shape_of(s, body) : ResultShape{};
  const protocol::EnvelopeHeader h = s.state.next_header(now, content_related);
  if (content_related) s.state.remember(h.msg_id, shape);
  hold.unlock();  // the key and its id never change: sealing needs no lock
  EnvelopeStatus st;
  if (body.size() >= kReleaseGil) {
    Py_BEGIN_ALLOW_THREADS
    st = seal(s, h, body, out);
    Py_END_ALLOW_THREADS
  } else {
    st = seal(s, h, body, out);
  }
  if (st != EnvelopeStatus::kOk) return envelope_failure(st);
  return pair(PyLong_FromLongLong(h.msg_id), std::move(*frame));
}

Result<py::Ref> session_encrypt_many(SessionBox& s, double now, std::span<const py::ByteView> bodies) {
  auto total = container_size(bodies);
  if (!total) return std::move(total).failure();
  std::uint8_t* out = nullptr;
  auto frame = blank_frame(*total, &out);
  if (!frame) return frame;
  py::Ref ids = py::steal(PyList_New(static_cast<Py_ssize_t>(bodies.size())));
  if (!ids) return Failure::pending();
  std::vector<std::int64_t> sent(bodies.size());
  WipedScratch container(*total);
  std::uint8_t* p = container.data();
  wire::store_le(p, kMsgContainerId);
  wire::store_le(p + 4, static_cast<std::uint32_t>(bodies.size()));
  p += 8;
  protocol::EnvelopeHeader outer;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      const py::ByteView v = bodies[i];
      // An acknowledgement is never content-related; every other message is.
      const bool content = !(v.size() >= 4 && wire::load_le<std::uint32_t>(v.data()) == protocol::kMsgsAckId);
      const ResultShape shape = content ? shape_of(s, v) : ResultShape{};
      const protocol::EnvelopeHeader h = s.state.next_header(now, content);
      if (content) s.state.remember(h.msg_id, shape);
      sent[i] = h.msg_id;
      wire::store_le(p, h.msg_id);
      wire::store_le(p + 8, h.seq_no);
      wire::store_le(p + 12, static_cast<std::uint32_t>(v.size()));
      if (!v.empty()) std::memcpy(p + 16, v.data(), v.size());
      p += 16 + v.size();
    }
    outer = s.state.next_header(now, false);
  }
  const EnvelopeStatus st = seal(s, outer, py::ByteView(container.data(), *total), out);
  if (st != EnvelopeStatus::kOk) return envelope_failure(st);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    PyObject* id = PyLong_FromLongLong(sent[i]);
    if (!id) return Failure::pending();
    PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(i), id);  // steals id
  }
  return pair(ids.release(), std::move(*frame));
}

Result<py::Ref> session_decrypt(SessionBox& s, double now, py::ByteView frame) {
  WipedScratch plain(protocol::open_buffer_size(frame.size()));
  protocol::Opened o;
  EnvelopeStatus st;
  const protocol::KeyRef key = s.state.keyed();
  if (frame.size() >= kReleaseGil) {
    Py_BEGIN_ALLOW_THREADS
    st = protocol::open_keyed(key, protocol::Sender::kServer, frame.data(), frame.size(),
                              plain.data(), &o);
    Py_END_ALLOW_THREADS
  } else {
    st = protocol::open_keyed(key, protocol::Sender::kServer, frame.data(), frame.size(),
                              plain.data(), &o);
  }
  if (st != EnvelopeStatus::kOk) return envelope_failure(st);
  const std::int64_t msg_id = o.header.msg_id;
  {
    // The frame's own header first, before its body is decoded at all.
    std::lock_guard<std::mutex> hold(s.lock);
    const std::int64_t own[] = {msg_id};
    const ReceiveStatus rs = s.state.check(o.header.session_id, own, now);
    if (rs != ReceiveStatus::kOk) return Failure::security(protocol::receive_status_message(rs));
  }
  SessionResults results(s);
  std::vector<SeenMessage> seen;
  const UnpackOptions opt{&results, kMaxInflated, g_received_type, &seen};
  auto list = unpack_with(msg_id, o.header.seq_no, py::ByteView(plain.data() + o.body_offset, o.body_len), opt);
  if (!list) return list;
  const std::vector<std::int64_t> ids = ids_of(msg_id, seen);
  // Checked again with the container's ids, and committed under one hold:
  // of two threads given the same frame, one is refused.
  std::lock_guard<std::mutex> hold(s.lock);
  const ReceiveStatus rs = s.state.check(o.header.session_id, ids, now);
  if (rs != ReceiveStatus::kOk) return Failure::security(protocol::receive_status_message(rs));
  s.state.commit(ids);
  for (const SeenMessage& m : seen) s.state.apply(m.msg_id, m.seq_no, m.effect, now);
  return list;
}

Result<py::Ref> session_acks(SessionBox& s) {
  std::vector<std::int64_t> ids;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    ids = s.state.take_acks();
  }
  if (ids.empty()) return py::borrow(Py_None);
  wire::Writer w;
  w.put_u32(protocol::kMsgsAckId);
  w.put_u32(wire::kVectorId);
  w.put_u32(static_cast<std::uint32_t>(ids.size()));
  for (const std::int64_t id : ids) w.put_u64(static_cast<std::uint64_t>(id));
  return py::new_bytes(w.data(), w.size());
}

Result<py::Ref> session_pending(SessionBox& s) {
  std::vector<std::pair<std::int64_t, bool>> items;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    s.state.each_pending([&](const protocol::PendingRequest& p) { items.emplace_back(p.msg_id, p.acked); });
  }
  py::Ref d = py::steal(PyDict_New());
  if (!d) return Failure::pending();
  for (const auto& [id, acked] : items) {
    py::Ref k = py::steal(PyLong_FromLongLong(id));
    if (!k || PyDict_SetItem(d.get(), k.get(), acked ? Py_True : Py_False) < 0) {
      return Failure::pending();
    }
  }
  return d;
}

Result<py::Ref> session_future_salts(SessionBox& s) {
  std::vector<protocol::FutureSalt> salts;
  {
    std::lock_guard<std::mutex> hold(s.lock);
    salts = s.state.future_salts();
  }
  py::Ref list = py::steal(PyList_New(0));
  if (!list) return Failure::pending();
  for (const auto& f : salts) {
    py::Ref t = py::steal(Py_BuildValue("(iiL)", f.valid_since, f.valid_until,
                                        static_cast<long long>(f.salt)));
    if (!t || PyList_Append(list.get(), t.get()) < 0) return Failure::pending();
  }
  return list;
}

}  // namespace velmora::message
