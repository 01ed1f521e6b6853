"""The session: msg_id and seq_no, every check of a received frame (the session unchanged after a
refusal), the service messages' effects, acks; the server's side is built here from the published
schema text and velmora.message.encrypt(..., sender="server")."""
import copy
import json
import re

import pytest
from hypothesis import given, strategies as st

from conftest import DEFAULT_SCHEMA_TEXT, ENVELOPE_VECTORS, PUBLISHED_TL, outcome, tl_bytes, u32, u64
import velmora.ext as ext
from velmora import message
from velmora.session import WINDOW, Received, SecurityError, Session

KEY = bytes.fromhex(ENVELOPE_VECTORS["cases"][0]["auth_key"])
T = 1_700_000_000
TL = "\n".join(PUBLISHED_TL.values())
DECLS = {m[0]: (int(m[1], 16), re.findall(r"(\w+):(\S+)", m[2])) for m in re.findall(r"^([\w.]+)#([0-9a-f]+) ([^=]*)=", TL, re.M)}


def tl(name, **values):
    """A record as the published text lays it out (the few field types the session's records use)."""
    cid, fields = DECLS[name]
    out = u32(cid)
    for field, kind in fields:
        v = values.get(field, 0)
        out += {"long": lambda: u64(v), "int": lambda: u32(v), "#": lambda: u32(v), "string": lambda: tl_bytes(v or b""),
                "Vector<long>": lambda: u32(0x1CB5C415, len(v)) + u64(*v),
                "vector<future_salt>": lambda: u32(len(v)) + b"".join(tl("future_salt", **s)[4:] for s in v),
                }.get(kind, lambda: b"")()
    return out


class Server:
    """The other side of one session: server ids counting up from T, frames sealed as a server does."""

    def __init__(self, session, start=T):
        self.session, self.last = session, (start << 32) + 1

    def next_id(self):
        self.last += 4
        return self.last

    def frame(self, body, msg_id=None, seq_no=1, session_id=None):
        sid = self.session.session_id if session_id is None else session_id
        return message.encrypt(KEY, 0, sid, msg_id or self.next_id(), seq_no, body, sender="server")

    def container(self, *bodies, ids=None):
        ids = ids or [self.next_id() for _ in bodies]
        return self.frame(message.pack_container([(i, 1, b) for i, b in zip(ids, bodies)]), seq_no=0), ids


def session(clock=None, **kw):
    now = clock or [T + 0.5]
    return Session(KEY, session_id=77, salt=5, clock=lambda: now[0], **kw), now


def state(s):
    return s.session_id, s.salt, s.time_offset, s.pending(), s.future_salts


PING = tl("ping", ping_id=1)


@pytest.mark.parametrize("clock", [[T + 0.5] * 4, [T + 0.75, T + 0.5, T - 20, T + 0.25], [T, T + 1e-9, T + 2e-9, T]])
def test_msg_id_increases_under_a_clock_that_stands_still_or_steps_back(clock):
    ticks = iter(clock)
    s = Session(KEY, clock=lambda: next(ticks))
    ids = [s.encrypt(PING)[0] for _ in clock]
    assert all(i % 4 == 0 for i in ids) and ids == sorted(set(ids))
    assert abs(ids[0] - int(clock[0] * 2**32)) < 4


def test_seq_no_and_a_container():
    s, _ = session()
    seqs = [message.decrypt(KEY, s.encrypt(PING, content_related=c)[1], sender="client").seq_no
            for c in (True, False, True, True, False)]
    assert seqs == [1, 2, 3, 5, 6]
    ids, frame = s.encrypt_many([PING, tl("msgs_ack", msg_ids=[3])])
    m = message.decrypt(KEY, frame, sender="client")
    assert (m.salt, m.session_id, m.seq_no, m.msg_id > ids[1] > ids[0]) == (5, 77, 8, True)
    assert [(i, q) for i, q, _ in message.unpack(m.msg_id, m.seq_no, m.body)] == [(ids[0], 7), (ids[1], 8)]
    assert ids[0] in s.pending() and ids[1] not in s.pending()


def refused_frames(srv, old):
    fresh = srv.next_id()
    return [
        (lambda: (lambda f: f[:-1] + bytes([f[-1] ^ 1]))(srv.frame(PING)), "msg_key differs"),
        (lambda: srv.frame(PING, session_id=78), "session_id is not this session's"),
        (lambda: srv.frame(PING, msg_id=fresh + 3), "msg_id is not a server's"),
        (lambda: srv.frame(PING, msg_id=fresh + 1), "msg_id is not a server's"),
        (lambda: srv.frame(PING, msg_id=((T - 301) << 32) + 1), "msg_id more than 300 s old"),
        (lambda: srv.frame(PING, msg_id=((T + 31) << 32) + 1), "msg_id more than 30 s ahead"),
        (lambda: srv.frame(PING, msg_id=old), "msg_id received already"),
        (lambda: srv.container(PING, PING, ids=[fresh, old])[0], "msg_id received already"),
        (lambda: srv.container(PING, PING, ids=[fresh, fresh])[0], "msg_id received already"),
        (lambda: srv.container(PING, ids=[fresh + 7])[0], "msg_id is not a server's"),
        (lambda: srv.container(PING, ids=[((T + 40) << 32) + 1])[0], "msg_id more than 30 s ahead"),
    ], fresh


@pytest.mark.parametrize("row", range(11))
def test_each_refusal_names_its_check_and_leaves_the_session_as_it_was(row):
    s, _ = session()
    srv = Server(s)
    req, _ = s.encrypt(PING)
    old = srv.next_id()
    s.decrypt(srv.frame(tl("msgs_ack", msg_ids=[req]), msg_id=old, seq_no=0))
    frames, fresh = refused_frames(srv, old)
    build, text = frames[row]
    before = state(s)
    with pytest.raises(SecurityError, match=f"^{re.escape(text)}$"):
        s.decrypt(build())
    assert state(s) == before and s.acks() is None
    # Nothing of the refused frame was recorded: its good ids are still new.
    assert [r.msg_id for r in s.decrypt(srv.frame(PING, msg_id=fresh))] == [fresh]


def test_a_full_window_refuses_what_lies_below_it():
    s, _ = session()
    srv = Server(s)
    frame, ids = srv.container(*[PING] * 1025)
    s.decrypt(frame)
    with pytest.raises(SecurityError, match="^msg_id below the replay window$"):
        s.decrypt(srv.frame(PING, msg_id=ids[0]))
    assert s.decrypt(srv.frame(PING, msg_id=ids[2] + 2))[0].msg_id == ids[2] + 2  # a gap inside it


@pytest.mark.parametrize("body, carrier_time, want", [
    (lambda r: tl("new_session_created", first_msg_id=r, unique_id=1, server_salt=99), 0, (99, 0, "pending")),
    (lambda r: tl("bad_server_salt", bad_msg_id=r, bad_msg_seqno=1, error_code=48, new_server_salt=-2), 0, (-2, 0, "gone")),
    (lambda r: tl("bad_msg_notification", bad_msg_id=r, bad_msg_seqno=1, error_code=16), 20, (5, 20, "gone")),
    (lambda r: tl("bad_msg_notification", bad_msg_id=r, bad_msg_seqno=1, error_code=17), -200, (5, -200, "gone")),
    (lambda r: tl("bad_msg_notification", bad_msg_id=r, bad_msg_seqno=1, error_code=32), 20, (5, 0, "gone")),
    (lambda r: tl("msgs_ack", msg_ids=[r, 12]), 0, (5, 0, "acked")),
    (lambda r: tl("pong", msg_id=r, ping_id=1), 0, (5, 0, "gone")),
    (lambda r: u32(0xF35C6D01) + u64(r) + tl("rpc_error", error_code=400, error_message=b"X"), 0, (5, 0, "gone")),
    (lambda r: message.gzip(tl("future_salts", req_msg_id=r, now=T, salts=[
        dict(valid_since=T - 10, valid_until=T + 100, salt=6), dict(valid_since=T + 50, valid_until=T + 900, salt=7)])),
     0, (6, 0, "gone")),
])
def test_service_messages_act_on_the_session(body, carrier_time, want):
    s, now = session()
    srv = Server(s, T + carrier_time)
    req, _ = s.encrypt(PING)
    got = s.decrypt(srv.frame(body(req), seq_no=0))
    assert got[0].obj["_"] in DECLS or got[0].obj["_"] == "rpc_result"
    pending = {(): "gone", (False,): "pending", (True,): "acked"}[tuple(s.pending().values())]
    assert (s.salt, s.time_offset, pending) == want
    if s.future_salts:  # the next salt takes over once its valid_since has passed
        now[0] = T + 60
        assert (s.salt, s.future_salts) == (7, [])


def test_acks_queue_every_content_related_message_at_most_8192_a_body():
    s, _ = session()
    srv = Server(s)
    frame, ids = srv.container(*[PING] * 8193)
    s.decrypt(srv.frame(PING, seq_no=2))  # not content-related: not acknowledged
    s.decrypt(frame)
    assert [s.acks(), s.acks(), s.acks()] == [tl("msgs_ack", msg_ids=ids[:8192]), tl("msgs_ack", msg_ids=ids[8192:]), None]


WRAPPED = [b"", tl("invokeWithLayer", layer=144), tl("invokeAfterMsg", msg_id=3) + tl("invokeWithoutUpdates"),
           tl("invokeAfterMsgs", msg_ids=[1, 2]), tl("invokeWithTakeout", takeout_id=9),
           tl("invokeWithMessagesRange") + tl("messageRange", min_id=1, max_id=2),
           tl("initConnection", api_id=1, device_model=b"d", lang_code=b"en")]


@pytest.mark.parametrize("wrapper", WRAPPED)
def test_answers_decode_by_the_innermost_method_and_undecoded_keeps_the_rest(wrapper, restore_default_schema):
    doc = json.loads(DEFAULT_SCHEMA_TEXT)
    doc["methods"]["ids"] = {"cid": 0x11111111, "fields": [], "result": "Vector<long>"}
    ext.load_schema(json.dumps(doc))
    s, _ = session()
    srv = Server(s)
    req, _ = s.encrypt(wrapper + u32(0x11111111))
    result = u32(0xF35C6D01) + u64(req) + u32(0x1CB5C415, 1) + u64(2**40)
    frame, ids = srv.container(tl("pong", msg_id=1, ping_id=2)[:-4], result)
    assert s.decrypt(frame) == [
        Received(ids[0], 1, {"_": "undecoded", "raw": tl("pong", msg_id=1, ping_id=2)[:-4], "error": "unexpected eof"}),
        Received(ids[1], 1, {"_": "rpc_result", "req_msg_id": req, "result": [2**40]})]
    assert s.pending() == {}


class Window:
    """The replay window's rule, as a model: the highest ids received, refused once seen, or
    below the lowest once full; a frame's ids are checked together and kept together."""

    def __init__(self):
        self.ids = []

    def take(self, ids):
        full = len(self.ids) == WINDOW
        if len(set(ids)) < len(ids) or any(i in self.ids or (full and i < self.ids[0]) for i in ids):
            return False
        self.ids = sorted(self.ids + ids)[-WINDOW:]
        return True


@given(st.lists(st.sampled_from(["ok", "ok3", "replay", "foreign", "hold", "late", "flood"] * 2 + ["late"]), min_size=3,
                max_size=12))
def test_messages_arrive_exactly_once_in_order_and_reorders_past_the_window_are_refused(plan):
    s, _ = session()
    srv, model = Server(s), Window()
    got, want, delivered, held = [], [], [], []
    for twist in plan:
        if twist == "hold":  # an id the server sends later, after the ones that follow it
            held.append(srv.next_id())
            continue
        if twist == "late" and held:
            inner = [held.pop(0)]
            frame, ids = srv.frame(PING, msg_id=inner[0]), inner
        elif twist == "foreign":
            frame, ids = srv.frame(PING, session_id=s.session_id ^ 1), None
        elif twist == "replay" and delivered:
            frame, ids, inner = delivered[-1]
        else:
            frame, inner = srv.container(*[PING] * {"ok3": 3, "flood": WINDOW}.get(twist, 1))
            ids = [srv.last] + inner
            delivered.append((frame, ids, inner))
        if ids is not None and model.take(ids):
            want += inner
        try:
            got += [r.msg_id for r in s.decrypt(frame)]
        except SecurityError as e:
            assert str(e) in ("msg_id received already", "msg_id below the replay window",
                              "session_id is not this session's")
    assert got == want


@pytest.mark.parametrize("call, want", [
    (lambda s, srv: Session(KEY[:255]), ValueError("auth_key must be 256 bytes")),
    (lambda s, srv: Session(KEY, clock=5), TypeError("clock must be callable")),
    (lambda s, srv: Session(KEY, clock=lambda: "now").encrypt(PING), TypeError("clock() must return a number")),
    (lambda s, srv: s.encrypt(b"abc"), ValueError("body length must be a multiple of 4")),
    (lambda s, srv: s.encrypt_many([]), ValueError("no messages to pack")),
    (lambda s, srv: s.encrypt_many([PING, message.pack_container([(1, 1, PING)])]),
     ValueError("container inside a container")),
    (lambda s, srv: s.encrypt_many([PING, "text"]), TypeError("argument 'bodies': 'str' object cannot be converted to 'PyBytes'")),
    (lambda s, srv: s.decrypt(srv.frame(message.pack_container([(srv.next_id(), 1, PING)])[:-4])),
     ValueError("message runs past its container")),
    (lambda s, srv: copy.deepcopy(s), TypeError("cannot copy or pickle 'Session' object")),
])
def test_misuse_is_refused_and_changes_nothing(call, want):
    s, _ = session()
    srv = Server(s)
    before = state(s)
    outcome(lambda: call(s, srv), want)
    assert state(s) == before
    # No id nor seq_no was spent on what was refused.
    assert message.decrypt(KEY, s.encrypt(PING)[1], sender="client").seq_no == 1
