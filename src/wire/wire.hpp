// wire.hpp: the TL binary format, with no Python in it.
//
// Writer appends little-endian values to one growing buffer; Reader reads a
// caller's buffer in place through a forward-only cursor. Both sides share the
// type classification and the flags-word index rule, which live here once.
// Everything in src/wire/ is plain C++: it builds into the core library and
// is unit-tested and fuzzed without an interpreter. It has no message texts:
// Reader reports a ReadStatus, and the codec words it with its own fixed
// texts (codec/messages.hpp), which callers match on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "wire/endian.hpp"

namespace velmora::wire {

inline constexpr std::uint32_t kVectorId = 0x1cb5c415u;
inline constexpr std::uint32_t kBoolTrue = 0x997275b5u;
inline constexpr std::uint32_t kBoolFalse = 0xbc799737u;
// A TL byte string's length field has 24 bits.
inline constexpr std::size_t kMaxByteStringLen = 0xffffffu;

// What a field's type name (and, for composite names, its is_vector flag)
// selects. Primitive names are matched exactly and win over is_vector. The
// names below are fixed: schema documents are written with them, so adding
// or dropping a spelling changes how existing schemas encode.
enum class TypeKind : std::uint8_t {
  kFlags,   // "#"
  kInt,     // "int", "Int"
  kLong,    // "long", "Long"
  kDouble,  // "double", "Double"
  kInt128,  // "int128"
  kInt256,  // "int256"
  kString,  // "string", "String"
  kBytes,   // "bytes", "Bytes"
  kBool,    // "Bool", "boolTrue", "boolFalse"
  kTrue,    // "true", "True"
  kVector,  // any other name with is_vector
  kObject,  // any other name without it: one boxed object
};

TypeKind classify(std::string_view type, bool is_vector) noexcept;

// The element field of a vector field: type vector_inner (or "int"),
// is_vector = vector_inner_is_vector; the elements of such an inner vector
// are always "int".
inline TypeKind element_kind(std::string_view vector_inner, bool has_inner,
                             bool inner_is_vector) noexcept {
  return classify(has_inner ? vector_inner : std::string_view("int"), inner_is_vector);
}

// A record carries at most this many flags words: flags, flags2 ... flags8.
inline constexpr unsigned kFlagsWords = 8;

// Maps a flags word name (flags, flags2, ... flags8) to a word index below
// kFlagsWords; higher numbers share the last word, anything else is word 0.
unsigned flags_word_index(std::string_view name) noexcept;

// Bytes a TL byte string of payload length len occupies, header and padding
// included.
inline constexpr std::size_t byte_string_size(std::size_t len) noexcept {
  const std::size_t header = len < 254 ? 1 : 4;
  return (header + len + 3) & ~std::size_t{3};
}

class Writer {
 public:
  // Most encodings fit here without a heap allocation.
  static constexpr std::size_t kInlineCapacity = 512;

  // The inline buffer is scratch space written before it is read; zeroing
  // it would cost every call kInlineCapacity bytes of stores.
  // cppcheck-suppress uninitMemberVar
  Writer() noexcept : data_(inline_), cap_(sizeof(inline_)) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    if (data_ != inline_) std::free(data_);
  }

  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return len_; }

  // Room for n more bytes; throws std::bad_alloc when memory runs out.
  void reserve(std::size_t n) {
    if (cap_ - len_ < n) grow(n);
  }
  void put_u32(std::uint32_t v) {
    reserve(4);
    store_le(data_ + len_, v);
    len_ += 4;
  }
  void put_u64(std::uint64_t v) {
    reserve(8);
    store_le(data_ + len_, v);
    len_ += 8;
  }
  void put_double(double v) {
    reserve(8);
    store_le(data_ + len_, v);
    len_ += 8;
  }
  void put_raw(const void* p, std::size_t n) {
    if (n == 0) return;
    reserve(n);
    std::memcpy(data_ + len_, p, n);
    len_ += n;
  }
  void put_zeros(std::size_t n) {
    reserve(n);
    std::memset(data_ + len_, 0, n);
    len_ += n;
  }
  // Writes a TL byte string; len must not exceed kMaxByteStringLen. Hot:
  // kept beside the encoder's per-object code, which calls it for each string.
  [[gnu::hot]] void put_byte_string(const void* p, std::size_t len);
  void put_bool(bool v) { put_u32(v ? kBoolTrue : kBoolFalse); }
  void put_vector_header(std::uint32_t count) {
    put_u32(kVectorId);
    put_u32(count);
  }

 private:
  void grow(std::size_t n);

  std::uint8_t* data_;
  std::size_t len_ = 0;
  std::size_t cap_;
  std::uint8_t inline_[kInlineCapacity];
};

enum class ReadStatus : std::uint8_t { kOk, kEof, kBadLength };

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) noexcept : data_(data) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  std::span<const std::uint8_t> all() const noexcept { return data_; }
  void skip_to_end() noexcept { pos_ = data_.size(); }

  bool read_u32(std::uint32_t& out) noexcept {
    if (remaining() < 4) return false;
    out = load_le<std::uint32_t>(data_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool read_u64(std::uint64_t& out) noexcept {
    if (remaining() < 8) return false;
    out = load_le<std::uint64_t>(data_.data() + pos_);
    pos_ += 8;
    return true;
  }
  bool read_double(double& out) noexcept {
    if (remaining() < 8) return false;
    out = load_le<double>(data_.data() + pos_);
    pos_ += 8;
    return true;
  }
  // Points out at the next n bytes and moves past them.
  bool read_raw(std::size_t n, const std::uint8_t*& out) noexcept {
    if (remaining() < n) return false;
    out = data_.data() + pos_;
    pos_ += n;
    return true;
  }
  // Reads one TL byte string; on success *out is its payload, in place.
  // kBadLength is a first byte of 255. On failure the cursor is unspecified.
  ReadStatus read_byte_string(std::span<const std::uint8_t>& out) noexcept;

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace velmora::wire
