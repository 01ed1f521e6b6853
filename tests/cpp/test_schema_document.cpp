// Schema documents: refusals with their positions, accepted forms, the index, the compiled-in document.
#include <gtest/gtest.h>

#include <tuple>
#include <string>
#include <string_view>

#include "schema/schema.hpp"

namespace velmora::schema {
namespace {

using namespace std::string_view_literals;

SchemaInput parse_ok(std::string_view doc) {
  std::string err;
  auto r = parse_schema_document(doc, &err);
  EXPECT_TRUE(r.has_value()) << doc << ": " << err;
  return r ? std::move(*r) : SchemaInput{};
}

std::string error_of(std::string_view doc) {
  std::string err;
  EXPECT_FALSE(parse_schema_document(doc, &err).has_value()) << doc;
  EXPECT_FALSE(parse_schema_document(doc, nullptr).has_value()) << doc;  // no text wanted, none written
  return err;
}

struct Refusal {
  std::string_view doc;
  const char* message;  // the whole message, position included
};

const Refusal kRefusals[] = {
    {"", "empty document at line 1 column 1"},
    {R"({"layer": 5})", "missing key \"methods\" in struct SchemaInput at line 1 column 12"},
    {R"({"methods": {}} x)", "trailing characters at line 1 column 17"},
    {R"({"layer": 4294967296, "methods": {}})",
     "invalid value: integer 4294967296 for key \"layer\", expected an integer from 0 to 4294967295 at "
     "line 1 column 11"},
    {R"({"layer": [], "methods": {}})",
     "invalid type: array for key \"layer\", expected an integer from 0 to 4294967295 at line 1 column 11"},
    {R"({"layer": -1, "methods": {}})",
     "invalid value: integer -1 for key \"layer\", expected an integer from 0 to 4294967295 at line 1 column 11"},
    {R"({"methods": {"a": {"cid": 1e3, "fields": []}}})",
     "invalid type: floating point number for key \"cid\", expected an integer from 0 to 4294967295 at "
     "line 1 column 27"},
    {"{\"methods\": {\"a\": {\"cid\": 1,\n \"cid\": 2, \"fields\": []}}}",
     "duplicate key \"cid\" in struct TlMethod at line 2 column 7"},
    {R"({"methods": {"a": {"fields": []}}})", "missing key \"cid\" in struct TlMethod at line 1 column 32"},
    {R"({"methods": {}, "constructors": {"c": {"cid": 1}}})",
     "missing key \"fields\" in struct TlConstructor at line 1 column 48"},
    {R"({"methods": []})",
     "invalid type: array for key \"methods\", expected an object of struct TlMethod at line 1 column 13"},
    {R"({"methods": {"a": 5}})", "invalid type: integer, expected struct TlMethod at line 1 column 19"},
    {R"({"methods": {"a": null}})", "invalid type: null, expected struct TlMethod at line 1 column 23"},
    {R"({"methods": {}, "constructors": {"c": "x"}})",
     "invalid type: string, expected struct TlConstructor at line 1 column 42"},
    {R"({"methods": {"a": [1]}})", "invalid length 1, expected struct TlMethod with 3 elements at line 1 column 21"},
    {R"({"methods": {"a": [1, [], false, 4]}})",
     "too many elements, expected struct TlMethod with 3 elements at line 1 column 34"},
    {R"({"methods": {}, "constructors": {"c": [1, [], false, 4]}})",
     "too many elements, expected struct TlConstructor with 3 elements at line 1 column 54"},
    {"\n[0]", "invalid length 1, expected struct SchemaInput with 3 elements at line 2 column 3"},
    {"5", "invalid type: integer, expected struct SchemaInput at line 1 column 1"},
    {R"({"methods": {"m": {"cid": 1, "fields": [["x"]]}}})",
     "invalid length 1, expected struct TlFieldDef with 8 elements at line 1 column 45"},
    {R"({"methods": {"m": {"cid": 1, "fields": [{"type": "int"}]}}})",
     "missing key \"name\" in struct TlFieldDef at line 1 column 55"},
    {R"({"methods": {"m": {"cid": 1, "fields": [{"name": "x", "type": "int", "is_bare": null}]}}})",
     "invalid type: null for key \"is_bare\", expected a boolean at line 1 column 85"},
    {R"({"methods": {"m": {"cid": 1, "fields": {}}}})",
     "invalid type: object for key \"fields\", expected an array of struct TlFieldDef at line 1 column 40"},
    {R"({"methods": {"m": {"cid": 1, "fields": [["x", 5]]}}})",
     "invalid type: integer for key \"type\", expected a string at line 1 column 47"},
    {R"({"methods": {"m": {"cid": 1, "fields": [["x", "int", "0"]]}}})",
     "invalid type: string for key \"flag_bit\", expected an integer from 0 to 31 or null at line 1 column 57"},
    {R"({"methods": {"m": {"cid": 1, "fields": [["x", "int", null, 2]]}}})",
     "invalid type: integer for key \"flags_group\", expected a string or null at line 1 column 60"},
    {R"({"methods": {}, "constructors": [1]})",
     "invalid type: array for key \"constructors\", expected an object of struct TlConstructor at line 1 column 33"},
    {R"({"methods": {"m": {"cid": 1, "fields": [5]}}})",
     "invalid type: integer, expected struct TlFieldDef at line 1 column 41"},
    {R"({"methods": {}, "junk": [1, })", "invalid value at line 1 column 29"},
    // Text that is not UTF-8 (each form of it is held to CPython's decoder by the deserializer's tests), and raw
    // NUL bytes, are refused before any token is read.
    {"{\"x\": \"\xed\xa0\x80\"}", "invalid utf-8 at line 1 column 8"},   // a UTF-16 surrogate
    {"{\"x\":\n \"\xe2\x82\x28\"}", "invalid utf-8 at line 2 column 3"},
    {"{\"methods\": {}}\xc3", "invalid utf-8 at line 1 column 16"},  // cut by the end of the text
    {"{\"methods\": {}}\xc3\xa9", "trailing characters at line 1 column 16"},  // ends with the text
    {"{\"methods\": {\"\0\": 1}}"sv, "unexpected nul character at line 1 column 15"}};

TEST(Document, RefusalsStopAtTheOffendingByte) {
  for (const Refusal& r : kRefusals) EXPECT_EQ(error_of(r.doc), r.message) << r.doc;
}

TEST(Document, ValidMultibyteText) {
  parse_ok("{\"methods\": {}, \"x\": \"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80"
           "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\"}");
  parse_ok("{\"methods\": {}}\xff"sv.substr(0, 15));  // the byte just past the text is not read
}

TEST(Document, FieldsInObjectAndPositionalForms) {
  const TlFieldDef x{"x", "int", {}, {}, false, false, {}, false};
  const std::pair<std::string, TlFieldDef> rows[] = {
      {R"({"name": "x", "type": "int"})", x},
      {R"(["x", "int"])", x},
      {R"({"name": "x", "type": "int", "flag_bit": null, "flags_group": null, "vector_inner": null})", x},
      {R"(["x", "Vector", 31, "flags2", true, true, "long", true])",
       {"x", "Vector", 31, "flags2", true, true, "long", true}},
      {R"({"vector_inner_is_vector": true, "vector_inner": "V", "is_vector": true, "is_bare": true,
          "flags_group": "g", "flag_bit": 0, "type": "T", "name": "n"})", {"n", "T", 0, "g", true, true, "V", true}},
      {R"({"name": "n", "type": "T", "is_vector": true})", {"n", "T", {}, {}, false, true, {}, false}},
  };
  for (const auto& [json, want] : rows) {
    SchemaInput in = parse_ok(R"({"methods": {"m": {"cid": 1, "fields": [)" + json + "]}}}");
    ASSERT_EQ(in.methods.size(), 1u);
    EXPECT_EQ(in.methods[0].second.fields, std::vector<TlFieldDef>{want}) << json;
  }
  SchemaInput positional = parse_ok(R"([7, {"m": [3195965169, [], true]}])");
  EXPECT_EQ(positional.layer, 7u);
  EXPECT_EQ(positional.methods[0].second.cid, 3195965169u);
  EXPECT_TRUE(positional.methods[0].second.has_flags);
}

TEST(Document, UnknownKeysAreIgnoredAtEveryLevelAndLaterNamesWin) {
  // Among them the keys of the other records, which must not be taken for this one's.
  SchemaInput in = parse_ok(R"({"x": [{"a": [1, {"b": null}]}], "cid": "s", "name": "s", "is_bare": "s",
      "methods": {"ping": {"cid": 1, "fields": [["a", "int"]]},
      "pong": {"cid": 3, "Cid": 4, "note": {"k": [true]}, "layer": "s", "name": "s", "vector_inner": "s",
               "fields": [{"name": "a", "type": "int", "extra": "s", "layer": "s", "cid": "s", "has_flags": "s"}]},
      "ping": {"cid": 2, "fields": []}}, "layer": 4294967295})");
  EXPECT_EQ(in.layer, 4294967295u);
  ASSERT_EQ(in.methods.size(), 2u);
  EXPECT_EQ(in.methods[0], (std::pair<std::string, TlMethod>{"ping", TlMethod{{2, {}, false}, ""}}));
  EXPECT_EQ(in.methods[1].second.cid, 3u);
  EXPECT_EQ(in.methods[1].second.fields.size(), 1u);
}

// "result" on a method and "type" on a constructor are read where they are strings, skipped otherwise.
TEST(Document, ResultAndTypeAreReadOnlyAsText) {
  const std::tuple<std::string_view, std::string_view, std::string_view> rows[] = {
      {R"("result": "Bool", "type": "X")", R"("type": "Pong", "result": "X")", "Bool Pong"},
      {R"("result": 5, "type": null)", R"("type": [1, {"a": [null]}], "result": {})", " "},
      {R"("result": "A", "result": {"b": 1}, "result": "B")", R"("type": "P", "type": false)", "B P"},
  };
  for (const auto& [method_keys, ctor_keys, want] : rows) {
    SchemaInput in = parse_ok(std::string(R"({"methods": {"m": {"cid": 1, "fields": [], )") + std::string(method_keys) +
                              R"(}}, "constructors": {"c": {"cid": 2, "fields": [], )" + std::string(ctor_keys) + "}}}");
    EXPECT_EQ(in.methods.at(0).second.result + " " + in.constructors.at(0).second.type, want) << method_keys;
  }
}

TEST(Document, NestingLimitCountsTheTopLevelValue) {
  auto nested = [](std::size_t levels) {  // the document object is level 1
    return "{\"methods\": {}, \"x\": " + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  parse_ok(nested(127));
  EXPECT_EQ(error_of(nested(128)), "nesting deeper than 127 levels at line 1 column 148");
}

TEST(Schema, LookupsAndSharedCids) {
  auto s = build_schema(parse_ok(R"({"methods": {"same": {"cid": 9, "fields": []}},
      "constructors": {"first": {"cid": 5, "fields": []}, "second": {"cid": 5, "fields": [["a", "int"]]},
                       "same": {"cid": 10, "fields": [["b", "long"]]}}})"));
  EXPECT_EQ(std::vector<std::size_t>({s->num_methods(), s->num_constructors()}), std::vector<std::size_t>({1, 3}));
  EXPECT_EQ(*s->find_constructor_by_cid(5)->name, "second");  // the later one in the document
  EXPECT_EQ(s->find_constructor_by_cid(9), nullptr);          // methods are not indexed by cid
  EXPECT_EQ(s->find_method("same")->record->cid, 9u);
  EXPECT_EQ(s->find_constructor("same")->record->cid, 10u);
}

}  // namespace
}  // namespace velmora::schema
