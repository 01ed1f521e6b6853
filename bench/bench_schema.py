"""Schema loading: load_schema of a full-size document against json.loads of the
same text, and the import time of the module (default schema included)."""

import json
import random
import re
import subprocess
import sys

from timing import DEFAULT_SCHEMA, fmt_ns, per_call_ns, table

import velmora.ext as ext

TYPES = ["int", "long", "string", "bytes", "Bool", "double", "int128", "InputPeer", "Peer", "true"]


def generated_document(records=2000, seed=7):
    rnd = random.Random(seed)

    def record(i):
        fields = [{"name": "flags", "type": "#", "is_bare": False, "is_vector": False,
                   "vector_inner": None, "flag_bit": None}]
        for j in range(rnd.randint(2, 9)):
            t = rnd.choice(TYPES)
            vec = rnd.random() < 0.15
            fields.append({
                "name": f"field_{j}", "type": "Vector" if vec else t,
                "is_bare": t == "true", "is_vector": vec, "vector_inner": t if vec else None,
                "flag_bit": j % 32 if rnd.random() < 0.4 else None,
            })
        return {"cid": rnd.getrandbits(32), "fields": fields, "has_flags": True}

    doc = {
        "layer": 200,
        "methods": {f"namespace.someMethodName{i}": record(i) for i in range(records // 4)},
        "constructors": {f"someConstructorName{i}": record(i) for i in range(records - records // 4)},
    }
    return json.dumps(doc, separators=(",", ":"))


def import_time_us():
    proc = subprocess.run([sys.executable, "-X", "importtime", "-c", "import velmora.ext"],
                          capture_output=True, text=True, check=True)
    for line in proc.stderr.splitlines():
        m = re.match(r"import time:\s+(\d+) \|\s+(\d+) \|\s+velmora\.ext$", line)
        if m:
            return int(m.group(1))
    raise RuntimeError(proc.stderr)


def main():
    text = generated_document()
    info = ext.load_schema(text)
    try:
        ours = per_call_ns(lambda: ext.load_schema(text), repeat=5)
        base = per_call_ns(lambda: json.loads(text), repeat=5)
    finally:
        ext.load_schema(DEFAULT_SCHEMA)
    print(f"document: {len(text) / 1e6:.2f} MB, {info['methods'] + info['constructors']} records")
    imports = sorted(import_time_us() for _ in range(7))
    table(
        ["case", "velmora", "baseline", "ratio (baseline / velmora)", "target"],
        [
            ["load_schema vs json.loads", fmt_ns(ours), fmt_ns(base), f"{base / ours:.2f}x", "<= 10 ms, > 1x"],
            ["import velmora.ext (median of 7, -X importtime self)", f"{imports[3]} us", "", "", "<= 5 ms"],
        ],
    )


if __name__ == "__main__":
    main()
