// serialize_method, serialize_constructor and dumps.
#include "codec/serializer.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

// A record name under the str rule, then the arguments dict.
template <class Encode>
PyObject* encode_entry(const Params<2>& params, Encode&& encode, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(params, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto name = arg_str(params.names[0], (*bound)[0]);
    if (!name) return std::move(name).failure();
    return encode(*name, (*bound)[1]);
  });
}

}  // namespace

PyObject* serialize_method(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"serialize_method", {"method", "args"}};
  return encode_entry(kParams, codec::serialize_method, args, kwargs);
}

PyObject* serialize_constructor(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"serialize_constructor", {"name", "args"}};
  return encode_entry(kParams, codec::serialize_constructor, args, kwargs);
}

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"dumps", {"obj"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return codec::dumps((*bound)[0]);
  });
}

}  // namespace velmora::module
