"""Release plumbing: the version has one source, and the sdist check refuses junk and gaps."""

import importlib.metadata
import io
import os
import shutil
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

import velmora

ROOT = Path(__file__).resolve().parents[2]
CHECK_SDIST = ROOT / "tools" / "check_sdist.py"


def test_version_is_the_installed_distributions():
    try:
        installed = importlib.metadata.version("velmora")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("velmora is not installed (a development build on PYTHONPATH)")
    assert velmora.__version__ == installed


def _tracked_files():
    if not CHECK_SDIST.exists():
        pytest.skip("release tooling is not shipped in the sdist")
    git = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True)
    if git.returncode:
        pytest.skip("not a git checkout")
    return git.stdout.splitlines()


def _needed(name):
    return name.startswith(("src/", "native/", "cmake/", "reference/", "tests/", "examples/")) or name in (
        "CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "Makefile")


def _check(tmp_path, names, extra=()):
    """Runs the check on an sdist holding the named tracked files and extra (name, bytes)."""
    path = tmp_path / "velmora-0.tar.gz"
    with tarfile.open(path, "w:gz") as sdist:
        for name, data in [(n, (ROOT / n).read_bytes()) for n in names] + list(extra):
            info = tarfile.TarInfo(f"velmora-0/{name}")
            info.size = len(data)
            sdist.addfile(info, io.BytesIO(data))
    return subprocess.run([sys.executable, str(CHECK_SDIST), str(path)], cwd=ROOT,
                          capture_output=True, text=True)


def test_sdist_check_passes_every_needed_file_and_pkg_info(tmp_path):
    needed = [n for n in _tracked_files() if _needed(n) and (ROOT / n).is_file()]
    result = _check(tmp_path, needed, [("PKG-INFO", b"Metadata-Version: 2.4\n")])
    assert result.returncode == 0, result.stderr
    assert "all tracked by git, none needed missing" in result.stdout


@pytest.mark.parametrize("fault, complaint", [
    ("stray", "not tracked by git: =0.11"),
    ("build output", "not tracked by git: build/dev/orderbook.so"),
    ("missing source", "missing: native/orderbook/book/book.cpp"),
    ("missing test", "missing: tests/conftest.py"),
    ("missing reference book", "missing: reference/plain.py"),
])
def test_sdist_check_refuses_junk_and_gaps(tmp_path, fault, complaint):
    needed = [n for n in _tracked_files() if _needed(n) and (ROOT / n).is_file()]
    extra = [("PKG-INFO", b"")]
    if fault.startswith("missing"):
        needed.remove(complaint.removeprefix("missing: "))
    else:
        extra.append((complaint.removeprefix("not tracked by git: "), b"junk"))
    result = _check(tmp_path, needed, extra)
    assert result.returncode != 0
    assert complaint in result.stderr


# Each writes counts as an instrumented module does; the failing one as it does when the script
# raises: the counts of the part that ran are written as the interpreter exits.
TRAINER = ("import os, sys; os.makedirs(sys.argv[1] + '/../profile', exist_ok=True); "
           "open(sys.argv[1] + '/../profile/counts.gcda', 'w').close()")
FAILURE = "; raise ModuleNotFoundError(\"No module named 'sortedcontainers'\")"


@pytest.mark.parametrize("fails, strict", [(False, "ON"), (True, "OFF"), (True, "ON")])
def test_training_step_warns_or_fails_and_never_keeps_a_partial_profile(tmp_path, fails, strict):
    cmake = Path(sys.executable).with_name("cmake")
    if not (cmake := str(cmake) if cmake.exists() else shutil.which("cmake")):
        pytest.skip("no cmake to run the training step with")
    (tmp_path / "pkg").mkdir()
    (profile := tmp_path / "profile").mkdir()
    (profile / "stale.gcda").write_text("from an older module")
    (script := tmp_path / "train.py").write_text(TRAINER + (FAILURE if fails else ""))
    result = subprocess.run(
        [cmake, f"-DPYTHON={sys.executable}", f"-DTRAINER={script}", f"-DPACKAGE={tmp_path}/pkg",
         f"-DPROFILE={profile}", f"-DSTAMP={tmp_path}/stamp", f"-DSTRICT={strict}",
         "-P", str(ROOT / "cmake" / "train_profile.cmake")], capture_output=True, text=True)
    kept = sorted(p.name for p in profile.iterdir()) if profile.exists() else []
    assert kept == ([] if fails else ["counts.gcda"])
    assert (result.returncode == 0) == (not fails or strict == "OFF")
    assert (tmp_path / "stamp").exists() == (result.returncode == 0)
    expected = {(False, "ON"): "", (True, "OFF"): "CMake Warning", (True, "ON"): "CMake Error"}
    assert result.stderr.startswith(expected[fails, strict])
    assert ("No module named 'sortedcontainers'" in result.stderr) == fails
    assert ("built without profile-guided" in result.stderr) == (strict == "OFF")


@pytest.mark.parametrize("stamp_age, rebuilds", [
    pytest.param(None, False, id="nothing-changed"),
    pytest.param(0, True, id="a-source-is-newer"),
])
def test_make_demo_rebuilds_only_when_a_source_changed(tmp_path, stamp_age, rebuilds):
    if not (ROOT / "Makefile").exists() or shutil.which("make") is None:
        pytest.skip("no Makefile or make here")
    venv = tmp_path / "venv"
    venv.mkdir()
    for stamp in (".base", ".extras", ".demo-built"):
        (venv / stamp).touch()
    if stamp_age is not None:  # the build older than every source
        os.utime(venv / ".demo-built", (stamp_age, stamp_age))
    dry = subprocess.run(["make", "-n", "demo", f"VENV={venv}"], cwd=ROOT,
                         capture_output=True, text=True, timeout=60)
    assert dry.returncode == 0, dry.stderr
    assert ("pip install" in dry.stdout) == rebuilds, dry.stdout
    assert "examples/demo.py" in dry.stdout
