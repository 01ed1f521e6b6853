// random.hpp: random bytes for padding, nonces and exponents, from
// libcrypto's generator (RAND_bytes). The module's one owner of random
// bytes: the envelope, the transports, the key exchange (through
// protocol::SystemRandom) and a new session's id draw from it. No Python.
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

// n random bytes straight from RAND_bytes, never staged in the pool: for the
// key exchange, whose draws are few and become its secrets (new_nonce, the
// exponent), so none of them lies in memory before it is asked for.
bool random_bytes_unpooled(std::uint8_t* out, std::size_t n) noexcept;

}  // namespace velmora::crypto
