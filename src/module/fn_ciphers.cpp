// velmora.crypto's native entries: the Ctr type, CBC, and the package's own
// IGE and GCM. Private module attributes (_Ctr, _cbc_encrypt, ...), outside
// __all__. Unlike the sixteen functions, they take any bytes-like argument
// and release the GIL on 64 KiB or more; their texts and classes are the
// module's.
#include <array>
#include <memory>
#include <string>

#include "crypto/aes_cbc.hpp"
#include "crypto/aes_ctr.hpp"
#include "crypto/aes_gcm.hpp"
#include "crypto/aes_ige.hpp"
#include "message/stream_cipher.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"
#include "module/messages.hpp"
#include "py/native_object.hpp"
#include "py/threads.hpp"

namespace velmora::module {
namespace {

using message::CtrState;

// Binds p's parameters, each by the bytes-like rule; keep owns the copies.
template <std::size_t N>
Status bind_bytes_like(const Params<N>& p, PyObject* args, PyObject* kwargs,
                       std::array<ByteView, N>* views, std::array<py::Ref, N>* keep) {
  auto bound = bind(p, args, kwargs);
  if (!bound) return std::move(bound).failure();
  for (std::size_t i = 0; i < N; ++i) {
    auto v = arg_bytes_like(p.names[i], (*bound)[i], &(*keep)[i]);
    if (!v) return std::move(v).failure();
    (*views)[i] = *v;
  }
  return Status::success();
}

// A bytes object of n bytes, *data its buffer to fill.
Result<py::Ref> blank(std::size_t n, std::uint8_t** data) {
  py::Ref b = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!b) return Failure::pending();
  *data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(b.get()));
  return b;
}

// The block modes: (data, key, iv), checked, then run into new bytes.
template <class Status_, class Check, class Run, class Fail>
PyObject* block_entry(const Params<3>& p, PyObject* args, PyObject* kwargs, Check check, Run run,
                      Fail fail) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 3> v;
    std::array<py::Ref, 3> keep;
    if (Status s = bind_bytes_like(p, args, kwargs, &v, &keep); !s) return std::move(s).failure();
    if (Status_ st = check(v[0].size(), v[1].size(), v[2].size()); st != Status_::kOk) return fail(st);
    std::uint8_t* out = nullptr;
    auto result = blank(v[0].size(), &out);
    if (!result) return result;
    const Status_ done = py::without_gil(v[0].size() >= py::kReleaseGilFrom, [&] {
      return run(v[0].data(), v[0].size(), v[1].data(), v[1].size(), v[2].data(), v[2].size(), out);
    });
    if (done != Status_::kOk) return fail(done);
    return result;
  });
}

Failure cbc_failure(crypto::CbcStatus s) {
  if (s == crypto::CbcStatus::kCipherFailure) return Failure::internal(crypto::cbc_status_message(s));
  return Failure::value(crypto::cbc_status_message(s));
}

Failure ige_failure(crypto::IgeStatus s) {
  if (s == crypto::IgeStatus::kCipherFailure) return Failure::internal(crypto::ige_status_message(s));
  return Failure::value(crypto::ige_status_message(s));
}

PyObject* cbc_encrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"cbc_encrypt", {"data", "key", "iv"}};
  return block_entry<crypto::CbcStatus>(kParams, args, kwargs, crypto::cbc_check,
                                        crypto::aes_cbc_encrypt, cbc_failure);
}

PyObject* cbc_decrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"cbc_decrypt", {"data", "key", "iv"}};
  return block_entry<crypto::CbcStatus>(kParams, args, kwargs, crypto::cbc_check,
                                        crypto::aes_cbc_decrypt, cbc_failure);
}

template <bool Encrypt>
PyObject* ige_entry(const Params<3>& p, PyObject* args, PyObject* kwargs) {
  const auto run = [](const std::uint8_t* in, std::size_t n, const std::uint8_t* key, std::size_t kl,
                      const std::uint8_t* iv, std::size_t il, std::uint8_t* out) {
    return (Encrypt ? crypto::aes_ige_encrypt : crypto::aes_ige_decrypt)(in, n, key, kl, iv, il, out,
                                                                        crypto::ige_backend());
  };
  return block_entry<crypto::IgeStatus>(p, args, kwargs, crypto::ige_check, run, ige_failure);
}

PyObject* ige_encrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"ige_encrypt", {"data", "key", "iv"}};
  return ige_entry<true>(kParams, args, kwargs);
}

PyObject* ige_decrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"ige_decrypt", {"data", "key", "iv"}};
  return ige_entry<false>(kParams, args, kwargs);
}

// GCM as the module's aes_gcm_* (the same checks, texts and classes), the
// data third as in velmora.crypto.
template <bool Seal>
PyObject* gcm_entry(const Params<4>& p, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 4> v;
    std::array<py::Ref, 4> keep;
    if (Status s = bind_bytes_like(p, args, kwargs, &v, &keep); !s) return std::move(s).failure();
    // Named references, not a structured binding: clang before 16 cannot capture one in a lambda.
    const ByteView &key = v[0], &nonce = v[1], &input = v[2], &aad = v[3];
    const std::size_t n = input.size();
    const auto fail = [&](crypto::GcmStatus s) {
      if (s == crypto::GcmStatus::kBadNonceLength) {
        return Failure::runtime(msg::kGcmNonceLength + std::to_string(nonce.size()));
      }
      return Failure::runtime(crypto::gcm_status_message(s));
    };
    if (auto st = crypto::gcm_check(Seal, key.size(), nonce.size(), n, aad.size()); st != crypto::GcmStatus::kOk) {
      return fail(st);
    }
    std::uint8_t* out = nullptr;
    auto result = blank(Seal ? n + crypto::kGcmTagSize : n - crypto::kGcmTagSize, &out);
    if (!result) return result;
    const auto done = py::without_gil(n >= py::kReleaseGilFrom, [&] {
      return (Seal ? crypto::aes_gcm_seal : crypto::aes_gcm_open)(key.data(), key.size(), nonce.data(),
                                                                  nonce.size(), input.data(), n, aad.data(),
                                                                  aad.size(), out, crypto::gcm_backend());
    });
    if (done != crypto::GcmStatus::kOk) return fail(done);
    return result;
  });
}

PyObject* gcm_encrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<4> kParams{"gcm_encrypt", {"key", "nonce", "data", "aad"}};
  return gcm_entry<true>(kParams, args, kwargs);
}

PyObject* gcm_decrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<4> kParams{"gcm_decrypt", {"key", "nonce", "data", "aad"}};
  return gcm_entry<false>(kParams, args, kwargs);
}

// ---- Ctr ----------------------------------------------------------------

PyObject* ctr_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"Ctr", {"key", "iv"}};
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 2> v;
    std::array<py::Ref, 2> keep;
    if (Status s = bind_bytes_like(kParams, args, kwargs, &v, &keep); !s) return std::move(s).failure();
    auto state = message::ctr_state(v[0], v[1]);
    if (!state) return std::move(state).failure();
    return py::adopt<CtrState>(type, std::move(*state));
  });
}

PyObject* ctr_update(PyObject* self, PyObject* data) {
  return call_frame([&]() -> Result<py::Ref> {
    py::Ref keep;
    auto v = arg_bytes_like("data", data, &keep);
    if (!v) return std::move(v).failure();
    return message::ctr_update(py::state_of<CtrState>(self), *v);
  });
}

#define VELMORA_ENTRY(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(fn)))
constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_ctr_methods[] = {
    {"update", ctr_update, METH_O,
     "update($self, data, /)\n--\n\nThe next len(data) bytes of the stream over data, from where the "
     "last call stopped."},
    kRefuseReduce,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_ctr_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&ctr_new)},
    {Py_tp_methods, g_ctr_methods},
    {Py_tp_doc, const_cast<char*>("Ctr(key, iv)\n--\n\nAn AES-256-CTR stream: a 32-byte key, a "
                                  "16-byte IV, the counter big-endian over all 128 bits.")},
    {0, nullptr},
};

PyMethodDef g_defs[] = {
    {"cbc_encrypt", VELMORA_ENTRY(cbc_encrypt), kArgs, "cbc_encrypt(data, key, iv)\n--\n\n"},
    {"cbc_decrypt", VELMORA_ENTRY(cbc_decrypt), kArgs, "cbc_decrypt(data, key, iv)\n--\n\n"},
    {"ige_encrypt", VELMORA_ENTRY(ige_encrypt), kArgs, "ige_encrypt(data, key, iv)\n--\n\n"},
    {"ige_decrypt", VELMORA_ENTRY(ige_decrypt), kArgs, "ige_decrypt(data, key, iv)\n--\n\n"},
    {"gcm_encrypt", VELMORA_ENTRY(gcm_encrypt), kArgs, "gcm_encrypt(key, nonce, data, aad)\n--\n\n"},
    {"gcm_decrypt", VELMORA_ENTRY(gcm_decrypt), kArgs, "gcm_decrypt(key, nonce, data, aad)\n--\n\n"},
};

}  // namespace

int prepare_ciphers(PyObject* m) {
  py::Ref package = py::steal(PyUnicode_FromString("velmora.crypto"));
  if (!package) return -1;
  for (PyMethodDef& def : g_defs) {
    py::Ref fn = py::steal(PyCFunction_NewEx(&def, m, package.get()));
    const std::string attr = std::string("_") + def.ml_name;
    if (!fn || PyObject_SetAttrString(m, attr.c_str(), fn.get()) < 0) return -1;
  }
  const bool ipsec = crypto::ctr_backend() == crypto::CtrBackend::kIpsecMb;
  if (PyModule_AddStringConstant(m, "_ctr_backend", ipsec ? "ipsec-mb" : "openssl") != 0) return -1;
  // Once per process: the type outlives any one import of the module.
  static PyObject* ctr_type = py::make_native_type<CtrState>("velmora.crypto.Ctr", g_ctr_slots);
  if (ctr_type == nullptr) return -1;
  return PyObject_SetAttrString(m, "_Ctr", ctr_type);
}

}  // namespace velmora::module
