// wiped_scratch.hpp: scratch memory for one call's plaintext, on the stack
// when small, wiped when it goes, whatever the call's outcome: decrypted
// bodies and the key material beside them never outlive the call.
#pragma once

#include <string.h>  // explicit_bzero

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::message {

class WipedScratch {
 public:
  // The inline buffer is written before it is read, not cleared up front.
  // cppcheck-suppress uninitMemberVar
  explicit WipedScratch(std::size_t n)
      : heap_(n > sizeof(inline_) ? new std::uint8_t[n] : nullptr), size_(n) {}
  // explicit_bzero, which the compiler may not drop either, runs at
  // memset's speed: OPENSSL_cleanse stores a word at a time, some 150 ns
  // for the scratch of a 1 KiB message, half of what a session's encrypt may
  // add to its floor.
  ~WipedScratch() { explicit_bzero(data(), size_); }
  WipedScratch(const WipedScratch&) = delete;
  WipedScratch& operator=(const WipedScratch&) = delete;
  std::uint8_t* data() noexcept { return heap_ ? heap_.get() : inline_; }

 private:
  std::uint8_t inline_[2048];
  std::unique_ptr<std::uint8_t[]> heap_;
  std::size_t size_;
};

}  // namespace velmora::message
