import io
import json
import subprocess
import sys

import pytest

import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT, ROOT
from test_tlschema import DEFAULT_TL
from velmora.cli import main

pytestmark = pytest.mark.usefixtures("restore_default_schema")
DEFAULT_JSON = ROOT / "src" / "schema" / "default_schema.json"
SCHEMA = json.loads(DEFAULT_SCHEMA_TEXT)

# Sample field values as a user writes them in JSON: bytes as hex, nested objects with "_".
SCALAR = {
    "int": -123456, "long": -(2**62) + 5, "double": 2.5, "string": "héllo, wörld",
    "bytes": "deadbeef00", "int128": "00112233445566778899aabbccddeeff",
    "int256": "ff" * 31 + "01", "Bool": True, "true": True,
}
NESTED = {
    "!X": {"_": "help.getConfig"},  # a query is a method call
    "Object": {"_": "inputPeerUser", "user_id": 1, "access_hash": -2},
    "vector<%Message>": {"_": "inputPeerSelf"},
    "InputClientProxy": {"_": "inputClientProxy", "address": "10.0.0.1", "port": 443},
    "CodeSettings": {"_": "codeSettings", "allow_flashcall": True, "current_number": False,
                     "allow_app_hash": True, "allow_missed_call": False, "allow_firebase": False,
                     "unknown_number": True, "logout_tokens": ["0a0b", ""], "token": "t",
                     "app_sandbox": False},
    "EmailVerification": {"_": "emailVerificationCode", "code": "12345"},
    "InputCheckPasswordSRP": {"_": "inputCheckPasswordSRP", "srp_id": 7, "A": "0102", "M1": "0304"},
    "InputPeer": {"_": "inputPeerChannel", "channel_id": 5, "access_hash": 6},
}


def sample(type_name):
    return SCALAR.get(type_name, NESTED.get(type_name, {"_": "inputPeerEmpty"}))


def samples(record):
    """Fields with every conditional one given; and, for records with flags, none of them."""
    full, bare = {}, {}
    for field in record["fields"]:
        if field["type"] == "#":
            continue
        value = [sample(field["vector_inner"])] * 2 if field["is_vector"] else sample(field["type"])
        full[field["name"]] = value
        if field["flag_bit"] is None:
            bare[field["name"]] = value
        elif field["is_bare"]:
            bare[field["name"]] = False
    return [full, bare] if record["has_flags"] else [full]


def without_flags_words(value):
    # Every "#" field of the default schema is named flags, and no other field is.
    if isinstance(value, dict):
        return {k: without_flags_words(v) for k, v in value.items() if k != "flags"}
    if isinstance(value, list):
        return [without_flags_words(v) for v in value]
    return value


CASES = [(table, name, i, args) for table in ("methods", "constructors")
         for name, record in SCHEMA[table].items() for i, args in enumerate(samples(record))]


def run(argv, capsys, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def default_tl(tmp_path_factory):
    path = tmp_path_factory.mktemp("tl") / "default.tl"
    path.write_text(DEFAULT_TL)
    return path


@pytest.mark.parametrize("table, name, i, args", CASES, ids=[f"{c[1]}-{c[2]}" for c in CASES])
@pytest.mark.parametrize("schema", ["compiled-in", "json", "tl"])
def test_encode_then_decode_gives_the_fields_back(table, name, i, args, schema, capsys, default_tl):
    option = {"compiled-in": [], "json": ["--schema", DEFAULT_JSON], "tl": ["--schema", default_tl]}
    warned = (f"{default_tl}:11: warning: msg_container: field messages is vector<%Message>"
              if schema == "tl" else "")
    status, out, err = run(option[schema] + ["encode", name, json.dumps(args)], capsys)
    assert status == 0 and err.startswith(warned) and err.count("\n") == (schema == "tl"), err
    status, decoded, err = run(option[schema] + ["decode", out.strip()], capsys)
    assert status == 0
    decoded = json.loads(decoded)
    if table == "methods" and schema == "compiled-in":
        # The codec finds constructors only; a method call needs the document.
        assert decoded["_"] == "unknownConstructor" and decoded["cid"] == SCHEMA[table][name]["cid"]
        assert "give its schema with --schema" in err
        return
    assert without_flags_words(decoded) == {"_": name, **args}
    assert err.startswith(warned) and err.count("\n") == (schema == "tl"), err


@pytest.mark.parametrize(
    "argv, wire",
    [
        # Wire forms worked out by hand from the TL encoding rules.
        (["encode", "req_pq_multi", '{"nonce": "000102030405060708090a0b0c0d0e0f"}'],
         "f18e7ebe000102030405060708090a0b0c0d0e0f"),
        (["encode", "msgs_ack", '{"msg_ids": [1, 2]}'],
         "59b4d66215c4b51c0200000001000000000000000200000000000000"),
        (["encode", "inputPeerSelf", "{}"], "c97ea07d"),
    ],
)
def test_encode_prints_the_wire_form(argv, wire, capsys):
    assert run(argv, capsys) == (0, wire + "\n", "")


def test_decode_reads_standard_input_and_files(capsys, monkeypatch, tmp_path):
    hex_text = "c9 7e a0 7d\n"
    expected = {"_": "inputPeerSelf"}
    for argv in (["decode"], ["decode", "-"]):
        status, out, _ = run(argv, capsys, stdin=hex_text, monkeypatch=monkeypatch)
        assert (status, json.loads(out)) == (0, expected)
    (tmp_path / "m.bin").write_bytes(bytes.fromhex(hex_text))
    status, out, _ = run(["decode", "--file", tmp_path / "m.bin"], capsys)
    assert (status, json.loads(out)) == (0, expected)
    status, out, _ = run(["encode", "inputPeerChat", "-"], capsys, stdin='{"chat_id": 9}',
                         monkeypatch=monkeypatch)
    assert (status, out) == (0, "b95ca935" + "09" + "00" * 7 + "\n")


def test_decode_shows_bytes_as_hex_and_nests(capsys):
    data = ext.serialize_method("invokeWithLayer", {"layer": 7, "query": {
        "_": "initConnection", "api_id": 1, "device_model": "d", "system_version": "s",
        "app_version": "a", "system_lang_code": "en", "lang_pack": "", "lang_code": "en",
        "query": {"_": "auth.importLoginToken", "token": b"\x00\xff"}}})
    status, out, _ = run(["--schema", DEFAULT_JSON, "decode", data.hex()], capsys)
    assert status == 0
    assert json.loads(out)["query"]["query"] == {"_": "auth.importLoginToken", "token": "00ff"}
    assert out.startswith('{\n  "_": "invokeWithLayer",\n  "layer": 7,')


def test_schema_convert_and_info(capsys, tmp_path):
    status, out, err = run(["schema", "convert", ROOT / "examples" / "small.tl"], capsys)
    assert status == 0
    document = json.loads(out)
    assert "warning" in err and all(line.startswith(f"{ROOT / 'examples' / 'small.tl'}:")
                                    for line in err.splitlines())
    (tmp_path / "small.json").write_text(out)
    expected = {"layer": document.get("layer", 0), "methods": len(document["methods"]),
                "constructors": len(document["constructors"])}
    for schema in (ROOT / "examples" / "small.tl", tmp_path / "small.json"):
        status, out, _ = run(["--schema", schema, "schema", "info"], capsys)
        assert (status, json.loads(out)) == (0, expected)
    assert run(["schema", "info"], capsys)[:2] == (0, json.dumps(ext.schema_info(), indent=2) + "\n")


def test_constructors_keep_their_names_and_identifiers_over_methods(capsys, tmp_path):
    int_field = lambda name: [{"name": name, "type": "int"}]  # noqa: E731
    (tmp_path / "s.json").write_text(json.dumps({
        "methods": {"same_cid": {"cid": 5, "fields": int_field("a")},
                    "both": {"cid": 6, "fields": int_field("m")},
                    "free": {"cid": 7, "fields": []}},
        "constructors": {"c": {"cid": 5, "fields": int_field("x")},
                         "both": {"cid": 8, "fields": int_field("c")}}}))
    schema = ["--schema", tmp_path / "s.json"]
    for hex_text, decoded in [("0500000001000000", {"_": "c", "x": 1}),
                              ("0x07000000", {"_": "free"}),
                              ("0800000002000000", {"_": "both", "c": 2}),
                              ("06000000", {"_": "unknownConstructor", "cid": 6, "raw": "06000000"})]:
        status, out, _ = run(schema + ["decode", hex_text], capsys)
        assert (status, json.loads(out)) == (0, decoded)
    assert run(schema + ["encode", "both", '{"m": 1, "c": 2}'], capsys)[1] == "0600000001000000\n"
    assert run(schema + ["encode", "--constructor", "both", '{"m": 1, "c": 2}'], capsys)[1] == \
        "0800000002000000\n"


def _file(name, content):
    def make(tmp_path):
        path = tmp_path / name
        path.write_bytes(content)
        return path
    return make


@pytest.mark.parametrize(
    "argv, message",
    [
        (["decode", "c97ea0zz"], "invalid hex input: 'z' at digit 7 is not a hex digit"),
        (["decode", "c97"], "invalid hex input: odd number of hex digits (3)"),
        (["decode", "c97ea0"], "decode failed: unexpected eof"),
        (["decode", "00", "--file", _file("m.bin", b"")], "give either HEX or --file, not both"),
        (["decode", "--file", "/nonexistent/m.bin"], "cannot read /nonexistent/m.bin: No such file"),
        (["encode", "nope", "{}"], "unknown name: nope is not a method or a constructor of the schema"),
        (["encode", "--constructor", "req_pq_multi", "{}"], "unknown name: req_pq_multi is not a constructor"),
        (["encode", "req_pq_multi", "{"], "invalid JSON: Expecting property name"),
        (["encode", "req_pq_multi", "[1]"], "invalid JSON: the fields must be a JSON object, not list"),
        (["encode", "req_pq_multi", '{"nonce": 5}'], "encode failed: req_pq_multi:nonce: bytes expected"),
        (["encode", "resPQ", "{}"], "encode failed: resPQ: missing required field nonce"),
        (["--schema", _file("bad.json", b'{"methods": 1}'), "schema", "info"],
         "bad.json: schema parsing failed: "),
        (["--schema", _file("bad.tl", b"a#1 = A;\nb#2 x:flags.0?int = B;\n"), "schema", "info"],
         "bad.tl:2:7: b: x is conditioned on 'flags', which is not an earlier field of type #"),
        (["schema", "convert", _file("latin.tl", b"a#1 = \xe9;")], "latin.tl: not UTF-8 text"),
        (["schema", "convert", "/nonexistent.tl"], "cannot read /nonexistent.tl"),
    ],
)
def test_bad_input_fails_with_a_message(argv, message, capsys, tmp_path):
    before = ext.schema_info()
    argv = [a(tmp_path) if callable(a) else a for a in argv]
    status, out, err = run(argv, capsys)
    assert (status, out) == (1, "")
    assert err.startswith("velmora: error: ") and message in err and err.count("\n") == 1, err
    assert ext.schema_info() == before


@pytest.mark.parametrize("argv", [[], ["encode", "x"], ["schema"], ["decode", "--bogus"], ["--schema"]])
def test_usage_errors_exit_with_2(argv, capsys):
    with pytest.raises(SystemExit) as caught:
        main(argv)
    assert caught.value.code == 2
    assert "usage: python -m velmora" in capsys.readouterr().err


def _velmora(*argv, stdin=None):
    return subprocess.run([sys.executable, "-m", "velmora", *map(str, argv)], input=stdin,
                          capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("command", [[], ["decode"], ["encode"], ["schema"], ["schema", "convert"],
                                     ["schema", "info"]])
def test_help_for_each_command(command):
    proc = _velmora(*command, "--help")
    assert proc.returncode == 0 and proc.stderr == ""
    assert proc.stdout.startswith("usage: python -m velmora " + " ".join(command))


def test_module_entry_exit_status_and_pipe():
    encoded = _velmora("encode", "inputPeerUser", '{"user_id": 1, "access_hash": 2}')
    assert encoded.returncode == 0
    decoded = _velmora("decode", stdin=encoded.stdout)
    assert decoded.returncode == 0
    assert json.loads(decoded.stdout) == {"_": "inputPeerUser", "user_id": 1, "access_hash": 2}
    failed = _velmora("decode", "0102")
    assert (failed.returncode, failed.stdout) == (1, "")
    assert failed.stderr == "velmora: error: decode failed: unexpected eof\n"
