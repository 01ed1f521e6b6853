#include "protocol/session_rules.hpp"

#include <cmath>
#include <cstring>

#include "protocol/messages.hpp"

namespace velmora::protocol {

const char* receive_status_message(ReceiveStatus s) noexcept {
  switch (s) {
    case ReceiveStatus::kOk: return "ok";
    case ReceiveStatus::kForeignSession: return msg::kForeignSession;
    case ReceiveStatus::kNotServerId: return msg::kNotServerId;
    case ReceiveStatus::kTooOld: return msg::kTooOld;
    case ReceiveStatus::kTooNew: return msg::kTooNew;
    case ReceiveStatus::kReplayed: return msg::kReplayed;
    case ReceiveStatus::kBelowWindow: return msg::kBelowWindow;
  }
  return "receive failure";
}

std::int64_t next_msg_id(double now, std::int64_t last) noexcept {
  // Clocks before 1970 or past 2106 have no id; they clamp to the range.
  const double t = std::isfinite(now) ? std::fmin(std::fmax(now, 0.0), 4294967295.0) : 0.0;
  const double whole = std::floor(t);
  const auto seconds = static_cast<std::uint64_t>(whole);
  const auto fraction = static_cast<std::uint64_t>((t - whole) * 4294967296.0) & 0xffffffffu;
  auto id = static_cast<std::int64_t>(((seconds << 32) | fraction) & ~std::uint64_t{3});
  return id > last ? id : last + 4;
}

ReceiveStatus check_server_id(std::int64_t msg_id, double now) noexcept {
  const auto low = static_cast<std::uint64_t>(msg_id) & 3;
  if (low != 1 && low != 3) return ReceiveStatus::kNotServerId;
  const double sent = static_cast<double>(static_cast<std::uint64_t>(msg_id) >> 32);
  if (sent < now - static_cast<double>(kMaxAge)) return ReceiveStatus::kTooOld;
  if (sent > now + static_cast<double>(kMaxAhead)) return ReceiveStatus::kTooNew;
  return ReceiveStatus::kOk;
}

std::size_t ReplayWindow::lower_bound(std::int64_t id) const noexcept {
  std::size_t lo = 0, hi = count_;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (at(mid) < id) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

ReceiveStatus ReplayWindow::check(std::int64_t id) const noexcept {
  if (count_ == 0) return ReceiveStatus::kOk;
  if (id > at(count_ - 1)) return ReceiveStatus::kOk;  // the common case: a newer id
  if (count_ == kReplayWindow && id < at(0)) return ReceiveStatus::kBelowWindow;
  const std::size_t i = lower_bound(id);
  return i < count_ && at(i) == id ? ReceiveStatus::kReplayed : ReceiveStatus::kOk;
}

void ReplayWindow::insert(std::int64_t id) noexcept {
  if (count_ == kReplayWindow) {  // the lowest goes
    head_ = (head_ + 1) % kReplayWindow;
    --count_;
  }
  std::size_t i = lower_bound(id);
  for (std::size_t j = count_; j > i; --j) at(j) = at(j - 1);
  at(i) = id;
  ++count_;
}

}  // namespace velmora::protocol
