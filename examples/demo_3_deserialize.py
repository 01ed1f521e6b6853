"""TL decoding: a server's resPQ answer and a msg_container, as dicts."""

import pprint
import struct

import velmora.ext as ext


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

answer = ext.loads(res_pq)
print("resPQ answer:")
pprint.pprint(answer, sort_dicts=False)
assert answer["pq"] == pq and answer["server_public_key_fingerprints"] == [-4344800451088585951]

# msg_container#73f1f8dc messages:vector<%Message>. The schema spells the
# field as a bare vector of bare messages, which the decoder reads as one
# boxed object: the message count lands where an identifier is expected,
# so the contents come back undecoded, as hex, for the caller to split.
ack = u32(0x62D6B459, 0x1CB5C415, 1) + struct.pack("<q", 0x5E0B8E8C00000001)
message = struct.pack("<qii", 0x5E0B8E8C00000004, 3, len(ack)) + ack
container = u32(0x73F1F8DC, 1) + message

decoded = ext.deserialize_constructor(container)
print("msg_container:")
pprint.pprint(decoded, sort_dicts=False)
assert decoded["messages"]["_"] == "unknownConstructor" and decoded["messages"]["cid"] == 1
