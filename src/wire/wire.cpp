#include "wire/wire.hpp"

namespace velmora::wire {

TypeKind classify(std::string_view t, bool is_vector) noexcept {
  switch (t.size()) {
    case 1:
      if (t == "#") return TypeKind::kFlags;
      break;
    case 3:
      if (t == "int" || t == "Int") return TypeKind::kInt;
      break;
    case 4:
      if (t == "long" || t == "Long") return TypeKind::kLong;
      if (t == "Bool") return TypeKind::kBool;
      if (t == "true" || t == "True") return TypeKind::kTrue;
      break;
    case 5:
      if (t == "bytes" || t == "Bytes") return TypeKind::kBytes;
      break;
    case 6:
      if (t == "double" || t == "Double") return TypeKind::kDouble;
      if (t == "int128") return TypeKind::kInt128;
      if (t == "int256") return TypeKind::kInt256;
      if (t == "string" || t == "String") return TypeKind::kString;
      break;
    case 8:
      if (t == "boolTrue") return TypeKind::kBool;
      break;
    case 9:
      if (t == "boolFalse") return TypeKind::kBool;
      break;
    default:
      break;
  }
  return is_vector ? TypeKind::kVector : TypeKind::kObject;
}

unsigned flags_word_index(std::string_view s) noexcept {
  constexpr std::string_view kPrefix = "flags";
  if (s.substr(0, kPrefix.size()) != kPrefix) return 0;
  std::string_view r = s.substr(kPrefix.size());
  if (r.empty()) return 0;
  if (r.front() == '+') r.remove_prefix(1);
  if (r.empty()) return 0;
  std::uint64_t n = 0;
  for (char c : r) {
    if (c < '0' || c > '9') return 0;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return 0;  // overflow makes the index 0
    n = n * 10 + d;
  }
  if (n < 2) return 0;
  constexpr unsigned kLast = kFlagsWords - 1;
  return n - 1 > kLast ? kLast : static_cast<unsigned>(n - 1);
}

void Writer::grow(std::size_t n) {
  // Doubling: a page of messages reallocates (and copies) half as often as
  // with 1.5 times, for at most twice the bytes written.
  std::size_t want = 2 * cap_;
  if (want < len_ + n) want = len_ + n;
  if (want < len_) throw std::bad_alloc();  // overflow
  std::uint8_t* p = nullptr;
  if (data_ == inline_) {
    p = static_cast<std::uint8_t*>(std::malloc(want));
    if (p == nullptr) throw std::bad_alloc();
    std::memcpy(p, data_, len_);
  } else {
    p = static_cast<std::uint8_t*>(std::realloc(data_, want));
    if (p == nullptr) throw std::bad_alloc();
  }
  data_ = p;
  cap_ = want;
}

void Writer::put_byte_string(const void* p, std::size_t len) {
  const std::size_t total = byte_string_size(len);
  reserve(total);
  std::uint8_t* out = data_ + len_;
  // The padding, 0 to 3 zero bytes, lies in the last word: zero that word
  // first, and the header and payload overwrite what is theirs.
  std::memset(out + total - 4, 0, 4);
  std::size_t header = 1;
  if (len < 254) {
    out[0] = static_cast<std::uint8_t>(len);
  } else {
    out[0] = 254;
    out[1] = static_cast<std::uint8_t>(len & 0xff);
    out[2] = static_cast<std::uint8_t>((len >> 8) & 0xff);
    out[3] = static_cast<std::uint8_t>((len >> 16) & 0xff);
    header = 4;
  }
  if (len) std::memcpy(out + header, p, len);
  len_ += total;
}

ReadStatus Reader::read_byte_string(std::span<const std::uint8_t>& out) noexcept {
  if (remaining() < 1) return ReadStatus::kEof;
  const std::uint8_t first = data_[pos_];
  std::size_t header = 1;
  std::size_t len = first;
  if (first == 255) return ReadStatus::kBadLength;
  if (first == 254) {
    if (remaining() < 4) return ReadStatus::kEof;
    len = static_cast<std::size_t>(data_[pos_ + 1]) |
          static_cast<std::size_t>(data_[pos_ + 2]) << 8 |
          static_cast<std::size_t>(data_[pos_ + 3]) << 16;
    header = 4;
  }
  pos_ += header;
  if (remaining() < len) return ReadStatus::kEof;
  out = data_.subspan(pos_, len);
  pos_ += len;
  // Padding is counted from the header's first byte; its values are not checked.
  const std::size_t pad = (4 - (header + len) % 4) % 4;
  if (remaining() < pad) return ReadStatus::kEof;
  pos_ += pad;
  return ReadStatus::kOk;
}

}  // namespace velmora::wire
