#include "protocol/wrappers.hpp"

#include "wire/wire.hpp"

namespace velmora::protocol {
namespace {

constexpr std::uint32_t kInvokeAfterMsg = 0xcb9f372du;
constexpr std::uint32_t kInvokeAfterMsgs = 0x3dc4b4f0u;
constexpr std::uint32_t kInitConnection = 0xc1cd5ea9u;
constexpr std::uint32_t kInvokeWithLayer = 0xda9b0d0du;
constexpr std::uint32_t kInvokeWithoutUpdates = 0xbf9459b7u;
constexpr std::uint32_t kInvokeWithMessagesRange = 0x365275f2u;
constexpr std::uint32_t kInvokeWithTakeout = 0xaca9fd2eu;
constexpr std::uint32_t kMessageRange = 0x0ae30253u;
constexpr std::uint32_t kInputClientProxy = 0x75588b3fu;

// initConnection's params: a JSONValue tree. Nesting past this is refused
// rather than followed down the stack.
constexpr unsigned kMaxJsonDepth = 64;
constexpr std::uint32_t kJsonNull = 0x3f6d7b68u;
constexpr std::uint32_t kJsonBool = 0xc7345e6au;
constexpr std::uint32_t kJsonNumber = 0x2be0dfa4u;
constexpr std::uint32_t kJsonString = 0xb71e767au;
constexpr std::uint32_t kJsonArray = 0xf7444763u;
constexpr std::uint32_t kJsonObject = 0x99c1d49du;
constexpr std::uint32_t kJsonObjectValue = 0xc0de1bd9u;

using wire::Reader;

bool skip(Reader& r, std::size_t n) {
  const std::uint8_t* p = nullptr;
  return r.read_raw(n, p);
}

bool skip_string(Reader& r) {
  std::span<const std::uint8_t> s;
  return r.read_byte_string(s) == wire::ReadStatus::kOk;
}

bool skip_json(Reader& r, unsigned depth);

// A boxed Vector<T> whose elements each skip by one call of each.
template <class Each>
bool skip_vector(Reader& r, Each&& each) {
  std::uint32_t id = 0, n = 0;
  if (!r.read_u32(id) || id != wire::kVectorId || !r.read_u32(n)) return false;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (!each()) return false;
  }
  return true;
}

bool skip_json(Reader& r, unsigned depth) {
  std::uint32_t id = 0;
  if (depth > kMaxJsonDepth || !r.read_u32(id)) return false;
  switch (id) {
    case kJsonNull: return true;
    case kJsonBool: return skip(r, 4);
    case kJsonNumber: return skip(r, 8);
    case kJsonString: return skip_string(r);
    case kJsonArray: return skip_vector(r, [&] { return skip_json(r, depth + 1); });
    case kJsonObject:
      return skip_vector(r, [&] {
        std::uint32_t kv = 0;
        return r.read_u32(kv) && kv == kJsonObjectValue && skip_string(r) && skip_json(r, depth + 1);
      });
    default: return false;
  }
}

bool skip_init_connection(Reader& r) {
  std::uint32_t flags = 0, proxy = 0;
  if (!r.read_u32(flags) || !skip(r, 4)) return false;  // flags, api_id
  for (int i = 0; i < 6; ++i) {                          // device_model .. lang_code
    if (!skip_string(r)) return false;
  }
  if (flags & 1) {
    if (!r.read_u32(proxy) || proxy != kInputClientProxy || !skip_string(r) || !skip(r, 4)) {
      return false;
    }
  }
  return !(flags & 2) || skip_json(r, 0);
}

// Moves r past the fields of the wrapper cid, up to its query.
bool skip_fields(Reader& r, std::uint32_t cid) {
  std::uint32_t range = 0;
  switch (cid) {
    case kInvokeAfterMsg:
    case kInvokeWithTakeout: return skip(r, 8);
    case kInvokeAfterMsgs: return skip_vector(r, [&] { return skip(r, 8); });
    case kInitConnection: return skip_init_connection(r);
    case kInvokeWithLayer: return skip(r, 4);
    case kInvokeWithoutUpdates: return true;
    case kInvokeWithMessagesRange: return r.read_u32(range) && range == kMessageRange && skip(r, 8);
    default: return false;
  }
}

}  // namespace

bool is_wrapper(std::uint32_t cid) noexcept {
  switch (cid) {
    case kInvokeAfterMsg:
    case kInvokeAfterMsgs:
    case kInitConnection:
    case kInvokeWithLayer:
    case kInvokeWithoutUpdates:
    case kInvokeWithMessagesRange:
    case kInvokeWithTakeout: return true;
    default: return false;
  }
}

std::optional<std::size_t> innermost_query(std::span<const std::uint8_t> body) noexcept {
  Reader r(body);
  std::size_t at = 0;
  std::uint32_t cid = 0;
  // Each wrapper takes at least its 4-byte id, so the loop ends.
  while (r.read_u32(cid) && is_wrapper(cid)) {
    if (!skip_fields(r, cid)) return std::nullopt;
    at = r.position();
  }
  return at;
}

}  // namespace velmora::protocol
