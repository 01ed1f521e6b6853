#include "codec/field_values.hpp"

namespace velmora::codec {

// The gather stores the index's answer as the hint of its step.
static_assert(RecordHints::kNoField == SmallIndex::kNone);

namespace {

// The field named by an exact str that is not the interned name itself.
std::uint32_t find_equal(const CompiledRecord& rec, PyObject* key) {
  const Py_hash_t h = PyObject_Hash(key);  // cached by the str
  for (std::uint32_t i = 0; i < rec.fields.size(); ++i) {
    const CompiledField& f = rec.fields[i];
    if (f.hash == h && PyUnicode_Compare(key, f.key.get()) == 0) return i;
  }
  return SmallIndex::kNone;
}

}  // namespace

void FieldValues::start(std::uint32_t* words, Py_ssize_t after_name) {
  if (!rec_.gather) {
    python_may_run();  // lookups in a dict not walked may call a key's __eq__
    return;
  }
  values_ = g_.stack.push(rec_.fields.size());
  // A record with a field named "_" reads that key as a field: from the start.
  if (gather(words, rec_.underscore_field ? 0 : after_name)) epoch_ = python_epoch;
}

// Puts the dict's values into the run, matching each key by the address of
// the interned field name, else (a str equal but not the same, as json.loads
// makes) by hash and text. False at the first key that is not an exact str:
// only the dict's own lookup knows how such a key compares, and it may run
// Python code.
bool FieldValues::gather(std::uint32_t* words, Py_ssize_t pos) {
  // The flags pass sets a bit for each conditional value other than None, a
  // presence flag only for True. With no other presence-flag value, whose
  // truth may take Python code and so must be asked in field order, the bits
  // do not depend on the order they are met in.
  bool plain = words != nullptr;
  PyObject* const underscore = underscore_key.get();
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  // An exact str key names one field at most, so the walk may stop once every
  // field has its value.
  const std::span<std::uint32_t> order_hint = hints_.key_order();
  std::uint32_t* const order = order_hint.data();
  const std::size_t steps = order_hint.size();
  std::size_t step = 0;
  std::size_t left = rec_.fields.size();
  for (; left != 0 && PyDict_Next(dict_, &pos, &k, &v); ++step) {
    std::uint32_t i = step < steps ? py::hint_load(order[step]) : SmallIndex::kNone;
    if (i == SmallIndex::kNone || rec_.fields[i].key.get() != k) {
      i = rec_.by_key.find(address(k));
      if (step < steps) py::hint_store(order[step], i);
    }
    if (i == SmallIndex::kNone) {
      if (!py::is_exact_str(k)) {
        python_may_run();
        return false;
      }
      if (k == underscore) continue;
      i = find_equal(rec_, k);
      if (i == SmallIndex::kNone) continue;
    }
    Py_INCREF(v);
    values_[i] = v;
    --left;
    present_ |= std::uint64_t{1} << (i % kMaskFields);  // no use made of it past kMaskFields fields
    const CompiledField& f = rec_.fields[i];
    if (plain && f.conditional && v != Py_None) {
      if (!f.presence_flag || v == Py_True) {
        words[f.group_word] |= f.bit;
      } else {
        plain = v == Py_False;
      }
    }
  }
  flags_set_ = plain;
  found_ = static_cast<Py_ssize_t>(rec_.fields.size() - left);
  return true;
}

}  // namespace velmora::codec
