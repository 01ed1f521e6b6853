"""TL decoding: a server's resPQ answer as a dict, and a msg_container split into its messages."""

import pprint
import struct

import velmora
from velmora import message


def u32(*xs):
    return struct.pack(f"<{len(xs)}I", *xs)


# resPQ#05162463 nonce:int128 server_nonce:int128 pq:bytes
#   server_public_key_fingerprints:Vector<long>
nonce = bytes.fromhex("3e0549828cca27e966b301a48fece2fc")
server_nonce = bytes.fromhex("a5cf4d33f4a11ea877ba4aa573907330")
pq = bytes.fromhex("17ed48941a08f981")
res_pq = (u32(0x05162463) + nonce + server_nonce
          + bytes([len(pq)]) + pq + b"\x00" * 3  # TL byte string, padded to 4
          + u32(0x1CB5C415, 1) + struct.pack("<q", -4344800451088585951))

answer = velmora.loads(res_pq)  # strict: bytes after the object would be refused
print("resPQ answer:")
pprint.pprint(answer, sort_dicts=False)
assert answer["pq"] == pq and answer["server_public_key_fingerprints"] == [-4344800451088585951]

# A decrypted body holding a msg_container of two messages: the answer to a
# req_pq_multi sent as message REQ, and a gzip_packed dh_gen_ok. unpack splits
# the container, inflates, and decodes each body (an rpc_result by the method
# it answers, named in pending).
REQ = 0x5E0B8E8C00000004
answer_msg = velmora.dumps({"_": "rpc_result", "req_msg_id": REQ, "result": res_pq})
gen_ok = message.gzip(velmora.dumps({"_": "dh_gen_ok", "nonce": nonce, "server_nonce": server_nonce,
                                     "new_nonce_hash1": bytes(16)}))
body = message.pack_container([(0x5E0B8E8C00000401, 1, answer_msg), (0x5E0B8E8C00000405, 3, gen_ok)])
messages = message.unpack(0x5E0B8E8C00000409, 4, body, pending={REQ: "req_pq_multi"})
print("msg_container, unpacked:")
for msg_id, seq_no, obj in messages:
    print(f"  msg_id {msg_id:#x} seq_no {seq_no}: {obj['_']}")
assert messages[0][2]["result"] == answer and messages[1][2]["_"] == "dh_gen_ok"
