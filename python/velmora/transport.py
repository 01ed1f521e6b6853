"""Sans-I/O transport codecs: from socket bytes to packets and back, no
sockets and no event loop (they fit asyncio, trio and threads alike).

Each codec has ``start()`` (what a client sends first on a new connection),
``pack(payload)`` (one packet framed) and ``feed(data)`` (the packets
complete in the bytes received so far, for any chunking; the partial rest is
kept). All four take ``max_packet`` (keyword, default ``MAX_PACKET``, 16 MiB):
the longest packet read or written, so that a hostile length field cannot
make the codec hold more memory than that.

- ``Abridged()``: the length in 4-byte words, one byte below 127, else
  ``7f`` and three little-endian bytes. Starts with ``ef``.
- ``Intermediate()``: a little-endian int32 length. Starts with ``eeeeeeee``.
- ``PaddedIntermediate()``: the length including 0-15 random bytes of
  padding after the packet; ``feed`` finds the padding by what the packet
  carries and returns the message without it. Starts with ``dddddddd``.
- ``Full()``: int32 total length, int32 sequence number (from 0, per
  direction), the packet, CRC32. Starts with nothing.
- ``Obfuscated(codec, *, dc_id=None, secret=None)``: one of the first three
  inside the obfuscated transport's AES-256-CTR streams; ``start()`` is the
  64-byte header. The codec given lends its framing and ``max_packet``; the
  Obfuscated keeps a state of its own. ``secret`` is a proxy's: 16 bytes, or 17 beginning ``dd``
  (padded intermediate only). ``Obfuscated.accept(header, *, secret=None,
  max_packet=MAX_PACKET)`` is the server's side: ``(kind, dc_id, codec)``
  from a client's header, ``kind`` the framing's name, ``dc_id`` the int16 at
  bytes 60-62 (random when the client named none).

``FramingError`` (a ValueError) refuses a broken stream: a length not a
multiple of 4 where the framing needs one, a length over ``max_packet``, a
CRC32 or sequence number that differs, a padded packet of unknown layout.
After such a refusal every later ``pack`` and ``feed`` refuses too: the
connection must be dropped. ``pack`` refuses an empty payload, one that is
not a multiple of 4 or one over ``max_packet`` with FramingError too, but
changes nothing: the codec goes on.

``TransportError`` (a ConnectionError) is the server's error code, a 4-byte
packet holding a negative int32 (-404: auth key unknown, -429: flood): its
``.code``. Its ``.packets`` are the packets that came before it in the same
bytes; the bytes after it stay in the codec for the next ``feed``.

Quick acknowledgements, HTTP and the TLS-disguised proxy mode are not here.
"""

from . import ext as _ext

__all__ = ["MAX_PACKET", "Abridged", "Full", "FramingError", "Intermediate", "Obfuscated",
           "PaddedIntermediate", "TransportError"]

#: The default ``max_packet`` of every codec: 16 MiB.
MAX_PACKET = 16 * 1024 * 1024

FramingError = _ext._FramingError
TransportError = _ext._TransportError

Abridged = _ext._Abridged
Intermediate = _ext._Intermediate
PaddedIntermediate = _ext._PaddedIntermediate
Full = _ext._Full
Obfuscated = _ext._Obfuscated
