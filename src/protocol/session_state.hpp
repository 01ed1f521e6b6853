// session_state.hpp: what one session keeps between messages: the auth key
// and its id, the session id, the salt and those announced for later, the
// clock's correction, the counters of what was sent, the replay window, the
// requests awaiting their answers and the acknowledgements owed.
//
// Pure and Python-free. Receiving is two steps, so that a refused message
// changes nothing: check() reads the state, commit() and apply() change it
// once every message of a frame has passed. Not thread-safe by itself: the
// session object that owns it holds a lock around every use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "protocol/envelope.hpp"
#include "protocol/service_layouts.hpp"
#include "protocol/session_rules.hpp"
#include "wire/wire.hpp"

namespace velmora::protocol {

// How the answer to a request decodes: its method's result type, as the
// codec reads a field (element: a vector's elements).
struct ResultShape {
  wire::TypeKind kind = wire::TypeKind::kObject;
  wire::TypeKind element = wire::TypeKind::kInt;
};

struct PendingRequest {
  std::int64_t msg_id = 0;
  ResultShape shape;
  bool acked = false;     // a msgs_ack named it
  bool answered = false;  // forgotten: kept only until those before it go
};

// Most message ids one msgs_ack carries.
inline constexpr std::size_t kMaxAcks = 8192;
// Requests remembered for their answers. One the server never answers (lost
// with a connection and never sent again) would otherwise be kept for the
// session's whole life; the answer to one forgotten decodes as any boxed
// object would, or is returned undecoded.
inline constexpr std::size_t kMaxPending = 16384;

class SessionState {
 public:
  // key holds kAuthKeySize bytes; it is copied, and wiped with the state.
  SessionState(const std::uint8_t* key, std::int64_t session_id, std::int64_t salt,
               std::int64_t time_offset) noexcept;
  ~SessionState();
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;

  // The key, its id and the session's cipher context for sealing: none of
  // them changes, and the context guards itself, so no lock is needed.
  KeyRef keyed() noexcept { return {key_, key_id_, &cipher_}; }
  std::int64_t session_id() const noexcept { return session_id_; }
  std::int64_t time_offset() const noexcept { return time_offset_; }
  // The salt to send with at clock time now: a future salt whose valid_since
  // has passed takes over first.
  std::int64_t salt(double clock_now) noexcept;

  // The header of the next message sent at clock time now; counts it.
  EnvelopeHeader next_header(double clock_now, bool content_related) noexcept;

  // Every check of a received frame's header and of the ids of the
  // messages it carries (ids[0] the frame's own). Changes nothing.
  ReceiveStatus check(std::int64_t session_id, std::span<const std::int64_t> ids,
                      double clock_now) const;
  // Records ids as received: check() accepted them.
  void commit(std::span<const std::int64_t> ids) noexcept;
  // Acts on a received message (msg_id, seq_no) whose effect is e.
  void apply(std::int64_t msg_id, std::int32_t seq_no, const Effect& e, double clock_now);

  // Records a request sent: msg_id above every one remembered before. Past
  // kMaxPending requests unanswered, the oldest is forgotten.
  void remember(std::int64_t msg_id, ResultShape shape);
  // The requests not yet answered, oldest first.
  template <class Visit>
  void each_pending(Visit&& visit) const {
    for (const PendingRequest& p : pending_) {
      if (!p.answered) visit(p);
    }
  }
  const PendingRequest* find_pending(std::int64_t msg_id) const noexcept;
  // Up to kMaxAcks of the ids owed an acknowledgement, oldest first, taken
  // off the queue.
  std::vector<std::int64_t> take_acks();
  std::size_t acks_owed() const noexcept { return acks_.size(); }
  const std::vector<FutureSalt>& future_salts() const noexcept { return future_; }

 private:
  std::uint8_t key_[kAuthKeySize];
  std::uint64_t key_id_;
  crypto::IgeEncryptContext cipher_;  // its last message key derives from key_
  std::int64_t session_id_;
  std::int64_t salt_;
  std::int64_t time_offset_;
  std::int64_t last_msg_id_ = 0;
  std::uint32_t content_sent_ = 0;
  ReplayWindow window_;
  std::vector<FutureSalt> future_;  // by valid_since
  PendingRequest* find(std::int64_t msg_id) noexcept;
  void forget(std::int64_t msg_id) noexcept;

  // By msg_id, as sent: a request is appended, found by bisection, and its
  // entry goes once every older one is answered too.
  std::deque<PendingRequest> pending_;
  std::size_t answered_ = 0;  // entries of pending_ answered but not yet gone
  std::vector<std::int64_t> acks_;
};

}  // namespace velmora::protocol
