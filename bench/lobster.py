"""velmora.lobster on a level-10 ticker-day of about a million messages: end to end (read both
files, convert, seed, replay with the top 10 levels after every message, compare every row)
against the batch replay alone and against a straightforward pandas + Python loop doing the
same work; the reader's rate; peak memory.

    python bench/lobster.py [--messages 1070000] [--slice 200000] [--repeats 3] [--folder DIR]

The files come from reference/lobster_files.py (a seeded flow on a plain-Python book, every
message type, one halt), written once into build/lobster-bench/ and reused. The loop: the
files read with pandas (its default C reader), then per message a dict of level totals per
side updated from the message's price and size (LOBSTER names both, so no order ids are
needed), the levels that come into view from beyond the file's depth taken from the file by
the same rule as velmora.lobster, the top 10 per side with heapq, and the row compared with
the file's. Timed on the first --slice messages and scaled to the file (reading is timed
whole). Each measurement runs in a process of its own, so its peak RSS is its own.
"""

import argparse
import gc
import heapq
import json
import os
import resource
import statistics
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "reference"))

import lobster_files  # noqa: E402

LEVELS = 10
FAR = float("inf")


def files(folder, messages):
    """The level-10 pair for `messages` generated messages, made once."""
    folder.mkdir(parents=True, exist_ok=True)
    done = folder / f"pair-{messages}.json"
    if done.exists():
        known = json.loads(done.read_text())
        if all(Path(p).exists() for p in known["paths"]):
            return [Path(p) for p in known["paths"]], known["rows"]
    started = time.perf_counter()
    message, orderbook, rows = lobster_files.write_stream(folder, 1, messages, LEVELS)
    print(f"generated {rows:,} messages in {time.perf_counter() - started:.0f} s",
          file=sys.stderr)
    done.write_text(json.dumps({"paths": [str(message), str(orderbook)], "rows": rows}))
    return [message, orderbook], rows


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


# --- the measurements, each in its own process --------------------------------------------


def end_to_end(message, orderbook, repeats):
    from velmora import lobster

    walls, result, stages = [], None, None
    for _ in range(repeats):
        result = None
        gc.collect()
        started = time.perf_counter()
        result = lobster.check(message, orderbook)
        walls.append(time.perf_counter() - started)
        if walls[-1] == min(walls):
            stages = result[0].seconds
    session, comparison = result
    objects_before = len(gc.get_objects())
    return {"wall": min(walls), "walls": walls, "seconds": stages,
            "equal": comparison.equal.tolist(), "rows": comparison.rows,
            "mismatched": comparison.mismatched, "window": session.window,
            "messages": len(session.messages), "seeded": session.seeded,
            "unknown": session.unknown, "gc_objects": objects_before,
            "bytes": {"messages": session.messages.nbytes,
                      "snapshots": session._snaps.nbytes, "row_of": session._row_of.nbytes,
                      "trades": session.trades.nbytes},
            "rss_mb": peak_rss_mb()}


def traced(message, orderbook):
    """The same, once, under tracemalloc (NumPy reports its buffers to it): the peak of
    everything allocated, and what stays once the result is dropped."""
    from velmora import lobster

    tracemalloc.start()
    session, comparison = lobster.check(message, orderbook)
    _, peak = tracemalloc.get_traced_memory()
    kept = tracemalloc.get_traced_memory()[0]
    objects = len(gc.get_objects())
    del session, comparison
    gc.collect()
    return {"peak_mb": peak / 2**20, "kept_mb": kept / 2**20, "gc_objects": objects,
            "after_mb": tracemalloc.get_traced_memory()[0] / 2**20}


def replay_alone(message, orderbook, repeats):
    """The batch replay by itself: the events replay() makes (LEVEL runs included), made
    outside the clock, on a book seeded from the first row, top 10 levels written when they
    change."""
    from velmora import lobster

    messages, rows, _ = lobster.load(message, orderbook)
    events, _, _ = lobster.all_events(messages, rows)
    times = []
    for _ in range(repeats):
        book = lobster.start_book(rows[0], messages["time"][0])
        started = time.perf_counter()
        book.replay(events, depth=LEVELS, changed_only=True, clamp=True)
        times.append(time.perf_counter() - started)
    return {"replay": min(times), "times": times, "events": len(events),
            "rss_mb": peak_rss_mb()}


def pandas_loop(message, orderbook, limit):
    """The straightforward version: pandas reads, a Python loop does the rest."""
    import pandas as pd

    started = time.perf_counter()
    frame = pd.read_csv(message, header=None,
                        names=["time", "type", "order_id", "size", "price", "direction"])
    book_frame = pd.read_csv(orderbook, header=None)
    read = time.perf_counter() - started
    n = len(frame)
    limit = min(limit, n)
    started = time.perf_counter()
    kinds = frame["type"].tolist()[:limit]
    sizes = frame["size"].tolist()[:limit]
    prices = frame["price"].tolist()[:limit]
    directions = frame["direction"].tolist()[:limit]
    rows = book_frame.iloc[:limit].to_numpy().tolist()
    bids, asks = {}, {}
    first = rows[0]
    for k in range(LEVELS):
        if first[4 * k + 1]:
            asks[first[4 * k]] = first[4 * k + 1]
        if first[4 * k + 3]:
            bids[first[4 * k + 2]] = first[4 * k + 3]
    equal = [0] * LEVELS
    before = {1: [p for p, s in zip(first[2::4], first[3::4]) if s],
              -1: [p for p, s in zip(first[0::4], first[1::4]) if s]}
    for i in range(1, limit):
        kind, size, price, direction = kinds[i], sizes[i], prices[i], directions[i]
        side = bids if direction == 1 else asks
        if kind == 1:
            side[price] = side.get(price, 0) + size
        elif kind <= 4:
            left = side.get(price, 0) - size
            if left > 0:
                side[price] = left
            else:
                side.pop(price, None)
        row = rows[i]
        for d, book, offset in ((1, bids, 2), (-1, asks, 0)):
            shown = [(p, s) for p, s in zip(row[offset::4], row[offset + 1::4]) if s]
            seen = set(before[d])
            new = [k for k, (p, s) in enumerate(shown) if p not in seen]
            unexplained = [k for k in new if not (kind == 1 and direction == d and
                                                  shown[k] == (price, size))]
            shrank = len(shown) < LEVELS and len(before[d]) == LEVELS
            if unexplained or shrank:
                # The same rule as velmora.lobster: from the last level seen before the first
                # unexplained one to the end of the row, stale levels go and new ones take the
                # file's totals; to the far end when the row shows the side's last level.
                k0 = unexplained[0] if unexplained else len(shown)
                key = (lambda p: p) if d == 1 else (lambda p: -p)
                top = key(shown[k0 - 1][0]) if k0 else FAR
                bottom = key(shown[-1][0]) if len(shown) == LEVELS else -FAR
                keep = {p for p, _ in shown[k0:]}
                for p in [p for p in book if bottom <= key(p) < top and p not in keep]:
                    del book[p]
                for k in new:
                    if k >= k0:
                        book[shown[k][0]] = shown[k][1]
            before[d] = [p for p, _ in shown]
        best_bids = heapq.nlargest(LEVELS, bids)
        best_asks = heapq.nsmallest(LEVELS, asks)
        mine = []
        for k in range(LEVELS):
            mine += ((best_asks[k], asks[best_asks[k]]) if k < len(best_asks)
                     else (lobster_files.EMPTY_ASK, 0))
            mine += ((best_bids[k], bids[best_bids[k]]) if k < len(best_bids)
                     else (lobster_files.EMPTY_BID, 0))
        for k in range(LEVELS):
            if mine[4 * k:4 * k + 4] != row[4 * k:4 * k + 4]:
                break
            equal[k] += 1
    loop = time.perf_counter() - started
    return {"read": read, "loop": loop, "limit": limit, "messages": n, "equal": equal,
            "rss_mb": peak_rss_mb()}


def reader_rates(message, orderbook):
    """Each reader on the orderbook file (the larger), in CPU seconds: velmora's native
    reader (with its checks), numpy.loadtxt (what velmora read with before, without the
    checks), pandas' C and pyarrow engines, pyarrow.csv; and both readers on the message
    file."""
    import numpy as np

    from velmora import lobster

    def cpu(read, *args):
        started = time.process_time()
        result = read(*args)
        return time.process_time() - started, result

    out = {}
    out["velmora, native reader"], rows = cpu(lobster.read_orderbook, orderbook)
    out["rows"] = len(rows)
    del rows
    out["numpy.loadtxt (the reader before)"], _ = cpu(
        lambda p: np.loadtxt(p, delimiter=",", dtype=np.int64, comments=None), orderbook)
    out["messages: velmora, native reader"], _ = cpu(lobster.read_messages, message)
    text = np.dtype([("time", "f8")] + [(n, "i8") for n in "tosdp"])
    out["messages: numpy.loadtxt (the reader before)"], _ = cpu(
        lambda p: np.loadtxt(p, delimiter=",", dtype=text, comments=None), message)
    try:
        import pandas as pd
    except ImportError:
        return out
    for engine in ("c", "pyarrow"):
        try:
            out[f"pandas, {engine} engine"], _ = cpu(
                lambda p: pd.read_csv(p, header=None, engine=engine).to_numpy(np.int64),
                orderbook)
        except ImportError:
            pass
    try:
        import pyarrow as pa
        import pyarrow.csv as pc
    except ImportError:
        return out

    def arrow(p):
        table = pc.read_csv(p, read_options=pc.ReadOptions(autogenerate_column_names=True),
                            convert_options=pc.ConvertOptions(
                                column_types={f"f{k}": pa.int64() for k in range(4 * LEVELS)}))
        return np.column_stack([c.to_numpy() for c in table.columns])

    out["pyarrow.csv"], _ = cpu(arrow, orderbook)
    return out


MODES = {"end_to_end": end_to_end, "traced": traced, "replay_alone": replay_alone,
         "pandas_loop": pandas_loop, "readers": reader_rates}


# --- sampled rows and streaming ---------------------------------------------------------

MEASURES = ["mid", "spread", "microprice", "imbalance:10", "ofi", "volume", "notional", "vwap",
            "trades", "events"]


def events_cache(message, orderbook, folder):
    """The day's events (LEVEL runs included) and first row, saved once for the children."""
    from velmora import lobster

    folder = Path(folder)
    if not (folder / "events.npy").exists():
        messages, rows, _ = lobster.load(message, orderbook)
        events, _, _ = lobster.all_events(messages, rows)
        np_save(folder / "events.npy", events)
        np_save(folder / "start.npy", rows[0])
        np_save(folder / "start_time.npy", messages["time"][:1])
    return {"done": True}


def np_save(path, array):
    import numpy as np

    np.save(path, array, allow_pickle=False)


def _loaded(folder):
    import numpy as np

    from velmora import lobster

    folder = Path(folder)
    events = np.load(folder / "events.npy")
    start, t0 = np.load(folder / "start.npy"), int(np.load(folder / "start_time.npy")[0])
    return events, lambda: lobster.start_book(start, t0)


def sampled_cost(folder, repeats):
    """CPU seconds of the batch replay with no rows and with one-second top-10 rows plus
    every measure, alternated in one process (medians)."""
    from velmora import core

    events, fresh = _loaded(folder)
    plain, sampled, rows = [], [], 0
    for _ in range(repeats):
        book = fresh()
        started = time.process_time()
        book.replay(events, clamp=True)
        plain.append(time.process_time() - started)
        book = fresh()
        sampler = core.Sampler(LEVELS, every=10**9, measures=MEASURES)
        started = time.process_time()
        book.replay(events, sampler=sampler, clamp=True)
        sampler.finish(book)
        taken = sampler.take()
        sampled.append(time.process_time() - started)
        rows = len(taken)
    return {"plain": statistics.median(plain), "sampled": statistics.median(sampled),
            "rows": rows, "row_bytes": rows * taken.dtype.itemsize, "events": len(events)}


def _rss_now():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def sampled_memory(folder, which):
    """Peak RSS growth of one replay over the events already in memory: with no rows, or
    with one-second rows and every measure."""
    from velmora import core

    events, fresh = _loaded(folder)
    book = fresh()
    before = _rss_now()
    if which == "sampled":
        sampler = core.Sampler(LEVELS, every=10**9, measures=MEASURES)
        book.replay(events, sampler=sampler, clamp=True)
        sampler.finish(book)
        rows = sampler.take()
        written = rows.nbytes
    else:
        book.replay(events, clamp=True)
        written = 0
    return {"growth_mb": peak_rss_mb() - before, "rows_mb": written / 2**20,
            "resting": len(book)}


def command_run(pythonpath, *args):
    """The command under /usr/bin/time -v: CPU seconds (user + system) and peak RSS."""
    env = {**os.environ, "PYTHONPATH": str(pythonpath)}
    proc = subprocess.run(["/usr/bin/time", "-v", sys.executable, "-m", "velmora.lobster",
                           *map(str, args)], capture_output=True, text=True, env=env)
    fields = {}
    for line in proc.stderr.splitlines():
        key, _, value = line.strip().rpartition(": ")
        fields[key] = value
    cpu = float(fields["User time (seconds)"]) + float(fields["System time (seconds)"])
    return {"cpu": cpu, "rss_mb": int(fields["Maximum resident set size (kbytes)"]) / 1024,
            "status": proc.returncode}


def before_tree(rev, folder):
    """The package tree (PYTHONPATH) of the command at git revision `rev` of this checkout,
    built once into `folder`/before-REV with the developer build's settings."""
    rev = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", rev], check=True,
                         capture_output=True, text=True).stdout.strip()
    tree = folder / f"before-{rev}"
    pkg = tree / "build" / "pkg"
    if (tree / "built").exists():
        return pkg
    print(f"building the command at {rev} into {tree} (once)", file=sys.stderr)
    tree.mkdir(parents=True, exist_ok=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)
    tools = Path(sys.executable).parent
    subprocess.run([str(tools / "cmake"), "-S", str(tree), "-B", str(tree / "build"), "-G",
                    "Ninja", f"-DPython_EXECUTABLE={sys.executable}",
                    f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, capture_output=True)
    subprocess.run([str(tools / "ninja"), "-C", str(tree / "build")], check=True,
                   capture_output=True)
    (tree / "built").touch()
    return pkg


def sampling_section(message, orderbook, n, folder, repeats, before):
    """The figures of sampled rows and streaming, each beside its target."""
    child("events_cache", message, orderbook, folder)
    cost = child("sampled_cost", folder, repeats)
    plain_mem = child("sampled_memory", folder, "plain")
    sampled_mem = child("sampled_memory", folder, "sampled")
    speed = cost["plain"] / cost["sampled"]
    print(f"\nsampled rows ({cost['events']:,} events, CPU seconds, medians of {repeats}):")
    print(f"  batch replay, no rows              {cost['plain']:6.2f} s")
    print(f"  one-second top-10 rows + measures  {cost['sampled']:6.2f} s  ({cost['rows']:,} "
          f"rows, {cost['row_bytes'] / 2**20:.2f} MB)")
    print(f"  speed vs no rows: {speed:.2f} x (target >= 0.9 x: "
          f"{'met' if speed >= 0.9 else 'NOT met'})")
    bound = plain_mem["growth_mb"] + sampled_mem["rows_mb"]
    ratio = sampled_mem["growth_mb"] / bound if bound else float("nan")
    print(f"  peak RSS growth: no rows {plain_mem['growth_mb']:.1f} MB (the resting book, "
          f"{plain_mem['resting']:,} orders), sampled {sampled_mem['growth_mb']:.1f} MB; "
          f"book + rows {bound:.1f} MB: {ratio:.2f} x (target <= 1.2 x: "
          f"{'met' if ratio <= 1.2 else 'NOT met'})")
    after = ROOT / "build" / "dev" / "pkg" if before else None
    # As installed, the package runs from compiled bytecode; where PYTHONDONTWRITEBYTECODE is
    # set, each run would compile its Python modules again: compiled first, for both trees.
    for tree in {before, after} - {None}:
        subprocess.run([sys.executable, "-m", "compileall", "-q", str(Path(tree) / "velmora")],
                       check=True, capture_output=True)
    commands = [(label, path, extra) for label, path, extra in (
        ("check before", before, []), ("check", after, []),
        ("check --every 1s", after, ["--every", "1s", "--measures", ",".join(MEASURES)]))
        if path is not None]
    cpus = {label: [] for label, _, _ in commands}
    rss = {label: [] for label, _, _ in commands}
    for _ in range(repeats):  # interleaved: the machine's load falls on all alike
        for label, path, extra in commands:
            got = command_run(path, "check", message, orderbook, "--no-progress", *extra)
            cpus[label].append(got["cpu"])
            rss[label].append(got["rss_mb"])
    runs = {label: (statistics.median(cpus[label]), max(rss[label])) for label in cpus}
    print(f"\nthe command end to end (/usr/bin/time -v, user + system CPU, medians of "
          f"{repeats}, the runs interleaved; peak RSS):")
    for label, (cpu, rss) in runs.items():
        print(f"  {label:<18} {cpu:6.2f} s  {n / cpu:>10,.0f} messages per CPU-second  "
              f"peak RSS {rss:6.0f} MB")
    if "check before" in runs:
        b, a, e = runs["check before"], runs["check"], runs["check --every 1s"]
        print(f"  check after vs before: {b[0] / a[0]:.2f} x the messages per CPU-second "
              f"(target >= 3 x: {'met' if b[0] / a[0] >= 3 else 'NOT met'}; each run "
              f"{min(b[0] / x for x in cpus['check']):.2f}-{max(b[0] / x for x in cpus['check']):.2f} "
              f"x the median before); peak RSS {b[1] / a[1]:.1f} x lower")
        print(f"  check --every 1s vs check before: peak RSS {b[1] / e[1]:.1f} x lower (target "
              f">= 10 x: {'met' if b[1] / e[1] >= 10 else 'NOT met'}), time {e[0] / b[0]:.2f} x "
              f"(target <= 1: {'met' if e[0] <= b[0] else 'NOT met'})")


MODES.update({"events_cache": events_cache, "sampled_cost": sampled_cost,
              "sampled_memory": sampled_memory})


def child(mode, *args):
    proc = subprocess.run([sys.executable, __file__, "--child", mode, *map(str, args)],
                          capture_output=True, text=True)
    if proc.returncode:
        sys.exit(f"{mode} failed:\n{proc.stderr}")
    return json.loads(proc.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=1_070_000,
                        help="messages generated; the level-10 file keeps about 93 %%")
    parser.add_argument("--slice", type=int, default=200_000,
                        help="messages the pandas loop runs, scaled to the file")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "lobster-bench")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    parser.add_argument("--sampling", action="store_true",
                        help="only the figures of sampled rows and streaming")
    parser.add_argument("--before", type=Path, default=None,
                        help="with --sampling: a package tree (PYTHONPATH) of the command "
                             "before, to measure check against")
    parser.add_argument("--before-rev", default=None,
                        help="with --sampling: a git revision of this checkout to build once "
                             "(under --folder) and measure check against, instead of --before")
    args = parser.parse_args()
    if args.child:
        mode, *rest = args.child
        converted = [int(x) if x.isdigit() else x for x in rest]
        print(json.dumps(MODES[mode](*converted)))
        return

    (message, orderbook), n = files(args.folder, args.messages)
    mb = {"message": message.stat().st_size / 1e6, "orderbook": orderbook.stat().st_size / 1e6}
    print(f"level-{LEVELS} pair: {n:,} messages; {message.name} {mb['message']:.0f} MB, "
          f"orderbook {mb['orderbook']:.0f} MB")
    if args.sampling:
        before = before_tree(args.before_rev, args.folder) if args.before_rev else args.before
        sampling_section(message, orderbook, n, args.folder, args.repeats, before)
        return

    readers = child("readers", message, orderbook)
    rows = readers.pop("rows")
    print("\nreaders (one run each, CPU seconds; orderbook file unless named):")
    for name, seconds in readers.items():
        size = mb["message"] if name.startswith("messages") else mb["orderbook"]
        print(f"  {name:<44} {seconds:6.2f} s  {size / seconds:6.0f} MB per CPU-second  "
              f"{rows / seconds:>12,.0f} rows/s")
    native = mb["orderbook"] / readers["velmora, native reader"]
    print(f"  target: the native reader at 250 MB per CPU-second or more on the orderbook "
          f"file: {native:.0f} ({'met' if native >= 250 else 'NOT met'})")

    e2e = child("end_to_end", message, orderbook, args.repeats)
    alone = child("replay_alone", message, orderbook, args.repeats)
    loop = child("pandas_loop", message, orderbook, args.slice)
    mem = child("traced", message, orderbook)

    print(f"\nmatch table (end to end, every row after the first; {e2e['rows']:,} rows):")
    for k, equal in enumerate(e2e["equal"], 1):
        print(f"  depth {k:>2}  {equal:>10,}  {equal / e2e['rows'] * 100:7.3f} %")
    print(f"  LEVEL events from the file: {e2e['window']:,}; unknown ids taken from seeded "
          f"volume: {e2e['seeded']:,}, left unknown: {e2e['unknown']:,}")
    loop_share = [e / (loop["limit"] - 1) * 100 for e in loop["equal"]]
    print(f"  the pandas loop on its slice: {min(loop_share):.3f} % equal at every depth")

    scaled = loop["read"] + loop["loop"] * (loop["messages"] - 1) / (loop["limit"] - 1)
    wall = e2e["wall"]
    print(f"\ntimes (best of {args.repeats}; stages of the best run):")
    print(f"  end to end        {wall:7.2f} s  {n / wall:>12,.0f} messages/s  (" +
          ", ".join(f"{k} {v:.2f} s" for k, v in e2e["seconds"].items()) + ")")
    print(f"  batch replay alone{alone['replay']:7.2f} s  {n / alone['replay']:>12,.0f} "
          f"messages/s  ({alone['events']:,} events, top 10 written when they change; the "
          f"first run in its process, its output pages fresh: {alone['times'][0]:.2f} s)")
    print(f"  pandas + loop     {scaled:7.2f} s  {n / scaled:>12,.0f} messages/s  (read "
          f"{loop['read']:.2f} s whole; loop {loop['loop']:.2f} s on {loop['limit']:,} "
          f"messages, scaled)")
    print(f"\n  end to end vs pandas + loop: {scaled / wall:5.1f} x faster   (target >= 10 x)")
    print(f"  end to end vs replay alone:  {wall / alone['replay']:5.1f} x slower   "
          f"(target <= 3 x; {wall / alone['times'][0]:.1f} x against its first run)")

    arrays = sum(e2e["bytes"].values()) / 2**20
    print("\nmemory:")
    print(f"  peak RSS: end to end {e2e['rss_mb']:.0f} MB, replay alone "
          f"{alone['rss_mb']:.0f} MB, pandas + loop (slice) {loop['rss_mb']:.0f} MB")
    print(f"  tracemalloc peak (NumPy buffers included) {mem['peak_mb']:.0f} MB; the orderbook "
          f"array alone {rows * 4 * LEVELS * 8 / 2**20:.0f} MB")
    print(f"  the session's arrays: {arrays:.0f} MB (" +
          ", ".join(f"{k} {v / 2**20:.0f} MB" for k, v in e2e["bytes"].items()) + ")")
    print(f"  Python objects alive with the result held: {mem['gc_objects']:,} "
          f"({mem['gc_objects'] / n:.3f} per message); memory after dropping it "
          f"{mem['after_mb']:.1f} MB")


if __name__ == "__main__":
    main()
