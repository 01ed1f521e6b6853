import json
import re
import warnings
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora
import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, PUBLISHED_TL, outcome
from velmora import tlschema

# The compiled-in schema written as TL text, as a user of the protocol holds it.
DEFAULT_TL = """\
resPQ#05162463 nonce:int128 server_nonce:int128 pq:bytes server_public_key_fingerprints:Vector<long> = ResPQ;
p_q_inner_data#83c95aec pq:bytes p:bytes q:bytes nonce:int128 server_nonce:int128 new_nonce:int256 = P_Q_inner_data;
p_q_inner_data_dc#a9f55f95 pq:bytes p:bytes q:bytes nonce:int128 server_nonce:int128 new_nonce:int256 dc:int = P_Q_inner_data;
server_DH_params_ok#d0e8075c nonce:int128 server_nonce:int128 encrypted_answer:bytes = Server_DH_Params;
server_DH_inner_data#b5890dba nonce:int128 server_nonce:int128 g:int dh_prime:bytes g_a:bytes server_time:int = Server_DH_inner_data;
client_DH_inner_data#6643b654 nonce:int128 server_nonce:int128 retry_id:long g_b:bytes = Client_DH_Inner_Data;
dh_gen_ok#3bcbf734 nonce:int128 server_nonce:int128 new_nonce_hash1:int128 = Set_client_DH_params_answer;
dh_gen_retry#46dc1fb9 nonce:int128 server_nonce:int128 new_nonce_hash2:int128 = Set_client_DH_params_answer;
dh_gen_fail#a69dae02 nonce:int128 server_nonce:int128 new_nonce_hash3:int128 = Set_client_DH_params_answer;
rpc_result#f35c6d01 req_msg_id:long result:Object = RpcResult;
msg_container#73f1f8dc messages:vector<%Message> = MessageContainer;
gzip_packed#3072cfa1 packed_data:bytes = Object;

// Peers and users
inputPeerEmpty#7f3b18ea = InputPeer;
inputPeerSelf#7da07ec9 = InputPeer;
inputPeerChat#35a95cb9 chat_id:long = InputPeer;
inputPeerUser#dde8a54c user_id:long access_hash:long = InputPeer;
inputPeerChannel#27bcbbfc channel_id:long access_hash:long = InputPeer;
inputUserSelf#f7c1b13f = InputUser;
inputUser#f21158c6 user_id:long access_hash:long = InputUser;
inputChannel#f35aec28 channel_id:long access_hash:long = InputChannel;
inputClientProxy#75588b3f address:string port:int = InputClientProxy;
inputCheckPasswordEmpty#9880f658 = InputCheckPasswordSRP;
inputCheckPasswordSRP#d27ff082 srp_id:long A:bytes M1:bytes = InputCheckPasswordSRP;
codeSettings#ad253d78 flags:# allow_flashcall:flags.0?true current_number:flags.1?true
    allow_app_hash:flags.4?true allow_missed_call:flags.5?true allow_firebase:flags.7?true
    unknown_number:flags.9?true logout_tokens:flags.6?Vector<bytes> token:flags.8?string
    app_sandbox:flags.8?Bool = CodeSettings;
emailVerificationCode#922e55a9 code:string = EmailVerification;
emailVerificationGoogle#db909ec2 token:string = EmailVerification;
inputReplyToMessage#3bd4b7c2 flags:# reply_to_msg_id:int top_msg_id:flags.0?int
    reply_to_peer_id:flags.1?InputPeer quote_text:flags.2?string
    quote_entities:flags.3?Vector<MessageEntity> quote_offset:flags.4?int
    monoforum_peer_id:flags.5?InputPeer todo_item_id:flags.6?int poll_option:flags.7?bytes = InputReplyTo;

---functions---

msgs_ack#62d6b459 msg_ids:Vector<long> = MsgsAck;
msgs_state_req#da69fb52 msg_ids:Vector<long> = MsgsStateReq;
req_pq_multi#be7e8ef1 nonce:int128 = ResPQ;
req_DH_params#d712e4be nonce:int128 server_nonce:int128 p:bytes q:bytes public_key_fingerprint:long encrypted_data:bytes = Server_DH_Params;
set_client_DH_params#f5045f1f nonce:int128 server_nonce:int128 encrypted_data:bytes = Set_client_DH_params_answer;
rpc_drop_answer#58e4a740 req_msg_id:long = RpcDropAnswer;
initConnection#c1cd5ea9 {X:Type} flags:# api_id:int device_model:string system_version:string
    app_version:string system_lang_code:string lang_pack:string lang_code:string
    proxy:flags.0?InputClientProxy params:flags.1?JSONValue query:!X = X;
invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;
auth.sendCode#a677244f phone_number:string api_id:int api_hash:string settings:CodeSettings = auth.SentCode;
auth.signUp#aac7b717 flags:# no_joined_notifications:flags.0?true phone_number:string
    phone_code_hash:string first_name:string last_name:string = auth.Authorization;
auth.signIn#8d52a951 flags:# phone_number:string phone_code_hash:string phone_code:flags.0?string
    email_verification:flags.1?EmailVerification = auth.Authorization;
auth.logOut#3e72ba19 = auth.LoggedOut;
auth.checkPassword#d18b4d16 password:InputCheckPasswordSRP = auth.Authorization;
auth.requestPasswordRecovery#d897bc66 = auth.PasswordRecovery;
auth.exportLoginToken#b7e085fe api_id:int api_hash:string except_ids:Vector<long> = auth.LoginToken;
auth.importLoginToken#95ac5ce4 token:bytes = auth.LoginToken;
account.updateStatus#6628562c offline:Bool = Bool;
account.getPassword#548a30f5 = account.Password;
updates.getState#edd4882a = updates.State;
help.getConfig#c4f9186b = Config;
help.getNearestDc#1fb33026 = NearestDc;
"""

# The two published texts in their own forms: each starts in its types section and the
# first ends in its functions; key-exchange fields declared string; no #id on tlsBlockRandom.
SERVICE_TL = """\
resPQ#05162463 nonce:int128 server_nonce:int128 pq:string server_public_key_fingerprints:Vector<long> = ResPQ;
p_q_inner_data#83c95aec pq:string p:string q:string nonce:int128 server_nonce:int128 new_nonce:int256 = P_Q_inner_data;
tlsBlockRandom length:int = TlsBlock;
---functions---
req_DH_params#d712e4be nonce:int128 server_nonce:int128 p:string q:string public_key_fingerprint:long encrypted_data:string = Server_DH_Params;
"""
API_TL = """\
// LAYER 201
message#0badf00d flags:# out:flags.1?true flags2:# offline:flags2.1?true views:flags.10?int
    forwards:flags.10?int pinned:flags.3?true pin_date:flags.3?int text:string = Message;
---functions---
messages.get#1ab2c3d4 limit:int = Vector<Message>;
"""
# resPQ from a server: pq = 17 ED 48 94 1A 08 F9 81, one fingerprint.
RES_PQ = bytes.fromhex("63241605" + "ab" * 32 + "0817ed48941a08f981000000" + "15c4b51c01000000" + "c3" * 8)

FIELD_DEFAULTS = {"flag_bit": None, "flags_group": None, "is_bare": False, "is_vector": False,
                  "vector_inner": None, "vector_inner_is_vector": False}


def records(document, attributes=True):
    """Every record of a document, with absent attributes at their defaults (or only the cids)."""
    return {(table, name): (rec["cid"], rec.get("has_flags", False), [{**FIELD_DEFAULTS, **f} for f in rec["fields"]])
            if attributes else rec["cid"] for table in ("methods", "constructors")
            for name, rec in json.loads(document)[table].items()}


@pytest.mark.usefixtures("restore_default_schema")
def test_default_schema_from_tl_text():
    document, found = tlschema.convert_with_warnings(DEFAULT_TL)
    assert records(document) == records(DEFAULT_SCHEMA_TEXT)
    # The one declaration the codec reads differently, a bare vector; three types no record builds.
    expected = [(11, "vector<%Message>, a bare vector"), (11, "Message names nothing declared; did you mean MessageContainer?"),
                (34, "MessageEntity names nothing declared; did you"), (47, "JSONValue names nothing declared")]
    assert [(w.line, fragment in w.message) for w, (_, fragment) in zip(found, expected)] == [(n, True) for n, _ in expected]
    # Without #id, TL's rule gives every identifier; msg_container's was computed from the other
    # spelling of its type, vector<message>.
    text = re.sub(r"#[0-9a-f]{8} ", " ", DEFAULT_TL.replace("vector<%Message>", "vector<message>"))
    assert records(tlschema.convert_with_warnings(text)[0], False) == records(DEFAULT_SCHEMA_TEXT, False)
    # The way back from another schema to the compiled-in one, whose text the package carries.
    assert ext.load_schema(document) == {"layer": 0, "methods": 21, "constructors": 27}
    ext.load_schema(tlschema.convert(API_TL))
    assert ext.load_schema(velmora.default_schema()) == {"layer": 0, "methods": 21, "constructors": 27}
    assert velmora.default_schema() == DEFAULT_SCHEMA_TEXT


def stated_types(texts):
    """(table, name) -> what each one-line declaration states after its '=', read by a pattern of its own."""
    stated, table = {}, "constructors"
    for line in "\n---types---\n".join(texts).splitlines():
        table = {"---functions---": "methods", "---types---": "constructors"}.get(line.strip(), table)
        if found := re.match(r"([\w.]+)(?:#[0-9a-f]+)? [^/]*= ([^;]+);\s*$", line):
            stated[table, found[1]] = found[2]
    return stated


@pytest.mark.usefixtures("restore_default_schema")
def test_published_texts_carry_types_and_result_types_and_typos_are_warned():
    document, found = tlschema.convert_with_warnings(*PUBLISHED_TL.values(), names=list(PUBLISHED_TL))
    doc, stated = json.loads(document), stated_types(PUBLISHED_TL.values())
    assert {(table, name): rec["result" if table == "methods" else "type"] for table in ("methods", "constructors")
            for name, rec in doc[table].items()} == {key: stated[key] for key in records(document, False)}
    plain = {**doc, **{t: {n: {k: v for k, v in r.items() if k not in ("type", "result")} for n, r in doc[t].items()}
                       for t in ("methods", "constructors")}}
    assert ext.load_schema(document) == ext.load_schema(json.dumps(plain)) == {"layer": 144, "methods": 458,
                                                                                "constructors": 1059}
    assert not [w for w in found if "names nothing declared" in w.message]
    # A typo'd copy: the misspelt name with its file, line and the closest declared name.
    api = PUBLISHED_TL["api.tl"].replace(" peer:InputPeer ", " peer:InputPeeer ", 1)
    _, found = tlschema.convert_with_warnings(PUBLISHED_TL["mtproto.tl"], api, names=list(PUBLISHED_TL))
    assert [str(w) for w in found if "nothing declared" in w.message] == [
        f"api.tl, line {api[:api.index('InputPeeer')].count(chr(10)) + 1}: inputPeerUserFromMessage: field peer is"
        " InputPeeer: InputPeeer names nothing declared; did you mean InputPeer?"]


@pytest.mark.usefixtures("restore_default_schema")
@pytest.mark.parametrize("key_exchange_bytes", [True, False])
def test_published_texts_make_one_document(key_exchange_bytes):
    split = tlschema.convert_with_warnings(SERVICE_TL, API_TL, key_exchange_bytes=key_exchange_bytes)
    assert split == tlschema.convert_with_warnings(SERVICE_TL + "---types---\n" + API_TL,
                                                   key_exchange_bytes=key_exchange_bytes)
    doc = json.loads(split[0])
    assert doc["constructors"]["tlsBlockRandom"]["cid"] == zlib.crc32(b"tlsBlockRandom length:int = TlsBlock")
    kinds = {(name == "message", f["type"]) for table in ("methods", "constructors")
             for name, rec in doc[table].items() for f in rec["fields"] if f["type"] in ("string", "bytes")}
    assert kinds == {(True, "string"), (False, "bytes" if key_exchange_bytes else "string")}
    assert ext.load_schema(split[0]) == {"layer": 201, "methods": 2, "constructors": 4}
    if key_exchange_bytes:
        assert ext.loads(RES_PQ)["pq"] == bytes.fromhex("17ED48941A08F981")
    else:
        with pytest.raises(ValueError, match="utf8: invalid utf-8 sequence"):
            ext.loads(RES_PQ)


# Fields sharing a flag bit go together (the codec's tests hold the compiled-in codeSettings to the same rule).
@pytest.mark.usefixtures("restore_default_schema")
@pytest.mark.parametrize("args, want", [
    ({"text": "", "views": 5}, "message: missing required field forwards"),
    ({"text": "", "pinned": True}, "message: missing required field pin_date"),
    # A bare true field is its bit: it is never missing.
    ({"text": "", "pin_date": 7, "views": 1, "forwards": 0, "offline": True},
     "0df0ad0b 08040000 02000000 01000000 00000000 07000000 00000000"),
])
def test_fields_sharing_a_flag_bit_go_together(args, want):
    ext.load_schema(tlschema.convert(API_TL))
    outcome(lambda: ext.serialize_constructor("message", args), ValueError(want) if ":" in want else bytes.fromhex(want))


@given(st.lists(st.sampled_from([" ", "\n", "\t ", "  // remark\n", "\r\n"]), min_size=1))
@settings(max_examples=50, deadline=None)
def test_layout_and_comments_do_not_change_the_document(separators):
    baseline = tlschema.convert_with_warnings(DEFAULT_TL)[0]
    tokens = DEFAULT_TL.replace("// Peers and users", "").split()
    # A section line stays a line of its own; everything else may be laid out freely.
    text = "".join(f"\n{tok}\n" if tok.startswith("---") else tok + separators[i % len(separators)]
                   for i, tok in enumerate(tokens))
    assert tlschema.convert_with_warnings(text)[0] == baseline


@pytest.mark.parametrize("text, expected", [
    ("// LAYER 1\nint ? = Int;\nvector {t:Type} # [ t ] = Vector t;\n",
     [(2, "int is a built-in type"), (3, "built-in vector")]),
    ("ok#1 = A;\nx#2 n:# v:n*[ int ] = X;\n", [(2, "repeated group")]),
    ("a#1 x:Vector<Vector<long>> = A;", [(1, "inner vectors as int, not long")]),
    ("a#1 = Foo;\nmessage#3 = M;\nb#2 x:%Foo y:message z:Vector<message> = B;",
     [(3, "x is %Foo, a bare type"), (3, "y is message, a bare type"),
      (3, "z is Vector<message>; the codec reads each element as a boxed object")]),
    # A name declared nowhere (a bare one too) is reported instead, with the closest declared name.
    ("inputPeer#2 = InputPeer;\na#1 x:itn y:Vector<inputpeer> z:%Foo = A;",
     [(2, "x is itn: itn names nothing declared; did you mean int?"),
      (2, "y is Vector<inputpeer>: inputpeer names nothing declared; did you mean inputPeer?"),
      (2, "z is %Foo: Foo names nothing declared")]),
    (("a#1 {X:Type} q:!X r:X s:B = A;", "b#2 = B;"), []),
    # b takes the identifier that a gave up; c's is a's.
    ("a#1 = A;\na#2 = A;\nb#1 = B;\nc#2 = C;\n", [(2, "a is declared again; this declaration replaces the one"
                                                   " at line 1"), (4, "c has the identifier #00000002 of a")]),
    (("a#1 = A;", "\na#2 = A;"),
     [(2, "text 2, line 2: a is declared again; this declaration replaces the one at text 1, line 1")]),
    # A reference is checked once every text is read, and told where it stood.
    (("a#1 = A;\nb#2 x:Foo = B;", "c#3 = C;\n\n\n"), [(2, "text 1, line 2: b: field x is Foo: Foo names nothing")]),
    (("// LAYER 3\na#1 = A;", "// LAYER 4\nb#2 = B;"),
     [(1, "text 2, line 1: layer 4 replaces layer 3 stated at text 1, line 1")]),
    ("a#1 x:int x:long _:int = A;", [(1, "field x occurs twice"), (1, "a field named _ replaces the constructor")]),
    ("a#1 flags:# extra:# x:extra.0?int flags2:flags.0?# = A;",
     [(1, "extra shares flags word 0 with flags"), (1, "flags2 is conditional")]),
])
def test_warnings_name_their_lines(text, expected):
    _, found = tlschema.convert_with_warnings(*(text if isinstance(text, tuple) else (text,)))
    assert len(found) == len(expected), found
    for warning, (line, fragment) in zip(found, expected):
        assert warning.line == line and fragment in str(warning), warning


def test_convert_issues_python_warnings():
    with pytest.warns(tlschema.TLSchemaConversionWarning, match=r"^text 2, line 2: b: field x is %Foo") as seen:
        tlschema.convert("a#1 = A;", "\nb#2 x:%Foo = B;\n")
    assert seen[0].filename == __file__  # the caller's line, not the converter's
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tlschema.convert("a#1 x:int = A;")


@pytest.mark.parametrize("text, line, column, fragment", [
    ("a#1 = A;\nb#2 x:Vector<int = B;", 2, 17, "'>' expected"),
    ("a#1 = A;\n  b#2 x:flags.0?int = B;", 2, 9, "not an earlier field of type #"),
    ("b#2 f:# x:f.32?int = B;", 1, 13, "flag bit 32 of x is above 31"),
    ("b#2 x:!Y = B;", 1, 7, "names no type parameter"),
    ("b#2 x:in?t = B;", 1, 9, "malformed condition"),
    ("a#1 = A;\nb#2g = B;", 2, 4, "must be 1 to 8 hex digits"),
    ("b#2 x = B;", 1, 5, "must be written name:type"),
    ("b#2 9x:int = B;", 1, 5, "invalid field name"),
    ("b#2 x:int B;", 1, 12, "missing '= ResultType'"),
    ("b#2 x:int = ;", 1, 12, "missing result type"),
    ("b#2 = B = C;", 1, 9, "unexpected '='"),
    ("a#1 = A;\n\nb#2 x:int = B", 3, 1, "not terminated by ';'"),
    ("b#2 x:int\n---functions---\n= B;", 2, 1, "section line inside a declaration"),
    ("---methods---", 1, 1, "unknown section line"),
    ("a#1 = A;\n  ;", 2, 3, "empty declaration"),
    ("3a#1 = A;", 1, 1, "invalid declaration name"),
    ("b#2 {X:} = B;", 1, 5, "malformed type parameter"),
    ("// LAYER 4294967296", 1, 1, "does not fit in 32 bits"),
    ("b#2 x:Vector<int,long> = B;", 1, 7, "exactly one element type"),
    ("", 1, 1, "no declarations"),
    ("// LAYER 2\n---functions---\n", 1, 1, "no declarations"),
])
def test_errors_name_line_and_column(text, line, column, fragment):
    with pytest.raises(tlschema.TLSchemaError) as caught:
        tlschema.convert_with_warnings(text)
    err = caught.value
    assert (err.line, err.column, fragment in err.reason) == (line, column, True), str(err)
    assert str(err).startswith(f"line {line}, column {column}: ")


# Property: whatever a declaration holds, the converted schema makes the codec
# write and read it as TL does: every kind of value back as it was given, and
# conditional fields present exactly when their bit is set, in the word their
# condition names.
I32, I64 = st.integers(-2**31, 2**31 - 1), st.integers(-2**63, 2**63 - 1)
LEAF = st.builds(lambda x: {"_": "leaf", "x": x}, I32)
KINDS = {"int": I32, "long": I64, "double": st.floats(allow_nan=False), "string": st.text(max_size=300),
         "bytes": st.binary(max_size=300), "int128": st.binary(min_size=16, max_size=16),
         "int256": st.binary(min_size=32, max_size=32), "Bool": st.booleans(), "true": st.booleans(), "Leaf": LEAF,
         "Vector<string>": st.lists(st.text(max_size=10), max_size=5), "Vector<long>": st.lists(I64, max_size=5),
         "Vector<Leaf>": st.lists(LEAF, max_size=3), "Vector<Vector<int>>": st.lists(st.lists(I32, max_size=3), max_size=3)}


@st.composite
def declaration_and_value(draw):
    slots = draw(st.lists(st.tuples(st.sampled_from(["flags", "flags2"]), st.integers(0, 31)), unique=True, max_size=8))
    fields, value, present = [], {}, set()
    for i, slot in enumerate([None] * draw(st.integers(0, 4)) + slots):
        kind = draw(st.sampled_from(sorted(KINDS) if slot else sorted(set(KINDS) - {"true"})))
        fields.append(f"f{i}:" + (f"{slot[0]}.{slot[1]}?" if slot else "") + kind)
        if slot is None or kind == "true" or draw(st.booleans()):
            value[f"f{i}"] = draw(KINDS[kind])
            if slot and (kind != "true" or value[f"f{i}"]):
                present.add(slot)
    if not slots:
        # No field depends on the words, so TL reads them as plain numbers the caller gives.
        value.update(flags=0, flags2=0)
    cid = draw(st.integers(0, 2**32 - 1).filter(lambda c: c not in (0x1CB5C415, 0x61)))
    return f"leaf#61 x:int = Leaf;\nrec#{cid:x} flags:# flags2:# " + " ".join(fields) + " = Rec;", value, present


@pytest.mark.usefixtures("restore_default_schema")
@given(declaration_and_value())
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
def test_converted_declarations_round_trip(case):
    text, value, present = case
    document, found = tlschema.convert_with_warnings(text)
    assert found == []
    ext.load_schema(document)
    decoded = ext.loads(ext.serialize_constructor("rec", value))
    words = {"flags": decoded.pop("flags"), "flags2": decoded.pop("flags2")}
    # Compared by repr: types and -0.0 count.
    assert repr(decoded) == repr({"_": "rec", **{k: v for k, v in value.items() if k not in words}})
    assert {(g, b) for g in words for b in range(32) if words[g] >> b & 1} == present
