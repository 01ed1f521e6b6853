#include "codec/refusals.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "codec/closest.hpp"
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

bool refuse(Fault& fault, const msg::Refusal& r, PyObject* v) {
  std::string m = r.text;
  switch (r.given) {
    case msg::Given::kNothing: break;
    case msg::Given::kType: m.append(", got ").append(py::type_qualname(v)); break;
    case msg::Given::kValue: m.append(", got ").append(shown_value(v)); break;
    case msg::Given::kLength: m.append(", got ").append(std::to_string(given_byte_length(v))); break;
  }
  return fault.fail(std::move(m));
}

bool keys_name_fields(PyObject* dict, const CompiledRecord& rec, Fault& fault) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (py::is_str(key) && names_field(rec, key)) continue;
    py::Ref hold = py::borrow(key);
    const std::string text = py::str_utf8(key);
    const std::string* closest = closest_field(rec, text);
    // formatted: "unknown key <repr> (closest field: <name>)" or "... (no fields)"
    std::string m = std::string(msg::kStrictUnknownKey).append(shown_value(key));
    if (closest == nullptr) {
      m.append(msg::kStrictNoFields);
    } else {
      m.append(msg::kStrictClosest).append(*closest).append(")");
    }
    (void)fault.fail(std::move(m));
    fault.locate();
    return false;
  }
  return true;
}

bool builds(const schema::Schema& s, const schema::Schema::Entry& e, const std::string& expect,
            Fault& fault) {
  const std::string* type = compiled(s, e).type;
  const bool method = e.index < s.num_methods();
  if (!method && (type == nullptr || type == &expect || *type == expect)) return true;
  // formatted: "<type> expected, got <constructor> of type <type>", "... got method <name>"
  std::string m = std::string(expect).append(" expected, got ");
  if (method) {
    m.append(msg::kStrictMethod).append(*e.name);
  } else {
    m.append(*e.name).append(msg::kStrictOfType).append(*type);
  }
  return fault.fail(std::move(m));
}

std::vector<std::string_view> closest_records(const schema::Schema& s, std::string_view name, bool methods,
                                              bool constructors) {
  const std::size_t from = methods ? 0 : s.num_methods();
  const std::size_t to = s.num_methods() + (constructors ? s.num_constructors() : 0);
  std::vector<std::string_view> names;
  for (std::size_t i = from; i < to; ++i) names.push_back(*s.by_index(i).name);
  return closest_names(name, names);
}

std::string unknown_name_hint(const schema::Schema& s, std::string_view name, bool method) {
  if (method && s.find_constructor(name) != nullptr) return msg::kIsConstructor;
  if (!method && s.find_method(name) != nullptr) return msg::kIsMethod;
  return did_you_mean(closest_records(s, name, method, !method));
}

}  // namespace velmora::codec
