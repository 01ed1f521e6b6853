// aes_ctr.hpp: an AES-256-CTR keystream that continues from call to call.
//
// The counter is the whole 16-byte IV read as one big-endian 128-bit number,
// as the protocol's obfuscated transport and every library use it. Two
// backends: Intel's multi-buffer IPsec library where the build found it
// (faster with vector AES), libcrypto's EVP everywhere else. The stream owns
// its expanded key (in its libcrypto context, or its own schedule), which
// lives exactly as long as the stream, is wiped with it and is never shared.
// Not safe for two threads at once: callers that share a stream lock it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "crypto/ctr_backends.hpp"
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

enum class CtrBackend { kOpenSsl, kIpsecMb };

// The backend of this process, chosen on the first call: the IPsec library
// when it is built in and a manager could be set up, libcrypto otherwise.
CtrBackend ctr_backend() noexcept;
// Every backend this build can run, the chosen one first.
std::span<const CtrBackend> ctr_backends() noexcept;

class CtrStream {
 public:
  CtrStream() = default;
  CtrStream(const CtrStream&) = delete;
  CtrStream& operator=(const CtrStream&) = delete;

  // Checks the lengths, then keys the stream at counter = iv. A stream that
  // was started before begins again.
  CtrStatus start(const std::uint8_t* key, std::size_t key_len, const std::uint8_t* iv,
                  std::size_t iv_len, CtrBackend backend = ctr_backend()) noexcept;
  bool started() const noexcept { return ctx_ != nullptr || ipsec_ != nullptr; }

  // XORs the next n bytes of keystream over in into out (in == out allowed,
  // any n, not only whole blocks). False when libcrypto refuses, which valid
  // use never meets; out is then wiped.
  bool apply(const std::uint8_t* in, std::uint8_t* out, std::size_t n) noexcept;

 private:
  CipherCtx ctx_;                           // libcrypto's: freed, and so cleansed, with the stream
  std::unique_ptr<detail::IpsecCtr> ipsec_;  // the IPsec library's: wiped with the stream
};

}  // namespace velmora::crypto
