"""The flags-word index rule of the codec, the one copy in Python.

A record carries up to eight flags words. The converter reports two flags
fields that would share a word, and the pure-Python benchmark codecs place
conditional fields, both by this rule; a test holds it to the module's own.
"""

#: Flags words a record can carry: flags, flags2 ... flags8.
FLAGS_WORDS = 8


def flags_word_index(name: str) -> int:
    """The word index of a flags word name: flags2 .. flags8 are 1 .. 7, higher
    numbers share the last word, and any other name (a number that does not fit
    in 64 bits included) is word 0."""
    if not name.startswith("flags"):
        return 0
    rest = name[5:]
    if rest.startswith("+"):
        rest = rest[1:]
    if not rest or not rest.isascii() or not rest.isdigit():
        return 0
    n = int(rest)
    if n >= 1 << 64 or n < 2:
        return 0
    return min(n - 1, FLAGS_WORDS - 1)
