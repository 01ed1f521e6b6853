#include "codec/type_name.hpp"

namespace velmora::codec {
namespace {

using wire::TypeKind;

// The T of "Vector<T>", or nothing when name is not of that form.
std::optional<std::string_view> vector_inner(std::string_view name) noexcept {
  constexpr std::string_view kOpen = "Vector<";
  if (!name.starts_with(kOpen) || !name.ends_with('>')) return std::nullopt;
  return name.substr(kOpen.size(), name.size() - kOpen.size() - 1);
}

}  // namespace

std::optional<ValueType> parse_type_name(std::string_view name) noexcept {
  if (name.empty() || name.find_first_of("<> ") != std::string_view::npos) {
    const auto inner = vector_inner(name);
    if (!inner || inner->empty()) return std::nullopt;
    if (const auto inner2 = vector_inner(*inner)) {
      // The codec's vectors of vectors hold "int" elements only.
      if (*inner2 != "int") return std::nullopt;
      return ValueType{TypeKind::kVector, TypeKind::kVector};
    }
    if (inner->find_first_of("<> ") != std::string_view::npos) return std::nullopt;
    const TypeKind element = wire::classify(*inner, false);
    return ValueType{TypeKind::kVector, element};
  }
  return ValueType{wire::classify(name, false), TypeKind::kInt};
}

}  // namespace velmora::codec
