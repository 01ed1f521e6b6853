"""The TL schema converter on a protocol-sized text: 2,000 declarations with flags
words, conditional fields, presence flags and vectors. The baseline is loading the
document it produces, so the ratio says what converting costs next to loading."""

import random

from timing import DEFAULT_SCHEMA, fmt_ns, per_call_ns, table

import velmora.ext as ext
from velmora import tlschema

PLAIN = ["int", "long", "string", "bytes", "Bool", "double", "int128", "int256", "InputPeer", "Peer"]


def generated_tl(records=2000, seed=11):
    rnd = random.Random(seed)

    def declaration(name):
        words = [f"{name}#{rnd.getrandbits(32):08x}", "flags:#"]
        for j in range(rnd.randint(2, 9)):
            t = rnd.choice(PLAIN)
            if rnd.random() < 0.15:
                t = f"Vector<{t}>"
            if rnd.random() < 0.4:
                t = f"flags.{j % 32}?{'true' if rnd.random() < 0.3 else t}"
            words.append(f"field_{j}:{t}")
        return " ".join(words) + f" = Type{rnd.randrange(300)};"

    constructors = records - records // 4
    # The two boxed types of PLAIN, declared, so that every field type names something declared.
    lines = ["// LAYER 200", "inputPeerSelf#7da07ec9 = InputPeer;", "peerUser#59511722 user_id:long = Peer;"]
    lines += [declaration(f"someConstructorName{i}") for i in range(constructors)]
    lines.append("---functions---")
    lines += [declaration(f"namespace.someMethodName{i}") for i in range(records // 4)]
    return "\n".join(lines) + "\n"


def main():
    text = generated_tl()
    document = tlschema.convert(text)
    try:
        info = ext.load_schema(document)
        ours = per_call_ns(lambda: tlschema.convert(text))
        base = per_call_ns(lambda: ext.load_schema(document))
    finally:
        ext.load_schema(DEFAULT_SCHEMA)
    records = info["methods"] + info["constructors"]
    print(f"TL text: {len(text) / 1e3:.0f} kB, {records} records")
    table(
        ["case", "convert", "load_schema of the result", "ratio (convert / load)", "target", "met"],
        [["tlschema.convert, 2,000 records", fmt_ns(ours), fmt_ns(base), f"{ours / base:.1f}x",
          "< 1 s", "yes" if ours < 1e9 else "MISSED"]],
    )


if __name__ == "__main__":
    main()
