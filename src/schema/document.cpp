// Schema document parsing: RapidJSON's SAX reader drives a handler that fills
// the records as the tokens arrive, so a refusal stops the parse at an exact
// offset and no document tree is ever built.
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <cstring>
#include <unordered_map>

#include "schema/schema.hpp"
#include "wire/utf8.hpp"

namespace velmora::schema {
namespace {

constexpr unsigned kMaxNesting = 127;

enum class Kind : std::uint8_t {
  kInput,
  kMethod,
  kConstructor,
  kField,
  kMethodMap,
  kConstructorMap,
  kFieldList,
  kIgnore,
};

// What a key of a record holds.
enum class Slot : std::uint8_t { kU32, kOptU32, kBool, kText, kOptText, kMethodMap, kCtorMap, kFieldList };

struct KeyDef {
  std::string_view name;
  Slot slot;
};

constexpr KeyDef kInputKeys[] = {
    {"layer", Slot::kU32}, {"methods", Slot::kMethodMap}, {"constructors", Slot::kCtorMap}};
constexpr KeyDef kRecordKeys[] = {
    {"cid", Slot::kU32}, {"fields", Slot::kFieldList}, {"has_flags", Slot::kBool}};
constexpr KeyDef kFieldKeys[] = {
    {"name", Slot::kText},         {"type", Slot::kText},        {"flag_bit", Slot::kOptU32},
    {"flags_group", Slot::kOptText}, {"is_bare", Slot::kBool},     {"is_vector", Slot::kBool},
    {"vector_inner", Slot::kOptText}, {"vector_inner_is_vector", Slot::kBool}};

struct RecordInfo {
  const KeyDef* keys;
  int num_keys;
  int num_required;  // the first num_required keys are required
  const char* name;
};

const RecordInfo& info(Kind k) {
  static const RecordInfo input{kInputKeys, 3, 0, "struct SchemaInput"};
  static const RecordInfo method{kRecordKeys, 3, 2, "struct TlMethod"};
  static const RecordInfo ctor{kRecordKeys, 3, 2, "struct TlConstructor"};
  static const RecordInfo field{kFieldKeys, 8, 2, "struct TlFieldDef"};
  switch (k) {
    case Kind::kInput: return input;
    case Kind::kMethod: return method;
    case Kind::kConstructor: return ctor;
    default: return field;
  }
}

bool is_record(Kind k) { return k <= Kind::kField; }

// "methods" requires a key, but SchemaInput's own required key is checked
// separately: only "methods" among its keys is required.
bool input_key_required(int i) { return i == 1; }

enum class JType : std::uint8_t { kNull, kBool, kInt, kFloat, kString, kArray, kObject };

const char* jtype_name(JType t) {
  switch (t) {
    case JType::kNull: return "null";
    case JType::kBool: return "boolean";
    case JType::kInt: return "integer";
    case JType::kFloat: return "floating point number";
    case JType::kString: return "string";
    case JType::kArray: return "array";
    case JType::kObject: return "object";
  }
  return "value";
}

const char* slot_expectation(Slot s) {
  switch (s) {
    case Slot::kU32: return "an integer from 0 to 4294967295";
    case Slot::kOptU32: return "an integer from 0 to 4294967295 or null";
    case Slot::kBool: return "a boolean";
    case Slot::kText: return "a string";
    case Slot::kOptText: return "a string or null";
    case Slot::kMethodMap: return "an object of struct TlMethod";
    case Slot::kCtorMap: return "an object of struct TlConstructor";
    case Slot::kFieldList: return "an array of struct TlFieldDef";
  }
  return "a value";
}

// Frame::key of "result" on a method and "type" on a constructor: ignored
// like an unknown key unless the value is a string.
constexpr int kExtraKey = -3;

struct Frame {
  Kind kind;
  bool array_form = false;
  int pos = 0;          // array form: next position
  int key = -1;         // object form: key awaiting its value (-1 none, -2 unknown)
  std::uint32_t seen = 0;
  unsigned ignore_depth = 0;
};

class Handler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Handler> {
 public:
  explicit Handler(bool bare_methods) : bare_methods_(bare_methods) { stack_.reserve(8); }

  SchemaInput result;
  std::string error;

  // --- scalars
  bool Null() { return scalar(JType::kNull, 0, false, {}); }
  bool Bool(bool b) { return scalar(JType::kBool, 0, b, {}); }
  bool Int(int i) { return i >= 0 ? integer(static_cast<std::uint64_t>(i)) : negative(i); }
  bool Uint(unsigned u) { return integer(u); }
  bool Int64(std::int64_t i) { return i >= 0 ? integer(static_cast<std::uint64_t>(i)) : negative(i); }
  bool Uint64(std::uint64_t u) { return integer(u); }
  bool Double(double) { return scalar(JType::kFloat, 0, false, {}); }
  bool String(const char* s, rapidjson::SizeType len, bool) {
    return scalar(JType::kString, 0, false, std::string_view(s, len));
  }

  // --- containers
  bool StartObject() { return start(JType::kObject); }
  bool StartArray() { return start(JType::kArray); }
  bool EndObject(rapidjson::SizeType) { return end(); }
  bool EndArray(rapidjson::SizeType) { return end(); }

  bool Key(const char* s, rapidjson::SizeType len, bool) {
    std::string_view k(s, len);
    Frame& f = stack_.back();
    if (f.kind == Kind::kIgnore) return true;
    if (f.kind == Kind::kMethodMap || f.kind == Kind::kConstructorMap) {
      pending_name_.assign(k);
      return true;
    }
    const RecordInfo& ri = info(f.kind);
    for (int i = 0; i < ri.num_keys; ++i) {
      if (k == ri.keys[i].name) {
        if (f.seen & (1u << i)) {
          return fail("duplicate key \"" + std::string(ri.keys[i].name) + "\" in " + ri.name);
        }
        f.seen |= 1u << i;
        f.key = i;
        return true;
      }
    }
    // The converter's extra string keys, outside the positional form.
    const bool extra = (f.kind == Kind::kMethod && k == "result") ||
                       (f.kind == Kind::kConstructor && k == "type");
    f.key = extra ? kExtraKey : -2;
    return true;
  }

 private:
  bool fail(std::string m) {
    error = std::move(m);
    return false;
  }

  bool negative(std::int64_t i) {
    negative_ = i;
    const bool ok = scalar(JType::kInt, 0, false, {});
    negative_ = 0;
    return ok;
  }
  bool integer(std::uint64_t u) { return scalar(JType::kInt, u, false, {}); }

  // Works out which key of which record the next value belongs to.
  // k = -1: the value is ignored. Returns false after setting an error.
  bool where(int& k, Kind& kind) {
    Frame& f = stack_.back();
    kind = f.kind;
    if (f.kind == Kind::kIgnore) {
      k = -1;
      return true;
    }
    if (f.array_form) {
      const RecordInfo& ri = info(f.kind);
      if (f.pos >= ri.num_keys) {
        return fail(std::string("too many elements, expected ") + ri.name + " with " +
                    std::to_string(ri.num_keys) + " elements");
      }
      k = f.pos++;
      return true;
    }
    k = f.key;
    f.key = -1;
    return true;
  }

  // The value at the top level, or in a map or a field list: one record.
  bool record_position(Kind& out) {
    if (stack_.empty()) {
      out = bare_methods_ ? Kind::kMethodMap : Kind::kInput;
      return true;
    }
    switch (stack_.back().kind) {
      case Kind::kMethodMap: out = Kind::kMethod; return true;
      case Kind::kConstructorMap: out = Kind::kConstructor; return true;
      case Kind::kFieldList: out = Kind::kField; return true;
      default: return false;
    }
  }

  bool scalar(JType t, std::uint64_t u, bool b, std::string_view s) {
    Kind rec;
    if (record_position(rec)) {
      if (rec == Kind::kMethodMap) return fail(std::string("invalid type: ") + jtype_name(t) + ", expected an object of struct TlMethod");
      return fail(std::string("invalid type: ") + jtype_name(t) + ", expected " + info(rec).name);
    }
    int k;
    Kind kind;
    if (!where(k, kind)) return false;
    if (k == kExtraKey && t == JType::kString) store_extra(kind, s);
    if (k < 0) return true;
    const KeyDef& kd = info(kind).keys[k];
    const bool null_ok = kd.slot == Slot::kOptU32 || kd.slot == Slot::kOptText;
    if (t == JType::kNull && null_ok) return true;  // same as absent
    auto type_error = [&] {
      return fail(std::string("invalid type: ") + jtype_name(t) + " for key \"" + std::string(kd.name) +
                  "\", expected " + slot_expectation(kd.slot));
    };
    switch (kd.slot) {
      case Slot::kU32:
      case Slot::kOptU32:
        if (t != JType::kInt) return type_error();
        if (negative_ < 0 || u > 0xffffffffu) {
          const std::string shown = negative_ < 0 ? std::to_string(negative_) : std::to_string(u);
          return fail(std::string("invalid value: integer ") + shown + " for key \"" +
                      std::string(kd.name) + "\", expected " + slot_expectation(kd.slot));
        }
        store_u32(kind, static_cast<std::uint32_t>(u));
        return true;
      case Slot::kBool:
        if (t != JType::kBool) return type_error();
        store_bool(kind, k, b);
        return true;
      case Slot::kText:
      case Slot::kOptText:
        if (t != JType::kString) return type_error();
        store_text(kind, k, s);
        return true;
      default:
        return type_error();
    }
  }

  void store_u32(Kind kind, std::uint32_t v) {
    if (kind == Kind::kInput) {
      result.layer = v;
    } else if (kind == Kind::kField) {
      field_->flag_bit = v;
    } else {
      record_->cid = v;
    }
  }
  void store_extra(Kind kind, std::string_view s) {
    if (kind == Kind::kMethod) {
      static_cast<TlMethod*>(record_)->result.assign(s);
    } else {
      static_cast<TlConstructor*>(record_)->type.assign(s);
    }
  }
  void store_bool(Kind kind, int k, bool v) {
    if (kind == Kind::kField) {
      if (k == 4) field_->is_bare = v;
      else if (k == 5) field_->is_vector = v;
      else field_->vector_inner_is_vector = v;
    } else {
      record_->has_flags = v;
    }
  }
  void store_text(Kind, int k, std::string_view s) {
    switch (k) {
      case 0: field_->name.assign(s); break;
      case 1: field_->type.assign(s); break;
      case 3: field_->flags_group.emplace(s); break;
      default: field_->vector_inner.emplace(s); break;
    }
  }

  bool start(JType t) {
    if (++nesting_ > kMaxNesting) {
      return fail("nesting deeper than " + std::to_string(kMaxNesting) + " levels");
    }
    if (!stack_.empty() && stack_.back().kind == Kind::kIgnore) {
      ++stack_.back().ignore_depth;
      return true;
    }
    Kind rec;
    if (record_position(rec)) {
      if (rec == Kind::kMethodMap) {
        if (t != JType::kObject) {
          return fail(std::string("invalid type: ") + jtype_name(t) + ", expected an object of struct TlMethod");
        }
        stack_.push_back(Frame{Kind::kMethodMap});
        return true;
      }
      begin_record(rec);
      stack_.push_back(Frame{rec, t == JType::kArray});
      return true;
    }
    int k;
    Kind kind;
    if (!where(k, kind)) return false;
    if (k < 0) {
      Frame ig{Kind::kIgnore};
      ig.ignore_depth = 1;
      stack_.push_back(ig);
      return true;
    }
    const KeyDef& kd = info(kind).keys[k];
    auto type_error = [&] {
      return fail(std::string("invalid type: ") + jtype_name(t) + " for key \"" + std::string(kd.name) +
                  "\", expected " + slot_expectation(kd.slot));
    };
    switch (kd.slot) {
      case Slot::kMethodMap:
        if (t != JType::kObject) return type_error();
        stack_.push_back(Frame{Kind::kMethodMap});
        return true;
      case Slot::kCtorMap:
        if (t != JType::kObject) return type_error();
        stack_.push_back(Frame{Kind::kConstructorMap});
        return true;
      case Slot::kFieldList:
        if (t != JType::kArray) return type_error();
        record_->fields.clear();
        stack_.push_back(Frame{Kind::kFieldList});
        return true;
      default:
        return type_error();
    }
  }

  void begin_record(Kind rec) {
    switch (rec) {
      case Kind::kMethod: record_ = &slot_for(result.methods, method_index_).second; break;
      case Kind::kConstructor:
        record_ = &slot_for(result.constructors, ctor_index_).second;
        break;
      case Kind::kField: field_ = &record_->fields.emplace_back(); break;
      default: break;
    }
  }

  // The record stored under the pending name: a later entry of the same name
  // replaces the earlier one in place.
  template <class Rec>
  std::pair<std::string, Rec>& slot_for(std::vector<std::pair<std::string, Rec>>& v,
                                        std::unordered_map<std::string, std::size_t>& index) {
    auto [it, fresh] = index.try_emplace(pending_name_, v.size());
    if (fresh) {
      v.emplace_back(pending_name_, Rec{});
    } else {
      v[it->second].second = Rec{};
    }
    return v[it->second];
  }

  bool end() {
    --nesting_;
    Frame& f = stack_.back();
    if (f.kind == Kind::kIgnore) {
      if (--f.ignore_depth == 0) stack_.pop_back();
      return true;
    }
    if (is_record(f.kind)) {
      const RecordInfo& ri = info(f.kind);
      if (f.array_form) {
        const int required = f.kind == Kind::kInput ? 2 : ri.num_required;
        if (f.pos < required) {
          return fail("invalid length " + std::to_string(f.pos) + ", expected " + ri.name + " with " +
                      std::to_string(ri.num_keys) + " elements");
        }
      } else {
        for (int i = 0; i < ri.num_keys; ++i) {
          const bool required = f.kind == Kind::kInput ? input_key_required(i) : i < ri.num_required;
          if (required && !(f.seen & (1u << i))) {
            return fail("missing key \"" + std::string(ri.keys[i].name) + "\" in " + ri.name);
          }
        }
      }
    }
    const Kind done = f.kind;
    stack_.pop_back();
    // A finished field belongs to the record still open below it.
    if (done == Kind::kField) field_ = nullptr;
    return true;
  }

  bool bare_methods_;
  std::vector<Frame> stack_;
  unsigned nesting_ = 0;
  std::int64_t negative_ = 0;  // the value of a negative integer being handled
  std::string pending_name_;
  TlRecord* record_ = nullptr;
  TlFieldDef* field_ = nullptr;
  std::unordered_map<std::string, std::size_t> method_index_;
  std::unordered_map<std::string, std::size_t> ctor_index_;
};

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
  return " at line " + std::to_string(line) + " column " + std::to_string(offset - line_start + 1);
}

std::string syntax_message(rapidjson::ParseErrorCode code) {
  std::string m = rapidjson::GetParseError_En(code);
  if (!m.empty() && m.back() == '.') m.pop_back();
  for (char& c : m) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (code == rapidjson::kParseErrorDocumentRootNotSingular) m = "trailing characters";
  if (code == rapidjson::kParseErrorDocumentEmpty) m = "empty document";
  return m;
}

std::optional<SchemaInput> parse(std::string_view json, std::string* out_error, bool bare) {
  // Checking the whole text up front is several times cheaper than the
  // reader's own per-character validation.
  std::size_t bad = 0, bad_len = 0;
  if (!wire::check_utf8(reinterpret_cast<const std::uint8_t*>(json.data()), json.size(), &bad,
                        &bad_len)) {
    if (out_error) *out_error = "invalid utf-8" + position(json, bad);
    return std::nullopt;
  }
  // A raw NUL is never valid JSON; refusing it here lets the reader run on a
  // NUL-terminated copy, parsed in place, which is much faster than a
  // bounds-checked stream.
  if (const void* nul = std::memchr(json.data(), 0, json.size())) {
    if (out_error) {
      *out_error = "unexpected nul character" +
                   position(json, static_cast<std::size_t>(static_cast<const char*>(nul) - json.data()));
    }
    return std::nullopt;
  }
  std::string buffer(json);
  Handler h(bare);
  rapidjson::Reader reader;
  rapidjson::InsituStringStream is(buffer.data());
  rapidjson::ParseResult r =
      reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseInsituFlag>(is, h);
  if (r.IsError()) {
    if (out_error) {
      std::string m = r.Code() == rapidjson::kParseErrorTermination ? h.error : syntax_message(r.Code());
      *out_error = m + position(json, r.Offset());
    }
    return std::nullopt;
  }
  return std::move(h.result);
}

}  // namespace

std::optional<SchemaInput> parse_schema_document(std::string_view json, std::string* out_error) {
  return parse(json, out_error, false);
}

std::optional<SchemaInput> parse_methods_document(std::string_view json, std::string* out_error) {
  return parse(json, out_error, true);
}

}  // namespace velmora::schema
