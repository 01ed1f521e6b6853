// AES-256-GCM through Intel's multi-buffer IPsec library, where the build
// found it. The library's manager picks the SSE, AVX2 or AVX-512 code for
// the processor; our code only calls through it.
#include "crypto/gcm_backends.hpp"

#if VELMORA_IPSEC_MB

#include <intel-ipsec-mb.h>
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

#include "crypto/aes_gcm.hpp"

namespace velmora::crypto::detail {
namespace {

struct Manager {
  IMB_MGR* mgr = nullptr;
  char name[64] = {};
};

const char* arch_name(IMB_ARCH a) noexcept {
  switch (a) {
    case IMB_ARCH_SSE: return "SSE";
    case IMB_ARCH_AVX: return "AVX";
    case IMB_ARCH_AVX2: return "AVX2";
    case IMB_ARCH_AVX512: return "AVX-512";
    default: return nullptr;
  }
}

// One manager for the process, never freed: it holds only function
// pointers and the processor's features, no key.
const Manager& manager() noexcept {
  static const Manager m = [] {
    Manager r;
    IMB_MGR* mgr = alloc_mb_mgr(0);
    if (mgr == nullptr) return r;
    IMB_ARCH arch = IMB_ARCH_NONE;
    init_mb_mgr_auto(mgr, &arch);
    const char* arch_text = arch_name(arch);
    if (imb_get_errno(mgr) != 0 || !ipsec_arch_used(arch)) {
      free_mb_mgr(mgr);
      return r;
    }
    // A name cut short at 63 characters would still name the library.
    (void)std::snprintf(r.name, sizeof r.name, "ipsec-mb %s (%s)", imb_get_version_str(),
                        arch_text);
    r.mgr = mgr;
    return r;
  }();
  return m;
}

// The expanded key and the running state of one call; both are wiped when
// the call ends, whatever its outcome. explicit_bzero is glibc's memset that
// the compiler may not drop, a quarter of the cost of the byte-careful wipes
// (imb_clear_mem, OPENSSL_cleanse) over these 1.1 KiB.
struct CallState {
  gcm_key_data key;  // 64-byte aligned by its own declaration
  gcm_context_data ctx;
  CallState() = default;
  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;
  ~CallState() { explicit_bzero(this, sizeof *this); }
};

}  // namespace

bool ipsec_arch_used(int arch) noexcept {
  return arch_name(static_cast<IMB_ARCH>(arch)) != nullptr;
}

const char* ipsec_prepare() noexcept {
  const Manager& m = manager();
  return m.mgr ? m.name : nullptr;
}

bool ipsec_seal(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* in,
                std::size_t n, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept {
  IMB_MGR* mgr = manager().mgr;
  if (mgr == nullptr) return false;
  CallState s;
  IMB_AES256_GCM_PRE(mgr, key, &s.key);
  IMB_AES256_GCM_ENC(mgr, &s.key, &s.ctx, out, in, n, nonce, aad, aad_len, out + n, kGcmTagSize);
  return true;
}

bool ipsec_open(const std::uint8_t* key, const std::uint8_t* nonce, const std::uint8_t* sealed,
                std::size_t len, const std::uint8_t* aad, std::size_t aad_len,
                std::uint8_t* out) noexcept {
  IMB_MGR* mgr = manager().mgr;
  if (mgr == nullptr) return false;
  std::uint8_t tag[kGcmTagSize];
  {
    CallState s;
    IMB_AES256_GCM_PRE(mgr, key, &s.key);
    IMB_AES256_GCM_DEC(mgr, &s.key, &s.ctx, out, sealed, len, nonce, aad, aad_len, tag,
                       kGcmTagSize);
  }
  return CRYPTO_memcmp(tag, sealed + len, kGcmTagSize) == 0;
}

}  // namespace velmora::crypto::detail

#else  // built without the library: it never gets chosen

namespace velmora::crypto::detail {

bool ipsec_arch_used(int) noexcept { return false; }
const char* ipsec_prepare() noexcept { return nullptr; }
bool ipsec_seal(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::size_t,
                const std::uint8_t*, std::size_t, std::uint8_t*) noexcept {
  return false;
}
bool ipsec_open(const std::uint8_t*, const std::uint8_t*, const std::uint8_t*, std::size_t,
                const std::uint8_t*, std::size_t, std::uint8_t*) noexcept {
  return false;
}

}  // namespace velmora::crypto::detail

#endif
