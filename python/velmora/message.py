"""The message layer: from an encrypted frame to decoded objects and back.

``encrypt`` and ``decrypt`` are the protocol's version-2 message encryption
(the envelope), each one native call; ``unpack`` turns a decrypted body into
the messages it carries (containers split, gzip_packed inflated, rpc_result
results decoded by the result type of the method sent); ``pack_container`` and
``gzip`` build the bodies that go the other way.
"""

import struct
from typing import Any, Iterable, Mapping, NamedTuple, Optional, Protocol, cast

from . import ext as _ext
from ._bytes_like import BytesLike, bytes_like as _bytes

__all__ = [
    "DEFAULT_PADDING",
    "MAX_INFLATED",
    "Message",
    "SecurityError",
    "auth_key_id",
    "decrypt",
    "encrypt",
    "gzip",
    "pack_container",
    "unpack",
]

#: How much a call of ``unpack`` may inflate, all its gzip_packed together:
#: 8 MiB, some eight times the largest frames servers send, text compressing
#: about that well.
MAX_INFLATED = 8 * 1024 * 1024

#: What ``encrypt`` pads with when ``padding`` is None: the fewest random
#: bytes, 12 at least, that bring the message to a multiple of 16 (12 to 27).
#: Pass an int for more (up to 1,024), which hides a body's length better.
DEFAULT_PADDING = None

#: A frame ``decrypt`` refused: a ValueError whose message names the failed
#: check ("auth key id differs", "msg_key differs", "length field negative",
#: "padding under 12 bytes", ...). Nothing decrypted is kept.
SecurityError = _ext._SecurityError

class Message(NamedTuple):
    """One decrypted message: the fields of its header and its body."""

    salt: int
    session_id: int
    msg_id: int
    seq_no: int
    body: bytes


_CONTAINER_HEAD = struct.Struct("<II")  # msg_container's identifier, the count of messages
_MSG_CONTAINER = 0x73F1F8DC
_HEADER = struct.Struct("<QIi")  # msg_id, seqno, bytes of one message of a container
_U64 = 2**64 - 1


def auth_key_id(auth_key: bytes) -> int:
    """The low 64 bits of SHA-1(auth_key), unsigned: what a frame starts with."""
    return _ext._auth_key_id(auth_key)


# encrypt(auth_key, salt, session_id, msg_id, seq_no, body, *, sender="client", padding=None)
# -> bytes: the frame of one message, auth_key_id + msg_key + AES-256-IGE(header, body,
# padding). auth_key is 256 bytes, body a multiple of 4 bytes; padding is None (the default
# length), a number of random bytes, or the bytes themselves (12 to 1,024, to a multiple of
# 16). Native, keyword-only options and all, so that a small message pays for no Python frame.
encrypt = _ext._encrypt

# decrypt(auth_key, frame, *, sender="server") -> Message: the message in a frame, after
# every check; SecurityError names the check that failed.
class _Decrypt(Protocol):
    def __call__(self, auth_key: bytes, frame: BytesLike, *, sender: str = "server") -> Message: ...


decrypt = cast(_Decrypt, _ext._decrypt)
_ext._message_type(Message)


def unpack(msg_id: int, seq_no: int, body: BytesLike, *, pending: Optional[Mapping[int, str]] = None,
           max_inflated: int = MAX_INFLATED) -> list[tuple[int, int, Any]]:
    """The messages one decrypted body carries, as ``(msg_id, seq_no, obj)`` in order.

    ``pending`` maps the msg_id of each request sent to its method's name: an rpc_result
    answering it has its result decoded by that method's result type (the schema's "result"),
    otherwise as Object. ValueError for a container inside a container, a message past its
    container, bytes after the last one, a corrupt gzip stream, or more than ``max_inflated``
    bytes inflated in all."""
    raw = _bytes("body", body)
    if pending is not None and not isinstance(pending, dict):
        pending = dict(pending)
    return _ext._unpack(msg_id, seq_no, raw, pending, max_inflated)


def pack_container(messages: Iterable[tuple[int, int, BytesLike]]) -> bytes:
    """A msg_container body holding ``(msg_id, seq_no, body)`` messages, in order."""
    parts = []
    for msg_id, seq_no, body in messages:
        body = _bytes("body", body)
        if len(body) % 4:
            raise ValueError("body length must be a multiple of 4")
        if int.from_bytes(body[:4], "little") == _MSG_CONTAINER:
            raise ValueError("container inside a container")
        if not -2**63 <= msg_id <= _U64 or not -2**31 <= seq_no < 2**32:
            raise OverflowError("msg_id or seq_no out of range")
        parts.append(_HEADER.pack(msg_id & _U64, seq_no & 0xFFFFFFFF, len(body)))
        parts.append(body)
    if not parts:
        raise ValueError("no messages to pack")
    return _CONTAINER_HEAD.pack(_MSG_CONTAINER, len(parts) // 2) + b"".join(parts)


def gzip(body: BytesLike) -> bytes:
    """A gzip_packed body holding ``body`` (a multiple of 4 bytes) compressed."""
    return _ext._gzip(_bytes("body", body))
