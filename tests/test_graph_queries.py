import random
from collections import deque

import pytest

import corvanedb

QUERIES = ["get_callers", "get_callees", "get_dependents", "get_dependencies", "get_recursive_callees", "blast_radius"]


def nodes(engine, *ids):
    for i in ids:
        engine.add_node(i, "Function", i, "m.py")


def test_queries_before_build_raise_even_for_unknown_ids(engine):
    nodes(engine, "a")
    for q in QUERIES:
        with pytest.raises(RuntimeError, match="^Graph must be built first$"):
            getattr(engine, q)("nope")
    assert engine.get_stats() == {"nodes": 1, "edges": "not built"}


def test_unknown_id_after_build(engine):
    engine.build()
    for q in QUERIES:
        with pytest.raises(ValueError, match="^Unknown node_id: x:y$"):
            getattr(engine, q)("x:y")
    assert engine.get_stats()["edges"] == "CSR compiled"


def test_known_node_without_edges_answers_empty(engine):
    nodes(engine, "a")
    engine.build()
    assert all(getattr(engine, q)("a") == [] for q in QUERIES)


def test_direction_order_and_kinds(engine):
    nodes(engine, "a", "b", "c", "d")
    engine.add_edge("a", "c")
    engine.add_edge("a", "b")
    engine.add_generated_edge("d", "a")
    engine.add_structural_edge("a", "d")
    engine.build()
    assert engine.get_callees("a") == ["c", "b"]
    assert engine.get_callers("b") == ["a"]
    assert engine.get_callers("a") == ["d"]
    # Structural edges are dependencies, not calls.
    assert engine.get_dependencies("a") == ["c", "b", "d"]
    assert engine.get_callees("a") == ["c", "b"]
    assert engine.get_dependents("d") == ["a"]
    assert engine.get_recursive_callees("d") == ["a", "c", "b"]
    assert engine.blast_radius("b") == ["a", "d"]
    assert engine.blast_radius("b", max_depth=1) == ["a"]
    assert engine.blast_radius("b", max_depth=0) == engine.blast_radius("b", max_depth=None)


def test_self_loop_and_cycle_never_return_start(engine):
    nodes(engine, "a", "b")
    engine.add_edge("a", "a")
    engine.add_edge("a", "b")
    engine.add_edge("b", "a")
    engine.build()
    assert engine.get_callees("a") == ["a", "b"]
    assert engine.get_recursive_callees("a") == ["b"]
    assert engine.blast_radius("a") == ["b"]
    meta = engine.get_node_meta("a")
    assert (meta["calls_count"], meta["callers_count"], meta["blast_radius_score"]) == (2, 2, 1)


def test_edges_after_build_wait_for_next_compile(engine):
    nodes(engine, "a", "b", "c")
    engine.add_edge("a", "b")
    engine.build()
    engine.add_edge("c", "b")
    assert engine.get_callers("b") == ["a"]
    engine.rebuild()
    assert engine.get_callers("b") == ["a", "c"]


def test_clear_generated_edges(engine):
    nodes(engine, "a", "b", "c")
    engine.add_edge("a", "b")
    engine.add_generated_edge("b", "c")
    engine.build()
    engine.clear_generated_edges()
    assert engine.get_callees("b") == ["c"]  # still the old compile
    engine.build()
    assert engine.get_callees("b") == []
    assert engine.get_callees("a") == ["b"]


def test_duplicate_and_unknown_edges(engine):
    nodes(engine, "a", "b")
    engine.add_edge("a", "b")
    engine.add_edge("a", "b")
    engine.add_generated_edge("a", "b")
    engine.add_edge("a", "ghost")
    engine.add_edge("ghost", "a")
    engine.build()
    assert engine.get_callees("a") == ["b"]
    assert engine.get_callers("a") == []


def bfs(adj, start, max_depth):
    seen, out, queue = {start}, [], deque([(start, 0)])
    while queue:
        v, d = queue.popleft()
        if max_depth and d >= max_depth:
            continue
        for w in adj.get(v, []):
            if w not in seen:
                seen.add(w)
                out.append(w)
                queue.append((w, d + 1))
    return out


@pytest.mark.parametrize("seed", range(8))
def test_random_graphs_match_independent_bfs(engine, seed):
    rng = random.Random(seed)
    n = rng.randint(1, 60)
    ids = [f"m.py:f{i}" for i in range(n)]
    nodes(engine, *ids)
    fwd, rev = {}, {}
    for _ in range(rng.randint(0, 4 * n)):
        a, b = rng.choice(ids), rng.choice(ids)
        engine.add_edge(a, b)
        if b not in fwd.setdefault(a, []):
            fwd[a].append(b)
            rev.setdefault(b, []).append(a)
    engine.build()
    for i in ids:
        assert engine.get_callees(i) == fwd.get(i, [])
        assert engine.get_callers(i) == rev.get(i, [])
        depth = rng.choice([None, 0, 1, 2, 3])
        assert engine.get_recursive_callees(i, depth) == bfs(fwd, i, depth)
        assert engine.blast_radius(i, max_depth=depth) == bfs(rev, i, depth)
        meta = engine.get_node_meta(i)
        assert meta["blast_radius_score"] == len(bfs(rev, i, 0))
        assert meta["calls_count"] == len(fwd.get(i, []))
        assert meta["callers_count"] == len(rev.get(i, []))
