#include <gtest/gtest.h>

#include <string>

#include "schema/schema.hpp"

using velmora::schema::build_schema;
using velmora::schema::parse_methods_document;
using velmora::schema::parse_schema_document;
using velmora::schema::SchemaInput;
using velmora::schema::TlFieldDef;

namespace {

std::string error_of(const std::string& doc) {
  std::string err;
  auto r = parse_schema_document(doc, &err);
  EXPECT_FALSE(r.has_value()) << doc;
  return err;
}

SchemaInput parse_ok(const std::string& doc) {
  std::string err;
  auto r = parse_schema_document(doc, &err);
  EXPECT_TRUE(r.has_value()) << doc << ": " << err;
  return r ? std::move(*r) : SchemaInput{};
}

std::string one_field(const std::string& field) {
  return R"({"methods": {"m": {"cid": 1, "fields": [)" + field + "]}}}";
}

struct Refusal {
  const char* doc;
  const char* message;  // the whole message, position included
};

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, StopAtTheOffendingToken) {
  EXPECT_EQ(error_of(GetParam().doc), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Document, Refusals,
    ::testing::Values(
        Refusal{"", "empty document at line 1 column 1"},
        Refusal{"{\"layer\": 5}", "missing key \"methods\" in struct SchemaInput at line 1 column 12"},
        Refusal{"{\"methods\": {}} x", "trailing characters at line 1 column 17"},
        Refusal{"{\"layer\": null, \"methods\": {}}",
                "invalid type: null for key \"layer\", expected an integer from 0 to 4294967295 at "
                "line 1 column 15"},
        Refusal{"{\"layer\": 4294967296, \"methods\": {}}",
                "invalid value: integer 4294967296 for key \"layer\", expected an integer from 0 to "
                "4294967295 at line 1 column 11"},
        Refusal{"{\"layer\": -1, \"methods\": {}}",
                "invalid value: integer -1 for key \"layer\", expected an integer from 0 to "
                "4294967295 at line 1 column 11"},
        Refusal{"{\"methods\": {\"a\": {\"cid\": 1.5, \"fields\": []}}}",
                "invalid type: floating point number for key \"cid\", expected an integer from 0 "
                "to 4294967295 at line 1 column 27"},
        Refusal{"{\"methods\": {\"a\": {\"cid\": 1e3, \"fields\": []}}}",
                "invalid type: floating point number for key \"cid\", expected an integer from 0 "
                "to 4294967295 at line 1 column 27"},
        Refusal{"{\"methods\": {\"a\": {\"cid\": \"1\", \"fields\": []}}}",
                "invalid type: string for key \"cid\", expected an integer from 0 to 4294967295 "
                "at line 1 column 30"},
        Refusal{"{\"methods\": {\"a\": {\"cid\": 1,\n \"cid\": 2, \"fields\": []}}}",
                "duplicate key \"cid\" in struct TlMethod at line 2 column 7"},
        Refusal{"{\"methods\": {\"a\": {\"fields\": []}}}",
                "missing key \"cid\" in struct TlMethod at line 1 column 32"},
        Refusal{"{\"methods\": {\"a\": {}}}", "missing key \"cid\" in struct TlMethod at line 1 column 20"},
        Refusal{"{\"methods\": {}, \"constructors\": {\"c\": {\"cid\": 1}}}",
                "missing key \"fields\" in struct TlConstructor at line 1 column 48"},
        Refusal{"{\"methods\": []}",
                "invalid type: array for key \"methods\", expected an object of struct TlMethod at "
                "line 1 column 13"},
        Refusal{"{\"methods\": {\"a\": 5}}",
                "invalid type: integer, expected struct TlMethod at line 1 column 19"},
        Refusal{"{\"methods\": {\"a\": [1]}}",
                "invalid length 1, expected struct TlMethod with 3 elements at line 1 column 21"},
        Refusal{"{\"methods\": {\"a\": [1, [], false, 4]}}",
                "too many elements, expected struct TlMethod with 3 elements at line 1 column 34"},
        Refusal{"{\"methods\": {}, \"constructors\": {\"c\": [1]}}",
                "invalid length 1, expected struct TlConstructor with 3 elements at line 1 column 41"},
        Refusal{"[0]", "invalid length 1, expected struct SchemaInput with 3 elements at line 1 column 3"},
        Refusal{"5", "invalid type: integer, expected struct SchemaInput at line 1 column 1"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": [[\"x\"]]}}}",
                "invalid length 1, expected struct TlFieldDef with 8 elements at line 1 column 45"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": [{\"type\": \"int\"}]}}}",
                "missing key \"name\" in struct TlFieldDef at line 1 column 55"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": [{}]}}}",
                "missing key \"name\" in struct TlFieldDef at line 1 column 42"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": [{\"name\": \"x\", \"type\": \"int\", "
                "\"is_bare\": null}]}}}",
                "invalid type: null for key \"is_bare\", expected a boolean at line 1 column 85"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": {}}}}",
                "invalid type: object for key \"fields\", expected an array of struct TlFieldDef at "
                "line 1 column 40"},
        Refusal{"{\"methods\": {\"m\": {\"cid\": 1, \"fields\": [5]}}}",
                "invalid type: integer, expected struct TlFieldDef at line 1 column 41"},
        Refusal{"{\"methods\": {}, \"junk\": [1, }", "invalid value at line 1 column 29"}));

TEST(Document, DefaultsAndPositionalForms) {
  SchemaInput a = parse_ok(one_field(R"({"name": "x", "type": "int"})"));
  SchemaInput b = parse_ok(one_field(R"(["x", "int"])"));
  SchemaInput c = parse_ok(one_field(R"({"name": "x", "type": "int", "flag_bit": null,
      "flags_group": null, "vector_inner": null})"));
  TlFieldDef want;
  want.name = "x";
  want.type = "int";
  for (const SchemaInput* in : {&a, &b, &c}) {
    ASSERT_EQ(in->methods.size(), 1u);
    ASSERT_EQ(in->methods[0].second.fields.size(), 1u);
    EXPECT_EQ(in->methods[0].second.fields[0], want);
    EXPECT_EQ(in->layer, 0u);
    EXPECT_TRUE(in->constructors.empty());
  }
  SchemaInput full = parse_ok(one_field(R"(["x", "Vector", 33, "flags2", true, true, "long", true])"));
  const TlFieldDef& f = full.methods[0].second.fields[0];
  EXPECT_EQ(f.flag_bit, 33u);
  EXPECT_EQ(f.flags_group, "flags2");
  EXPECT_TRUE(f.is_bare && f.is_vector && f.vector_inner_is_vector);
  EXPECT_EQ(f.vector_inner, "long");

  SchemaInput positional = parse_ok(R"([7, {"m": [3195965169, [], true]}])");
  EXPECT_EQ(positional.layer, 7u);
  EXPECT_EQ(positional.methods[0].second.cid, 3195965169u);
  EXPECT_TRUE(positional.methods[0].second.has_flags);
}

TEST(Document, UnknownKeysAreParsedAndIgnoredAtEveryLevel) {
  SchemaInput in = parse_ok(R"({"x": [{"a": [1, {"b": null}]}], "methods": {"m": {"cid": 1,
      "note": {"k": [true]}, "fields": [{"name": "a", "type": "int", "extra": "s"}]}},
      "layer": 4294967295})");
  EXPECT_EQ(in.layer, 4294967295u);
  EXPECT_EQ(in.methods[0].second.fields.size(), 1u);
  // Case matters: "Cid" is an unknown key, so "cid" is missing.
  EXPECT_NE(error_of(R"({"methods": {"m": {"Cid": 1, "fields": []}}})").find("missing key \"cid\""),
            std::string::npos);
}

TEST(Document, LaterEntryOfTheSameNameWins) {
  SchemaInput in = parse_ok(R"({"methods": {"ping": {"cid": 1, "fields": [["a", "int"]]},
      "pong": {"cid": 3, "fields": []}, "ping": {"cid": 2, "fields": []}}})");
  ASSERT_EQ(in.methods.size(), 2u);
  EXPECT_EQ(in.methods[0].first, "ping");
  EXPECT_EQ(in.methods[0].second.cid, 2u);
  EXPECT_TRUE(in.methods[0].second.fields.empty());
}

TEST(Document, NestingLimitCountsTheTopLevelValue) {
  auto nested = [](int levels) {
    // The document object is level 1, so the ignored value adds levels - 1.
    return "{\"methods\": {}, \"x\": " + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
  };
  parse_ok(nested(127));
  EXPECT_EQ(error_of(nested(128)).rfind("nesting deeper than 127 levels", 0), 0u);
}

TEST(Document, BareMethodsObject) {
  std::string err;
  auto in = parse_methods_document(R"({"ping": {"cid": 1, "fields": []}})", &err);
  ASSERT_TRUE(in.has_value()) << err;
  EXPECT_EQ(in->methods.size(), 1u);
  EXPECT_FALSE(parse_methods_document(R"({"layer": 5})", &err).has_value());
  EXPECT_EQ(err, "invalid type: integer, expected struct TlMethod at line 1 column 11");
}

TEST(Schema, LookupsAndSharedCids) {
  SchemaInput in = parse_ok(R"({"methods": {"same": {"cid": 9, "fields": []}},
      "constructors": {"first": {"cid": 5, "fields": []}, "second": {"cid": 5, "fields": [["a", "int"]]},
                       "same": {"cid": 10, "fields": [["b", "long"]]}}})");
  auto s = build_schema(std::move(in));
  EXPECT_EQ(s->num_methods(), 1u);
  EXPECT_EQ(s->num_constructors(), 3u);
  ASSERT_NE(s->find_constructor("first"), nullptr);
  ASSERT_NE(s->find_constructor("second"), nullptr);
  const auto* by_cid = s->find_constructor_by_cid(5);
  ASSERT_NE(by_cid, nullptr);
  EXPECT_EQ(*by_cid->name, "second");  // the later one in the document
  EXPECT_EQ(s->find_constructor_by_cid(9), nullptr);  // methods are not indexed by cid
  EXPECT_EQ(s->find_method("same")->record->cid, 9u);
  EXPECT_EQ(s->find_constructor("same")->record->cid, 10u);
  EXPECT_EQ(s->find_method("Same"), nullptr);
}

}  // namespace
