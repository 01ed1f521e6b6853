"""load_schema and schema_info."""
import pytest

import velmora.ext as ext
from conftest import load, u32

DEFAULT = {"layer": 0, "methods": 21, "constructors": 27}
pytestmark = pytest.mark.usefixtures("restore_default_schema")


def test_default_schema_is_installed_at_import():
    assert repr(ext.schema_info()) == repr(DEFAULT)


@pytest.mark.parametrize("doc, summary", [
    ('{"methods": {}}', (0, 0, 0)),
    ("{}", (0, 0, 0)),  # through the bare-methods attempt
    ('{"ping": {"cid": 1, "fields": []}}', (0, 1, 0)),
    ('{"layer": 7, "methods": {}, "constructors": {}}', (7, 0, 0)),
    ('{"methods": {"ping": {"cid": 1, "fields": []}, "ping": {"cid": 2, "fields": []}}}', (0, 1, 0)),
    ('{"methods": {}, "constructors": {"a": {"cid": 5, "fields": []}, "b": {"cid": 5, "fields": []}}}', (0, 0, 2)),
    ('[4294967295, {"m": [1, [["x", "int"]]]}]', (4294967295, 1, 0)),
])
def test_load_schema_summary(doc, summary):
    want = dict(zip(DEFAULT, summary))
    assert ext.load_schema(doc) == want and ext.schema_info() == want
    # The new schema replaces methods and constructors alike.
    with pytest.raises(ValueError, match="^unknown method: req_pq_multi$"):
        ext.serialize_method("req_pq_multi", {"nonce": bytes(16)})
    assert ext.loads(bytes.fromhex("63241605"))["_"] == "unknownConstructor"


@pytest.mark.parametrize("doc, want", [
    # The first attempt misses "methods"; the second refuses 5 as a method.
    ('{"layer": 5}', 'schema parsing failed: missing key "methods" in struct SchemaInput at line 1 column 12'),
    ("", "schema parsing failed: empty document at line 1 column 1"),
    ("5", "schema parsing failed: invalid type: integer, expected an object of struct TlMethod at line 1 column 1"),
    ('{"methods": {}} x', "schema parsing failed: trailing characters at line 1 column 17"),
    ('{"methods": {"\ud800": {"cid": 1, "fields": []}}}', UnicodeEncodeError),
])
def test_failure_leaves_the_current_schema(doc, want):
    with pytest.raises(ValueError if isinstance(want, str) else want) as e:
        ext.load_schema(doc)
    assert isinstance(want, type) or str(e.value) == want
    assert ext.schema_info() == DEFAULT
    assert ext.serialize_constructor("inputPeerSelf", {}) == bytes.fromhex("c97ea07d")


def test_a_name_both_method_and_constructor():
    # Each top-level function uses its own table, a nested object the constructor.
    load({"both": (2, [], False)}, {"both": (1, [], False), "wrap": (3, [{"name": "q", "type": "!X"}], False)})
    assert [ext.serialize_method("both", {}), ext.serialize_constructor("both", {})] == [u32(1), u32(2)]
    assert ext.serialize_method("wrap", {"q": {"_": "both"}}) == u32(3, 2)
    assert ext.dumps({"_": "wrap", "q": {"_": "both"}}) == u32(3, 2)
