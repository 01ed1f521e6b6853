"""Type stubs for the native module velmora.ext.

The underscore type aliases exist for type checking only: import them under
``typing.TYPE_CHECKING``, never at run time. The underscore functions are the
private entries behind ``velmora.message`` and ``velmora.read``.
"""

from typing import Any, Optional, Sequence, SupportsIndex, TypedDict, Union

__all__ = [
    "load_schema",
    "schema_info",
    "serialize_method",
    "serialize_constructor",
    "deserialize_constructor",
    "dumps",
    "loads",
    "aes_ige_enc",
    "aes_ige_fast_path",
    "aes_ige_dec",
    "aes_ige_enc_raw",
    "aes_ige_dec_raw",
    "aes_gcm_encrypt",
    "aes_gcm_decrypt",
    "cut",
    "pack",
]

class InternalFault(BaseException):
    """An internal consistency check failed; no input of the caller's leads here.
    Derives from BaseException, so ``except Exception`` lets it pass."""

class _SchemaSummary(TypedDict):
    layer: int
    methods: int
    constructors: int

# A TL object: "_" holds the constructor name (or, nested, a method's), the
# other keys the fields. Decoding an identifier the schema does not know gives
# {"_": "unknownConstructor", "cid": int, "raw": hex str}.
_TLObject = dict[str, Any]
# What one object read yields: an object, or a vector of such reads.
_Decoded = Union[_TLObject, list["_Decoded"]]

# Schemas. A document is JSON text; both return the summary of the schema now installed.
def load_schema(schema_json: str) -> _SchemaSummary: ...
def schema_info() -> _SchemaSummary: ...

# TL serialization. Bad values raise ValueError; no installed schema, RuntimeError.
def serialize_method(method: str, args: _TLObject) -> bytes: ...
def serialize_constructor(name: str, args: _TLObject) -> bytes: ...
def dumps(obj: Union[bytes, _TLObject]) -> bytes: ...

# The package's encoding (velmora.dumps and the others), not in __all__: strict by
# default. _encode_json: strict, with hex text for bytes (the command line's JSON).
def _serialize_method(name: str, args: _TLObject, *, strict: bool = True) -> bytes: ...
def _serialize_constructor(name: str, args: _TLObject, *, strict: bool = True) -> bytes: ...
def _dumps(obj: Union[bytes, _TLObject], *, strict: bool = True) -> bytes: ...
def _encode_json(method: SupportsIndex, name: str, args: _TLObject) -> bytes: ...

# TL deserialization; bytes after the first object are ignored.
def deserialize_constructor(data: bytes) -> _Decoded: ...
def loads(data: bytes) -> _Decoded: ...

# AES-256-IGE: data a multiple of 16 bytes, key 32 bytes, iv 32 bytes (c0 then p0).
def aes_ige_enc(data: bytes, key: bytes, iv: bytes) -> bytes: ...
def aes_ige_fast_path() -> bool: ...
def aes_ige_dec(data: bytes, key: bytes, iv: bytes) -> bytes: ...
def aes_ige_enc_raw(data: bytes, key: bytes, iv: bytes) -> list[int]: ...
def aes_ige_dec_raw(data: bytes, key: bytes, iv: bytes) -> list[int]: ...

# AES-256-GCM: key 32 bytes, nonce 12 bytes; sealed = ciphertext followed by the 16-byte tag.
# Every failure, a bad key or nonce length included, is a RuntimeError.
def aes_gcm_encrypt(key: bytes, nonce: bytes, plaintext: bytes, aad: bytes) -> bytes: ...
def aes_gcm_decrypt(key: bytes, nonce: bytes, ciphertext: bytes, aad: bytes) -> bytes: ...

# Byte helpers. A str is never taken as a sequence of bytes.
def cut(data: bytes, offset: SupportsIndex, length: SupportsIndex) -> bytes: ...
def pack(parts: Sequence[Sequence[SupportsIndex]]) -> bytes: ...

# The message layer's private entries; velmora.message and velmora.read are their face.
class _SecurityError(ValueError): ...

_BytesLike = Union[bytes, bytearray, memoryview]

def _encrypt(auth_key: bytes, salt: int, session_id: int, msg_id: int, seq_no: int, body: _BytesLike, *,
             sender: str = "client", padding: Union[bytes, int, None] = None) -> bytes: ...
# A velmora.message.Message once that module has registered the class.
def _decrypt(auth_key: bytes, frame: _BytesLike, *, sender: str = "server") -> tuple[int, int, int, int, bytes]: ...
def _message_type(cls: type) -> None: ...
def _auth_key_id(auth_key: bytes) -> int: ...
def _read(data: bytes, type: str, offset: SupportsIndex, methods: object) -> tuple[Any, int]: ...
def _unpack(msg_id: int, seq_no: int, body: bytes, pending: Optional[dict[int, str]],
            max_inflated: SupportsIndex) -> list[tuple[int, int, Any]]: ...
def _gzip(body: bytes) -> bytes: ...
