"""velmora.itch on a generated day-like ITCH 5.0 file: messages per second on one core from
the plain file and from its gzip copy, the rate of reading alone (zlib's and the disk's bound),
and the books' bytes per resting order at the end of the day.

    python bench/itch.py [--messages 20000000] [--stocks 6000] [--repeats 3] [--folder DIR]

The file comes from bench/itch_day.cpp (compiled here with g++ when missing): one pass of a
seeded flow with real ITCH's message mix over --stocks stocks whose activity is Zipf-skewed,
written once into build/itch-bench/ and reused; the gzip copy is made with zlib at level 1.
Each replay runs in a fresh process (the best of --repeats is kept), so its peak RSS is its
own; the page cache is warm after the first run. Every stock is replayed, nothing recorded
but the trades and counts. The rates are per CPU-second of the replaying process (user and
system time), with the wall-clock rate beside them: on a shared machine the wall clock
measures the scheduler as much as the replay (a run given a fifth of a core reads five times
slower), and comparing the plain and the gzip file by it can put either ahead. A peer
comparison (itch-book, itchcpp, meatpy) is not part of it.
"""

import argparse
import gzip
import json
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

CHILD = r"""
import json, resource, sys, time
from velmora import itch
path = sys.argv[1]
start, cpu = time.perf_counter(), time.process_time()
result = itch.replay(path)
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
books = result.books.values()
orders = sum(len(b) for b in books)
native = sum(b._native_bytes() for b in books)
print(json.dumps({"seconds": seconds, "cpu": cpu, "messages": result.messages, "bytes": result.bytes,
                  "trades": len(result.trades), "stocks": len(result.books), "orders": orders,
                  "native": native,
                  "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def generator(folder: Path) -> Path:
    exe = folder / "itch-day"
    source = ROOT / "bench" / "itch_day.cpp"
    if not exe.exists() or exe.stat().st_mtime < source.stat().st_mtime:
        subprocess.run(["g++", "-std=c++20", "-O2", "-o", str(exe), str(source)], check=True)
    return exe


def day(folder: Path, messages: int, stocks: int) -> tuple[Path, Path]:
    plain = folder / f"day-{messages}-{stocks}.itch"
    packed = plain.with_suffix(".itch.gz")
    if not plain.exists():
        start = time.perf_counter()
        subprocess.run([str(generator(folder)), str(plain), str(messages), str(stocks), "1"],
                       check=True)
        print(f"generated {plain.name} in {time.perf_counter() - start:.1f} s")
    if not packed.exists():
        with open(plain, "rb") as src, gzip.open(packed, "wb", compresslevel=1) as dst:
            shutil.copyfileobj(src, dst, 1 << 22)
    return plain, packed


def replay(path: Path, repeats: int) -> dict:
    best = None
    for _ in range(repeats):
        done = subprocess.run([sys.executable, "-c", CHILD, str(path)], check=True,
                              capture_output=True, text=True)
        run = json.loads(done.stdout)
        if best is None or run["cpu"] < best["cpu"]:
            best = run
    return best


def read_rate(path: Path) -> float:
    """Bytes per CPU-second of decompressing (or reading) the file alone, in 4 MB blocks."""
    opener = gzip.open if path.suffix == ".gz" else open
    start = time.process_time()
    with opener(path, "rb") as f:
        n = 0
        while block := f.read(1 << 22):
            n += len(block)
    return n / max(1e-9, time.process_time() - start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=20_000_000)
    parser.add_argument("--stocks", type=int, default=6000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "itch-bench")
    args = parser.parse_args()
    args.folder.mkdir(parents=True, exist_ok=True)
    plain, packed = day(args.folder, args.messages, args.stocks)
    print(f"{plain.name}: {plain.stat().st_size / 1e6:.0f} MB plain, "
          f"{packed.stat().st_size / 1e6:.0f} MB gzip")
    print(f"{'file':<6} {'messages/CPU-s':>14} {'MB/CPU-s':>9} {'CPU s':>7} {'wall s':>7} "
          f"{'messages/s wall':>16} {'read alone MB/CPU-s':>20} {'peak RSS MB':>12}")
    for name, path in (("plain", plain), ("gzip", packed)):
        run = replay(path, args.repeats)
        print(f"{name:<6} {run['messages'] / run['cpu'] / 1e6:>12.2f} M "
              f"{run['bytes'] / run['cpu'] / 1e6:>9.0f} {run['cpu']:>7.2f} {run['seconds']:>7.2f} "
              f"{run['messages'] / run['seconds'] / 1e6:>14.2f} M "
              f"{read_rate(path) / 1e6:>20.0f} {run['rss'] / 1e6:>12.0f}")
    print(f"{run['stocks']} books, {run['orders']:,} orders resting at the end, "
          f"{run['trades']:,} trades; the books hold {run['native'] / 1e6:.0f} MB, "
          f"{run['native'] / max(1, run['orders']):.0f} bytes per resting order")


if __name__ == "__main__":
    main()
