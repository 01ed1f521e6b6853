"""cut and pack."""
import pytest

import velmora.ext as ext
from conftest import idx, outcome

U64_MAX = 2**64 - 1

@pytest.mark.parametrize("data, offset, length, want", [
    (b"abcdef", 2, 3, b"cde"), (b"abcdef", 4, 100, b"ef"), (b"abcdef", 6, 1, b""), (b"abcdef", 0, 0, b""),
    (b"", 0, 0, b""), (b"abc", 0, U64_MAX, b"abc"), (b"abc", 3, U64_MAX, b""), (b"abcdef", True, True, b"b"),
    (b"abcdef", idx(1), idx(2), b"bc"), (b"abcdef", 7, 0, ValueError("offset out of range")),
    (b"", 1, 0, ValueError("offset out of range")), (b"abc", U64_MAX, 0, ValueError("offset out of range")),
    (b"abc", 0, 2**64, OverflowError("int too big to convert")),
    (b"abc", 0, -1, OverflowError("can't convert negative int to unsigned")),
])
def test_cut(data, offset, length, want):
    outcome(lambda: ext.cut(data, offset, length), want)


class BadSequence:
    def __len__(self):
        raise ValueError("len fails")  # discarded: only a size hint

    def __getitem__(self, i):
        if i == 1:
            raise KeyError("boom")
        return 7


NO_ITER = type("NoIter", (), {"__getitem__": lambda self, i: 1, "__iter__": lambda self: iter(5)})()  # a sequence


def not_a(kind, what="Sequence"):
    return TypeError(f"argument 'parts': '{kind}' object cannot be converted to '{what}'")


@pytest.mark.parametrize("parts, want", [
    ([b"ab", b"", b"cd"], b"abcd"), ([], b""), ((), b""), (range(0), b""), ([b"q" * 1000] * 10, b"q" * 10000),
    ((b"a", bytearray(b"b"), [99], range(100, 101)), b"abcd"), ([[255, 0, True]], b"\xff\x00\x01"),
    ([memoryview(b"xy"), (idx(122),)], b"xyz"), ([type("B", (bytes,), {})(b"sub")], b"sub"),
    ("abc", TypeError("argument 'parts': Can't extract `str` to `Vec`")),
    ([b"a", "b"], TypeError("argument 'parts': Can't extract `str` to `Vec`")),
    (b"ab", not_a("int")), ({b"a": 1}, not_a("dict")), ((b for b in [b"a"]), not_a("generator")),
    ([{1, 2}], not_a("set")),
    ([[1.0]], TypeError("argument 'parts': 'float' object cannot be interpreted as an integer")),
    ([[None]], TypeError("argument 'parts': 'NoneType' object cannot be interpreted as an integer")),
    ([BadSequence()], KeyError("boom")), (NO_ITER, TypeError("argument 'parts': 'int' object is not iterable")),
    ([NO_ITER], TypeError("argument 'parts': 'int' object is not iterable")),
    ([b"ok", [256]], OverflowError("out of range integral type conversion attempted")),
    ([b"ok", [0, -1]], OverflowError("out of range integral type conversion attempted")),
    ([[idx(-5)]], OverflowError("out of range integral type conversion attempted")),
    ([[2**64]], OverflowError("Python int too large to convert to C long")),
])
def test_pack(parts, want):
    outcome(lambda: ext.pack(parts), want)


def test_pack_converts_everything_before_joining_and_stops_at_the_first_failure():
    seen = []
    spy = type("Spy", (), {"__index__": lambda self: seen.append(1) or 1})
    with pytest.raises(OverflowError):
        ext.pack([[spy()], [spy(), 300], [spy()]])
    assert seen == [1, 1]
    assert ext.pack(parts=[b"a", b"b"]) == b"ab"
