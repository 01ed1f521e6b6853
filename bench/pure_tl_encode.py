"""A pure-Python TL encoder over the same JSON schema records, for comparison.

It follows the module's rules (flags words in two passes, byte sources, hex
text, nested objects looked up among constructors first) and is written for
speed as a careful Python programmer would: records are compiled once into
tuples, integers go through precompiled struct.Struct objects, and every value
is appended to one bytearray per call.
"""

import json
import struct

from velmora._flags import flags_word_index

_U32 = struct.Struct("<I").pack
_U64 = struct.Struct("<Q").pack
_F64 = struct.Struct("<d").pack
_VECTOR = _U32(0x1CB5C415)
_TRUE = _U32(0x997275B5)
_FALSE = _U32(0xBC799737)
_M32 = 0xFFFFFFFF
_M64 = 0xFFFFFFFFFFFFFFFF
_HEX = frozenset("0123456789abcdefABCDEF")

(FLAGS, INT, LONG, DOUBLE, INT128, INT256, STRING, BYTES, BOOL, TRUE, VECTOR, OBJECT) = range(12)
_PRIMITIVE = {
    "#": FLAGS, "int": INT, "Int": INT, "long": LONG, "Long": LONG, "double": DOUBLE, "Double": DOUBLE,
    "int128": INT128, "int256": INT256, "string": STRING, "String": STRING, "bytes": BYTES, "Bytes": BYTES,
    "Bool": BOOL, "boolTrue": BOOL, "boolFalse": BOOL, "true": TRUE, "True": TRUE,
}
_FIELD_KEYS = ("name", "type", "flag_bit", "flags_group", "is_bare", "is_vector", "vector_inner",
               "vector_inner_is_vector")
MAX_DEPTH = 100


class EncodeError(ValueError):
    pass


def classify(type_name, is_vector):
    kind = _PRIMITIVE.get(type_name)
    if kind is not None:
        return kind
    return VECTOR if is_vector else OBJECT


def _is_hex(t):
    return len(t) % 2 == 0 and all(c in _HEX for c in t)


def _to_int(v):
    if not isinstance(v, int):
        try:
            v = v.__index__()
        except Exception:
            raise EncodeError("int expected") from None
    if -(2**63) <= v <= _M64:
        return v
    raise EncodeError("int expected")


def _to_bool(v):
    if v is True or v is False:
        return v
    t = type(v)
    if getattr(t, "__module__", None) == "numpy" and getattr(t, "__name__", None) in ("bool_", "bool"):
        return bool(v)
    return None


def _byte_source(v):
    if isinstance(v, bytes):
        return v
    if isinstance(v, str):
        if v and _is_hex(v):
            return bytes.fromhex(v)
        return v.encode()
    if isinstance(v, list):
        return bytes([_to_int(x) & 0xFF for x in v])
    raise EncodeError("bytes expected")


def _byte_string(out, b):
    n = len(b)
    if n < 254:
        out.append(n)
        out += b
        out += b"\0" * ((3 - n) % 4)
    elif n <= 0xFFFFFF:
        out += _U32(0xFE | n << 8)
        out += b
        out += b"\0" * (-n % 4)
    else:
        raise EncodeError("bytes too long")


class Encoder:
    def __init__(self, schema_json):
        doc = json.loads(schema_json)
        self.methods = {n: self._compile(r) for n, r in doc["methods"].items()}
        self.constructors = {n: self._compile(r) for n, r in doc.get("constructors", {}).items()}

    @staticmethod
    def _compile(rec):
        fields = []
        for f in rec["fields"]:
            if isinstance(f, list):
                f = dict(zip(_FIELD_KEYS, f))
            kind = classify(f["type"], f.get("is_vector", False))
            inner = f.get("vector_inner")
            element = classify(inner if inner is not None else "int", f.get("vector_inner_is_vector", False))
            bit = f.get("flag_bit")
            group = f.get("flags_group")
            conditional = bit is not None and rec.get("has_flags", False)
            fields.append((f["name"], kind, element, bit if conditional else None,
                           1 << (bit % 32) if conditional else 0,
                           flags_word_index(group if group is not None else "flags"),
                           flags_word_index(f["name"]), f.get("is_bare", False)))
        return rec["cid"], rec.get("has_flags", False), tuple(fields)

    # -- the three entry points ----------------------------------------------

    def serialize_method(self, method, args):
        rec = self.methods.get(method)
        if rec is None:
            raise ValueError("unknown method: " + method)
        return self._top(method, args, rec)

    def serialize_constructor(self, name, args):
        rec = self.constructors.get(name)
        if rec is None:
            raise ValueError("unknown constructor: " + name)
        return self._top(name, args, rec)

    def dumps(self, obj):
        if isinstance(obj, bytes):
            return bytes(obj)
        if not isinstance(obj, dict):
            raise ValueError("TL args must be a dict")
        name = obj.get("_")
        if not isinstance(name, str):
            raise ValueError("dumps requires _ constructor name")
        out = bytearray()
        try:
            self._nested_object(out, name, obj, 0)
        except EncodeError as e:
            raise ValueError(str(e)) from None
        return bytes(out)

    def _top(self, name, args, rec):
        if not isinstance(args, dict):
            raise ValueError("TL args must be a dict")
        out = bytearray()
        try:
            self._object(out, name, args, rec, 1)
        except EncodeError as e:
            raise ValueError(str(e)) from None
        return bytes(out)

    # -- writers -----------------------------------------------------------------

    def _object(self, out, name, d, rec, depth):
        cid, has_flags, fields = rec
        out += _U32(cid)
        get = d.get
        missing = _MISSING
        if not has_flags:
            for f in fields:
                v = get(f[0], missing)
                if v is missing:
                    raise EncodeError(f"{name}: missing required field {f[0]}")
                self._field(out, name, f, v, depth)
            return
        words = [0] * 8
        for fname, _, _, bit, mask, group, _, bare in fields:
            if bit is None:
                continue
            v = get(fname)
            if v is None or (bare and not _to_bool(v)):
                continue
            words[group] |= mask
        for f in fields:
            if f[1] == FLAGS:
                out += _U32(words[f[6]])
                continue
            v = get(f[0], missing)
            if f[3] is None:
                if v is missing:
                    raise EncodeError(f"{name}: missing required field {f[0]}")
            elif v is missing or v is None or f[7]:
                continue
            self._field(out, name, f, v, depth)

    def _field(self, out, name, f, v, depth):
        try:
            self._value(out, f[1], f[2], v, depth)
        except EncodeError as e:
            raise EncodeError(f"{name}:{f[0]}: {e}") from None

    def _value(self, out, kind, element, v, depth):
        if kind == INT or kind == FLAGS:
            out += _U32(_to_int(v) & _M32)
        elif kind == LONG:
            if isinstance(v, bytes):
                if len(v) != 8:
                    raise EncodeError("int expected")
                out += v
            elif isinstance(v, str):
                if len(v) != 16 or not _is_hex(v):
                    raise EncodeError("int expected")
                out += bytes.fromhex(v)
            else:
                out += _U64(_to_int(v) & _M64)
        elif kind == STRING:
            if isinstance(v, str):
                b = v.encode()
            elif isinstance(v, bytes):
                b = v
            else:
                b = b""
            _byte_string(out, b)
        elif kind == BYTES:
            _byte_string(out, _byte_source(v))
        elif kind == VECTOR:
            if not isinstance(v, (list, tuple)):
                raise EncodeError("vector expected array")
            out += _VECTOR
            out += _U32(len(v))
            inner = INT if element == VECTOR else element
            value = self._value
            for item in v:
                value(out, element, inner, item, depth)
        elif kind == OBJECT:
            self._nested(out, v, depth)
        elif kind == BOOL:
            out += _TRUE if _to_bool(v) else _FALSE
        elif kind == DOUBLE:
            try:
                out += _F64(float(v))
            except Exception:
                raise EncodeError("double expected") from None
        elif kind == INT128:
            b = _byte_source(v)
            if len(b) == 16:
                out += b
            elif len(b) == 8:
                out += b + bytes(8)
            else:
                try:
                    x = _to_int(v)
                except EncodeError:
                    x = 0
                out += _U64(x & _M64) + bytes(8)
        elif kind == INT256:
            b = _byte_source(v)
            if len(b) != 32:
                raise EncodeError("int256 must be 32 bytes")
            out += b
        # TRUE: nothing on the wire

    def _nested(self, out, v, depth):
        if isinstance(v, dict):
            name = v.get("_")
            if not isinstance(name, str):
                raise EncodeError("nested object missing _")
            self._nested_object(out, name, v, depth)
        elif isinstance(v, bytes):
            out += v
        elif isinstance(v, str):
            if v:
                if not _is_hex(v):
                    raise EncodeError("nested field expected dict or bytes, got string")
                out += bytes.fromhex(v)
        else:
            raise EncodeError("nested field expected dict or bytes")

    def _nested_object(self, out, name, d, depth):
        if depth >= MAX_DEPTH:
            raise EncodeError("nesting too deep")
        rec = self.constructors.get(name) or self.methods.get(name)
        if rec is None:
            raise EncodeError("unknown constructor " + name)
        try:
            self._object(out, name, d, rec, depth + 1)
        except EncodeError as e:
            raise EncodeError(f"ValueError: {e}") from None


_MISSING = object()
