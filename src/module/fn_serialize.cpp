// serialize_method, serialize_constructor and dumps.
#include "codec/serializer.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

// A record name under the str rule, then the arguments dict.
template <class Encode>
Result<py::Ref> encode_bound(const Params<2>& params, Encode&& encode, PyObject* name_arg,
                             PyObject* fields) {
  auto name = arg_str(params.names[0], name_arg);
  if (!name) return std::move(name).failure();
  return encode(*name, fields);
}

template <class Encode>
PyObject* encode_entry(const Params<2>& params, Encode&& encode, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(params, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return encode_bound(params, encode, (*bound)[0], (*bound)[1]);
  });
}

}  // namespace

#ifdef VELMORA_FASTCALL
// Both arguments by position, the common call, are bound as they lie.
PyObject* serialize_method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static constexpr Params<2> kParams{"serialize_method", {"method", "args"}};
  if (nargs != 2 || kwnames != nullptr) {
    return call_with_tuple(serialize_method, self, args, nargs, kwnames);
  }
  return call_frame(
      [&] { return encode_bound(kParams, codec::serialize_method, args[0], args[1]); });
}

PyObject* serialize_constructor_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static constexpr Params<2> kParams{"serialize_constructor", {"name", "args"}};
  if (nargs != 2 || kwnames != nullptr) {
    return call_with_tuple(serialize_constructor, self, args, nargs, kwnames);
  }
  return call_frame(
      [&] { return encode_bound(kParams, codec::serialize_constructor, args[0], args[1]); });
}

PyObject* dumps_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) return call_with_tuple(dumps, self, args, nargs, kwnames);
  return call_frame([&] { return codec::dumps(args[0]); });
}
#endif

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
