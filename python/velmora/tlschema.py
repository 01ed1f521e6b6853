"""Convert TL schema text into the schema document that ``velmora.ext.load_schema`` reads.

A TL schema lists constructors, then (after ``---functions---``) methods, one
declaration per ``;``::

    // LAYER 123
    inputPeerUser#dde8a54c user_id:long access_hash:long = InputPeer;
    ---functions---
    auth.signUp#aac7b717 flags:# no_joined_notifications:flags.0?true
        phone_number:string = auth.Authorization;

The document follows the conventions of the compiled-in default schema: a
``true`` field is bare, ``Vector<T>`` becomes type "Vector" with
``vector_inner`` T, a flags word has type "#", a conditional field carries its
``flag_bit`` and, for a word other than ``flags``, its ``flags_group``.

What the codec cannot treat exactly as TL does is never changed silently: such
a declaration is either converted as written or left out, and either way a
``TLSchemaWarning`` names its line. Malformed text raises ``TLSchemaError``
naming the line and column.
"""

from __future__ import annotations

import json
import re
import string
import warnings
from dataclasses import dataclass
from typing import Any, Optional

from ._flags import flags_word_index as _flags_word

__all__ = [
    "TLSchemaError",
    "TLSchemaWarning",
    "TLSchemaConversionWarning",
    "convert",
    "convert_with_warnings",
]


class TLSchemaError(ValueError):
    """Malformed TL text; ``line`` and ``column`` are 1-based."""

    def __init__(self, line: int, column: int, message: str) -> None:
        super().__init__(f"line {line}, column {column}: {message}")
        self.line = line
        self.column = column
        self.reason = message


@dataclass(frozen=True)
class TLSchemaWarning:
    """A declaration the codec will not treat exactly as TL does."""

    line: int
    message: str

    def __str__(self) -> str:
        return f"line {self.line}: {self.message}"


class TLSchemaConversionWarning(UserWarning):
    """Category under which ``convert`` re-emits each ``TLSchemaWarning``."""


# Vector identifier of the built-in `vector` declaration; vectors are native to the codec.
_VECTOR_CID = 0x1CB5C415

# Type names the codec encodes by itself (everything else is a boxed object or a vector).
_PRIMITIVE = frozenset({
    "#", "int", "Int", "long", "Long", "double", "Double", "int128", "int256",
    "string", "String", "bytes", "Bytes", "Bool", "boolTrue", "boolFalse", "true", "True",
})

_TOKEN = re.compile(r"\{[^{}]*\}|[=;\[\]{}]|[^\s=;{}\[\]]+")
_COMBINATOR = re.compile(r"([A-Za-z_][\w.]*)(?:#(\S*))?\Z")
_HEX = re.compile(r"[0-9A-Fa-f]{1,8}\Z")
_FIELD_NAME = re.compile(r"[A-Za-z_]\w*\Z")
_GENERIC = re.compile(r"\{\s*([A-Za-z_]\w*)\s*:\s*(\S+?)\s*\}\Z")
_CONDITION = re.compile(r"([A-Za-z_]\w*)\.(\d+)\?(.*)\Z", re.S)
_IDENT = re.compile(r"[A-Za-z_][\w.]*")
_LAYER = re.compile(r"//\s*LAYER\s+(\d+)\s*\Z")
_SECTION = re.compile(r"---\s*(\w*)\s*---\Z")


@dataclass
class _Token:
    text: str
    line: int
    column: int


@dataclass
class _Type:
    """A parsed type expression: ``prefix`` is "", "!" or "%"."""

    prefix: str
    name: str
    args: list[_Type]
    text: str


class _TypeSyntax(Exception):
    def __init__(self, offset: int, message: str) -> None:
        super().__init__(message)
        self.offset = offset
        self.message = message


def _parse_type(text: str) -> _Type:
    """Parses ``[!|%]name[<type, ...>]``; raises _TypeSyntax with the offset of the fault."""

    def parse(pos: int) -> tuple[_Type, int]:
        start = pos
        prefix = ""
        if pos < len(text) and text[pos] in "!%":
            prefix = text[pos]
            pos += 1
        ident = _IDENT.match(text, pos)
        if not ident:
            raise _TypeSyntax(pos, "type name expected")
        pos = ident.end()
        args: list[_Type] = []
        if pos < len(text) and text[pos] == "<":
            while True:
                arg, pos = parse(pos + 1)
                args.append(arg)
                if pos < len(text) and text[pos] == ",":
                    continue
                if pos < len(text) and text[pos] == ">":
                    pos += 1
                    break
                raise _TypeSyntax(pos, "'>' expected")
        return _Type(prefix, ident.group(0), args, text[start:pos]), pos

    parsed, end = parse(0)
    if end != len(text):
        raise _TypeSyntax(end, f"unexpected {text[end]!r}")
    return parsed


def _is_bare(t: _Type) -> bool:
    """TL spells a bare type with % or with a lower-case constructor name."""
    if t.prefix == "%":
        return True
    if t.prefix or t.name in _PRIMITIVE:
        return False
    return t.name.rsplit(".", 1)[-1][:1].islower()


class _Converter:
    def __init__(self) -> None:
        self.layer: Optional[int] = None
        self.methods: dict[str, dict[str, Any]] = {}
        self.constructors: dict[str, dict[str, Any]] = {}
        self.constructor_cids: dict[int, str] = {}
        self.warnings: list[TLSchemaWarning] = []

    def warn(self, line: int, message: str) -> None:
        self.warnings.append(TLSchemaWarning(line, message))

    def run(self, text: str) -> str:
        in_functions = False
        pending: list[_Token] = []
        for line_no, raw_line in enumerate(text.splitlines(), start=1):
            code = raw_line
            cut = raw_line.find("//")
            if cut >= 0:
                code = raw_line[:cut]
                layer = _LAYER.match(raw_line[cut:].strip())
                if layer:
                    self.set_layer(line_no, cut + 1, layer.group(1))
            stripped = code.strip()
            if stripped.startswith("---"):
                column = code.index("-") + 1
                section = _SECTION.match(stripped)
                if not section or section.group(1) not in ("functions", "types"):
                    raise TLSchemaError(line_no, column, f"unknown section line {stripped!r}"
                                        " (expected ---functions--- or ---types---)")
                if pending:
                    raise TLSchemaError(line_no, column, "section line inside a declaration"
                                        f" that began at line {pending[0].line} (missing ';')")
                in_functions = section.group(1) == "functions"
                continue
            for match in _TOKEN.finditer(code):
                token = _Token(match.group(0), line_no, match.start() + 1)
                if token.text == ";":
                    if not pending:
                        raise TLSchemaError(line_no, token.column, "empty declaration before ';'")
                    self.declaration(pending, token, in_functions)
                    pending = []
                else:
                    pending.append(token)
        if pending:
            first = pending[0]
            raise TLSchemaError(first.line, first.column,
                                f"declaration of {first.text!r} is not terminated by ';'")
        return self.document()

    def set_layer(self, line: int, column: int, digits: str) -> None:
        value = int(digits)
        if value > 0xFFFFFFFF:
            raise TLSchemaError(line, column, f"layer {digits} does not fit in 32 bits")
        if self.layer is not None and self.layer != value:
            self.warn(line, f"layer {value} replaces layer {self.layer} stated earlier")
        self.layer = value

    def declaration(self, tokens: list[_Token], end: _Token, in_functions: bool) -> None:
        head = tokens[0]
        combinator = _COMBINATOR.match(head.text)
        if not combinator:
            raise TLSchemaError(head.line, head.column, f"invalid declaration name {head.text!r}")
        name, cid_text = combinator.group(1), combinator.group(2)
        if cid_text is not None and not _HEX.match(cid_text):
            bad = next((i for i, c in enumerate(cid_text) if c not in string.hexdigits),
                       min(len(cid_text), 8))
            raise TLSchemaError(head.line, head.column + len(name) + 1 + bad,
                                f"constructor identifier of {name} must be 1 to 8 hex digits")
        try:
            equals = next(i for i, t in enumerate(tokens) if t.text == "=")
        except StopIteration:
            raise TLSchemaError(end.line, end.column, f"{name}: missing '= ResultType'") from None
        if equals == len(tokens) - 1:
            eq = tokens[equals]
            raise TLSchemaError(eq.line, eq.column + 1, f"{name}: missing result type after '='")
        for extra in tokens[equals + 1:]:
            if extra.text in ("=", "[", "]", "{", "}") or extra.text.startswith("{"):
                raise TLSchemaError(extra.line, extra.column,
                                    f"{name}: unexpected {extra.text!r} in result type")
        if cid_text is None:
            # Built-in types (`int ? = Int;`) and bare helper combinators carry no
            # identifier; deriving one is not something we guess at.
            self.warn(head.line, f"{name} has no constructor identifier (#hex): not converted")
            return
        cid = int(cid_text, 16)
        args = tokens[1:equals]
        if name == "vector" and cid == _VECTOR_CID:
            self.warn(head.line, "built-in vector declaration not converted: vectors are native"
                                 " to the codec")
            return
        group = next((t for t in args if t.text in ("[", "]")), None)
        if group is not None:
            self.warn(head.line, f"{name}: repeated group '[ ... ]' (column {group.column}) cannot"
                                 " be represented in a schema document: not converted")
            return
        record = self.record(name, cid, args)
        table = self.methods if in_functions else self.constructors
        if name in table:
            self.warn(head.line, f"{name} is declared again; this declaration replaces the earlier one")
        if not in_functions:
            other = self.constructor_cids.get(cid)
            if other is not None and other != name:
                self.warn(head.line, f"{name} has the identifier {cid:08x} of {other}: decoding"
                                     " finds only one of them")
            self.constructor_cids[cid] = name
        table[name] = record

    def record(self, owner: str, cid: int, args: list[_Token]) -> dict[str, Any]:
        fields: list[dict[str, Any]] = []
        flag_words: dict[str, int] = {}
        type_vars: set[str] = set()
        names: set[str] = set()
        has_flags = False
        for token in args:
            text = token.text
            if text.startswith("{"):
                generic = _GENERIC.match(text)
                if not generic:
                    raise TLSchemaError(token.line, token.column,
                                        f"{owner}: malformed type parameter {text!r}")
                type_vars.add(generic.group(1))
                continue
            if text in ("{", "}"):
                raise TLSchemaError(token.line, token.column, f"{owner}: unmatched {text!r}")
            field_name, colon, type_text = text.partition(":")
            if not colon:
                raise TLSchemaError(token.line, token.column,
                                    f"{owner}: field {text!r} must be written name:type")
            if not _FIELD_NAME.match(field_name):
                raise TLSchemaError(token.line, token.column,
                                    f"{owner}: invalid field name {field_name!r}")
            type_column = token.column + len(field_name) + 1
            if field_name in names:
                self.warn(token.line, f"{owner}: field {field_name} occurs twice; the decoded"
                                      " dictionary keeps only the last value")
            if field_name == "_":
                self.warn(token.line, f"{owner}: a field named _ replaces the constructor name"
                                      " in the decoded dictionary")
            names.add(field_name)
            flag_bit: Optional[int] = None
            group: Optional[str] = None
            condition = _CONDITION.match(type_text)
            if condition:
                group, bit_text, type_text = condition.groups()
                if group not in flag_words:
                    raise TLSchemaError(token.line, type_column,
                                        f"{owner}: {field_name} is conditioned on {group!r},"
                                        " which is not an earlier field of type #")
                flag_bit = int(bit_text)
                if flag_bit > 31:
                    raise TLSchemaError(token.line, type_column + len(group) + 1,
                                        f"{owner}: flag bit {flag_bit} of {field_name} is above 31")
                type_column += len(group) + len(bit_text) + 2
                has_flags = True
            elif "?" in type_text:
                raise TLSchemaError(token.line, type_column + type_text.index("?"),
                                    f"{owner}: malformed condition in {type_text!r}"
                                    " (expected flags.N?Type)")
            field_type, vector_inner, inner_is_vector = self.field_type(
                owner, field_name, type_text, type_vars, token.line, type_column)
            if field_type == "#":
                if flag_bit is not None:
                    self.warn(token.line, f"{owner}: flags field {field_name} is conditional; the"
                                          " codec always reads and writes a flags word")
                word = _flags_word(field_name)
                clash = [other for other, w in flag_words.items() if w == word]
                if clash:
                    self.warn(token.line, f"{owner}: flags field {field_name} shares flags word {word}"
                                          f" with {clash[0]} in the codec")
                flag_words[field_name] = word
            field: dict[str, Any] = {
                "name": field_name,
                "type": field_type,
                "is_bare": field_type == "true",
                "is_vector": vector_inner is not None,
                "vector_inner": vector_inner,
                "flag_bit": flag_bit,
            }
            if group is not None and group != "flags":
                field["flags_group"] = group
            if inner_is_vector:
                field["vector_inner_is_vector"] = True
            fields.append(field)
        return {"cid": cid, "fields": fields, "has_flags": has_flags}

    def field_type(self, owner: str, field_name: str, text: str, type_vars: set[str],
                   line: int, column: int) -> tuple[str, Optional[str], bool]:
        """Returns (type, vector_inner, vector_inner_is_vector) for one field's type text."""
        if text == "#":
            return "#", None, False
        try:
            parsed = _parse_type(text)
        except _TypeSyntax as exc:
            raise TLSchemaError(line, column + exc.offset,
                                f"{owner}: invalid type {text!r} of field {field_name}:"
                                f" {exc.message}") from None
        where = f"{owner}: field {field_name} is {text}"
        if parsed.prefix == "!" and (parsed.args or parsed.name not in type_vars):
            raise TLSchemaError(line, column,
                                f"{owner}: {text!r} of field {field_name} names no type parameter"
                                " declared as {X:Type}")
        if parsed.name == "Vector" and not parsed.prefix:
            if len(parsed.args) != 1:
                raise TLSchemaError(line, column, f"{owner}: Vector of field {field_name} takes"
                                                  " exactly one element type")
            inner = parsed.args[0]
            if inner.name == "Vector" and not inner.prefix and len(inner.args) == 1:
                innermost = inner.args[0]
                if innermost.text != "int":
                    self.warn(line, f"{where}; the codec reads the elements of inner vectors"
                                    f" as int, not {innermost.text}")
                return "Vector", "Vector", True
            if _is_bare(inner):
                self.warn(line, f"{where}; the codec reads each element as a boxed object,"
                                " with its identifier")
            return "Vector", inner.text, False
        if parsed.name == "vector" and not parsed.prefix:
            self.warn(line, f"{where}, a bare vector; the codec reads the field as one boxed"
                            " object, so the element count is taken as an identifier")
        elif _is_bare(parsed):
            self.warn(line, f"{where}, a bare type; the codec reads the field as a boxed"
                            " object, with its identifier")
        return text, None, False

    def document(self) -> str:
        doc: dict[str, Any] = {}
        if self.layer is not None:
            doc["layer"] = self.layer
        doc["methods"] = self.methods
        doc["constructors"] = self.constructors
        return json.dumps(doc, indent=2) + "\n"


def convert_with_warnings(text: str) -> tuple[str, list[TLSchemaWarning]]:
    """Convert TL schema text; return the document and the warnings, in line order."""
    converter = _Converter()
    document = converter.run(text)
    return document, sorted(converter.warnings, key=lambda w: w.line)


def convert(text: str) -> str:
    """Convert TL schema text; each warning is issued as a ``TLSchemaConversionWarning``."""
    document, found = convert_with_warnings(text)
    for warning in found:
        warnings.warn(str(warning), TLSchemaConversionWarning, stacklevel=2)
    return document
