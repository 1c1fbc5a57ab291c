"""The command: check a LOBSTER pair against its replay, or write a replay.

    python -m velmora.lobster check MESSAGE ORDERBOOK [--depth K] [--strict] [SAMPLING]
    python -m velmora.lobster replay MESSAGE [ORDERBOOK] --out FILE [--strict] [SAMPLING]

SAMPLING: one of --every T (1s, 100ms, 250us, 5min or nanoseconds), --every-events K or
--at TIMES.npy, and --measures mid,spread,microprice,imbalance:5,ofi,vwap; the sampled rows
go to --out (Parquet or CSV with a header) instead of the rows after every message. A bad
option exits 2 before anything is read.

`check` prints the share of rows equal at each depth, the mismatches and the throughput, and
exits with 0 when every row is equal and every message was applied, 1 when some rows differ
or the engine refused a message (even if the rows still agree), 2 when a file cannot be read
or an output cannot be written.
`replay` writes the rows after every message and the trades (Parquet with pyarrow, else CSV).
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path
from typing import Any, TextIO

import numpy as np

from velmora import lobster
from velmora.lobster._files import clock, seconds

TYPES = {1: "new limit order", 2: "partial cancellation", 3: "deletion",
         4: "visible execution", 5: "hidden execution", 6: "cross trade", 7: "halt"}
HALT_STATES = {-1: "trading halted", 0: "quotes resume", 1: "trading resumes"}


class Bar:
    """A progress bar on a terminal, redrawn in place; silent when off."""

    def __init__(self, out: TextIO, on: bool):
        self.out, self.on, self.label = out, on, ""

    def stage(self, label: str) -> Bar:
        self.label = label
        return self

    def __call__(self, done: int, total: int) -> None:
        if not self.on or total <= 0:
            return
        share = min(done / total, 1.0)
        filled = int(share * 30)
        self.out.write(f"\r{self.label:<16} [{'#' * filled}{'.' * (30 - filled)}] "
                       f"{share * 100:5.1f} %")
        self.out.flush()

    def clear(self) -> None:
        if self.on:
            self.out.write("\r" + " " * 60 + "\r")
            self.out.flush()


def describe(message: Any, line: int) -> str:
    kind = int(message["type"])
    side = "buy" if message["direction"] == 1 else "sell"
    if kind == 7:
        what = HALT_STATES.get(int(message["price"]), "halt")
        return f"line {line:,} {seconds(message['time'])} type 7 ({what})"
    return (f"line {line:,} {seconds(message['time'])} type {kind} ({TYPES[kind]}) id "
            f"{message['order_id']} size {message['size']} price {message['price']} {side}")


def levels_table(theirs: np.ndarray, mine: np.ndarray, depth: int) -> list[str]:
    def cell(price: int, size: int) -> str:
        return f"{size:,} @ {price}" if size else "-"

    rows = [f"  {'level':>5}  {'file ask':>18}  {'replay ask':>18}  {'file bid':>18}  "
            f"{'replay bid':>18}"]
    for k in range(depth):
        t, m = theirs[4 * k:4 * k + 4], mine[4 * k:4 * k + 4]
        mark = "" if (t == m).all() else "  <"
        rows.append(f"  {k + 1:>5}  {cell(t[0], t[1]):>18}  {cell(m[0], m[1]):>18}  "
                    f"{cell(t[2], t[3]):>18}  {cell(m[2], m[3]):>18}{mark}")
    return rows


def facts(session: lobster.Session, orderbook: np.ndarray | None) -> dict[str, Any]:
    """What the report tells of the messages, from a replay that kept them or one streamed
    piece by piece (which kept only this)."""
    if session.count is not None:
        known = session.contexts or {}
        return {"n": session.count, "span": session.span, "kinds": session.kinds,
                "start": session.start_row, "contexts": known,
                "record": lambda at: dict(known[at].messages)[at]}
    assert orderbook is not None
    messages = session.messages
    n = len(messages)

    def context(at: int) -> lobster.Context:
        return lobster.Context(
            messages=[(j, messages[j]) for j in range(max(session.first, at - 3),
                                                      min(n, at + 2))],
            file_row=orderbook[at], replay_row=session.rows(at, at + 1)[0])

    return {"n": n, "span": (messages["time"][0], messages["time"][-1]),
            "kinds": np.bincount(messages["type"], minlength=8), "start": orderbook[0],
            "contexts": context, "record": lambda at: messages[at]}


def report(session: lobster.Session, comparison: lobster.Comparison, message_path: Path,
           orderbook: np.ndarray | None, wall: float) -> list[str]:
    told = facts(session, orderbook)
    n = told["n"]
    contexts = told["contexts"]
    name = lobster.parse_name(message_path)
    title = f"{name.ticker} {name.date}" if name else message_path.name
    out = [f"{title}: {n:,} messages, {session.levels} levels, "
           f"{clock(told['span'][0])} to {clock(told['span'][1])}"]
    first = told["start"]
    bids, asks = int((first[3::4] > 0).sum()), int((first[1::4] > 0).sum())
    how = ("levels coming into view from beyond the file's depth taken from it: "
           f"{session.window:,} LEVEL events" if session.follow else
           "replayed from the messages and the first row alone (--strict)")
    out += [f"start: the first orderbook row, {bids} bid and {asks} ask levels seeded", how, ""]
    out.append(f"{'depth':>5}  {'rows equal':>12}  {'share':>9}")
    for k, equal in enumerate(comparison.equal, 1):
        share = equal / comparison.rows * 100 if comparison.rows else 100.0
        out.append(f"{k:>5}  {equal:>12,}  {share:>7.3f} %")
    out.append("")
    if comparison.mismatched:
        out.append(f"mismatched rows: {comparison.mismatched:,} of {comparison.rows:,}")
        out.append(f"  at levels the data stopped describing in full: {comparison.beyond:,}")
        out.append(f"  unexplained, at levels the messages describe: {comparison.inside:,}")
        for label, at in (("first mismatch", comparison.first_mismatch),
                          ("first unexplained", comparison.first_inside)):
            if at is None or (label == "first unexplained" and at == comparison.first_mismatch):
                continue
            context = contexts(at) if callable(contexts) else contexts[at]
            out.append(f"{label}: after {describe(told['record'](at), at + 1)}")
            for j, message in context.messages:
                out.append(f"  {'>' if j == at else ' '} {describe(message, j + 1)}")
            out += levels_table(context.file_row, context.replay_row, comparison.levels)
    elif session.refused:
        out.append(f"every row equal to the file's at depth {comparison.levels}, but the "
                   f"engine refused {len(session.refused):,} of the messages (below): the "
                   "rows agree with a replay that skipped them, so the check fails")
    else:
        out.append(f"every row equal to the file's at depth {comparison.levels}")
    kinds = told["kinds"]
    out.append("")
    out.append("messages: " + ", ".join(f"{kinds[t]:,} {TYPES[t]}" for t in range(1, 8)
                                        if kinds[t]))
    trades = session.trades
    out.append(f"trades: {len(trades):,} ({int(trades['size'].sum()):,} shares), of which "
               f"{int(trades['book_size'].sum()):,} shares taken from the visible book")
    for halt in session.halts:
        out.append(f"  {clock(halt['time'])} {HALT_STATES.get(int(halt['state']), 'halt')} "
                   f"(line {halt['message'] + 1:,})")
    out.append(f"ids the book never saw: {session.seeded:,} taken from seeded volume, "
               f"{session.unknown:,} left unknown")
    if len(session.crossed_at) or session.refused:
        out.append(f"additions that traded in the replay: {len(session.crossed_at):,}; "
                   f"events the engine refused: {len(session.refused):,}")
        for at, why in session.refused[:3]:
            out.append(f"  {describe(told['record'](at), at + 1)}: {why}")
    stages = ", ".join(f"{name} {value:.2f} s" for name, value in session.seconds.items())
    out.append(f"throughput: {n:,} messages in {wall:.2f} s, {n / wall:,.0f} messages/s "
               f"({stages})")
    return out


def passed(session: lobster.Session, comparison: lobster.Comparison) -> bool:
    """Every row equal and every message applied: a refused event that left the rows equal
    still means the messages and the engine disagree about the book."""
    return comparison.mismatched == 0 and not session.refused


def refuse_output(out: Path, format: str | None, inputs: list[Path | None]) -> str | None:
    """Why the rows cannot be written to `out`, or None: a directory, a suffix that names no
    format written here, or a path that is (or whose trades file would be) one of the inputs,
    which writing would overwrite."""
    try:
        lobster.output_format(out, format)
    except (ValueError, OSError) as exc:
        return str(exc)
    for target in (out, lobster.trades_beside(out)):
        for source in inputs:
            if source is not None and target.exists() and source.exists() \
                    and os.path.samefile(target, source):
                return (f"--out {out} would overwrite the input {source}"
                        + ("" if target == out else f" (the trades go to {target})"))
    return None


class BadOption(Exception):
    """A sampling option the file's rows cannot hold."""


def check_options(options: lobster.Sampling, levels: int) -> None:
    try:
        options.check(levels)
    except ValueError as exc:
        raise BadOption(str(exc)) from None


def options_of(args: argparse.Namespace) -> lobster.Sampling | None:
    """The sampling options of the command line, checked (ValueError, OSError)."""
    at = None
    if args.at is not None:
        try:
            at = np.load(args.at, allow_pickle=False)
        except (ValueError, EOFError) as exc:
            raise ValueError(f"--at {args.at}: not a NumPy .npy array of times ({exc})"
                             ) from None
    return lobster.sampling(args.every, args.every_events, at, args.measures)


def sample_kwargs(options: lobster.Sampling | None) -> dict[str, Any]:
    if options is None:
        return {}
    return {"every": options.every, "every_events": options.every_events, "at": options.at,
            "measures": options.measures}


def write_samples(session: lobster.Session, out: Path | None, format: str | None) -> str:
    """Writes the sampled rows (if any were asked for and an output named); what was done."""
    samples = session.samples
    if samples is None:
        return ""
    if out is None:
        return f"sampled rows: {len(samples):,} (not written: no --out)"
    path = samples.write(out, lobster.output_format(out, format))
    return f"sampled rows: {path} ({len(samples):,})"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m velmora.lobster",
                                     description="Replay LOBSTER files on velmora.core.")
    commands = parser.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="replay a pair and compare every row with the "
                                "orderbook file")
    check.add_argument("message", type=Path)
    check.add_argument("orderbook", type=Path)
    check.add_argument("--depth", type=int, default=None,
                       help="compare the top K levels (default: all the file has)")
    check.add_argument("--chunk", type=int, default=lobster.CHUNK, help=argparse.SUPPRESS)
    replay = commands.add_parser("replay", help="write the rows after every message and the "
                                 "trades")
    replay.add_argument("message", type=Path)
    replay.add_argument("orderbook", type=Path, nargs="?", default=None,
                        help="the starting book and the levels that come into view (default: "
                             "the file named like the message file, if there is one)")
    replay.add_argument("--out", type=Path, required=True,
                        help="where the rows go; the trades go beside it, as NAME_trades")
    replay.add_argument("--format", choices=("parquet", "csv"), default=None,
                        help="default: from the suffix, else Parquet when pyarrow is there")
    replay.add_argument("--levels", type=int, default=None,
                        help="levels per row without an orderbook file (default 10)")
    for command in (check, replay):
        command.add_argument("--strict", action="store_true",
                             help="replay from the messages and the first row alone")
        command.add_argument("--every", default=None, metavar="T",
                             help="sampled rows every T of event time: 1s, 100ms, 250us, 5min "
                                  "or a number of nanoseconds")
        command.add_argument("--every-events", type=int, default=None, metavar="K",
                             help="sampled rows after every K-th message that reaches the book")
        command.add_argument("--at", type=Path, default=None, metavar="TIMES.npy",
                             help="sampled rows at these times: a sorted int64 .npy array of "
                                  "nanoseconds after midnight")
        command.add_argument("--measures", default=None, metavar="M,M,...",
                             help="measures on the sampled rows: mid, spread, microprice, "
                                  "imbalance:K, ofi, volume, notional, vwap, trades, events")
        command.add_argument("--progress", action=argparse.BooleanOptionalAction,
                             default=None, help="a progress bar (default: on a terminal)")
    check.add_argument("--out", type=Path, default=None,
                       help="with sampling options: where the sampled rows go (.parquet or "
                            ".csv)")
    args = parser.parse_args(argv)
    if args.command == "check" and args.depth is not None and args.depth < 1:
        parser.error("--depth must be at least 1")
    if args.command == "check" and args.chunk < 1:
        parser.error("--chunk must be at least 1")
    try:
        options = options_of(args)
    except (ValueError, OSError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    if args.command == "check" and args.out is not None and options is None:
        print("error: --out takes the sampled rows: give --every, --every-events or --at",
              file=sys.stderr)
        return 2
    out_path = args.out
    if options is not None and out_path is not None:
        refused = refuse_output(out_path, getattr(args, "format", None),
                                [args.message, args.orderbook])
        if refused:
            print(f"error: {refused}", file=sys.stderr)
            return 2
    bar = Bar(sys.stderr, sys.stderr.isatty() if args.progress is None else args.progress)
    started = time.perf_counter()
    try:
        if args.command == "check":
            if options is not None:  # refused before any work: the file's depth, at once
                first = next(lobster.orderbook_chunks(args.orderbook, 1))
                check_options(options, first.shape[1] // 4)
            # Streamed: both files read, replayed and compared piece by piece.
            session, comparison = lobster.stream(
                args.message, args.orderbook, depth=args.depth, follow=not args.strict,
                options=options, rows=args.chunk, progress=bar.stage("check"))
            assert comparison is not None
            bar.clear()
            sampled = write_samples(session, out_path, getattr(args, "format", None))
            wall = time.perf_counter() - started
            print("\n".join(report(session, comparison, args.message, None, wall)))
            if sampled:
                print(sampled)
            return 0 if passed(session, comparison) else 1
        orderbook_path = args.orderbook or lobster.orderbook_for(args.message)
        refused = refuse_output(args.out, args.format, [args.message, orderbook_path])
        if refused:
            print(f"error: {refused}", file=sys.stderr)
            return 2
        if options is not None and orderbook_path is not None and args.levels is None:
            # Streamed: only the sampled rows are kept.
            first = next(lobster.orderbook_chunks(orderbook_path, 1))
            check_options(options, first.shape[1] // 4)
            session, _ = lobster.stream(args.message, orderbook_path, follow=not args.strict,
                                        options=options, compare_rows=False,
                                        progress=bar.stage("replay"))
            bar.clear()
            wall = time.perf_counter() - started
            print(f"{session.count:,} messages replayed, {session.levels} levels, in "
                  f"{wall:.2f} s ({(session.count or 0) / wall:,.0f} messages/s)")
            print(write_samples(session, args.out, args.format))
            return 0
        messages = lobster.read_messages(args.message, bar.stage("messages"))
        start_rows: np.ndarray | None = None
        if orderbook_path is not None:
            start_rows = lobster.read_orderbook(orderbook_path, bar.stage("orderbook"))
            lobster.check_lengths(messages, start_rows, args.message, orderbook_path)
        if options is not None:
            check_options(options, args.levels or (start_rows.shape[1] // 4 if start_rows is not None
                                          else 10))
        bar.stage("replay")(0, 1)
        session = lobster.replay(messages, start_rows, follow=not args.strict,
                                 levels=args.levels, **sample_kwargs(options))
        if options is not None:
            bar.clear()
            wall = time.perf_counter() - started
            print(f"{len(messages):,} messages replayed, {session.levels} levels, in "
                  f"{wall:.2f} s ({len(messages) / wall:,.0f} messages/s)")
            print(write_samples(session, args.out, args.format))
            return 0
        written = lobster.write(session, args.out, args.format)
        bar.clear()
        wall = time.perf_counter() - started
        start = (f"from the first row of {orderbook_path.name}" if orderbook_path is not None
                 else "from an empty book (no orderbook file)")
        print(f"{len(messages):,} messages replayed {start}, {session.levels} levels, in "
              f"{wall:.2f} s ({len(messages) / wall:,.0f} messages/s)")
        print(f"rows: {written[0]}\ntrades: {written[1]} ({len(session.trades):,})")
        return 0
    except (lobster.LobsterFormatError, OSError, ImportError, BadOption) as exc:
        bar.clear()
        print(f"error: {exc}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
