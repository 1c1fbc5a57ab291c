"""velmora.dbn on a generated DBN market-by-order file: records per CPU second into the books
from the plain file and from its zstd copy, what reading and decompressing alone cost, and,
side by side on the same records, Databento's own Python route to a book: databento-dbn
decoding the records (to NumPy as its client's to_ndarray does, and to its record objects as
its order-book example iterates them) and a plain-Python book applying them. The books of
both routes are compared before any figure is printed.

    python bench/dbn.py [--records 20000000] [--instruments 50] [--python-records 1000000]
                        [--repeats 3] [--folder DIR]

The file is made once into build/dbn-bench/ and reused: reference/dbn_files.py plays a
seeded flow of --instruments instruments on two publishers (every action, event groups,
clears and snapshots, modifies) on its plain book, and the flow is repeated, each copy
opened by a clear of every book and shifted in time, until --records; the .zst copy is
compressed by zstandard at its default level 3. Times are CPU seconds of this process
(time.process_time), the best of --repeats.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "reference"))
import dbn_files  # noqa: E402

from velmora import dbn  # noqa: E402
from velmora.dbn._files import _metadata, _open  # noqa: E402

BASE_RECORDS = 500_000


def make_files(folder: Path, records: int, instruments: int) -> tuple[Path, Path]:
    plain = folder / f"mbo-{records}-{instruments}.dbn"
    packed = plain.with_suffix(".dbn.zst")
    if plain.exists() and packed.exists():
        return plain, packed
    folder.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    ids = tuple(range(1000, 1000 + instruments))
    flow = dbn_files.make_flow(7, min(records, BASE_RECORDS), instruments=ids,
                               publishers=(1, 2))
    base = folder / "base.dbn"
    dbn_files.write(base, flow)
    meta, array = dbn.read_records(base)
    head = base.read_bytes()[:meta.length]
    span = int(array["ts_recv"].max() - array["ts_recv"].min()) + 1_000_000
    clears = np.zeros(len(flow.books), array.dtype)
    clears["length"], clears["rtype"] = 14, 0xA0
    keys = sorted(flow.books)
    clears["publisher_id"] = [k[0] for k in keys]
    clears["instrument_id"] = [k[1] for k in keys]
    clears["price"] = dbn.UNDEF_PRICE
    clears["flags"] = dbn.F_LAST
    clears["action"], clears["side"] = b"R", b"N"
    written = 0
    with open(plain, "wb") as out:
        out.write(head)
        copy = 0
        while written < records:
            part = array.copy() if copy else array
            if copy:
                part["ts_event"] += copy * span
                part["ts_recv"] += copy * span
                c = clears.copy()
                c["ts_event"] = c["ts_recv"] = part["ts_recv"][0] - 1
                part = np.concatenate([c, part])
            part = part[:records - written]
            out.write(part.tobytes())
            written += len(part)
            copy += 1
    import zstandard
    with open(plain, "rb") as src, open(packed, "wb") as dst:
        zstandard.ZstdCompressor(level=3).copy_stream(src, dst)
    base.unlink()
    print(f"generated {plain.name} ({plain.stat().st_size / 1e6:.0f} MB, .zst "
          f"{packed.stat().st_size / 1e6:.0f} MB) in {time.perf_counter() - start:.1f} s")
    return plain, packed


def best(repeats: int, run):
    times, result = [], None
    for _ in range(repeats):
        start = time.process_time()
        result = run()
        times.append(time.process_time() - start)
    return min(times), result


def read_only(path: Path) -> int:
    """Reads (and decompresses) the record stream in the replay's blocks, applying nothing."""
    with _open(path) as stream:
        _metadata(stream, path)
        buffer = bytearray(1 << 22)
        total = 0
        while n := stream.readinto(buffer):
            total += n
    return total


def queues_of(book):
    out = {"B": [], "A": []}
    for order_id, side, price, size, *_ in book.orders():
        letter = "B" if side == 0 else "A"
        if order_id in (-2**63, -2**63 + 1):
            order_id = ("top", letter)
        if not out[letter] or out[letter][-1][0] != price:
            out[letter].append((price, []))
        out[letter][-1][1].append((order_id, size))
    return out


def plain_queues(plain):
    return {side: [(p, [(i, plain.orders[i][2]) for i in ids])
                   for p, ids in plain.sides[side].items()] for side in "BA"}


def python_numpy_route(data: bytes):
    """databento-dbn reads the metadata and gives the record layout; the records become a
    NumPy array (its client's to_ndarray), and a plain-Python book applies them row by row,
    one book per (publisher, instrument), looking at the book at each F_LAST."""
    import databento_dbn as d
    decoder = d.DBNDecoder()
    length = 8 + int.from_bytes(data[4:8], "little")
    decoder.write(data[:length])  # the metadata, whatever its size (a symbol map per instrument)
    meta = decoder.decode()[0]
    records = np.frombuffer(data, np.dtype(d.MBOMsg._dtypes), offset=length)
    books = {}
    for pub, inst, order_id, price, size, flags, action, side in zip(
            records["publisher_id"].tolist(), records["instrument_id"].tolist(),
            records["order_id"].tolist(), records["price"].tolist(),
            records["size"].tolist(), records["flags"].tolist(),
            records["action"].tolist(), records["side"].tolist()):
        book = books.get((pub, inst))
        if book is None:
            book = books[(pub, inst)] = dbn_files.PlainBook()
        book.apply(action.decode(), side.decode(), order_id, price, size, flags)
        if flags & 128:
            book.top(1)
    return meta, books


def python_objects_route(data: bytes):
    """databento-dbn decodes the records into its record objects, iterated one by one into
    the same plain-Python books."""
    import databento_dbn as d
    decoder = d.DBNDecoder()
    decoder.write(data)
    books = {}
    for m in decoder.decode():
        if not isinstance(m, d.MBOMsg):
            continue
        key = (m.publisher_id, m.instrument_id)
        book = books.get(key)
        if book is None:
            book = books[key] = dbn_files.PlainBook()
        flags = m.flags
        book.apply(m.action.value, m.side.value, m.order_id, m.price, m.size, flags)
        if flags & 128:
            book.top(1)
    return books


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=20_000_000)
    parser.add_argument("--instruments", type=int, default=50)
    parser.add_argument("--python-records", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--folder", type=Path, default=ROOT / "build" / "dbn-bench")
    args = parser.parse_args()
    plain, packed = make_files(args.folder, args.records, args.instruments)
    n = args.records
    mb = plain.stat().st_size / 1e6

    print(f"{n:,} MBO records, {2 * args.instruments} books; CPU seconds, best of "
          f"{args.repeats}")
    rows = []
    t, _ = best(args.repeats, lambda: read_only(plain))
    rows.append(("read plain (no replay)", t, n / t, mb / t))
    t, skipped = best(args.repeats, lambda: dbn.replay(plain, [1]))
    rows.append(("velmora.dbn plain, every record skipped", t, n / t, mb / t))
    assert skipped.skipped == n
    t, result = best(args.repeats, lambda: dbn.replay(plain))
    rows.append(("velmora.dbn plain", t, n / t, mb / t))
    assert result.records == n
    t, _ = best(args.repeats, lambda: read_only(packed))
    rows.append(("zstd decompress (no replay)", t, n / t, mb / t))
    t, zresult = best(args.repeats, lambda: dbn.replay(packed))
    rows.append(("velmora.dbn .zst", t, n / t, mb / t))
    for key, book in result.books.items():
        assert queues_of(book) == queues_of(zresult.books[key])

    # Databento's route on the first --python-records records, velmora on the same slice.
    k = min(args.python_records, n)
    data = plain.read_bytes()
    meta_length = 8 + int.from_bytes(data[4:8], "little")
    data = data[:meta_length + 56 * k]
    piece = args.folder / f"slice-{k}.dbn"
    piece.write_bytes(data)
    t, ours = best(args.repeats, lambda: dbn.replay(piece))
    rows.append((f"velmora.dbn plain, first {k:,}", t, k / t, len(data) / 1e6 / t))
    t, (_, numpy_books) = best(1, lambda: python_numpy_route(data))
    rows.append(("databento-dbn to NumPy + Python book", t, k / t, len(data) / 1e6 / t))
    t, object_books = best(1, lambda: python_objects_route(data))
    rows.append(("databento-dbn records + Python book", t, k / t, len(data) / 1e6 / t))
    t, _ = best(1, lambda: [0 for _ in _decode_only(data)])
    rows.append(("  of which databento-dbn decoding", t, k / t, len(data) / 1e6 / t))
    for books in (numpy_books, object_books):
        assert set(books) == set(ours.books)
        for key, plain_book in books.items():
            assert queues_of(ours.books[key]) == plain_queues(plain_book), key
    print("books compared: velmora.dbn equals both Python routes on every book, and its "
          "plain and .zst replays agree")

    print(f"{'route':<40} {'CPU s':>8} {'records/s':>14} {'MB/s':>8}")
    for name, t, rate, mbs in rows:
        print(f"{name:<40} {t:>8.3f} {rate / 1e6:>12.2f} M {mbs:>8.0f}")


def _decode_only(data: bytes):
    import databento_dbn as d
    decoder = d.DBNDecoder()
    decoder.write(data)
    return decoder.decode()


if __name__ == "__main__":
    main()
