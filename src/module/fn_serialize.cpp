#include "codec/serializer.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

using codec::Strictness;

// A record name under the str rule, then the arguments dict.
template <class Encode>
[[gnu::always_inline]] inline Result<py::Ref> encode_bound(const Params<2>& params, Encode&& encode,
                                                           PyObject* name_arg,
                             PyObject* fields, Strictness how = Strictness::kLenient) {
  auto name = arg_str(params.names[0], name_arg);
  if (!name) return std::move(name).failure();
  codec::Fault fault;
  return outcome(encode(*name, fields, how, fault), fault);
}

Result<py::Ref> encode_dumps(PyObject* obj, Strictness how) {
  codec::Fault fault;
  return outcome(codec::dumps(obj, how, fault), fault);
}

template <class Encode>
PyObject* encode_entry(const Params<2>& params, Encode&& encode, PyObject* args, PyObject* kwargs,
                       Strictness how = Strictness::kLenient) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(params, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return encode_bound(params, encode, (*bound)[0], (*bound)[1], how);
  });
}

template <class Encode>
PyObject* package_entry(const Params<2>& params, Encode&& encode, PyObject* args, PyObject* kwargs) {
  py::Ref rest;
  Result<bool> strict = take_strict(&kwargs, rest);
  if (!strict) return call_frame([&]() -> Result<py::Ref> { return std::move(strict).failure(); });
  return encode_entry(params, encode, args, kwargs, *strict ? Strictness::kStrict : Strictness::kLenient);
}

// The parameter names each entry binds, shared by its tuple and fast entries.
constexpr Params<2> kMethodParams{"serialize_method", {"method", "args"}};
constexpr Params<2> kConstructorParams{"serialize_constructor", {"name", "args"}};
constexpr Params<2> kPackageMethodParams{"serialize_method", {"name", "args"}};
constexpr Params<1> kDumpsParams{"dumps", {"obj"}};

}  // namespace

#ifdef VELMORA_FASTCALL
namespace {

using TupleEntry = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// Both arguments by position, the common call, are bound as they lie; any
// other call goes through the tuple entry, which binds (and words) the rest.
template <class Encode>
[[gnu::hot]] PyObject* encode_fast(const Params<2>& params, TupleEntry entry, Encode&& encode, Strictness how,
                      PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 2 || kwnames != nullptr) return call_with_tuple(entry, self, args, nargs, kwnames);
  return call_frame([&] { return encode_bound(params, encode, args[0], args[1], how); });
}

}  // namespace

PyObject* serialize_method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return encode_fast(kMethodParams, serialize_method, codec::serialize_method, Strictness::kLenient,
                     self, args, nargs, kwnames);
}

PyObject* serialize_constructor_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return encode_fast(kConstructorParams, serialize_constructor, codec::serialize_constructor,
                     Strictness::kLenient, self, args, nargs, kwnames);
}

PyObject* dumps_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) return call_with_tuple(dumps, self, args, nargs, kwnames);
  return call_frame([&] { return encode_dumps(args[0], Strictness::kLenient); });
}

// The package's encoders, strict by default: the same fast binding.
PyObject* package_serialize_method_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return encode_fast(kPackageMethodParams, package_serialize_method, codec::serialize_method,
                     Strictness::kStrict, self, args, nargs, kwnames);
}

PyObject* package_serialize_constructor_fast(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  return encode_fast(kConstructorParams, package_serialize_constructor,
                     codec::serialize_constructor, Strictness::kStrict, self, args, nargs, kwnames);
}

PyObject* package_dumps_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  if (nargs != 1 || kwnames != nullptr) {
    return call_with_tuple(package_dumps, self, args, nargs, kwnames);
  }
  return call_frame([&] { return encode_dumps(args[0], Strictness::kStrict); });
}
#endif

PyObject* serialize_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return encode_entry(kMethodParams, codec::serialize_method, args, kwargs);
}

PyObject* serialize_constructor(PyObject*, PyObject* args, PyObject* kwargs) {
  return encode_entry(kConstructorParams, codec::serialize_constructor, args, kwargs);
}

PyObject* dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kDumpsParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return encode_dumps((*bound)[0], Strictness::kLenient);
  });
}

PyObject* package_serialize_method(PyObject*, PyObject* args, PyObject* kwargs) {
  return package_entry(kPackageMethodParams, codec::serialize_method, args, kwargs);
}

PyObject* package_serialize_constructor(PyObject*, PyObject* args, PyObject* kwargs) {
  return package_entry(kConstructorParams, codec::serialize_constructor, args, kwargs);
}

PyObject* package_dumps(PyObject*, PyObject* args, PyObject* kwargs) {
  py::Ref rest;
  Result<bool> strict = take_strict(&kwargs, rest);
  return call_frame([&]() -> Result<py::Ref> {
    if (!strict) return std::move(strict).failure();
    auto bound = bind(kDumpsParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    return encode_dumps((*bound)[0], *strict ? Strictness::kStrict : Strictness::kLenient);
  });
}

PyObject* encode_json(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"_encode_json", {"method", "name", "args"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto bound = bind(kParams, args, kwargs);
    if (!bound) return std::move(bound).failure();
    auto method = arg_u64(kParams.names[0], (*bound)[0]);
    if (!method) return std::move(method).failure();
    auto name = arg_str(kParams.names[1], (*bound)[1]);
    if (!name) return std::move(name).failure();
    auto encode = *method != 0 ? codec::serialize_method : codec::serialize_constructor;
    codec::Fault fault;
    return outcome(encode(*name, (*bound)[2], Strictness::kStrictHexText, fault), fault);
  });
}

}  // namespace velmora::module
