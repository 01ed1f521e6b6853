"""Convert TL schema text into the schema document that ``velmora.ext.load_schema`` reads.

A TL schema lists constructors, then (after ``---functions---``) methods, one
declaration per ``;``::

    // LAYER 123
    inputPeerUser#dde8a54c user_id:long access_hash:long = InputPeer;
    ---functions---
    auth.signUp#aac7b717 flags:# no_joined_notifications:flags.0?true
        phone_number:string = auth.Authorization;

The document follows the conventions of the compiled-in default schema: a
``true`` field is a presence flag ("is_bare"), ``Vector<T>`` becomes type
"Vector" with ``vector_inner`` T, a flags word has type "#", a conditional field
carries its ``flag_bit`` and, for a word other than ``flags``, its
``flags_group``. Each constructor also carries the boxed type it builds
("type": "InputPeer") and each method its result type ("result":
"Vector<long>"), keys that a module which does not read them ignores.

Several texts make one document, as the protocol publishes its schema in two
files: each text starts in its types section, and a name declared again in a
later text replaces the earlier declaration. A declaration without ``#id``
gets the identifier TL defines for it, the CRC32 of its normalized text. The
``string`` fields of the key-exchange records, which carry numbers and
ciphertext, become ``bytes`` unless ``key_exchange_bytes=False``.

What the codec cannot treat exactly as TL does is never changed silently: such
a declaration is either converted as written or left out, and either way a
``TLSchemaWarning`` names its line. So does a field type that names nothing
declared (no constructor's type or name, no primitive, no type parameter of its
record), with the closest declared name. Malformed text, and a text with no
declaration at all, raise ``TLSchemaError`` naming the line and column.
"""

from __future__ import annotations

import json
import re
import string
import warnings
import zlib
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

from ._flags import flags_word_index as _flags_word
from ._tlreports import TLSchemaConversionWarning, TLSchemaError, TLSchemaWarning, place as _place
from ._tltypes import PRIMITIVE, TypeSyntax, closest, is_bare_type, parse_type, referred_names

__all__ = [
    "TLSchemaError",
    "TLSchemaWarning",
    "TLSchemaConversionWarning",
    "convert",
    "convert_with_warnings",
]


# Vector identifier of the built-in `vector` declaration; vectors are native to the codec.
_VECTOR_CID = 0x1CB5C415

# Key-exchange and service records whose published `string` fields carry big-endian
# numbers, ciphertext or one status byte per message, never UTF-8 text.
_KEY_EXCHANGE_BINARY = frozenset({
    "resPQ", "p_q_inner_data", "p_q_inner_data_dc", "p_q_inner_data_temp",
    "p_q_inner_data_temp_dc", "server_DH_params_ok", "server_DH_inner_data",
    "client_DH_inner_data", "req_DH_params", "set_client_DH_params", "gzip_packed",
    "msgs_state_info", "msgs_all_info",
})

_TOKEN = re.compile(r"\{[^{}]*\}|[=;\[\]{}]|[^\s=;{}\[\]]+")
_COMBINATOR = re.compile(r"([A-Za-z_][\w.]*)(?:#(\S*))?\Z")
_HEX = re.compile(r"[0-9A-Fa-f]{1,8}\Z")
_FIELD_NAME = re.compile(r"[A-Za-z_]\w*\Z")
_GENERIC = re.compile(r"\{\s*([A-Za-z_]\w*)\s*:\s*(\S+?)\s*\}\Z")
_CONDITION = re.compile(r"([A-Za-z_]\w*)\.(\d+)\?(.*)\Z", re.S)
_LAYER = re.compile(r"//\s*LAYER\s+(\d+)\s*\Z")
_SECTION = re.compile(r"---\s*(\w*)\s*---\Z")
_TRUE_FLAG = re.compile(r"[A-Za-z_]\w*:[A-Za-z_]\w*\.\d+\?true\Z")


@dataclass
class _Token:
    text: str
    line: int
    column: int


def _tl_identifier(name: str, args: list[_Token], result: list[_Token]) -> int:
    """The identifier TL gives a declaration written without one: the CRC32 of
    its text with whitespace collapsed, bytes spelled string, angle brackets
    and braces dropped and the conditional true fields left out."""
    words = [name] + [t.text for t in args if not _TRUE_FLAG.match(t.text)] + ["="]
    text = " ".join(words + [t.text for t in result]) + " "
    text = text.replace(":bytes ", ":string ").replace("?bytes ", "?string ")
    text = text.replace("<", " ").replace(">", "").replace("{", "").replace("}", "")
    return zlib.crc32(" ".join(text.split()).encode())


def format_cid(cid: int) -> str:
    """An identifier as TL texts write it, the one form velmora shows: ``#0d0d9bda``."""
    return f"#{cid:08x}"


def _combinator(head: _Token) -> tuple[str, Optional[str]]:
    """The name and the hex identifier (None where the text gives none) of ``name#id``."""
    combinator = _COMBINATOR.match(head.text)
    if not combinator:
        raise TLSchemaError(head.line, head.column, f"invalid declaration name {head.text!r}")
    name, cid_text = combinator.group(1), combinator.group(2)
    if cid_text is not None and not _HEX.match(cid_text):
        bad = next((i for i, c in enumerate(cid_text) if c not in string.hexdigits),
                   min(len(cid_text), 8))
        raise TLSchemaError(head.line, head.column + len(name) + 1 + bad,
                            f"constructor identifier of {name} must be 1 to 8 hex digits")
    return name, cid_text


def _result_start(name: str, tokens: list[_Token], end: _Token) -> int:
    """The index of the '=' before a well-formed result type."""
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
    return equals


@dataclass
class _Reference:
    """A field's type, checked when every text is read: ``names`` must be declared;
    ``note`` is a warning that holds only if they are (a bare type's, say)."""

    text_number: int
    source: Optional[str]
    line: int
    where: str
    names: list[str]
    note: str


@dataclass
class _RecordScope:
    """What one record's earlier arguments declared: flags words (name -> word index),
    type parameters, field names."""

    flag_words: dict[str, int] = field(default_factory=dict)
    type_vars: set[str] = field(default_factory=set)
    names: set[str] = field(default_factory=set)


class _Converter:
    def __init__(self, key_exchange_bytes: bool) -> None:
        self.key_exchange_bytes = key_exchange_bytes
        self.layer: Optional[int] = None
        self.layer_at: tuple[Optional[str], int] = (None, 0)
        self.methods: dict[str, dict[str, Any]] = {}
        self.constructors: dict[str, dict[str, Any]] = {}
        self.constructor_cids: dict[int, str] = {}
        self.declared: dict[tuple[bool, str], tuple[Optional[str], int]] = {}
        self.types: set[str] = set()  # the boxed types that constructors build
        self.references: list[_Reference] = []
        # (text number, warning): sorted by text, then line, when all texts are read.
        self.warnings: list[tuple[int, TLSchemaWarning]] = []
        self.source: Optional[str] = None
        self.text_number = 0

    def warn(self, line: int, message: str) -> None:
        self.warnings.append((self.text_number, TLSchemaWarning(line, message, self.source)))

    def run(self, text: str, source: Optional[str]) -> None:
        """Reads one text, which starts in its types section."""
        self.source = source
        self.text_number += 1
        try:
            self.read(text)
        except TLSchemaError as exc:
            exc.source = source
            raise

    def finish(self) -> list[TLSchemaWarning]:
        """Checks the names that fields refer to, now that every text is read; returns
        all warnings in text and line order."""
        declared = self.types | self.constructors.keys()
        guesses: dict[str, Optional[str]] = {}  # a misspelt name tends to recur
        for ref in self.references:
            self.text_number, self.source = ref.text_number, ref.source
            unknown = [name for name in ref.names if name not in declared]
            for name in unknown:
                if name not in guesses:
                    guesses[name] = closest(name, declared | PRIMITIVE)
                guess = guesses[name]
                self.warn(ref.line, f"{ref.where}: {name} names nothing declared"
                                    + (f"; did you mean {guess}?" if guess else ""))
            if ref.note and not unknown:
                self.warn(ref.line, ref.where + ref.note)
        return [w for _, w in sorted(self.warnings, key=lambda item: (item[0], item[1].line))]

    def read(self, text: str) -> None:
        in_functions = False
        count = 0
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
                    count += 1
                else:
                    pending.append(token)
        if pending:
            first = pending[0]
            raise TLSchemaError(first.line, first.column,
                                f"declaration of {first.text!r} is not terminated by ';'")
        if not count:
            raise TLSchemaError(1, 1, "no declarations: the text is empty or holds only comments")

    def set_layer(self, line: int, column: int, digits: str) -> None:
        value = int(digits)
        if value > 0xFFFFFFFF:
            raise TLSchemaError(line, column, f"layer {digits} does not fit in 32 bits")
        if self.layer is not None and self.layer != value:
            self.warn(line, f"layer {value} replaces layer {self.layer} stated at"
                            f" {_place(*self.layer_at)}")
        self.layer = value
        self.layer_at = (self.source, line)

    def declaration(self, tokens: list[_Token], end: _Token, in_functions: bool) -> None:
        head = tokens[0]
        name, cid_text = _combinator(head)
        equals = _result_start(name, tokens, end)
        args, result = tokens[1:equals], tokens[equals + 1:]
        if [t.text for t in args] == ["?"]:
            self.warn(head.line, f"{name} is a built-in type (`?`), native to the codec:"
                                 " not converted")
            return
        cid = _tl_identifier(name, args, result) if cid_text is None else int(cid_text, 16)
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
        # The boxed type a constructor builds, the type a method returns: extra keys, which
        # a module that does not read them ignores.
        result_text = " ".join(t.text for t in result)
        if in_functions:
            record["result"] = result_text
        else:
            record["type"] = result_text
            self.types.add(result[0].text)
        self.register(name, record, in_functions, head.line)

    def register(self, name: str, record: dict[str, Any], in_functions: bool, line: int) -> None:
        """Enters a record; warns where it replaces one or shares a constructor's identifier."""
        table = self.methods if in_functions else self.constructors
        earlier = self.declared.get((in_functions, name))
        if earlier is not None:
            self.warn(line, f"{name} is declared again; this declaration replaces the one at"
                            f" {_place(*earlier)}")
            if not in_functions and self.constructor_cids.get(table[name]["cid"]) == name:
                del self.constructor_cids[table[name]["cid"]]
        self.declared[in_functions, name] = (self.source, line)
        cid = record["cid"]
        if not in_functions:
            other = self.constructor_cids.get(cid)
            if other is not None and other != name:
                self.warn(line, f"{name} has the identifier {format_cid(cid)} of {other}: decoding"
                                " finds only one of them")
            self.constructor_cids[cid] = name
        table[name] = record

    def record(self, owner: str, cid: int, args: list[_Token]) -> dict[str, Any]:
        scope = _RecordScope()
        fields: list[dict[str, Any]] = []
        for token in args:
            if token.text.startswith("{"):
                generic = _GENERIC.match(token.text)
                if not generic:
                    raise TLSchemaError(token.line, token.column,
                                        f"{owner}: malformed type parameter {token.text!r}")
                scope.type_vars.add(generic.group(1))
            else:
                fields.append(self.field(owner, token, scope))
        has_flags = any(field["flag_bit"] is not None for field in fields)
        return {"cid": cid, "fields": fields, "has_flags": has_flags}

    def field(self, owner: str, token: _Token, scope: _RecordScope) -> dict[str, Any]:
        """One ``name:type`` argument as a field record of the document."""
        field_name, type_text = self.field_name(owner, token, scope)
        type_column = token.column + len(field_name) + 1
        flag_bit, group, type_text, type_column = self.condition(
            owner, field_name, type_text, scope, token.line, type_column)
        field_type, vector_inner, inner_is_vector = self.field_type(
            owner, field_name, type_text, scope.type_vars, token.line, type_column)
        if field_type == "string" and self.key_exchange_bytes and owner in _KEY_EXCHANGE_BINARY:
            field_type = "bytes"
        if field_type == "#":
            self.flags_word(owner, field_name, flag_bit is not None, scope, token.line)
        entry: dict[str, Any] = {
            "name": field_name,
            "type": field_type,
            # The document's "is_bare" is a presence flag: a conditional field whose value
            # is its bit alone. It is not TL's bare type (see is_bare_type).
            "is_bare": field_type == "true",
            "is_vector": vector_inner is not None,
            "vector_inner": vector_inner,
            "flag_bit": flag_bit,
        }
        if group is not None and group != "flags":
            entry["flags_group"] = group
        if inner_is_vector:
            entry["vector_inner_is_vector"] = True
        return entry

    def field_name(self, owner: str, token: _Token, scope: _RecordScope) -> tuple[str, str]:
        """Splits ``name:type``; checks the name and warns about names the decoded dictionary loses."""
        text = token.text
        if text == "}":
            raise TLSchemaError(token.line, token.column, f"{owner}: unmatched {text!r}")
        field_name, colon, type_text = text.partition(":")
        if not colon:
            raise TLSchemaError(token.line, token.column,
                                f"{owner}: field {text!r} must be written name:type")
        if not _FIELD_NAME.match(field_name):
            raise TLSchemaError(token.line, token.column,
                                f"{owner}: invalid field name {field_name!r}")
        if field_name in scope.names:
            self.warn(token.line, f"{owner}: field {field_name} occurs twice; the decoded"
                                  " dictionary keeps only the last value")
        if field_name == "_":
            self.warn(token.line, f"{owner}: a field named _ replaces the constructor name"
                                  " in the decoded dictionary")
        scope.names.add(field_name)
        return field_name, type_text

    @staticmethod
    def condition(owner: str, field_name: str, type_text: str, scope: _RecordScope, line: int,
                  column: int) -> tuple[Optional[int], Optional[str], str, int]:
        """Reads a leading ``group.bit?``: returns (flag bit, flags field, the type text after
        it, that text's column)."""
        condition = _CONDITION.match(type_text)
        if not condition:
            if "?" in type_text:
                raise TLSchemaError(line, column + type_text.index("?"),
                                    f"{owner}: malformed condition in {type_text!r}"
                                    " (expected flags.N?Type)")
            return None, None, type_text, column
        group, bit_text, rest = condition.groups()
        if group not in scope.flag_words:
            raise TLSchemaError(line, column, f"{owner}: {field_name} is conditioned on {group!r},"
                                              " which is not an earlier field of type #")
        flag_bit = int(bit_text)
        if flag_bit > 31:
            raise TLSchemaError(line, column + len(group) + 1,
                                f"{owner}: flag bit {flag_bit} of {field_name} is above 31")
        return flag_bit, group, rest, column + len(group) + len(bit_text) + 2

    def flags_word(self, owner: str, field_name: str, conditional: bool, scope: _RecordScope,
                   line: int) -> None:
        """Notes a ``#`` field as a flags word; warns where the codec reads it otherwise than TL."""
        if conditional:
            self.warn(line, f"{owner}: flags field {field_name} is conditional; the"
                            " codec always reads and writes a flags word")
        word = _flags_word(field_name)
        clash = [other for other, w in scope.flag_words.items() if w == word]
        if clash:
            self.warn(line, f"{owner}: flags field {field_name} shares flags word {word}"
                            f" with {clash[0]} in the codec")
        scope.flag_words[field_name] = word

    def field_type(self, owner: str, field_name: str, text: str, type_vars: set[str],
                   line: int, column: int) -> tuple[str, Optional[str], bool]:
        """Returns (type, vector_inner, vector_inner_is_vector) for one field's type text."""
        if text == "#":
            return "#", None, False
        try:
            parsed = parse_type(text)
        except TypeSyntax as exc:
            raise TLSchemaError(line, column + exc.offset,
                                f"{owner}: invalid type {text!r} of field {field_name}:"
                                f" {exc.message}") from None
        where = f"{owner}: field {field_name} is {text}"
        if parsed.prefix == "!" and (parsed.args or parsed.name not in type_vars):
            raise TLSchemaError(line, column,
                                f"{owner}: {text!r} of field {field_name} names no type parameter"
                                " declared as {X:Type}")
        reference = _Reference(self.text_number, self.source, line, where,
                               list(referred_names(parsed, type_vars)), "")
        self.references.append(reference)
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
            if is_bare_type(inner):
                reference.note = "; the codec reads each element as a boxed object, with its identifier"
            return "Vector", inner.text, False
        if parsed.name == "vector" and not parsed.prefix:
            self.warn(line, f"{where}, a bare vector; the codec reads the field as one boxed"
                            " object, so the element count is taken as an identifier")
        elif is_bare_type(parsed):
            reference.note = ", a bare type; the codec reads the field as a boxed object, with its identifier"
        return text, None, False

    def document(self) -> str:
        doc: dict[str, Any] = {}
        if self.layer is not None:
            doc["layer"] = self.layer
        doc["methods"] = self.methods
        doc["constructors"] = self.constructors
        return json.dumps(doc, indent=2) + "\n"


def convert_with_warnings(*texts: str, names: Optional[Sequence[str]] = None,
                          key_exchange_bytes: bool = True) -> tuple[str, list[TLSchemaWarning]]:
    """Convert one or more TL schema texts into one document; return it and the
    warnings, in text and line order.

    ``names`` name the texts in warnings and errors (file names, say); by default
    a single text is unnamed and several are "text 1", "text 2", ... With
    ``key_exchange_bytes`` false, the key-exchange fields keep the type ``string``
    as declared."""
    if not texts:
        raise TypeError("at least one TL text is needed")
    labels: list[Optional[str]] = [None]
    if names is not None:
        labels = list(names)
    elif len(texts) > 1:
        labels = [f"text {i}" for i in range(1, len(texts) + 1)]
    if len(labels) != len(texts):
        raise TypeError(f"{len(texts)} texts but {len(labels)} names")
    converter = _Converter(key_exchange_bytes)
    for text, label in zip(texts, labels):
        converter.run(text, label)
    found = converter.finish()
    return converter.document(), found


def convert(*texts: str, names: Optional[Sequence[str]] = None,
            key_exchange_bytes: bool = True) -> str:
    """``convert_with_warnings``, with each warning issued as a ``TLSchemaConversionWarning``."""
    document, found = convert_with_warnings(*texts, names=names,
                                            key_exchange_bytes=key_exchange_bytes)
    for warning in found:
        warnings.warn(str(warning), TLSchemaConversionWarning, stacklevel=2)
    return document
