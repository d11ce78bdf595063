"""The one-file refresh cycle on the Python standard library, indexed by the reference
extractor, in one long-lived engine: invalidate, re-add (nodes and containment edges),
repopulate_edges, build; each phase timed per cycle (engine calls only, parsing excluded).

The first repopulate_edges after indexing is the full pass (it also records what each
node's resolution read); later ones are incremental.

    PYTHONPATH=build/<dir>/python:src/python python3 bench/incremental_refresh.py [cycles]
"""

from __future__ import annotations

import random
import statistics
import sys
import sysconfig
import tempfile
import time

import corvanedb
from corvane_index.indexer import Indexer
from corvane_index.python_file import extract_source
from corvane_index.tree import scan_tree


def ms(t0: float) -> float:
    return (time.perf_counter() - t0) * 1e3


def main(cycles: int = 30) -> None:
    root = sysconfig.get_paths()["stdlib"]
    with tempfile.TemporaryDirectory() as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        tree = scan_tree(root, {"test", "site-packages"})
        indexer = Indexer(engine, tree, ws)
        t0 = time.perf_counter()
        report = indexer.index_all()
        stats = engine.get_stats()
        print(f"standard library: {len(tree.files)} files, {stats['nodes']} nodes, indexed in {ms(t0) / 1e3:.1f} s")

        t0 = time.perf_counter()
        engine.repopulate_edges()
        full = ms(t0)

        rng = random.Random(1)
        paths = sorted(tree.files)
        phases: dict[str, list[float]] = {"invalidate": [], "re-add": [], "repopulate": [], "build": []}
        for _ in range(cycles):
            rel = rng.choice(paths)
            with open(tree.files[rel], "rb") as f:
                ex = extract_source(rel, f.read())
            t0 = time.perf_counter()
            engine.invalidate_file(rel)
            phases["invalidate"].append(ms(t0))
            t0 = time.perf_counter()
            for record in ex.nodes:
                engine.add_node(**record)
            indexer._add_structural([ex], report)
            phases["re-add"].append(ms(t0))
            t0 = time.perf_counter()
            engine.repopulate_edges()
            phases["repopulate"].append(ms(t0))
            t0 = time.perf_counter()
            engine.build()
            phases["build"].append(ms(t0))

        med = {k: statistics.median(v) for k, v in phases.items()}
        print(f"repopulate_edges, full pass (first, recording reads): {full:9.2f} ms")
        print(f"repopulate_edges, incremental (median of {cycles}):      {med['repopulate']:9.3f} ms"
              f"   ratio {full / med['repopulate']:.0f}x")
        print("one-file cycle, median ms: " + ", ".join(f"{k} {v:.3f}" for k, v in med.items()))
        cycle = sum(med.values())
        print(f"cycle {cycle:.2f} ms (without build {cycle - med['build']:.2f} ms); "
              f"with a full repopulate it would be {cycle - med['repopulate'] + full:.1f} ms")

        # The same record restored into a second engine gets a full pass: compare answers.
        engine.save()
        other = corvanedb.PyMetadataEngine(ws)
        other.repopulate_edges()
        other.build()
        ids = list(engine.get_all_metadata())
        same = all(sorted(engine.get_callees(i)) == sorted(other.get_callees(i)) and
                   sorted(engine.get_dependencies(i)) == sorted(other.get_dependencies(i)) for i in ids)
        print(f"callees and dependencies of all {len(ids)} nodes {'equal' if same else 'DIFFER FROM'} the full pass")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 30)
