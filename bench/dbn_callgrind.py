"""Instructions per record of velmora.dbn's plain replay under valgrind's callgrind, in total
and function by function: repeatable where the CPU-time rates of bench/dbn.py are noisy.

    python bench/dbn_callgrind.py [--records 200000] [--instruments 50] [--top 25]
                                  [--cache] [--folder DIR]

Makes (once) a file of 2 * --records records of bench/dbn.py's seeded flow, cuts it into its
first --records and its first 2 * --records records, replays each under callgrind and
prints (count of the long run - count of the short run) / --records: start-up, the import
and the file's header cancel out, what is left is the cost of a record in the flow's steady
state. With --cache, valgrind's cache model (of this machine's caches) adds the first-level
and last-level data misses per record. Needs valgrind (apt-get install valgrind).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "reference"))
sys.path.insert(0, str(ROOT / "bench"))

CHILD = ("import os, sys\nfrom velmora import dbn\nr = dbn.replay(sys.argv[1])\n"
         "assert r.records == int(sys.argv[2]), r.records\nos._exit(0)\n")


def count(path: Path, records: int, cache: bool) -> dict[str, int]:
    """Instructions of one replay, by function (self cost), and their total under ''; with
    cache, the data misses of the whole run under ' D1' and ' LL'."""
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             *(["--cache-sim=yes"] if cache else []), sys.executable,
             "-c", CHILD, str(path), str(records)],
            capture_output=True, text=True,
            # one thread for NumPy's BLAS: its idle threads' spinning would count otherwise
            env=dict(os.environ, PYTHONHASHSEED="0", OPENBLAS_NUM_THREADS="1"))
        if proc.returncode:
            raise SystemExit(f"callgrind failed:\n{proc.stderr[-2000:]}")
        annotated = subprocess.run(
            ["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", "--show=Ir",
             str(out)],
            capture_output=True, text=True, check=True).stdout
    costs: dict[str, int] = {}
    if cache:
        # Collected : Ir Dr Dw I1mr D1mr D1mw ILmr DLmr DLmw
        collected = re.search(r"Collected : ([\d ]+)", proc.stderr)
        if not collected:
            raise SystemExit(f"no cache counts from callgrind:\n{proc.stderr[-2000:]}")
        fields = [int(x) for x in collected.group(1).split()]
        costs[" D1"], costs[" LL"] = fields[4] + fields[5], fields[7] + fields[8]
    for line in annotated.splitlines():
        # "12,345 ( 1.2%)  path/file.cpp:function [object]": code inlined from another file
        # is counted under that file, so engine.hpp:Replay::apply is the engine's share.
        found = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*?)(?:\s+\[[^]]*\])?$", line)
        if not found:
            continue
        name, value = found.group(2), int(found.group(1).replace(",", ""))
        if name == "PROGRAM TOTALS":
            costs[""] = value
        elif ":" in name:
            where, function = name.split(":", 1)
            name = f"{os.path.basename(where)}:{function}"
            costs[name] = costs.get(name, 0) + value
    return costs


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--instruments", type=int, default=50)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--cache", action="store_true", help="simulate the caches too")
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "dbn-callgrind")
    args = parser.parse_args()
    import dbn  # bench/dbn.py: the same generated flow

    n = args.records
    plain, _ = dbn.make_files(args.folder, 2 * n, args.instruments)
    data = plain.read_bytes()
    meta_length = 8 + int.from_bytes(data[4:8], "little")
    short, long = args.folder / f"first-{n}.dbn", args.folder / f"first-{2 * n}.dbn"
    short.write_bytes(data[:meta_length + 56 * n])
    long.write_bytes(data[:meta_length + 56 * 2 * n])
    a, b = count(short, n, args.cache), count(long, 2 * n, args.cache)
    total = (b[""] - a[""]) / n
    print(f"{n:,} records ({2 * args.instruments} books): {total:.1f} instructions per record")
    report(a, b, n, "record", args.top, args.cache)


def report(a: dict, b: dict, n: int, unit: str, top: int, cache: bool) -> None:
    """Prints, from the counts of N and of 2N units, the data misses per unit (with the cache
    model) and the functions' instructions per unit, largest first."""
    if cache:
        print(f"data misses per {unit}: first level {(b[' D1'] - a[' D1']) / n:.2f}, "
              f"last level {(b[' LL'] - a[' LL']) / n:.2f}")
    rows = sorted(((b.get(k, 0) - a.get(k, 0)) / n, k) for k in set(a) | set(b)
                  if k and not k.startswith(" "))
    rows.reverse()
    for per, name in rows[:top]:
        if per >= 0.5:
            print(f"{per:>8.1f}  {name[:110]}")


if __name__ == "__main__":
    main()
