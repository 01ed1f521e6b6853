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

struct TlFieldDef {
  std::string name;
  std::string type;
  std::optional<std::uint32_t> flag_bit;
  std::optional<std::string> flags_group;
  bool is_bare = false;
  bool is_vector = false;
  std::optional<std::string> vector_inner;
  bool vector_inner_is_vector = false;

  bool operator==(const TlFieldDef&) const = default;
};

// Methods and constructors have the same shape but are distinct records.
struct TlRecord {
  std::uint32_t cid = 0;
  std::vector<TlFieldDef> fields;
  bool has_flags = false;

  bool operator==(const TlRecord&) const = default;
};
struct TlMethod : TlRecord {};
struct TlConstructor : TlRecord {};

// Names keep document order so that builds are deterministic: when two
// constructors share a cid, the later one in the document wins.
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

// Data that the Python layer keeps beside a Schema (its key strings). It is
// attached before the Schema is published and released with it.
class SchemaAttachment {
 public:
  virtual ~SchemaAttachment() = default;
};

class Schema {
 public:
  // One indexed record. `index`, its record index, numbers every record of
  // the schema densely (methods first, then constructors), for tables kept
  // beside it.
  struct Entry {
    std::shared_ptr<const std::string> name;
    std::shared_ptr<const TlRecord> record;
    std::uint32_t index = 0;
  };

  // Returns the entry or null; valid while this Schema is.
  const Entry* find_method(std::string_view name) const;
  const Entry* find_constructor(std::string_view name) const;
  const Entry* find_constructor_by_cid(std::uint32_t cid) const;

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

  NameIndex methods_by_name_;
  NameIndex constructors_by_name_;
  std::unordered_map<std::uint32_t, const Entry*> constructors_by_cid_;
  std::vector<const Entry*> by_index_;
  std::uint32_t layer_ = 0;
  std::unique_ptr<SchemaAttachment> attachment_;
};

// Indexes the records. Does not fail (beyond running out of memory). The
// result is mutable only so that an attachment can be added before it is
// published.
std::shared_ptr<Schema> build_schema(SchemaInput&& input);

// The compiled-in schema document.
extern const std::string_view kDefaultSchemaText;

// SchemaStore: the process-wide holder of the current Schema. The lock is
// held only to copy or swap the reference, never across parsing, lookups or
// calls into Python. A Schema that carries Python objects belongs to one
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
  mutable std::shared_mutex lock_;
  std::shared_ptr<const Schema> current_;
  std::atomic<std::uint64_t> generation_{0};
};

// The snapshots of one operation that takes one for each of many objects:
// the last is reused, without the lock, while the store's generation says it
// is still the current Schema. A snapshot replaced meanwhile stays alive
// until the operation ends, for the objects still being worked on under it.
class SnapshotCache {
 public:
  SnapshotCache() = default;
  explicit SnapshotCache(SchemaStore::Snapshot first) : last_(std::move(first)) {}

  // The current Schema, or null when the store holds none.
  const Schema* current();

 private:
  SchemaStore::Snapshot last_;
  std::vector<std::shared_ptr<const Schema>> replaced_;
};

}  // namespace velmora::schema
