"""TL type expressions as fields write them: ``[!|%]name[<type, ...>]``.

The converter parses each field's type with ``parse_type``, asks whether TL
reads it bare, and collects the names it refers to, so that a name declared
nowhere is reported with the closest declared one.
"""

from __future__ import annotations

import difflib
import re
from collections.abc import Collection, Iterator
from dataclasses import dataclass
from typing import Optional

# Type names the codec encodes by itself (everything else is a boxed object or a vector).
PRIMITIVE = frozenset({
    "#", "int", "Int", "long", "Long", "double", "Double", "int128", "int256",
    "string", "String", "bytes", "Bytes", "Bool", "boolTrue", "boolFalse", "true", "True",
})

# The vector types are built into TL (and native to the codec): used, never declared.
_BUILT_IN = frozenset({"Vector", "vector"})

_IDENT = re.compile(r"[A-Za-z_][\w.]*")


@dataclass
class TlType:
    """A parsed type expression: ``prefix`` is "", "!" or "%"."""

    prefix: str
    name: str
    args: list[TlType]
    text: str


class TypeSyntax(Exception):
    def __init__(self, offset: int, message: str) -> None:
        super().__init__(message)
        self.offset = offset
        self.message = message


def parse_type(text: str) -> TlType:
    """Parses ``[!|%]name[<type, ...>]``; raises TypeSyntax with the offset of the fault."""

    def parse(pos: int) -> tuple[TlType, int]:
        start = pos
        prefix = ""
        if pos < len(text) and text[pos] in "!%":
            prefix = text[pos]
            pos += 1
        ident = _IDENT.match(text, pos)
        if not ident:
            raise TypeSyntax(pos, "type name expected")
        pos = ident.end()
        args: list[TlType] = []
        if pos < len(text) and text[pos] == "<":
            while True:
                arg, pos = parse(pos + 1)
                args.append(arg)
                if pos < len(text) and text[pos] == ",":
                    continue
                if pos < len(text) and text[pos] == ">":
                    pos += 1
                    break
                raise TypeSyntax(pos, "'>' expected")
        return TlType(prefix, ident.group(0), args, text[start:pos]), pos

    parsed, end = parse(0)
    if end != len(text):
        raise TypeSyntax(end, f"unexpected {text[end]!r}")
    return parsed


def is_bare_type(t: TlType) -> bool:
    """TL spells a bare type with % or with a lower-case constructor name."""
    if t.prefix == "%":
        return True
    if t.prefix or t.name in PRIMITIVE:
        return False
    return t.name.rsplit(".", 1)[-1][:1].islower()


def referred_names(t: TlType, type_vars: Collection[str]) -> Iterator[str]:
    """The names in ``t`` that a declaration must give: neither primitive, built in,
    nor a type parameter of the record."""
    if t.name not in PRIMITIVE and t.name not in _BUILT_IN and t.name not in type_vars:
        yield t.name
    for arg in t.args:
        yield from referred_names(arg, type_vars)


def closest(name: str, declared: Collection[str]) -> Optional[str]:
    """The declared name most like ``name``, as spelt, else with case aside; None if none is close."""
    found = difflib.get_close_matches(name, declared, n=1)
    if found:
        return found[0]
    by_folded = {d.lower(): d for d in sorted(declared)}
    found = difflib.get_close_matches(name.lower(), by_folded, n=1)
    return by_folded[found[0]] if found else None
