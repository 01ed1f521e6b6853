"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``; see its functions. The
package encodes strictly by default: ``dumps``, ``serialize_method`` and
``serialize_constructor`` refuse what ``velmora.ext`` would write as a default
(see the README's TL type table), and name the path to the refused value.
"""

from importlib import resources

from . import ext

__version__ = "0.1.0"
__all__ = ["default_schema", "dumps", "serialize_constructor", "serialize_method"]


def default_schema() -> str:
    """The compiled-in schema document as JSON text: ``ext.load_schema(default_schema())``
    puts the compiled-in schema back after another one has replaced it."""
    return resources.files(__name__).joinpath("default_schema.json").read_text(encoding="utf-8")


# Native functions: serialize_method(name, args, *, strict=True),
# serialize_constructor(name, args, *, strict=True) and dumps(obj, *, strict=True).
# strict=False returns exactly what the velmora.ext function of the same name does.
serialize_method = ext._serialize_method
serialize_constructor = ext._serialize_constructor
dumps = ext._dumps
