"""A client session: message ids, sequence numbers, salts, and every check a
received message needs, on top of ``velmora.message``'s envelope.

``Session(auth_key, *, session_id=None, salt=0, time_offset=0, clock=time.time)``
keeps one session's state natively. ``encrypt`` and ``encrypt_many`` number and
seal what the client sends and remember each request for its answer;
``decrypt`` refuses with ``SecurityError`` (the state then as it was) a frame
that fails a check, and otherwise returns its messages as ``Received`` tuples,
acting on the service messages among them; ``acks`` gives the acknowledgement
owed. See docs/session.md.
"""

from typing import Any, NamedTuple

from . import ext as _ext
from .message import SecurityError

__all__ = ["Received", "SecurityError", "Session", "WINDOW"]

#: How many received msg_ids a session remembers (1,024): a frame whose id is
#: among them, or below the lowest once the window is full, is refused.
WINDOW: int = _ext._replay_window


class Received(NamedTuple):
    """One message of a decrypted frame: its header's numbers and its object."""

    msg_id: int
    seq_no: int
    obj: Any


_ext._received_type(Received)

Session = _ext._Session
