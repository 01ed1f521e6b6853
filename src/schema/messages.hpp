// messages.hpp: the fixed texts of a refused schema document.
//
// load_schema hands these to Python after "schema parsing failed: ", and
// callers match on them: keep every text as it is. Some look odd on purpose.
// The record names ("struct TlMethod", "struct TlFieldDef with 8 elements")
// and the serde-like phrasing ("invalid type: integer, expected ...") are the
// wording callers already know; the positional length names only the values
// an array may hold, not the keys read from objects alone ("type",
// "result"). Each message ends with " at line L column C", where the reader
// stopped (columns count bytes, from 1).
#pragma once

namespace velmora::schema::msg {

// The records, as the messages name them.
inline constexpr const char* kSchemaInput = "struct SchemaInput";
inline constexpr const char* kTlMethod = "struct TlMethod";
inline constexpr const char* kTlConstructor = "struct TlConstructor";
inline constexpr const char* kTlFieldDef = "struct TlFieldDef";

// The pieces the messages are built from, in the order they appear:
//   invalid type: <json kind>, expected <record>
//   invalid type: <json kind> for key "<key>", expected <expectation>
//   invalid value: integer <n> for key "<key>", expected <expectation>
//   duplicate key "<key>" in <record>
//   missing key "<key>" in <record>
//   invalid length <n>, expected <record> with <count> elements
//   too many elements, expected <record> with <count> elements
inline constexpr const char* kInvalidType = "invalid type: ";
inline constexpr const char* kInvalidInteger = "invalid value: integer ";
inline constexpr const char* kForKey = " for key \"";
inline constexpr const char* kExpected = ", expected ";
inline constexpr const char* kKeyExpected = "\", expected ";
inline constexpr const char* kDuplicateKey = "duplicate key \"";
inline constexpr const char* kMissingKey = "missing key \"";
inline constexpr const char* kKeyIn = "\" in ";
inline constexpr const char* kInvalidLength = "invalid length ";
inline constexpr const char* kTooMany = "too many elements, expected ";
inline constexpr const char* kWith = " with ";
inline constexpr const char* kElements = " elements";

// What a key's value must be.
inline constexpr const char* kExpectU32 = "an integer from 0 to 4294967295";
inline constexpr const char* kExpectOptU32 = "an integer from 0 to 4294967295 or null";
inline constexpr const char* kExpectBool = "a boolean";
inline constexpr const char* kExpectText = "a string";
inline constexpr const char* kExpectOptText = "a string or null";
inline constexpr const char* kExpectMethodMap = "an object of struct TlMethod";
inline constexpr const char* kExpectConstructorMap = "an object of struct TlConstructor";
inline constexpr const char* kExpectFieldList = "an array of struct TlFieldDef";

// The JSON kinds of a value, as the messages name them.
inline constexpr const char* kJsonNull = "null";
inline constexpr const char* kJsonBool = "boolean";
inline constexpr const char* kJsonInt = "integer";
inline constexpr const char* kJsonFloat = "floating point number";
inline constexpr const char* kJsonString = "string";
inline constexpr const char* kJsonArray = "array";
inline constexpr const char* kJsonObject = "object";

// Refusals of the text itself, before or instead of the reader's own
// message (which is lower-cased and loses its final full stop).
inline constexpr const char* kNestingDeeper = "nesting deeper than ";  // + "127 levels"
inline constexpr const char* kLevels = " levels";
inline constexpr const char* kInvalidUtf8 = "invalid utf-8";
inline constexpr const char* kNulCharacter = "unexpected nul character";
inline constexpr const char* kTrailing = "trailing characters";
inline constexpr const char* kEmptyDocument = "empty document";
inline constexpr const char* kAtLine = " at line ";
inline constexpr const char* kColumn = " column ";

}  // namespace velmora::schema::msg
