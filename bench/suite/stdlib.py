"""Workload (a): the Python standard library indexed by the reference extractor. The tree is
parsed once; the engine's phases are then timed on the records, and the peers run on the
call graph the engine resolved."""

from __future__ import annotations

import os
import random

import numpy as np

from .common import timed
from .engine_phases import (Workspace, add_node_vs_dict, build_and_settle, query_latencies, refresh_cycle,
                            run_compile_driver, snapshot_phases)
from .graphs import CodeGraph
from .peers import load_peers
from .stdlib_records import stdlib_records

SKIPPED = frozenset({"site-packages", "dist-packages", "test", "tests", "idle_test"})
REFRESHED_FILE = "posixpath.py"


def parse_stdlib():
    return stdlib_records(SKIPPED)


def call_graph_of(engine, ids: list[str]) -> CodeGraph:
    """The engine's compiled call graph as index pairs, for the peers and the C++ driver."""
    index = {v: i for i, v in enumerate(ids)}
    src, dst = [], []
    for v in ids:
        for w in engine.get_callees(v):
            src.append(index[v])
            dst.append(index[w])
    return CodeGraph(len(ids), np.array(src, dtype=np.uint32), np.array(dst, dtype=np.uint32), ids)


def stdlib_workload(corvanedb, data: dict, cfg) -> dict:
    rng = random.Random(3)
    res = {"files": data["files"], "nodes": len(data["nodes"]), "parse_s": data["parse_s"]}
    res["add_node"] = add_node_vs_dict(corvanedb, data["nodes"], cfg.ws_root, 3)
    with Workspace(cfg.ws_root) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        for r in data["nodes"]:
            engine.add_node(**r)

        def structural():
            add = engine.add_structural_edge
            for a, b in data["structural"]:
                add(a, b)

        res["structural_s"], _ = timed(structural)
        res["names"] = sum(len(c) for _, c in data["callers"])

        def resolve():
            connect = engine.resolve_and_connect_calls
            return sum(connect(i, c) for i, c in data["callers"])

        res["resolve_s"], res["call_edges"] = timed(resolve)
        django = engine.resolve_and_connect_django
        res["django_edges"] = sum(django(i, j) for i, j in data["django"])
        res["build_s"] = build_and_settle(engine, ws)
        res["rebuild_internal_s"] = min(timed(engine.rebuild_internal)[0] for _ in range(3))
        res["repopulate_s"], _ = timed(engine.repopulate_edges)
        build_and_settle(engine, ws)

        ids = sorted(engine.get_all_metadata())
        g = call_graph_of(engine, ids)
        res["m"] = g.m
        sample = [rng.randrange(len(ids)) for _ in range(cfg.query_sample)]
        blast = sample[: cfg.blast_sample]
        res["engine_queries"] = query_latencies(engine, [ids[i] for i in sample], [ids[i] for i in blast])
        edges = [(ids[a], ids[b]) for a, b in g.index_pairs()]
        res["snapshot"] = snapshot_phases(corvanedb, engine, ws, cfg.driver, edges, 3)
        scores = {k: m.get("blast_radius_score") for k, m in engine.get_all_metadata().items()}
        truth = {i: set(engine.blast_radius(ids[i])) for i in blast[:20]}
        res["refresh"] = refresh_cycle(engine, ws, REFRESHED_FILE, data["per_file"][REFRESHED_FILE])
        del engine

    edge_file = os.path.join(cfg.work_dir, "edges_stdlib.bin")
    g.write_edge_file(edge_file)
    res["driver"] = run_compile_driver(cfg.driver, edge_file, cfg.plain_full_limit, cfg.plain_sample)

    res["peers"] = {}
    for peer in load_peers():
        p = {"build_s": peer.build(g)}
        p.update(peer.queries(ids, sample, blast))
        p["agree_queries"] = all(peer.ancestors(ids, i) == truth[i] for i in truth)
        counts = peer.all_counts(ids, cfg.peer_budget_s, cfg.peer_sample, random.Random(1))
        if counts.get("whole"):
            counts["agree_counts"] = all(scores[v] == c for v, c in zip(ids, counts.pop("counts")))
        p["all_counts"] = counts
        res["peers"][peer.name] = p
    return res
