"""A generated level-10 LOBSTER day sampled at one second: mid price and depth imbalance over
the day, drawn to docs/sampled_day.png (the README's picture).

    python examples/sampled_day.py [OUT.png] [--messages 1070000]

The pair comes from reference/lobster_files.py (the benchmark's day, made once into
build/lobster-bench/ and shared with bench/lobster.py); the replay streams it and keeps only
the 1-second rows.
"""

import argparse
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "reference"))

from velmora import lobster  # noqa: E402


def files(folder: Path, messages: int) -> tuple[list[Path], int]:
    """The level-10 pair of `messages` generated messages, made once (as the benchmark
    makes it, in the same place)."""
    import json

    import lobster_files

    folder.mkdir(parents=True, exist_ok=True)
    done = folder / f"pair-{messages}.json"
    if done.exists():
        known = json.loads(done.read_text())
        if all(Path(p).exists() for p in known["paths"]):
            return [Path(p) for p in known["paths"]], known["rows"]
    message, orderbook, rows = lobster_files.write_stream(folder, 1, messages, 10)
    done.write_text(json.dumps({"paths": [str(message), str(orderbook)], "rows": rows}))
    return [message, orderbook], rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("out", nargs="?", type=Path, default=ROOT / "docs" / "sampled_day.png")
    parser.add_argument("--messages", type=int, default=1_070_000)
    args = parser.parse_args()
    (message, orderbook), n = files(ROOT / "build" / "lobster-bench", args.messages)
    session, _ = lobster.stream(message, orderbook, compare_rows=False,
                                options=lobster.sampling(every="1s",
                                                         measures=["mid", "imbalance:5"]))
    rows = session.samples.rows
    hours = rows["time"] / 3.6e12
    mid = rows["mid"] / 10_000  # dollars
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 4.6), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 2]})
    top.plot(hours, mid, lw=0.6, color="#1f4e79")
    top.set_ylabel("mid price ($)")
    top.set_title(f"A generated level-10 day, {n:,} messages, sampled every second "
                  f"({len(rows):,} rows)", fontsize=9)
    # The imbalance of the top 5 levels, and its 5-minute mean.
    imbalance = rows["imbalance_5"]
    bottom.plot(hours, imbalance, lw=0.3, color="#999999")
    window = 300
    valid = np.nan_to_num(imbalance)
    smooth = np.convolve(valid, np.ones(window) / window, mode="same")
    bottom.plot(hours, smooth, lw=1.0, color="#b03a2e", label="5-minute mean")
    bottom.axhline(0, color="black", lw=0.5)
    bottom.set_ylim(-1, 1)
    bottom.set_ylabel("imbalance, top 5")
    bottom.set_xlabel("hours after midnight")
    bottom.legend(loc="lower right", fontsize=8, frameon=False)
    for axis in (top, bottom):
        axis.tick_params(labelsize=8)
        axis.grid(alpha=0.3, lw=0.5)
    fig.tight_layout()
    fig.savefig(args.out, dpi=90)
    print(f"{args.out}: {len(rows):,} rows")


if __name__ == "__main__":
    main()
