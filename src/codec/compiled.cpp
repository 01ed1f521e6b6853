#include "codec/compiled.hpp"

#include <string_view>
#include <unordered_map>

namespace velmora::codec {

namespace {
// Interned, so that lookups in dicts keyed by literals usually match by identity.
py::Ref text(const std::string& s) {
  PyObject* p = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (p) PyUnicode_InternInPlace(&p);
  return py::steal(p);
}
}  // namespace

std::shared_ptr<const schema::Schema> publish_schema(schema::SchemaInput&& input) {
  std::shared_ptr<schema::Schema> s = schema::build_schema(std::move(input));
  auto data = std::make_unique<CompiledSchema>();
  // Field names repeat across records (flags, user_id, peer ...): one str each.
  std::unordered_map<std::string_view, py::Ref> names;
  names.reserve(s->num_slots() * 2);
  auto key_for = [&](const std::string& n) -> py::Ref {
    auto [it, fresh] = names.try_emplace(n);
    if (fresh) it->second = text(n);
    return it->second;
  };
  data->records.resize(s->num_slots());
  for (std::size_t i = 0; i < s->num_slots(); ++i) {
    const schema::Schema::Entry& e = s->slot(i);
    CompiledRecord& out = data->records[i];
    out.name = text(*e.name);
    if (!out.name) return nullptr;
    out.fields.resize(e.record->fields.size());
    for (std::size_t f = 0; f < e.record->fields.size(); ++f) {
      const schema::TlFieldDef& def = e.record->fields[f];
      CompiledField& cf = out.fields[f];
      cf.def = &def;
      cf.key = key_for(def.name);
      if (!cf.key) return nullptr;
      cf.kind = wire::classify(def.type, def.is_vector);
      if (cf.kind == TypeKind::kVector) {
        cf.element = wire::element_kind(def.vector_inner.value_or(""), def.vector_inner.has_value(),
                                  def.vector_inner_is_vector);
      }
      cf.conditional = e.record->has_flags && def.flag_bit.has_value();
      cf.own_word = static_cast<std::uint8_t>(wire::flags_word_index(def.name));
      cf.group_word = static_cast<std::uint8_t>(
          wire::flags_word_index(def.flags_group ? std::string_view(*def.flags_group) : "flags"));
      cf.bit = def.flag_bit ? (1u << (*def.flag_bit % 32)) : 0;
    }
  }
  data->method_slots = py::steal(PyDict_New());
  data->constructor_slots = py::steal(PyDict_New());
  if (!data->method_slots || !data->constructor_slots) return nullptr;
  for (std::size_t i = 0; i < s->num_slots(); ++i) {
    const schema::Schema::Entry& e = s->slot(i);
    // A name may be both a method and a constructor, each with its own slot.
    PyObject* table = s->find_method(*e.name) == &e        ? data->method_slots.get()
                      : s->find_constructor(*e.name) == &e ? data->constructor_slots.get()
                                                           : nullptr;
    if (table == nullptr) continue;
    py::Ref slot = py::steal(PyLong_FromSize_t(i));
    if (!slot || PyDict_SetItem(table, data->records[i].name.get(), slot.get()) < 0) return nullptr;
  }
  s->set_attachment(std::move(data));
  return s;
}

}  // namespace velmora::codec
