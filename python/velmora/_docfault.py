"""Why a schema document fails as a whole document, found with the json module.

``load_schema`` reads a text as a whole document first and, when that fails, as
a bare methods object; its message is the second reading's. A reader who meant
a whole document wants the first reading's fault: ``whole_document_fault``
gives it, from the json module's line and column for a text that is no JSON at
all, else from the document's own rules (keys, JSON types, ranges, positional
arrays), naming the path to the value.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from typing import Any, Optional

__all__ = ["whole_document_fault"]

# A rule for one value: (value, path) -> the fault, or None.
_Check = Callable[[Any, str], Optional[str]]


class _Object(dict[str, Any]):
    """A JSON object that remembers which of its keys occurred more than once."""

    repeated: set[str]


def _object(pairs: list[tuple[str, Any]]) -> _Object:
    obj = _Object(pairs)
    seen: set[str] = set()
    obj.repeated = set()
    for key, _ in pairs:
        (obj.repeated if key in seen else seen).add(key)
    return obj


def _given(value: Any) -> str:
    """A value as a fault names it: an object or an array by kind, anything else as JSON."""
    if isinstance(value, (dict, list)):
        return "an object" if isinstance(value, dict) else "an array"
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _scalar(expected: str, accepts: Callable[[Any], bool], nullable: bool = False) -> _Check:
    def check(value: Any, path: str) -> Optional[str]:
        if accepts(value) or (nullable and value is None):
            return None
        return f"{path}: {expected}{' or null' if nullable else ''} expected, got {_given(value)}"
    return check


def _is_u32(value: Any) -> bool:
    return type(value) is int and 0 <= value <= 0xFFFFFFFF


def _is_text(value: Any) -> bool:
    return isinstance(value, str)


def _is_flag(value: Any) -> bool:
    return isinstance(value, bool)


def _record(name: str, keys: list[tuple[str, _Check, bool]]) -> _Check:
    """A record in object or positional form, by its table of (key, rule, required)."""
    rules = {key: rule for key, rule, _ in keys}
    least = max(i + 1 for i, (_, _, needed) in enumerate(keys) if needed)

    def check(value: Any, path: str) -> Optional[str]:
        where = path or "the document"
        if isinstance(value, list):
            if not least <= len(value) <= len(keys):
                return (f"{where}: struct {name} with {len(keys)} elements takes {least} to"
                        f" {len(keys)} values, got {len(value)}")
            pairs = list(zip(rules, value))
        elif isinstance(value, dict):
            repeated = [key for key in rules if key in getattr(value, "repeated", ())]
            missing = [key for key, _, needed in keys if needed and key not in value]
            if repeated or missing:
                return (f"{where}: key {repeated[0]!r} occurs twice" if repeated
                        else f"{where}: missing required key {missing[0]!r}")
            pairs = [(key, value[key]) for key in rules if key in value]
        else:
            return f"{where}: struct {name} expected as an object or an array, got {_given(value)}"
        for key, item in pairs:
            fault = rules[key](item, f"{path}.{key}" if path else key)
            if fault:
                return fault
        return None
    return check


def _array_of(item: _Check) -> _Check:
    def check(value: Any, path: str) -> Optional[str]:
        if not isinstance(value, list):
            return f"{path}: an array expected, got {_given(value)}"
        return next(filter(None, (item(entry, f"{path}[{i}]") for i, entry in enumerate(value))), None)
    return check


def _object_of(item: _Check) -> _Check:
    def check(value: Any, path: str) -> Optional[str]:
        if not isinstance(value, dict):
            return f"{path}: an object expected, got {_given(value)}"
        return next(filter(None, (item(entry, f"{path}.{key}") for key, entry in value.items())), None)
    return check


_U32 = _scalar("integer 0 to 4294967295", _is_u32)
_FIELD = _record("TlFieldDef", [
    ("name", _scalar("string", _is_text), True),
    ("type", _scalar("string", _is_text), True),
    ("flag_bit", _scalar("integer 0 to 4294967295", _is_u32, nullable=True), False),
    ("flags_group", _scalar("string", _is_text, nullable=True), False),
    ("is_bare", _scalar("true or false", _is_flag), False),
    ("is_vector", _scalar("true or false", _is_flag), False),
    ("vector_inner", _scalar("string", _is_text, nullable=True), False),
    ("vector_inner_is_vector", _scalar("true or false", _is_flag), False),
])


def _records(name: str) -> _Check:
    return _object_of(_record(name, [("cid", _U32, True), ("fields", _array_of(_FIELD), True),
                                     ("has_flags", _scalar("true or false", _is_flag), False)]))


_DOCUMENT = _record("SchemaInput", [("layer", _U32, False), ("methods", _records("TlMethod"), True),
                                    ("constructors", _records("TlConstructor"), False)])


def whole_document_fault(text: str) -> Optional[str]:
    """The first fault of ``text`` read as a whole schema document, or None if none is found."""
    try:
        document = json.loads(text, object_pairs_hook=_object)
    except json.JSONDecodeError as exc:
        return f"line {exc.lineno} column {exc.colno}: {exc.msg}"
    except RecursionError:
        return "arrays and objects nested too deep"
    return _DOCUMENT(document, "")
