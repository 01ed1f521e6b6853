// The key exchange's private entries and the type of its state: module
// attributes with underscore names, outside __all__. velmora.handshake is
// their public face; it converts keys, checks ranges and passes the random
// source and the clock's reading on each call.
#include <climits>
#include <cmath>
#include <memory>

#include "message/handshake_glue.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"
#include "module/messages.hpp"
#include "protocol/factorize.hpp"
#include "protocol/rsa_pad.hpp"
#include "py/native_object.hpp"

namespace velmora::module {
namespace {

using message::HandshakeState;

// An int argument of 32 bits (TL's int), or None when none_ok.
Result<std::optional<std::int32_t>> arg_i32(const char* param, PyObject* o, bool none_ok) {
  if (none_ok && o == Py_None) return std::optional<std::int32_t>();
  if (!py::is_int(o)) {
    return Failure::type(std::string("argument '") + param + "': " + py::type_qualname(o) +
                         " object is not an int");
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return Failure::pending();
  if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
    return Failure::overflow(std::string("argument '") + param + "': out of range for 32 bits");
  }
  return std::optional<std::int32_t>(static_cast<std::int32_t>(v));
}

Result<PyObject*> arg_rand(PyObject* o) {
  if (o != Py_None && !PyCallable_Check(o)) return Failure::type(msg::kRandNotCallable);
  return o;
}

PyObject* handshake_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"_Handshake", {"server_keys", "dc", "expires_in"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto keys = message::server_keys((*a)[0]);
    if (!keys) return std::move(keys).failure();
    auto dc = arg_i32("dc", (*a)[1], false);
    if (!dc) return std::move(dc).failure();
    auto expires_in = arg_i32("expires_in", (*a)[2], true);
    if (!expires_in) return std::move(expires_in).failure();
    return py::adopt(type, std::make_unique<HandshakeState>(std::move(*keys), **dc, *expires_in));
  });
}

PyObject* handshake_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"start", {"rand"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto rand = arg_rand((*a)[0]);
    if (!rand) return std::move(rand).failure();
    return message::start_exchange(py::state_of<HandshakeState>(self), *rand);
  });
}

PyObject* handshake_receive(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"receive", {"answer", "now", "rand"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto answer = arg_bytes("answer", (*a)[0]);
    if (!answer) return std::move(answer).failure();
    const double now = PyFloat_AsDouble((*a)[1]);
    if (now == -1.0 && PyErr_Occurred()) return prefix_pending_type_error("now");
    if (!std::isfinite(now)) return Failure::value(msg::kClockNotFinite);
    auto rand = arg_rand((*a)[2]);
    if (!rand) return std::move(rand).failure();
    return message::receive_answer(py::state_of<HandshakeState>(self), *answer, now, *rand);
  });
}

#define VELMORA_ENTRY(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(fn)))
constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"start", VELMORA_ENTRY(handshake_start), kArgs, "start($self, rand)\n--\n\n"},
    {"receive", VELMORA_ENTRY(handshake_receive), kArgs, "receive($self, answer, now, rand)\n--\n\n"},
    kRefuseReduce,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&handshake_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("_Handshake(server_keys, dc, expires_in)\n--\n\n"
                                  "The native state of velmora.handshake.Handshake.")},
    {0, nullptr},
};

}  // namespace

PyObject* handshake_factorize(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"_factorize", {"pq"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto pq = arg_u64("pq", (*a)[0]);
    if (!pq) return std::move(pq).failure();
    std::uint64_t p = 0, q = 0;
    const protocol::FactorStatus s = protocol::factorize(*pq, &p, &q);
    if (s != protocol::FactorStatus::kOk) return Failure::value(protocol::factor_status_message(s));
    py::Ref t = py::steal(Py_BuildValue("(KK)", static_cast<unsigned long long>(p),
                                        static_cast<unsigned long long>(q)));
    if (!t) return Failure::pending();
    return t;
  });
}

PyObject* handshake_rsa_fingerprint(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"_rsa_fingerprint", {"n", "e"}};
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 2> v;
    if (Status s = bind_bytes(kParams, args, kwargs, &v); !s) return std::move(s).failure();
    py::Ref r = py::steal(PyLong_FromLongLong(protocol::rsa_fingerprint(v[0], v[1])));
    if (!r) return Failure::pending();
    return r;
  });
}

PyObject* handshake_rsa_pad(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<4> kParams{"_rsa_pad", {"data", "n", "e", "rand"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    std::array<ByteView, 3> v;
    for (std::size_t i = 0; i < 3; ++i) {
      auto b = arg_bytes(kParams.names[i], (*a)[i]);
      if (!b) return std::move(b).failure();
      v[i] = *b;
    }
    auto rand = arg_rand((*a)[3]);
    if (!rand) return std::move(rand).failure();
    return message::rsa_pad_bytes(v[0], v[1], v[2], *rand);
  });
}

PyObject* handshake_rsa_pem(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"_rsa_pem", {"pem"}};
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 1> v;
    if (Status s = bind_bytes(kParams, args, kwargs, &v); !s) return std::move(s).failure();
    return message::pem_numbers(v[0]);
  });
}

PyObject* handshake_dh_check(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"_dh_check", {"dh_prime", "g", "g_a"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto p = arg_bytes("dh_prime", (*a)[0]);
    if (!p) return std::move(p).failure();
    auto g = arg_i32("g", (*a)[1], false);
    if (!g) return std::move(g).failure();
    auto g_a = arg_bytes("g_a", (*a)[2]);
    if (!g_a) return std::move(g_a).failure();
    return message::dh_refusal(*p, **g, *g_a);
  });
}

int prepare_handshake(PyObject* m) {
  py::Ref type = py::steal(py::make_native_type<HandshakeState>("velmora.ext._Handshake", g_slots));
  if (!type) return -1;
  return PyObject_SetAttrString(m, "_Handshake", type.get());
}

}  // namespace velmora::module
