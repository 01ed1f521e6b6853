"""The README's Python examples run as written, and the results their comments state hold:
a comment on a statement's last line, or on the indented comment line below it, states the
statement's result when it is a Python expression; other comments are remarks."""

import ast
import io
import re
import tokenize

import pytest

from conftest import ROOT

BLOCKS = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S)


def stated(comment):
    try:
        return compile(comment[1:].strip(), "README.md", "eval")
    except SyntaxError:
        return None


@pytest.mark.usefixtures("restore_default_schema")
@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(1, len(BLOCKS) + 1)])
def test_readme_python_block(block):
    comments = {t.start[0]: stated(t.string) for t in tokenize.generate_tokens(io.StringIO(block).readline)
                if t.type == tokenize.COMMENT}
    namespace: dict = {}
    for stmt in ast.parse(block).body:
        end = stmt.end_lineno
        expected = comments.get(end) or (comments.get(end + 1) if (block.splitlines() + [""])[end][:1] == " " else None)
        if expected is not None and isinstance(stmt, ast.Expr):
            got = eval(compile(ast.Expression(stmt.value), "README.md", "eval"), namespace)
            assert got == eval(expected, namespace), ast.get_source_segment(block, stmt)
        else:
            exec(compile(ast.Module([stmt], []), "README.md", "exec"), namespace)
