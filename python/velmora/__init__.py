"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``; see its functions. The
package encodes strictly by default: ``dumps``, ``serialize_method`` and
``serialize_constructor`` refuse what ``velmora.ext`` would write as a default
(see the README's TL type table), and name the path to the refused value.
``velmora.read`` decodes one value of a given type at an offset, and
``velmora.message`` is the message layer (envelope, service messages).
"""

from importlib import resources
from typing import Any

from . import ext
from ._bytes_like import BytesLike, bytes_like

__version__ = "0.1.0"
__all__ = ["default_schema", "dumps", "read", "serialize_constructor", "serialize_method"]


def default_schema() -> str:
    """The compiled-in schema document as JSON text: ``ext.load_schema(default_schema())``
    puts the compiled-in schema back after another one has replaced it."""
    return resources.files(__name__).joinpath("default_schema.json").read_text(encoding="utf-8")


def read(data: BytesLike, type: str = "Object", *, offset: int = 0,
         methods: bool = False) -> tuple[Any, int]:
    """One value of TL type ``type`` at ``offset`` of ``data``, and the offset just past it.

    ``type`` is a primitive ("int", "long", "bytes", ...), a boxed type or "Object", or
    ``Vector<T>`` of any of these. With ``methods``, identifiers that name no constructor
    are looked up among the methods too (a request read back). Values and messages are those
    of ``ext.loads``; bytes after the value are left for the caller."""
    raw = bytes_like("data", data)
    if offset < 0:
        raise ValueError("offset out of range")
    return ext._read(raw, type, offset, methods)


# Native functions: serialize_method(name, args, *, strict=True),
# serialize_constructor(name, args, *, strict=True) and dumps(obj, *, strict=True).
# strict=False returns exactly what the velmora.ext function of the same name does.
serialize_method = ext._serialize_method
serialize_constructor = ext._serialize_constructor
dumps = ext._dumps
