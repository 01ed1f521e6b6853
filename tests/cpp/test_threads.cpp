// The schema store, the core's one process-wide state, with threads at once
// (the AES backends' are in test_crypto.cpp). `make tsan` runs these under
// ThreadSanitizer, which reports any access the locks do not order.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

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

}  // namespace
