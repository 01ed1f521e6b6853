// schema.hpp: schema records, the immutable indexed Schema, and the store.
//
// A schema document (JSON) is parsed into plain records (SchemaInput and the
// Tl* records), which build_schema indexes into a Schema. A Schema never
// changes once built and is shared as std::shared_ptr<const Schema>; the
// records it holds are allocated once and shared between its indexes.
// Nothing here touches Python.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora::schema {

// One field of a method or constructor, as the document gives it; nothing
// is resolved or checked here. The codec's compiled form (codec/compiled.*)
// reads these once per Schema to pick each field's encoding; the converter
// writes them.
struct TlFieldDef {
  std::string name;  // the dict key the value is taken from or placed under
  std::string type;  // TL type name, matched as exact text against the primitives
  std::optional<std::uint32_t> flag_bit;    // the bit that conditions the field
  std::optional<std::string> flags_group;   // which flags word holds flag_bit
  bool is_bare = false;    // a conditional field with no payload: the flag bit is its value
  bool is_vector = false;  // a TL vector of vector_inner elements
  std::optional<std::string> vector_inner;  // the element type of the vector
  bool vector_inner_is_vector = false;      // each element is itself a vector

  bool operator==(const TlFieldDef&) const = default;
};

// What methods and constructors share: the serializer writes cid and then the
// fields in order; the deserializer finds a constructor by cid and reads the
// same fields.
struct TlRecord {
  std::uint32_t cid = 0;          // the constructor identifier before the fields
  std::vector<TlFieldDef> fields;  // wire order
  bool has_flags = false;          // whether flag_bit makes fields conditional at all

  bool operator==(const TlRecord&) const = default;
};
// Methods and constructors have the same shape but are distinct records.
// Each may carry its TL type for the package's tools: read from the document
// when it is a string, empty otherwise. The Schema keeps each record whole, so
// that the message layer finds a pending method's result type.
struct TlMethod : TlRecord {
  std::string result;  // "result": the type the method returns

  bool operator==(const TlMethod&) const = default;
};
struct TlConstructor : TlRecord {
  std::string type;  // "type": the boxed type the constructor builds

  bool operator==(const TlConstructor&) const = default;
};

// Names keep document order so that builds are deterministic: when two
// constructors share a cid, the later one in the document wins.
// What parse_schema_document yields and build_schema consumes.
struct SchemaInput {
  std::uint32_t layer = 0;
  std::vector<std::pair<std::string, TlMethod>> methods;            // unique names
  std::vector<std::pair<std::string, TlConstructor>> constructors;  // unique names
};

// parse_schema_document reads a whole JSON document. On failure it returns
// nothing and sets *out_error to a message that ends with the line and
// column where parsing stopped.
std::optional<SchemaInput> parse_schema_document(std::string_view json, std::string* out_error);

// parse_methods_document reads a bare methods object: method name -> TlMethod,
// as the value of "methods" is read; the result has layer 0 and no
// constructors.
std::optional<SchemaInput> parse_methods_document(std::string_view json, std::string* out_error);

// load_schema's reading: a whole document, else a bare methods object. The
// fault reported is the whole document's when the text names one of its keys
// ("layer", "methods", "constructors") or is an array, else the methods
// object's: each points at its own key.
std::optional<SchemaInput> parse_any_document(std::string_view json, std::string* out_error);

// Data that the Python layer keeps beside a Schema (its key strings). It is
// attached before the Schema is published and released with it.
class SchemaAttachment {
 public:
  virtual ~SchemaAttachment() = default;
};

// The indexed, immutable schema: what serializing looks records up in by
// name, and decoding by cid. Built once by build_schema, then shared by the
// store and every operation that took a snapshot of it.
class Schema {
 public:
  // One indexed record. `index`, its record index, numbers every record of
  // the schema densely (methods first, then constructors), for tables kept
  // beside it.
  struct Entry {
    std::shared_ptr<const std::string> name;  // the record's name, shared with its other index
    std::shared_ptr<const TlRecord> record;   // allocated once, never copied
    std::uint32_t index = 0;                  // record index, for the codec's per-record tables
  };

  // Returns the entry or null; valid while this Schema is.
  const Entry* find_method(std::string_view name) const;
  const Entry* find_constructor(std::string_view name) const;
  // Of constructors sharing a cid, the later in the document: the rule's one
  // home, which the codec's own index of identifiers is built from.
  const Entry* find_constructor_by_cid(std::uint32_t cid) const;
  // A request read back (the session's, for the answer's type); of two
  // methods sharing a cid, the later in the document.
  const Entry* find_method_by_cid(std::uint32_t cid) const;

  std::uint32_t layer() const noexcept { return layer_; }
  std::size_t num_methods() const noexcept { return methods_by_name_.size(); }
  std::size_t num_constructors() const noexcept { return constructors_by_name_.size(); }
  std::size_t num_records() const noexcept { return by_index_.size(); }
  // Every entry, by record index.
  const Entry& by_index(std::size_t i) const { return *by_index_[i]; }

  const SchemaAttachment* attachment() const noexcept { return attachment_.get(); }
  // Only before publishing: a published Schema is const.
  void set_attachment(std::unique_ptr<SchemaAttachment> a) { attachment_ = std::move(a); }

 private:
  friend std::shared_ptr<Schema> build_schema(SchemaInput&& input);

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  using NameIndex = std::unordered_map<std::string, Entry, Hash, std::equal_to<>>;

  NameIndex methods_by_name_;       // serialize_method, and nested objects no constructor names
  NameIndex constructors_by_name_;  // serialize_constructor, and nested objects first
  // Decoding: constructors only (a method is never decoded); of two sharing
  // a cid, the later in the document.
  std::unordered_map<std::uint32_t, const Entry*> constructors_by_cid_;
  std::unordered_map<std::uint32_t, const Entry*> methods_by_cid_;
  std::vector<const Entry*> by_index_;  // every entry by its record index: methods, then constructors
  std::uint32_t layer_ = 0;             // recorded and reported by schema_info, used for nothing else
  std::unique_ptr<SchemaAttachment> attachment_;  // the Python layer's data, released with the Schema
};

// Indexes the records. Does not fail (beyond running out of memory). The
// result is mutable only so that an attachment can be added before it is
// published.
std::shared_ptr<Schema> build_schema(SchemaInput&& input);

// The compiled-in schema document.
extern const std::string_view kDefaultSchemaText;

// SchemaStore: the process-wide holder of the current Schema. The lock is
// held only to copy or swap the reference, never across parsing, lookups or
// calls into Python. load_schema and module init install; the serializer,
// the deserializer and schema_info read. A Schema that carries Python objects belongs to one
// interpreter; the store is never destroyed, so no Python object is released
// after the interpreter has gone.
class SchemaStore {
 public:
  static SchemaStore& instance();

  // The current Schema and the number of installations before it.
  struct Snapshot {
    std::shared_ptr<const Schema> schema;
    std::uint64_t generation = 0;
  };

  std::shared_ptr<const Schema> current() const;
  Snapshot snapshot() const;
  void install(std::shared_ptr<const Schema> schema);

  // Counts installations. While it still equals a snapshot's generation, that
  // snapshot holds the current Schema: readers that take many snapshots in a
  // row can skip the lock and the reference count with one atomic load.
  std::uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

 private:
  SchemaStore() = default;
  mutable std::shared_mutex lock_;         // guards current_ only while it is copied or swapped
  std::shared_ptr<const Schema> current_;  // null until the first install (e.g. the default failed)
  std::atomic<std::uint64_t> generation_{0};  // bumped under the lock by each install
};

// The snapshots of one operation that takes one for each of many objects:
// the last is reused, without the lock, while the store's generation says it
// is still the current Schema. A snapshot replaced meanwhile stays alive
// until the operation ends, for the objects still being worked on under it.
class SnapshotCache {
 public:
  SnapshotCache() = default;
  explicit SnapshotCache(SchemaStore::Snapshot first) : last_(std::move(first)) {}

  // The current Schema, or null when the store holds none. Inline: the
  // codec asks it for each nested object, and the common answer is one
  // atomic load.
  const Schema* current() {
    if (last_.schema && store_.generation() == last_.generation) return last_.schema.get();
    return refresh();
  }

 private:
  const Schema* refresh();

  SchemaStore& store_ = SchemaStore::instance();
  SchemaStore::Snapshot last_;
  std::vector<std::shared_ptr<const Schema>> replaced_;
};

}  // namespace velmora::schema
