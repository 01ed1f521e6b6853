// deserialize_constructor and loads: one operation under two names.
#include "codec/deserializer.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

template <std::size_t N>
PyObject* decode_entry(const Params<N>& params, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(params, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto data = arg_bytes("data", (*bound)[0]);
    if (!data) return std::move(data).failure();
    return codec::deserialize(*data);
  });
}

}  // namespace

PyObject* deserialize_constructor(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"deserialize_constructor", {"data"}};
  return decode_entry(kParams, args, kwargs);
}

PyObject* loads(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"loads", {"data"}};
  return decode_entry(kParams, args, kwargs);
}

}  // namespace velmora::module
