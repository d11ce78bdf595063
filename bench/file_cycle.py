"""The one-file refresh cycle on a large synthetic graph, phase by phase, from Python.

The graph is the suite's code-shaped graph (suite/graphs.py: n functions, modules of 40,
about five calls each), fed as add_node + add_edge. Each cycle picks a file and does what a
re-index of one saved file does: invalidate_file, add_node of the file's functions, the
file's edges again (in and out: invalidation dropped both), repopulate_edges, then build()
(compile and encode; the write runs in the background and is timed apart, until the new
file is in place). Cycles alternate between two kinds of save: one that changes a call
of the file (one of its edges toggled, so the graph really changes and the counts of the
nodes it reaches with it), and one that leaves its calls as they were (a body or a docstring
edited: the same edges come back, in a new order). At the end one cycle runs with
rebuild_internal() instead (compile, encode and write, synchronously), which is what the
indexer's incremental run calls.

    PYTHONPATH=build/<dir>/python python3 bench/file_cycle.py [n] [cycles] [--check]

`--check` compares, after the cycles, every node's counts and the callers of sampled nodes
with a fresh engine fed the same final graph and built once.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import sys
import tempfile
import time
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corvanedb  # noqa: E402
from suite.common import timed  # noqa: E402
from suite.engine_phases import _inode, build_and_settle, snapshot_file, wait_for_new_snapshot  # noqa: E402
from suite.graphs import FUNCTIONS_PER_MODULE, code_graph, node_record, node_records  # noqa: E402

PHASES = ("invalidate", "add_node", "add_edge", "repopulate", "build", "write")


def timed_build(engine) -> dict:
    """build() in wall time, and the CPU time of all the process's threads meanwhile: on a
    machine shared with other work the wall time moves with the load, the CPU time much less
    (it counts the work of every thread the build runs, so it is not shortened by them)."""
    cpu = time.process_time()
    wall, _ = timed(engine.build)
    return {"build": wall, "build_cpu": time.process_time() - cpu}


def add_nodes(engine, records) -> None:
    for r in records:
        engine.add_node(**r)


def add_edges(engine, pairs) -> None:
    for a, b in pairs:
        engine.add_edge(a, b)


def file_edges(g, touching: dict[int, list[int]], module: int) -> list[tuple[int, int]]:
    """Every edge with an end in the module, each once."""
    lo = module * FUNCTIONS_PER_MODULE
    out = set()
    for v in range(lo, min(lo + FUNCTIONS_PER_MODULE, g.n)):
        for e in touching[v]:
            out.add((int(g.src[e]), int(g.dst[e])))
    return sorted(out)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("n", nargs="?", type=int, default=100_000)
    ap.add_argument("cycles", nargs="?", type=int, default=5)
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()

    g = code_graph(args.n)
    touching: dict[int, list[int]] = defaultdict(list)
    for e, (a, b) in enumerate(zip(g.src.tolist(), g.dst.tolist())):
        touching[a].append(e)
        touching[b].append(e)
    ids = g.ids
    modules = (args.n + FUNCTIONS_PER_MODULE - 1) // FUNCTIONS_PER_MODULE
    dropped: set[tuple[int, int]] = set()

    with tempfile.TemporaryDirectory(prefix="file-cycle-") as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        t_nodes, _ = timed(add_nodes, engine, node_records(args.n))
        pairs = g.id_pairs()
        t_edges, _ = timed(add_edges, engine, pairs)
        del pairs
        t_build = build_and_settle(engine, ws)
        t_repop, _ = timed(engine.repopulate_edges)
        print(f"n={args.n}, {g.m} edges: add_node {t_nodes:.1f} s, add_edge {t_edges:.1f} s, "
              f"first build {t_build:.2f} s, first repopulate_edges {t_repop:.2f} s", flush=True)

        rng = random.Random(7)
        kinds = ("call changed", "calls unchanged")
        times = {kind: {p: [] for p in PHASES} for kind in kinds}

        def one_cycle(finish, toggle=True):
            module = rng.randrange(modules)
            path = ids[module * FUNCTIONS_PER_MODULE].rsplit(":", 1)[0]
            edges = file_edges(g, touching, module)
            own_out = [e for e in edges if e[0] // FUNCTIONS_PER_MODULE == module]
            if own_out and toggle:
                dropped.symmetric_difference_update({rng.choice(own_out)})
            lo = module * FUNCTIONS_PER_MODULE
            records = [node_record(v) for v in range(lo, min(lo + FUNCTIONS_PER_MODULE, args.n))]
            edge_ids = [(ids[a], ids[b]) for a, b in edges if (a, b) not in dropped]
            t = {"invalidate": timed(engine.invalidate_file, path)[0]}
            t["add_node"] = timed(add_nodes, engine, records)[0]
            t["add_edge"] = timed(add_edges, engine, edge_ids)[0]
            t["repopulate"] = timed(engine.repopulate_edges)[0]
            t.update(finish())
            return t

        for c in range(args.cycles):
            kind = kinds[c % 2]
            before = _inode(snapshot_file(ws))
            t = one_cycle(lambda: timed_build(engine), toggle=kind == kinds[0])
            # The background write of this build, until its file is in place.
            t["write"], _ = timed(wait_for_new_snapshot, ws, before, 300.0)
            for p in PHASES:
                times[kind][p].append(t[p])
            times[kind].setdefault("build_cpu", []).append(t["build_cpu"])
            print(f"cycle, {kind}: " + ", ".join(f"{p} {t[p] * 1e3:.1f} ms" for p in PHASES)
                  + f" (build CPU {t['build_cpu'] * 1e3:.0f} ms)"
                  + f"; total without write {sum(t[p] for p in PHASES[:-1]):.3f} s", flush=True)

        for kind in kinds:
            if not times[kind]["build"]:
                continue
            med = {p: statistics.median(v) for p, v in times[kind].items()}
            print(f"median of {len(times[kind]['build'])} cycles, {kind}: "
                  + ", ".join(f"{p} {med[p] * 1e3:.1f} ms" for p in PHASES) + f" (build CPU {med['build_cpu'] * 1e3:.0f} ms)")
            print(f"  one-file cycle (invalidate .. build): {sum(med[p] for p in PHASES[:-1]):.3f} s; "
                  f"with the background write: {sum(med[p] for p in PHASES):.3f} s")

        t = one_cycle(lambda: {"build": timed(engine.rebuild_internal)[0]})
        print("cycle with rebuild_internal (compile, encode, write): "
              + ", ".join(f"{p} {t[p] * 1e3:.1f} ms" for p in PHASES[:-2])
              + f", rebuild_internal {t['build'] * 1e3:.1f} ms; total {sum(t.values()):.3f} s")
        t_save, _ = timed(engine.save)
        print(f"save() alone (encode and write, no compile): {t_save * 1e3:.1f} ms")

        if args.check:
            check(engine, g, dropped)


def check(engine, g, dropped) -> None:
    """The engine after the cycles against a fresh one fed the same final graph."""
    with tempfile.TemporaryDirectory(prefix="file-cycle-check-") as ws:
        fresh = corvanedb.PyMetadataEngine(ws)
        add_nodes(fresh, node_records(g.n))
        ids = g.ids
        add_edges(fresh, [(ids[a], ids[b]) for a, b in zip(g.src.tolist(), g.dst.tolist()) if (a, b) not in dropped])
        fresh.build()
        keys = ("calls_count", "callers_count", "blast_radius_score")
        ours, theirs = engine.get_all_metadata(), fresh.get_all_metadata()
        same = ours.keys() == theirs.keys() and all(
            all(ours[k].get(f) == theirs[k].get(f) for f in keys) for k in ours)
        sample = random.Random(3).sample(ids, 200)
        same_q = all(sorted(engine.blast_radius(i)) == sorted(fresh.blast_radius(i)) for i in sample)
        print(f"check against a fresh build: counts {'equal' if same else 'DIFFER'}, "
              f"blast_radius of 200 nodes {'equal' if same_q else 'DIFFER'}")
        if not (same and same_q):
            sys.exit(1)


if __name__ == "__main__":
    main()
