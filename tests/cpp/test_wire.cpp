// The TL wire layer: byte strings, the growing writer and the flags-word index rule.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "wire/wire.hpp"

namespace velmora::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WireByteString, HeaderPayloadPaddingAndReadBack) {
  const struct {
    std::size_t len, total;
    Bytes head;
  } rows[] = {{0, 4, {0}},     {1, 4, {1}},     {3, 4, {3}}, {4, 8, {4}}, {253, 256, {0xfd}},
              {254, 260, {0xfe, 0xfe, 0, 0}}, {256, 260, {0xfe, 0, 1, 0}}, {70000, 70004, {0xfe, 0x70, 0x11, 1}}};
  for (const auto& row : rows) {
    Bytes payload(row.len);
    for (std::size_t i = 0; i < row.len; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    Writer w;
    w.put_byte_string(payload.data(), row.len);
    const Bytes got(w.data(), w.data() + w.size());
    Bytes want = row.head;
    want.insert(want.end(), payload.begin(), payload.end());
    want.resize(row.total, 0);  // zero padding
    EXPECT_EQ(byte_string_size(row.len), row.total);
    ASSERT_EQ(got, want) << row.len;
    Reader r(got);
    std::span<const std::uint8_t> out;
    ASSERT_EQ(r.read_byte_string(out), ReadStatus::kOk);
    EXPECT_EQ(Bytes(out.begin(), out.end()), payload);
    EXPECT_EQ(r.remaining(), 0u);
    for (std::size_t cut = 0; cut < got.size(); ++cut) {
      // A heap copy of exactly the prefix, so that an over-read is a sanitizer error.
      const Bytes prefix(got.begin(), got.begin() + static_cast<long>(cut));
      Reader short_reader(prefix);
      EXPECT_EQ(short_reader.read_byte_string(out), ReadStatus::kEof) << row.len << " cut at " << cut;
      if (cut == 300) cut = got.size() - 8;  // the middle of a long payload adds nothing
    }
  }
}

TEST(WireWriter, GrowsPastTheInlineBufferKeepingWhatWasWritten) {
  Writer w;
  for (std::uint32_t i = 0; i < 1000; ++i) w.put_u32((i & 0xffu) * 0x01010101u);
  ASSERT_EQ(w.size(), 4000u);
  for (std::uint32_t i = 0; i < 4000; ++i) ASSERT_EQ(w.data()[i], static_cast<std::uint8_t>(i / 4)) << i;
}

// Numbers on the wire, byte by byte: each row written by the Writer, read back
// by the Reader, and stored and loaded in both byte orders, so that a copy in
// the host's order fails here on any host.
TEST(WireNumbers, BytesInBothOrders) {
  enum Kind { kU32, kU64, kDouble };
  const struct {
    Kind kind;
    std::uint64_t bits;  // the value, or a double's bit pattern
    Bytes le;
  } rows[] = {
      {kU32, 0x01020304u, {0x04, 0x03, 0x02, 0x01}},
      {kU32, kBoolTrue, {0xb5, 0x75, 0x72, 0x99}},
      {kU32, kVectorId, {0x15, 0xc4, 0xb5, 0x1c}},
      {kU64, 0x0102030405060708u, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
      {kU64, 0xfffffffffffffffeu, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},
      {kDouble, 0x3ff0000000000000u, {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},                   // 1.0
      {kDouble, 0xc00921fb54442d18u, {0x18, 0x2d, 0x44, 0x54, 0xfb, 0x21, 0x09, 0xc0}},  // -pi
  };
  for (const auto& row : rows) {
    const Bytes be(row.le.rbegin(), row.le.rend());
    Writer w;
    Bytes le_out(row.le.size()), be_out(row.le.size());
    Reader r(row.le);
    std::uint64_t back = 0;
    if (row.kind == kU32) {
      const auto v = static_cast<std::uint32_t>(row.bits);
      w.put_u32(v);
      std::uint32_t got = 0;
      ASSERT_TRUE(r.read_u32(got));
      back = got;
      store<std::endian::little>(le_out.data(), v);
      store<std::endian::big>(be_out.data(), v);
      EXPECT_EQ((load<std::endian::big, std::uint32_t>(be.data())), v);
    } else if (row.kind == kU64) {
      w.put_u64(row.bits);
      ASSERT_TRUE(r.read_u64(back));
      store<std::endian::little>(le_out.data(), row.bits);
      store<std::endian::big>(be_out.data(), row.bits);
      EXPECT_EQ((load<std::endian::big, std::uint64_t>(be.data())), row.bits);
    } else {
      const auto v = std::bit_cast<double>(row.bits);
      w.put_double(v);
      double got = 0;
      ASSERT_TRUE(r.read_double(got));
      back = std::bit_cast<std::uint64_t>(got);
      store<std::endian::little>(le_out.data(), v);
      store<std::endian::big>(be_out.data(), v);
      EXPECT_EQ((load<std::endian::big, double>(be.data())), v);
    }
    EXPECT_EQ(Bytes(w.data(), w.data() + w.size()), row.le) << std::hex << row.bits;
    EXPECT_EQ(back, row.bits);
    EXPECT_EQ(le_out, row.le) << std::hex << row.bits;
    EXPECT_EQ(be_out, be) << std::hex << row.bits;
  }
}

TEST(WireFlagsIndex, Table) {
  const std::pair<const char*, unsigned> rows[] = {
      {"flags", 0},    {"flags0", 0},  {"flags1", 0},      {"flags2", 1},      {"flags3", 2},  {"flags8", 7},
      {"flags9", 7},   {"flags100", 7}, {"flags+2", 1},    {"flags-2", 0},     {"flagsX", 0},  {"flags+", 0},
      {"extra_flags", 0}, {"Flags2", 0}, {"flags2x", 0},   {"flags++2", 0},
      {"flags18446744073709551615", 7},  // the largest 64-bit number still counts
      {"flags18446744073709551616", 0},  // one more overflows
      {"flags99999999999999999999", 0},
  };
  for (const auto& [name, word] : rows) EXPECT_EQ(flags_word_index(name), word) << name;
}

}  // namespace
}  // namespace velmora::wire
