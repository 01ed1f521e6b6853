// The TL wire layer: byte strings, the growing writer and the flags-word index rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "wire/wire.hpp"

namespace velmora::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WireByteString, HeaderPayloadPaddingAndReadBack) {
  const struct { std::size_t len, total; Bytes head; } rows[] = {
      {0, 4, {0}}, {1, 4, {1}}, {3, 4, {3}}, {4, 8, {4}}, {253, 256, {0xfd}},
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

// A number stored and loaded in both byte orders: a copy in the host's order
// fails here on any host.
template <class T>
void expect_bytes(T v, const Bytes& le) {
  const Bytes be(le.rbegin(), le.rend());
  Bytes out(sizeof(T));
  store<std::endian::little>(out.data(), v);
  EXPECT_EQ(out, le) << v;
  store<std::endian::big>(out.data(), v);
  EXPECT_EQ(out, be) << v;
  EXPECT_EQ((load<std::endian::little, T>(le.data())), v);
  EXPECT_EQ((load<std::endian::big, T>(be.data())), v);
}

TEST(WireNumbers, BytesInBothOrders) {
  expect_bytes<std::uint32_t>(0x01020304u, {4, 3, 2, 1});
  expect_bytes(kVectorId, {0x15, 0xc4, 0xb5, 0x1c});
  expect_bytes<std::uint64_t>(0x0102030405060708u, {8, 7, 6, 5, 4, 3, 2, 1});
  expect_bytes<std::int64_t>(-2, {0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  expect_bytes(1.0, {0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
  expect_bytes(-3.141592653589793, {0x18, 0x2d, 0x44, 0x54, 0xfb, 0x21, 0x09, 0xc0});
}

TEST(WireNumbers, WriterAndReaderInTheWireOrder) {
  Writer w;
  w.put_bool(true);
  w.put_u64(0x0102030405060708u);
  w.put_double(1.0);
  const Bytes want = {0xb5, 0x75, 0x72, 0x99, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f};
  ASSERT_EQ(Bytes(w.data(), w.data() + w.size()), want);
  Reader r(want);
  std::uint32_t id = 0;
  std::uint64_t n = 0;
  double d = 0;
  ASSERT_TRUE(r.read_u32(id) && r.read_u64(n) && r.read_double(d));
  EXPECT_EQ(id, kBoolTrue);
  EXPECT_EQ(n, 0x0102030405060708u);
  EXPECT_EQ(d, 1.0);
}

// A new Writer's inline buffer holds whatever was there before: zeros must be written, not assumed; and
// zeros past a full inline buffer go to a grown one, not past the Writer (the bytes after it stay 0xAB).
TEST(WireWriter, WritesItsZerosWithinItsBuffer) {
  alignas(Writer) unsigned char storage[sizeof(Writer) + 16];
  std::memset(storage, 0xAB, sizeof storage);
  asm volatile("" : : "r"(storage) : "memory");  // the fill may not be dropped as dead before construction
  Writer* w = new (storage) Writer;
  w->put_zeros(8);
  for (int i = 0; i < 126; ++i) w->put_u32(0xffffffffu);  // the inline buffer is full
  w->put_zeros(8);
  Bytes want(Writer::kInlineCapacity + 8, 0xff);
  std::fill_n(want.begin(), 8, 0);
  std::fill_n(want.end() - 8, 8, 0);
  EXPECT_EQ(Bytes(w->data(), w->data() + w->size()), want);
  EXPECT_EQ(Bytes(storage + sizeof(Writer), storage + sizeof storage), Bytes(16, 0xAB));
  w->~Writer();
}

// Raw bytes past a full inline buffer go to a grown one too.
TEST(WireWriter, WritesRawBytesWithinItsBuffer) {
  alignas(Writer) unsigned char storage[sizeof(Writer) + 64];
  std::memset(storage, 0xAB, sizeof storage);
  Writer* w = new (storage) Writer;
  for (std::size_t i = 0; i < Writer::kInlineCapacity / 4; ++i) w->put_u32(0);
  const Bytes raw(64, 0xEE);
  w->put_raw(raw.data(), raw.size());
  EXPECT_EQ(Bytes(w->data() + Writer::kInlineCapacity, w->data() + w->size()), raw);
  EXPECT_EQ(Bytes(storage + sizeof(Writer), storage + sizeof storage), Bytes(64, 0xAB));
  w->~Writer();
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
