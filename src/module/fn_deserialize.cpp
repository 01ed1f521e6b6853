// deserialize_constructor and loads: one operation under two names; the
// package's loads, strict by default.
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
    codec::Fault fault;
    return outcome(codec::deserialize(*data, fault), fault);
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

// velmora.loads(data, *, strict=True): bytes-like data; strict=False decodes
// exactly as loads does.
PyObject* package_loads(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"loads", {"data"}};
  py::Ref rest;
  Result<bool> strict = take_strict(&kwargs, rest);
  return call_frame([&]() -> Result<py::Ref> {
    if (!strict) return std::move(strict).failure();
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    py::Ref copy;
    auto data = arg_bytes_like("data", (*bound)[0], &copy);
    if (!data) return std::move(data).failure();
    codec::Fault fault;
    return outcome(*strict ? codec::deserialize_strict(*data, fault) : codec::deserialize(*data, fault), fault);
  });
}

}  // namespace velmora::module
