"""Writes the seed corpora of the fuzz targets (run from the repository root).

The TL seeds are written by hand from the compiled-in schema's constructors,
without the codec, so that they do not depend on the code they exercise.
"""
import gzip
import json
import pathlib
import struct

ROOT = pathlib.Path(__file__).resolve().parent
SCHEMA = ROOT.parent / "src" / "schema" / "default_schema.json"


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def tl_bytes(b):
    head = bytes([len(b)]) if len(b) < 254 else b"\xfe" + len(b).to_bytes(3, "little")
    out = head + b
    return out + bytes(-len(out) % 4)


VECTOR = u32(0x1CB5C415)
BOOL_TRUE = u32(0x997275B5)

codec = {
    "inputPeerSelf": u32(0x7DA07EC9),
    "inputPeerUser": u32(0xDDE8A54C) + u64(42) + u64(2**63),
    "resPQ": u32(0x05162463) + bytes(range(16)) + bytes(range(16, 32)) + tl_bytes(b"\x17\xed\x48\x94\x1a\x08\xf9\x81")
    + VECTOR + u32(2) + u64(0xC3B42B026CE86B21) + u64(1),
    "inputClientProxy": u32(0x75588B3F) + tl_bytes("prøxy.example".encode()) + u32(443),
    "codeSettings": u32(0xAD253D78) + u32((1 << 0) | (1 << 6) | (1 << 8)) + VECTOR + u32(1) + tl_bytes(b"tok")
    + tl_bytes(b"token") + BOOL_TRUE,
    "rpc_result": u32(0xF35C6D01) + u64(7) + u32(0x7DA07EC9),
    "msg_container": u32(0x73F1F8DC) + u32(1) + u64(5) + u32(3) + u32(4) + u32(0x7DA07EC9),
    "long_string": u32(0x922E55A9) + tl_bytes(b"x" * 300),
    "unknown": u32(0xDEADBEEF) + b"\x01\x02\x03",
    "method_bytes": u32(0xBE7E8EF1) + bytes(16),
}

for name, data in codec.items():
    path = ROOT / "corpus" / "fuzz_codec" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)

schema_seeds = {
    "default.json": SCHEMA.read_bytes(),
    "small.json": b'{"layer": 3, "methods": {"m": {"cid": 1, "fields": [{"name": "x", "type": "int"}]}},'
    b' "constructors": {"c": {"cid": 2, "has_flags": true, "fields": [{"name": "flags", "type": "#"},'
    b' {"name": "v", "type": "Vector", "is_vector": true, "vector_inner": "long", "flag_bit": 0,'
    b' "flags_group": "flags"}]}}}',
    "methods_only.json": b'{"ping": {"cid": 2059302892, "fields": [{"name": "ping_id", "type": "long"}]}}',
    "bad.json": b'{"methods": {"m": {"cid": 1.5}}',
}
for name, data in schema_seeds.items():
    path = ROOT / "corpus" / "fuzz_schema" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)

# unpack: a body of each kind it splits, inflates or decodes by result type.
PEER = u32(0x7DA07EC9)
GZIP_PEER = u32(0x3072CFA1) + tl_bytes(gzip.compress(PEER, mtime=0))
unpack_seeds = {
    "container": u32(0x73F1F8DC) + u32(2) + u64(5) + u32(1) + u32(4) + PEER + u64(6) + u32(3) + u32(len(GZIP_PEER))
    + GZIP_PEER,
    "rpc_result_vector": u32(0xF35C6D01) + u64(1) + VECTOR + u32(2) + u64(3) + u64(4),
    "rpc_result_gzip": u32(0xF35C6D01) + u64(2) + GZIP_PEER,
    "gzip": GZIP_PEER,
}
# envelope: bodies; the first byte's low bit picks the sender.
envelope_seeds = {"empty": b"", "client_body": bytes(range(0, 64, 2)), "server_body": bytes(range(1, 130))}
for target, seeds in (("fuzz_unpack", unpack_seeds), ("fuzz_envelope", envelope_seeds)):
    for name, data in seeds.items():
        path = ROOT / "corpus" / target / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)

# handshake: the first byte picks the step whose answer the rest is; step 3 takes the
# plaintext of server_DH_inner_data. The known exchange's own answers, and inner data
# made from the published prime and an in-range g_a.
KNOWN = json.loads((ROOT.parent / "tests" / "vectors" / "handshake.json").read_text())
REPLIES = [bytes.fromhex(r) for r in KNOWN["exchanges"][0]["replies"]]
PRIME = bytes.fromhex(KNOWN["dh_params"][1]["p"])
G_A = bytes.fromhex(KNOWN["g_range"]["cases"][6]["value"])
INNER = u32(0xB5890DBA) + REPLIES[0][4:36] + u32(3) + tl_bytes(PRIME) + tl_bytes(G_A) + u32(1765000000)
handshake_seeds = {f"step{i}": bytes([i]) + r for i, r in enumerate(REPLIES)}
handshake_seeds["step3_inner"] = b"\3" + INNER
for name, data in handshake_seeds.items():
    path = ROOT / "corpus" / "fuzz_handshake" / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
