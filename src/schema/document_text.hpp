// document_text.hpp: a schema document's refusals as text, before and
// after the reader: the text that is no UTF-8 or holds a NUL, the reader's
// own syntax messages, and where a refusal points (" at line L column C").
#pragma once

#include <rapidjson/error/error.h>

#include <optional>
#include <string>
#include <string_view>

namespace velmora::schema {

// " at line L column C" for a byte offset of text (columns count bytes, from 1).
std::string position(std::string_view text, std::size_t offset);

// The reader's message for a syntax error, lower-cased, with no full stop.
std::string syntax_message(rapidjson::ParseErrorCode code);

// The refusal of text that is no UTF-8 or holds a raw NUL, with its position.
std::optional<std::string> refuse_text(std::string_view json);

}  // namespace velmora::schema
