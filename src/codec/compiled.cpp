#include "codec/compiled.hpp"

#include <bit>
#include <string_view>
#include <unordered_map>

namespace velmora::codec {

bool SmallIndex::build(const Entries& entries) {
  std::size_t size = 2;
  while (size < 2 * entries.size() + 1) size *= 2;
  buckets_.assign(size, Bucket{0, kNone});
  table_ = buckets_.data();
  mask_ = size - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
  bool distinct = true;
  for (const auto& [key, value] : entries) {
    std::size_t i = home(key);
    for (; buckets_[i].value != kNone; i = (i + 1) & mask_) distinct &= buckets_[i].key != key;
    buckets_[i] = Bucket{key, value};
  }
  return distinct;
}

namespace {
// Interned, so that lookups in dicts keyed by literals usually match by identity.
py::Ref text(const std::string& s) {
  PyObject* p = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (p) PyUnicode_InternInPlace(&p);
  return py::steal(p);
}

using Entries = SmallIndex::Entries;

// CompiledRecord::always_visit.
std::uint64_t always_visited(const CompiledRecord& rec) {
  std::uint64_t mask = 0;
  for (std::size_t i = 0; i < rec.fields.size() && i < kMaskFields; ++i) {
    const CompiledField& f = rec.fields[i];
    bool always = !f.conditional;
    for (const CompiledField& g : rec.fields) {
      const bool sibling = &g != &f && g.conditional && g.group_word == f.group_word && g.bit == f.bit;
      always |= sibling && !f.presence_flag;
    }
    if (always) mask |= std::uint64_t{1} << i;
  }
  return mask;
}

bool has_fixed_layout(const CompiledRecord& rec) {
  unsigned read = 0;  // a bit per flags word
  for (const CompiledField& f : rec.fields) {
    if (f.kind == TypeKind::kFlags) {
      if (read & (1u << f.own_word)) return false;
      read |= 1u << f.own_word;
    } else if (f.conditional && !(read & (1u << f.group_word))) {
      return false;
    }
  }
  return true;
}

// The field index of each record, the hashes of the field names and whether
// the flags' layout is fixed; false
// with a Python error set when a name cannot be hashed. Field names are
// interned and shared, so equal names are the same object.
bool index_fields(CompiledSchema& data) {
  Entries entries;
  for (CompiledRecord& rec : data.records) {
    entries.clear();
    for (std::uint32_t i = 0; i < rec.fields.size(); ++i) {
      CompiledField& f = rec.fields[i];
      f.hash = PyObject_Hash(f.key.get());
      if (f.hash == -1) return false;
      entries.emplace_back(address(f.key.get()), i);
    }
    rec.gather = rec.by_key.build(entries);
    rec.fixed_layout = has_fixed_layout(rec);
    rec.always_visit = always_visited(rec);
  }
  return true;
}

// The tables that find a record from its name or identifier; false with a
// Python error set when one cannot be made.
bool index_names(const schema::Schema& s, CompiledSchema& data) {
  // Record indexes number the methods first, then the constructors, each
  // under a name of its own kind; a name may be both.
  const std::size_t methods = s.num_methods();
  data.method_indexes = py::steal(PyDict_New());
  data.constructor_indexes = py::steal(PyDict_New());
  if (!data.method_indexes || !data.constructor_indexes) return false;
  for (std::size_t i = 0; i < s.num_records(); ++i) {
    PyObject* table = i < methods ? data.method_indexes.get() : data.constructor_indexes.get();
    py::Ref index = py::steal(PyLong_FromSize_t(i));
    if (!index || PyDict_SetItem(table, data.records[i].name.get(), index.get()) < 0) return false;
  }
  // An index finds the first of equal keys: constructors before methods of
  // the same (interned, so identical) name. Of constructors sharing a cid,
  // the one the Schema finds (build_schema says which).
  Entries scratch;
  for (std::size_t i = methods; i < s.num_records(); ++i) {
    scratch.emplace_back(address(data.records[i].name.get()), i);
  }
  for (std::size_t i = 0; i < methods; ++i) {
    scratch.emplace_back(address(data.records[i].name.get()), i);
  }
  (void)data.nested_by_name.build(scratch);
  scratch.clear();
  for (std::size_t i = methods; i < s.num_records(); ++i) {
    const schema::Schema::Entry& e = s.by_index(i);
    if (s.find_constructor_by_cid(e.record->cid) == &e) scratch.emplace_back(e.record->cid, i);
  }
  (void)data.by_cid.build(scratch);
  return true;
}

// The type each constructor builds, where the document says it; then each
// object-typed field's (or its elements') expected type where a constructor
// builds it. The constructors are read from input before build_schema,
// which keeps the first of equal names.
void index_types(const schema::SchemaInput& input, const schema::Schema& s, CompiledSchema& data) {
  std::unordered_map<std::string_view, std::size_t> ids;    // type -> index in type_names
  std::unordered_map<std::string_view, std::size_t> built;  // constructor name -> index
  for (const auto& [name, rec] : input.constructors) {
    auto [it, fresh] = ids.try_emplace(rec.type, data.type_names.size());
    if (fresh) data.type_names.push_back(rec.type);
    built.try_emplace(name, it->second);
  }
  for (std::size_t i = s.num_methods(); i < s.num_records(); ++i) {
    auto it = built.find(*s.by_index(i).name);
    if (it != built.end()) data.records[i].type = &data.type_names[it->second];
  }
  for (CompiledRecord& rec : data.records) {
    for (CompiledField& f : rec.fields) {
      const bool items = f.kind == TypeKind::kVector && f.element == TypeKind::kObject;
      if (f.kind != TypeKind::kObject && !items) continue;
      auto it = ids.find(items ? f.def->vector_inner.value_or("") : f.def->type);
      if (it != ids.end()) f.expect = &data.type_names[it->second];
    }
  }
}

}  // namespace

schema::SchemaStore::Snapshot current_snapshot() {
  const schema::SchemaStore& store = schema::SchemaStore::instance();
#ifdef VELMORA_FREE_THREADED
  // Not kept: a copy shared by the threads would need a lock of its own, and
  // one per thread could outlive its thread's interpreter state and release
  // the last Python objects of a replaced schema without it. The store's own
  // read lock serves, once per call.
  return store.snapshot();
#else
  // Kept from call to call, under the GIL; never destroyed, as the store.
  static auto* const kept = new schema::SchemaStore::Snapshot();
  if (!kept->schema || kept->generation != store.generation()) *kept = store.snapshot();
  return *kept;
#endif
}

std::shared_ptr<const schema::Schema> publish_schema(schema::SchemaInput&& input) {
  // The constructors' types, which the Schema does not keep.
  schema::SchemaInput types;
  for (auto& [name, rec] : input.constructors) {
    if (rec.type.empty()) continue;
    types.constructors.emplace_back(name, schema::TlConstructor{});
    types.constructors.back().second.type = rec.type;
  }
  std::shared_ptr<schema::Schema> s = schema::build_schema(std::move(input));
  auto data = std::make_unique<CompiledSchema>();
  // Field names repeat across records (flags, user_id, peer ...): one str each.
  std::unordered_map<std::string_view, py::Ref> names;
  names.reserve(s->num_records() * 2);
  auto key_for = [&](const std::string& n) -> py::Ref {
    auto [it, fresh] = names.try_emplace(n);
    if (fresh) it->second = text(n);
    return it->second;
  };
  data->records.resize(s->num_records());
  for (std::size_t i = 0; i < s->num_records(); ++i) {
    const schema::Schema::Entry& e = s->by_index(i);
    CompiledRecord& out = data->records[i];
    out.name = text(*e.name);
    if (!out.name) return nullptr;
    out.fields.resize(e.record->fields.size());
    out.has_flags = e.record->has_flags;
    for (std::size_t f = 0; f < e.record->fields.size(); ++f) {
      const schema::TlFieldDef& def = e.record->fields[f];
      CompiledField& cf = out.fields[f];
      cf.def = &def;
      out.underscore_field |= def.name == "_";
      cf.key = key_for(def.name);
      if (!cf.key) return nullptr;
      cf.kind = wire::classify(def.type, def.is_vector);
      if (cf.kind == TypeKind::kVector) {
        cf.element = wire::element_kind(def.vector_inner.value_or(""), def.vector_inner.has_value(),
                                  def.vector_inner_is_vector);
      }
      cf.conditional = e.record->has_flags && def.flag_bit.has_value();
      cf.presence_flag = def.is_bare;
      cf.own_word = static_cast<std::uint8_t>(wire::flags_word_index(def.name));
      cf.group_word = static_cast<std::uint8_t>(
          wire::flags_word_index(def.flags_group ? std::string_view(*def.flags_group) : "flags"));
      cf.bit = def.flag_bit ? (1u << (*def.flag_bit % 32)) : 0;
    }
  }
  if (!index_fields(*data)) return nullptr;
  if (!index_names(*s, *data)) return nullptr;
  index_types(types, *s, *data);
  std::vector<RecordHints> hints;
  hints.reserve(data->records.size());
  for (const CompiledRecord& rec : data->records) hints.emplace_back(rec.fields.size());
  data->hints = std::make_unique<HintTable>(std::move(hints));
  s->set_attachment(std::move(data));
  return s;
}

}  // namespace velmora::codec
