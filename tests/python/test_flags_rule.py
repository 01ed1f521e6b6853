"""The Python flags-word index rule (converter, benchmark codecs) against the module's."""
import json
import struct

import pytest

import velmora.ext as ext
from velmora._flags import FLAGS_WORDS, flags_word_index

NAMES = ["flags", "flags0", "flags1", "flags2", "flags3", "flags8", "flags9", "flags100", "flags+2",
         "flags-2", "flags++2", "flags+", "flagsX", "flags2x", "Flags2", "extra_flags", "flags\u0663",
         "flags18446744073709551615", "flags18446744073709551616", "flags" + "9" * 40]
WORDS = [{"name": "flags" if i == 0 else f"flags{i + 1}", "type": "#"} for i in range(FLAGS_WORDS)]


@pytest.mark.parametrize("group", NAMES)
def test_python_rule_places_the_bit_where_the_module_does(group, restore_default_schema):
    # A true field in word `group`: the module sets its bit in the word its own rule picks.
    field = {"name": "on", "type": "true", "flag_bit": 0, "flags_group": group, "is_bare": True}
    record = {"cid": 1, "fields": WORDS + [field], "has_flags": True}
    ext.load_schema(json.dumps({"layer": 1, "methods": {}, "constructors": {"probe": record}}))
    words = struct.unpack(f"<{FLAGS_WORDS}I", ext.serialize_constructor("probe", {"on": True})[4:])
    assert words.index(1) == flags_word_index(group)
