// evp_util.hpp: ownership of libcrypto cipher contexts.
#pragma once

#include <openssl/evp.h>

#include <memory>

namespace velmora::crypto {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const noexcept { EVP_CIPHER_CTX_free(c); }
};
// EVP_CIPHER_CTX_free also wipes the expanded key held in the context.
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

}  // namespace velmora::crypto

namespace velmora::crypto {

// One context per thread, empty between calls: the reset at the end of each
// call frees (and cleanses) the cipher state with the key schedule in it, so
// only the context's own allocation is saved.
class ThreadCipherCtx {
 public:
  ThreadCipherCtx() noexcept {
    thread_local CipherCtx ctx(EVP_CIPHER_CTX_new());
    ctx_ = ctx.get();
  }
  ThreadCipherCtx(const ThreadCipherCtx&) = delete;
  ThreadCipherCtx& operator=(const ThreadCipherCtx&) = delete;
  ~ThreadCipherCtx() { EVP_CIPHER_CTX_reset(ctx_); }
  EVP_CIPHER_CTX* get() const noexcept { return ctx_; }

 private:
  EVP_CIPHER_CTX* ctx_;
};

}  // namespace velmora::crypto
