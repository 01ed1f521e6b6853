// load_schema, schema_info and the installation of the compiled-in schema.
#include "codec/compiled.hpp"
#include "module/call.hpp"
#include "module/messages.hpp"
#include "module/functions.hpp"
#include "schema/schema.hpp"

namespace velmora::module {
namespace {

Result<py::Ref> summary(std::uint32_t layer, std::size_t methods, std::size_t constructors) {
  py::Ref d = py::steal(PyDict_New());
  if (!d) return Failure::pending();
  const std::pair<const char*, unsigned long long> items[] = {
      {"layer", layer}, {"methods", methods}, {"constructors", constructors}};
  for (const auto& [key, value] : items) {
    py::Ref v = py::steal(PyLong_FromUnsignedLongLong(value));
    if (!v || PyDict_SetItemString(d.get(), key, v.get()) < 0) return Failure::pending();
  }
  return d;
}

}  // namespace

void install_default_schema() noexcept {
  try {
    schema::SchemaStore& store = schema::SchemaStore::instance();
    if (store.current()) return;
    std::string error;
    auto input = schema::parse_schema_document(schema::kDefaultSchemaText, &error);
    if (!input) return;
    auto s = codec::publish_schema(std::move(*input));
    if (!s) {
      PyErr_Clear();
      return;
    }
    store.install(std::move(s));
  } catch (...) {
    // Initialisation goes on with an empty store.
  }
}

PyObject* load_schema(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"load_schema", {"schema_json"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto text = arg_text("schema_json", (*bound)[0]);
    if (!text) return std::move(text).failure();

    std::string error;
    auto input = schema::parse_any_document(*text, &error);
    if (!input) return Failure::value(msg::kSchemaParsing + error);
    const std::uint32_t layer = input->layer;
    auto s = codec::publish_schema(std::move(*input));
    if (!s) return Failure::pending();
    const std::size_t methods = s->num_methods();
    const std::size_t constructors = s->num_constructors();
    auto result = summary(layer, methods, constructors);
    if (!result) return result;
    schema::SchemaStore::instance().install(std::move(s));
    return result;
  });
}

PyObject* schema_info(PyObject*, PyObject*) {
  return call_frame([&]() -> Result<py::Ref> {
    auto s = schema::SchemaStore::instance().current();
    if (!s) return summary(0, 0, 0);
    return summary(s->layer(), s->num_methods(), s->num_constructors());
  });
}

}  // namespace velmora::module
