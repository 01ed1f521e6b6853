"""cut and pack edge cases."""

import pytest

import velmora.ext as ext

U64_MAX = 2**64 - 1


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "data, offset, length, expected",
    [
        (b"abcdef", 2, 3, b"cde"),
        (b"abcdef", 4, 100, b"ef"),
        (b"abcdef", 6, 1, b""),
        (b"abcdef", 0, 0, b""),
        (b"", 0, 0, b""),
        (b"abc", 0, U64_MAX, b"abc"),
        (b"abc", 3, U64_MAX, b""),
        (b"abcdef", True, True, b"b"),
        (b"abcdef", Idx(1), Idx(2), b"bc"),
    ],
)
def test_cut(data, offset, length, expected):
    out = ext.cut(data, offset, length)
    assert type(out) is bytes and out == expected


@pytest.mark.parametrize("data, offset", [(b"abcdef", 7), (b"", 1), (b"abc", U64_MAX)])
def test_cut_offset_out_of_range(data, offset):
    with pytest.raises(ValueError) as err:
        ext.cut(data, offset, 0)
    assert err.value.args == ("offset out of range",)


@pytest.mark.parametrize("offset, length", [(-1, 0), (0, -1), (2**64, 0), (0, 2**64)])
def test_cut_integer_overflow_unprefixed(offset, length):
    with pytest.raises(OverflowError) as err:
        ext.cut(b"abc", offset, length)
    assert not str(err.value).startswith("argument")


@pytest.mark.parametrize(
    "args, message",
    [
        ((bytearray(b"a"), 0, 0), "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
        ((memoryview(b"a"), 0, 0), "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
        ((b"a", 1.0, 0), "argument 'offset': "),
        ((b"a", 0, "1"), "argument 'length': "),
        ((b"a", None, 1.5), "argument 'offset': "),
    ],
)
def test_cut_type_errors(args, message):
    with pytest.raises(TypeError) as err:
        ext.cut(*args)
    assert str(err.value).startswith(message)


def test_cut_bytes_subclass():
    class B(bytes):
        pass

    assert ext.cut(B(b"hello"), 1, 3) == b"ell"


@pytest.mark.parametrize(
    "parts, expected",
    [
        ([b"ab", b"", b"cd"], b"abcd"),
        ([], b""),
        ((), b""),
        ([b"", b""], b""),
        ((b"a", bytearray(b"b"), [99], range(100, 101)), b"abcd"),
        ([[255, 0, True]], b"\xff\x00\x01"),
        ([memoryview(b"xy"), (Idx(122),)], b"xyz"),
        (range(0), b""),
        ([b"q" * 1000] * 10, b"q" * 10000),
    ],
)
def test_pack(parts, expected):
    out = ext.pack(parts)
    assert type(out) is bytes and out == expected


def gen():
    yield b"a"


@pytest.mark.parametrize(
    "parts, message",
    [
        ("abc", "argument 'parts': Can't extract `str` to `Vec`"),
        ([b"a", "b"], "argument 'parts': Can't extract `str` to `Vec`"),
        (b"ab", "argument 'parts': 'int' object cannot be converted to 'Sequence'"),
        ({b"a": 1}, "argument 'parts': 'dict' object cannot be converted to 'Sequence'"),
        (gen(), "argument 'parts': 'generator' object cannot be converted to 'Sequence'"),
        ([{1, 2}], "argument 'parts': 'set' object cannot be converted to 'Sequence'"),
        (5, "argument 'parts': 'int' object cannot be converted to 'Sequence'"),
        ([[1.0]], "argument 'parts': 'float' object cannot be interpreted as an integer"),
        ([[None]], "argument 'parts': "),
    ],
)
def test_pack_type_errors(parts, message):
    with pytest.raises(TypeError) as err:
        ext.pack(parts)
    assert str(err.value).startswith(message)
    if not message.endswith(": "):
        assert str(err.value) == message


@pytest.mark.parametrize("inner", [[256], [-1], [0, 1000], [Idx(-5)]])
def test_pack_byte_out_of_range(inner):
    with pytest.raises(OverflowError) as err:
        ext.pack([b"ok", inner])
    assert err.value.args == ("out of range integral type conversion attempted",)


def test_pack_beyond_64_bits_is_the_interpreters_overflow():
    with pytest.raises(OverflowError) as err:
        ext.pack([[2**64]])
    assert str(err.value) != "out of range integral type conversion attempted"


def test_pack_converts_everything_before_joining():
    seen = []

    class Spy:
        def __index__(self):
            seen.append(1)
            return 1

    with pytest.raises(OverflowError):
        ext.pack([[Spy()], [Spy(), 300], [Spy()]])
    # Conversion stops at the first failure.
    assert seen == [1, 1]


def test_pack_passes_on_iteration_errors():
    class Bad:
        def __len__(self):
            raise ValueError("len fails")  # discarded: only a size hint

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return 7

    with pytest.raises(KeyError):
        ext.pack([Bad()])


def test_pack_parts_by_keyword():
    assert ext.pack(parts=[b"a", b"b"]) == b"ab"
