// byte_buffer.hpp: the bytes a stream holds between calls, grown without
// zero-filling (every byte is written before it is read) and read from the
// front, so that taking packets off it moves nothing until more is added.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmora::protocol {

class ByteBuffer {
 public:
  const std::uint8_t* unread() const noexcept { return data_.get() + read_; }
  std::size_t unread_size() const noexcept { return size_ - read_; }
  void consume(std::size_t n) noexcept { read_ += n; }

  // Room for at least total bytes, the unread ones kept: a packet whose
  // length is known gets its whole room at once, not by doublings.
  void reserve(std::size_t total) {
    if (total <= capacity_ - read_) return;
    const std::size_t keep = size_ - read_;
    std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[total]);
    if (keep) std::memcpy(grown.get(), unread(), keep);
    data_ = std::move(grown);
    capacity_ = total;
    read_ = 0;
    size_ = keep;
  }

  // Room for n more bytes after the unread ones, which move to the front
  // first: the returned pointer is where the n bytes go.
  std::uint8_t* extend(std::size_t n) {
    const std::size_t keep = size_ - read_;
    if (keep + n > capacity_) {
      std::size_t cap = capacity_ ? capacity_ : 4096;
      while (cap < keep + n) cap *= 2;
      reserve(cap);
    } else if (read_ && keep) {
      std::memmove(data_.get(), unread(), keep);
    }
    read_ = 0;
    size_ = keep + n;
    return data_.get() + keep;
  }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t read_ = 0;
};

}  // namespace velmora::protocol
