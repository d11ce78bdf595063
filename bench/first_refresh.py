"""The first refresh after an engine is opened on its snapshot, with one file edited, when the
record of reads saved beside the snapshot is taken up and when it is not there (moved aside):
the same build and the same snapshot, the two taking turns.

    PYTHONPATH=build/<dir>/python python3 bench/first_refresh.py [FUNCTIONS] [--rounds N]

FUNCTIONS (default 100,000) sizes the resolution project of bench/suite (files of 40
functions with imports, classes and receiver calls). The engine is filled, refreshed and
saved with rebuild_internal(), as the indexer saves; each round then opens it, replaces one
file's nodes with one call changed and refreshes, timing the edit and the refresh together
(the record is taken up at the edit's first change). Nothing is saved in a round, so every
round reads the same files.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from suite.graphs import resolution_project  # noqa: E402

import corvanedb  # noqa: E402

READS = ".corvane_reads.bin"
SNAPSHOT = ".corvane_snapshot.bin"


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def one_round(ws: str, edited: list[dict]) -> tuple[float, float]:
    """The restore, then the edit and the refresh together: the record is taken up at the
    edit's first change."""
    restore_s, engine = timed(corvanedb.PyMetadataEngine, ws)
    start = time.perf_counter()
    engine.invalidate_file(edited[0]["file_path"])
    for record in edited:
        engine.add_node(**record)
    engine.repopulate_edges()
    return restore_s, time.perf_counter() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("functions", nargs="?", type=float, default=100_000)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args()
    files = resolution_project(int(args.functions))
    with tempfile.TemporaryDirectory() as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        for records in files:
            for record in records:
                engine.add_node(**record)
        full_s, _ = timed(engine.repopulate_edges)
        save_s, _ = timed(engine.rebuild_internal)
        nodes = engine.get_stats()["nodes"]
        del engine
        sizes = {name: os.path.getsize(os.path.join(ws, name)) / 1e6 for name in (SNAPSHOT, READS)}
        print(f"{nodes} nodes; full refresh {full_s:.2f} s; rebuild_internal {save_s:.2f} s; "
              f"snapshot {sizes[SNAPSHOT]:.1f} MB, record of reads {sizes[READS]:.1f} MB")

        edited = [dict(r) for r in files[len(files) // 2]]
        caller = next(r for r in edited if r.get("calls"))
        caller["calls"] = caller["calls"][:-1]
        times: dict[str, list[tuple[float, float]]] = {"with the record": [], "without it": []}
        reads, aside = os.path.join(ws, READS), os.path.join(ws, READS + ".aside")
        for _ in range(args.rounds):
            times["with the record"].append(one_round(ws, edited))
            os.rename(reads, aside)
            try:
                times["without it"].append(one_round(ws, edited))
            finally:
                os.rename(aside, reads)
        for mode, runs in times.items():
            restore = statistics.median(r for r, _ in runs)
            refresh = statistics.median(f for _, f in runs)
            print(f"{mode:>16}: restore {restore * 1e3:8.1f} ms, edit and first refresh {refresh * 1e3:8.1f} ms "
                  f"(median of {len(runs)})")
        with_ = statistics.median(f for _, f in times["with the record"])
        without = statistics.median(f for _, f in times["without it"])
        print(f"edit and first refresh, with / without the record: {with_ / without:.3f}")


if __name__ == "__main__":
    main()
