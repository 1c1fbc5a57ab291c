"""The engine's inline caches and other shortcuts cannot be told apart from the general path:
each scenario of cache_scenarios.py gives, in a fresh interpreter, the same transcript with
this build as with one that has them compiled out (-DVELMORA_FAST_PATHS=OFF, named by
VELMORA_GENERAL_BUILD; `make test` builds it). Here, each scenario also checks its own point."""

import os
import subprocess
import sys

import pytest

import velmora
from cache_scenarios import SCENARIOS

HERE = os.path.dirname(os.path.abspath(__file__))
THIS_BUILD = os.path.dirname(os.path.dirname(os.path.abspath(velmora.__file__)))
GENERAL_BUILD = os.environ.get("VELMORA_GENERAL_BUILD")


def run(build, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, HERE]), PYTHONHASHSEED="0")
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env,
                          cwd=HERE, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("name", SCENARIOS)
def test_scenario_runs_here(name):
    assert SCENARIOS[name]()


@pytest.mark.skipif(not GENERAL_BUILD, reason="VELMORA_GENERAL_BUILD names no general build")
@pytest.mark.parametrize("name", SCENARIOS)
def test_same_transcript_as_the_general_build(name):
    script = os.path.join(HERE, "cache_scenarios.py")
    general = run(GENERAL_BUILD, script, name)
    assert os.path.realpath(GENERAL_BUILD) != os.path.realpath(THIS_BUILD)
    assert run(THIS_BUILD, script, name) == general


def test_the_layout_the_caches_read_is_this_interpreters():
    # A mismatch would turn the caches off with an ImportWarning; make it an error.
    run(THIS_BUILD, "-W", "error::ImportWarning", "-c", "import velmora.orderbook")
