#include "codec/refusals.hpp"

#include <algorithm>
#include <numeric>
#include <string_view>
#include <vector>

#include "codec/value_rules.hpp"

namespace velmora::codec {
namespace {

// The value shown after "got": its repr, cut short at a character's start.
std::string shown_value(PyObject* v) {
  py::Ref r = py::steal(PyObject_Repr(v));
  if (!r) {
    PyErr_Clear();
    return py::type_qualname(v);
  }
  std::string t = py::str_utf8(r.get());
  constexpr std::size_t kShown = 40;
  if (t.size() <= kShown) return t;
  std::size_t cut = kShown / 2;
  while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
  return t.substr(0, cut).append("... (").append(std::to_string(t.size())).append(" characters)");
}

// Edits (insert, delete, replace one byte) that turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

bool names_field(const CompiledRecord& rec, PyObject* key) {
  if (PyUnicode_CompareWithASCIIString(key, "_") == 0) return true;
  for (const CompiledField& f : rec.fields) {
    if (PyUnicode_Compare(key, f.key.get()) == 0) return true;
  }
  PyErr_Clear();  // a comparison that failed is no match
  return false;
}

// The closest field name to text, the first of equals in schema order.
const std::string* closest_field(const CompiledRecord& rec, std::string_view text) {
  const std::string* best = nullptr;
  std::size_t best_distance = 0;
  for (const CompiledField& f : rec.fields) {
    if (rec.has_flags && f.kind == TypeKind::kFlags) continue;
    const std::size_t d = edit_distance(text, f.def->name);
    if (best == nullptr || d < best_distance) {
      best = &f.def->name;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace

std::string refusal_text(const msg::Refusal& r, PyObject* v) {
  std::string m = r.text;
  switch (r.given) {
    case msg::Given::kNothing: return m;
    case msg::Given::kType: return m.append(", got ").append(py::type_qualname(v));
    case msg::Given::kValue: return m.append(", got ").append(shown_value(v));
    case msg::Given::kLength: break;
  }
  return m.append(", got ").append(std::to_string(given_byte_length(v)));
}

bool find_unknown_key(PyObject* dict, const CompiledRecord& rec, std::string& err) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (py::is_str(key) && names_field(rec, key)) continue;
    py::Ref hold = py::borrow(key);
    const std::string text = py::str_utf8(key);
    const std::string* closest = closest_field(rec, text);
    // formatted: "unknown key <repr> (closest field: <name>)" or "... (no fields)"
    err.assign(msg::kStrictUnknownKey).append(shown_value(key));
    if (closest == nullptr) {
      err.append(msg::kStrictNoFields);
    } else {
      err.append(msg::kStrictClosest).append(*closest).append(")");
    }
    return true;
  }
  return false;
}

bool builds(const schema::Schema& s, const schema::Schema::Entry& e, const std::string& expect,
            std::string& err) {
  const std::string* type = compiled(s, e).type;
  const bool method = e.index < s.num_methods();
  if (!method && (type == nullptr || type == &expect || *type == expect)) return true;
  // formatted: "<type> expected, got <constructor> of type <type>", "... got method <name>"
  err.assign(expect).append(" expected, got ");
  if (method) {
    err.append(msg::kStrictMethod).append(*e.name);
  } else {
    err.append(*e.name).append(msg::kStrictOfType).append(*type);
  }
  return false;
}

}  // namespace velmora::codec
