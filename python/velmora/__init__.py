"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``. The package is strict by
default: ``dumps``, ``serialize_method`` and ``serialize_constructor`` refuse
what ``velmora.ext`` would write as a default, naming the path to the refused
value; ``loads`` and ``read`` refuse a ``Bool`` that is neither identifier
(and ``loads`` bytes after the object), naming the offset. ``strict=False``
is ``velmora.ext``'s behaviour exactly. Every function takes its data as
bytes, bytearray or a C-contiguous memoryview. ``velmora.message`` is the
message layer (envelope, service messages).
"""

from importlib import resources
from typing import Any

from . import ext
from ._bytes_like import BytesLike

__version__ = "0.1.0"
__all__ = ["default_schema", "dumps", "loads", "read", "serialize_constructor", "serialize_method"]


def default_schema() -> str:
    """The compiled-in schema document as JSON text: ``ext.load_schema(default_schema())``
    puts the compiled-in schema back after another one has replaced it."""
    return resources.files(__name__).joinpath("default_schema.json").read_text(encoding="utf-8")


def read(data: BytesLike, type: str = "Object", *, offset: int = 0,
         methods: bool = False, strict: bool = True) -> tuple[Any, int]:
    """One value of TL type ``type`` at ``offset`` of ``data``, and the offset just past it.

    ``type`` is a primitive ("int", "long", "bytes", ...), "Object", a boxed type that a
    constructor of the schema builds, or ``Vector<T>`` of any of these; a constructor's name
    reads that constructor bare, its fields with no identifier first. Any other name is a
    ValueError naming the closest known ones. With ``methods``, identifiers that name no
    constructor are looked up among the methods too (a request read back). ``strict`` refuses
    a Bool that is neither identifier. Bytes after the value are left for the caller."""
    if offset < 0:
        raise ValueError("offset out of range")
    return ext._read(data, type, offset, methods, strict)


# Native functions: serialize_method(name, args, *, strict=True),
# serialize_constructor(name, args, *, strict=True), dumps(obj, *, strict=True) and
# loads(data, *, strict=True). strict=False returns exactly what the velmora.ext
# function of the same name does.
serialize_method = ext._serialize_method
serialize_constructor = ext._serialize_constructor
dumps = ext._dumps
loads = ext._loads
