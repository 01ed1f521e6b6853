"""velmora: TL serialization and AES for protocol clients.

The work is done by the native module ``velmora.ext``; see its functions.
"""

from importlib import resources

__version__ = "0.1.0"
__all__ = ["default_schema"]


def default_schema() -> str:
    """The compiled-in schema document as JSON text: ``ext.load_schema(default_schema())``
    puts the compiled-in schema back after another one has replaced it."""
    return resources.files(__name__).joinpath("default_schema.json").read_text(encoding="utf-8")
