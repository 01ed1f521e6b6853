#include "protocol/handshake_layouts.hpp"

#include <cstring>

#include "wire/endian.hpp"
#include "wire/wire.hpp"

namespace velmora::protocol::layout {
namespace {

// Reads an answer's fields in order; any shortfall makes it undecodable.
class In {
 public:
  explicit In(Piece body) noexcept : r_(body) {}
  bool u32(std::uint32_t* v) noexcept { return r_.read_u32(*v); }
  bool i32(std::int32_t* v) noexcept {
    std::uint32_t u;
    if (!r_.read_u32(u)) return false;
    *v = static_cast<std::int32_t>(u);
    return true;
  }
  bool raw(std::size_t n, const std::uint8_t** v) noexcept { return r_.read_raw(n, *v); }
  bool string(Piece* v) noexcept { return r_.read_byte_string(*v) == wire::ReadStatus::kOk; }
  std::size_t position() const noexcept { return r_.position(); }
  bool at_end() const noexcept { return r_.remaining() == 0; }

 private:
  wire::Reader r_;
};

// The constructor id first: another object is unexpected, too few bytes for
// one undecodable.
Parse expect_id(In& in, std::uint32_t id, std::uint32_t* seen = nullptr) noexcept {
  std::uint32_t v;
  if (!in.u32(&v)) return Parse::kUndecodable;
  if (seen != nullptr) *seen = v;
  return v == id ? Parse::kOk : Parse::kUnexpected;
}

Parse finish(bool read, const In& in) noexcept {
  return read && in.at_end() ? Parse::kOk : Parse::kUndecodable;
}

}  // namespace

Parse parse_res_pq(Piece body, ResPq* out) noexcept {
  In in(body);
  if (Parse p = expect_id(in, kResPq); p != Parse::kOk) return p;
  std::uint32_t vector = 0, count = 0;
  const std::uint8_t* fps = nullptr;
  const bool read = in.raw(kNonce, &out->nonce) && in.raw(kNonce, &out->server_nonce) &&
                    in.string(&out->pq) && in.u32(&vector) && vector == kVector &&
                    in.u32(&count) && count <= body.size() / 8 && in.raw(std::size_t{count} * 8, &fps);
  if (read) out->fingerprints = Piece(fps, std::size_t{count} * 8);
  return finish(read, in);
}

Parse parse_dh_params(Piece body, DhParams* out) noexcept {
  In in(body);
  std::uint32_t id = 0;
  if (Parse p = expect_id(in, kServerDhParamsOk, &id); p == Parse::kUndecodable) return p;
  if (id != kServerDhParamsOk && id != kServerDhParamsFail) return Parse::kUnexpected;
  out->ok = id == kServerDhParamsOk;
  bool read = in.raw(kNonce, &out->nonce) && in.raw(kNonce, &out->server_nonce);
  read = read && (out->ok ? in.string(&out->encrypted_answer) : in.raw(kNonce, &out->hash));
  return finish(read, in);
}

Parse parse_dh_inner(Piece data, DhInner* out) noexcept {
  In in(data);
  if (Parse p = expect_id(in, kServerDhInnerData); p != Parse::kOk) return p;
  const bool read = in.raw(kNonce, &out->nonce) && in.raw(kNonce, &out->server_nonce) &&
                    in.i32(&out->g) && in.string(&out->dh_prime) && in.string(&out->g_a) &&
                    in.i32(&out->server_time);
  if (!read) return Parse::kUndecodable;
  out->length = in.position();
  return Parse::kOk;
}

Parse parse_dh_gen(Piece body, DhGen* out) noexcept {
  In in(body);
  if (Parse p = expect_id(in, kDhGenOk, &out->id); p == Parse::kUndecodable) return p;
  if (out->id != kDhGenOk && out->id != kDhGenRetry && out->id != kDhGenFail) {
    return Parse::kUnexpected;
  }
  const bool read = in.raw(kNonce, &out->nonce) && in.raw(kNonce, &out->server_nonce) &&
                    in.raw(kNonce, &out->hash);
  return finish(read, in);
}

std::size_t string_size(std::size_t len) noexcept { return wire::byte_string_size(len); }

bool Out::fits(std::size_t n) noexcept {
  if (overflow_ || room_ - len_ < n) {
    overflow_ = true;
    return false;
  }
  return true;
}

void Out::u32(std::uint32_t v) noexcept {
  if (!fits(4)) return;
  wire::store_le(p_ + len_, v);
  len_ += 4;
}

void Out::u64(std::uint64_t v) noexcept {
  if (!fits(8)) return;
  wire::store_le(p_ + len_, v);
  len_ += 8;
}

void Out::raw(Piece v) noexcept {
  if (!fits(v.size())) return;
  if (!v.empty()) std::memcpy(p_ + len_, v.data(), v.size());
  len_ += v.size();
}

void Out::string(Piece v) noexcept {
  const std::size_t total = string_size(v.size());
  if (v.size() > wire::kMaxByteStringLen || !fits(total)) return;
  std::size_t head = 1;
  if (v.size() < 254) {
    p_[len_] = static_cast<std::uint8_t>(v.size());
  } else {
    head = 4;
    wire::store_le(p_ + len_, static_cast<std::uint32_t>(254u | (v.size() << 8)));
  }
  if (!v.empty()) std::memcpy(p_ + len_ + head, v.data(), v.size());
  std::memset(p_ + len_ + head + v.size(), 0, total - head - v.size());
  len_ += total;
}

}  // namespace velmora::protocol::layout
