// walk.hpp: the serializer's walk over one call's objects (serializer.cpp
// alone includes it; the entry points in serializer.hpp are the interface).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/compiled.hpp"
#include "codec/depth.hpp"
#include "codec/field_values.hpp"
#include "codec/messages.hpp"
#include "codec/refusals.hpp"
#include "schema/schema.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

using schema::Schema;
using wire::Writer;

// The walk over one call's objects: the top-level one, and by recursion
// every nested object and vector. Each failure is a text in err that gains
// one "object:field: " prefix per object level on the way out.
template <bool Strict>
class Serializer {
 public:
  // Strict: the strict twin of each value rule, and the checks only strict
  // encoding makes (unknown keys, the type a nested object builds); its
  // failures name the path ("<object>:<field>[<index>]:<field>: ") instead of
  // nesting one "<object>:<field>: " prefix per object. hex_text: see
  // write_scalar_strict.
  Serializer(Writer& w, schema::SchemaStore::Snapshot top, bool hex_text = false)
      : w_(w), schemas_(std::move(top)), hex_text_(hex_text) {}

  // The call's object, counted as the first level of nesting, of a record
  // found in snapshot s.
  bool top_level_object(std::string_view name, PyObject* dict, const Schema& s,
                        const Schema::Entry& e, std::string& err) {
    DepthGuard guard(depth_);
    top_args_ = true;
    return write_object(name, dict, s, e, err, 0);
  }

  // A nested object, or dumps()'s object, whose name is a str: the compiled
  // tables first, the text path when they do not find it. A name without
  // any text form fails with `no_text`. after_name: see FieldValues; the
  // text path, which may run Python code, starts the dict's walk afresh.
  // Inlined into nested_field, so that a nested object takes one frame less.
  [[gnu::always_inline]] bool object_by_name_str(PyObject* name, PyObject* dict, std::string& err,
                                                 const char* no_text,
                                                 const std::string* expect = nullptr,
                                                 Py_ssize_t after_name = 0);

 private:
  // The recursive path (write_object -> value -> vector / nested_field, with
  // object_by_name_str and nested_object inlined -> write_object) keeps its frames
  // small, so the deepest accepted nesting fits a small thread stack even in
  // sanitizer builds; everything else runs in frames of its own. It is
  // marked hot, as is each step every object takes: the linker keeps hot
  // code together, so that a call runs on few code pages.
  [[gnu::hot]] bool write_object(std::string_view name, PyObject* dict, const Schema& s, const Schema::Entry& e,
                    std::string& err, Py_ssize_t after_name);
  // Inlined into write_object, their one caller: out of line they cost some
  // 2 % of a page.
  [[gnu::always_inline]] bool write_fields(std::string_view name, const CompiledRecord& rec,
                                           FieldValues& values, std::string& err);
  [[gnu::always_inline]] bool write_flagged_fields(std::string_view name, const CompiledRecord& rec,
                                                   FieldValues& values, const std::uint32_t* words,
                                                   std::string& err);
  [[gnu::always_inline]] bool flagged_field(std::string_view name, const CompiledField& f,
                                            FieldValues& values, std::size_t i,
                                            const std::uint32_t* words, std::string& err);
  [[gnu::always_inline]] bool field(std::string_view obj, const CompiledField& f, PyObject* v,
                                    std::string& err);
  // expect: the type a nested object here must build (CompiledField::expect).
  // field() and value() are forced inline: a call per field costs some 5 % of
  // the walk, and the strict branches alone would tip the compiler against it.
  [[gnu::always_inline]] bool value(TypeKind kind, TypeKind element, const std::string* expect,
                                    PyObject* v, std::string& err);
  [[gnu::hot]] bool vector(TypeKind element, const std::string* expect, PyObject* v, std::string& err);
  [[gnu::hot]] bool nested_field(PyObject* v, const std::string* expect, std::string& err);
  [[gnu::noinline]] bool object_ready_made(PyObject* v, const std::string* expect, std::string& err);
  [[gnu::noinline]] bool object_by_name_text(PyObject* name, PyObject* dict, std::string& err,
                                             const char* no_text, const std::string* expect);
  // Inlined into its callers, so that a nested object takes one frame less.
  [[gnu::always_inline]] bool nested_object(std::string_view name, const Schema* s,
                                            const Schema::Entry* e, PyObject* dict, std::string& err,
                                            const std::string* expect, Py_ssize_t after_name);
  // Strict: the refusal's text in err; false.
  [[gnu::noinline]] static bool refuse(const msg::Refusal& r, PyObject* v, std::string& err) {
    err = refusal_text(r, v);
    return false;
  }
  [[gnu::noinline]] bool keys_known(PyObject* dict, const CompiledRecord& rec, FieldValues& values,
                                    bool written, std::string& err);

  // Strict: one step of the path before a failure, ":<field>" or "[<index>]",
  // with ": " before the failure text itself. Out of line, as every text
  // built on the failure path, to keep the recursive frames small.
  [[gnu::noinline]] static void path_step(std::string_view open, std::string_view step,
                                          std::string_view close, std::string& err) {
    const bool path = !err.empty() && (err[0] == ':' || err[0] == '[');
    err.insert(0, std::string(open).append(step).append(close).append(path ? "" : ": "));
  }
  [[gnu::noinline]] static void path_index(Py_ssize_t i, std::string& err) {
    path_step("[", std::to_string(i), "]", err);
  }
  [[gnu::noinline]] static bool refuse_flag(const CompiledField& f, const msg::Refusal& r, PyObject* v,
                                            std::string& err) {
    err = refusal_text(r, v);
    path_step(":", f.def->name, "", err);
    return false;
  }
  [[gnu::noinline]] static void flags_pass(const CompiledRecord& rec, FieldValues& values,
                                           std::uint32_t* words);

  // The failure texts "<object>:<field>: <failure>" and
  // "<object>: missing required field <field>" (codec/messages.hpp); strict,
  // the path's step ":<field>".
  [[gnu::noinline]] void field_error(std::string_view obj, const CompiledField& f,
                                     std::string& err) const {
    if (strict_) return path_step(":", f.def->name, "", err);
    std::string m;
    m.reserve(obj.size() + f.def->name.size() + err.size() + 3);
    m.append(obj).append(":").append(f.def->name).append(": ").append(err);
    err.swap(m);
  }
  [[gnu::noinline]] static void missing_field(std::string_view obj, const CompiledField& f,
                                              std::string& err) {
    err.assign(obj).append(msg::kMissingField).append(f.def->name);
  }

  Writer& w_;                      // the bytes of the whole call
  unsigned depth_ = 0;             // objects open, the top-level one counted first
  schema::SnapshotCache schemas_;  // the top-level object's, then each nested object's
  GatherState gathered_;           // the field values of the objects open
  static constexpr bool strict_ = Strict;  // a type of its own, so lenient runs no strict test
  const bool hex_text_;            // strict, from JSON: hex text for bytes-like
  bool top_args_ = false;          // the top-level object is an arguments dict, maybe without "_"
};

}  // namespace velmora::codec
