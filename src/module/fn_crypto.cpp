// The AES-IGE and AES-GCM entries of the function table.
#include <cstring>

#include "crypto/aes_gcm.hpp"
#include "crypto/aes_ige.hpp"
#include "module/call.hpp"
#include "module/messages.hpp"
#include "module/functions.hpp"

namespace velmora::module {
namespace {

using crypto::GcmStatus;
using crypto::IgeStatus;

// A bytes object of n bytes to be filled in place; the only copy of the
// result is the one the cipher writes.
Result<py::Ref> blank_bytes(std::size_t n, std::uint8_t** data) {
  py::Ref b = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!b) return Failure::pending();
  *data = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(b.get()));
  if (*data == nullptr) return Failure::pending();
  return b;
}

Failure ige_failure(IgeStatus s) {
  if (s == IgeStatus::kCipherFailure) return Failure::internal(crypto::ige_status_message(s));
  return Failure::value(crypto::ige_status_message(s));
}

enum class Out { kBytes, kList };

template <bool Encrypt, Out Kind>
PyObject* ige_entry(PyObject* args, PyObject* kwargs, const Params<3>& params) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 3> views;
    if (Status s = bind_bytes(params, args, kwargs, &views); !s) return std::move(s).failure();
    const ByteView& data = views[0];
    const ByteView& key = views[1];
    const ByteView& iv = views[2];

    // Length faults first, before any object is made.
    const IgeStatus st = crypto::ige_check(data.size(), key.size(), iv.size());
    if (st != IgeStatus::kOk) return ige_failure(st);

    std::uint8_t* out = nullptr;
    auto result = blank_bytes(data.size(), &out);
    if (!result) return result;
    const auto run = Encrypt ? crypto::aes_ige_encrypt : crypto::aes_ige_decrypt;
    const IgeStatus done = run(data.data(), data.size(), key.data(), key.size(), iv.data(),
                               iv.size(), out, crypto::ige_backend());
    if (done != IgeStatus::kOk) return ige_failure(done);
    if constexpr (Kind == Out::kBytes) {
      return result;
    } else {
      const std::size_t n = data.size();
      py::Ref list = py::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (!list) return Failure::pending();
      for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = PyLong_FromLong(out[i]);
        if (v == nullptr) return Failure::pending();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);  // steals v
      }
      return list;
    }
  });
}

// A wrong nonce length is the caller's mistake like any other, so it is an
// ordinary RuntimeError that 'except Exception' sees, not an internal fault.
Failure gcm_failure(GcmStatus s, std::size_t nonce_len) {
  if (s == GcmStatus::kBadNonceLength) {
    return Failure::runtime(msg::kGcmNonceLength + std::to_string(nonce_len));
  }
  return Failure::runtime(crypto::gcm_status_message(s));
}

// The two GCM entries differ only in direction: the checks, the result's
// length and the backend call.
template <bool Seal>
PyObject* gcm_entry(PyObject* args, PyObject* kwargs, const Params<4>& params) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<ByteView, 4> views;
    if (Status s = bind_bytes(params, args, kwargs, &views); !s) return std::move(s).failure();
    const auto& [key, nonce, input, aad] = views;
    const std::size_t n = input.size();
    // Length faults are reported before the result object exists.
    const GcmStatus st = crypto::gcm_check(Seal, key.size(), nonce.size(), n, aad.size());
    if (st != GcmStatus::kOk) return gcm_failure(st, nonce.size());
    std::uint8_t* out = nullptr;
    auto result = blank_bytes(Seal ? n + crypto::kGcmTagSize : n - crypto::kGcmTagSize, &out);
    if (!result) return result;
    const auto run = Seal ? crypto::aes_gcm_seal : crypto::aes_gcm_open;
    const GcmStatus done = run(key.data(), key.size(), nonce.data(), nonce.size(), input.data(), n,
                               aad.data(), aad.size(), out, crypto::gcm_backend());
    if (done != GcmStatus::kOk) return gcm_failure(done, nonce.size());
    return result;
  });
}

}  // namespace

PyObject* aes_ige_enc(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"aes_ige_enc", {"data", "key", "iv"}};
  return ige_entry<true, Out::kBytes>(args, kwargs, kParams);
}

PyObject* aes_ige_fast_path(PyObject*, PyObject*) {
  // No processor-specific route exists; libcrypto picks its own.
  return PyBool_FromLong(0);
}

PyObject* aes_ige_dec(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"aes_ige_dec", {"data", "key", "iv"}};
  return ige_entry<false, Out::kBytes>(args, kwargs, kParams);
}

PyObject* aes_ige_enc_raw(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"aes_ige_enc_raw", {"data", "key", "iv"}};
  return ige_entry<true, Out::kList>(args, kwargs, kParams);
}

PyObject* aes_ige_dec_raw(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<3> kParams{"aes_ige_dec_raw", {"data", "key", "iv"}};
  return ige_entry<false, Out::kList>(args, kwargs, kParams);
}

int prepare_crypto(PyObject* m) {
  // The backends are chosen here, at import, so that no call pays for
  // setting them up; the names stay private, outside the sixteen functions.
  if (PyModule_AddStringConstant(m, "_gcm_backend",
                                 crypto::gcm_backend_name(crypto::gcm_backend())) != 0) {
    return -1;
  }
  return PyModule_AddStringConstant(m, "_ige_backend",
                                    crypto::ige_backend_name(crypto::ige_backend()));
}

PyObject* aes_gcm_encrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<4> kParams{"aes_gcm_encrypt", {"key", "nonce", "plaintext", "aad"}};
  return gcm_entry<true>(args, kwargs, kParams);
}

PyObject* aes_gcm_decrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<4> kParams{"aes_gcm_decrypt", {"key", "nonce", "ciphertext", "aad"}};
  return gcm_entry<false>(args, kwargs, kParams);
}

}  // namespace velmora::module
