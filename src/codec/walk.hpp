// walk.hpp: the serializer's walk over one call's objects (serializer.cpp
// alone includes it; the entry points in serializer.hpp are the interface).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/compiled.hpp"
#include "codec/depth.hpp"
#include "codec/fault.hpp"
#include "codec/field_values.hpp"
#include "codec/messages.hpp"
#include "codec/refusals.hpp"
#include "schema/schema.hpp"
#include "wire/wire.hpp"

namespace velmora::codec {

using schema::Schema;
using wire::Writer;

// The walk over one call's objects: the top-level one, and by recursion
// every nested object and vector. Each failure is the Fault's text, and
// gains one step of its path per object level on the way out.
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
                        const Schema::Entry& e, Fault& fault) {
    DepthGuard guard(depth_);
    top_args_ = true;
    return write_object(name, dict, s, e, fault, 0);
  }

  // A nested object, or dumps()'s object, whose name is a str: the compiled
  // tables first, the text path when they do not find it. A name without
  // any text form fails with `no_text`. after_name: see FieldValues; the
  // text path, which may run Python code, starts the dict's walk afresh.
  // Inlined into nested_field, so that a nested object takes one frame less.
  [[gnu::always_inline]] bool object_by_name_str(PyObject* name, PyObject* dict, Fault& fault,
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
                    Fault& fault, Py_ssize_t after_name);
  // Inlined into write_object, their one caller: out of line they cost some
  // 2 % of a page.
  [[gnu::always_inline]] bool write_fields(std::string_view name, const CompiledRecord& rec,
                                           FieldValues& values, Fault& fault);
  [[gnu::always_inline]] bool write_flagged_fields(std::string_view name, const CompiledRecord& rec,
                                                   FieldValues& values, const std::uint32_t* words,
                                                   Fault& fault);
  [[gnu::always_inline]] bool flagged_field(std::string_view name, const CompiledField& f,
                                            FieldValues& values, std::size_t i,
                                            const std::uint32_t* words, Fault& fault);
  [[gnu::always_inline]] bool field(std::string_view obj, const CompiledField& f, PyObject* v,
                                    Fault& fault);
  // expect: the type a nested object here must build (CompiledField::expect).
  // field() and value() are forced inline: a call per field costs some 5 % of
  // the walk, and the strict branches alone would tip the compiler against it.
  [[gnu::always_inline]] bool value(TypeKind kind, TypeKind element, const std::string* expect,
                                    PyObject* v, Fault& fault);
  [[gnu::hot]] bool vector(TypeKind element, const std::string* expect, PyObject* v, Fault& fault);
  [[gnu::hot]] bool nested_field(PyObject* v, const std::string* expect, Fault& fault);
  [[gnu::noinline]] bool object_ready_made(PyObject* v, const std::string* expect, Fault& fault);
  [[gnu::noinline]] bool object_by_name_text(PyObject* name, PyObject* dict, Fault& fault,
                                             const char* no_text, const std::string* expect);
  // Inlined into its callers, so that a nested object takes one frame less.
  [[gnu::always_inline]] bool nested_object(std::string_view name, const Schema* s,
                                            const Schema::Entry* e, PyObject* dict, Fault& fault,
                                            const std::string* expect, Py_ssize_t after_name);
  [[gnu::noinline]] static bool unknown_nested(std::string_view name, const Schema& s, Fault& fault);
  [[gnu::noinline]] bool keys_known(PyObject* dict, const CompiledRecord& rec, FieldValues& values,
                                    bool written, Fault& fault);

  // Strict: one step of the path before a failure, ":<field>" or "[<index>]".
  // Out of line, as every text built on the failure path, to keep the
  // recursive frames small.
  [[gnu::noinline]] static void path_index(Py_ssize_t i, Fault& fault) {
    fault.step(std::string("[").append(std::to_string(i)).append("]"));
  }
  [[gnu::noinline]] static void path_field(const CompiledField& f, Fault& fault) {
    fault.step(std::string(":").append(f.def->name));
  }
  [[gnu::noinline]] static void flags_pass(const CompiledRecord& rec, FieldValues& values,
                                           std::uint32_t* words);

  // The failure texts "<object>:<field>: <failure>" and
  // "<object>: missing required field <field>" (codec/messages.hpp); strict,
  // the path's step ":<field>" (the path starts with the top level's name).
  [[gnu::noinline]] void field_error(std::string_view obj, const CompiledField& f, Fault& fault) const {
    if (strict_) return path_field(f, fault);
    std::string where = std::string(obj).append(":").append(f.def->name);
    if (fault.located()) where.append(": ");
    fault.step(where);
  }
  [[gnu::noinline]] static bool missing_field(std::string_view obj, const CompiledField& f, Fault& fault) {
    (void)fault.fail(std::string(msg::kMissingField).append(f.def->name));
    if (obj.empty()) {
      fault.locate();
    } else {
      fault.step(obj);
    }
    return false;
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
