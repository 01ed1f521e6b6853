// slots.hpp: scratch slots for the object levels of one codec call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

#include "py/py.hpp"

namespace velmora::codec {

// Runs of slots for the objects being written or read, one run per nesting
// level, handed out and given back last-in first-out. A run stays where it is
// while it is out. The first chunk lives in the codec object itself (a call
// rarely needs more); further chunks come from the heap and are kept for the
// rest of the call. Runs are handed out null and must be given back null.
class Slots {
 public:
  // The inline chunk is cleared as runs reach into it, not up front.
  // cppcheck-suppress uninitMemberVar
  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;

  PyObject** push(std::size_t n) {
    Chunk* c = &chunk(cur_);
    if (c->cap - c->used < n) c = next(n);
    PyObject** run = c->data + c->used;
    c->used += n;
    if (c->used > c->cleared) {
      std::fill(c->data + c->cleared, c->data + c->used, nullptr);
      c->cleared = c->used;
    }
    return run;
  }
  void pop(std::size_t n) noexcept {
    Chunk& c = chunk(cur_);
    c.used -= n;
    if (c.used == 0 && cur_ > 0) --cur_;
  }

 private:
  struct Chunk {
    PyObject** data;
    std::size_t cap, used, cleared;
    std::unique_ptr<PyObject*[]> own;
  };
  Chunk& chunk(std::size_t k) noexcept { return k == 0 ? first_ : more_[k - 1]; }
  Chunk* next(std::size_t n) {
    const std::size_t prev = chunk(cur_).cap;
    if (++cur_ > more_.size()) more_.push_back({nullptr, 0, 0, 0, nullptr});
    Chunk& c = chunk(cur_);
    if (c.cap < n) {
      c.cap = std::max(n, 2 * prev);
      c.own = std::make_unique<PyObject*[]>(c.cap);  // null
      c.data = c.own.get();
      c.cleared = c.cap;
    }
    return &c;
  }

  PyObject* inline_[128];
  Chunk first_{inline_, std::size(inline_), 0, 0, nullptr};
  std::vector<Chunk> more_;
  std::size_t cur_ = 0;
};

}  // namespace velmora::codec
