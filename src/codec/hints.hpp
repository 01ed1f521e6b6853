// hints.hpp: what the codec learns as it runs, kept apart from the compiled
// schema, which is read-only once published (compiled.hpp).
//
// Objects of a record are mostly built alike, so the encoder reads each as
// the last one was (the key order of its dict, the bytes it took) and the
// decoder makes each dict as a copy of the last one's shape. A hint that is
// wrong costs a lookup or a regrowth, never a wrong result. And one rule
// that every cached view of a dict obeys: once Python code may have run, a
// view taken before it is not trusted (the epoch). Every hint is written
// here, by the members below. Under the GIL plain stores would do; on the
// free-threaded build any thread may write one while another reads it, so
// each is read and written whole (py::hint_load, hint_store: any value one
// holds is valid, a stale one merely slower), the epoch is per thread (it
// marks what one call gathered, and a call runs on one thread), and the
// decoded dict's shape is not used there (object_dict.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "py/py.hpp"
#include "py/shared.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

// Moves whenever Python code may have run: converting a value (__index__,
// __float__, a NumPy scalar's truth, a key's __eq__) may change any dict
// being written.
inline VELMORA_PER_THREAD std::uint64_t python_epoch = 0;
inline void python_may_run() noexcept { ++python_epoch; }

// A record's dict for decoded objects with the flags words `words`
// (codec/object_dict.hpp), and the words of the last object decoded (none
// yet: all clear, so that a record's first object without flags makes it).
struct DictShape {
  py::Ref dict;  // null until the same words have come twice in a row
  std::uint32_t words[wire::kFlagsWords] = {};
  std::uint32_t last[wire::kFlagsWords] = {};
};

// The hints of one record.
class RecordHints {
 public:
  static constexpr std::uint32_t kNoField = ~std::uint32_t{0};
  // What a size hint reserves at most, so that one huge call does not make
  // every later one allocate as much.
  static constexpr std::size_t kMaxSize = std::size_t{1} << 22;

  // "_" may take a step of a dict's walk besides the fields.
  explicit RecordHints(std::size_t fields) : key_order_(fields + 1, kNoField) {}

  // The field index of the key met at each step of the last gather (kNoField:
  // none), checked against the key before the record's index is asked; the
  // gather writes a step's entry as it learns it.
  std::span<std::uint32_t> key_order() noexcept { return key_order_; }
  // The bytes the last top-level object of the record took.
  std::size_t size() const noexcept { return py::hint_load(size_); }
  void note_size(std::size_t n) noexcept { py::hint_store(size_, std::min(n, kMaxSize)); }
  // Written by object_dict alone.
  DictShape& shape() noexcept { return shape_; }

 private:
  std::vector<std::uint32_t> key_order_;
  std::size_t size_ = 0;
  DictShape shape_;
};

// The hints of every record of a schema, by record index; made with its
// compiled data and released with it, with the GIL held.
class HintTable {
 public:
  explicit HintTable(std::vector<RecordHints> records) : records_(std::move(records)) {}
  RecordHints& record(std::size_t index) noexcept { return records_[index]; }

 private:
  std::vector<RecordHints> records_;
};

}  // namespace velmora::codec
