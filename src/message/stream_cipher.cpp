#include "message/stream_cipher.hpp"

#include <memory>

#include "py/threads.hpp"

namespace velmora::message {

Failure ctr_failure(crypto::CtrStatus s) {
  if (s == crypto::CtrStatus::kCipherFailure) return Failure::internal(crypto::ctr_status_message(s));
  return Failure::value(crypto::ctr_status_message(s));
}

Result<std::unique_ptr<CtrState>> ctr_state(py::ByteView key, py::ByteView iv) {
  auto s = std::make_unique<CtrState>();
  const crypto::CtrStatus st = s->stream.start(key.data(), key.size(), iv.data(), iv.size());
  if (st != crypto::CtrStatus::kOk) return ctr_failure(st);
  return s;
}

Result<py::Ref> ctr_update(CtrState& s, py::ByteView data) {
  py::Ref out = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(data.size())));
  if (!out) return Failure::pending();
  auto* to = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get()));
  const py::StateLock held(s.lock);
  // The new bytes object is ours alone until returned: writing it without
  // the GIL is safe, and so is reading data, which the caller keeps alive
  // and which is immutable bytes.
  const bool ok = py::without_gil(data.size() >= py::kReleaseGilFrom,
                                  [&] { return s.stream.apply(data.data(), to, data.size()); });
  if (!ok) return ctr_failure(crypto::CtrStatus::kCipherFailure);
  return out;
}

}  // namespace velmora::message
