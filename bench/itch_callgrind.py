"""Instructions per message of velmora.itch's plain replay under valgrind's callgrind, in
total and function by function: repeatable where the CPU-time rates of bench/itch.py are
noisy on a shared machine.

    python bench/itch_callgrind.py [--messages 1000000] [--stocks 6000] [--top 25]
                                   [--cache] [--folder DIR] [--pkg DIR]

Makes (once) a day of 2 * --messages messages with bench/itch.py's generator, cuts it into
its first --messages and its first 2 * --messages messages (at message boundaries), replays
each under callgrind and prints (count of the long run - count of the short run) /
--messages: start-up, the import and the day's first stock directory cancel out, what is
left is the cost of a message in the day's steady state. --pkg replays another build's
package (a copy of build/dev/pkg) for a before/after. With --cache, valgrind's cache model
adds the first-level and last-level data misses per message. Needs valgrind.
"""

import argparse
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

CHILD = ("import os, sys\nfrom velmora import itch\nr = itch.replay(sys.argv[1])\n"
         "assert r.messages == int(sys.argv[2]), r.messages\nos._exit(0)\n")


def cut(data: bytes, messages: int) -> bytes:
    """The first `messages` length-prefixed messages of an ITCH stream."""
    at = 0
    for _ in range(messages):
        at += 2 + int.from_bytes(data[at:at + 2], "big")
    if at > len(data):
        raise SystemExit("the day is shorter than asked")
    return data[:at]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=1_000_000)
    parser.add_argument("--stocks", type=int, default=6000)
    parser.add_argument("--top", type=int, default=25)
    parser.add_argument("--cache", action="store_true", help="simulate the caches too")
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "itch-callgrind")
    parser.add_argument("--pkg", type=Path, default=ROOT / "build" / "dev" / "pkg",
                        help="the package folder to replay")
    args = parser.parse_args()
    import dbn_callgrind  # its callgrind runner, with this file's child
    import itch  # bench/itch.py: the same generated day

    os.environ["PYTHONPATH"] = f"{args.pkg.resolve()}{os.pathsep}" + os.environ.get(
        "PYTHONPATH", "")
    dbn_callgrind.CHILD = CHILD
    n = args.messages
    args.folder.mkdir(parents=True, exist_ok=True)
    full, _ = itch.day(args.folder, 2 * n, args.stocks)
    data = full.read_bytes()
    short, long = args.folder / f"first-{n}.itch", args.folder / f"first-{2 * n}.itch"
    short.write_bytes(cut(data, n))
    long.write_bytes(cut(data, 2 * n))
    a = dbn_callgrind.count(short, n, args.cache)
    b = dbn_callgrind.count(long, 2 * n, args.cache)
    print(f"{n:,} messages ({args.stocks} stocks): "
          f"{(b[''] - a['']) / n:.1f} instructions per message")
    dbn_callgrind.report(a, b, n, "message", args.top, args.cache)


if __name__ == "__main__":
    main()
