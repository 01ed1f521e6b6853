"""Every cipher velmora has, with one face: bytes-like arguments (``bytes``,
``bytearray``, ``memoryview``), ``(data, key, iv)`` for the block modes.

- ``Ctr(key, iv)``: an AES-256-CTR stream (32-byte key, 16-byte IV, the
  counter big-endian over all 128 bits). ``update(data)`` goes on exactly
  where the last call stopped, for any length. The key schedule lives in
  the object, is wiped when it is freed, and is never shared; copying and
  pickling are refused. One ``Ctr`` used by several threads at once is
  serialised by a lock of its own.
- ``cbc_encrypt(data, key, iv)``, ``cbc_decrypt(data, key, iv)``:
  AES-256-CBC without padding (data a multiple of 16, IV 16 bytes).
- ``ige_encrypt(data, key, iv)``, ``ige_decrypt(data, key, iv)``: the
  module's AES-256-IGE (IV 32 bytes).
- ``gcm_encrypt(key, nonce, data, aad=b"")``, ``gcm_decrypt(...)``: the
  module's AES-256-GCM (the tag follows the ciphertext).

Texts and classes are those of ``velmora.ext``: ValueError for a bad IGE or
CBC length or a CTR key or IV, RuntimeError for GCM. A call on 64 KiB or
more releases the GIL, so that threads decipher in parallel.
"""

from typing import Union

from . import ext as _ext

__all__ = ["Ctr", "cbc_decrypt", "cbc_encrypt", "gcm_decrypt", "gcm_encrypt", "ige_decrypt",
           "ige_encrypt"]

BytesLike = Union[bytes, bytearray, memoryview]

Ctr = _ext._Ctr
cbc_encrypt = _ext._cbc_encrypt
cbc_decrypt = _ext._cbc_decrypt
ige_encrypt = _ext._ige_encrypt
ige_decrypt = _ext._ige_decrypt


def gcm_encrypt(key: BytesLike, nonce: BytesLike, data: BytesLike, aad: BytesLike = b"") -> bytes:
    """AES-256-GCM: the ciphertext of data, then its 16-byte tag."""
    return _ext._gcm_encrypt(key, nonce, data, aad)


def gcm_decrypt(key: BytesLike, nonce: BytesLike, data: BytesLike, aad: BytesLike = b"") -> bytes:
    """The plaintext of a sealed message (ciphertext then tag), after the tag's check."""
    return _ext._gcm_decrypt(key, nonce, data, aad)
