"""Threads that swap the schema while others encode and decode with it.

Every call takes a snapshot of the current schema, so each result must be the
answer of one of the two documents, never a mix and never an error.
"""
import json
import os
import sys
import threading

import velmora.ext as ext

SHARED_CONSTRUCTORS = {
    "inputPeerSelf": {"cid": 0x7DA07EC9, "fields": []},
    "inputPeerUser": {"cid": 0xDDE8A54C, "fields": [
        {"name": "user_id", "type": "long"}, {"name": "access_hash", "type": "long"}]},
    "inputClientProxy": {"cid": 0x75588B3F, "fields": [
        {"name": "address", "type": "string"}, {"name": "port", "type": "int"}]},
}
SHARED_METHODS = {
    "req_pq_multi": {"cid": 0xBE7E8EF1, "fields": [{"name": "nonce", "type": "int128"}]},
}


def document(layer, extra):
    constructors = dict(SHARED_CONSTRUCTORS)
    constructors[f"extra{layer}"] = {"cid": extra, "fields": [{"name": "x", "type": "int"}]}
    methods = dict(SHARED_METHODS)
    for i in range(layer):  # different counts, so schema_info tells them apart
        methods[f"extraMethod{layer}_{i}"] = {"cid": extra + 1 + i, "fields": []}
    return json.dumps({"layer": layer, "methods": methods, "constructors": constructors})


DOCS = [document(1, 0x10000000), document(2, 0x20000000)]
SUMMARIES = [{"layer": 1, "methods": 2, "constructors": 4}, {"layer": 2, "methods": 3, "constructors": 4}]

USER = {"_": "inputPeerUser", "user_id": 7, "access_hash": 2**62 + 3}
USER_BYTES = bytes.fromhex("4ca5e8dd") + (7).to_bytes(8, "little") + (2**62 + 3).to_bytes(8, "little")
PROXY_BYTES = (bytes.fromhex("3f8b5875") + bytes([5]) + b"host." + bytes(2)
               + (443).to_bytes(4, "little"))
NONCE = bytes(range(16))
REQ_BYTES = bytes.fromhex("f18e7ebe") + NONCE

ROUNDS = 60 if os.environ.get("VELMORA_VALGRIND") else 1500


def loader(errors, start):
    start.wait()
    for i in range(ROUNDS // 5):
        summary = ext.load_schema(DOCS[i % 2])
        if summary != SUMMARIES[i % 2]:
            errors.append(("load_schema", summary))


def worker(errors, start):
    start.wait()
    for _ in range(ROUNDS):
        checks = [
            ("dumps", ext.dumps(USER), USER_BYTES),
            ("serialize_constructor", ext.serialize_constructor("inputClientProxy",
                                                               {"address": "host.", "port": 443}), PROXY_BYTES),
            ("serialize_method", ext.serialize_method("req_pq_multi", {"nonce": NONCE}), REQ_BYTES),
            ("loads", ext.loads(USER_BYTES), USER),
            ("deserialize_constructor", ext.deserialize_constructor(PROXY_BYTES),
             {"_": "inputClientProxy", "address": "host.", "port": 443}),
        ]
        for name, got, want in checks:
            if got != want:
                errors.append((name, got))
        info = ext.schema_info()
        if info not in SUMMARIES:
            errors.append(("schema_info", info))


def guarded(target, errors, start):
    def run():
        try:
            target(errors, start)
        except BaseException as exc:  # a failure in a thread must fail the test
            errors.append((target.__name__, repr(exc)))
    return run


def test_schema_swaps_under_concurrent_codec_calls(restore_default_schema):
    ext.load_schema(DOCS[0])
    errors = []
    start = threading.Barrier(8)
    threads = [threading.Thread(target=guarded(loader, errors, start)) for _ in range(2)]
    threads += [threading.Thread(target=guarded(worker, errors, start)) for _ in range(6)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches between calls
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    assert ext.schema_info() in SUMMARIES
