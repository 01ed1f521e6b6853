// functions.hpp: the entries of the module's function table.
//
// Each takes (module, positional tuple, keyword dict or null) and returns a
// new reference or null with an exception set; the no-argument ones take
// (module, null).
#pragma once

#include "py/py.hpp"

namespace velmora::module {

#define VELMORA_FN(name) PyObject* name(PyObject* self, PyObject* args, PyObject* kwargs)
#define VELMORA_FN0(name) PyObject* name(PyObject* self, PyObject* unused)

VELMORA_FN(load_schema);
VELMORA_FN0(schema_info);
VELMORA_FN(serialize_method);
VELMORA_FN(serialize_constructor);
VELMORA_FN(deserialize_constructor);
VELMORA_FN(dumps);
VELMORA_FN(loads);
VELMORA_FN(aes_ige_enc);
VELMORA_FN0(aes_ige_fast_path);
VELMORA_FN(aes_ige_dec);
VELMORA_FN(aes_ige_enc_raw);
VELMORA_FN(aes_ige_dec_raw);
VELMORA_FN(aes_gcm_encrypt);
VELMORA_FN(aes_gcm_decrypt);
VELMORA_FN(cut);
VELMORA_FN(pack);

// The message layer's private entries (fn_message.cpp): velmora.message's
// encrypt(auth_key, salt, session_id, msg_id, seq_no, body, *, sender,
// padding) and decrypt(auth_key, frame, *, sender) themselves; and, for the
// package's wrappers, _message_type(cls) (the class decrypt returns),
// _auth_key_id(auth_key), _read(data, type, offset, methods), _unpack(msg_id,
// seq_no, body, pending, max_inflated) and _gzip(body).
VELMORA_FN(message_encrypt);
VELMORA_FN(message_decrypt);
VELMORA_FN(message_register_type);
VELMORA_FN(message_auth_key_id);
VELMORA_FN(message_read);
VELMORA_FN(message_unpack);
VELMORA_FN(message_gzip);

// Private entries (underscore names, not in __all__): the package's own
// serialize_method(name, args, *, strict=True), serialize_constructor(name,
// args, *, strict=True) and dumps(obj, *, strict=True); and the command
// line's strict encoding of JSON input, _encode_json(method, name, args),
// where hex text stands for bytes.
VELMORA_FN(package_serialize_method);
VELMORA_FN(package_serialize_constructor);
VELMORA_FN(package_dumps);
VELMORA_FN(package_loads);
VELMORA_FN(encode_json);

// From the 3.10 floor on, the encoders are also entered by the vectorcall
// convention (METH_FASTCALL | METH_KEYWORDS), which makes no argument tuple:
// (module, arguments, their count, keyword names or null).
#if VELMORA_API_LEVEL >= 0x030A0000
#define VELMORA_FASTCALL 1
#define VELMORA_FAST_FN(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
VELMORA_FAST_FN(serialize_method_fast);
VELMORA_FAST_FN(serialize_constructor_fast);
VELMORA_FAST_FN(dumps_fast);
VELMORA_FAST_FN(package_serialize_method_fast);
VELMORA_FAST_FN(package_serialize_constructor_fast);
VELMORA_FAST_FN(package_dumps_fast);
#endif

// Chooses the AES-GCM backend and records its name in the module's private
// attribute _gcm_backend. Returns -1 with an error set on failure.
int prepare_crypto(PyObject* module);

// velmora.crypto's native entries (the Ctr type, CBC, the package's IGE and
// GCM) as private attributes. Returns -1 with an error set on failure.
int prepare_ciphers(PyObject* module);

// velmora.transport's codec types as private attributes (_Abridged, ...).
// Returns -1 with an error set on failure.
int prepare_transport(PyObject* module);
// Makes velmora.session's Session type and sets it as the module's private
// attribute _Session (with _received_type, which registers the named tuple
// of its results). Returns -1 with an error set on failure.
int prepare_session(PyObject* module);

// Installs the compiled-in schema if the store holds none. Never fails: a
// document that does not parse leaves the store empty.
void install_default_schema() noexcept;

// The key exchange's private entries (fn_handshake.cpp): _factorize(pq),
// _rsa_fingerprint(n, e), _rsa_pad(data, n, e, rand), _rsa_pem(pem) and
// _dh_check(dh_prime, g, g_a); and the type of its state, set as _Handshake
// by prepare_handshake (-1 with an error set on failure).
VELMORA_FN(handshake_factorize);
VELMORA_FN(handshake_rsa_fingerprint);
VELMORA_FN(handshake_rsa_pad);
VELMORA_FN(handshake_rsa_pem);
VELMORA_FN(handshake_dh_check);
int prepare_handshake(PyObject* module);

}  // namespace velmora::module
