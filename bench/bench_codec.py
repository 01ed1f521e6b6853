"""The codec on realistic traffic: one channel message and a page of 1,000 of
them, on two schemas: nine records of the published API schema (bench/data),
and the whole of layer 144 as velmora.tlschema converts the published texts
(tests/vectors/schema, or VELMORA_TL_DIR), where the encoder resolves nested names
among a thousand records. Each is timed next to marshal of the same object
tree, the fastest general serializer the interpreter has, and the pure-Python
codec of bench/, in paired rounds of thread CPU time within one run. Outputs
are checked before anything is timed, and must be the same on both schemas.
"""

import json
import marshal
import os
import pathlib
import statistics
import warnings

from pure_tl_decode import Decoder
from pure_tl_encode import Encoder
from timing import DEFAULT_SCHEMA, fmt_ns, paired_ns, table

import velmora.ext as ext

HERE = pathlib.Path(__file__).resolve().parent
NINE = (HERE / "data/messages_layer144.json").read_text()
TL_DIR = pathlib.Path(os.environ.get("VELMORA_TL_DIR", HERE.parent / "tests/vectors/schema"))
TEXT = "Привет! The meeting moved to 15:30, agenda at https://example.org/agenda — bring the 📎 slides 🚀"


def message(i=0):
    return {
        "_": "message", "out": True, "post": True, "id": 100000 + i,
        "from_id": {"_": "peerUser", "user_id": 777000 + i},
        "peer_id": {"_": "peerChannel", "channel_id": 1234567890},
        "fwd_from": {"_": "messageFwdHeader", "from_id": {"_": "peerUser", "user_id": 42},
                     "from_name": "Alice Example", "date": 1660000000},
        "reply_to": {"_": "messageReplyHeader", "reply_to_msg_id": 99990 + i},
        "date": 1660000000 + i, "message": TEXT,
        "entities": [{"_": "messageEntityBold", "offset": 0, "length": 7},
                     {"_": "messageEntityTextUrl", "offset": 46, "length": 26,
                      "url": "https://example.org/agenda"}],
        "views": 1234, "forwards": 5, "edit_date": 1660000100, "post_author": "Editor",
        "grouped_id": -5 - i,
    }


ROUNDS = 21
ONE = message()
PAGE = {"messages": [message(i) for i in range(1000)], "chats": [], "users": []}


def cases(pure_enc, pure_dec):
    """(work, target of velmora / marshal, velmora call, marshal call, pure call)."""
    one_b = ext.serialize_constructor("message", ONE)
    page_b = ext.serialize_constructor("messages.messages", PAGE)
    one_m = marshal.dumps(ext.loads(one_b))
    page_m = marshal.dumps(ext.loads(page_b))
    return [
        (f"encode one message ({len(one_b)} B)", 0.60,
         lambda: ext.serialize_constructor("message", ONE), lambda: marshal.dumps(ONE),
         lambda: pure_enc.serialize_constructor("message", ONE)),
        (f"encode 1,000 messages ({len(page_b) // 1000} KB)", 1.30,
         lambda: ext.serialize_constructor("messages.messages", PAGE), lambda: marshal.dumps(PAGE),
         lambda: pure_enc.serialize_constructor("messages.messages", PAGE)),
        ("decode one message", 0.45,
         lambda: ext.loads(one_b), lambda: marshal.loads(one_m), lambda: pure_dec.loads(one_b)),
        ("decode 1,000 messages", 0.90,
         lambda: ext.loads(page_b), lambda: marshal.loads(page_m), lambda: pure_dec.loads(page_b)),
    ]


def check(work, ours, base, pure):
    if ours() != pure():
        raise SystemExit(f"{work}: velmora and the pure-Python codec differ")
    if work.startswith("decode") and base() != ours():
        raise SystemExit(f"{work}: marshal's tree differs")


def ratio(num, den):
    """Median of the rounds' ratios num / den, with its interquartile range."""
    r = [a / b for a, b in zip(num, den)]
    q = statistics.quantiles(r, n=4)
    return statistics.median(r), q[0], q[2]


def full_schema():
    """The layer-144 document converted from the TL texts, or None without them."""
    texts = [TL_DIR / "mtproto.tl", TL_DIR / "api.tl"]
    if not all(t.is_file() for t in texts):
        return None
    from velmora import tlschema
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the published texts' known faults, reported by the converter
        return tlschema.convert(*(t.read_text() for t in texts))


def main():
    full = full_schema()
    outputs = []
    try:
        for label, schema in [("nine records", NINE), ("full layer 144", full)]:
            if schema is None:
                print(f"\n{label}: no TL texts in {TL_DIR}, not measured")
                continue
            info = ext.load_schema(schema)
            print(f"\n{label}: {info['constructors']} constructors, {info['methods']} methods")
            outputs.append(run(Encoder(schema), Decoder(json.loads(schema))))
    finally:
        ext.load_schema(DEFAULT_SCHEMA)
    if any(o != outputs[0] for o in outputs):
        raise SystemExit("the two schemas encode the messages differently")


def run(pure_enc, pure_dec):
    """Times the four cases on the schema loaded; returns the encodings."""
    rows = []
    encoded = []
    for work, target, ours, base, pure in cases(pure_enc, pure_dec):
        check(work, ours, base, pure)
        if work.startswith("encode"):
            encoded.append(ours())
        t = paired_ns([ours, base, pure], rounds=ROUNDS)
        r, lo, hi = ratio(t[0], t[1])
        rows.append((work, fmt_ns(statistics.median(t[0])), fmt_ns(statistics.median(t[1])),
                     f"{r:.2f} ({lo:.2f}-{hi:.2f})", f"<= {target:.2f}", "yes" if r <= target else "MISSED",
                     fmt_ns(statistics.median(t[2])), f"{ratio(t[2], t[0])[0]:.1f}x"))
    table(["work", "velmora", "marshal", "velmora / marshal (IQR)", "target", "met",
           "pure Python", "pure / velmora"], rows)
    print(f"Thread CPU time, {ROUNDS} paired rounds; each ratio is the median of the rounds' ratios.")
    return encoded


if __name__ == "__main__":
    main()
