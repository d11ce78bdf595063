"""Workload (b): synthetic code-shaped graphs fed as nodes + add_edge, the engine against its
peers on the same graph; and the variant with real call resolution on synthetic modules."""

from __future__ import annotations

import os
import random

from .common import best_of, timed
from .engine_phases import (Workspace, add_node_vs_dict, build_and_settle, query_latencies, refresh_cycle,
                            run_compile_driver, snapshot_phases)
from .graphs import code_graph, node_records, resolution_project
from .peers import load_peers


def graph_workload(corvanedb, n: int, cfg) -> dict:
    rng = random.Random(n)
    g = code_graph(n)
    res = {"n": n, "m": g.m}
    repeat = 3 if n <= 100_000 else 1
    sample = [rng.randrange(n) for _ in range(cfg.query_sample)]
    blast = sample[: cfg.blast_sample]

    # The compile step against the plain walk, in C++ on the same edges.
    edge_file = os.path.join(cfg.work_dir, f"edges_{n}.bin")
    g.write_edge_file(edge_file)
    res["driver"] = run_compile_driver(cfg.driver, edge_file, cfg.plain_full_limit, cfg.plain_sample)

    records = list(node_records(n))
    res["add_node"] = add_node_vs_dict(corvanedb, records, cfg.ws_root, repeat)
    pairs = g.id_pairs()
    with Workspace(cfg.ws_root) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        for r in records:
            engine.add_node(**r)
        del records

        def feed():
            add = engine.add_edge
            for a, b in pairs:
                add(a, b)

        res["add_edge_s"], _ = timed(feed)
        res["build_s"] = build_and_settle(engine, ws)
        res["rebuild_internal_s"] = best_of(repeat, engine.rebuild_internal)
        res["engine_queries"] = query_latencies(engine, [g.ids[i] for i in sample], [g.ids[i] for i in blast])
        res["snapshot"] = snapshot_phases(corvanedb, engine, ws, cfg.driver, pairs, repeat)
        scores = {k: m.get("blast_radius_score") for k, m in engine.get_all_metadata().items()}
        truth = {i: set(engine.blast_radius(g.ids[i])) for i in blast[:20]}
        del engine
    del pairs

    res["peers"] = {}
    for peer in load_peers():
        p = {"build_s": peer.build(g)}
        p.update(peer.queries(g.ids, sample, blast))
        p["agree_queries"] = all(peer.ancestors(g.ids, i) == truth[i] for i in truth)
        counts = peer.all_counts(g.ids, cfg.peer_budget_s, cfg.peer_sample, random.Random(1))
        if counts.get("whole"):
            counts["agree_counts"] = all(scores[v] == c for v, c in zip(g.ids, counts.pop("counts")))
        p["all_counts"] = counts
        res["peers"][peer.name] = p
        del peer
    return res


def resolution_workload(corvanedb, n: int, cfg) -> dict:
    """add_node with `calls` lists, resolve_and_connect_calls per function, build, then the
    refresh cycle of one changed file."""
    files = resolution_project(n)
    res = {"n": n, "files": len(files)}
    with Workspace(cfg.ws_root) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        records = [r for recs in files for r in recs]

        def add_all():
            add = engine.add_node
            for r in records:
                add(**r)

        res["nodes"] = len(records)
        res["add_node_s"], _ = timed(add_all)
        callers = [(r["node_id"], r["calls"]) for r in records if r.get("calls")]
        res["names"] = sum(len(c) for _, c in callers)

        def resolve_all():
            connect = engine.resolve_and_connect_calls
            return sum(connect(i, c) for i, c in callers)

        res["resolve_s"], res["edges"] = timed(resolve_all)
        res["build_s"] = build_and_settle(engine, ws)
        res["repopulate_s"], _ = timed(engine.repopulate_edges)
        changed = files[len(files) // 2]
        res["refresh"] = refresh_cycle(engine, ws, changed[0]["file_path"], changed)
        res["edges_after"] = engine.get_stats()["edges"]
        del engine
    return res
