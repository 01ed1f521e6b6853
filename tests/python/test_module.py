"""The module boundary: argument binding, conversion rules, faults."""
import ast
import subprocess
import sys

import pytest

import velmora.ext as ext
from conftest import ROOT, outcome

KEY = IV = bytes(32)


def refused(param, value, target="PyBytes"):
    return TypeError(f"argument '{param}': '{type(value).__qualname__}' object cannot be converted to '{target}'")


class Index:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise TypeError("bad index") from e


@pytest.mark.parametrize("call, want", [
    (lambda: ext.cut(b"a", 0), "cut() missing 1 required positional argument: 'length'"),
    (lambda: ext.cut(b"a"), "cut() missing 2 required positional arguments: 'offset' and 'length'"),
    (lambda: ext.cut(), "cut() missing 3 required positional arguments: 'data', 'offset', and 'length'"),
    (lambda: ext.cut(b"a", 0, 0, 0), "cut() takes 3 positional arguments but 4 were given"),
    (lambda: ext.cut(b"a", length=0, offset=0, x=1), "cut() got an unexpected keyword argument 'x'"),
    (lambda: ext.cut(b"a", 0, 0, **{"\u00e9": 1}), "cut() got an unexpected keyword argument '\u00e9'"),
    (lambda: ext.aes_ige_enc(b"", KEY, iv=IV, key=KEY), "aes_ige_enc() got multiple values for argument 'key'"),
    (lambda: ext.aes_ige_enc(b"", key=KEY), "aes_ige_enc() missing 1 required positional argument: 'iv'"),
    (lambda: ext.aes_ige_fast_path(1), "velmora.ext.aes_ige_fast_path() takes no arguments (1 given)"),
    (lambda: ext.loads(), "loads() missing 1 required positional argument: 'data'"),
    (lambda: ext.deserialize_constructor(b"", b""), "deserialize_constructor() takes 1 positional arguments but 2 were given"),
    # Parameters are examined in order, keywords or not, and types before any length.
    (lambda: ext.aes_ige_enc(iv=None, key="k", data=bytearray()), refused("data", bytearray())),
    (lambda: ext.aes_ige_enc(b"", "key", None), refused("key", "")),
    (lambda: ext.aes_ige_enc(b"x", b"k", 5), refused("iv", 5)),
    (lambda: ext.loads(memoryview(b"")), refused("data", memoryview(b""))),
    (lambda: ext.load_schema(b"{}"), refused("schema_json", b"", "PyString")),
    (lambda: ext.serialize_method(b"m", {}), refused("method", b"", "PyString")),
    (lambda: ext.serialize_constructor(None, {}), refused("name", None, "PyString")),
    (lambda: ext._encode_json(True, 5, {}), refused("name", 5, "PyString")),
    (lambda: ext.cut(b"abc", 1.0, 1), "argument 'offset': 'float' object cannot be interpreted as an integer"),
    (lambda: ext.cut(b"abc", 0, "1"), "argument 'length': 'str' object cannot be interpreted as an integer"),
])
def test_binding_and_conversion(call, want):
    outcome(call, TypeError(want) if isinstance(want, str) else want)


def test_prefixed_type_error_keeps_its_cause():
    with pytest.raises(TypeError) as e:
        ext.cut(b"abc", Index(), 1)
    assert isinstance(e.value.__cause__, KeyError) and e.value.args == ("argument 'offset': bad index",)


def test_keywords_and_subclasses_accepted():
    sub = type("SubBytes", (bytes,), {})
    assert ext.cut(length=3, offset=2, data=sub(b"abcdef")) == b"cde"
    assert ext.aes_ige_enc(iv=sub(IV), data=bytes(48), key=KEY) == ext.aes_ige_enc(bytes(48), KEY, IV)
    assert ext.aes_gcm_encrypt(aad=b"a", plaintext=b"p", nonce=bytes(12), key=KEY) == \
        ext.aes_gcm_encrypt(KEY, bytes(12), b"p", b"a")
    assert ext.serialize_method(args={}, method="help.getConfig") == bytes.fromhex("6b18f9c4")
    assert ext.InternalFault.__bases__ == (BaseException,)


def test_all_names_the_functions_of_the_stub():
    stub = ast.parse((ROOT / "python" / "velmora" / "ext.pyi").read_text())
    assigned = {n.targets[0].id: n.value for n in stub.body if isinstance(n, ast.Assign)}
    assert ext.__all__ == ast.literal_eval(assigned["__all__"])


def test_second_initialisation_refused():
    code = f"""if True:
        import importlib.machinery, importlib.util
        import velmora.ext as first
        loader = importlib.machinery.ExtensionFileLoader("velmora.ext", {ext.__file__!r})
        try:
            loader.create_module(importlib.util.spec_from_file_location("velmora.ext", {ext.__file__!r}, loader=loader))
        except ImportError as e:
            print(e)
        assert first.cut(b"abc", 1, 1) == b"b"
        """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "velmora.ext may be initialised only once per interpreter process\n"


def test_calls_keep_no_references_to_their_inputs():
    data, key, iv, nonce = bytes(64), bytes(range(32)), bytes(range(32, 64)), bytes(12)
    parts = [b"ab", bytearray(b"cd")]
    objs = [data, key, iv, nonce, parts, parts[0], parts[1]]
    before = [sys.getrefcount(o) for o in objs]
    sealed = ext.aes_gcm_encrypt(key, nonce, data, b"")
    for _ in range(1000):
        ext.aes_ige_enc(data, key, iv)
        ext.aes_ige_dec_raw(data, key, iv)
        ext.aes_gcm_decrypt(key, nonce, sealed, b"")
        ext.cut(data, 1, 5)
        ext.pack(parts)
        ext.loads(b"\x4c\xa5\xe8\xdd" + bytes(16))
        ext.dumps({"_": "account.updateStatus", "offline": True})
        for bad in (lambda: ext.aes_ige_enc(data, key, bytes(3)), lambda: ext.aes_gcm_decrypt(key, nonce, data, b""),
                    lambda: ext.pack([parts[0], "s"]), lambda: ext.serialize_method("account.updateStatus", None)):
            with pytest.raises((ValueError, RuntimeError, TypeError)):
                bad()
    del sealed
    assert [sys.getrefcount(o) for o in objs] == before
