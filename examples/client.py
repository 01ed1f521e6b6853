"""A typed client sketch over velmora.ext: every function, checked by ``mypy --strict``.

It plays both ends of a key exchange offline (a real client would talk to a
server), seals a session key for storage, and finally swaps in a schema
converted from TL text. Run it with the build on PYTHONPATH:

    PYTHONPATH=build/release/python .venv/bin/python examples/client.py
"""

from __future__ import annotations

import hashlib
import os
import pathlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import velmora.ext as ext
from velmora import tlschema

if TYPE_CHECKING:
    from velmora.ext import _Decoded

HERE = pathlib.Path(__file__).resolve().parent


def as_object(decoded: _Decoded) -> dict[str, Any]:
    """Narrows a decoded value to one TL object, refusing lists and unknown identifiers."""
    if not isinstance(decoded, dict):
        raise ValueError(f"expected one object, got a vector of {len(decoded)}")
    if decoded["_"] == "unknownConstructor":
        raise ValueError(f"unknown constructor {decoded['cid']:08x}")
    return decoded


@dataclass(frozen=True)
class Handshake:
    nonce: bytes
    server_nonce: bytes
    new_nonce: bytes


def request_pq(nonce: bytes) -> bytes:
    return ext.serialize_method("req_pq_multi", {"nonce": nonce})


def server_answers_pq(request: bytes) -> bytes:
    # The server side of the first step; the method call itself is not a
    # constructor, so it decodes to the unknown-constructor form.
    unknown = ext.deserialize_constructor(request)
    assert isinstance(unknown, dict) and unknown["_"] == "unknownConstructor"
    nonce = ext.cut(request, 4, 16)
    return ext.serialize_constructor("resPQ", {
        "nonce": nonce, "server_nonce": os.urandom(16), "pq": (1724114033281923457).to_bytes(8, "big"),
        "server_public_key_fingerprints": [-4344800451088585951],
    })


def inner_data(answer: dict[str, Any], new_nonce: bytes) -> bytes:
    return ext.dumps({
        "_": "p_q_inner_data", "pq": answer["pq"], "p": (1229739323).to_bytes(4, "big"),
        "q": (1402015859).to_bytes(4, "big"), "nonce": answer["nonce"],
        "server_nonce": answer["server_nonce"], "new_nonce": new_nonce,
    })


def ige_key_iv(new_nonce: bytes, server_nonce: bytes) -> tuple[bytes, bytes]:
    a = hashlib.sha1(new_nonce + server_nonce).digest()
    b = hashlib.sha1(server_nonce + new_nonce).digest()
    c = hashlib.sha1(new_nonce + new_nonce).digest()
    return a + b[:12], b[12:] + c + new_nonce[:4]


def encrypt_padded(payload: bytes, key: bytes, iv: bytes) -> bytes:
    # SHA-1 of the payload, the payload, then random bytes to a multiple of 16.
    body = hashlib.sha1(payload).digest() + payload
    return ext.aes_ige_enc(ext.pack([body, os.urandom(-len(body) % 16)]), key, iv)


def decrypt_padded(sealed: bytes, key: bytes, iv: bytes) -> bytes:
    plain = ext.aes_ige_dec(sealed, key, iv)
    # Both directions also come as lists of ints, for code that wants them.
    assert ext.aes_ige_dec_raw(sealed, key, iv) == list(plain)
    assert bytes(ext.aes_ige_enc_raw(plain, key, iv)) == sealed
    return ext.cut(plain, 20, len(plain))


def seal_for_storage(secret: bytes, password_key: bytes) -> bytes:
    nonce = os.urandom(12)
    return nonce + ext.aes_gcm_encrypt(password_key, nonce, secret, b"velmora-session")


def open_from_storage(stored: bytes, password_key: bytes) -> bytes:
    return ext.aes_gcm_decrypt(password_key, ext.cut(stored, 0, 12), ext.cut(stored, 12, len(stored)),
                               b"velmora-session")


def main() -> None:
    summary = ext.schema_info()
    print(f"compiled-in schema: {summary['methods']} methods, {summary['constructors']} constructors")

    hs_nonce = os.urandom(16)
    answer = as_object(ext.loads(server_answers_pq(request_pq(hs_nonce))))
    assert answer["_"] == "resPQ" and answer["nonce"] == hs_nonce
    hs = Handshake(hs_nonce, answer["server_nonce"], os.urandom(32))

    key, iv = ige_key_iv(hs.new_nonce, hs.server_nonce)
    sealed = encrypt_padded(inner_data(answer, hs.new_nonce), key, iv)
    inner = as_object(ext.loads(decrypt_padded(sealed, key, iv)))
    assert inner["new_nonce"] == hs.new_nonce
    print(f"p_q_inner_data through AES-IGE: {len(sealed)} bytes,"
          f" processor-specific path: {ext.aes_ige_fast_path()}")

    storage_key = hashlib.sha256(b"correct horse battery staple").digest()
    stored = seal_for_storage(hs.new_nonce, storage_key)
    assert open_from_storage(stored, storage_key) == hs.new_nonce
    try:
        open_from_storage(stored[:-1] + bytes([stored[-1] ^ 1]), storage_key)
    except RuntimeError as exc:
        print(f"tampered storage refused: {exc}")
    try:
        ext.aes_gcm_encrypt(storage_key, bytes(11), b"", b"")
    except RuntimeError as exc:
        print(f"short nonce refused: {exc}")

    document, found = tlschema.convert_with_warnings((HERE / "small.tl").read_text())
    for warning in found:
        print(f"small.tl: {warning}")
    notes = ext.load_schema(document)
    print(f"converted schema: layer {notes['layer']}, {notes['methods']} methods")
    call = ext.serialize_method("invokeWithLayer", {"layer": notes["layer"], "query": {
        "_": "notes.get", "peer": {"_": "peerUser", "user_id": 42}, "limit": 10}})
    note = as_object(ext.loads(ext.serialize_constructor("note", {
        "id": 1, "author": {"_": "peerUser", "user_id": 42}, "title": "milk", "pinned": True})))
    print(f"invokeWithLayer(notes.get) is {len(call)} bytes; a note decodes to {note}")


if __name__ == "__main__":
    try:
        main()
    except ext.InternalFault as fault:
        # A BaseException, so no `except Exception` above swallowed it: a bug in
        # the module, not in the input. Report it and stop.
        raise SystemExit(f"velmora internal fault: {fault}") from fault
