"""The command line at work: convert a TL text, decode a message with it, check a text, show the schema."""

import pathlib
import shlex
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SMALL = HERE / "small.tl"


def velmora(*args, stdin=None, head=None):
    """Runs `python -m velmora ARGS` as a user would, echoing it (the first `head`
    lines of its output only, if given); returns standard output."""
    proc = subprocess.run([sys.executable, "-m", "velmora", *map(str, args)], input=stdin,
                          capture_output=True, text=True, cwd=WORK)
    shown = " ".join(shlex.quote(str(a)) for a in args).replace(str(HERE), "examples")
    print(f"$ python -m velmora {shown}" + (" < message.hex" if stdin else ""))
    lines = proc.stdout.splitlines(keepends=True)
    sys.stdout.write("".join(lines[:head]))
    if head is not None and len(lines) > head:
        print(f"  ... ({len(lines) - head} more lines)")
    sys.stdout.write(proc.stderr.replace(str(HERE), "examples"))
    if proc.returncode != 0:
        raise SystemExit(f"exit status {proc.returncode}")
    return proc.stdout


with tempfile.TemporaryDirectory() as WORK:
    # 1. TL text to a schema document; the lines the codec reads differently are warned about.
    document = "small.json"
    converted = velmora("schema", "convert", SMALL, head=12)
    (pathlib.Path(WORK) / document).write_text(converted)

    # 2. A note as a server might send it, encoded and decoded with the converted schema.
    note = velmora("--schema", document, "encode", "note",
                   '{"id": 77, "author": {"_": "peerUser", "user_id": 42}, "title": "buy milk",'
                   ' "pinned": true, "tags": ["home", "today"]}')
    velmora("--schema", document, "decode", note.strip())

    # 3. A method call wrapped in invokeWithLayer: decode knows the methods of the schema in
    #    use, and takes --schema after the command as well as before it.
    call = velmora("--schema", document, "encode", "invokeWithLayer",
                   '{"layer": 3, "query": {"_": "notes.get", "peer": {"_": "peerChannel",'
                   ' "channel_id": 9}, "limit": 20}}')
    velmora("decode", "--schema", document, stdin=call)

    # 4. A method call of the compiled-in schema, the first message of the key exchange.
    velmora("decode", "f18e7ebe" + "00" * 15 + "2a")

    # 5. A typo in a TL text: schema check names the file, the line and the closest name.
    typo = pathlib.Path(WORK) / "typo.tl"
    typo.write_text(SMALL.read_text().replace("author:Peer", "author:Pear"))
    velmora("schema", "check", typo.name)

    # 6. What is installed: the schema of the TL text, then the compiled-in one.
    velmora("--schema", SMALL, "schema", "info")
    velmora("schema", "info")
