// velmora.transport's native types: Abridged, Intermediate,
// PaddedIntermediate, Full and Obfuscated, each owning one codec state
// (message/transport_codec.hpp). Set as private module attributes (_Abridged,
// ...) that the package re-exports.
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "message/transport_codec.hpp"
#include "module/call.hpp"
#include "module/functions.hpp"
#include "module/messages.hpp"
#include "py/native_object.hpp"

namespace velmora::module {
namespace {

using message::CodecState;
using protocol::Framing;

// The types, made once per process: [Framing] for the plain codecs, then Obfuscated.
PyObject* g_types[5] = {};
constexpr std::size_t kObfuscatedType = 4;

// Binds P positional parameters, given by position, and the keyword-only
// options kw: out[P + i] is null for an option not given.
template <std::size_t P, std::size_t K>
Status bind_keywords(const char* fn, const std::array<const char*, K>& kw, PyObject* args,
                     PyObject* kwargs, std::array<PyObject*, P + K>* out) {
  out->fill(nullptr);
  const Py_ssize_t given = args ? py::tuple_size(args) : 0;
  if (given != static_cast<Py_ssize_t>(P)) {
    return Failure::type(std::string(fn) + "() takes " + std::to_string(P) +
                         " positional arguments but " + std::to_string(given) + " were given");
  }
  for (std::size_t i = 0; i < P; ++i) (*out)[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
    std::size_t hit = K;
    for (std::size_t i = 0; i < K && py::is_str(key); ++i) {
      if (PyUnicode_CompareWithASCIIString(key, kw[i]) == 0) hit = i;
    }
    if (hit == K) {
      return Failure::type(std::string(fn) + "() got an unexpected keyword argument '" +
                           py::str_utf8(key) + "'");
    }
    (*out)[P + hit] = value;
  }
  return Status::success();
}

Result<std::size_t> max_packet_of(PyObject* o) {
  if (o == nullptr) return protocol::kDefaultMaxPacket;
  auto n = arg_u64("max_packet", o);
  if (!n) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();  // out of range like any other: one text for it
      return Failure::value(msg::kMaxPacketRange);
    }
    return std::move(n).failure();
  }
  if (*n < 4 || *n > protocol::kMaxPacketCeiling) return Failure::value(msg::kMaxPacketRange);
  return static_cast<std::size_t>(*n);
}

Result<std::optional<std::int16_t>> dc_id_of(PyObject* o) {
  if (o == nullptr || o == Py_None) return std::optional<std::int16_t>();
  if (!py::is_int(o)) return Failure::type(msg::kDcIdRange);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return Failure::pending();
  if (overflow != 0 || v < -32768 || v > 32767) return Failure::value(msg::kDcIdRange);
  return std::optional<std::int16_t>(static_cast<std::int16_t>(v));
}

// A bytes-like option that may be None (or not given): an empty view.
Result<ByteView> optional_bytes(const char* param, PyObject* o, py::Ref* keep) {
  if (o == nullptr || o == Py_None) return ByteView();
  return arg_bytes_like(param, o, keep);
}

Result<py::Ref> adopt_codec(PyObject* type, std::unique_ptr<protocol::Transport> t) {
  auto s = std::make_unique<CodecState>();
  s->codec = std::move(t);
  return py::adopt<CodecState>(reinterpret_cast<PyTypeObject*>(type), std::move(s));
}

template <Framing F>
PyObject* codec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<PyObject*, 1> a;
    constexpr const char* name = F == Framing::kAbridged         ? "Abridged"
                                 : F == Framing::kIntermediate     ? "Intermediate"
                                 : F == Framing::kPaddedIntermediate ? "PaddedIntermediate"
                                                                   : "Full";
    if (Status s = bind_keywords<0, 1>(name, {"max_packet"}, args, kwargs, &a); !s) {
      return std::move(s).failure();
    }
    auto max = max_packet_of(a[0]);
    if (!max) return std::move(max).failure();
    return adopt_codec(reinterpret_cast<PyObject*>(type), std::make_unique<protocol::Transport>(F, *max));
  });
}

bool is_codec(PyObject* o) noexcept {
  for (std::size_t i = 0; i < kObfuscatedType; ++i) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(o)) == g_types[i]) return true;
  }
  return false;
}

PyObject* obfuscated_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<PyObject*, 4> a;
    if (Status s = bind_keywords<1, 3>("Obfuscated", {"dc_id", "secret", "_header"}, args, kwargs, &a); !s) {
      return std::move(s).failure();
    }
    if (!is_codec(a[0])) return Failure::type(msg::kNotACodec);
    auto dc = dc_id_of(a[1]);
    if (!dc) return std::move(dc).failure();
    py::Ref keep_secret, keep_header;
    auto secret = optional_bytes("secret", a[2], &keep_secret);
    if (!secret) return std::move(secret).failure();
    auto header = optional_bytes("_header", a[3], &keep_header);
    if (!header) return std::move(header).failure();
    if (a[3] != nullptr && header->size() != protocol::kObfuscatedHeader) {
      return message::transport_failure({protocol::TransportStatus::kBadHeaderLength});
    }
    const protocol::Transport& inner = *py::state_of<CodecState>(a[0]).codec;
    auto t = std::make_unique<protocol::Transport>(inner.framing(), inner.max_packet());
    const bool has_secret = a[2] != nullptr && a[2] != Py_None;
    const protocol::Outcome o = t->obfuscate(a[3] ? header->data() : nullptr, *dc,
                                             has_secret ? secret->data() : nullptr, secret->size());
    if (!o.ok()) return message::transport_failure(o);
    return adopt_codec(reinterpret_cast<PyObject*>(type), std::move(t));
  });
}

PyObject* obfuscated_accept(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> Result<py::Ref> {
    std::array<PyObject*, 3> a;
    if (Status s = bind_keywords<1, 2>("accept", {"secret", "max_packet"}, args, kwargs, &a); !s) {
      return std::move(s).failure();
    }
    py::Ref keep_header, keep_secret;
    auto header = arg_bytes_like("header", a[0], &keep_header);
    if (!header) return std::move(header).failure();
    auto secret = optional_bytes("secret", a[1], &keep_secret);
    if (!secret) return std::move(secret).failure();
    auto max = max_packet_of(a[2]);
    if (!max) return std::move(max).failure();
    std::unique_ptr<protocol::Transport> t;
    std::int16_t dc = 0;
    const bool has_secret = a[1] != nullptr && a[1] != Py_None;
    const protocol::Outcome o = protocol::Transport::accept(
        header->data(), header->size(), has_secret ? secret->data() : nullptr, secret->size(), *max, &t, &dc);
    if (!o.ok()) return message::transport_failure(o);
    const char* kind = message::framing_name(t->framing());
    auto codec = adopt_codec(g_types[kObfuscatedType], std::move(t));
    if (!codec) return codec;
    return py::steal(Py_BuildValue("(siO)", kind, static_cast<int>(dc), codec->get()));
  });
}

PyObject* codec_start(PyObject* self, PyObject*) {
  return call_frame([&] { return message::codec_start(py::state_of<CodecState>(self)); });
}

PyObject* codec_pack(PyObject* self, PyObject* payload) {
  return call_frame([&]() -> Result<py::Ref> {
    py::Ref keep;
    auto v = arg_bytes_like("payload", payload, &keep);
    if (!v) return std::move(v).failure();
    return message::codec_pack(py::state_of<CodecState>(self), *v);
  });
}

// The server's error code raises TransportError with .packets, the list of
// the packets ahead of it in the same bytes.
PyObject* codec_feed(PyObject* self, PyObject* data) {
  py::Ref before;
  PyObject* out = call_frame([&]() -> Result<py::Ref> {
    py::Ref keep;
    auto v = arg_bytes_like("data", data, &keep);
    if (!v) return std::move(v).failure();
    return message::codec_feed(py::state_of<CodecState>(self), *v, &before);
  });
  if (out == nullptr && before) {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && PyObject_SetAttrString(value, "packets", before.get()) < 0) {
      // The exception keeps its code without the packets; out of memory wins.
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      return nullptr;
    }
    PyErr_Restore(type, value, tb);
  }
  return out;
}

PyObject* codec_max_packet(PyObject* self, void*) {
  return PyLong_FromSize_t(py::state_of<CodecState>(self).codec->max_packet());
}

PyObject* codec_kind(PyObject* self, void*) {
  return PyUnicode_FromString(message::framing_name(py::state_of<CodecState>(self).codec->framing()));
}

#define VELMORA_ENTRY(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(fn)))

PyMethodDef g_methods[] = {
    {"start", codec_start, METH_NOARGS, "start($self)\n--\n\nWhat a client sends first on a new connection."},
    {"pack", codec_pack, METH_O, "pack($self, payload, /)\n--\n\nOne packet framed (and enciphered)."},
    {"feed", codec_feed, METH_O,
     "feed($self, data, /)\n--\n\nThe packets complete in the bytes received so far; the partial rest is kept."},
    kRefuseReduce,
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_obfuscated_methods[] = {
    g_methods[0], g_methods[1], g_methods[2], kRefuseReduce,
    {"accept", VELMORA_ENTRY(obfuscated_accept), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "accept(header, /, *, secret=None, max_packet=16777216)\n--\n\nThe server's side of a client's "
     "64-byte header: (kind, dc_id, Obfuscated)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"max_packet", codec_max_packet, nullptr, "The longest packet read or written.", nullptr},
    {"kind", codec_kind, nullptr, "The framing's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

struct TypeRecord {
  const char* name;
  newfunc tp_new;
  PyMethodDef* methods;
  const char* doc;
};

const TypeRecord kTypes[] = {
    {"velmora.transport.Abridged", codec_new<Framing::kAbridged>, g_methods,
     "Abridged(*, max_packet=16777216)\n--\n\nThe abridged framing: the length in 4-byte words."},
    {"velmora.transport.Intermediate", codec_new<Framing::kIntermediate>, g_methods,
     "Intermediate(*, max_packet=16777216)\n--\n\nThe intermediate framing: an int32 length."},
    {"velmora.transport.PaddedIntermediate", codec_new<Framing::kPaddedIntermediate>, g_methods,
     "PaddedIntermediate(*, max_packet=16777216)\n--\n\nIntermediate with 0-15 random bytes after "
     "each packet."},
    {"velmora.transport.Full", codec_new<Framing::kFull>, g_methods,
     "Full(*, max_packet=16777216)\n--\n\nLength, sequence number, packet, CRC32."},
    {"velmora.transport.Obfuscated", obfuscated_new, g_obfuscated_methods,
     "Obfuscated(codec, /, *, dc_id=None, secret=None, _header=None)\n--\n\nA codec inside the obfuscated "
     "transport's AES-256-CTR streams."},
};
const char* const kAttributes[] = {"_Abridged", "_Intermediate", "_PaddedIntermediate", "_Full",
                                   "_Obfuscated"};

}  // namespace

int prepare_transport(PyObject* m) {
  for (std::size_t i = 0; i < std::size(kTypes); ++i) {
    if (g_types[i] == nullptr) {
      PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(kTypes[i].tp_new)},
                             {Py_tp_methods, kTypes[i].methods},
                             {Py_tp_getset, g_getset},
                             {Py_tp_doc, const_cast<char*>(kTypes[i].doc)},
                             {0, nullptr}};
      g_types[i] = py::make_native_type<CodecState>(kTypes[i].name, slots);
      if (g_types[i] == nullptr) return -1;
    }
    if (PyObject_SetAttrString(m, kAttributes[i], g_types[i]) < 0) return -1;
  }
  return 0;
}

}  // namespace velmora::module
