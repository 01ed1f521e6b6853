// AES-256-IGE through Intel's multi-buffer IPsec library, where the build
// found it: the library's key expansion, then one ECB job per block. IGE
// chains every block on the one before, so a block's job is all the library
// can be given at a time. A chained job costs about what EVP's call per
// block does; the gain is the set-up, a key expansion of some 12 ns against
// the 100 and more of giving an EVP context its key.
#include "crypto/ige_backends.hpp"

#if VELMORA_IPSEC_MB

#include <intel-ipsec-mb.h>

#include <memory>

#include "crypto/aes_ige.hpp"
#include "crypto/gcm_backends.hpp"

namespace velmora::crypto::detail {
namespace {

struct ManagerFree {
  void operator()(IMB_MGR* m) const noexcept { free_mb_mgr(m); }
};
using Manager = std::unique_ptr<IMB_MGR, ManagerFree>;

// One manager per thread: jobs queue in their manager, so threads must not
// share one. It holds the processor's code paths and the last jobs' buffer
// pointers, never a key; it is freed when its thread ends.
IMB_MGR* thread_manager() noexcept {
  thread_local const Manager mgr = [] {
    Manager m(alloc_mb_mgr(0));
    if (m) {
      IMB_ARCH arch = IMB_ARCH_NONE;
      init_mb_mgr_auto(m.get(), &arch);
      if (imb_get_errno(m.get()) != 0 || !ipsec_arch_used(arch)) m.reset();
    }
    return m;
  }();
  return mgr.get();
}

// Both round-key schedules of one call (the library expands them together),
// on the stack and wiped when the call ends, whatever its outcome.
struct Schedules {
  alignas(16) std::uint8_t enc[15 * kAesBlock];
  alignas(16) std::uint8_t dec[15 * kAesBlock];
  // Left unset: the key expansion writes both before anything reads them.
  // cppcheck-suppress uninitMemberVar
  Schedules() = default;
  Schedules(const Schedules&) = delete;
  Schedules& operator=(const Schedules&) = delete;
  ~Schedules() { explicit_bzero(this, sizeof *this); }
};

// Enciphers or deciphers the block at b in place. The first job of a call
// goes through the library's argument checks; the others differ from it only
// in the block's address and skip them.
bool block(IMB_MGR* mgr, const Schedules& k, IMB_CIPHER_DIRECTION dir, std::uint8_t* b,
           bool checked) noexcept {
  IMB_JOB* job = IMB_GET_NEXT_JOB(mgr);
  job->cipher_mode = IMB_CIPHER_ECB;
  job->cipher_direction = dir;
  job->chain_order = dir == IMB_DIR_ENCRYPT ? IMB_ORDER_CIPHER_HASH : IMB_ORDER_HASH_CIPHER;
  job->hash_alg = IMB_AUTH_NULL;
  job->enc_keys = k.enc;
  job->dec_keys = k.dec;
  job->key_len_in_bytes = IMB_KEY_256_BYTES;
  job->src = b;
  job->dst = b;
  job->cipher_start_src_offset_in_bytes = 0;
  job->msg_len_to_cipher_in_bytes = kAesBlock;
  job->iv = nullptr;
  job->iv_len_in_bytes = 0;
  // ECB is not queued: the job comes back done from its own submission.
  const IMB_JOB* done = checked ? IMB_SUBMIT_JOB(mgr) : IMB_SUBMIT_JOB_NOCHECK(mgr);
  return done == job && done->status == IMB_STATUS_COMPLETED;
}

// Both directions are one loop: a block is X ^ a fed to the cipher, its
// result ^ b, then a becomes the new block and b the one read. Encryption
// starts with a = c0, b = p0; decryption with a = p0, b = c0.
template <IMB_CIPHER_DIRECTION Dir>
bool ipsec_ige(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
               const std::uint8_t* iv, std::uint8_t* out) noexcept {
  IMB_MGR* mgr = thread_manager();
  if (mgr == nullptr) return false;
  Schedules k;
  IMB_AES_KEYEXP_256(mgr, key, k.enc, k.dec);
  const std::uint8_t* a = Dir == IMB_DIR_ENCRYPT ? iv : iv + kAesBlock;
  const std::uint8_t* b = Dir == IMB_DIR_ENCRYPT ? iv + kAesBlock : iv;
  for (std::size_t off = 0; off < n; off += kAesBlock) {
    std::uint8_t* x = out + off;
    xor16(x, in + off, a);
    if (!block(mgr, k, Dir, x, off == 0)) return false;
    xor16(x, x, b);
    a = x;
    b = in + off;
  }
  return true;
}

}  // namespace

bool ipsec_ige_ready() noexcept { return thread_manager() != nullptr; }

bool ipsec_ige_encrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                       const std::uint8_t* iv, std::uint8_t* out) noexcept {
  return ipsec_ige<IMB_DIR_ENCRYPT>(in, n, key, iv, out);
}

bool ipsec_ige_decrypt(const std::uint8_t* in, std::size_t n, const std::uint8_t* key,
                       const std::uint8_t* iv, std::uint8_t* out) noexcept {
  return ipsec_ige<IMB_DIR_DECRYPT>(in, n, key, iv, out);
}

}  // namespace velmora::crypto::detail

#else  // built without the library: it never gets chosen

namespace velmora::crypto::detail {

bool ipsec_ige_ready() noexcept { return false; }
bool ipsec_ige_encrypt(const std::uint8_t*, std::size_t, const std::uint8_t*, const std::uint8_t*,
                       std::uint8_t*) noexcept {
  return false;
}
bool ipsec_ige_decrypt(const std::uint8_t*, std::size_t, const std::uint8_t*, const std::uint8_t*,
                       std::uint8_t*) noexcept {
  return false;
}

}  // namespace velmora::crypto::detail

#endif
