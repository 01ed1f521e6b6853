#include "codec/serializer.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

using codec::Strictness;

// A record name under the str rule, then the arguments dict; for the strict
// entries a third argument, hex_text (the unsigned integer rule, nonzero:
// hex text for bytes-like values).
template <std::size_t N, class Encode>
PyObject* encode_entry(const Params<N>& params, Encode&& encode, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(params, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto name = arg_str(params.names[0], (*bound)[0]);
    if (!name) return std::move(name).failure();
    Strictness how = Strictness::kLenient;
    if constexpr (N == 3) {
      auto hex_text = arg_u64(params.names[2], (*bound)[2]);
      if (!hex_text) return std::move(hex_text).failure();
      how = *hex_text != 0 ? Strictness::kStrictHexText : Strictness::kStrict;
    }
    return encode(*name, (*bound)[1], how);
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

PyObject* serialize_method_strict(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"_serialize_method_strict", {"method", "args", "hex_text"}};
  return encode_entry(kParams, codec::serialize_method, args, kwargs);
}

PyObject* serialize_constructor_strict(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"_serialize_constructor_strict", {"name", "args", "hex_text"}};
  return encode_entry(kParams, codec::serialize_constructor, args, kwargs);
}

PyObject* dumps_strict(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"_dumps_strict", {"obj", "hex_text"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto hex_text = arg_u64(kParams.names[1], (*bound)[1]);
    if (!hex_text) return std::move(hex_text).failure();
    return codec::dumps((*bound)[0], *hex_text != 0 ? Strictness::kStrictHexText : Strictness::kStrict);
  });
}

}  // namespace velmora::module
