#!/usr/bin/env python3
"""Query latency of two builds of the module in one process, against networkx and rustworkx.

    python3 bench/queries_ab.py BEFORE_DIR AFTER_DIR [GRAPH] [--rounds 7]

BEFORE_DIR and AFTER_DIR each hold a built `corvanedb*.so` (for instance `build/bench/python`
of two checkouts). GRAPH is a synthetic size (default 1e5, `suite/graphs.py`) or an edge file
that `run.py` wrote (`build/bench/edges_stdlib.bin`: the standard library's call graph, with
ids made up in the usual shape). Both builds get the same nodes and edges and one compile;
then each query runs over the same sample of nodes, the builds and peers taking turns, and
the least median of the rounds is printed with its ratio to each peer. Alternating in one
process keeps a busy machine from favouring either build. With --fresh-ids every call is
given a new str object equal to the id (made before the timing), where by default the sample
holds the id objects the graphs were built from, as a caller that keeps its ids would pass.
"""

from __future__ import annotations

import argparse
import glob
import importlib
import os
import random
import struct
import sys
import tempfile

import networkx as nx
import numpy as np
import rustworkx as rx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from suite.common import median_call_ns  # noqa: E402
from suite.graphs import CodeGraph, code_graph, node_record  # noqa: E402


def load_build(directory: str):
    """The module built in `directory`, under its own name but apart from any other load."""
    found = glob.glob(os.path.join(directory, "corvanedb*.so"))
    if not found:
        sys.exit(f"no corvanedb module in {directory}")
    sys.modules.pop("corvanedb", None)
    sys.path.insert(0, directory)
    try:
        module = importlib.import_module("corvanedb")
    finally:
        sys.path.remove(directory)
        sys.modules.pop("corvanedb", None)
    return module


def load_graph(source: str) -> CodeGraph:
    if not source.endswith(".bin"):
        return code_graph(int(float(source)))
    with open(source, "rb") as f:
        raw = f.read()
    n, m = struct.unpack_from("<IQ", raw)
    pairs = np.frombuffer(raw, dtype="<u4", offset=12, count=2 * m).reshape(m, 2)
    return CodeGraph(n, pairs[:, 0].copy(), pairs[:, 1].copy(), [f"lib/mod{v // 40}.py:Cls.f{v}" for v in range(n)])



def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("before")
    p.add_argument("after")
    p.add_argument("graph", nargs="?", default="1e5")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--fresh-ids", action="store_true", help="a new str object per call")
    args = p.parse_args()

    g = load_graph(args.graph)
    pairs = g.id_pairs()
    engines = {}
    for label, directory in (("before", args.before), ("after", args.after)):
        engine = load_build(directory).PyMetadataEngine(tempfile.mkdtemp())
        for v in range(g.n):
            engine.add_node(**dict(node_record(v), node_id=g.ids[v]))
        for a, b in pairs:
            engine.add_edge(a, b)
        engine.rebuild_internal()
        engines[label] = engine
    nxg = nx.DiGraph()
    nxg.add_nodes_from(g.ids)
    nxg.add_edges_from(pairs)
    rxg = rx.PyDiGraph()
    rxg.add_nodes_from(range(g.n))
    rxg.add_edges_from_no_data(g.index_pairs())
    index = {node_id: i for i, node_id in enumerate(g.ids)}

    rng = random.Random(1)
    sample = [g.ids[rng.randrange(g.n)] for _ in range(3000)]
    queries = {
        "get_callers": (lambda e: e.get_callers, lambda x: list(nxg.predecessors(x)),
                        lambda x: rxg.predecessor_indices(index[x])),
        "get_callees": (lambda e: e.get_callees, lambda x: list(nxg.successors(x)),
                        lambda x: rxg.successor_indices(index[x])),
        "blast_radius": (lambda e: e.blast_radius, lambda x: nx.ancestors(nxg, x),
                         lambda x: rx.ancestors(rxg, index[x])),
        "recursive": (lambda e: e.get_recursive_callees, lambda x: nx.descendants(nxg, x),
                      lambda x: rx.descendants(rxg, index[x])),
    }
    print(f"{g.n:,} nodes, {g.m:,} edges; least median of {args.rounds} rounds per call"
          + ("; a new str object per call" if args.fresh_ids else ""))
    print(f"{'query':<14}{'before':>10}{'after':>10}{'networkx':>10}{'rustworkx':>11}"
          f"{'before/nx':>11}{'after/nx':>10}{'before/rx':>11}{'after/rx':>10}")
    for name, (method, nx_call, rx_call) in queries.items():
        calls = {"before": method(engines["before"]), "after": method(engines["after"]),
                 "networkx": nx_call, "rustworkx": rx_call}
        args_used = sample if name in ("get_callers", "get_callees") else sample[:400]
        best = {}
        for _ in range(args.rounds):
            for label, fn in calls.items():
                used = ["".join(list(x)) for x in args_used] if args.fresh_ids else args_used
                best[label] = min(best.get(label, float("inf")), median_call_ns(fn, used))
        b, a, n_, r = best["before"], best["after"], best["networkx"], best["rustworkx"]
        print(f"{name:<14}{b:>8.0f}ns{a:>8.0f}ns{n_:>8.0f}ns{r:>9.0f}ns"
              f"{b / n_:>10.2f}x{a / n_:>9.2f}x{b / r:>10.2f}x{a / r:>9.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
