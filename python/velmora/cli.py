"""Command line for velmora: ``python -m velmora {decode,encode,schema} ...``.

Bytes go in and out as hexadecimal text; decoded objects are printed as JSON
with ``bytes`` values shown as hex strings, which ``encode`` accepts back for
``bytes``, ``int128`` and ``int256`` fields.

``decode`` recognises the constructors and, where no constructor has the
identifier, the method calls of the schema in use (the compiled-in one, or
``--schema FILE``). Identifiers are shown one way everywhere, as TL texts write
them: ``#0d0d9bda``.

``--schema`` may be given several times, before or after the command: the
documents (JSON, or TL text for ``*.tl``; consecutive TL files are converted
together) are merged in order, a later record replacing an earlier one of the
same name.
"""

from __future__ import annotations

import argparse
import itertools
import json
import sys
from pathlib import Path
from collections.abc import Callable
from typing import Any, NoReturn, Optional

from . import __version__, default_schema, ext, read, tlschema
from .tlschema import format_cid

__all__ = ["main"]

_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


class _Failure(Exception):
    """A bad input reported as one line on stderr with exit status 1."""


def _fail(message: str) -> NoReturn:
    raise _Failure(message)


def _read_text(path: str) -> str:
    try:
        return Path(path).read_text(encoding="utf-8")
    except OSError as exc:
        _fail(f"cannot read {path}: {exc.strerror or exc}")
    except UnicodeDecodeError as exc:
        _fail(f"cannot read {path}: not UTF-8 text ({exc.reason} at byte {exc.start})")


def _read_bytes(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        return Path(path).read_bytes()
    except OSError as exc:
        _fail(f"cannot read {path}: {exc.strerror or exc}")


def _convert_files(paths: list[str], key_exchange_bytes: bool = True) -> str:
    texts = [_read_text(path) for path in paths]
    try:
        document, found = tlschema.convert_with_warnings(
            *texts, names=paths, key_exchange_bytes=key_exchange_bytes)
    except tlschema.TLSchemaError as exc:
        _fail(f"{exc.source}:{exc.line}:{exc.column}: {exc.reason}")
    for warning in found:
        print(f"{warning.source}:{warning.line}: warning: {warning.message}", file=sys.stderr)
    return document


def _tl_hint(text: str) -> str:
    """A hint for TL text that was taken for JSON because of its file name."""
    try:
        doc = json.loads(tlschema.convert_with_warnings(text)[0])
    except tlschema.TLSchemaError:
        return ""
    if not doc["methods"] and not doc["constructors"]:
        return ""
    return " (the file holds TL text: give it a name ending in .tl)"


def _load_schemas(paths: list[str]) -> str:
    """Installs the schema of the files, merged in order; returns its document."""
    parts: list[tuple[str, str]] = []
    for is_tl, group in itertools.groupby(paths, key=lambda path: path.endswith(".tl")):
        names = list(group)
        if is_tl:
            parts.append((", ".join(names), _convert_files(names)))
        else:
            parts.extend((name, _read_text(name)) for name in names)
    # Each document is loaded on its own first, so that an error names its file.
    for name, document in parts:
        try:
            ext.load_schema(document)
        except ValueError as exc:
            _fail(f"{name}: {exc}{_tl_hint(document)}")
    if len(parts) == 1:
        return parts[0][1]
    layer: Any = None
    methods: dict[str, Any] = {}
    constructors: dict[str, Any] = {}
    for _, document in parts:
        doc_layer, doc_methods, doc_constructors = _document_parts(json.loads(document))
        layer = layer if doc_layer is None else doc_layer
        methods.update(doc_methods)
        constructors.update(doc_constructors)
    merged = json.dumps({"layer": layer or 0, "methods": methods, "constructors": constructors})
    ext.load_schema(merged)
    return merged


def _document_parts(doc: Any) -> tuple[Any, Any, Any]:
    """(layer, methods, constructors) of a document in any form load_schema reads."""
    if isinstance(doc, dict) and "methods" in doc:
        return doc.get("layer"), doc["methods"], doc.get("constructors", {})
    if isinstance(doc, list) and len(doc) >= 2:
        return doc[0], doc[1], doc[2] if len(doc) > 2 else {}
    return None, doc, {}  # a bare methods object


def _jsonable(value: Any) -> Any:
    """A decoded value as JSON shows it: bytes as hex, an unknown identifier as TL writes it."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
        if value.keys() == {"_", "cid", "raw"} and value["_"] == "unknownConstructor":
            value = {**value, "cid": format_cid(value["cid"])}
        return {key: _jsonable(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_jsonable(item) for item in value]
    return value


def _parse_hex(text: str) -> bytes:
    digits = "".join(text.split())
    if digits[:2] in ("0x", "0X"):
        digits = digits[2:]
    bad = next((i for i, c in enumerate(digits) if c not in _HEX_DIGITS), None)
    if bad is not None:
        _fail(f"invalid hex input: {digits[bad]!r} at digit {bad + 1} is not a hex digit")
    if len(digits) % 2:
        _fail(f"invalid hex input: odd number of hex digits ({len(digits)})")
    return bytes.fromhex(digits)


def _cmd_decode(args: argparse.Namespace, document: Optional[str]) -> int:
    if args.file is not None:
        if args.hex is not None:
            _fail("give either HEX or --file, not both")
        data = _read_bytes(args.file)
    else:
        data = _parse_hex(args.hex if args.hex not in (None, "-") else sys.stdin.read())
    which = "the compiled-in schema" if document is None else "the schema given"
    if document is None:
        ext.load_schema(default_schema())
    try:
        decoded, _ = read(data, methods=True)
    except ValueError as exc:
        _fail(f"decode failed: {exc}")
    print(json.dumps(_jsonable(decoded), indent=2, ensure_ascii=False))
    if isinstance(decoded, dict) and decoded.get("_") == "unknownConstructor":
        print(f"velmora: note: {format_cid(decoded['cid'])} is no constructor or method of {which}",
              file=sys.stderr)
    return 0


def _serialize(kind: str, name: str, fields: dict[str, Any], lenient: bool) -> bytes:
    """Encodes a method call or a constructor: strictly, with hex text standing for the bytes
    it spells where bytes are accepted (JSON has no bytes); or as ``velmora.ext`` does."""
    if lenient:
        encode: Callable[..., bytes] = getattr(ext, f"serialize_{kind}")
        return encode(name, fields)
    return ext._encode_json(kind == "method", name, fields)


def _cmd_encode(args: argparse.Namespace, document: Optional[str]) -> int:
    text = sys.stdin.read() if args.json == "-" else args.json
    try:
        fields = json.loads(text)
    except json.JSONDecodeError as exc:
        _fail(f"invalid JSON: {exc}")
    if not isinstance(fields, dict):
        _fail(f"invalid JSON: the fields must be a JSON object, not {type(fields).__name__}")
    try:
        try:
            data = _serialize("constructor" if args.constructor else "method", args.name, fields,
                              args.lenient)
        except ValueError as exc:
            if args.constructor or not str(exc).startswith("unknown method: "):
                raise
            data = _serialize("constructor", args.name, fields, args.lenient)
    except ValueError as exc:
        if str(exc).startswith("unknown constructor: "):
            what = "a constructor" if args.constructor else "a method or a constructor"
            _fail(f"unknown name: {args.name} is not {what} of the schema")
        _fail(f"encode failed: {exc}")
    except RuntimeError as exc:
        _fail(f"encode failed: {exc}")
    print(data.hex())
    return 0


def _cmd_schema_convert(args: argparse.Namespace, document: Optional[str]) -> int:
    sys.stdout.write(_convert_files(args.files, args.key_exchange_bytes))
    return 0


def _cmd_schema_info(args: argparse.Namespace, document: Optional[str]) -> int:
    print(json.dumps(dict(ext.schema_info()), indent=2))
    return 0


def _cmd_schema_check(args: argparse.Namespace, document: Optional[str]) -> int:
    """Reports on standard output; the status is 1 if any file is refused (warnings alone: 0)."""
    refused = 0
    for is_tl, group in itertools.groupby(args.files, key=lambda path: path.endswith(".tl")):
        names = list(group)
        if is_tl:
            refused += _check_tl(names)
        else:
            refused += sum(_check_document(name, _read_text(name)) for name in names)
    return 1 if refused else 0


def _check_tl(paths: list[str]) -> int:
    """Consecutive TL files, converted together: each warning and error, then the document's
    check. Returns 1 if the text or its document is refused."""
    texts = [_read_text(path) for path in paths]
    try:
        document, found = tlschema.convert_with_warnings(*texts, names=paths)
    except tlschema.TLSchemaError as exc:
        print(f"{exc.source}:{exc.line}:{exc.column}: error: {exc.reason}")
        return 1
    for warning in found:
        print(f"{warning.source}:{warning.line}: warning: {warning.message}")
    return _check_document(", ".join(paths), document)


def _check_document(label: str, document: str) -> int:
    """Loads a document; reports the module's refusal, or constructors that share an
    identifier, then a summary. Returns 1 if refused."""
    try:
        summary = ext.load_schema(document)
    except ValueError as exc:
        print(f"{label}: error: {exc}{_tl_hint(document)}")
        return 1
    for warning in _shared_identifiers(json.loads(document)):
        print(f"{label}: warning: {warning}")
    print(f"{label}: ok: layer {summary['layer']}, {summary['methods']} methods,"
          f" {summary['constructors']} constructors")
    return 0


def _shared_identifiers(doc: Any) -> list[str]:
    """Constructors of a loaded document whose identifier an earlier one has: decoding
    finds only the later."""
    constructors = _document_parts(doc)[2]
    first: dict[int, str] = {}
    found = []
    for name, record in (constructors.items() if isinstance(constructors, dict) else ()):
        cid = record["cid"] if isinstance(record, dict) else record[0]
        if cid in first:
            found.append(f"constructors {first[cid]} and {name} share the identifier"
                         f" {format_cid(cid)}; decoding finds {name}, the later")
        first.setdefault(cid, name)
    return found


def _add_global_options(parser: argparse.ArgumentParser, dest: str) -> None:
    """The options taken before the command and after it alike."""
    parser.add_argument("--schema", metavar="FILE", action="append", dest=dest,
                        help="load this schema first: a JSON schema document, or TL text"
                             " if the name ends in .tl (default: the compiled-in schema);"
                             " repeated, the files are merged in order")


def _command(commands: Any, name: str, run: Callable[..., int], files: Optional[str] = None,
             **texts: str) -> argparse.ArgumentParser:
    """A command's parser, which takes the global options too, and one or more files where
    ``files`` names them."""
    parser: argparse.ArgumentParser = commands.add_parser(name, **texts)
    _add_global_options(parser, "schema_after")
    if files is not None:
        parser.add_argument("files", metavar=files, nargs="+")
    parser.set_defaults(run=run)
    return parser


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m velmora",
        description="Encode and decode TL messages, convert and check TL schema text.",
        epilog="Exit status: 0 on success, 1 on bad input, 2 on a usage error.")
    parser.add_argument("--version", action="version", version=f"velmora {__version__}")
    _add_global_options(parser, "schema")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    decode = _command(
        commands, "decode", _cmd_decode, help="decode TL bytes to JSON",
        description="Decode one TL object and print it as JSON (bytes as hex strings): a"
                    " constructor, or a method call of the schema in use.")
    decode.add_argument("hex", nargs="?", metavar="HEX",
                        help="the bytes as hex, whitespace allowed; - or nothing reads"
                             " standard input")
    decode.add_argument("--file", metavar="PATH",
                        help="read the raw bytes from this file instead; - reads standard input")
    encode = _command(
        commands, "encode", _cmd_encode, help="encode a method call or a constructor",
        description="Encode NAME (a method, else a constructor) with the fields given as a"
                    " JSON object; print the bytes as hex. bytes, int128 and int256 values"
                    " are given as hex strings, nested objects as objects with \"_\".")
    encode.add_argument("name", metavar="NAME", help="method or constructor name")
    encode.add_argument("json", metavar="JSON",
                        help='the fields, e.g. \'{"nonce": "00ff..."}\'; - reads standard input')
    encode.add_argument("--constructor", action="store_true",
                        help="NAME is a constructor, even if a method has the same name")
    encode.add_argument("--lenient", action="store_true",
                        help="encode as velmora.ext does: wrong values written as defaults, unknown"
                             " keys ignored (by default they are refused, naming the path)")
    schema = commands.add_parser("schema", help="convert or check TL schema text, show the schema",
                                 description="Schema tools.")
    _add_schema_commands(schema.add_subparsers(dest="schema_command", required=True, metavar="ACTION"))
    return parser


def _add_schema_commands(actions: Any) -> None:
    convert = _command(
        actions, "convert", _cmd_schema_convert, "FILE.tl", help="convert .tl files to one schema document",
        description="Print the schema document for the TL files, read in order as one schema"
                    " (each starts in its types section; a name declared again replaces the"
                    " earlier one). Warnings (FILE:LINE: warning: ...) go to standard error; a"
                    " malformed line is an error naming FILE:LINE:COLUMN.")
    convert.add_argument("--no-key-exchange-bytes", dest="key_exchange_bytes",
                         action="store_false",
                         help="keep the key-exchange fields declared string as string"
                              " (by default they become bytes: they carry numbers and ciphertext)")
    _command(
        actions, "check", _cmd_schema_check, "FILE", help="report what is wrong in schema files",
        description="Check TL files (consecutive ones together, as one schema) and JSON schema"
                    " documents: warnings and errors naming FILE:LINE, why the module refuses a"
                    " document (its message, and the fault of the whole document), else a summary."
                    " Exit status 1 if any file is refused; warnings alone leave it 0.")
    _command(actions, "info", _cmd_schema_info, help="summary of the current schema",
             description="Print the layer and the numbers of methods and constructors as JSON.")


def main(argv: Optional[list[str]] = None) -> int:
    """Runs the command line; returns the exit status (argparse exits with 2 on usage errors)."""
    args = _parser().parse_args(argv)
    schemas = (args.schema or []) + (args.schema_after or [])
    try:
        document = _load_schemas(schemas) if schemas else None
        status: int = args.run(args, document)
        return status
    except _Failure as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 1
