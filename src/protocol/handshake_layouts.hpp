// handshake_layouts.hpp: the key exchange's messages by their fixed TL
// layouts, independent of whatever schema a client has loaded.
//
// Parsing reads in place (the views point into the caller's bytes) and
// takes an answer whole: bytes past the object are refused. Writing goes to
// a caller's buffer through Out, which checks every store against its room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::protocol::layout {

using Piece = std::span<const std::uint8_t>;

inline constexpr std::uint32_t kReqPqMulti = 0xbe7e8ef1u;
inline constexpr std::uint32_t kResPq = 0x05162463u;
inline constexpr std::uint32_t kPqInnerDataDc = 0xa9f55f95u;
inline constexpr std::uint32_t kPqInnerDataTempDc = 0x56fddf88u;
inline constexpr std::uint32_t kReqDhParams = 0xd712e4beu;
inline constexpr std::uint32_t kServerDhParamsOk = 0xd0e8075cu;
inline constexpr std::uint32_t kServerDhParamsFail = 0x79cb045du;
inline constexpr std::uint32_t kServerDhInnerData = 0xb5890dbau;
inline constexpr std::uint32_t kClientDhInnerData = 0x6643b654u;
inline constexpr std::uint32_t kSetClientDhParams = 0xf5045f1fu;
inline constexpr std::uint32_t kDhGenOk = 0x3bcbf734u;
inline constexpr std::uint32_t kDhGenRetry = 0x46dc1fb9u;
inline constexpr std::uint32_t kDhGenFail = 0xa69dae02u;
inline constexpr std::uint32_t kVector = 0x1cb5c415u;

inline constexpr std::size_t kNonce = 16;
inline constexpr std::size_t kNewNonce = 32;

enum class Parse : std::uint8_t { kOk, kUnexpected, kUndecodable };

struct ResPq {
  const std::uint8_t* nonce = nullptr;
  const std::uint8_t* server_nonce = nullptr;
  Piece pq;
  Piece fingerprints;  // 8 bytes each, little-endian
};
Parse parse_res_pq(Piece body, ResPq* out) noexcept;

// server_DH_params_ok (ok, with the encrypted answer) or _fail (with the
// new_nonce_hash in `hash`).
struct DhParams {
  bool ok = false;
  const std::uint8_t* nonce = nullptr;
  const std::uint8_t* server_nonce = nullptr;
  Piece encrypted_answer;
  const std::uint8_t* hash = nullptr;
};
Parse parse_dh_params(Piece body, DhParams* out) noexcept;

// server_DH_inner_data at the start of data (padding may follow; length
// says where the object ends).
struct DhInner {
  const std::uint8_t* nonce = nullptr;
  const std::uint8_t* server_nonce = nullptr;
  std::int32_t g = 0;
  Piece dh_prime;
  Piece g_a;
  std::int32_t server_time = 0;
  std::size_t length = 0;
};
Parse parse_dh_inner(Piece data, DhInner* out) noexcept;

// dh_gen_ok, dh_gen_retry or dh_gen_fail: which one in id.
struct DhGen {
  std::uint32_t id = 0;
  const std::uint8_t* nonce = nullptr;
  const std::uint8_t* server_nonce = nullptr;
  const std::uint8_t* hash = nullptr;
};
Parse parse_dh_gen(Piece body, DhGen* out) noexcept;

// Bytes a TL byte string of len bytes takes.
std::size_t string_size(std::size_t len) noexcept;

// A bounded writer over a caller's buffer; a store past the room sets
// overflow and writes nothing (the layouts' sizes are fixed, so this only
// guards a mistake).
class Out {
 public:
  Out(std::uint8_t* p, std::size_t room) noexcept : p_(p), room_(room) {}
  void u32(std::uint32_t v) noexcept;
  void u64(std::uint64_t v) noexcept;
  void raw(Piece v) noexcept;
  void string(Piece v) noexcept;
  std::size_t size() const noexcept { return len_; }
  bool overflow() const noexcept { return overflow_; }

 private:
  bool fits(std::size_t n) noexcept;
  std::uint8_t* p_;
  std::size_t room_;
  std::size_t len_ = 0;
  bool overflow_ = false;
};

}  // namespace velmora::protocol::layout
