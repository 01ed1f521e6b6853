// Schema document parsing: RapidJSON's SAX reader drives a handler that fills
// the records as the tokens arrive, so a refusal stops the parse at an exact
// offset and no document tree is ever built. What each key holds, whether it
// is required and where it is stored is data: the KeyDef rows below.
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <charconv>
#include <cstring>
#include <span>
#include <type_traits>
#include <unordered_map>

#include "schema/messages.hpp"
#include "schema/schema.hpp"
#include "wire/utf8.hpp"

namespace velmora::schema {
namespace {


constexpr unsigned kMaxNesting = 127;

// What a frame of the reader's stack is: a record, a container of records,
// or the value of a key that is skipped.
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

// What a key's value must be. kLooseText is read when it is a string and
// skipped like an unknown key otherwise, so documents that carry it with any
// other value still load.
enum class ValueKind : std::uint8_t {
  kU32,
  kOptU32,
  kBool,
  kText,
  kOptText,
  kLooseText,
  kMethodMap,
  kCtorMap,
  kFieldList,
};

enum class JType : std::uint8_t { kNull, kBool, kInt, kFloat, kString, kArray, kObject };

// One scalar token of the document.
struct Scalar {
  JType type;
  std::uint64_t u = 0;         // a non-negative integer
  std::int64_t negative = 0;   // a negative integer (then u is 0)
  bool b = false;
  std::string_view s = {};
};

// The records being filled: the document, and the innermost open record of
// each kind (the setters write to these).
struct OpenRecords {
  SchemaInput input;
  TlMethod* method = nullptr;
  TlConstructor* constructor = nullptr;
  TlRecord* record = nullptr;  // the open method or constructor, for its fields
  TlFieldDef* field = nullptr;

  template <class R>
  R& get() {
    if constexpr (std::is_same_v<R, SchemaInput>) return input;
    else if constexpr (std::is_same_v<R, TlMethod>) return *method;
    else if constexpr (std::is_same_v<R, TlConstructor>) return *constructor;
    else return *field;
  }
};

using Setter = void (*)(OpenRecords&, const Scalar&);

// Stores a checked scalar into member M of the open record R.
template <class R, auto M>
void assign(OpenRecords& open, const Scalar& v) {
  auto& dst = open.get<R>().*M;
  using T = std::remove_reference_t<decltype(dst)>;
  if constexpr (std::is_same_v<T, bool>) dst = v.b;
  else if constexpr (std::is_same_v<T, std::uint32_t> || std::is_same_v<T, std::optional<std::uint32_t>>)
    dst = static_cast<std::uint32_t>(v.u);
  else dst = std::string(v.s);
}

struct KeyDef {
  std::string_view name;
  ValueKind kind;
  bool required;
  Setter set;  // null for the containers, which open a frame instead
};

// Rows in table order: the order of the positional form, and the order in
// which missing required keys are reported.
constexpr KeyDef kInputKeys[] = {
    {"layer", ValueKind::kU32, false, assign<SchemaInput, &SchemaInput::layer>},
    {"methods", ValueKind::kMethodMap, true, nullptr},
    {"constructors", ValueKind::kCtorMap, false, nullptr}};
constexpr KeyDef kMethodKeys[] = {
    {"cid", ValueKind::kU32, true, assign<TlMethod, &TlMethod::cid>},
    {"fields", ValueKind::kFieldList, true, nullptr},
    {"has_flags", ValueKind::kBool, false, assign<TlMethod, &TlMethod::has_flags>},
    {"result", ValueKind::kLooseText, false, assign<TlMethod, &TlMethod::result>}};
constexpr KeyDef kCtorKeys[] = {
    {"cid", ValueKind::kU32, true, assign<TlConstructor, &TlConstructor::cid>},
    {"fields", ValueKind::kFieldList, true, nullptr},
    {"has_flags", ValueKind::kBool, false, assign<TlConstructor, &TlConstructor::has_flags>},
    {"type", ValueKind::kLooseText, false, assign<TlConstructor, &TlConstructor::type>}};
constexpr KeyDef kFieldKeys[] = {
    {"name", ValueKind::kText, true, assign<TlFieldDef, &TlFieldDef::name>},
    {"type", ValueKind::kText, true, assign<TlFieldDef, &TlFieldDef::type>},
    {"flag_bit", ValueKind::kOptU32, false, assign<TlFieldDef, &TlFieldDef::flag_bit>},
    {"flags_group", ValueKind::kOptText, false, assign<TlFieldDef, &TlFieldDef::flags_group>},
    {"is_bare", ValueKind::kBool, false, assign<TlFieldDef, &TlFieldDef::is_bare>},
    {"is_vector", ValueKind::kBool, false, assign<TlFieldDef, &TlFieldDef::is_vector>},
    {"vector_inner", ValueKind::kOptText, false, assign<TlFieldDef, &TlFieldDef::vector_inner>},
    {"vector_inner_is_vector", ValueKind::kBool, false, assign<TlFieldDef, &TlFieldDef::vector_inner_is_vector>}};

struct RecordInfo {
  std::span<const KeyDef> keys;
  int positional;  // the first rows, which an array may hold
  const char* name;
};

const RecordInfo& info(Kind k) {
  static const RecordInfo input{kInputKeys, 3, msg::kSchemaInput};
  static const RecordInfo method{kMethodKeys, 3, msg::kTlMethod};
  static const RecordInfo ctor{kCtorKeys, 3, msg::kTlConstructor};
  static const RecordInfo field{kFieldKeys, 8, msg::kTlFieldDef};
  switch (k) {
    case Kind::kInput: return input;
    case Kind::kMethod: return method;
    case Kind::kConstructor: return ctor;
    default: return field;
  }
}

bool is_record(Kind k) { return k <= Kind::kField; }

// The JSON kinds, by JType, as the messages name them.
constexpr const char* kJsonNames[] = {msg::kJsonNull,   msg::kJsonBool,  msg::kJsonInt,   msg::kJsonFloat,
                                      msg::kJsonString, msg::kJsonArray, msg::kJsonObject};
const char* jtype_name(JType t) { return kJsonNames[static_cast<int>(t)]; }

// What each ValueKind accepts: one JSON kind, and null too where null means absent.
struct ValueRule {
  JType json;
  bool null_is_absent;
  const char* expectation;
};
constexpr ValueRule kValueRules[] = {
    {JType::kInt, false, msg::kExpectU32},         {JType::kInt, true, msg::kExpectOptU32},
    {JType::kBool, false, msg::kExpectBool},       {JType::kString, false, msg::kExpectText},
    {JType::kString, true, msg::kExpectOptText},   {JType::kString, false, msg::kExpectText},
    {JType::kObject, false, msg::kExpectMethodMap}, {JType::kObject, false, msg::kExpectConstructorMap},
    {JType::kArray, false, msg::kExpectFieldList}};
static_assert(std::size(kValueRules) == static_cast<int>(ValueKind::kFieldList) + 1);
const ValueRule& rule(ValueKind k) { return kValueRules[static_cast<int>(k)]; }

// The frame a container key opens.
Kind opened_by(ValueKind s) {
  switch (s) {
    case ValueKind::kMethodMap: return Kind::kMethodMap;
    case ValueKind::kCtorMap: return Kind::kConstructorMap;
    default: return Kind::kFieldList;
  }
}

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

  OpenRecords open;
  std::string error;

  // --- scalars
  bool Null() { return scalar({.type = JType::kNull}); }
  bool Bool(bool b) { return scalar({.type = JType::kBool, .b = b}); }
  bool Int(int i) { return Int64(i); }
  bool Uint(unsigned u) { return Uint64(u); }
  bool Int64(std::int64_t i) {
    return i >= 0 ? Uint64(static_cast<std::uint64_t>(i)) : scalar({.type = JType::kInt, .negative = i});
  }
  bool Uint64(std::uint64_t u) { return scalar({.type = JType::kInt, .u = u}); }
  bool Double(double) { return scalar({.type = JType::kFloat}); }
  bool String(const char* s, rapidjson::SizeType len, bool) {
    return scalar({.type = JType::kString, .s = std::string_view(s, len)});
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
    f.key = -2;
    for (int i = 0; i < static_cast<int>(ri.keys.size()); ++i) {
      const KeyDef& kd = ri.keys[i];
      if (k != kd.name) continue;
      // A loose key may repeat, as it could before it was read at all.
      if (kd.kind != ValueKind::kLooseText) {
        if (f.seen & (1u << i)) {
          return fail(std::string(msg::kDuplicateKey) + std::string(kd.name) + msg::kKeyIn + ri.name);
        }
        f.seen |= 1u << i;
      }
      f.key = i;
      return true;
    }
    return true;
  }

 private:
  bool fail(std::string m) {
    error = std::move(m);
    return false;
  }

  bool type_error(JType t, const KeyDef& kd) {
    return fail(std::string(msg::kInvalidType) + jtype_name(t) + msg::kForKey + std::string(kd.name) +
                msg::kKeyExpected + rule(kd.kind).expectation);
  }

  // A value where a whole record belongs that is no record.
  bool record_type_error(JType t, Kind rec) {
    const char* want = rec == Kind::kMethodMap ? msg::kExpectMethodMap : info(rec).name;
    return fail(std::string(msg::kInvalidType) + jtype_name(t) + msg::kExpected + want);
  }

  // The key of the open record that the next value belongs to: null when the
  // value is skipped. Returns false after setting an error.
  bool where(const KeyDef*& out) {
    Frame& f = stack_.back();
    out = nullptr;
    if (f.kind == Kind::kIgnore) return true;
    const RecordInfo& ri = info(f.kind);
    if (f.array_form) {
      if (f.pos >= ri.positional) {
        return fail(std::string(msg::kTooMany) + ri.name + msg::kWith + std::to_string(ri.positional) +
                    msg::kElements);
      }
      out = &ri.keys[f.pos++];
      return true;
    }
    if (f.key >= 0) out = &ri.keys[f.key];
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

  bool scalar(const Scalar& v) {
    Kind rec;
    if (record_position(rec)) return record_type_error(v.type, rec);
    const KeyDef* kd;
    if (!where(kd)) return false;
    if (kd == nullptr) return true;
    if (v.type == JType::kNull && rule(kd->kind).null_is_absent) return true;
    if (v.type != rule(kd->kind).json || kd->set == nullptr) {
      return kd->kind == ValueKind::kLooseText ? true : type_error(v.type, *kd);
    }
    if (v.type == JType::kInt && (v.negative < 0 || v.u > 0xffffffffu)) {
      const std::string shown = v.negative < 0 ? std::to_string(v.negative) : std::to_string(v.u);
      return fail(std::string(msg::kInvalidInteger) + shown + msg::kForKey + std::string(kd->name) +
                  msg::kKeyExpected + rule(kd->kind).expectation);
    }
    kd->set(open, v);
    return true;
  }

  bool start(JType t) {
    if (++nesting_ > kMaxNesting) {
      return fail(std::string(msg::kNestingDeeper) + std::to_string(kMaxNesting) + msg::kLevels);
    }
    if (!stack_.empty() && stack_.back().kind == Kind::kIgnore) {
      ++stack_.back().ignore_depth;
      return true;
    }
    Kind rec;
    if (record_position(rec)) {
      if (rec == Kind::kMethodMap) {
        if (t != JType::kObject) return record_type_error(t, rec);
        stack_.push_back(Frame{Kind::kMethodMap});
        return true;
      }
      begin_record(rec);
      stack_.push_back(Frame{rec, t == JType::kArray});
      return true;
    }
    const KeyDef* kd;
    if (!where(kd)) return false;
    if (kd == nullptr || kd->kind == ValueKind::kLooseText) {
      Frame ig{Kind::kIgnore};
      ig.ignore_depth = 1;
      stack_.push_back(ig);
      return true;
    }
    if (kd->set != nullptr || t != rule(kd->kind).json) return type_error(t, *kd);
    const Kind kind = opened_by(kd->kind);
    if (kind == Kind::kFieldList) open.record->fields.clear();
    stack_.push_back(Frame{kind});
    return true;
  }

  void begin_record(Kind rec) {
    switch (rec) {
      case Kind::kMethod:
        open.record = open.method = &entry_for(open.input.methods, method_index_).second;
        break;
      case Kind::kConstructor:
        open.record = open.constructor = &entry_for(open.input.constructors, ctor_index_).second;
        break;
      case Kind::kField: open.field = &open.record->fields.emplace_back(); break;
      default: break;
    }
  }

  // The record stored under the pending name: a later entry of the same name
  // replaces the earlier one in place.
  template <class Rec>
  std::pair<std::string, Rec>& entry_for(std::vector<std::pair<std::string, Rec>>& v,
                                         std::unordered_map<std::string, std::size_t>& index) {
    auto [it, fresh] = index.try_emplace(pending_name_, v.size());
    if (fresh) {
      v.emplace_back(pending_name_, Rec{});
    } else {
      v[it->second].second = Rec{};
    }
    return v[it->second];
  }

  // A record's end: every required key present.
  bool check_complete(const Frame& f) {
    const RecordInfo& ri = info(f.kind);
    for (int i = 0; i < static_cast<int>(ri.keys.size()); ++i) {
      if (!ri.keys[i].required) continue;
      if (f.array_form && f.pos <= i) {
        return fail(std::string(msg::kInvalidLength) + std::to_string(f.pos) + msg::kExpected + ri.name +
                    msg::kWith + std::to_string(ri.positional) + msg::kElements);
      }
      if (!f.array_form && !(f.seen & (1u << i))) {
        return fail(std::string(msg::kMissingKey) + std::string(ri.keys[i].name) + msg::kKeyIn + ri.name);
      }
    }
    return true;
  }

  bool end() {
    --nesting_;
    Frame& f = stack_.back();
    if (f.kind == Kind::kIgnore) {
      if (--f.ignore_depth == 0) stack_.pop_back();
      return true;
    }
    if (is_record(f.kind) && !check_complete(f)) return false;
    const Kind done = f.kind;
    stack_.pop_back();
    // A finished field belongs to the record still open below it.
    if (done == Kind::kField) open.field = nullptr;
    return true;
  }

  bool bare_methods_;
  std::vector<Frame> stack_;
  unsigned nesting_ = 0;
  std::string pending_name_;
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

std::optional<SchemaInput> parse(std::string_view json, std::string* out_error, bool bare) {
  // Checking the whole text up front is several times cheaper than the
  // reader's own per-character validation.
  std::size_t bad = 0, bad_len = 0;
  if (!wire::check_utf8(reinterpret_cast<const std::uint8_t*>(json.data()), json.size(), &bad,
                        &bad_len)) {
    if (out_error) *out_error = msg::kInvalidUtf8 + position(json, bad);
    return std::nullopt;
  }
  // A raw NUL is never valid JSON; refusing it here lets the reader run on a
  // NUL-terminated copy, parsed in place, which is much faster than a
  // bounds-checked stream.
  if (const void* nul = std::memchr(json.data(), 0, json.size())) {
    if (out_error) {
      *out_error = msg::kNulCharacter +
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
  return std::move(h.open.input);
}

}  // namespace

std::optional<SchemaInput> parse_schema_document(std::string_view json, std::string* out_error) {
  return parse(json, out_error, false);
}

std::optional<SchemaInput> parse_methods_document(std::string_view json, std::string* out_error) {
  return parse(json, out_error, true);
}

}  // namespace velmora::schema
