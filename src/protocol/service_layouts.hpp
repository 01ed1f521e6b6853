// service_layouts.hpp: the service messages a session lives on, by their
// fixed layouts, whatever the current schema holds; and what each asks of
// the session that receives it.
//
// The layouts are those of the protocol's published schema text; the
// decoder (src/message) builds their objects from this table, and the
// session reads the few fields it acts on with read_effect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "wire/wire.hpp"

namespace velmora::protocol {

inline constexpr std::uint32_t kMsgsAckId = 0x62d6b459u;
inline constexpr std::uint32_t kBadMsgNotificationId = 0xa7eff811u;
inline constexpr std::uint32_t kBadServerSaltId = 0xedab447bu;
inline constexpr std::uint32_t kNewSessionCreatedId = 0x9ec20908u;
inline constexpr std::uint32_t kFutureSaltsId = 0xae500895u;
inline constexpr std::uint32_t kPongId = 0x347773c5u;
inline constexpr std::uint32_t kRpcResultCid = 0xf35c6d01u;

// One field: its name and how it reads. kObject stands for the one field
// of the table no primitive covers, future_salts' bare vector<future_salt>.
struct ServiceField {
  const char* name;
  wire::TypeKind kind;
  wire::TypeKind element = wire::TypeKind::kInt;  // of a kVector
};

// Laid out as the table's entries read; a constant table of a few dozen entries.
struct ServiceLayout {  // NOLINT(clang-analyzer-optin.performance.Padding)
  std::uint32_t cid;
  const char* name;
  std::uint8_t count;  // fields used
  ServiceField fields[4];
};

// The layout of a service constructor, or null.
const ServiceLayout* find_service_layout(std::uint32_t cid) noexcept;

// The bare future_salt: valid_since, valid_until (int each), salt (long).
inline constexpr std::size_t kFutureSaltSize = 16;

struct FutureSalt {
  std::int32_t valid_since = 0;
  std::int32_t valid_until = 0;
  std::int64_t salt = 0;
};

// What a received message asks of the session.
struct Effect {
  enum class Kind : std::uint8_t {
    kNone,
    kNewSession,   // salt: the session's salt from now on
    kBadSalt,      // salt: the new server salt; id: the refused message
    kBadMsg,       // code: error_code; id: the refused message
    kFutureSalts,  // salts; id: the request answered
    kAck,          // ids: the messages acknowledged
    kAnswer,       // id: the request answered (rpc_result, pong)
  };
  Kind kind = Kind::kNone;
  std::int64_t id = 0;
  std::int64_t salt = 0;
  std::int32_t code = 0;
  std::vector<std::int64_t> ids;
  std::vector<FutureSalt> salts;
};

// The effect of one message's body (inflated already); kNone for any
// other body, and for one too short for its fields.
Effect read_effect(std::span<const std::uint8_t> body);

}  // namespace velmora::protocol
