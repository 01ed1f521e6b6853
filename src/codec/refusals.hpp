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
#include "codec/fault.hpp"
#include "codec/messages.hpp"
#include "py/py.hpp"

namespace velmora::codec {

// "<text>, got <what was given>": the refusal r of value v, into fault; false.
[[gnu::noinline]] bool refuse(Fault& fault, const msg::Refusal& r, PyObject* v);

// Whether every key of dict is "_" or names a field of rec. Otherwise false,
// with the first other key as the object's own failure "unknown key '<key>'
// (closest field: <name>)"; the flags fields of a record with flags are
// never proposed.
bool keys_name_fields(PyObject* dict, const CompiledRecord& rec, Fault& fault);

// Whether the record e may stand where a nested object of type expect
// belongs: a constructor whose type the document does not say, or says is
// expect. Otherwise false, with the text "<type> expected, got <constructor>
// of type <its type>" or "<type> expected, got method <name>".
bool builds(const schema::Schema& s, const schema::Schema::Entry& e, const std::string& expect,
            Fault& fault);

// The record names of s closest to name: its methods', its constructors', or both.
std::vector<std::string_view> closest_records(const schema::Schema& s, std::string_view name, bool methods,
                                              bool constructors);

// What follows "unknown method: <name>" (or constructor) in the package's
// strict functions: what the name is when the other table has it, else
// " (did you mean ...?)" with the closest names of the table asked, else
// nothing.
std::string unknown_name_hint(const schema::Schema& s, std::string_view name, bool method);

}  // namespace velmora::codec
