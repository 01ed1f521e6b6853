import json
import threading

import pytest

import velmora.ext as ext
from conftest import DEFAULT_SCHEMA_TEXT

DEFAULT = {"layer": 0, "methods": 21, "constructors": 27}
pytestmark = pytest.mark.usefixtures("restore_default_schema")


def test_default_schema_is_installed_at_import():
    info = ext.schema_info()
    assert info == DEFAULT
    assert list(info) == ["layer", "methods", "constructors"]
    assert ext.load_schema(DEFAULT_SCHEMA_TEXT) == DEFAULT


@pytest.mark.parametrize(
    "doc, summary",
    [
        ('{"methods": {}}', {"layer": 0, "methods": 0, "constructors": 0}),
        ("{}", {"layer": 0, "methods": 0, "constructors": 0}),  # through the bare-methods attempt
        ('{"ping": {"cid": 1, "fields": []}}', {"layer": 0, "methods": 1, "constructors": 0}),
        ('{"layer": 7, "methods": {}, "constructors": {}}', {"layer": 7, "methods": 0, "constructors": 0}),
        ('{"methods": {"ping": {"cid": 1, "fields": []}, "ping": {"cid": 2, "fields": []}}}',
         {"layer": 0, "methods": 1, "constructors": 0}),
        ('{"methods": {}, "constructors": {"a": {"cid": 5, "fields": []}, "b": {"cid": 5, "fields": []}}}',
         {"layer": 0, "methods": 0, "constructors": 2}),
        ('[4294967295, {"m": [1, [["x", "int"]]]}]', {"layer": 4294967295, "methods": 1, "constructors": 0}),
    ],
)
def test_load_schema_summary(doc, summary):
    assert ext.load_schema(doc) == summary
    assert ext.schema_info() == summary


def test_bare_methods_document_replaces_the_constructors_too():
    ext.load_schema('{"ping": {"cid": 1, "fields": []}}')
    assert ext.loads(bytes.fromhex("63241605"))["_"] == "unknownConstructor"


def test_empty_schema_is_installed_not_missing():
    ext.load_schema('{"methods": {}}')
    with pytest.raises(ValueError, match="^unknown method: req_pq_multi$"):
        ext.serialize_method("req_pq_multi", {"nonce": bytes(16)})


@pytest.mark.parametrize(
    "doc, message",
    [
        # The first attempt misses "methods"; the second refuses 5 as a method.
        ('{"layer": 5}', "schema parsing failed: invalid type: integer, expected struct TlMethod at line 1 column 11"),
        ("", "schema parsing failed: empty document at line 1 column 1"),
        ('{"methods": {}} x', "schema parsing failed: "),
        ('{"methods": {"m": {"cid": 1.0, "fields": []}}}', "schema parsing failed: "),
        ('{"methods": {}, "x": [1, }', "schema parsing failed: "),
    ],
)
def test_failure_leaves_the_current_schema(doc, message):
    before = ext.schema_info()
    with pytest.raises(ValueError) as info:
        ext.load_schema(doc)
    assert str(info.value).startswith(message)
    assert " at line " in str(info.value)
    assert ext.schema_info() == before
    assert ext.serialize_constructor("inputPeerSelf", {}) == bytes.fromhex("c97ea07d")


def test_text_argument_only():
    with pytest.raises(TypeError, match="^argument 'schema_json': 'bytes' object cannot be converted to 'PyString'$"):
        ext.load_schema(b"{}")
    with pytest.raises(UnicodeEncodeError):
        ext.load_schema('{"methods": {"\ud800": {"cid": 1, "fields": []}}}')


def test_deep_nesting_inside_an_ignored_key_is_refused():
    depth = 10_000
    doc = '{"methods": {}, "x": ' + "[" * depth + "]" * depth + "}"
    doc += " " * (100_000 - len(doc))
    # The message is the bare-methods attempt's, which fails earlier on "methods".
    with pytest.raises(ValueError, match="^schema parsing failed: "):
        ext.load_schema(doc)
    with pytest.raises(ValueError, match="nesting deeper than 127 levels"):
        ext.load_schema('{"m": {"cid": 1, "fields": [], "x": ' + "[" * depth + "]" * depth + "}}")
    assert ext.schema_info() == DEFAULT


def test_replacing_while_reading_from_threads():
    small = json.dumps({"layer": 1, "methods": {"a": {"cid": 1, "fields": []}}})
    seen, errors = set(), []
    allowed = {tuple(DEFAULT.values()), (1, 1, 0)}
    finished = []

    def writer():
        try:
            for i in range(300):
                ext.load_schema(small if i % 2 else DEFAULT_SCHEMA_TEXT)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)
        finally:
            finished.append(1)

    def reader():
        try:
            while True:
                seen.add(tuple(ext.schema_info().values()))
                if len(finished) == 2:
                    break
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=writer), threading.Thread(target=writer)]
    threads += [threading.Thread(target=reader) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert seen and seen <= allowed
