// handshake.hpp: the client's side of the key exchange, a state machine
// that takes the server's answers and gives the next requests, with no I/O.
//
// req_pq_multi -> resPQ -> req_DH_params -> server_DH_params ->
// set_client_DH_params -> dh_gen_ok (or dh_gen_retry: again). Each answer
// is checked whole before anything is done with it. The secrets (new_nonce,
// the temporary AES key and IV, the exponent b, the auth key until it is
// handed over) live in this object alone and are wiped as soon as they are
// no longer needed, on any refusal and in the destructor. A refusal ends the
// exchange: every later call is refused too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/handshake_layouts.hpp"
#include "protocol/random_source.hpp"
#include "protocol/rsa_pad.hpp"
#include "protocol/secret.hpp"

namespace velmora::protocol {

enum class HandshakeStatus : std::uint8_t {
  kOk,
  // Refusals: the exchange ends.
  kNonceDiffers,
  kServerNonceDiffers,
  kNoKnownKey,
  kPqNotProduct,
  kDhParamsRefused,      // server_DH_params_fail, its hash checked
  kNewNonceHashDiffers,  // ... with a wrong new_nonce_hash
  kAnswerLength,
  kAnswerHash,
  kDhPrimeBits,
  kDhPrimeNotPrime,
  kDhPrimeNotSafe,
  kGRange,
  kGNoGenerator,
  kGaRange,
  kHash1Differs,
  kHash2Differs,
  kHash3Differs,
  kKeyRefused,           // dh_gen_fail, its hash checked
  kTooManyRetries,
  kUnexpected,           // another kind of object than the step expects
  kUndecodable,
  kRandomFailure,
  kArithmetic,           // libcrypto refused; not reachable with valid numbers
  kEnded,                // a call after a refusal
  // Calls out of order: nothing changes, the exchange goes on.
  kNotStarted,
  kStartedTwice,
  kFinished,
};

// The fixed text of each status (callers match on them).
const char* handshake_status_message(HandshakeStatus s) noexcept;
// Whether s is a call out of order rather than a refusal.
bool handshake_misuse(HandshakeStatus s) noexcept;

inline constexpr unsigned kMaxRetries = 8;  // dh_gen_retry answers taken

// The values the exchange derives from its nonces and key.
// The temporary AES-256-IGE key (32 bytes) and IV (32) of the DH messages.
void tmp_aes_key_iv(const std::uint8_t* new_nonce, const std::uint8_t* server_nonce,
                    std::uint8_t* key, std::uint8_t* iv) noexcept;
// new_nonce_hash1..3: SHA-1(new_nonce + which + aux_hash)[4:20], 16 bytes.
void new_nonce_hash(const std::uint8_t* new_nonce, const std::uint8_t* auth_key,
                    std::uint8_t which, std::uint8_t* out) noexcept;
// SHA-1(auth_key)[0:8] as a little-endian long (a retry's retry_id).
std::uint64_t aux_hash(const std::uint8_t* auth_key) noexcept;
// new_nonce[0:8] XOR server_nonce[0:8] as a little-endian long.
std::int64_t server_salt(const std::uint8_t* new_nonce, const std::uint8_t* server_nonce) noexcept;  // dh_gen_retry answers taken

// What a finished exchange hands over. The key is copied out by the caller
// and wiped with this object.
struct AuthKey {
  Secret<256> key;
  std::uint64_t key_id = 0;
  std::int64_t server_salt = 0;
  std::int64_t time_offset = 0;  // server time less the caller's clock, rounded
  bool temporary = false;
  double expires_at = 0;  // the caller's clock when a temporary key ends
};

class Handshake {
 public:
  // keys: the server keys the client trusts; expires_in set for a
  // temporary key.
  Handshake(std::vector<RsaKey> keys, std::int32_t dc, std::optional<std::int32_t> expires_in);
  ~Handshake() { wipe(); }
  Handshake(const Handshake&) = delete;
  Handshake& operator=(const Handshake&) = delete;

  // The req_pq_multi body.
  HandshakeStatus start(RandomSource& random, std::vector<std::uint8_t>* request);
  // One server answer, arrived when the caller's clock read now. On kOk,
  // either *request is the next request, or (*done set) *key is filled.
  HandshakeStatus receive(layout::Piece answer, double now, RandomSource& random,
                          std::vector<std::uint8_t>* request, bool* done, AuthKey* key);

  // For the tests: whether any secret is still held (all zero otherwise).
  bool holds_secrets() const noexcept;

 private:
  enum class Stage : std::uint8_t { kNew, kResPq, kDhParams, kDhGen, kDone, kEnded };

  HandshakeStatus on_res_pq(layout::Piece answer, double now, RandomSource& random,
                            std::vector<std::uint8_t>* request);
  HandshakeStatus on_dh_params(layout::Piece answer, double now, RandomSource& random,
                               std::vector<std::uint8_t>* request);
  HandshakeStatus on_dh_inner(const std::uint8_t* plain, std::size_t len, double now);
  HandshakeStatus on_dh_gen(layout::Piece answer, RandomSource& random,
                            std::vector<std::uint8_t>* request, bool* done, AuthKey* key);
  HandshakeStatus client_dh(std::uint64_t retry_id, RandomSource& random,
                            std::vector<std::uint8_t>* request);
  HandshakeStatus new_b(RandomSource& random, std::uint8_t* g_b);
  const RsaKey* find_key(layout::Piece fingerprints) const noexcept;
  HandshakeStatus check_nonces(const std::uint8_t* nonce, const std::uint8_t* server_nonce) const;
  void hand_over(AuthKey* key) noexcept;
  HandshakeStatus refuse(HandshakeStatus s) noexcept;
  void wipe() noexcept;

  std::vector<RsaKey> keys_;
  std::int32_t dc_;
  std::optional<std::int32_t> expires_in_;
  Stage stage_ = Stage::kNew;
  unsigned retries_ = 0;
  std::uint8_t nonce_[layout::kNonce] = {};
  std::uint8_t server_nonce_[layout::kNonce] = {};
  std::uint8_t dh_prime_[256] = {};
  std::uint8_t g_a_[256] = {};
  std::int32_t g_ = 0;
  std::int64_t time_offset_ = 0;
  double expires_at_ = 0;
  Secret<layout::kNewNonce> new_nonce_;
  Secret<32> tmp_key_;
  Secret<32> tmp_iv_;
  Secret<256> auth_key_;
};

}  // namespace velmora::protocol
