"""The snapshot's life at one size of workload (b), each phase against its peer on the same data:
restore (construction from the file) against pickle.loads of the same records and edges, the
first full refresh after it, save against writing and syncing the same bytes.

    python bench/restore_phases.py prepare WS_DIR [N]     (fills an engine, saves it to WS_DIR)
    python bench/restore_phases.py measure WS_DIR [N] [--skip-pickle]

`measure` only reads the snapshot `prepare` wrote (and writes it back unchanged with save), so
two builds of the module can take turns on the same file. Times are wall clock with the
process's CPU time beside it (the CPU time includes any second thread's).
"""

from __future__ import annotations

import gc
import os
import pickle
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from suite.engine_phases import build_and_settle, disk_write_s, snapshot_file  # noqa: E402
from suite.graphs import code_graph, node_records  # noqa: E402

import corvanedb  # noqa: E402


def clocked(fn, *args):
    """(wall s, CPU s, result), the cyclic collector held off."""
    gc.disable()
    try:
        w, c = time.perf_counter(), time.process_time()
        r = fn(*args)
        return time.perf_counter() - w, time.process_time() - c, r
    finally:
        gc.enable()


def prepare(ws: str, n: int) -> None:
    os.makedirs(ws, exist_ok=True)
    engine = corvanedb.PyMetadataEngine(ws)
    for r in node_records(n):
        engine.add_node(**r)
    add = engine.add_edge
    for a, b in code_graph(n).id_pairs():
        add(a, b)
    build_and_settle(engine, ws)
    engine.save()
    print(f"prepared {n} nodes, {os.path.getsize(snapshot_file(ws))} bytes")


def measure(ws: str, n: int, with_pickle: bool) -> None:
    size = os.path.getsize(snapshot_file(ws))
    w, c, engine = clocked(corvanedb.PyMetadataEngine, ws)
    print(f"restore: {w:.2f} s wall, {c:.2f} s CPU ({engine.get_stats()['nodes']} nodes, {size / 1e6:.0f} MB)")
    w, c, _ = clocked(engine.repopulate_edges)
    print(f"first repopulate_edges: {w:.2f} s wall, {c:.2f} s CPU")
    w, c, _ = clocked(engine.save)
    print(f"save: {w:.2f} s wall, {c:.2f} s CPU")
    w = disk_write_s(ws, size)
    print(f"write + fsync of the same bytes: {w:.2f} s")
    if with_pickle:
        records = {"nodes": engine.get_all_metadata(), "edges": code_graph(n).id_pairs()}
        del engine
        blob = pickle.dumps(records, 5)
        del records
        w, c, r = clocked(pickle.loads, blob)
        print(f"pickle.loads: {w:.2f} s wall, {c:.2f} s CPU ({len(blob) / 1e6:.0f} MB)")


def main(argv: list[str]) -> int:
    if len(argv) < 2 or argv[0] not in ("prepare", "measure"):
        print(__doc__)
        return 2
    ws = argv[1]
    n = int(float(argv[2])) if len(argv) > 2 and not argv[2].startswith("--") else 1_000_000
    if argv[0] == "prepare":
        prepare(ws, n)
    else:
        measure(ws, n, "--skip-pickle" not in argv)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
