// Fuzzes the schema document readers and the index built from what they
// accept. Any broken invariant aborts, so libFuzzer keeps the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>

#include "schema/schema.hpp"

using velmora::schema::Schema;
using velmora::schema::SchemaInput;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

template <typename Entries>
void check_unique(const Entries& entries, const char* what) {
  std::unordered_set<std::string_view> seen;
  for (const auto& [name, record] : entries) check(seen.insert(name).second, what);
}

void check_schema(SchemaInput input) {
  check_unique(input.methods, "duplicate method name");
  check_unique(input.constructors, "duplicate constructor name");

  // build_schema takes the input; keep a copy for comparing.
  const SchemaInput copy = input;
  std::shared_ptr<Schema> s = velmora::schema::build_schema(std::move(input));
  check(s != nullptr, "build_schema returned null");
  check(s->layer() == copy.layer, "layer");
  check(s->num_methods() == copy.methods.size(), "method count");
  check(s->num_constructors() == copy.constructors.size(), "constructor count");
  check(s->num_records() == copy.methods.size() + copy.constructors.size(), "slot count");
  for (std::size_t i = 0; i < s->num_records(); ++i) {
    const Schema::Entry& e = s->by_index(i);
    check(e.index == i, "record indexes are dense");
    check(e.name && e.record, "entry without name or record");
  }
  for (const auto& [name, m] : copy.methods) {
    const Schema::Entry* e = s->find_method(name);
    check(e != nullptr, "method not found by name");
    check(*e->name == name && *e->record == static_cast<const velmora::schema::TlRecord&>(m),
          "method record differs");
  }
  for (const auto& [name, c] : copy.constructors) {
    const Schema::Entry* e = s->find_constructor(name);
    check(e != nullptr, "constructor not found by name");
    check(*e->record == static_cast<const velmora::schema::TlRecord&>(c), "constructor record differs");
    // With duplicated cids some constructor of that cid is found.
    const Schema::Entry* by_cid = s->find_constructor_by_cid(c.cid);
    check(by_cid != nullptr && by_cid->record->cid == c.cid, "constructor not found by cid");
    check(s->find_constructor(*by_cid->name) == by_cid, "cid index and name index disagree");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size heap copy, so that any read past the end is caught.
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(text.get(), data, size);
  const std::string_view json(text.get(), size);

  std::string error;
  auto doc = velmora::schema::parse_schema_document(json, &error);
  if (doc) {
    check_schema(std::move(*doc));
  } else {
    check(!error.empty(), "failure without a message");
  }
  std::string error2;
  auto methods = velmora::schema::parse_methods_document(json, &error2);
  if (methods) {
    check(methods->layer == 0 && methods->constructors.empty(), "methods document shape");
    check_schema(std::move(*methods));
  } else {
    check(!error2.empty(), "failure without a message");
  }
  return 0;
}
