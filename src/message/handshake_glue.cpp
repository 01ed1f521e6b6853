#include "message/handshake_glue.hpp"

#include <openssl/bn.h>

#include <cstring>
#include <exception>
#include <memory>

#include "message/messages.hpp"
#include "protocol/dh_check.hpp"
#include "protocol/rsa_pad.hpp"

namespace velmora::message {
namespace {

using protocol::HandshakeStatus;

// Draws from a Python callable: rand(n) -> n bytes. The first failure is
// kept for the caller to raise; the core then refuses the exchange.
class PyRandom final : public protocol::RandomSource {
 public:
  explicit PyRandom(PyObject* rand) noexcept : rand_(rand) {}
  bool fill(std::uint8_t* out, std::size_t n) noexcept override {
    py::Ref r = py::steal(PyObject_CallFunction(rand_, "n", static_cast<Py_ssize_t>(n)));
    if (!r) {
      failure.emplace(Failure::pending());
      return false;
    }
    if (!py::is_bytes(r.get()) || py::bytes_view(r.get()).size() != n) {
      failure.emplace(Failure::value(msg::kRandBytes));
      return false;
    }
    std::memcpy(out, py::bytes_view(r.get()).data(), n);
    return true;
  }
  std::optional<Failure> failure;

 private:
  PyObject* rand_;
};

// Runs step with the source rand names: the module's random bytes without
// the GIL (the core touches no Python object), or the Python callable with it.
template <class Step>
Result<HandshakeStatus> run_step(PyObject* rand, Step&& step) {
  if (rand == Py_None) {
    protocol::SystemRandom system;
    HandshakeStatus s = HandshakeStatus::kOk;
    std::exception_ptr fault;
    Py_BEGIN_ALLOW_THREADS
    try {
      s = step(system);
    } catch (...) {
      fault = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (fault) std::rethrow_exception(fault);
    return s;
  }
  PyRandom source(rand);
  const HandshakeStatus s = step(source);
  if (source.failure) return std::move(*source.failure);
  return s;
}

Failure refusal(HandshakeStatus s) {
  const char* text = protocol::handshake_status_message(s);
  return protocol::handshake_misuse(s) ? Failure::runtime(text) : Failure::handshake(text);
}

Result<py::Ref> key_tuple(const protocol::AuthKey& key) {
  py::Ref expires = key.temporary ? py::steal(PyFloat_FromDouble(key.expires_at))
                                  : py::borrow(Py_None);
  auto bytes = py::new_bytes(key.key.b, key.key.size());
  if (!bytes || !expires) return Failure::pending();
  py::Ref t = py::steal(Py_BuildValue("(OKLLO)", (*bytes).get(),
                                      static_cast<unsigned long long>(key.key_id),
                                      static_cast<long long>(key.server_salt),
                                      static_cast<long long>(key.time_offset), expires.get()));
  if (!t) return Failure::pending();
  return t;
}

}  // namespace

Result<std::vector<protocol::RsaKey>> server_keys(PyObject* list) {
  if (!py::is_list(list)) return Failure::type(msg::kKeyPair);
  std::vector<protocol::RsaKey> keys;
  for (Py_ssize_t i = 0; i < py::list_size(list); ++i) {
    PyObject* pair = PyList_GetItem(list, i);
    if (!py::is_tuple(pair) || py::tuple_size(pair) != 2) return Failure::type(msg::kKeyPair);
    PyObject* n = PyTuple_GetItem(pair, 0);
    PyObject* e = PyTuple_GetItem(pair, 1);
    if (!py::is_bytes(n) || !py::is_bytes(e)) return Failure::type(msg::kKeyPair);
    protocol::RsaKey key;
    const auto s = protocol::make_rsa_key(py::bytes_view(n), py::bytes_view(e), &key);
    if (s != protocol::RsaStatus::kOk) return Failure::value(protocol::rsa_status_message(s));
    keys.push_back(std::move(key));
  }
  return keys;
}

Result<py::Ref> start_exchange(HandshakeState& state, PyObject* rand) {
  std::unique_lock<std::mutex> hold(state.lock, std::try_to_lock);
  if (!hold.owns_lock()) return Failure::runtime(msg::kTwoThreads);
  std::vector<std::uint8_t> request;
  auto s = run_step(rand, [&](protocol::RandomSource& r) { return state.core.start(r, &request); });
  if (!s) return std::move(s).failure();
  if (*s != HandshakeStatus::kOk) return refusal(*s);
  return py::new_bytes(request.data(), request.size());
}

Result<py::Ref> receive_answer(HandshakeState& state, py::ByteView answer, double now,
                               PyObject* rand) {
  std::unique_lock<std::mutex> hold(state.lock, std::try_to_lock);
  if (!hold.owns_lock()) return Failure::runtime(msg::kTwoThreads);
  std::vector<std::uint8_t> request;
  bool done = false;
  protocol::AuthKey key;
  auto s = run_step(rand, [&](protocol::RandomSource& r) {
    return state.core.receive(answer, now, r, &request, &done, &key);
  });
  if (!s) return std::move(s).failure();
  if (*s != HandshakeStatus::kOk) return refusal(*s);
  if (done) return key_tuple(key);
  return py::new_bytes(request.data(), request.size());
}

Result<py::Ref> rsa_pad_bytes(py::ByteView data, py::ByteView n, py::ByteView e, PyObject* rand) {
  protocol::RsaKey key;
  if (auto s = protocol::make_rsa_key(n, e, &key); s != protocol::RsaStatus::kOk) {
    return Failure::value(protocol::rsa_status_message(s));
  }
  if (data.size() > protocol::kRsaPadMaxData) {
    return Failure::value(protocol::rsa_status_message(protocol::RsaStatus::kDataTooLong));
  }
  std::uint8_t out[protocol::kRsaSize];
  protocol::SystemRandom system;
  PyRandom source(rand);
  protocol::RandomSource* r = rand == Py_None ? static_cast<protocol::RandomSource*>(&system) : &source;
  const auto s = protocol::rsa_pad(data, key, *r, out);
  if (source.failure) return std::move(*source.failure);
  if (s != protocol::RsaStatus::kOk) return Failure::value(protocol::rsa_status_message(s));
  return py::new_bytes(out, sizeof(out));
}

Result<py::Ref> pem_numbers(py::ByteView pem) {
  std::vector<std::uint8_t> n, e;
  if (auto s = protocol::rsa_pem_numbers(pem, &n, &e); s != protocol::RsaStatus::kOk) {
    return Failure::value(protocol::rsa_status_message(s));
  }
  py::Ref t = py::steal(Py_BuildValue("(y#y#)", n.data(), static_cast<Py_ssize_t>(n.size()),
                                      e.data(), static_cast<Py_ssize_t>(e.size())));
  if (!t) return Failure::pending();
  return t;
}

Result<py::Ref> dh_refusal(py::ByteView dh_prime, std::int32_t g, py::ByteView g_a) {
  protocol::DhStatus s = protocol::check_dh_group(dh_prime, g);
  if (s == protocol::DhStatus::kOk) {
    std::unique_ptr<BIGNUM, decltype(&BN_free)> p(
        BN_bin2bn(dh_prime.data(), static_cast<int>(dh_prime.size()), nullptr), &BN_free);
    std::unique_ptr<BIGNUM, decltype(&BN_free)> v(
        BN_bin2bn(g_a.data(), static_cast<int>(g_a.size()), nullptr), &BN_free);
    if (!p || !v) return Failure::no_memory();
    s = protocol::check_dh_value(p.get(), v.get());
  }
  if (s == protocol::DhStatus::kOk) return py::borrow(Py_None);
  const char* text = s == protocol::DhStatus::kOutOfRange
                         ? protocol::handshake_status_message(HandshakeStatus::kGaRange)
                         : protocol::dh_status_message(s);
  py::Ref t = py::steal(PyUnicode_FromString(text));
  if (!t) return Failure::pending();
  return t;
}

}  // namespace velmora::message
