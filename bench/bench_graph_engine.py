"""PyGraphEngine against networkx on the same synthetic code-shaped graph: edge loading,
compile, and blast radius (every node that reaches the start) per call. Then the same graph
under keys that share long prefixes (zero-padded counters, md5 digests left-padded with
zeros) against random keys: the ratio shows whether the key table spreads them.

    PYTHONPATH=build/<dir>/python python3 bench/bench_graph_engine.py [N ...]
"""
import hashlib
import random
import sys
import time

import corvanedb

try:
    import networkx as nx
except ImportError:  # the peer is optional
    nx = None


def code_graph(n, seed=7):
    """Power-law fan-in (a few hubs called by many), shallow depth, some back edges."""
    rng = random.Random(seed)
    keys = [f"{rng.getrandbits(256):064x}" for _ in range(n)]
    edges = []
    for i in range(1, n):
        for _ in range(rng.randint(1, 4)):
            callee = int(i * rng.random() ** 3)  # skewed towards early nodes
            edges.append((keys[i], keys[callee]))
        if rng.random() < 0.02:
            edges.append((keys[rng.randrange(i)], keys[i]))
    return keys, edges


def timed(fn):
    t = time.perf_counter()
    result = fn()
    return time.perf_counter() - t, result


def run(n):
    keys, edges = code_graph(n)
    rng = random.Random(1)
    starts = [keys[int(n * rng.random() ** 2)] for _ in range(200)]

    def load():
        g = corvanedb.PyGraphEngine()
        add = g.add_edge
        for f, t in edges:
            add(f, t)
        return g

    t_load, g = timed(load)
    t_build, _ = timed(g.build)
    t_query, ours = timed(lambda: [g.blast_radius(s) for s in starts])
    print(f"n={n:>8} edges={len(edges):>8}  load {len(edges) / t_load:>12,.0f} edges/s  build {t_build * 1e3:8.1f} ms"
          f"  blast_radius {t_query / len(starts) * 1e6:10.1f} us/call")
    if nx is None:
        return

    def nx_load():
        G = nx.DiGraph()
        G.add_edges_from(edges)
        return G

    t_nx_load, G = timed(nx_load)
    t_nx_query, theirs = timed(lambda: [nx.ancestors(G, s) for s in starts])
    assert all(set(a) == b for a, b in zip(ours, theirs))
    print(f"{'':>10} networkx: load x{t_nx_load / (t_load + t_build):.2f} slower (load+build),"
          f" blast_radius x{t_nx_query / t_query:.2f} slower")


KEY_SHAPES = {
    "random": lambda i, rng: f"{rng.getrandbits(256):064x}",
    "zero-padded counter": lambda i, rng: f"{i:064x}",
    "md5, zero-padded": lambda i, rng: hashlib.md5(str(i).encode()).hexdigest().rjust(64, "0"),
}


def run_key_shapes(n):
    """The graph of run(n) with node i renamed by each key shape; load, build and 200 blast
    radius calls. Shapes take turns, best of three each, so warm-up and a busy machine
    weigh on all of them alike."""
    _, edges = code_graph(n)
    index = {k: i for i, k in enumerate(dict.fromkeys(k for e in edges for k in e))}
    numbered = [(index[f], index[t]) for f, t in edges]
    starts = random.Random(1).sample(range(len(index)), 200)
    workloads = {}
    for shape, make in KEY_SHAPES.items():
        rng = random.Random(3)
        keys = [make(i, rng) for i in range(len(index))]
        workloads[shape] = ([(keys[f], keys[t]) for f, t in numbered], [keys[s] for s in starts])

    def cycle(pairs, start_keys):
        g = corvanedb.PyGraphEngine()
        add = g.add_edge
        for f, t in pairs:
            add(f, t)
        g.build()
        for s in start_keys:
            g.blast_radius(s)

    times = dict.fromkeys(workloads, float("inf"))
    for _ in range(3):
        for shape, (pairs, start_keys) in workloads.items():
            times[shape] = min(times[shape], timed(lambda: cycle(pairs, start_keys))[0])
    base = times["random"]
    print(f"n={n:>8} key shapes (load + build + 200 blast_radius): "
          + ", ".join(f"{shape} {t * 1e3:.1f} ms (x{t / base:.2f})" for shape, t in times.items()))


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10_000, 100_000]
    for n in sizes:
        run(n)
    for n in sizes:
        run_key_shapes(n)


if __name__ == "__main__":
    main()
