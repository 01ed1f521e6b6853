// The message layer's private entries: the envelope, reading by type,
// service messages and gzip_packed. They are module attributes with
// underscore names, outside __all__ (module.cpp's table of private
// functions); the package's velmora.message and velmora.read are their
// public face and check what these take for granted (bytes-like arguments).
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "codec/deserializer.hpp"
#include "codec/compiled.hpp"
#include "codec/read_type.hpp"
#include "message/gzip_packed.hpp"
#include "message/envelope_failure.hpp"
#include "message/service.hpp"
#include "message/wiped_scratch.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"
#include "protocol/envelope.hpp"

namespace velmora::module {
namespace {

using protocol::EnvelopeStatus;

// The plaintext of one call, wiped when the call ends, whatever its outcome.
using message::WipedScratch;

using message::envelope_failure;

// The Message named tuple of velmora.message, which decrypt's results are;
// a plain tuple until the package registers it. Any thread may register or
// read it at any time: an atomic, and a class once registered is never
// released, since a decrypt on another thread may be allocating one.
std::atomic<PyObject*> g_message_type{nullptr};

// The sender option: "client" (x = 0) or "server" (x = 8), given or the default.
Result<protocol::Sender> sender_of(PyObject* sender, protocol::Sender fallback) {
  if (sender == nullptr) return fallback;
  if (py::is_str(sender)) {
    if (PyUnicode_CompareWithASCIIString(sender, "client") == 0) return protocol::Sender::kClient;
    if (PyUnicode_CompareWithASCIIString(sender, "server") == 0) return protocol::Sender::kServer;
  }
  py::Ref shown = py::steal(PyObject_Repr(sender));
  return Failure::value(msg::kSenderName +
                        (shown ? py::str_utf8(shown.get()) : std::string("?")));
}

// The padding argument: None for the default length of random bytes, an int
// for that many random bytes, or the bytes themselves.
Result<std::size_t> padding_len(PyObject* padding, std::size_t body_len, const std::uint8_t** out) {
  *out = nullptr;
  if (padding == Py_None) return protocol::default_padding_len(body_len);
  if (py::is_bytes(padding)) {
    const py::ByteView v = py::bytes_view(padding);
    *out = v.data();
    return v.size();
  }
  auto n = arg_u64("padding", padding);
  if (!n) return std::move(n).failure();
  // Past the largest allowed, the length check refuses it with its message.
  return static_cast<std::size_t>(std::min<std::uint64_t>(*n, protocol::kMaxPadding + 16));
}

}  // namespace

PyObject* message_encrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<6> kParams{
      "encrypt", {"auth_key", "salt", "session_id", "msg_id", "seq_no", "body"}};
  return call_frame([&]() -> Result<py::Ref> {
    Options<2> opt{{"sender", "padding"}};
    auto a = bind_options(kParams, &opt, args, kwargs);
    if (!a) return std::move(a).failure();
    auto sender = sender_of(opt.values[0], protocol::Sender::kClient);
    if (!sender) return std::move(sender).failure();
    py::Ref key_copy;
    auto key = arg_bytes_like("auth_key", (*a)[0], &key_copy);
    if (!key) return std::move(key).failure();
    std::uint64_t fields[4];  // salt, session_id, msg_id, seq_no
    for (std::size_t i = 0; i < 4; ++i) {
      auto f = arg_bits(kParams.names[i + 1], (*a)[i + 1], i < 3 ? 64 : 32);
      if (!f) return std::move(f).failure();
      fields[i] = *f;
    }
    py::Ref body_copy;
    auto body = arg_bytes_like("body", (*a)[5], &body_copy);
    if (!body) return std::move(body).failure();
    const std::uint8_t* pad = nullptr;
    auto pad_len = padding_len(opt.values[1] ? opt.values[1] : Py_None, body->size(), &pad);
    if (!pad_len) return std::move(pad_len).failure();
    const protocol::EnvelopeHeader h{static_cast<std::int64_t>(fields[0]),
                                     static_cast<std::int64_t>(fields[1]),
                                     static_cast<std::int64_t>(fields[2]),
                                     static_cast<std::int32_t>(fields[3])};
    const std::size_t n = protocol::frame_size(body->size(), *pad_len);
    py::Ref out = py::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!out) return Failure::pending();
    WipedScratch scratch(n + 8);
    const EnvelopeStatus st = protocol::seal_message(
        key->data(), key->size(), *sender, h, body->data(), body->size(), pad, *pad_len,
        scratch.data(), reinterpret_cast<std::uint8_t*>(PyBytes_AsString(out.get())));
    if (st != EnvelopeStatus::kOk) return envelope_failure(st);
    return out;
  });
}

namespace {

// A Message (or, before the package registers it, a tuple) of the header's
// fields and the body. The named tuple is allocated as tuple.__new__ would
// allocate it, without the calls on the way there.
Result<py::Ref> message_of(const protocol::EnvelopeHeader& h, py::Ref body) {
  PyObject* items[] = {PyLong_FromLongLong(h.salt), PyLong_FromLongLong(h.session_id),
                       PyLong_FromLongLong(h.msg_id), PyLong_FromLong(h.seq_no), body.release()};
  PyObject* const type = g_message_type.load(std::memory_order_acquire);
  py::Ref out =
      py::steal(type ? PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 5) : PyTuple_New(5));
  bool ok = static_cast<bool>(out);
  for (Py_ssize_t i = 0; i < 5; ++i) {
    ok = ok && items[i] != nullptr;
    if (ok) {
      PyTuple_SetItem(out.get(), i, items[i]);  // steals the item
    } else {
      Py_XDECREF(items[i]);
    }
  }
  if (!ok) return Failure::pending();
  return out;
}

}  // namespace

PyObject* message_decrypt(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<2> kParams{"decrypt", {"auth_key", "frame"}};
  return call_frame([&]() -> Result<py::Ref> {
    Options<1> opt{{"sender"}};
    auto a = bind_options(kParams, &opt, args, kwargs);
    if (!a) return std::move(a).failure();
    auto sender = sender_of(opt.values[0], protocol::Sender::kServer);
    if (!sender) return std::move(sender).failure();
    py::Ref key_copy;
    auto key = arg_bytes_like("auth_key", (*a)[0], &key_copy);
    if (!key) return std::move(key).failure();
    py::Ref frame_copy;
    auto frame = arg_bytes_like("frame", (*a)[1], &frame_copy);
    if (!frame) return std::move(frame).failure();
    WipedScratch plain(protocol::open_buffer_size(frame->size()));
    protocol::Opened o;
    const EnvelopeStatus st = protocol::open_message(key->data(), key->size(), *sender,
                                                   frame->data(), frame->size(), plain.data(), &o);
    if (st != EnvelopeStatus::kOk) return envelope_failure(st);
    py::Ref body = py::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(plain.data() + o.body_offset), static_cast<Py_ssize_t>(o.body_len)));
    if (!body) return Failure::pending();
    return message_of(o.header, std::move(body));
  });
}

PyObject* message_register_type(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"_message_type", {"cls"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    PyObject* cls = (*a)[0];
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), &PyTuple_Type)) {
      return Failure::type(msg::kMessageTypeClass);
    }
    Py_INCREF(cls);  // kept for the life of the process, as the one before it
    g_message_type.store(cls, std::memory_order_release);
    return py::borrow(Py_None);
  });
}

PyObject* message_auth_key_id(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"_auth_key_id", {"auth_key"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    py::Ref key_copy;
    auto key = arg_bytes_like("auth_key", (*a)[0], &key_copy);
    if (!key) return std::move(key).failure();
    if (key->size() != protocol::kAuthKeySize) return envelope_failure(EnvelopeStatus::kBadKeyLength);
    return py::steal(PyLong_FromUnsignedLongLong(protocol::auth_key_id(key->data())));
  });
}

PyObject* message_read(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<5> kParams{"_read", {"data", "type", "offset", "methods", "strict"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    py::Ref copy;
    auto data = arg_bytes_like("data", (*a)[0], &copy);
    if (!data) return std::move(data).failure();
    auto type = arg_text("type", (*a)[1]);
    if (!type) return std::move(type).failure();
    auto offset = arg_u64("offset", (*a)[2]);
    if (!offset) return std::move(offset).failure();
    const int methods = PyObject_IsTrue((*a)[3]);
    const int strict = PyObject_IsTrue((*a)[4]);
    if (methods < 0 || strict < 0) return Failure::pending();
    const auto snap = codec::current_snapshot();
    codec::ReadType wanted;
    codec::Fault fault;
    if (!codec::resolve_read_type(*type, snap.schema.get(), wanted, fault)) return std::move(fault).failure();
    if (*offset > data->size()) return Failure::value(msg::kOffsetOutOfRange);
    std::size_t end = 0;
    const auto at = static_cast<std::size_t>(*offset);
    auto value = outcome(wanted.bare ? codec::deserialize_bare(*data, at, *type, &end, strict == 1, fault)
                                     : codec::deserialize_value(*data, at, wanted.value.kind, wanted.value.element,
                                                                methods == 1, &end, fault, strict == 1),
                         fault);
    if (!value) return std::move(value).failure();
    return py::steal(Py_BuildValue("(On)", value->get(), static_cast<Py_ssize_t>(end)));
  });
}

PyObject* message_unpack(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<5> kParams{"_unpack",
                                     {"msg_id", "seq_no", "body", "pending", "max_inflated"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    auto msg_id = arg_bits("msg_id", (*a)[0], 64);
    if (!msg_id) return std::move(msg_id).failure();
    auto seq_no = arg_bits("seq_no", (*a)[1], 32);
    if (!seq_no) return std::move(seq_no).failure();
    py::Ref body_copy;
    auto body = arg_bytes_like("body", (*a)[2], &body_copy);
    if (!body) return std::move(body).failure();
    PyObject* pending = (*a)[3];
    if (pending != Py_None && !py::is_dict(pending)) {
      return Failure::type(msg::kPendingNotDict);
    }
    auto limit = arg_u64("max_inflated", (*a)[4]);
    if (!limit) return std::move(limit).failure();
    return message::unpack_messages(static_cast<std::int64_t>(*msg_id),
                                  static_cast<std::int32_t>(*seq_no), *body,
                                  pending == Py_None ? nullptr : pending,
                                  static_cast<std::size_t>(*limit));
  });
}

PyObject* message_gzip(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"_gzip", {"body"}};
  return call_frame([&]() -> Result<py::Ref> {
    auto a = bind(kParams, args, kwargs);
    if (!a) return std::move(a).failure();
    py::Ref body_copy;
    auto body = arg_bytes_like("body", (*a)[0], &body_copy);
    if (!body) return std::move(body).failure();
    return message::gzip_packed(*body);
  });
}

}  // namespace velmora::module
