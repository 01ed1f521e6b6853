# Turns INPUT into a C++ source defining the text as a byte array, so that
# the document file stays the one place the default schema is written.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR byte_len "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" body "${body}")
file(WRITE ${OUTPUT}
"// Generated from default_schema.json at build time; do not edit.\n"
"#include <cstddef>\n"
"#include <string_view>\n"
"namespace velmora::schema {\n"
"namespace {\n"
"constexpr char kText[] = {\n${body}\n0};\n"
"}  // namespace\n"
"extern const std::string_view kDefaultSchemaText{kText, ${byte_len}};\n"
"}  // namespace velmora::schema\n")
