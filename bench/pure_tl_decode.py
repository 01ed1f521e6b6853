"""A careful pure-Python TL decoder over the same JSON schema records: the
baseline the native loads is measured against. Field lists are compiled once
per cid into (name, reader, flag word, bit mask, bare) tuples, and fixed-width
values are read with precompiled struct unpackers."""

import struct

from velmora._flags import flags_word_index

_U32 = struct.Struct("<I").unpack_from
_I32 = struct.Struct("<i").unpack_from
_I64 = struct.Struct("<q").unpack_from
_F64 = struct.Struct("<d").unpack_from
VEC = 0x1CB5C415
BOOL_TRUE = 0x997275B5
MAX_COUNT = 1_000_000


class DecodeError(ValueError):
    pass


def _eof():
    raise DecodeError("unexpected eof")


def _fixed(unpack, width):
    def read(dec, data, pos):
        if pos + width > len(data):
            _eof()
        return unpack(data, pos)[0], pos + width
    return read


def _raw(width):
    def read(dec, data, pos):
        if pos + width > len(data):
            _eof()
        return data[pos:pos + width], pos + width
    return read


def _byte_string(text):
    def read(dec, data, pos):
        n = len(data)
        if pos >= n:
            _eof()
        first = data[pos]
        if first == 255:
            raise DecodeError("bad string len" if text else "bad bytes len")
        if first == 254:
            if pos + 4 > n:
                _eof()
            length = data[pos + 1] | data[pos + 2] << 8 | data[pos + 3] << 16
            start = pos + 4
            end = start + length + (-length % 4)
        else:
            length = first
            start = pos + 1
            end = start + length + (3 - length) % 4
        if end > n:
            _eof()
        payload = data[start:start + length]
        if text:
            try:
                return payload.decode("utf-8"), end
            except UnicodeDecodeError as e:
                if e.reason == "unexpected end of data":
                    raise DecodeError(f"utf8: incomplete utf-8 byte sequence from index {e.start}")
                raise DecodeError(
                    f"utf8: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}")
        return payload, end
    return read


def _bool(dec, data, pos):
    if pos + 4 > len(data):
        _eof()
    return _U32(data, pos)[0] == BOOL_TRUE, pos + 4


def _true(dec, data, pos):
    return True, pos


def _object(dec, data, pos):
    return dec.object(data, pos)


_PRIMITIVES = {
    "#": _fixed(_U32, 4), "int": _fixed(_I32, 4), "Int": _fixed(_I32, 4),
    "long": _fixed(_I64, 8), "Long": _fixed(_I64, 8),
    "double": _fixed(_F64, 8), "Double": _fixed(_F64, 8),
    "int128": _raw(16), "int256": _raw(32),
    "string": _byte_string(True), "String": _byte_string(True),
    "bytes": _byte_string(False), "Bytes": _byte_string(False),
    "Bool": _bool, "boolTrue": _bool, "boolFalse": _bool,
    "true": _true, "True": _true,
}


def _vector(element):
    def read(dec, data, pos):
        if pos + 8 > len(data):
            _eof()
        ident, count = struct.unpack_from("<II", data, pos)
        if ident != VEC:
            raise DecodeError(f"not a vector: {ident:08x}")
        if count > MAX_COUNT:
            raise DecodeError("invalid vector count")
        pos += 8
        out = []
        append = out.append
        for _ in range(count):
            v, pos = element(dec, data, pos)
            append(v)
        return out, pos
    return read


def _reader(type_, is_vector, inner, inner_is_vector):
    if type_ in _PRIMITIVES:
        return _PRIMITIVES[type_]
    if not is_vector:
        return _object
    return _vector(_reader(inner or "int", inner_is_vector, "int", False))


class Decoder:
    def __init__(self, schema_doc, max_depth=100):
        self.max_depth = max_depth
        self.depth = 0
        self.by_cid = {}
        for name, rec in schema_doc.get("constructors", {}).items():
            has_flags = rec.get("has_flags", False)
            fields = []
            for f in rec["fields"]:
                reader = _reader(f["type"], f.get("is_vector", False), f.get("vector_inner"),
                                 f.get("vector_inner_is_vector", False))
                own = flags_word_index(f["name"]) if f["type"] == "#" else -1
                cond = has_flags and f.get("flag_bit") is not None
                group = flags_word_index(f.get("flags_group") or "flags")
                mask = 1 << (f["flag_bit"] % 32) if cond else 0
                fields.append((f["name"], reader, own, cond, group, mask, f.get("is_bare", False)))
            self.by_cid[rec["cid"]] = (name, tuple(fields))

    def loads(self, data):
        self.depth = 0
        return self.object(data, 0)[0]

    def object(self, data, pos):
        self.depth += 1
        try:
            if self.depth > self.max_depth:
                raise DecodeError("nesting too deep")
            if pos + 4 > len(data):
                _eof()
            cid = _U32(data, pos)[0]
            if cid == VEC:
                if pos + 8 > len(data):
                    _eof()
                count = _U32(data, pos + 4)[0]
                if count > MAX_COUNT:
                    raise DecodeError("invalid vector count")
                pos += 8
                out = []
                for _ in range(count):
                    v, pos = self.object(data, pos)
                    out.append(v)
                return out, pos
            rec = self.by_cid.get(cid)
            if rec is None:
                return {"_": "unknownConstructor", "cid": cid, "raw": data[pos:].hex()}, len(data)
            name, fields = rec
            out = {"_": name}
            words = [0] * 8
            pos += 4
            for key, reader, own, cond, group, mask, bare in fields:
                if own >= 0:
                    if pos + 4 > len(data):
                        _eof()
                    w = _U32(data, pos)[0]
                    pos += 4
                    words[own] = w
                    out[key] = w
                    continue
                if cond:
                    if not words[group] & mask:
                        if bare:
                            out[key] = False
                        continue
                    if bare:
                        out[key] = True
                        continue
                out[key], pos = reader(self, data, pos)
            return out, pos
        finally:
            self.depth -= 1
