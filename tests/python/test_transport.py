"""velmora.transport against the independent known answers of transport.json, every stream fed back in
every chunking; refusals; hypothesis round trips of every codec, both sides."""
import os
import struct

import pytest
from hypothesis import given, strategies as st

from conftest import TRANSPORT_VECTORS as V
import velmora.transport as t

PACKETS = [bytes.fromhex(p) for p in V["packets"]]
KINDS = {"abridged": t.Abridged, "intermediate": t.Intermediate, "padded_intermediate": t.PaddedIntermediate,
         "full": t.Full}
H = bytes.fromhex
# Every chunk size, but under the memory checkers (the C++ tests take every size there too).
STRIDE = 97 if os.environ.get("VELMORA_VALGRIND") or os.environ.get("VELMORA_SANITIZED") else 1


def fed(codec, stream, chunk):
    return [p for i in range(0, len(stream), chunk) for p in codec.feed(stream[i:i + chunk])]


@pytest.mark.parametrize("kind", KINDS)
def test_plain_streams(kind):
    v, codec = V["framing"][kind], KINDS[kind]()
    framed = [codec.pack(p) for p in PACKETS]
    assert codec.start() == H(v["tag"]) and codec.kind == kind
    if kind == "padded_intermediate":  # random padding: the layout, and the published stream read back
        pads = [len(f) - 4 - len(p) for f, p in zip(framed, PACKETS)]
        assert [f[4:4 + len(p)] for f, p in zip(framed, PACKETS)] == PACKETS and max(pads) <= 15
        assert [struct.unpack_from("<I", f)[0] for f in framed] == [len(f) - 4 for f in framed]
    else:
        assert b"".join(framed) == H(v["stream"])
    for chunk in (1, 3, 4, 5, 64, 1000, len(v["stream"])):
        assert fed(KINDS[kind](), H(v["stream"]), chunk) == PACKETS


@pytest.mark.parametrize("case", V["obfuscated"], ids=lambda c: f"{c['kind']}-{c['dc_id']}-{bool(c['secret'])}")
def test_obfuscated_connections(case):
    secret = case["secret"] and H(case["secret"])
    client = t.Obfuscated(KINDS[case["kind"]](), dc_id=case["dc_id"], secret=secret, _header=H(case["header_random"]))
    assert client.start() == H(case["header_sent"])
    kind, dc_id, server = t.Obfuscated.accept(H(case["header_sent"]), secret=secret)
    assert (kind, server.start()) == (case["kind"], b"") and (case["dc_id"] is None or dc_id == case["dc_id"])
    cs, ss = H(case["client_stream"]), H(case["server_stream"])
    if kind != "padded_intermediate":
        assert (b"".join(map(client.pack, PACKETS)), b"".join(map(server.pack, PACKETS))) == (cs, ss)
    for chunk in range(1, len(cs) + 1, STRIDE):
        _, _, server = t.Obfuscated.accept(H(case["header_sent"]), secret=secret)
        client = t.Obfuscated(KINDS[kind](), dc_id=case["dc_id"], secret=secret, _header=H(case["header_random"]))
        assert (fed(server, cs, chunk), fed(client, ss, chunk)) == (PACKETS, PACKETS), chunk


# The first refusal (a CRC) gives 52 as the length of its 16 bytes: read as the 16-byte frame it is.
@pytest.mark.parametrize("case", V["refusals"], ids=lambda c: c["why"])
def test_refusals_and_error_codes(case):
    codec, stream = KINDS[case["kind"]](), H(case["stream"])
    stream = bytes([16]) + stream[1:] if case["why"] == "crc32 differs" else stream
    cls = t.TransportError if "code" in case else t.FramingError
    with pytest.raises(cls) as e:
        codec.feed(stream)
    assert str(e.value) == case["why"] and getattr(e.value, "code", None) == case.get("code")
    if "code" in case:  # the stream reads on
        assert codec.feed(codec.pack(PACKETS[0])) == [PACKETS[0]]
    else:
        for call in (lambda: codec.feed(b""), lambda: codec.pack(PACKETS[0])):
            with pytest.raises(t.FramingError, match="^stream already refused: " + case["why"]):
                call()


def test_packets_before_an_error_code_and_after_it():
    codec = t.Abridged()
    with pytest.raises(t.TransportError) as e:
        codec.feed(codec.pack(PACKETS[0]) + codec.pack(PACKETS[1]) + H("0153feffff") + codec.pack(PACKETS[2])[:9])
    assert (e.value.code, e.value.packets) == (-429, PACKETS[:2])
    assert codec.feed(codec.pack(PACKETS[2])[9:]) == [PACKETS[2]]


@pytest.mark.parametrize("call, error", [
    (lambda: t.Intermediate().pack(b""), t.FramingError("empty payload")),
    (lambda: t.Full().pack(b"abc"), t.FramingError("payload length not a multiple of 4")),
    (lambda: t.Abridged(max_packet=8).pack(bytes(12)), t.FramingError("payload over max_packet")),
    (lambda: t.Intermediate(max_packet=8).feed(H("0c000000")), t.FramingError("length over the limit")),
    (lambda: t.Abridged().feed(b"\x80"), t.FramingError("abridged length byte over 7f")),
    (lambda: t.Full().feed(H("08000000")), t.FramingError("length under the 12 bytes of a full packet")),
    (lambda: t.PaddedIntermediate().feed(H("0800000001000000ffffffff")), t.FramingError("padded packet of unknown layout")),
    (lambda: t.Abridged(max_packet=3), ValueError("max_packet must be from 4 to 67108860")),
    (lambda: t.Abridged(max_packet=2**70), ValueError("max_packet must be from 4 to 67108860")),
    (lambda: t.Full(5), TypeError("Full() takes 0 positional arguments but 1 were given")),
    (lambda: t.Obfuscated(t.Full()), ValueError("the full codec cannot be obfuscated")),
    (lambda: t.Obfuscated(b""), TypeError("codec must be an Abridged, Intermediate or PaddedIntermediate")),
    (lambda: t.Obfuscated(t.Abridged(), dc_id=2**15), ValueError("dc_id must be None or an int from -32768 to 32767")),
    (lambda: t.Obfuscated(t.Abridged(), secret=b"\xdd" * 17), ValueError("a secret beginning dd needs the padded intermediate codec")),
    (lambda: t.Obfuscated(t.Abridged(), secret=b"s" * 15), ValueError("secret must be 16 bytes, or 17 beginning dd")),
    (lambda: t.Obfuscated.accept(bytes(63)), t.FramingError("header must be 64 bytes")),
    (lambda: t.Obfuscated.accept(bytes(64)), t.FramingError("header carries no codec tag")),
])
def test_argument_and_payload_refusals(call, error):
    with pytest.raises(type(error)) as e:
        call()
    assert str(e.value) == str(error)


def test_pack_refusal_leaves_the_codec_working():
    codec = t.Full()
    with pytest.raises(t.FramingError):
        codec.pack(b"abc")
    assert t.Full().feed(codec.pack(PACKETS[0])) == [PACKETS[0]]  # sequence number 0 still


CODECS = [*KINDS.values(), *(lambda c=c: t.Obfuscated(c(), secret=b"s" * 16) for c in KINDS.values() if c is not t.Full),
          lambda: t.Obfuscated(t.PaddedIntermediate(), dc_id=-3, secret=b"\xdd" + b"s" * 16)]


@pytest.mark.parametrize("make", CODECS)
@given(packets=st.lists(st.binary(min_size=1, max_size=700).map(lambda b: b + bytes(-len(b) % 4)), max_size=8),
       cuts=st.lists(st.integers(0, 6000), max_size=10))
def test_round_trip_both_ways(make, packets, cuts):
    # Packets led by a nonzero key id: padded intermediate reads them as encrypted messages (24 + 16k bytes).
    packets = [b"\x01" + p[1:] + bytes(-(len(p) - 24) % 16 if len(p) >= 24 else 24 - len(p)) for p in packets]
    client = make()
    if isinstance(client, t.Obfuscated):
        _, _, server = t.Obfuscated.accept(client.start(), secret=b"s" * 16)
    else:
        server = type(client)()
    for a, b in ((client, server), (server, client)):
        stream = b"".join(map(a.pack, packets))
        edges = sorted({0, len(stream), *(c for c in cuts if c < len(stream))})
        assert [p for i, j in zip(edges, edges[1:]) for p in b.feed(memoryview(stream)[i:j])] == packets
