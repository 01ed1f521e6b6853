"""What the TL schema converter reports: errors that stop it, warnings that do not.

``velmora.tlschema`` exports these; they live apart so that the converter's
file holds the conversion alone.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

__all__ = ["TLSchemaError", "TLSchemaWarning", "TLSchemaConversionWarning", "place"]


def place(source: Optional[str], line: int) -> str:
    """Where in which text: "api.tl, line 3", or "line 3" for an unnamed text."""
    return f"{source}, line {line}" if source is not None else f"line {line}"


class TLSchemaError(ValueError):
    """Malformed TL text; ``line`` and ``column`` are 1-based, ``source`` names
    the text when several were given."""

    def __init__(self, line: int, column: int, message: str,
                 source: Optional[str] = None) -> None:
        super().__init__(message)
        self.line = line
        self.column = column
        self.reason = message
        self.source = source

    def __str__(self) -> str:
        return f"{place(self.source, self.line)}, column {self.column}: {self.reason}"


@dataclass(frozen=True)
class TLSchemaWarning:
    """A declaration the codec will not treat exactly as TL does; ``source``
    names the text when several were given."""

    line: int
    message: str
    source: Optional[str] = None

    def __str__(self) -> str:
        return f"{place(self.source, self.line)}: {self.message}"


class TLSchemaConversionWarning(UserWarning):
    """Category under which ``convert`` re-emits each ``TLSchemaWarning``."""


for _class in (TLSchemaError, TLSchemaWarning, TLSchemaConversionWarning):
    _class.__module__ = "velmora.tlschema"  # where users import them from
