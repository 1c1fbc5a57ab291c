"""The README's Python blocks and the promises their comments make, and a runner that executes
one block, statement by statement, in a fresh interpreter (``python readme_blocks.py < code``).

Two promises are checked:
- a statement whose last line ends in ``# -> VALUE`` evaluates to something whose repr is VALUE
  (for an assignment, the value assigned; prose about it goes on the following comment lines);
- a Python block followed directly by a ``text`` block prints exactly that text.
"""

import ast
import contextlib
import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)
PROMISE = re.compile(r"#\s*->\s*(.+?)\s*$")


def blocks():
    """(line number, code, printed text or None) for each Python block of the README."""
    text = README.read_text()
    found = list(FENCE.finditer(text))
    result = []
    for i, match in enumerate(found):
        if match.group(1) != "python":
            continue
        after = found[i + 1] if i + 1 < len(found) else None
        printed = None
        if after and after.group(1) == "text" and not text[match.end():after.start()].strip():
            printed = after.group(2)
        result.append((text.count("\n", 0, match.start()) + 2, match.group(2), printed))
    return result


def promised(code, statement):
    """The repr the statement's last line promises, or None."""
    match = PROMISE.search(code.splitlines()[statement.end_lineno - 1])
    return match.group(1) if match else None


def run_block(code, first_line=1):
    """Runs the block statement by statement; returns what it printed and the broken promises.
    Errors and promises name README lines, the block's first being first_line."""
    namespace = {"__name__": "__main__"}
    broken = []
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for statement in ast.parse(code).body:
            expected = promised(code, statement)
            ast.increment_lineno(statement, first_line - 1)
            if isinstance(statement, ast.Expr):
                value = eval(compile(ast.Expression(statement.value), "README.md", "eval"),
                             namespace)
            else:
                exec(compile(ast.Module([statement], []), "README.md", "exec"), namespace)
                if expected is None:
                    continue
                target = statement.targets[0] if isinstance(statement, ast.Assign) else None
                if not isinstance(target, ast.Name):
                    raise SyntaxError(f"line {statement.lineno}: a promise needs an expression "
                                      "or `name = ...`")
                value = namespace[target.id]
            if expected is not None and repr(value) != expected:
                broken.append(f"line {statement.lineno}: {value!r} != {expected}")
    return out.getvalue(), broken


def run_fresh(code, first_line, folder):
    """run_block in a new interpreter (order ids start at "1" there) with this import path."""
    proc = subprocess.run(
        [sys.executable, os.path.abspath(__file__), str(first_line)], input=code, capture_output=True, text=True, cwd=folder,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


if __name__ == "__main__":
    output, broken = run_block(sys.stdin.read(), int(sys.argv[1]))
    sys.stdout.write(json.dumps({"output": output, "broken": broken}))
