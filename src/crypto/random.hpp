// random.hpp: random bytes for padding, nonces and exponents, from
// libcrypto's generator (RAND_bytes). A crypto-room service: the envelope,
// the key exchange and the session draw from it. No Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::crypto {

// n random bytes into out. Small draws come from a pool kept per thread and
// refilled 4 KiB at a time (one RAND_bytes call costs about as much as
// sealing a small message); a drawn byte is wiped from the pool, so it is
// handed out once. A forked child never sees its parent's pool, whether or
// not the fork ran atfork handlers. Returns false when RAND_bytes refuses.
bool random_bytes(std::uint8_t* out, std::size_t n) noexcept;

}  // namespace velmora::crypto
