"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``; see its functions. The
package encodes strictly by default: ``dumps``, ``serialize_method`` and
``serialize_constructor`` refuse what ``velmora.ext`` would write as a default
(see the README's TL type table), and name the path to the refused value.
"""

from importlib import resources
from typing import Any, Union

from . import ext

__version__ = "0.1.0"
__all__ = ["default_schema", "dumps", "serialize_constructor", "serialize_method"]


def default_schema() -> str:
    """The compiled-in schema document as JSON text: ``ext.load_schema(default_schema())``
    puts the compiled-in schema back after another one has replaced it."""
    return resources.files(__name__).joinpath("default_schema.json").read_text(encoding="utf-8")


def serialize_method(name: str, args: dict[str, Any], *, strict: bool = True) -> bytes:
    """The TL bytes of a method call. ``strict=False``: exactly ``velmora.ext.serialize_method``."""
    if not strict:
        return ext.serialize_method(name, args)
    return ext._serialize_method_strict(name, args, False)


def serialize_constructor(name: str, args: dict[str, Any], *, strict: bool = True) -> bytes:
    """The TL bytes of a constructor. ``strict=False``: exactly ``velmora.ext.serialize_constructor``."""
    if not strict:
        return ext.serialize_constructor(name, args)
    return ext._serialize_constructor_strict(name, args, False)


def dumps(obj: Union[bytes, dict[str, Any]], *, strict: bool = True) -> bytes:
    """The TL bytes of an object whose "_" names its constructor; bytes pass through.
    ``strict=False``: exactly ``velmora.ext.dumps``."""
    if not strict:
        return ext.dumps(obj)
    return ext._dumps_strict(obj, False)
