#include "codec/read_type.hpp"

#include <algorithm>
#include <vector>

#include "codec/closest.hpp"
#include "codec/compiled.hpp"
#include "codec/messages.hpp"

namespace velmora::codec {
namespace {

using wire::TypeKind;

// The names a caller may write that the codec reads itself, as suggested.
constexpr std::string_view kPrimitives[] = {"int", "long", "double", "int128", "int256", "string",
                                            "bytes", "Bool", "true", "Object"};

const std::vector<std::string>& types_of(const schema::Schema& s) {
  return static_cast<const CompiledSchema*>(s.attachment())->type_names;
}

// A schema that says no type its constructors build cannot tell a type from
// a misspelling: there a name is taken for a type when TL would write it so,
// capitalised (after any namespace), and is no primitive's in other letter case.
bool looks_like_type(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  const char first = name[dot == std::string_view::npos ? 0 : dot + 1];
  if (first < 'A' || first > 'Z') return false;
  for (std::string_view p : kPrimitives) {
    if (p.size() == name.size() &&
        std::equal(p.begin(), p.end(), name.begin(), [](char a, char b) { return (a | 0x20) == (b | 0x20); })) {
      return false;
    }
  }
  return true;
}

bool known_type(std::string_view name, const schema::Schema* s) {
  if (name == "Object") return true;
  if (s == nullptr || types_of(*s).empty()) return looks_like_type(name);
  const auto& types = types_of(*s);
  return std::find(types.begin(), types.end(), name) != types.end();
}

bool unknown_type(std::string_view name, const schema::Schema* s, Fault& fault) {
  std::vector<std::string_view> names(std::begin(kPrimitives), std::end(kPrimitives));
  if (s != nullptr) {
    for (const std::string& t : types_of(*s)) names.push_back(t);
    for (std::size_t i = s->num_methods(); i < s->num_methods() + s->num_constructors(); ++i) {
      names.push_back(*s->by_index(i).name);
    }
  }
  // formatted: "unknown type: <name>" and " (did you mean <a>, <b>?)" when any is near
  return fault.fail(std::string(msg::kUnknownType).append(name) + did_you_mean(closest_names(name, names)));
}

}  // namespace

bool resolve_read_type(std::string_view name, const schema::Schema* s, ReadType& out, Fault& fault) {
  const auto parsed = parse_type_name(name);
  if (!parsed) return fault.fail(std::string(msg::kNotReadable).append(name));
  out = ReadType{*parsed};
  if (parsed->kind == TypeKind::kObject) {
    if (s != nullptr && name != "Object" && s->find_constructor(name) != nullptr) {
      out.bare = true;
    } else if (!known_type(name, s)) {
      return unknown_type(name, s, fault);
    }
  } else if (parsed->kind == TypeKind::kVector && parsed->element == TypeKind::kObject) {
    const std::string_view inner = name.substr(7, name.size() - 8);  // Vector<...>
    if (s != nullptr && s->find_constructor(inner) != nullptr) {
      // formatted: "type not readable: Vector<c>; vector elements are read boxed"
      return fault.fail(std::string(msg::kNotReadable).append(name) + msg::kBoxedElements);
    }
    if (!known_type(inner, s)) return unknown_type(inner, s, fault);
  }
  return true;
}

}  // namespace velmora::codec
