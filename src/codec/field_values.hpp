// field_values.hpp: the values of one object's fields, read from its dict.
//
// The rule of this file, stated once: whatever may run Python code calls
// python_may_run() (codec/hints.hpp); values gathered before that are not
// trusted after it, and each field still to be read is looked up in the
// dict as it is then.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "codec/compiled.hpp"
#include "codec/scratch_stack.hpp"
#include "py/py.hpp"
#include "py/shared.hpp"

namespace velmora::codec {

// What one serializer call shares with the gathering of each of its objects.
struct GatherState {
  ScratchStack stack;  // the gathered values, one run per object being written
};

// The values of one object's fields, by field index. They are gathered in one
// walk of the dict into a run of the scratch stack, each a strong reference
// (null: the key is missing). Once Python code may have run since, or when
// the walk cannot be used, each field is looked up when it is read; a value
// looked up is held until the next one is.
class FieldValues {
 public:
  // top_level: the call's outermost object, which no outer gathered values
  // depend on. With words (for a record with flags), the walk also sets the
  // flags bits when it can tell them from the values alone; see flags_set().
  // after_name: the dict position just past a first item "_" that the caller
  // has read, with no Python code run since (0: none); the walk starts there.
  FieldValues(GatherState& g, PyObject* dict, const CompiledRecord& rec, RecordHints& hints,
              std::uint32_t* words, bool top_level, Py_ssize_t after_name)
      : g_(g), dict_(dict), rec_(rec), hints_(hints) {
    // The top-level object has no outer one whose gathered values Python
    // code could make stale: a few unconditional fields are looked up as
    // cheaply as a walk would find them.
    if (top_level && !rec.has_flags && rec.fields.size() <= kFewFields) return;
    start(words, after_name);
  }
  [[gnu::always_inline]] ~FieldValues() {
    if (values_ == nullptr) return;
    const std::size_t n = rec_.fields.size();
    if (n <= kMaskFields) {
      for (std::uint64_t m = present_; m != 0; m &= m - 1) {
        const int i = std::countr_zero(m);
        Py_DECREF(values_[i]);
        values_[i] = nullptr;
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) Py_CLEAR(values_[i]);
    }
    g_.stack.pop(n);
  }
  FieldValues(const FieldValues&) = delete;
  FieldValues& operator=(const FieldValues&) = delete;

  // Field i's value, borrowed and alive until the next call at least; null
  // when missing.
  PyObject* get(std::size_t i) { return epoch_ == python_epoch ? values_[i] : live(i); }
  // True when the walk set every flags bit (no presence flag needed asking).
  bool flags_set() const noexcept { return flags_set_; }
  // The keys of the dict that name fields, as the walk found them; -1 when
  // no walk was made or Python code may have run since.
  Py_ssize_t found() const noexcept { return values_ && epoch_ == python_epoch ? found_ : -1; }
  // With found() at least 0, on a record of at most kMaskFields fields: the
  // fields whose keys the walk found, by bit.
  std::uint64_t present() const noexcept { return present_; }

 private:
  static constexpr std::uint64_t kLive = ~std::uint64_t{0};
  static constexpr std::size_t kFewFields = 4;

  // Field i looked up in the dict as it is now; a lookup that raises counts
  // as missing. Held, since converting the value may run Python code that
  // changes the dict.
  PyObject* live(std::size_t i) {
    epoch_ = kLive;
    PyObject* v = PyDict_GetItemWithError(dict_, rec_.fields[i].key.get());
    if (v == nullptr && PyErr_Occurred()) PyErr_Clear();
    held_ = py::borrow(v);
    return v;
  }
  // Hot, as the walk's own steps (walk.hpp says why).
  [[gnu::hot]] void start(std::uint32_t* words, Py_ssize_t after_name);
  [[gnu::hot]] bool gather(std::uint32_t* words, Py_ssize_t pos);

  GatherState& g_;
  PyObject* dict_;
  const CompiledRecord& rec_;
  RecordHints& hints_;           // the key order, learnt by the walk
  PyObject** values_ = nullptr;  // the run of the scratch stack, if gathered
  std::uint64_t epoch_ = kLive;  // python_epoch when gathered; kLive: look up
  py::Ref held_;                 // the value live() looked up last
  bool flags_set_ = false;
  Py_ssize_t found_ = 0;  // keys naming a field, of the walk
  std::uint64_t present_ = 0;  // the fields the walk found, by bit, on a record of up to kMaskFields
};

}  // namespace velmora::codec
