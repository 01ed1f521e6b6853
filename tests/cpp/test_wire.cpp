// The TL wire layer: byte strings, integers, identifiers, the flags-word
// index rule, type classification and the in-place reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "wire/wire.hpp"

namespace velmora::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes written(const Writer& w) { return Bytes(w.data(), w.data() + w.size()); }

Bytes payload(std::size_t n) {
  Bytes p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return p;
}

// The expected encoding spelled out by hand: header, payload, zero padding.
Bytes byte_string(std::size_t n) {
  Bytes out;
  if (n < 254) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out = {0xfe, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
           static_cast<std::uint8_t>(n >> 16)};
  }
  const Bytes p = payload(n);
  out.insert(out.end(), p.begin(), p.end());
  while (out.size() % 4) out.push_back(0);
  return out;
}

class WireByteString : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, Bytes>> {};

TEST_P(WireByteString, ExactBytes) {
  const auto& [len, total, head] = GetParam();
  Writer w;
  const Bytes p = payload(len);
  w.put_byte_string(p.data(), p.size());
  const Bytes got = written(w);
  ASSERT_EQ(got.size(), total);
  EXPECT_EQ(got.size(), byte_string_size(len));
  EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(head.size())), head);
  EXPECT_EQ(got, byte_string(len));

  Reader r(got);
  std::span<const std::uint8_t> out;
  ASSERT_EQ(r.read_byte_string(out), ReadStatus::kOk);
  EXPECT_EQ(Bytes(out.begin(), out.end()), p);
  EXPECT_EQ(r.remaining(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, WireByteString,
    ::testing::Values(std::tuple<std::size_t, std::size_t, Bytes>{0, 4, {0, 0, 0, 0}},
                      std::tuple<std::size_t, std::size_t, Bytes>{1, 4, {1, 1, 0, 0}},
                      std::tuple<std::size_t, std::size_t, Bytes>{3, 4, {3}},
                      std::tuple<std::size_t, std::size_t, Bytes>{4, 8, {4}},
                      std::tuple<std::size_t, std::size_t, Bytes>{253, 256, {0xfd}},
                      std::tuple<std::size_t, std::size_t, Bytes>{254, 260, {0xfe, 0xfe, 0, 0}},
                      std::tuple<std::size_t, std::size_t, Bytes>{256, 260, {0xfe, 0, 1, 0}}));

TEST(WireWriter, IntegersAndIdentifiers) {
  Writer w;
  w.put_u32(static_cast<std::uint32_t>(-1));
  w.put_u64(1);
  w.put_vector_header(0);
  w.put_bool(true);
  w.put_bool(false);
  const Bytes want = {0xff, 0xff, 0xff, 0xff, 1,    0,    0,    0,    0,    0,    0,    0,
                      0x15, 0xc4, 0xb5, 0x1c, 0,    0,    0,    0,    0xb5, 0x75, 0x72, 0x99,
                      0x37, 0x97, 0x79, 0xbc};
  EXPECT_EQ(written(w), want);
}

TEST(WireWriter, GrowsPastTheInlineBuffer) {
  Writer w;
  w.put_u32(0xdeadbeef);
  for (std::uint32_t i = 0; i < 1000; ++i) w.put_u32(i);
  ASSERT_EQ(w.size(), 4004u);
  std::uint32_t first = 0, last = 0;
  std::memcpy(&first, w.data(), 4);
  std::memcpy(&last, w.data() + 4000, 4);
  EXPECT_EQ(first, 0xdeadbeefu);
  EXPECT_EQ(last, 999u);
}

TEST(WireFlagsIndex, Table) {
  const std::pair<const char*, unsigned> rows[] = {
      {"flags", 0},   {"flags0", 0},    {"flags1", 0},      {"flags2", 1},
      {"flags3", 2},  {"flags8", 7},    {"flags9", 7},      {"flags100", 7},
      {"flags+2", 1}, {"flags-2", 0},   {"flagsX", 0},      {"flags+", 0},
      {"extra_flags", 0}, {"Flags2", 0}, {"flags2x", 0},    {"flags++2", 0},
      {"flags18446744073709551615", 7},  // the largest 64-bit number still counts
      {"flags18446744073709551616", 0},  // one more overflows
      {"flags99999999999999999999", 0},
  };
  for (const auto& [name, word] : rows) EXPECT_EQ(flags_word_index(name), word) << name;
}

TEST(WireClassify, PrimitiveNames) {
  const std::pair<const char*, TypeKind> rows[] = {
      {"#", TypeKind::kFlags},        {"int", TypeKind::kInt},         {"Int", TypeKind::kInt},
      {"long", TypeKind::kLong},      {"Long", TypeKind::kLong},       {"double", TypeKind::kDouble},
      {"Double", TypeKind::kDouble},  {"int128", TypeKind::kInt128},   {"int256", TypeKind::kInt256},
      {"string", TypeKind::kString},  {"String", TypeKind::kString},   {"bytes", TypeKind::kBytes},
      {"Bytes", TypeKind::kBytes},    {"Bool", TypeKind::kBool},       {"boolTrue", TypeKind::kBool},
      {"boolFalse", TypeKind::kBool}, {"true", TypeKind::kTrue},       {"True", TypeKind::kTrue},
  };
  for (const auto& [name, kind] : rows) {
    // A primitive name wins over is_vector.
    EXPECT_EQ(classify(name, false), kind) << name;
    EXPECT_EQ(classify(name, true), kind) << name;
  }
}

TEST(WireClassify, CompositeNames) {
  for (const char* name : {"bool", "Vector", "vector<%Message>", "Int128", "INT", "Object", "!X", ""}) {
    EXPECT_EQ(classify(name, false), TypeKind::kObject) << name;
    EXPECT_EQ(classify(name, true), TypeKind::kVector) << name;
  }
  EXPECT_EQ(element_kind("long", true, false), TypeKind::kLong);
  EXPECT_EQ(element_kind("", false, false), TypeKind::kInt);
  EXPECT_EQ(element_kind("Message", true, true), TypeKind::kVector);
  EXPECT_EQ(element_kind("long", true, true), TypeKind::kLong);
}

TEST(WireReader, TruncationAtEveryPrefix) {
  for (std::size_t len : {0u, 1u, 3u, 4u, 253u, 254u, 256u}) {
    const Bytes full = byte_string(len);
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
      // A heap copy of exactly the prefix, so that an over-read is a sanitizer error.
      const Bytes prefix(full.begin(), full.begin() + static_cast<long>(cut));
      Reader r(prefix);
      std::span<const std::uint8_t> out;
      EXPECT_EQ(r.read_byte_string(out), ReadStatus::kEof) << len << " cut at " << cut;
    }
  }
}

TEST(WireReader, MalformedHeaders) {
  std::span<const std::uint8_t> out;
  {
    const Bytes b = {0xfe, 0x05, 0x00};  // long form with a short length field
    Reader r(b);
    EXPECT_EQ(r.read_byte_string(out), ReadStatus::kEof);
  }
  {
    const Bytes b = {0xff, 0, 0, 0, 0, 0, 0, 0};
    Reader r(b);
    EXPECT_EQ(r.read_byte_string(out), ReadStatus::kBadLength);
  }
  {
    const Bytes b = {0x02, 'a', 'b'};  // payload there, padding missing
    Reader r(b);
    EXPECT_EQ(r.read_byte_string(out), ReadStatus::kEof);
  }
  {
    // The long form may carry a short payload; padding is counted from its header.
    const Bytes b = {0xfe, 0x01, 0x00, 0x00, 'z', 0, 0, 0};
    Reader r(b);
    ASSERT_EQ(r.read_byte_string(out), ReadStatus::kOk);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(r.remaining(), 0u);
  }
}

TEST(WireReader, Integers) {
  const Bytes b = {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 9};
  Reader r(b);
  std::uint32_t a = 0;
  std::uint64_t c = 0;
  ASSERT_TRUE(r.read_u32(a));
  ASSERT_TRUE(r.read_u64(c));
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(c, 2u);
  EXPECT_FALSE(r.read_u32(a));
  EXPECT_EQ(r.remaining(), 1u);
}

}  // namespace
}  // namespace velmora::wire
