import io
import json
import subprocess
import sys

import pytest

import velmora
import velmora.ext as ext
from conftest import ROOT
from test_tlschema import API_TL, RES_PQ, SERVICE_TL
from velmora import tlschema
from velmora.cli import main

pytestmark = pytest.mark.usefixtures("restore_default_schema")
DEFAULT_JSON = ROOT / "src" / "schema" / "default_schema.json"

# Fields as a user writes them in JSON: bytes as hex, nested objects with "_";
# a flags word as the encoder computes it (a given one is ignored), so that decoding gives it back.
ROUND_TRIPS = [
    ("invokeWithLayer", {"layer": 7, "query": {"_": "auth.signIn", "flags": 2, "phone_number": "1",
        "phone_code_hash": "h", "email_verification": {"_": "emailVerificationCode", "code": "12345"}}}),
    ("codeSettings", {"flags": 0x341, "allow_flashcall": True, "current_number": False, "allow_app_hash": False,
                      "allow_missed_call": False, "allow_firebase": False, "unknown_number": True,
                      "logout_tokens": ["0a0b", ""], "token": "héllo", "app_sandbox": False}),
]


def run(argv, capsys, stdin=None, monkeypatch=None, tmp_path=None):
    """main() on argv, files made in tmp_path first; stdin as text or as raw bytes."""
    if stdin is not None:
        raw = stdin if isinstance(stdin, bytes) else stdin.encode()
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(raw)))
    status = main([str(a(tmp_path) if callable(a) else a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def _file(name, content):
    def make(tmp_path):
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
        return tmp_path / name
    return make


@pytest.mark.parametrize("name, args", ROUND_TRIPS, ids=[c[0] for c in ROUND_TRIPS])
@pytest.mark.parametrize("schema", [[], ["--schema", DEFAULT_JSON]], ids=["compiled-in", "json"])
def test_encode_then_decode_gives_the_fields_back(name, args, schema, capsys):
    status, out, err = run(schema + ["encode", name, json.dumps(args)], capsys)
    assert (status, err) == (0, "")
    # The options of the whole command line may follow the command as well.
    status, out, err = run(["decode", out.strip()] + schema, capsys)
    assert (status, json.loads(out), err) == (0, {"_": name, **args}, "")


PEER_SELF = {"_": "inputPeerSelf"}
SERVICE, API = _file("service.tl", SERVICE_TL), _file("api.tl", API_TL)
PUBLISHED = ["--schema", SERVICE, "--schema", API, "--schema",
             _file("x.json", '{"layer": 9, "methods": {"messages.get": {"cid": 7, "fields": []}}}')]
# A method shares its identifier with a constructor (the constructor keeps it), another its name.
SAME = ["--schema", _file("s.json", json.dumps({
    "methods": {"same_cid": {"cid": 5, "fields": [["a", "int"]]}, "both": {"cid": 6, "fields": [["m", "int"]]},
                "free": {"cid": 7, "fields": []}},
    "constructors": {"c": {"cid": 5, "fields": [["x", "int"]]}, "both": {"cid": 8, "fields": [["c", "int"]]}}}))]


@pytest.mark.parametrize("argv, stdin, out", [
    # Wire forms worked out by hand from the TL encoding rules.
    (["encode", "req_pq_multi", '{"nonce": "000102030405060708090a0b0c0d0e0f"}'], None,
     "f18e7ebe 000102030405060708090a0b0c0d0e0f"),
    (["encode", "msgs_ack", '{"msg_ids": [1, 2]}'], None, "59b4d662 15c4b51c 02000000 0100000000000000 0200000000000000"),
    (["encode", "inputPeerChat", "-"], '{"chat_id": 9}', "b95ca935 0900000000000000"),
    (["decode"], "c9 7e a0 7d\n", PEER_SELF),
    (["decode", "-"], "0xc97ea07d", PEER_SELF),
    (["decode", "--file", _file("m.bin", b"\xc9\x7e\xa0\x7d")], None, PEER_SELF),
    (["decode", "--file", "-"], b"\xc9\x7e\xa0\x7d", PEER_SELF),
    (SAME + ["decode", "0500000001000000"], None, {"_": "c", "x": 1}),
    (SAME + ["decode", "07000000"], None, {"_": "free"}), (SAME + ["decode", "0600000001000000"], None, {"_": "both", "m": 1}),
    (["decode", "f18e7ebe 000102030405060708090a0b0c0d0e0f"], None,
     {"_": "req_pq_multi", "nonce": "000102030405060708090a0b0c0d0e0f"}),
    (SAME + ["encode", "--lenient", "both", '{"m": 1, "c": 2}'], None, "06000000 01000000"),
    (SAME + ["encode", "--constructor", "both", '{"c": 2}'], None, "08000000 02000000"),
    (["encode", "--lenient", "req_pq_multi", '{"nonce": "0001"}'], None, "f18e7ebe" + "00" * 16),
    # Repeated --schema: TL texts and a JSON document, merged in order.
    (PUBLISHED + ["schema", "info"], None, {"layer": 9, "methods": 2, "constructors": 4}),
    (["schema", "info"] + PUBLISHED[2:4], None, {"layer": 201, "methods": 1, "constructors": 1}),
    (PUBLISHED + ["decode", RES_PQ.hex()], None, json.loads(json.dumps(ext.loads(RES_PQ), default=bytes.hex))),
    (PUBLISHED + ["encode", "messages.get", "{}"], None, "07000000"),
    (["schema", "convert", SERVICE, API], None, tlschema.convert(SERVICE_TL, API_TL)),
    (["schema", "convert", "--no-key-exchange-bytes", SERVICE, API], None,
     tlschema.convert(SERVICE_TL, API_TL, key_exchange_bytes=False)),
])
def test_output(argv, stdin, out, capsys, monkeypatch, tmp_path):
    status, got, err = run(argv, capsys, stdin, monkeypatch, tmp_path)
    assert (status, err) == (0, "")
    if isinstance(out, dict):
        assert json.loads(got) == out
    else:
        assert got == (out if out.endswith("\n") else out.replace(" ", "") + "\n")


@pytest.mark.parametrize("schema, which", [([], "the compiled-in schema"), (SAME, "the schema given")])
def test_unknown_identifier_is_shown_as_tl_writes_it(schema, which, capsys, tmp_path):
    status, out, err = run(schema + ["decode", "09000000"], capsys, tmp_path=tmp_path)
    assert (status, json.loads(out)) == (0, {"_": "unknownConstructor", "cid": "#00000009", "raw": "09000000"})
    assert err == f"velmora: note: #00000009 is no constructor or method of {which}\n"


VECTORS = ROOT / "tests" / "vectors" / "schema"


@pytest.mark.parametrize("files, status, report", [
    ([_file("t.tl", "a#1 x:itn = A;\n")], 0,
     ["t.tl:1: warning: a: field x is itn: itn names nothing declared; did you mean int?",
      "t.tl: ok: layer 0, 0 methods, 1 constructors"]),
    ([_file("e.tl", "// LAYER 3\n")], 1, ["e.tl:1:1: error: no declarations"]),
    ([_file("b.json", '{"methods": {}\n "layer": 1}')], 1,
     ["b.json: error: schema parsing failed: missing a comma or '}' after an object member at line 2 column 2"]),
    ([_file("c.json", '{"methods": {"a": {"cid": "1", "fields": []}}}')], 1,
     ['c.json: error: schema parsing failed: invalid type: string for key "cid", expected an integer from 0 to'
      " 4294967295 at line 1 column 30"]),
    ([_file("d.json", '{"methods": {}, "constructors": {"a": [5, []], "b": [5, []]}}')], 0,
     ["d.json: warning: constructors a and b share the identifier #00000005; decoding finds b, the later",
      "d.json: ok: layer 0, 0 methods, 2 constructors"]),
    ([_file("p.json", '{"ping": [1, []]}'), VECTORS / "mtproto.tl", VECTORS / "api.tl"], 0,
     ["p.json: ok: layer 0, 1 methods, 0 constructors"] + ["warning: "] * 5
     + [f"{VECTORS / 'mtproto.tl'}, {VECTORS / 'api.tl'}: ok: layer 144, 458 methods, 1059 constructors"]),
])
def test_schema_check_reports_each_file(files, status, report, capsys, tmp_path):
    got, out, err = run(["schema", "check", *files], capsys, tmp_path=tmp_path)
    lines = out.replace(f"{tmp_path}/", "").splitlines()
    assert (got, err, len(lines)) == (status, "", len(report)), out
    assert all(fragment in line for line, fragment in zip(lines, report)), out


def test_warnings_name_file_and_line(capsys, tmp_path):
    again = ["--schema", _file("again.tl", "\nresPQ#05162463 nonce:int128 = ResPQ;"), "schema", "info"]
    status, _, err = run(PUBLISHED[:4] + again, capsys, tmp_path=tmp_path)
    assert (status, err) == (0, f"{tmp_path / 'again.tl'}:2: warning: resPQ is declared again; this"
                                f" declaration replaces the one at {tmp_path / 'service.tl'}, line 1\n")


@pytest.mark.parametrize("argv, message", [
    (["decode", "c97ea0zz"], "invalid hex input: 'z' at digit 7 is not a hex digit"),
    (["decode", "c97"], "invalid hex input: odd number of hex digits (3)"),
    (["decode", "00", "--file", _file("m.bin", b"")], "give either HEX or --file, not both"),
    (["decode", "--file", "/nonexistent/m.bin"], "cannot read /nonexistent/m.bin: No such file"),
    (["encode", "nope", "{}"], "unknown name: nope is not a method or a constructor of the schema"),
    (["encode", "--constructor", "req_pq_multi", "{}"], "unknown name: req_pq_multi is not a constructor"),
    (["encode", "req_pq_multi", "{"], "invalid JSON: Expecting property name"),
    (["encode", "req_pq_multi", "[1]"], "invalid JSON: the fields must be a JSON object, not list"),
    (["encode", "req_pq_multi", '{"nonce": "00010203"}'],
     "encode failed: req_pq_multi:nonce: int128 needs 16 bytes, got 4"),
    (["encode", "inputPeerChat", '{"chat_idd": 9}'],
     "encode failed: inputPeerChat: unknown key 'chat_idd' (closest field: chat_id)"),
    (["encode", "resPQ", "{}"], "encode failed: resPQ: missing required field nonce"),
    (["--schema", _file("empty.tl", b"\n"), "schema", "info"], "empty.tl:1:1: no declarations"),
    (["--schema", _file("bad.json", b'{"methods": 1}'), "schema", "info"], "bad.json: schema parsing failed: "),
    (["--schema", _file("bad.tl", b"a#1 = A;\nb#2 x:flags.0?int = B;\n"), "schema", "info"],
     "bad.tl:2:7: b: x is conditioned on 'flags', which is not an earlier field of type #"),
    (["--schema", _file("api.txt", b"a#1 = A;\n"), "schema", "info"],
     "api.txt: schema parsing failed: invalid value at line 1 column 1 (the file holds TL text:"
     " give it a name ending in .tl)"),
    (["schema", "convert", _file("latin.tl", b"a#1 = \xe9;")], "latin.tl: not UTF-8 text"),
    (["schema", "convert", "/nonexistent.tl"], "cannot read /nonexistent.tl"),
])
def test_bad_input_fails_with_a_message(argv, message, capsys, tmp_path):
    before = ext.schema_info()
    status, out, err = run(argv, capsys, tmp_path=tmp_path)
    assert (status, out) == (1, "")
    assert err.startswith("velmora: error: ") and message in err and err.count("\n") == 1, err
    assert ext.schema_info() == before


@pytest.mark.parametrize("argv, missing", [([], "COMMAND"), (["schema"], "ACTION")])
def test_a_missing_command_is_a_usage_error(argv, missing, capsys):
    with pytest.raises(SystemExit) as stop:
        main(argv)
    assert stop.value.code == 2 and f"required: {missing}" in capsys.readouterr().err


def _velmora(*argv, stdin=None):
    return subprocess.run([sys.executable, "-m", "velmora", *map(str, argv)], input=stdin,
                          capture_output=True, text=True, timeout=60)


def test_module_entry_exit_status_and_pipe():
    encoded = _velmora("encode", "inputPeerUser", '{"user_id": 1, "access_hash": 2}')
    decoded, failed = _velmora("decode", stdin=encoded.stdout), _velmora("decode", "0102")
    assert (encoded.returncode, decoded.returncode) == (0, 0)
    assert json.loads(decoded.stdout) == {"_": "inputPeerUser", "user_id": 1, "access_hash": 2}
    assert _velmora("--version").stdout == f"velmora {velmora.__version__}\n"
    assert (failed.returncode, failed.stdout, failed.stderr) == (1, "", "velmora: error: decode failed: unexpected eof\n")
