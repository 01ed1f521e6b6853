// velmora.session.Session: the type, its slots and its method table. The
// work is the message layer's (src/message/session.*); the entries here
// convert arguments, read the clock and run in the call frame.
#include <ctime>
#include <iterator>
#include <memory>
#include <vector>

#include "crypto/random.hpp"
#include "message/session.hpp"
#include "module/call.hpp"
#include "protocol/messages.hpp"
#include "module/functions.hpp"
#include "py/native_object.hpp"

namespace velmora::module {
namespace {

using message::SessionBox;

// A Session is a native object that also holds its clock, a Python callable
// (null for the default, read natively): the one Python reference, so the
// type takes part in garbage collection.
struct SessionObject {
  py::NativeObject<SessionBox> base;
  PyObject* clock;
};

SessionObject* as_session(PyObject* self) noexcept { return reinterpret_cast<SessionObject*>(self); }

// Fixed texts: callers match on them.
constexpr const char* kClockValue = "clock() must return a number";

// Seconds since the epoch: the clock's, or time.time()'s own source. Called
// before the state's lock is taken, since a Python clock may run any code.
Result<double> now_of(PyObject* self) {
  PyObject* clock = as_session(self)->clock;
  if (clock == nullptr) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  py::Ref v = py::steal(PyObject_CallObject(clock, nullptr));
  if (!v) return Failure::pending();
  const double t = PyFloat_AsDouble(v.get());
  if (t == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return Failure::type(kClockValue);
  }
  return t;
}

Result<std::int64_t> signed_arg(const char* name, PyObject* o, std::int64_t fallback) {
  if (o == nullptr) return fallback;
  auto v = arg_bits(name, o, 64);
  if (!v) return std::move(v).failure();
  return static_cast<std::int64_t>(*v);
}

Result<std::int64_t> session_id_arg(PyObject* o) {
  if (o != nullptr && o != Py_None) return signed_arg("session_id", o, 0);
  std::uint64_t id = 0;
  if (!crypto::random_bytes(reinterpret_cast<std::uint8_t*>(&id), sizeof(id))) {
    return Failure::runtime(protocol::msg::kRandomFailure);
  }
  return static_cast<std::int64_t>(id);
}

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"Session", {"auth_key"}};
  return call_frame([&]() -> Result<py::Ref> {
    Options<4> opt{{"session_id", "salt", "time_offset", "clock"}};
    auto a = bind_options(kParams, &opt, args, kwargs);
    if (!a) return std::move(a).failure();
    py::Ref key_copy;
    auto key = arg_bytes_like("auth_key", (*a)[0], &key_copy);
    if (!key) return std::move(key).failure();
    if (key->size() != protocol::kAuthKeySize) return Failure::value(protocol::msg::kAuthKeyLength);
    auto sid = session_id_arg(opt.values[0]);
    if (!sid) return std::move(sid).failure();
    auto salt = signed_arg("salt", opt.values[1], 0);
    if (!salt) return std::move(salt).failure();
    auto offset = signed_arg("time_offset", opt.values[2], 0);
    if (!offset) return std::move(offset).failure();
    PyObject* clock = opt.values[3] == Py_None ? nullptr : opt.values[3];
    if (clock != nullptr && !PyCallable_Check(clock)) return Failure::type("clock must be callable");
    auto box = std::make_unique<SessionBox>(key->data(), *sid, *salt, *offset);
    auto self = py::adopt<SessionBox>(type, std::move(box));
    if (!self) return self;
    Py_XINCREF(clock);
    as_session(self->get())->clock = clock;
    return self;
  });
}

int session_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_session(self)->clock);
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));  // a heap type's instances hold it
  return 0;
}

int session_clear(PyObject* self) {
  Py_CLEAR(as_session(self)->clock);
  return 0;
}

void session_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  session_clear(self);
  py::native_dealloc<SessionBox>(self);
}

SessionBox& box(PyObject* self) { return py::state_of<SessionBox>(self); }

PyObject* encrypt(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Params<1> kParams{"encrypt", {"body"}};
  return call_frame([&]() -> Result<py::Ref> {
    Options<1> opt{{"content_related"}};
    auto a = bind_options(kParams, &opt, args, kwargs);
    if (!a) return std::move(a).failure();
    py::Ref copy;
    auto body = arg_bytes_like("body", (*a)[0], &copy);
    if (!body) return std::move(body).failure();
    const int content = opt.values[0] ? PyObject_IsTrue(opt.values[0]) : 1;
    if (content < 0) return Failure::pending();
    auto now = now_of(self);
    if (!now) return std::move(now).failure();
    return message::session_encrypt(box(self), *now, *body, content == 1);
  });
}

#define VELMORA_ENTRY(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(fn)))

#ifdef VELMORA_FASTCALL
// One body, content-related: the call a client makes for every request.
PyObject* encrypt_body(PyObject* self, PyObject* arg) {
  return call_frame([&]() -> Result<py::Ref> {
    py::Ref copy;
    auto body = arg_bytes_like("body", arg, &copy);
    if (!body) return std::move(body).failure();
    auto now = now_of(self);
    if (!now) return std::move(now).failure();
    return message::session_encrypt(box(self), *now, *body, true);
  });
}

// By the vectorcall convention: no argument tuple for the common call.
PyObject* encrypt_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 1 && kwnames == nullptr) return encrypt_body(self, args[0]);
  return call_with_tuple(encrypt, self, args, nargs, kwnames);
}
constexpr int kEncryptFlags = METH_FASTCALL | METH_KEYWORDS;
#define VELMORA_ENCRYPT_ENTRY VELMORA_ENTRY(encrypt_fast)
#else
constexpr int kEncryptFlags = METH_VARARGS | METH_KEYWORDS;
#define VELMORA_ENCRYPT_ENTRY VELMORA_ENTRY(encrypt)
#endif

PyObject* encrypt_many(PyObject* self, PyObject* bodies) {
  return call_frame([&]() -> Result<py::Ref> {
    py::Ref items = py::steal(PySequence_Fast(bodies, "bodies must be a list or tuple"));
    if (!items) return Failure::pending();
    const Py_ssize_t n = PySequence_Size(items.get());
    if (n < 0) return Failure::pending();
    std::vector<py::Ref> keep(static_cast<std::size_t>(n));  // the copies of bytearrays, memoryviews
    std::vector<py::ByteView> views;
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::Ref item = py::steal(PySequence_GetItem(items.get(), i));
      if (!item) return Failure::pending();
      auto v = arg_bytes_like("bodies", item.get(), &keep[static_cast<std::size_t>(i)]);
      if (!v) return std::move(v).failure();
      views.push_back(*v);
      if (!keep[static_cast<std::size_t>(i)]) keep[static_cast<std::size_t>(i)] = std::move(item);
    }
    auto now = now_of(self);
    if (!now) return std::move(now).failure();
    return message::session_encrypt_many(box(self), *now, views);
  });
}

PyObject* decrypt(PyObject* self, PyObject* frame) {
  return call_frame([&]() -> Result<py::Ref> {
    py::Ref copy;
    auto view = arg_bytes_like("frame", frame, &copy);
    if (!view) return std::move(view).failure();
    auto now = now_of(self);
    if (!now) return std::move(now).failure();
    return message::session_decrypt(box(self), *now, *view);
  });
}

PyObject* acks(PyObject* self, PyObject*) {
  return call_frame([&]() -> Result<py::Ref> { return message::session_acks(box(self)); });
}

PyObject* pending(PyObject* self, PyObject*) {
  return call_frame([&]() -> Result<py::Ref> { return message::session_pending(box(self)); });
}

PyObject* get_session_id(PyObject* self, void*) {
  return PyLong_FromLongLong(box(self).state.session_id());
}

PyObject* get_time_offset(PyObject* self, void*) {
  std::lock_guard<std::mutex> hold(box(self).lock);
  return PyLong_FromLongLong(box(self).state.time_offset());
}

PyObject* get_salt(PyObject* self, void*) {
  return call_frame([&]() -> Result<py::Ref> {
    auto now = now_of(self);
    if (!now) return std::move(now).failure();
    std::int64_t salt = 0;
    {
      std::lock_guard<std::mutex> hold(box(self).lock);
      salt = box(self).state.salt(*now);
    }
    return py::steal(PyLong_FromLongLong(salt));
  });
}

PyObject* get_future_salts(PyObject* self, void*) {
  return call_frame([&]() -> Result<py::Ref> { return message::session_future_salts(box(self)); });
}

PyObject* received_type(PyObject*, PyObject* cls) {
  return call_frame([&]() -> Result<py::Ref> {
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), &PyTuple_Type)) {
      return Failure::type("_received_type() takes a subclass of tuple");
    }
    message::set_received_type(cls);
    return py::borrow(Py_None);
  });
}

PyMethodDef g_methods[] = {
    {"encrypt", VELMORA_ENCRYPT_ENTRY, kEncryptFlags,
     "encrypt($self, body, *, content_related=True)\n--\n\n(msg_id, frame) of one message."},
    {"encrypt_many", encrypt_many, METH_O,
     "encrypt_many($self, bodies)\n--\n\n(msg_ids, frame) of a msg_container holding the bodies."},
    {"decrypt", decrypt, METH_O, "decrypt($self, frame)\n--\n\nThe messages in a frame, after every check."},
    {"acks", acks, METH_NOARGS, "acks($self)\n--\n\nThe body of one msgs_ack with the ids owed, or None."},
    {"pending", pending, METH_NOARGS,
     "pending($self)\n--\n\n{msg_id: acknowledged} of the requests not yet answered."},
    kRefuseReduce,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"session_id", get_session_id, nullptr, "The session's id.", nullptr},
    {"salt", get_salt, nullptr, "The salt the next message is sent with.", nullptr},
    {"time_offset", get_time_offset, nullptr, "Seconds added to the clock: the server's time.", nullptr},
    {"future_salts", get_future_salts, nullptr,
     "The salts announced for later: (valid_since, valid_until, salt).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_received_def = {"_received_type", received_type, METH_O, "_received_type(cls)\n--\n\n"};

}  // namespace

int prepare_session(PyObject* m) {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&session_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(&session_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(&session_clear)},
      {Py_tp_new, reinterpret_cast<void*>(&session_new)},
      {Py_tp_methods, g_methods},
      {Py_tp_getset, g_getset},
      {Py_tp_doc, const_cast<char*>(
                      "Session(auth_key, *, session_id=None, salt=0, time_offset=0, clock=None)\n"
                      "--\n\nOne client session on an auth key: ids, salts and every check. clock "
                      "is time.time's own clock when None.")},
      {0, nullptr},
  };
  PyType_Spec type_spec{"velmora.session.Session", static_cast<int>(sizeof(SessionObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  py::Ref type = py::steal(PyType_FromSpec(&type_spec));
  if (!type || PyObject_SetAttrString(m, "_Session", type.get()) < 0) return -1;
  if (PyModule_AddIntConstant(m, "_replay_window", static_cast<long>(protocol::kReplayWindow)) < 0) {
    return -1;
  }
  py::Ref modname = py::steal(PyModule_GetNameObject(m));
  if (!modname) return -1;
  py::Ref fn = py::steal(PyCFunction_NewEx(&g_received_def, m, modname.get()));
  return fn ? PyObject_SetAttrString(m, "_received_type", fn.get()) : -1;
}

}  // namespace velmora::module
