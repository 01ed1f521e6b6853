"""Threads: schema swaps under concurrent codec calls and the deepest nesting on a small stack (AES-IGE from
many threads at once is the C++ tests', on every backend)."""
import json
import os
import subprocess
import sys
import sysconfig
import threading
from concurrent.futures import ThreadPoolExecutor

import velmora
import velmora.ext as ext
import velmora.message
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


def thread_jobs(t):
    """One thread's calls, its inputs its own (seeded by t), each returning what a single-threaded run must match."""
    users = [{"_": "inputPeerUser", "user_id": t * 1000 + i, "access_hash": 2**62 + t + i} for i in range(50)]
    encoded = [ext.dumps(u) for u in users]
    key, iv, data = bytes(range(t, t + 32)), bytes(range(t, t + 32)), bytes(range(256)) * (t + 1)
    auth_key = bytes((t + i) % 256 for i in range(256))
    body = ext.dumps(users[0])
    return [
        lambda: [ext.dumps(u) for u in users] + [velmora.dumps(u) for u in users],
        lambda: [ext.loads(b) for b in encoded],
        lambda: ext.load_schema(DOCS[t % 2]) in SUMMARIES,
        lambda: [ext.aes_ige_enc(data, key, iv), ext.aes_gcm_encrypt(key, iv[:12], data, body)],
        lambda: velmora.message.decrypt(auth_key, velmora.message.encrypt(auth_key, t, 7, 8 + t * 4, 1, body),
                                        sender="client"),
    ]


def test_eight_threads_match_a_single_threaded_run(restore_default_schema):
    jobs = [thread_jobs(t) for t in range(8)]
    want = [[job() for job in mine] for mine in jobs]
    # The single-threaded answers themselves: what was encoded comes back, the envelope opens to its header.
    assert want[3][1][49] == {"_": "inputPeerUser", "user_id": 3049, "access_hash": 2**62 + 52}
    assert tuple(want[5][4]) == (5, 7, 28, 1, u32(0xDDE8A54C) + u64(5000, 2**62 + 5))
    start = threading.Barrier(8)

    def run(t):
        start.wait()
        for r in range(ROUNDS // 30):
            order = jobs[t][r % 5:] + jobs[t][:r % 5]  # each thread at a different call at any time
            assert [job() for job in order] == want[t][r % 5:] + want[t][:r % 5]

    in_threads([lambda t=t: run(t) for t in range(8)])


def test_the_module_leaves_a_free_threaded_interpreter_without_the_gil():
    # Elsewhere the interpreter reports its GIL on, as it always is.
    code = "import sys, velmora, velmora.message; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}  # the interpreter decides
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env)
    assert out.stdout == f"{not sysconfig.get_config_var('Py_GIL_DISABLED')}\n", out.stderr
