// aes_ctr.hpp: an AES-256-CTR keystream that continues from call to call.
//
// The counter is the whole 16-byte IV read as one big-endian 128-bit number,
// as the protocol's obfuscated transport and every library use it. The
// stream owns its libcrypto context, so the expanded key lives exactly as
// long as the stream and is wiped with it; it is never shared. Not safe for
// two threads at once: callers that share a stream lock it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/evp_util.hpp"

namespace velmora::crypto {

inline constexpr std::size_t kCtrKeySize = 32;
inline constexpr std::size_t kCtrIvSize = 16;

enum class CtrStatus {
  kOk,
  kBadKeyLength,   // key not 32 bytes
  kBadIvLength,    // iv not 16 bytes
  kCipherFailure,  // libcrypto refused; not reachable with valid lengths
};

// The fixed text of each status; callers match on the refusals' texts.
const char* ctr_status_message(CtrStatus s) noexcept;

class CtrStream {
 public:
  CtrStream() = default;
  CtrStream(const CtrStream&) = delete;
  CtrStream& operator=(const CtrStream&) = delete;

  // Checks the lengths, then keys the stream at counter = iv. A stream that
  // was started before begins again.
  CtrStatus start(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* iv,
                  std::size_t iv_len) noexcept;
  bool started() const noexcept { return ctx_ != nullptr; }

  // XORs the next n bytes of keystream over in into out (in == out allowed,
  // any n, not only whole blocks). False when libcrypto refuses, which valid
  // use never meets; out is then wiped.
  bool apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) noexcept;

 private:
  CipherCtx ctx_;  // freed, and so cleansed, with the stream
};

}  // namespace velmora::crypto
