// messages.hpp: the codec's failure texts.
//
// Callers match on these texts (they reach Python as the ValueError or
// RuntimeError message, after the "object:field: " prefixes): change none of
// them. Odd-looking ones are deliberate, kept as callers know them: "int
// expected" for a long or int128 value of any wrong kind, "bytes expected"
// for a str with no UTF-8 form, the "ValueError: " written into a nested
// object's failure, and the missing colon after "unknown constructor" for a
// nested object where the top level has one. Formatted texts are marked
// where they are made.
#pragma once

namespace velmora::codec::msg {

// Values (codec/value_rules.cpp).
inline constexpr const char* kIntExpected = "int expected";
inline constexpr const char* kDoubleExpected = "double expected";
inline constexpr const char* kBytesExpected = "bytes expected";
inline constexpr const char* kBytesTooLong = "bytes too long";
inline constexpr const char* kStringTooLong = "string too long";
inline constexpr const char* kInt256Length = "int256 must be 32 bytes";
inline constexpr const char* kUnknownFieldType = "unknown field type";
inline constexpr const char* kNestedNotEncoded = "nested field expected dict or bytes";
inline constexpr const char* kNestedBadHex = "nested field expected dict or bytes, got string";

// Strict refusals (codec/value_rules.cpp, codec/refusals.cpp): each is
// shown as "<text>, got <what was given>", as its Given says; the walk puts
// the path before it ("<object>:<field>[<index>]:<field>: ").
enum class Given : unsigned char { kType, kValue, kLength, kNothing };
struct Refusal {
  const char* text;
  Given given;
};
inline constexpr Refusal kStrictInt{"int expected", Given::kType};
inline constexpr Refusal kStrictIntRange{"int out of range", Given::kValue};
inline constexpr Refusal kStrictLong{"long expected", Given::kType};
inline constexpr Refusal kStrictLongRange{"long out of range", Given::kValue};
inline constexpr Refusal kStrictDouble{"double expected", Given::kType};
inline constexpr Refusal kStrictDoubleRange{"double out of range", Given::kValue};
inline constexpr Refusal kStrictInt128{"int128 expected", Given::kType};
inline constexpr Refusal kStrictInt128Range{"int128 out of range", Given::kValue};
inline constexpr Refusal kStrictInt128Length{"int128 needs 16 bytes", Given::kLength};
inline constexpr Refusal kStrictInt256{"int256 expected", Given::kType};
inline constexpr Refusal kStrictInt256Range{"int256 out of range", Given::kValue};
inline constexpr Refusal kStrictInt256Length{"int256 needs 32 bytes", Given::kLength};
inline constexpr Refusal kStrictBytes{"bytes expected", Given::kType};
inline constexpr Refusal kStrictString{"string expected", Given::kType};
inline constexpr Refusal kStrictNoUtf8{"string expected, got str with no UTF-8 form", Given::kNothing};
inline constexpr Refusal kStrictHex{"hex text expected", Given::kValue};
inline constexpr Refusal kStrictNotContiguous{"memoryview not C-contiguous", Given::kNothing};
inline constexpr Refusal kStrictBool{"Bool expected", Given::kType};
inline constexpr Refusal kStrictFlag{"bool or None expected", Given::kType};
inline constexpr Refusal kStrictVector{"list or tuple expected", Given::kType};
inline constexpr Refusal kStrictNested{"dict or bytes expected", Given::kType};
inline constexpr Refusal kStrictReadyMade{"ready-made bytes must be a non-empty multiple of 4 bytes", Given::kLength};
inline constexpr Refusal kStrictBytesTooLong{"bytes too long", Given::kNothing};
inline constexpr Refusal kStrictStringTooLong{"string too long", Given::kNothing};
// "<type> expected, got <constructor> of type <its type>" and
// "<type> expected, got method <name>".
inline constexpr const char* kStrictOfType = " of type ";
inline constexpr const char* kStrictMethod = "method ";
// "unknown key '<key>' (closest field: <name>)", or "(no fields)".
inline constexpr const char* kStrictUnknownKey = "unknown key ";
inline constexpr const char* kStrictClosest = " (closest field: ";
inline constexpr const char* kStrictNoFields = " (no fields)";

// Objects and vectors (codec/serializer.cpp); the deserializer shares the
// nesting bound's text.
inline constexpr const char* kTooDeep = "nesting too deep";
inline constexpr const char* kVectorExpected = "vector expected array";
inline constexpr const char* kVectorResized = "vector changed size during serialization";
inline constexpr const char* kNestedNoName = "nested object missing _";
inline constexpr const char* kDumpsNoName = "dumps requires _ constructor name";
inline constexpr const char* kArgsNotDict = "TL args must be a dict";
inline constexpr const char* kNoSchema = "schema not loaded";
// A nested object's failure, as its outer field reports it.
inline constexpr const char* kNestedPrefix = "ValueError: ";
// Followed by the name: a nested object's (no colon) and the top level's.
inline constexpr const char* kUnknownNested = "unknown constructor ";
inline constexpr const char* kUnknownConstructor = "unknown constructor: ";
inline constexpr const char* kUnknownMethod = "unknown method: ";
// The package's hints after an unknown name (codec/closest.cpp,
// codec/serializer.cpp): " (did you mean <a>, <b>?)", or what the name is.
inline constexpr const char* kDidYouMean = " (did you mean ";
inline constexpr const char* kIsConstructor = " (a constructor, not a method: serialize_constructor encodes it)";
inline constexpr const char* kIsMethod = " (a method, not a constructor: serialize_method encodes it)";
// "<object>: missing required field <field>" and "<object>:<field>: <failure>"
// (the ": " between where and what is codec/fault.hpp's).
inline constexpr const char* kMissingField = "missing required field ";

// Decoding (codec/deserializer.cpp).
inline constexpr const char* kEof = "unexpected eof";
inline constexpr const char* kBadVectorCount = "invalid vector count";
inline constexpr const char* kBadStringLen = "bad string len";
inline constexpr const char* kBadBytesLen = "bad bytes len";
// velmora.read's type names (codec/read_type.cpp): "unknown type: <name>",
// and "type not readable: <name>", for a vector of a constructor with the
// reason after it.
inline constexpr const char* kUnknownType = "unknown type: ";
inline constexpr const char* kNotReadable = "type not readable: ";
inline constexpr const char* kBoxedElements = "; a vector's elements are read boxed, with their identifiers";
// Strict decoding, the package's: "Bool expected, got #<id> at offset <n>",
// "<n> bytes after the object at offset <m>".
inline constexpr const char* kNotABool = "Bool expected, got ";
inline constexpr const char* kAtOffset = " at offset ";
inline constexpr const char* kTrailingBytes = " bytes after the object at offset ";

}  // namespace velmora::codec::msg
