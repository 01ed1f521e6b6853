"""The examples of the README and of docs/ run as written.

Python blocks: a comment on a statement's last line, or on the indented comment line below it,
states the statement's result when it is a Python expression; other comments are remarks.
Console blocks: each `$ python -m velmora ...` line runs in a folder that holds the repository's
examples/ and tests/; the lines after it are its output (standard error included), "..." standing
for lines left out, and "[exit N]" its exit status where it is not 0."""

import ast
import io
import re
import subprocess
import sys
import tokenize

import pytest

from conftest import ROOT

PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = [(p.name, b) for p in PAGES for b in re.findall(r"```python\n(.*?)```", p.read_text(), re.S)]
CONSOLE = [(p.name, b) for p in PAGES for b in re.findall(r"```console\n(.*?)```", p.read_text(), re.S)]


def stated(comment):
    try:
        return compile(comment[1:].strip(), "README.md", "eval")
    except SyntaxError:
        return None


@pytest.mark.usefixtures("restore_default_schema")
@pytest.mark.parametrize("page, block", BLOCKS, ids=[f"{p}-{i}" for i, (p, _) in enumerate(BLOCKS)])
def test_python_block(page, block, monkeypatch):
    monkeypatch.chdir(ROOT)  # the examples name the checkout's files as a reader in it would
    comments = {t.start[0]: stated(t.string) for t in tokenize.generate_tokens(io.StringIO(block).readline)
                if t.type == tokenize.COMMENT}
    namespace: dict = {}
    for stmt in ast.parse(block).body:
        end = stmt.end_lineno
        expected = comments.get(end) or (comments.get(end + 1) if (block.splitlines() + [""])[end][:1] == " " else None)
        if expected is not None and isinstance(stmt, ast.Expr):
            got = eval(compile(ast.Expression(stmt.value), page, "eval"), namespace)
            assert got == eval(expected, namespace), ast.get_source_segment(block, stmt)
        else:
            exec(compile(ast.Module([stmt], []), page, "exec"), namespace)


@pytest.mark.parametrize("page, block", CONSOLE, ids=[f"{p}-{i}" for i, (p, _) in enumerate(CONSOLE)])
def test_console_block(page, block, tmp_path):
    for name in ("examples", "tests"):
        (tmp_path / name).symlink_to(ROOT / name)
    for command in re.split(r"^\$ ", block, flags=re.M)[1:]:
        line, *shown = command.rstrip("\n").split("\n")
        status = int(shown.pop()[6:-1]) if shown and shown[-1].startswith("[exit ") else 0
        assert line.startswith("python -m velmora"), line
        run = subprocess.run(line.replace("python", sys.executable, 1), shell=True, cwd=tmp_path, text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        pattern = "".join("(.*\n)*?" if s == "..." else re.escape(s + "\n") for s in shown)
        assert (run.returncode, bool(re.fullmatch(pattern, run.stdout))) == (status, True), (line, run.stdout)
