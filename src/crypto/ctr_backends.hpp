// ctr_backends.hpp: the IPsec library's AES-256-CTR behind CtrStream, and
// its CBC for the short calls of aes_cbc.hpp.
//
// The library's CTR is stateless and counts in the low 32 bits of the
// counter block only, so the stream is kept here: the counter of the next
// block, carried over all 128 bits between jobs that never cross a 32-bit
// wrap, and the unused rest of a block's keystream.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto::detail {

struct IpsecCtr {
  alignas(64) std::uint8_t keys[15 * 16];  // the expanded encryption key
  std::uint8_t counter[16];                 // the next block's counter
  std::uint8_t rest[16];                    // keystream of the block in use
  std::size_t rest_used = 16;               // bytes of rest already used
  // Left unset: ipsec_ctr_start writes them before anything reads them.
  // cppcheck-suppress uninitMemberVar
  IpsecCtr() = default;
  IpsecCtr(const IpsecCtr&) = delete;
  IpsecCtr& operator=(const IpsecCtr&) = delete;
  ~IpsecCtr();
};

// True when the library is built in and this thread's manager is set up.
bool ipsec_ctr_ready() noexcept;
// key 32 bytes, iv 16 (checked by the caller).
bool ipsec_ctr_start(IpsecCtr* s, const std::uint8_t* key, const std::uint8_t* iv) noexcept;
bool ipsec_ctr_apply(IpsecCtr* s, const std::uint8_t* in, std::uint8_t* out, std::size_t n) noexcept;

// Up to this length CBC runs on the library: its key expansion costs some
// 12 ns against the hundreds of keying an EVP context, which short calls
// are mostly made of.
inline constexpr std::size_t kIpsecCbcMax = 4096;
// One CBC call (n a non-zero multiple of 16, key 32 bytes, iv 16); false
// when the library is not there.
bool ipsec_cbc(bool encrypt, const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
               const std::uint8_t* iv, std::uint8_t* out) noexcept;

}  // namespace velmora::crypto::detail
