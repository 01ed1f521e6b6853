#include "protocol/service_layouts.hpp"

#include <algorithm>
#include <iterator>

namespace velmora::protocol {
namespace {

using wire::TypeKind;
constexpr TypeKind kI = TypeKind::kInt;
constexpr TypeKind kL = TypeKind::kLong;
constexpr TypeKind kS = TypeKind::kString;
constexpr TypeKind kV = TypeKind::kVector;

// Sorted by cid for the binary search.
constexpr ServiceLayout kLayouts[] = {
    {0x04deb57du, "msgs_state_info", 2, {{"req_msg_id", kL}, {"info", kS}}},
    {0x0949d9dcu, "future_salt", 3, {{"valid_since", kI}, {"valid_until", kI}, {"salt", kL}}},
    {0x2144ca19u, "rpc_error", 2, {{"error_code", kI}, {"error_message", kS}}},
    {0x276d3ec6u, "msg_detailed_info", 4,
     {{"msg_id", kL}, {"answer_msg_id", kL}, {"bytes", kI}, {"status", kI}}},
    {0x347773c5u, "pong", 2, {{"msg_id", kL}, {"ping_id", kL}}},
    {0x5e2ad36eu, "rpc_answer_unknown", 0, {}},
    {0x62d350c9u, "destroy_session_none", 1, {{"session_id", kL}}},
    {0x62d6b459u, "msgs_ack", 1, {{"msg_ids", kV, kL}}},
    {0x7d861a08u, "msg_resend_req", 1, {{"msg_ids", kV, kL}}},
    {0x809db6dfu, "msg_new_detailed_info", 3, {{"answer_msg_id", kL}, {"bytes", kI}, {"status", kI}}},
    {0x8cc0d131u, "msgs_all_info", 2, {{"msg_ids", kV, kL}, {"info", kS}}},
    {0x9299359fu, "http_wait", 3, {{"max_delay", kI}, {"wait_after", kI}, {"max_wait", kI}}},
    {0x9ec20908u, "new_session_created", 3,
     {{"first_msg_id", kL}, {"unique_id", kL}, {"server_salt", kL}}},
    {0xa43ad8b7u, "rpc_answer_dropped", 3, {{"msg_id", kL}, {"seq_no", kI}, {"bytes", kI}}},
    {0xa7eff811u, "bad_msg_notification", 3,
     {{"bad_msg_id", kL}, {"bad_msg_seqno", kI}, {"error_code", kI}}},
    {0xae500895u, "future_salts", 3,
     {{"req_msg_id", kL}, {"now", kI}, {"salts", TypeKind::kObject}}},
    {0xcd78e586u, "rpc_answer_dropped_running", 0, {}},
    {0xda69fb52u, "msgs_state_req", 1, {{"msg_ids", kV, kL}}},
    {0xe22045fcu, "destroy_session_ok", 1, {{"session_id", kL}}},
    {0xedab447bu, "bad_server_salt", 4,
     {{"bad_msg_id", kL}, {"bad_msg_seqno", kI}, {"error_code", kI}, {"new_server_salt", kL}}},
};

static_assert(std::is_sorted(std::begin(kLayouts), std::end(kLayouts),
                             [](const ServiceLayout& a, const ServiceLayout& b) { return a.cid < b.cid; }));

// Reads a boxed Vector<long> into out; false when it is not one or runs short.
bool read_longs(wire::Reader& r, std::vector<std::int64_t>* out) {
  std::uint32_t id = 0, n = 0;
  if (!r.read_u32(id) || id != wire::kVectorId || !r.read_u32(n)) return false;
  if (r.remaining() / 8 < n) return false;
  out->resize(n);
  for (auto& v : *out) {
    std::uint64_t u = 0;
    (void)r.read_u64(u);
    v = static_cast<std::int64_t>(u);
  }
  return true;
}

bool read_salts(wire::Reader& r, std::vector<FutureSalt>* out) {
  std::uint32_t n = 0;
  if (!r.read_u32(n) || r.remaining() / kFutureSaltSize < n) return false;
  out->resize(n);
  for (auto& s : *out) {
    std::uint32_t since = 0, until = 0;
    std::uint64_t salt = 0;
    (void)(r.read_u32(since) && r.read_u32(until) && r.read_u64(salt));
    s = {static_cast<std::int32_t>(since), static_cast<std::int32_t>(until),
         static_cast<std::int64_t>(salt)};
  }
  return true;
}

}  // namespace

const ServiceLayout* find_service_layout(std::uint32_t cid) noexcept {
  const auto* it = std::lower_bound(std::begin(kLayouts), std::end(kLayouts), cid,
                                    [](const ServiceLayout& l, std::uint32_t c) { return l.cid < c; });
  return it != std::end(kLayouts) && it->cid == cid ? it : nullptr;
}

Effect read_effect(std::span<const std::uint8_t> body) {
  using K = Effect::Kind;
  wire::Reader r(body);
  std::uint32_t cid = 0, u32 = 0, code = 0;
  std::uint64_t id = 0, skip = 0, salt = 0;
  Effect e;
  if (!r.read_u32(cid)) return e;
  bool ok = false;
  switch (cid) {
    case kNewSessionCreatedId:
      ok = r.read_u64(id) && r.read_u64(skip) && r.read_u64(salt);
      e.kind = K::kNewSession;
      break;
    case kBadServerSaltId:
      ok = r.read_u64(id) && r.read_u32(u32) && r.read_u32(code) && r.read_u64(salt);
      e.kind = K::kBadSalt;
      break;
    case kBadMsgNotificationId:
      ok = r.read_u64(id) && r.read_u32(u32) && r.read_u32(code);
      e.kind = K::kBadMsg;
      break;
    case kFutureSaltsId:
      ok = r.read_u64(id) && r.read_u32(u32) && read_salts(r, &e.salts);
      e.kind = K::kFutureSalts;
      break;
    case kMsgsAckId:
      ok = read_longs(r, &e.ids);
      e.kind = K::kAck;
      break;
    case kRpcResultCid:
    case kPongId:
      ok = r.read_u64(id);
      e.kind = K::kAnswer;
      break;
    default: break;
  }
  if (!ok) return Effect{};
  e.id = static_cast<std::int64_t>(id);
  e.salt = static_cast<std::int64_t>(salt);
  e.code = static_cast<std::int32_t>(code);
  return e;
}

}  // namespace velmora::protocol
