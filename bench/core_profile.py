"""Where the core's batch spends its instructions per event, function by function: callgrind
counts (inclusive, as callgrind_annotate gives them) of one Book.replay of N events and of 2N,
the difference divided by N, on bench/core_cost.py's shallow, far and market flows.

    python bench/core_profile.py [--events N] [--flows shallow,far,market] [--top K]

Only the batch (book_replay) is collected, and the set-up replay is the same in both runs, so
it cancels out. Inlined code is counted in the function it is inlined into; callgrind counts a
`rep movsb` copy an iteration at a time, so a large memcpy weighs far more here than in time.
Needs valgrind.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import core_cost  # noqa: E402

from velmora import core  # noqa: E402

COUNT = re.compile(r"\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(.*)")


def flows():
    shallow = core_cost.books()["shallow"]
    return {"shallow": shallow, "far": core_cost.far_levels(*shallow),
            "market": core_cost.market_book()}


def child(path, n):
    data = np.load(path)
    book = core.Book()
    book.replay(data["setup"])
    book.replay(data["events"][:n].copy())


def inclusive(path, n, folder):
    out = os.path.join(folder, f"cg.{os.path.basename(path)}.{n}")
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                    "--collect-atstart=no", "--toggle-collect=velmora::core::batch::book_replay*",
                    sys.executable, os.path.abspath(__file__), "--child", path, str(n)],
                   check=True, capture_output=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                          check=True, capture_output=True, text=True).stdout
    counts = {}
    for line in text.splitlines():
        found = COUNT.match(line)
        if found and ("engine.hpp" in line or "batch.cpp" in line or "memmove" in line):
            name = re.sub(r" \[.*", "", found[2]).strip()
            counts[name] = counts.get(name, 0) + int(found[1].replace(",", ""))
    return counts


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=5000)
    parser.add_argument("--flows", default="shallow,far,market")
    parser.add_argument("--top", type=int, default=12)
    args = parser.parse_args()
    names = args.flows.split(",")
    built = flows()
    with tempfile.TemporaryDirectory() as folder:
        paths = {}
        for name in names:
            setup, events = built[name]
            paths[name] = os.path.join(folder, f"{name}.npz")
            np.savez(paths[name], setup=core_cost.as_array(setup),
                     events=core_cost.as_array(events))
        runs = [(name, n) for name in names for n in (args.events, 2 * args.events)]
        with ThreadPoolExecutor(max_workers=2) as pool:
            counts = dict(zip(runs, pool.map(lambda r: inclusive(paths[r[0]], r[1], folder),
                                             runs)))
    for name in names:
        one, two = counts[(name, args.events)], counts[(name, 2 * args.events)]
        rows = sorted(((two.get(k, 0) - one.get(k, 0)) / args.events, k)
                      for k in set(one) | set(two))
        print(f"\n{name}: instructions per event, inclusive, by function or line")
        for per_event, key in rows[::-1][:args.top]:
            print(f"  {per_event:8.1f}  {key[:110]}")


if __name__ == "__main__":
    main()
