// The core's process-wide state with threads at once: the schema store and the
// per-thread random pools. Each result is checked here; `make tsan` runs these
// under ThreadSanitizer, which reports any access the locks do not order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "crypto/random.hpp"
#include "schema/schema.hpp"

namespace {

using velmora::schema::SchemaStore;

std::shared_ptr<const velmora::schema::Schema> schema_of_layer(std::uint32_t layer) {
  velmora::schema::SchemaInput in;
  in.layer = layer;
  for (std::uint32_t i = 0; i < layer; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "m%u", i);
    in.methods.emplace_back(name, velmora::schema::TlMethod{});
  }
  return velmora::schema::build_schema(std::move(in));
}

TEST(Threads, EverySnapshotIsOneWholeSchemaWhileOthersInstall) {
  SchemaStore& store = SchemaStore::instance();
  const std::shared_ptr<const velmora::schema::Schema> before = store.current();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 4000; ++round) {
        if (t < 2 && round % 8 == 0) store.install(schema_of_layer(1 + (round / 8 + t) % 3));
        const SchemaStore::Snapshot s = store.snapshot();
        // A schema of layer n has n methods: a torn or freed one would not.
        if (s.schema && s.schema->layer() != 0 && s.schema->num_methods() != s.schema->layer()) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, 0);
  store.install(before);
}

TEST(Threads, RandomPoolsNeverHandTwoThreadsTheSameBytes) {
  constexpr int kThreads = 4, kDraws = 2000;
  std::vector<std::array<std::uint8_t, 16>> drawn(kThreads * kDraws);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kDraws; ++i) ASSERT_TRUE(velmora::crypto::random_bytes(drawn[t * kDraws + i].data(), 16));
    });
  }
  for (auto& th : threads) th.join();
  std::sort(drawn.begin(), drawn.end());
  EXPECT_EQ(std::adjacent_find(drawn.begin(), drawn.end()), drawn.end());
}

}  // namespace
