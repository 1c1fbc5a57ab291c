"""Checks a source distribution's file list against the git checkout it was made from.

    python tools/check_sdist.py dist/velmora-X.tar.gz

Fails when the sdist holds a file git does not track (build output, junk left in the tree)
or lacks a tracked file that building or testing needs: the build files, the package
sources, the reference book and flows (the build's training run and the tests use them), the
tests and the examples. Prints a summary of the contents on success.
"""

import subprocess
import sys
import tarfile

NEEDED_FILES = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "Makefile"}
NEEDED_DIRS = ("src/", "native/", "cmake/", "reference/", "tests/", "examples/")


def main(path):
    with tarfile.open(path) as sdist:
        names = [m.name for m in sdist.getmembers() if m.isfile()]
    root = names[0].split("/", 1)[0] + "/"
    inside = {n[len(root):] for n in names if n.startswith(root)}
    problems = [f"outside {root}: {n}" for n in names if not n.startswith(root)]

    git = subprocess.run(["git", "ls-files"], capture_output=True, text=True)
    if git.returncode:
        sys.exit(f"run from the git checkout the sdist was made from: {git.stderr.strip()}")
    tracked = set(git.stdout.splitlines())
    generated = {"PKG-INFO"}
    problems += [f"not tracked by git: {n}" for n in sorted(inside - tracked - generated)]
    needed = {n for n in tracked if n in NEEDED_FILES or n.startswith(NEEDED_DIRS)}
    problems += [f"missing: {n}" for n in sorted(needed - inside)]
    if problems:
        sys.exit(f"{path}:\n  " + "\n  ".join(problems))
    groups = {}
    for n in sorted(inside):
        top, _, rest = n.partition("/")
        groups.setdefault(top + "/" if rest else "", []).append(n)
    print(f"{path}: {len(inside)} files, all tracked by git, none needed missing")
    print("  top level: " + " ".join(groups.pop("", [])))
    print("  " + ", ".join(f"{d} {len(files)} files" for d, files in groups.items()))


if __name__ == "__main__":
    main(sys.argv[1])
