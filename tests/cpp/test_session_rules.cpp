// The session's pure rules: message ids, the replay window, a received id's
// checks and the wrappers skipped to reach a request's query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include <new>

#include "message/wiped_scratch.hpp"
#include "protocol/session_rules.hpp"
#include "protocol/session_state.hpp"
#include "protocol/wrappers.hpp"

namespace {

using namespace velmora::protocol;
using Bytes = std::vector<std::uint8_t>;
constexpr std::int64_t kT = 1700000000;  // a time of the ids' era
constexpr std::int64_t kSec = std::int64_t{1} << 32;

struct IdCase {
  double now;
  std::int64_t last, want;
};
class MsgId : public ::testing::TestWithParam<IdCase> {};
TEST_P(MsgId, TimeTimesTwoTo32DivisibleBy4AndIncreasing) {
  EXPECT_EQ(next_msg_id(GetParam().now, GetParam().last), GetParam().want);
}
INSTANTIATE_TEST_SUITE_P(Table, MsgId, ::testing::Values(
    IdCase{kT + 0.5, 0, kT * kSec + 0x80000000},          // the fraction in the low half
    IdCase{kT + 0.25, 0, kT * kSec + 0x40000000},
    IdCase{1e-9, 0, 4},                                   // 4.29 of 2^32 in the second: 4
    IdCase{3e-9, 0, 12},                                  // 12.88: truncated, then divisible by 4
    IdCase{kT + 0.5, kT * kSec + 0x80000000, kT * kSec + 0x80000004},  // the clock stands still
    IdCase{kT - 10.0, kT * kSec + 8, kT * kSec + 12}));   // the clock steps back

struct ServerIdCase {
  std::int64_t id;
  ReceiveStatus want;
};
class ServerId : public ::testing::TestWithParam<ServerIdCase> {};
TEST_P(ServerId, ParityAndAge) { EXPECT_EQ(check_server_id(GetParam().id, kT), GetParam().want); }
INSTANTIATE_TEST_SUITE_P(Table, ServerId, ::testing::Values(
    ServerIdCase{kT * kSec + 1, ReceiveStatus::kOk},
    ServerIdCase{kT * kSec + 3, ReceiveStatus::kOk},
    ServerIdCase{kT * kSec + 4, ReceiveStatus::kNotServerId},
    ServerIdCase{kT * kSec + 2, ReceiveStatus::kNotServerId},
    ServerIdCase{(kT - 300) * kSec + 1, ReceiveStatus::kOk},
    ServerIdCase{(kT - 301) * kSec + 1, ReceiveStatus::kTooOld},
    ServerIdCase{(kT + 30) * kSec + 1, ReceiveStatus::kOk},
    ServerIdCase{(kT + 31) * kSec + 1, ReceiveStatus::kTooNew},
    ServerIdCase{-3, ReceiveStatus::kTooNew}));  // an id with the top bit set dates past 2106

TEST(ReplayWindow, KeepsTheHighestIdsOnce) {
  ReplayWindow w;
  const std::int64_t base = kT * kSec;
  // In order past the window's size, then out of order inside it.
  for (std::size_t i = 0; i < kReplayWindow + 10; ++i) {
    const std::int64_t id = base + 8 * static_cast<std::int64_t>(i) + (i % 2 ? 5 : 1);
    ASSERT_EQ(w.check(id), ReceiveStatus::kOk) << i;
    w.insert(id);
    EXPECT_EQ(w.check(id), ReceiveStatus::kReplayed) << i;
  }
  EXPECT_EQ(w.size(), kReplayWindow);
  EXPECT_EQ(w.check(base + 1), ReceiveStatus::kBelowWindow);     // dropped: below the lowest
  EXPECT_EQ(w.check(base + 80 + 1), ReceiveStatus::kReplayed);   // the lowest still held
  EXPECT_EQ(w.check(base + 80 + 3), ReceiveStatus::kOk);         // a gap inside the window
  w.insert(base + 80 + 3);
  EXPECT_EQ(w.check(base + 80 + 3), ReceiveStatus::kReplayed);
  EXPECT_EQ(w.check(base + 80 + 1), ReceiveStatus::kBelowWindow);  // pushed out by it
}

TEST(SessionState, ForgetsTheOldestPastTheUnansweredLimit) {
  const std::vector<std::uint8_t> key(kAuthKeySize, 7);
  SessionState s(key.data(), 1, 0, 0);
  const auto id = [](std::size_t i) { return static_cast<std::int64_t>(4 * (i + 1)); };
  for (std::size_t i = 0; i < kMaxPending; ++i) s.remember(id(i), {});
  Effect answer;
  answer.kind = Effect::Kind::kAnswer;
  answer.id = id(1);  // answered, but kept while the oldest is not
  s.apply(1, 0, answer, static_cast<double>(kT));
  s.remember(id(kMaxPending), {});  // the limit counts unanswered ones: none goes yet
  EXPECT_NE(s.find_pending(id(0)), nullptr);
  s.remember(id(kMaxPending + 1), {});  // one over: the oldest unanswered goes
  EXPECT_EQ(s.find_pending(id(0)), nullptr);
  EXPECT_NE(s.find_pending(id(2)), nullptr);
  EXPECT_NE(s.find_pending(id(kMaxPending + 1)), nullptr);
  std::size_t kept = 0;
  s.each_pending([&](const PendingRequest&) { ++kept; });
  EXPECT_EQ(kept, kMaxPending);
}

void put32(Bytes* b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
Bytes words(std::initializer_list<std::uint32_t> ws) {
  Bytes b;
  for (auto w : ws) put32(&b, w);
  return b;
}

struct WrapCase {
  Bytes body;
  std::optional<std::size_t> want;
};
class Wrappers : public ::testing::TestWithParam<WrapCase> {};
TEST_P(Wrappers, InnermostQuery) { EXPECT_EQ(innermost_query(GetParam().body), GetParam().want); }
// Layouts written out by hand from the published API text; the query is 0x12345678.
INSTANTIATE_TEST_SUITE_P(Table, Wrappers, ::testing::Values(
    WrapCase{words({0x12345678}), 0},
    WrapCase{words({0xda9b0d0d, 144, 0x12345678}), 8},                      // invokeWithLayer
    WrapCase{words({0xbf9459b7, 0xda9b0d0d, 144, 0x12345678}), 12},         // nested
    WrapCase{words({0xcb9f372d, 1, 2, 0x12345678}), 12},                    // invokeAfterMsg
    WrapCase{words({0x3dc4b4f0, 0x1cb5c415, 2, 1, 2, 3, 4, 0x12345678}), 28},  // invokeAfterMsgs
    WrapCase{words({0x365275f2, 0x0ae30253, 1, 2, 0x12345678}), 16},        // invokeWithMessagesRange
    WrapCase{words({0xaca9fd2e, 1, 2, 0x12345678}), 12},                    // invokeWithTakeout
    // initConnection: flags 3, api_id, six empty strings, a proxy ("" and a port),
    // params jsonArray[jsonNull, jsonObject{"": jsonBool}].
    WrapCase{words({0xc1cd5ea9, 3, 7, 0, 0, 0, 0, 0, 0, 0x75588b3f, 0, 443, 0xf7444763, 0x1cb5c415,
                    2, 0x3f6d7b68, 0x99c1d49d, 0x1cb5c415, 1, 0xc0de1bd9, 0, 0xc7345e6a, 0x997275b5,
                    0x12345678}), 92},
    WrapCase{words({0xcb9f372d, 1}), std::nullopt},                         // cut short
    WrapCase{words({0x365275f2, 0x11111111, 1, 2, 0x12345678}), std::nullopt}));  // not a range

// The plaintext scratch of encrypt and decrypt is wiped when it goes, on
// success too: its inline buffer, read back in the storage it lived in.
TEST(WipedScratch, WipesOnEveryExit) {
  alignas(velmora::message::WipedScratch) std::uint8_t storage[sizeof(velmora::message::WipedScratch)];
  auto* s = new (storage) velmora::message::WipedScratch(64);
  std::fill(s->data(), s->data() + 64, std::uint8_t{0xA5});
  const std::size_t at = static_cast<std::size_t>(s->data() - storage);
  s->~WipedScratch();
  // What the destructor left is read as plain memory: the barrier tells the
  // compiler that memory may have changed, so it neither drops the wipe nor
  // takes the storage for uninitialised once the object's life has ended.
  asm volatile("" : : "r"(storage) : "memory");
  const volatile std::uint8_t* left = storage + at;
  int zeros = 0;
  for (std::size_t i = 0; i < 64; ++i) zeros += left[i] == 0;
  EXPECT_EQ(zeros, 64);
}

}  // namespace
