"""The key exchange: an auth key from the server's answers, every answer checked, no I/O.

``Handshake`` is a state machine: ``start()`` gives the first request's body, and
``receive(body)`` takes each answer's body and gives the next request's, until it gives
an ``AuthKey``. The bodies travel in unencrypted messages (``velmora.message.plain`` and
``unplain``); the caller sends and receives them over any transport. The messages have
fixed layouts, so whatever schema is loaded does not matter.

Secrets (new_nonce, the exponent b, the temporary AES key and IV, the auth key until it is
returned) stay in native memory owned by the object and are wiped as soon as they are no
longer needed, on a refusal and when the object is freed. A refusal raises
``HandshakeError`` and ends the exchange: every later call is refused too.

The random bytes come from ``rand(n)`` (libcrypto's RAND_bytes when None) in this order:
nonce (16), new_nonce (32), RSA_PAD's padding (192 - len(data)), temp_key (32, again while
the result is not below n), b (256, again on a retry or a g_b out of range), the padding of
client_DH_inner_data (1 to 15 bytes; no call for 0).
"""

import time
from typing import Callable, Iterable, NamedTuple, NoReturn, Optional, SupportsIndex, Tuple, Union

from . import ext as _ext
from ._bytes_like import BytesLike, bytes_like as _bytes

__all__ = ["AuthKey", "Handshake", "HandshakeError", "factorize", "rsa_fingerprint", "rsa_pad"]

#: An exchange refused: a velmora.message.SecurityError whose message names the check
#: ("nonce differs", "answer hash differs", "g_a out of range", ...: docs/handshake.md lists them).
HandshakeError = _ext._HandshakeError

# Texts callers match on, besides the native ones.
_PQ_NEGATIVE = "pq is negative"
_PQ_TOO_LARGE = "pq is not below 2^64"
_NOT_A_KEY = "a server key is a PEM text or an (n, e) pair of positive ints"
_NOT_COPYABLE = "cannot copy or pickle 'Handshake' object"

Random = Callable[[int], bytes]
ServerKey = Union[str, bytes, Tuple[int, int]]


class AuthKey(NamedTuple):
    """What a finished exchange gives: the 256-byte key and what a session needs with it."""

    key: bytes
    key_id: int  # the auth key id a frame starts with (unsigned)
    server_salt: int
    time_offset: int  # the server's time less clock() when its DH answer arrived, rounded
    expires_at: Optional[float]  # a temporary key's end, by clock(); None for a permanent key

    def __repr__(self) -> str:  # the key itself stays out of logs
        return (f"AuthKey(key=<{len(self.key)} bytes>, key_id={self.key_id}, server_salt={self.server_salt}, "
                f"time_offset={self.time_offset}, expires_at={self.expires_at})")


def _big_endian(name: str, v: object) -> bytes:
    if not isinstance(v, int) or v <= 0:
        raise TypeError(f"{name} must be a positive int")
    return v.to_bytes((v.bit_length() + 7) // 8, "big")


def _key_numbers(key: object) -> Tuple[bytes, bytes]:
    if isinstance(key, str):
        key = key.encode("ascii")
    if isinstance(key, bytes):
        return _ext._rsa_pem(key)
    if isinstance(key, tuple) and len(key) == 2:
        return _big_endian("n", key[0]), _big_endian("e", key[1])
    raise TypeError(_NOT_A_KEY)


def _int32(name: str, v: object) -> int:
    if not isinstance(v, int) or isinstance(v, bool):
        raise TypeError(f"{name} must be an int")
    if not -2**31 <= v < 2**31:
        raise OverflowError(f"{name} out of range for 32 bits")
    return v


def factorize(pq: int) -> Tuple[int, int]:
    """``(p, q)`` with ``p * q == pq``, both prime, ``p <= q``, for ``pq`` below 2^64.

    ValueError naming the fault for anything else: 0 or 1, a prime, three or more prime
    factors, a negative number, 2^64 or more."""
    if not isinstance(pq, int):
        raise TypeError(f"pq must be an int, not {type(pq).__name__}")
    if pq < 0:
        raise ValueError(_PQ_NEGATIVE)
    if pq >> 64:
        raise ValueError(_PQ_TOO_LARGE)
    return _ext._factorize(pq)


def rsa_fingerprint(n: int, e: int) -> int:
    """The fingerprint a resPQ lists for the key (n, e): the low 64 bits of SHA-1 of n and
    e as TL bytes, as a signed little-endian long."""
    return _ext._rsa_fingerprint(_big_endian("n", n), _big_endian("e", e))


def rsa_pad(data: BytesLike, n: int, e: int, *, rand: Optional[Random] = None) -> bytes:
    """RSA_PAD: ``data`` (at most 144 bytes) padded, hashed and AES-IGE-encrypted under a
    random temp key, then encrypted to the 2048-bit key (n, e); 256 big-endian bytes."""
    return _ext._rsa_pad(_bytes("data", data), _big_endian("n", n), _big_endian("e", e), rand)


class Handshake:
    """The client's side of one key exchange, with no I/O.

    ``server_keys``: the server keys trusted, each a PEM text (``-----BEGIN RSA PUBLIC
    KEY-----``) or an ``(n, e)`` pair; the first fingerprint in the server's resPQ that one of
    them has is used. ``dc``: the data centre's number (negative for a media one).
    ``expires_in``: seconds, for a temporary key. ``rand(n)``: the random source (None:
    RAND_bytes). ``clock()``: the time in seconds, read as each answer arrives."""

    __slots__ = ("_state", "_rand", "_clock")

    def __init__(self, server_keys: Iterable[ServerKey], *, dc: int, expires_in: Optional[int] = None,
                 rand: Optional[Random] = None, clock: Callable[[], float] = time.time) -> None:
        if isinstance(server_keys, (str, bytes)):
            raise TypeError("server_keys must be an iterable of keys, not one key")
        keys = [_key_numbers(k) for k in server_keys]
        if expires_in is not None and _int32("expires_in", expires_in) <= 0:
            raise ValueError("expires_in must be positive")
        if rand is not None and not callable(rand):
            raise TypeError("rand must be callable or None")
        self._state = _ext._Handshake(keys, _int32("dc", dc), expires_in)
        self._rand = rand
        self._clock = clock

    def start(self) -> bytes:
        """The body of the first request, req_pq_multi."""
        return self._state.start(self._rand)

    def receive(self, body: BytesLike) -> Union[bytes, AuthKey]:
        """Takes the server's answer to the last request: the next request's body, or the
        ``AuthKey`` once the server has accepted it. HandshakeError when a check fails."""
        now = self._clock()
        r = self._state.receive(_bytes("body", body), now, self._rand)
        return r if isinstance(r, bytes) else AuthKey._make(r)

    def __reduce_ex__(self, protocol: SupportsIndex) -> NoReturn:
        raise TypeError(_NOT_COPYABLE)
