#include "protocol/session_state.hpp"

#include <openssl/crypto.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmora::protocol {

SessionState::SessionState(const std::uint8_t* key, std::int64_t session_id, std::int64_t salt,
                           std::int64_t time_offset) noexcept
    : key_id_(auth_key_id(key)), session_id_(session_id), salt_(salt), time_offset_(time_offset) {
  std::memcpy(key_, key, kAuthKeySize);
}

SessionState::~SessionState() { OPENSSL_cleanse(key_, sizeof(key_)); }

std::int64_t SessionState::salt(double clock_now) noexcept {
  const double now = clock_now + static_cast<double>(time_offset_);
  std::size_t passed = 0;
  while (passed < future_.size() && future_[passed].valid_since <= now) {
    if (future_[passed].valid_until > now) salt_ = future_[passed].salt;
    ++passed;
  }
  future_.erase(future_.begin(), future_.begin() + static_cast<std::ptrdiff_t>(passed));
  return salt_;
}

EnvelopeHeader SessionState::next_header(double clock_now, bool content_related) noexcept {
  const std::int64_t salt_now = salt(clock_now);
  last_msg_id_ = next_msg_id(clock_now + static_cast<double>(time_offset_), last_msg_id_);
  const std::int32_t seq = next_seq_no(content_sent_, content_related);
  if (content_related) ++content_sent_;
  return {salt_now, session_id_, last_msg_id_, seq};
}

ReceiveStatus SessionState::check(std::int64_t session_id, std::span<const std::int64_t> ids,
                                  double clock_now) const {
  if (session_id != session_id_) return ReceiveStatus::kForeignSession;
  const double now = clock_now + static_cast<double>(time_offset_);
  for (const std::int64_t id : ids) {
    ReceiveStatus s = check_server_id(id, now);
    if (s == ReceiveStatus::kOk) s = window_.check(id);
    if (s != ReceiveStatus::kOk) return s;
  }
  if (ids.size() > 1) {  // the same id twice in one frame
    std::vector<std::int64_t> sorted(ids.begin(), ids.end());
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
      return ReceiveStatus::kReplayed;
    }
  }
  return ReceiveStatus::kOk;
}

void SessionState::commit(std::span<const std::int64_t> ids) noexcept {
  for (const std::int64_t id : ids) window_.insert(id);
}

void SessionState::apply(std::int64_t msg_id, std::int32_t seq_no, const Effect& e,
                         double clock_now) {
  using K = Effect::Kind;
  if (seq_no & 1) acks_.push_back(msg_id);  // content-related: owed an acknowledgement
  switch (e.kind) {
    case K::kNone: break;
    case K::kNewSession: salt_ = e.salt; break;
    case K::kBadSalt:
      salt_ = e.salt;
      forget(e.id);  // never answered; the caller resends it
      break;
    case K::kBadMsg:
      if (e.code == 16 || e.code == 17) {  // our msg_id too low or too high: the clock is off
        const auto server_time = static_cast<std::int64_t>(static_cast<std::uint64_t>(msg_id) >> 32);
        time_offset_ = server_time - static_cast<std::int64_t>(std::floor(clock_now));
      }
      forget(e.id);
      break;
    case K::kFutureSalts:
      future_ = e.salts;
      std::stable_sort(future_.begin(), future_.end(), [](const FutureSalt& a, const FutureSalt& b) {
        return a.valid_since < b.valid_since;
      });
      forget(e.id);
      break;
    case K::kAck:
      for (const std::int64_t id : e.ids) {
        if (PendingRequest* p = find(id)) p->acked = true;
      }
      break;
    case K::kAnswer: forget(e.id); break;
  }
}

void SessionState::remember(std::int64_t msg_id, ResultShape shape) {
  if (pending_.size() - answered_ >= kMaxPending) {
    while (pending_.front().answered) {
      pending_.pop_front();
      --answered_;
    }
    pending_.pop_front();
  }
  pending_.push_back({msg_id, shape});
}

const PendingRequest* SessionState::find_pending(std::int64_t msg_id) const noexcept {
  return const_cast<SessionState*>(this)->find(msg_id);
}

PendingRequest* SessionState::find(std::int64_t msg_id) noexcept {
  auto it = std::lower_bound(pending_.begin(), pending_.end(), msg_id,
                             [](const PendingRequest& p, std::int64_t id) { return p.msg_id < id; });
  return it != pending_.end() && it->msg_id == msg_id && !it->answered ? &*it : nullptr;
}

void SessionState::forget(std::int64_t msg_id) noexcept {
  PendingRequest* p = find(msg_id);
  if (!p) return;
  p->answered = true;
  ++answered_;
  while (!pending_.empty() && pending_.front().answered) {
    pending_.pop_front();
    --answered_;
  }
  // One request never answered would hold every later entry: past half the
  // table, the answered ones go.
  if (answered_ > 64 && answered_ * 2 > pending_.size()) {
    std::erase_if(pending_, [](const PendingRequest& e) { return e.answered; });
    answered_ = 0;
  }
}

std::vector<std::int64_t> SessionState::take_acks() {
  const std::size_t n = std::min(acks_.size(), kMaxAcks);
  std::vector<std::int64_t> out(acks_.begin(), acks_.begin() + static_cast<std::ptrdiff_t>(n));
  acks_.erase(acks_.begin(), acks_.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

}  // namespace velmora::protocol
