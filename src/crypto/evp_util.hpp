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
