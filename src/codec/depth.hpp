// depth.hpp: the nesting bound shared by the serializer and the deserializer.
//
// Both walk nested objects by recursion. A fixed bound keeps the stack use
// small enough for a thread started with a 256 KiB stack, and turns hostile
// or self-referencing input into a ValueError instead of a crash.
#pragma once

namespace velmora::codec {

// Levels of nested objects and vectors, counting the top-level object; past
// it, the failure msg::kTooDeep (codec/messages.hpp).
inline constexpr unsigned kMaxDepth = 100;

// Increments the counter for the life of the guard; ok() is false once the
// bound is passed. Every exit path restores the counter.
class DepthGuard {
 public:
  explicit DepthGuard(unsigned& depth) noexcept : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool ok() const noexcept { return depth_ <= kMaxDepth; }

 private:
  unsigned& depth_;
};

}  // namespace velmora::codec
