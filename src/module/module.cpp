// The module entry point and its function table.
#include <atomic>
#include <iterator>

#include "module/call.hpp"
#include "module/functions.hpp"
#include "module/messages.hpp"

namespace velmora::module {
namespace {

struct FunctionRecord {
  const char* name;
  PyCFunction entry;
  int flags;
  const char* doc;  // the text signature alone, so __doc__ reads as None
};

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;
#ifdef VELMORA_FASTCALL
constexpr int kEncodeArgs = METH_FASTCALL | METH_KEYWORDS;
#define VELMORA_ENCODE_ENTRY(fn) VELMORA_ENTRY(fn##_fast)
#else
constexpr int kEncodeArgs = kArgs;
#define VELMORA_ENCODE_ENTRY(fn) VELMORA_ENTRY(fn)
#endif

#define VELMORA_ENTRY(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&(fn)))

const FunctionRecord kFunctions[] = {
    {"load_schema", VELMORA_ENTRY(load_schema), kArgs, "load_schema(schema_json)\n--\n\n"},
    {"schema_info", VELMORA_ENTRY(schema_info), METH_NOARGS, "schema_info()\n--\n\n"},
    {"serialize_method", VELMORA_ENCODE_ENTRY(serialize_method), kEncodeArgs,
     "serialize_method(method, args)\n--\n\n"},
    {"serialize_constructor", VELMORA_ENCODE_ENTRY(serialize_constructor), kEncodeArgs,
     "serialize_constructor(name, args)\n--\n\n"},
    {"deserialize_constructor", VELMORA_ENTRY(deserialize_constructor), kArgs,
     "deserialize_constructor(data)\n--\n\n"},
    {"dumps", VELMORA_ENCODE_ENTRY(dumps), kEncodeArgs, "dumps(obj)\n--\n\n"},
    {"loads", VELMORA_ENTRY(loads), kArgs, "loads(data)\n--\n\n"},
    {"aes_ige_enc", VELMORA_ENTRY(aes_ige_enc), kArgs, "aes_ige_enc(data, key, iv)\n--\n\n"},
    {"aes_ige_fast_path", VELMORA_ENTRY(aes_ige_fast_path), METH_NOARGS,
     "aes_ige_fast_path()\n--\n\n"},
    {"aes_ige_dec", VELMORA_ENTRY(aes_ige_dec), kArgs, "aes_ige_dec(data, key, iv)\n--\n\n"},
    {"aes_ige_enc_raw", VELMORA_ENTRY(aes_ige_enc_raw), kArgs,
     "aes_ige_enc_raw(data, key, iv)\n--\n\n"},
    {"aes_ige_dec_raw", VELMORA_ENTRY(aes_ige_dec_raw), kArgs,
     "aes_ige_dec_raw(data, key, iv)\n--\n\n"},
    {"aes_gcm_encrypt", VELMORA_ENTRY(aes_gcm_encrypt), kArgs,
     "aes_gcm_encrypt(key, nonce, plaintext, aad)\n--\n\n"},
    {"aes_gcm_decrypt", VELMORA_ENTRY(aes_gcm_decrypt), kArgs,
     "aes_gcm_decrypt(key, nonce, ciphertext, aad)\n--\n\n"},
    {"cut", VELMORA_ENTRY(cut), kArgs, "cut(data, offset, length)\n--\n\n"},
    {"pack", VELMORA_ENTRY(pack), kArgs, "pack(parts)\n--\n\n"},
};

// Set as module attributes but left out of __all__: the package's own. The
// encoders, encrypt and decrypt are the package's functions themselves, named
// as the package names them; the encoders' __module__ is "velmora", the
// message layer's the module's own.
struct PrivateRecord {
  const char* attribute;
  FunctionRecord function;
  bool package_module;
};
const PrivateRecord kPrivateFunctions[] = {
    {"_serialize_method",
     {"serialize_method", VELMORA_ENCODE_ENTRY(package_serialize_method), kEncodeArgs,
      "serialize_method(name, args, *, strict=True)\n--\n\n"},
     true},
    {"_serialize_constructor",
     {"serialize_constructor", VELMORA_ENCODE_ENTRY(package_serialize_constructor), kEncodeArgs,
      "serialize_constructor(name, args, *, strict=True)\n--\n\n"},
     true},
    {"_dumps",
     {"dumps", VELMORA_ENCODE_ENTRY(package_dumps), kEncodeArgs, "dumps(obj, *, strict=True)\n--\n\n"},
     true},
    {"_loads", {"loads", VELMORA_ENTRY(package_loads), kArgs, "loads(data, *, strict=True)\n--\n\n"}, true},
    {"_encode_json",
     {"_encode_json", VELMORA_ENTRY(encode_json), kArgs, "_encode_json(method, name, args)\n--\n\n"},
     true},
    {"_encrypt",
     {"encrypt", VELMORA_ENTRY(message_encrypt), kArgs,
      "encrypt(auth_key, salt, session_id, msg_id, seq_no, body, *, sender='client', "
      "padding=None)\n--\n\nThe frame of one message; see velmora.message."},
     false},
    {"_decrypt",
     {"decrypt", VELMORA_ENTRY(message_decrypt), kArgs,
      "decrypt(auth_key, frame, *, sender='server')\n--\n\nThe message in a frame, after every "
      "check; see velmora.message."},
     false},
    {"_message_type",
     {"_message_type", VELMORA_ENTRY(message_register_type), kArgs, "_message_type(cls)\n--\n\n"},
     false},
    {"_auth_key_id",
     {"_auth_key_id", VELMORA_ENTRY(message_auth_key_id), kArgs, "_auth_key_id(auth_key)\n--\n\n"},
     false},
    {"_read",
     {"_read", VELMORA_ENTRY(message_read), kArgs, "_read(data, type, offset, methods, strict)\n--\n\n"},
     false},
    {"_unpack",
     {"_unpack", VELMORA_ENTRY(message_unpack), kArgs,
      "_unpack(msg_id, seq_no, body, pending, max_inflated)\n--\n\n"},
     false},
    {"_gzip", {"_gzip", VELMORA_ENTRY(message_gzip), kArgs, "_gzip(body)\n--\n\n"}, false},
    // The key exchange's (fn_handshake.cpp); its state's type comes from prepare_handshake.
    {"_factorize", {"_factorize", VELMORA_ENTRY(handshake_factorize), kArgs, "_factorize(pq)\n--\n\n"}, false},
    {"_rsa_fingerprint",
     {"_rsa_fingerprint", VELMORA_ENTRY(handshake_rsa_fingerprint), kArgs,
      "_rsa_fingerprint(n, e)\n--\n\n"},
     false},
    {"_rsa_pad",
     {"_rsa_pad", VELMORA_ENTRY(handshake_rsa_pad), kArgs, "_rsa_pad(data, n, e, rand)\n--\n\n"},
     false},
    {"_rsa_pem", {"_rsa_pem", VELMORA_ENTRY(handshake_rsa_pem), kArgs, "_rsa_pem(pem)\n--\n\n"}, false},
    {"_dh_check",
     {"_dh_check", VELMORA_ENTRY(handshake_dh_check), kArgs, "_dh_check(dh_prime, g, g_a)\n--\n\n"},
     false},
};

// The function objects need PyMethodDef records that outlive them.
PyMethodDef g_defs[std::size(kFunctions) + std::size(kPrivateFunctions)];

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "ext",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> g_initialised{false};

int add_functions(PyObject* m) {
  py::Ref all = py::steal(PyList_New(0));
  if (!all) return -1;
  py::Ref modname = py::steal(PyModule_GetNameObject(m));
  if (!modname) return -1;
  static py::InternedText name_text("__name__");
  PyObject* const name_attr = name_text.get();
  if (!name_attr) return -1;
  std::size_t i = 0;
  for (const FunctionRecord& rec : kFunctions) {
    g_defs[i] = PyMethodDef{rec.name, rec.entry, rec.flags, rec.doc};
    py::Ref fn = py::steal(PyCFunction_NewEx(&g_defs[i], m, modname.get()));
    ++i;
    if (!fn) return -1;
    py::Ref name = py::steal(PyObject_GetAttr(fn.get(), name_attr));
    if (!name) return -1;
    if (PyList_Append(all.get(), name.get()) < 0) return -1;
    if (PyObject_SetAttr(m, name.get(), fn.get()) < 0) return -1;
  }
  py::Ref package = py::steal(PyUnicode_FromString("velmora"));
  if (!package) return -1;
  for (const PrivateRecord& rec : kPrivateFunctions) {
    const FunctionRecord& f = rec.function;
    g_defs[i] = PyMethodDef{f.name, f.entry, f.flags, f.doc};
    PyObject* owner = rec.package_module ? package.get() : modname.get();
    py::Ref fn = py::steal(PyCFunction_NewEx(&g_defs[i], m, owner));
    ++i;
    if (!fn || PyObject_SetAttrString(m, rec.attribute, fn.get()) < 0) return -1;
  }
  if (PyObject_SetAttrString(m, "__all__", all.get()) < 0) return -1;
  // Not in __all__: the class exists so that callers can name it in an
  // except clause.
  PyObject* fault = internal_fault_type();
  if (!fault) return -1;
  return PyObject_SetAttrString(m, "InternalFault", fault);
}

}  // namespace
}  // namespace velmora::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_ext() {
  using namespace velmora::module;
  if (g_initialised.exchange(true)) {
    return refuse_import(msg::kInitialisedTwice);
  }
  velmora::py::Ref m = velmora::py::steal(PyModule_Create2(&g_module, PYTHON_ABI_VERSION));
  if (!m) {
    g_initialised = false;
    return nullptr;
  }
#ifdef Py_GIL_DISABLED
  // The free-threaded interpreter runs the module without the GIL: each piece
  // of its shared state says what guards it there (src/py/shared.hpp). The
  // single-phase module's form of the Py_mod_gil slot.
  if (PyUnstable_Module_SetGIL(m.get(), Py_MOD_GIL_NOT_USED) < 0) {
    g_initialised = false;
    return nullptr;
  }
#endif
  install_default_schema();
  if (add_functions(m.get()) < 0 || make_package_errors(m.get()) < 0 || prepare_crypto(m.get()) < 0 ||
      prepare_ciphers(m.get()) < 0 ||
      prepare_transport(m.get()) < 0 ||
      prepare_handshake(m.get()) < 0 ||
      prepare_session(m.get()) < 0) {
    g_initialised = false;
    return nullptr;
  }
  return m.release();
}
