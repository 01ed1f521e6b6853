// session_rules.hpp: the rules a session keeps for the messages it sends and
// receives: message ids, sequence numbers, the replay window and the checks
// of a received message's header.
//
// Pure and Python-free; the session object (src/message/session_state.hpp)
// holds one of each and decides when to commit what these check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::protocol {

enum class ReceiveStatus : std::uint8_t {
  kOk,
  kForeignSession,  // the header's session_id is not ours
  kNotServerId,     // msg_id mod 4 is neither 1 nor 3
  kTooOld,          // msg_id more than 300 s before the corrected time
  kTooNew,          // msg_id more than 30 s after it
  kReplayed,        // msg_id received already (in the window, or twice in one frame)
  kBelowWindow,     // msg_id under the lowest of a full window
};

// The fixed text of each status; callers match on the refusals' texts.
const char* receive_status_message(ReceiveStatus s) noexcept;

inline constexpr std::int64_t kMaxAge = 300;     // seconds a received msg_id may lag
inline constexpr std::int64_t kMaxAhead = 30;    // seconds it may lead
inline constexpr std::size_t kReplayWindow = 1024;  // received ids remembered

// The msg_id of a message sent at now (seconds since the epoch, corrected):
// now x 2^32, divisible by 4, and above last so that ids strictly increase
// even when the clock stands still or steps back.
std::int64_t next_msg_id(double now, std::int64_t last) noexcept;

// The seq_no of the next message: twice the content-related messages sent
// before, plus one when this one is content-related.
inline std::int32_t next_seq_no(std::uint32_t content_sent, bool content_related) noexcept {
  return static_cast<std::int32_t>(2 * content_sent + (content_related ? 1 : 0));
}

// A received id's own checks: a server's id, dated within the allowed span
// of now (seconds, corrected).
ReceiveStatus check_server_id(std::int64_t msg_id, double now) noexcept;

// The highest kReplayWindow ids received, kept sorted in a ring: ids mostly
// arrive in order, so the common insertion is at the end and moves nothing.
class ReplayWindow {
 public:
  // kReplayed when id is held; kBelowWindow when the window is full and id
  // lies under its lowest; kOk otherwise. Changes nothing.
  ReceiveStatus check(std::int64_t id) const noexcept;
  // Adds an id that check accepted; a full window drops its lowest.
  void insert(std::int64_t id) noexcept;
  std::size_t size() const noexcept { return count_; }

 private:
  std::int64_t at(std::size_t i) const noexcept { return ring_[(head_ + i) % kReplayWindow]; }
  std::int64_t& at(std::size_t i) noexcept { return ring_[(head_ + i) % kReplayWindow]; }
  // The first position whose id is not below id.
  std::size_t lower_bound(std::int64_t id) const noexcept;

  std::array<std::int64_t, kReplayWindow> ring_{};
  std::size_t head_ = 0;   // position of the lowest id
  std::size_t count_ = 0;  // ids held
};

}  // namespace velmora::protocol
