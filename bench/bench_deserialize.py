"""loads against a pure-Python decoder driven by the same default schema
document, on three messages of the default schema. Results are compared
first; the table shows both times and the ratio."""

import json
import struct

from timing import DEFAULT_SCHEMA, fmt_ns, per_call_ns, table

import velmora.ext as ext
from pure_tl_decode import Decoder

DOC = json.loads(DEFAULT_SCHEMA)


def u32(*xs):
    return struct.pack(f"<{len(xs)}I", *xs)


def res_pq(fingerprints):
    pq = bytes.fromhex("17ED48941A08F981")
    return (u32(0x05162463) + bytes(range(16)) + bytes(range(16, 32)) + bytes([len(pq)]) + pq
            + b"\x00" * 3 + u32(0x1CB5C415, len(fingerprints))
            + struct.pack(f"<{len(fingerprints)}q", *fingerprints))


CASES = [
    ("inputPeerUser", u32(0xDDE8A54C) + struct.pack("<qq", 123456789, -987654321), 200),
    ("resPQ, 3 fingerprints", res_pq([-3, 2 ** 62, 17]), 500),
    ("resPQ, 10,000 fingerprints", res_pq([(i * 0x9E3779B97F4A7C15) % 2 ** 63 for i in range(10_000)]),
     150_000),
]


def main():
    ext.load_schema(DEFAULT_SCHEMA)
    pure = Decoder(DOC)
    rows = []
    for name, data, target_ns in CASES:
        assert ext.loads(data) == pure.loads(data), name
        ours = per_call_ns(lambda: ext.loads(data))
        base = per_call_ns(lambda: pure.loads(data))
        rows.append([name, fmt_ns(ours), fmt_ns(base), f"{base / ours:.1f}x",
                     f"<= {fmt_ns(target_ns)}, >= 15x"])
    table(["loads", "velmora", "pure Python", "ratio (pure / velmora)", "target"], rows)


if __name__ == "__main__":
    main()
