"""The serializer reads a dict in one walk; Python code run while a value is
converted or a key compared may change the dict, and must be seen exactly as
the per-field lookups (taken when a key is no exact str) see it."""
import itertools
import struct

import pytest

import velmora.ext as ext
from conftest import f, load

RECORDS = {"t": (1, [f("flags", "#"), f("a"), f("r", "double"), f("b", bit=0), f("c", bit=1), f("n", "Object", 2),
                    f("p", "true", 3, True), f("e")], True),
           "u": (2, [f("x"), f("y")], False), "s": (3, [f("n", "Object"), f("e")], False)}
# No field name shared: each record's own index must hold its own fields alone.
OWN = {"o": (4, [f("i", "Object")], False), "a3": (5, [f("f0"), f("f1"), f("f2")], False), "b1": (6, [f("g0")], False)}


class Key(str):
    pass


class Mutating:
    def __init__(self, target, change):
        self.target, self.change = target, change

    def __index__(self):
        self.change(self.target)
        return 7

    __float__ = lambda self: float(self.__index__())


class Colliding(Mutating):
    """A key of hash("x"): looking "x" up compares them, which runs the change (the only Python code that
    runs while a small top-level "s", whose walk is skipped, is written)."""
    __hash__ = lambda self: hash("x")
    __eq__ = lambda self, other: self.target is not None and self.__index__() == 0  # armed once built


def outcome(where, change, lookups):
    k = Colliding(None, change)
    d = {Key("zz"): 0} if lookups else {}  # names no field, but only a lookup can tell
    d.update(a=1, r=0.5, c=3, n={"_": "u", **({k: 0} if where == "key" else {}), "x": 1, "y": 2}, p=True, e=4, q=0)
    k.target = d
    (d if where in ("a", "r") else d["n"])[where] = Mutating(d, change)
    try:
        return ext.serialize_constructor("s" if where == "key" else "t", d)
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("where", ["a", "r", "x", "key"])
@pytest.mark.parametrize("change", [
    lambda d: d.pop("c"), lambda d: d.pop("e"), lambda d: d.update(c=None), lambda d: d.update(b=5),
    lambda d: d.update(c=99, n=b"\x01\x02"), lambda d: d.pop("n"), lambda d: d.clear(), lambda d: d.update(e="x")])
def test_a_dict_changed_by_a_value_reads_as_the_lookups_read_it(restore_default_schema, where, change):
    load(RECORDS)
    assert outcome(where, change, lookups=False) == outcome(where, change, lookups=True)


@pytest.mark.parametrize("inner, want", [
    ({"_": "a3", "g0": 1, "f1": 2, "f2": 3}, "a3: missing required field f0"),
    ({"_": "b1", "f0": 1}, "b1: missing required field g0"),
])
def test_a_record_gathers_only_its_own_fields(restore_default_schema, inner, want):
    load(OWN)
    with pytest.raises(ValueError, match=f"^ValueError: o:i: ValueError: {want}$"):
        ext.dumps({"_": "o", "i": inner})


def test_a_str_subclass_name_is_looked_up_by_its_text():
    # Equal to every name and hashed as one: the compiled tables would take it for that record.
    like = type("Like", (str,), {"__hash__": lambda self: hash("inputPeerSelf"), "__eq__": lambda self, o: True})
    with pytest.raises(ValueError, match="^unknown constructor: nope$"):
        ext.serialize_constructor(like("nope"), {})


def test_objects_of_one_record_are_read_whatever_order_their_keys_come_in(restore_default_schema):
    load(OWN)
    orders = list(itertools.permutations(["f0", "f1", "f2", "zz"]))
    objects = [{"_": "a3", **{k: 10 * n + i for i, k in enumerate(o)}} for n, o in enumerate(orders)]
    for d in objects:  # one after another, nested so that each is gathered after one of another order
        assert ext.dumps({"_": "o", "i": d}) == struct.pack("<IIiii", 4, 5, d["f0"], d["f1"], d["f2"])


@pytest.mark.parametrize("lookups", [False, True])
def test_a_value_put_in_after_the_flags_were_written_is_left_out(restore_default_schema, lookups):
    load(RECORDS)
    out = outcome("a", lambda d: d.update(b=5), lookups)  # "b" (bit 0) comes after "a", absent when flags were set
    assert ext.loads(out) == {"_": "t", "flags": 0b1110, "a": 7, "r": 0.5, "c": 3,
                              "n": {"_": "u", "x": 1, "y": 2}, "p": True, "e": 4}
