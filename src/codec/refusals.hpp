// refusals.hpp: how strict encoding words a refusal.
//
// What was given (its type, its value or its length, as the refusal says),
// and for a key that names no field, the field name closest to it. Only the
// failure path comes here.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codec/compiled.hpp"
#include "codec/messages.hpp"
#include "py/py.hpp"

namespace velmora::codec {

// "<text>, got <what was given>": the refusal r of value v.
std::string refusal_text(const msg::Refusal& r, PyObject* v);

// The first key of dict that is not "_" and names no field of rec, as the
// text "unknown key '<key>' (closest field: <name>)"; the flags fields of a
// record with flags are never proposed. False when every key names a field.
bool find_unknown_key(PyObject* dict, const CompiledRecord& rec, std::string& err);

// Whether the record e may stand where a nested object of type expect
// belongs: a constructor whose type the document does not say, or says is
// expect. Otherwise false, with the text "<type> expected, got <constructor>
// of type <its type>" or "<type> expected, got method <name>".
bool builds(const schema::Schema& s, const schema::Schema::Entry& e, const std::string& expect,
            std::string& err);

// The record names of s closest to name: its methods', its constructors', or both.
std::vector<std::string_view> closest_records(const schema::Schema& s, std::string_view name, bool methods,
                                              bool constructors);

// What follows "unknown method: <name>" (or constructor) in the package's
// strict functions: what the name is when the other table has it, else
// " (did you mean ...?)" with the closest names of the table asked, else
// nothing.
std::string unknown_name_hint(const schema::Schema& s, std::string_view name, bool method);

}  // namespace velmora::codec
