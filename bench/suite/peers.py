"""The peers on the same graphs: construction, predecessors/successors and ancestors per call,
and the all-nodes ancestor counts that the engine's compile step computes.

Every peer answers in its natural form: networkx with node ids, rustworkx with the node
payloads (the ids) for neighbours and an index set for ancestors, igraph with vertex indexes.
The engine always answers with fresh lists of id strings, so the per-call comparison leans
towards the peers, not away from them.
"""

from __future__ import annotations

import random
import time

from .common import median_call_ns, timed


def all_counts(name: str, count_nodes, n: int, budget_s: float, sample: int, rng: random.Random) -> dict:
    """Ancestor counts of every node, run whole when a timed sample says it fits the budget,
    else extrapolated from the sample (mean per node times n)."""
    picks = [rng.randrange(n) for _ in range(min(sample, n))]
    t, _ = timed(count_nodes, picks)
    estimate = t / len(picks) * n
    if estimate <= budget_s:
        t_all, counts = timed(count_nodes, None)
        return {"seconds": t_all, "whole": True, "counts": counts}
    return {"seconds": estimate, "whole": False, "sample": len(picks)}


class NetworkX:
    name = "networkx"

    def __init__(self):
        import networkx as nx
        self.nx = nx

    def build(self, graph):
        pairs = graph.id_pairs()
        t, self.g = timed(self._load, graph.ids, pairs)
        return t

    def _load(self, ids, pairs):
        g = self.nx.DiGraph()
        g.add_nodes_from(ids)
        g.add_edges_from(pairs)
        return g

    def queries(self, ids, sample, blast):
        g, nx = self.g, self.nx
        return {
            "callers_ns": median_call_ns(lambda v: list(g.predecessors(v)), [ids[i] for i in sample]),
            "callees_ns": median_call_ns(lambda v: list(g.successors(v)), [ids[i] for i in sample]),
            "blast_ns": median_call_ns(lambda v: nx.ancestors(g, v), [ids[i] for i in blast]),
        }

    def ancestors(self, ids, i):
        return set(self.nx.ancestors(self.g, ids[i]))

    def all_counts(self, ids, budget_s, sample, rng):
        g, nx = self.g, self.nx

        def count(picks):
            nodes = ids if picks is None else [ids[i] for i in picks]
            return [len(nx.ancestors(g, v)) for v in nodes]

        return all_counts(self.name, count, len(ids), budget_s, sample, rng)


class RustworkX:
    name = "rustworkx"

    def __init__(self):
        import rustworkx as rx
        self.rx = rx

    def build(self, graph):
        pairs = graph.index_pairs()
        t, self.g = timed(self._load, graph.ids, pairs)
        return t

    def _load(self, ids, pairs):
        g = self.rx.PyDiGraph(check_cycle=False, multigraph=False)
        g.add_nodes_from(ids)  # index i holds node i
        g.add_edges_from_no_data(pairs)
        return g

    def queries(self, ids, sample, blast):
        g, rx = self.g, self.rx
        index = {v: i for i, v in enumerate(ids)}  # id -> index, as a caller holding ids needs
        return {
            "callers_ns": median_call_ns(lambda v: g.predecessors(index[v]), [ids[i] for i in sample]),
            "callees_ns": median_call_ns(lambda v: g.successors(index[v]), [ids[i] for i in sample]),
            "blast_ns": median_call_ns(lambda v: rx.ancestors(g, index[v]), [ids[i] for i in blast]),
        }

    def ancestors(self, ids, i):
        return {ids[j] for j in self.rx.ancestors(self.g, i)}

    def all_counts(self, ids, budget_s, sample, rng):
        g, rx = self.g, self.rx

        def count(picks):
            nodes = range(len(ids)) if picks is None else picks
            return [len(rx.ancestors(g, i)) for i in nodes]

        return all_counts(self.name, count, len(ids), budget_s, sample, rng)


class IGraph:
    name = "igraph"

    def __init__(self):
        import igraph
        self.ig = igraph

    def build(self, graph):
        pairs = graph.index_pairs()
        t, self.g = timed(self._load, graph.ids, pairs)
        return t

    def _load(self, ids, pairs):
        g = self.ig.Graph(n=len(ids), edges=pairs, directed=True)
        g.vs["name"] = ids
        return g

    def queries(self, ids, sample, blast):
        g = self.g
        index = {v: i for i, v in enumerate(ids)}
        return {
            "callers_ns": median_call_ns(lambda v: g.predecessors(index[v]), [ids[i] for i in sample]),
            "callees_ns": median_call_ns(lambda v: g.successors(index[v]), [ids[i] for i in sample]),
            "blast_ns": median_call_ns(lambda v: g.subcomponent(index[v], mode="in"), [ids[i] for i in blast]),
        }

    def ancestors(self, ids, i):
        return {ids[j] for j in self.g.subcomponent(i, mode="in") if j != i}

    def all_counts(self, ids, budget_s, sample, rng):
        g, n = self.g, len(ids)

        def count(picks):
            # One call in C over every vertex (or the sample): the peer's own bulk form.
            return [c - 1 for c in g.neighborhood_size(vertices=picks, order=n, mode="in")]

        return all_counts(self.name, count, n, budget_s, sample, rng)


PEERS = (NetworkX, RustworkX, IGraph)


def load_peers() -> list:
    return [cls() for cls in PEERS]
