"""The module boundary: table, binding messages, conversion rules, faults."""

import subprocess
import sys
import textwrap

import pytest

import velmora.ext as ext

NAMES = [
    "load_schema", "schema_info", "serialize_method", "serialize_constructor",
    "deserialize_constructor", "dumps", "loads", "aes_ige_enc", "aes_ige_fast_path",
    "aes_ige_dec", "aes_ige_enc_raw", "aes_ige_dec_raw", "aes_gcm_encrypt", "aes_gcm_decrypt",
    "cut", "pack",
]

SIGNATURES = {
    "load_schema": "(schema_json)",
    "schema_info": "()",
    "serialize_method": "(method, args)",
    "serialize_constructor": "(name, args)",
    "deserialize_constructor": "(data)",
    "dumps": "(obj)",
    "loads": "(data)",
    "aes_ige_enc": "(data, key, iv)",
    "aes_ige_fast_path": "()",
    "aes_ige_dec": "(data, key, iv)",
    "aes_ige_enc_raw": "(data, key, iv)",
    "aes_ige_dec_raw": "(data, key, iv)",
    "aes_gcm_encrypt": "(key, nonce, plaintext, aad)",
    "aes_gcm_decrypt": "(key, nonce, ciphertext, aad)",
    "cut": "(data, offset, length)",
    "pack": "(parts)",
}

KEY = bytes(32)
IV = bytes(32)


def test_all_in_table_order():
    assert ext.__all__ == NAMES


def test_module_doc_is_empty_string():
    assert ext.__doc__ == ""


@pytest.mark.parametrize("name", NAMES)
def test_text_signature(name):
    fn = getattr(ext, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ is None
    assert fn.__self__ is ext and fn.__module__ == ext.__name__


def raises_type(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert err.value.args == (message,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: ext.cut(b"a", 0), "cut() missing 1 required positional argument: 'length'"),
        (lambda: ext.cut(b"a"), "cut() missing 2 required positional arguments: 'offset' and 'length'"),
        (lambda: ext.cut(), "cut() missing 3 required positional arguments: 'data', 'offset', and 'length'"),
        (lambda: ext.cut(b"a", 0, 0, 0), "cut() takes 3 positional arguments but 4 were given"),
        (lambda: ext.cut(b"a", 0, 0, x=1), "cut() got an unexpected keyword argument 'x'"),
        (lambda: ext.cut(b"a", 0, 0, data=b"b"), "cut() got multiple values for argument 'data'"),
        (lambda: ext.cut(b"a", length=0, offset=0, x=1), "cut() got an unexpected keyword argument 'x'"),
        (lambda: ext.aes_ige_enc(), "aes_ige_enc() missing 3 required positional arguments: 'data', 'key', and 'iv'"),
        (lambda: ext.aes_ige_enc(b"", KEY, IV, 1, 2), "aes_ige_enc() takes 3 positional arguments but 5 were given"),
        (lambda: ext.aes_ige_enc(b"", KEY, iv=IV, key=KEY), "aes_ige_enc() got multiple values for argument 'key'"),
        (lambda: ext.aes_ige_enc(b"", key=KEY), "aes_ige_enc() missing 1 required positional argument: 'iv'"),
        (lambda: ext.aes_ige_enc(b"", KEY, IV, nonce=1), "aes_ige_enc() got an unexpected keyword argument 'nonce'"),
        (lambda: ext.loads(b"", b""), "loads() takes 1 positional arguments but 2 were given"),
        (lambda: ext.loads(), "loads() missing 1 required positional argument: 'data'"),
        (lambda: ext.loads(b"", data=b""), "loads() got multiple values for argument 'data'"),
        (lambda: ext.serialize_method(), "serialize_method() missing 2 required positional arguments: 'method' and 'args'"),
        (lambda: ext.serialize_method("m"), "serialize_method() missing 1 required positional argument: 'args'"),
        (lambda: ext.serialize_method("m", {}, {}), "serialize_method() takes 2 positional arguments but 3 were given"),
        (lambda: ext.serialize_method("m", {}, method="m"), "serialize_method() got multiple values for argument 'method'"),
        (lambda: ext.serialize_method(method="m", arg={}), "serialize_method() got an unexpected keyword argument 'arg'"),
    ],
)
def test_binding_messages(call, message):
    raises_type(call, message)


class SubBytes(bytes):
    pass


@pytest.mark.parametrize("bad", [bytearray(b"x"), memoryview(b"x"), "x", None, 1, [1]])
def test_bytes_rule_refuses(bad):
    t = type(bad).__qualname__
    raises_type(lambda: ext.aes_ige_enc(bad, KEY, IV),
                f"argument 'data': '{t}' object cannot be converted to 'PyBytes'")
    raises_type(lambda: ext.aes_ige_enc(b"", KEY, bad),
                f"argument 'iv': '{t}' object cannot be converted to 'PyBytes'")


@pytest.mark.parametrize("bad", [bytearray(b"x"), "x", None])
def test_bytes_rule_on_loads(bad):
    t = type(bad).__qualname__
    raises_type(lambda: ext.loads(bad), f"argument 'data': '{t}' object cannot be converted to 'PyBytes'")


def test_first_parameter_examined_first():
    raises_type(lambda: ext.aes_ige_enc(bytearray(16), "key", None),
                "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'")
    raises_type(lambda: ext.aes_ige_enc(b"", "key", None),
                "argument 'key': 'str' object cannot be converted to 'PyBytes'")
    # Keyword order does not change the order of examination.
    raises_type(lambda: ext.aes_ige_enc(iv=None, key=None, data=bytearray()),
                "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'")
    # Type errors come before any length check.
    raises_type(lambda: ext.aes_ige_enc(b"x", b"k", 5),
                "argument 'iv': 'int' object cannot be converted to 'PyBytes'")


def test_bytes_subclass_accepted():
    data = SubBytes(bytes(32))
    assert ext.aes_ige_enc(data, SubBytes(KEY), SubBytes(IV)) == ext.aes_ige_enc(bytes(32), KEY, IV)
    assert ext.cut(SubBytes(b"abc"), 1, 1) == b"b"


def test_text_rule():
    raises_type(lambda: ext.load_schema(b"{}"),
                "argument 'schema_json': 'bytes' object cannot be converted to 'PyString'")
    raises_type(lambda: ext.serialize_method(b"m", {}),
                "argument 'method': 'bytes' object cannot be converted to 'PyString'")


def test_keywords_in_any_order():
    assert ext.cut(length=3, offset=2, data=b"abcdef") == ext.cut(b"abcdef", 2, 3) == b"cde"
    data = bytes(48)
    assert ext.aes_ige_enc(iv=IV, data=data, key=KEY) == ext.aes_ige_enc(data, KEY, IV)
    n = bytes(12)
    assert ext.aes_gcm_encrypt(aad=b"a", plaintext=b"p", nonce=n, key=KEY) == \
        ext.aes_gcm_encrypt(KEY, n, b"p", b"a")


def test_unsigned_rule():
    with pytest.raises(OverflowError) as err:
        ext.cut(b"abc", -1, 1)
    assert not str(err.value).startswith("argument")
    with pytest.raises(TypeError) as err:
        ext.cut(b"abc", 1.0, 1)
    assert str(err.value).startswith("argument 'offset': ")
    assert ext.cut(b"abc", True, 5) == b"bc"


def test_prefixed_type_error_keeps_cause():
    class Index:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad index") from e

    with pytest.raises(TypeError) as err:
        ext.cut(b"abc", Index(), 1)
    assert err.value.args == ("argument 'offset': bad index",)
    assert isinstance(err.value.__cause__, KeyError)


@pytest.mark.parametrize("name", ["schema_info", "aes_ige_fast_path"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError):
        getattr(ext, name)(1)


def test_internal_fault_class():
    fault = ext.InternalFault
    assert fault.__bases__ == (BaseException,)
    assert not issubclass(fault, Exception)
    caught = None
    try:
        try:
            raise fault("x")
        except Exception:
            pytest.fail("an Exception handler caught the internal fault")
    except BaseException as e:
        caught = e
    assert type(caught) is fault


def test_second_initialisation_refused():
    code = textwrap.dedent(
        f"""
        import importlib.machinery, importlib.util
        import velmora.ext as first
        loader = importlib.machinery.ExtensionFileLoader("velmora.ext", {ext.__file__!r})
        spec = importlib.util.spec_from_file_location("velmora.other", {ext.__file__!r}, loader=loader)
        try:
            loader.create_module(spec)
        except ImportError as e:
            print("refused:", e)
        else:
            print("accepted")
        assert first.cut(b"abc", 1, 1) == b"b"
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.startswith("refused: "), out.stdout + out.stderr


def test_refcounts_of_inputs_unchanged():
    data, key, iv, nonce = bytes(64), bytes(range(32)), bytes(range(32, 64)), bytes(12)
    parts = [b"ab", bytearray(b"cd"), [1, 2]]
    objs = [data, key, iv, nonce, parts, parts[0], parts[1]]
    before = [sys.getrefcount(o) for o in objs]
    sealed = ext.aes_gcm_encrypt(key, nonce, data, b"")
    for _ in range(1000):
        ext.aes_ige_enc(data, key, iv)
        ext.aes_ige_dec_raw(data, key, iv)
        ext.aes_gcm_encrypt(key, nonce, data, b"")
        ext.aes_gcm_decrypt(key, nonce, sealed, b"")
        ext.cut(data, 1, 5)
        ext.pack(parts)
        for bad in (lambda: ext.aes_ige_enc(data, key, bytes(3)),
                    lambda: ext.aes_gcm_decrypt(key, nonce, data, b""),
                    lambda: ext.pack([parts[0], "s"])):
            try:
                bad()
            except (ValueError, RuntimeError, TypeError):
                pass
    assert [sys.getrefcount(o) for o in objs] == before
