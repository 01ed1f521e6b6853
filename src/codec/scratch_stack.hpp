// scratch_stack.hpp: the stack of value pointers for the object levels of
// one serializer call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

#include "py/py.hpp"

namespace velmora::codec {

// Runs of PyObject pointers, one run per object being written (one per
// nesting level), handed out and given back last-in first-out; FieldValues
// holds a run, one pointer per field. A run stays where it is while it is
// out. The first chunk lives in the stack object itself (a call rarely needs
// more); further chunks come from the heap and are kept for the rest of the
// call. Runs are handed out null and must be given back null.
class ScratchStack {
 public:
  // The inline chunk is cleared as runs reach into it, not up front.
  // cppcheck-suppress uninitMemberVar
  ScratchStack() = default;
  ScratchStack(const ScratchStack&) = delete;
  ScratchStack& operator=(const ScratchStack&) = delete;

  // A run of n null pointers.
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
  // Gives back the last run handed out, of n pointers, nulled by the holder.
  void pop(std::size_t n) noexcept {
    Chunk& c = chunk(cur_);
    c.used -= n;
    if (c.used == 0 && cur_ > 0) --cur_;
  }

 private:
  struct Chunk {
    PyObject** data;
    std::size_t cap;      // pointers in data
    std::size_t used;     // handed out, from the start
    std::size_t cleared;  // known null from used on, up to here
    std::unique_ptr<PyObject*[]> own;  // data when it came from the heap
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
  std::vector<Chunk> more_;  // chunk k > 0 is more_[k - 1]
  std::size_t cur_ = 0;      // the chunk the last run came from
};

}  // namespace velmora::codec
