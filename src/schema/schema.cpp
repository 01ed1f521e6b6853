#include "schema/schema.hpp"

#include <mutex>

namespace velmora::schema {

const Schema::Entry* Schema::find_method(std::string_view name) const {
  auto it = methods_by_name_.find(name);
  return it == methods_by_name_.end() ? nullptr : &it->second;
}

const Schema::Entry* Schema::find_constructor(std::string_view name) const {
  auto it = constructors_by_name_.find(name);
  return it == constructors_by_name_.end() ? nullptr : &it->second;
}

const Schema::Entry* Schema::find_constructor_by_cid(std::uint32_t cid) const {
  auto it = constructors_by_cid_.find(cid);
  return it == constructors_by_cid_.end() ? nullptr : it->second;
}

const Schema::Entry* Schema::find_method_by_cid(std::uint32_t cid) const {
  auto it = methods_by_cid_.find(cid);
  return it == methods_by_cid_.end() ? nullptr : it->second;
}

std::shared_ptr<Schema> build_schema(SchemaInput&& input) {
  auto s = std::make_shared<Schema>();
  s->layer_ = input.layer;
  s->methods_by_name_.reserve(input.methods.size());
  s->constructors_by_name_.reserve(input.constructors.size());
  s->constructors_by_cid_.reserve(input.constructors.size());
  s->by_index_.reserve(input.methods.size() + input.constructors.size());

  std::uint32_t index = 0;
  for (auto& [name, rec] : input.methods) {
    auto shared_name = std::make_shared<const std::string>(name);
    auto record = std::make_shared<const TlMethod>(std::move(rec));
    auto [it, fresh] = s->methods_by_name_.try_emplace(
        std::move(name), Schema::Entry{std::move(shared_name), std::move(record), index});
    if (fresh) {
      s->by_index_.push_back(&it->second);
      s->methods_by_cid_[it->second.record->cid] = &it->second;
      ++index;
    }
  }
  // Document order, so that of two constructors sharing a cid the later one
  // is what decoding finds.
  for (auto& [name, rec] : input.constructors) {
    auto shared_name = std::make_shared<const std::string>(name);
    auto record = std::make_shared<const TlConstructor>(std::move(rec));
    const std::uint32_t cid = record->cid;
    auto [it, fresh] = s->constructors_by_name_.try_emplace(
        std::move(name), Schema::Entry{std::move(shared_name), std::move(record), index});
    if (!fresh) continue;
    s->by_index_.push_back(&it->second);
    ++index;
    s->constructors_by_cid_[cid] = &it->second;
  }
  return s;
}

SchemaStore& SchemaStore::instance() {
  // Never destroyed: the schema may own Python objects, which must not be
  // released after the interpreter has finalised.
  static SchemaStore* store = new SchemaStore();
  return *store;
}

std::shared_ptr<const Schema> SchemaStore::current() const {
  std::shared_lock guard(lock_);
  return current_;
}

SchemaStore::Snapshot SchemaStore::snapshot() const {
  std::shared_lock guard(lock_);
  return {current_, generation_.load(std::memory_order_relaxed)};
}

const Schema* SnapshotCache::refresh() {
  if (last_.schema) replaced_.push_back(std::move(last_.schema));
  last_ = store_.snapshot();
  return last_.schema.get();
}

void SchemaStore::install(std::shared_ptr<const Schema> schema) {
  {
    std::unique_lock guard(lock_);
    current_.swap(schema);
    generation_.fetch_add(1, std::memory_order_release);
  }
  // `schema` now holds the old one; it is released here, outside the lock.
}

}  // namespace velmora::schema
