"""Serializer speed: the module against a pure-Python encoder over the same schema
document (bench/pure_tl_encode.py), measured in the same run. Outputs are compared
byte for byte before anything is timed."""

import pathlib
import random
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from pure_tl_encode import Encoder  # noqa: E402
from timing import DEFAULT_SCHEMA, fmt_ns, per_call_ns, table  # noqa: E402

import velmora.ext as ext  # noqa: E402

SCHEMA = DEFAULT_SCHEMA

PEER = {"user_id": 123456789, "access_hash": -5284012345678901234}
INIT = {
    "layer": 201,
    "query": {
        "_": "initConnection", "api_id": 2040, "device_model": "Desktop", "system_version": "Linux 6.1",
        "app_version": "5.2.1 x64", "system_lang_code": "en-US", "lang_pack": "tdesktop", "lang_code": "en",
        "query": {"_": "help.getConfig"},
    },
}
ACK = {"msg_ids": [random.Random(1).getrandbits(63) for _ in range(10_000)]}

# name, target per call in ns, module call, baseline call
CASES = [
    ("serialize_constructor inputPeerUser", 200,
     lambda m: m.serialize_constructor("inputPeerUser", PEER)),
    ("invokeWithLayer(initConnection(help.getConfig))", 1000,
     lambda m: m.serialize_method("invokeWithLayer", INIT)),
    ("msgs_ack, 10,000 longs", 100_000,
     lambda m: m.serialize_method("msgs_ack", ACK)),
]
RATIO_TARGET = 20


def main():
    ext.load_schema(SCHEMA)
    pure = Encoder(SCHEMA)
    rows = []
    failed = False
    for name, target, call in CASES:
        ours_bytes, pure_bytes = call(ext), call(pure)
        if ours_bytes != pure_bytes:
            raise SystemExit(f"{name}: outputs differ")
        ours = per_call_ns(lambda: call(ext))
        base = per_call_ns(lambda: call(pure))
        ratio = base / ours
        ok = ours <= target and ratio >= RATIO_TARGET
        failed |= not ok
        rows.append((name, f"{len(ours_bytes)} B", fmt_ns(ours), fmt_ns(target), fmt_ns(base),
                     f"{ratio:.1f}x", "yes" if ok else "MISSED"))
    table(["case", "output", "velmora", "target", "pure Python", "ratio (>= 20x)", "met"], rows)
    if failed:
        print("some targets MISSED")


if __name__ == "__main__":
    # No sys.exit: bench/run.py runs this file in its own process.
    main()
