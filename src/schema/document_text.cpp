#include "schema/document_text.hpp"

#include <rapidjson/error/en.h>

#include <cctype>
#include <cstdint>
#include <cstring>

#include "schema/messages.hpp"
#include "wire/utf8.hpp"

namespace velmora::schema {


std::string position(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return msg::kAtLine + std::to_string(line) + msg::kColumn + std::to_string(offset - line_start + 1);
}

std::string syntax_message(rapidjson::ParseErrorCode code) {
  std::string m = rapidjson::GetParseError_En(code);
  if (!m.empty() && m.back() == '.') m.pop_back();
  for (char& c : m) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (code == rapidjson::kParseErrorDocumentRootNotSingular) m = msg::kTrailing;
  if (code == rapidjson::kParseErrorDocumentEmpty) m = msg::kEmptyDocument;
  return m;
}

std::optional<std::string> refuse_text(std::string_view json) {
  // Checking the whole text up front is several times cheaper than the
  // reader's own per-character validation.
  std::size_t bad = 0, bad_len = 0;
  if (!wire::check_utf8(reinterpret_cast<const std::uint8_t*>(json.data()), json.size(), &bad, &bad_len)) {
    return msg::kInvalidUtf8 + position(json, bad);
  }
  // A raw NUL is never valid JSON; refusing it here lets the reader run on a
  // NUL-terminated copy, parsed in place, which is much faster than a
  // bounds-checked stream.
  if (const void* nul = std::memchr(json.data(), 0, json.size())) {
    return msg::kNulCharacter + position(json, static_cast<std::size_t>(static_cast<const char*>(nul) - json.data()));
  }
  return std::nullopt;
}

}  // namespace velmora::schema
