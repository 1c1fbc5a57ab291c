"""The README as a tested guide: every Python block runs on its own, in a fresh interpreter and
an empty folder, as a reader would paste it, and keeps what its comments promise (see
readme_blocks.py for the two kinds of promise)."""

import ast

import pytest

from readme_blocks import blocks, promised, run_block, run_fresh

BLOCKS = blocks()


@pytest.mark.parametrize("line, code, printed", BLOCKS, ids=[f"line-{b[0]}" for b in BLOCKS])
def test_block_runs_on_its_own_and_keeps_its_promises(line, code, printed, tmp_path):
    result = run_fresh(code, line, tmp_path)
    assert result["broken"] == []
    if printed is not None:
        assert result["output"] == printed


def test_the_guide_promises_something():
    # The harness must not pass by finding nothing: the README shows values and printouts.
    assert len(BLOCKS) >= 10
    assert sum(promised(code, s) is not None
               for _, code, _ in BLOCKS for s in ast.parse(code).body) >= 20
    assert sum(printed is not None for _, _, printed in BLOCKS) >= 2


@pytest.mark.parametrize("code, broken", [
    ("x = 1 + 1  # -> 2\nx * 2  # -> 4\n", []),
    ("x = 1 + 1  # -> 3\n", ["line 1: 2 != 3"]),
    ("[1, 2][::-1]  # -> [2, 1]\n", []),
    ("'a'  # -> a\n", ["line 1: 'a' != a"]),
])
def test_a_promise_is_checked_by_repr(code, broken):
    assert run_block(code)[1] == broken
