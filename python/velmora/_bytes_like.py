"""The package's bytes-like rule: bytes, bytearray or memoryview, as bytes.

The native twin is ``arg_bytes_like`` (src/module/call.cpp); a check in Python
comes first where a wrapper turns the value into bytes before the native call.
"""

from typing import Any, Union

BytesLike = Union[bytes, bytearray, memoryview]


def bytes_like(name: str, value: Any) -> bytes:
    """``value`` as bytes: itself when it is exactly bytes (read in place, no copy), a copy
    of what it holds when it is bytes-like; TypeError naming ``name`` otherwise."""
    if value.__class__ is bytes and isinstance(value, bytes):
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{name} must be bytes-like, not {type(value).__name__}")
