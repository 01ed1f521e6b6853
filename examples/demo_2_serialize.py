"""TL serialization: the first key-exchange request, and a connection setup
wrapped in invokeWithLayer around help.getConfig."""

import os

import velmora

nonce = os.urandom(16)
req = velmora.serialize_method("req_pq_multi", {"nonce": nonce})
print("req_pq_multi   :", req.hex(" ", 4))
assert req == bytes.fromhex("f18e7ebe") + nonce  # cid, then the 16 nonce bytes

init = velmora.serialize_method("invokeWithLayer", {
    "layer": 201,
    "query": {
        "_": "initConnection",
        "api_id": 2040,
        "device_model": "Desktop",
        "system_version": "Linux",
        "app_version": "1.0",
        "system_lang_code": "en",
        "lang_pack": "",
        "lang_code": "en",
        "query": {"_": "help.getConfig"},  # a nested object may name a method
    },
})
print("invokeWithLayer:", init.hex(" ", 4))
assert init.endswith(bytes.fromhex("6b18f9c4"))

try:
    velmora.serialize_method("req_pq_multi", {"nonce": b"short"})  # strict: the path and the fault
except ValueError as e:
    print("refused        :", e)
