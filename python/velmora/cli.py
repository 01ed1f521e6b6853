"""Command line for velmora: ``python -m velmora {decode,encode,schema} ...``.

Bytes go in and out as hexadecimal text; decoded objects are printed as JSON
with ``bytes`` values shown as hex strings, which ``encode`` accepts back for
``bytes``, ``int128`` and ``int256`` fields.

The codec finds only constructors by identifier. When the schema document is
at hand (``--schema FILE``), ``decode`` also recognises method calls: it
installs a copy of the document in which the methods are constructors too.

``--schema`` may be given several times: the documents (JSON, or TL text for
``*.tl``; consecutive TL files are converted together) are merged in order, a
later record replacing an earlier one of the same name.
"""

from __future__ import annotations

import argparse
import itertools
import json
import sys
from pathlib import Path
from typing import Any, NoReturn, Optional

from . import __version__, ext, tlschema

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


def _with_methods_as_constructors(document: str) -> Optional[str]:
    """The document with each method also listed as a constructor, so that
    decoding finds it by identifier; None if the document's form is not one
    this rewrite understands (decoding then sees constructors only).

    A method that shares its name or identifier with a constructor is left out:
    the constructor keeps its place."""
    try:
        layer, methods, constructors = _document_parts(json.loads(document))
    except ValueError:
        return None
    if not isinstance(methods, dict) or not isinstance(constructors, dict):
        return None

    def cid(record: Any) -> Any:
        if isinstance(record, dict):
            return record.get("cid")
        return record[0] if isinstance(record, list) and record else None

    merged = dict(constructors)
    taken = {cid(record) for record in constructors.values()}
    for name, record in methods.items():
        if name not in merged and cid(record) not in taken:
            merged[name] = record
            taken.add(cid(record))
    return json.dumps({"layer": layer or 0, "methods": {}, "constructors": merged})


def _jsonable(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, dict):
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
    if document is not None:
        merged = _with_methods_as_constructors(document)
        if merged is not None:
            ext.load_schema(merged)
    try:
        decoded = ext.loads(data)
    except ValueError as exc:
        _fail(f"decode failed: {exc}")
    print(json.dumps(_jsonable(decoded), indent=2, ensure_ascii=False))
    if document is None and isinstance(decoded, dict) and decoded.get("_") == "unknownConstructor":
        print(f"velmora: note: {decoded['cid']:08x} is no constructor of the compiled-in schema;"
              " to decode a method call, give its schema with --schema FILE", file=sys.stderr)
    return 0


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
            if args.constructor:
                data = ext.serialize_constructor(args.name, fields)
            else:
                data = ext.serialize_method(args.name, fields)
        except ValueError as exc:
            if args.constructor or not str(exc).startswith("unknown method: "):
                raise
            data = ext.serialize_constructor(args.name, fields)
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


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m velmora",
        description="Encode and decode TL messages, convert TL schema text.",
        epilog="Exit status: 0 on success, 1 on bad input, 2 on a usage error.")
    parser.add_argument("--version", action="version", version=f"velmora {__version__}")
    parser.add_argument("--schema", metavar="FILE", action="append",
                        help="load this schema first: a JSON schema document, or TL text"
                             " if the name ends in .tl (default: the compiled-in schema);"
                             " repeated, the files are merged in order")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    decode = commands.add_parser(
        "decode", help="decode TL bytes to JSON",
        description="Decode one TL object and print it as JSON (bytes as hex strings)."
                    " Method calls are recognised when --schema gives the schema document.")
    decode.add_argument("hex", nargs="?", metavar="HEX",
                        help="the bytes as hex, whitespace allowed; - or nothing reads"
                             " standard input")
    decode.add_argument("--file", metavar="PATH",
                        help="read the raw bytes from this file instead; - reads standard input")
    decode.set_defaults(run=_cmd_decode)

    encode = commands.add_parser(
        "encode", help="encode a method call or a constructor",
        description="Encode NAME (a method, else a constructor) with the fields given as a"
                    " JSON object; print the bytes as hex. bytes, int128 and int256 values"
                    " are given as hex strings, nested objects as objects with \"_\".")
    encode.add_argument("name", metavar="NAME", help="method or constructor name")
    encode.add_argument("json", metavar="JSON",
                        help='the fields, e.g. \'{"nonce": "00ff..."}\'; - reads standard input')
    encode.add_argument("--constructor", action="store_true",
                        help="NAME is a constructor, even if a method has the same name")
    encode.set_defaults(run=_cmd_encode)

    schema = commands.add_parser("schema", help="convert TL schema text, show the schema",
                                 description="Schema tools.")
    schema_commands = schema.add_subparsers(dest="schema_command", required=True, metavar="ACTION")
    convert = schema_commands.add_parser(
        "convert", help="convert .tl files to one schema document",
        description="Print the schema document for the TL files, read in order as one schema"
                    " (each starts in its types section; a name declared again replaces the"
                    " earlier one). Warnings (FILE:LINE: warning: ...) go to standard error; a"
                    " malformed line is an error naming FILE:LINE:COLUMN.")
    convert.add_argument("files", metavar="FILE.tl", nargs="+")
    convert.add_argument("--no-key-exchange-bytes", dest="key_exchange_bytes",
                         action="store_false",
                         help="keep the key-exchange fields declared string as string"
                              " (by default they become bytes: they carry numbers and ciphertext)")
    convert.set_defaults(run=_cmd_schema_convert)
    info = schema_commands.add_parser(
        "info", help="summary of the current schema",
        description="Print the layer and the numbers of methods and constructors as JSON.")
    info.set_defaults(run=_cmd_schema_info)
    return parser


def main(argv: Optional[list[str]] = None) -> int:
    """Runs the command line; returns the exit status (argparse exits with 2 on usage errors)."""
    args = _parser().parse_args(argv)
    try:
        document = _load_schemas(args.schema) if args.schema else None
        status: int = args.run(args, document)
        return status
    except _Failure as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 1
