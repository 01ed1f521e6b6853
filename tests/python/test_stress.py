"""Threads: schema swaps under concurrent codec calls and the deepest nesting on a small stack (AES-IGE from
many threads at once is the C++ tests', on every backend)."""
import json
import os
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import velmora
import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, deep, load_nesting_schema, nested, u32, u64

ROUNDS = 60 if os.environ.get("VELMORA_VALGRIND") else 1500
# The default schema, and a copy with a layer and a method more: every call must see one of them whole.
OTHER = json.loads(DEFAULT_SCHEMA_TEXT)
OTHER.update(layer=1, methods={**OTHER["methods"], "extra": {"cid": 1, "fields": []}})
DOCS = [DEFAULT_SCHEMA_TEXT, json.dumps(OTHER)]
SUMMARIES = [{"layer": 0, "methods": 21, "constructors": 27}, {"layer": 1, "methods": 22, "constructors": 27}]
USER, USER_BYTES = {"_": "inputPeerUser", "user_id": 7, "access_hash": 2**62 + 3}, u32(0xDDE8A54C) + u64(7, 2**62 + 3)
PROXY = {"_": "inputClientProxy", "address": "host.", "port": 443}
PROXY_BYTES = u32(0x75588B3F) + b"\x05host.\0\0" + u32(443)


def in_threads(targets, stack_size=0):
    old = threading.stack_size(stack_size)  # taken when a thread starts
    try:
        with ThreadPoolExecutor(len(targets)) as pool:
            futures = [pool.submit(target) for target in targets]
    finally:
        threading.stack_size(old)
    for future in futures:
        future.result()  # a failure in a thread fails the test


def test_schema_swaps_under_concurrent_codec_calls(restore_default_schema):
    start = threading.Barrier(8)

    def loader():
        start.wait()
        for i in range(ROUNDS // 5):
            assert ext.load_schema(DOCS[i % 2]) == SUMMARIES[i % 2]

    def worker():
        start.wait()
        for _ in range(ROUNDS):
            assert [ext.dumps(USER), ext.serialize_constructor("inputClientProxy", PROXY),
                    ext.serialize_method("req_pq_multi", {"nonce": bytes(16)})] == \
                [USER_BYTES, PROXY_BYTES, u32(0xBE7E8EF1) + bytes(16)]
            assert [ext.loads(USER_BYTES), ext.deserialize_constructor(PROXY_BYTES)] == [USER, PROXY]
            assert ext.schema_info() in SUMMARIES

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches between calls
    try:
        in_threads([loader] * 2 + [worker] * 6)
    finally:
        sys.setswitchinterval(old)


def test_deepest_nesting_fits_a_small_thread_stack(restore_default_schema):
    in_threads([lambda: [dumps(deep(99, vectors)) for dumps in (ext.dumps, velmora.dumps) for vectors in (False, True)]],
               stack_size=256 * 1024)
    load_nesting_schema()
    in_threads([lambda: [ext.loads(nested(kind, 99)) for kind in ("vector", "object", "field")]], stack_size=256 * 1024)
