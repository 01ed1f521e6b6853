// serialize_method, serialize_constructor and dumps.
#include "module/call.hpp"
#include "module/functions.hpp"
#include "tl/serializer.hpp"

namespace velmora::module {

PyObject* serialize_method(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"serialize_method", {"method", "args"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return tl::serialize_method((*bound)[0], (*bound)[1]);
  });
}

PyObject* serialize_constructor(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"serialize_constructor", {"name", "args"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return tl::serialize_constructor((*bound)[0], (*bound)[1]);
  });
}

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"dumps", {"obj"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return tl::dumps((*bound)[0]);
  });
}

}  // namespace velmora::module
