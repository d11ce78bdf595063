"""Memory per node, one measurement per fresh process:

    python3 -m suite.memory engine|networkx|dict N WORKSPACE_ROOT

Generates the synthetic graph (index arrays only), resets the peak RSS, then has the holder
take every node with its attributes and every edge. Records and id strings are made fresh per
call, so a holder pays for exactly what it keeps. Prints one JSON object: the RSS growth at
the end and the growth of the peak, in bytes. (No tracemalloc: its own bookkeeping would land
in the RSS of the holders with many Python objects.)
"""

from __future__ import annotations

import gc
import json
import shutil
import sys
import tempfile

from .graphs import code_graph, function_id, node_records


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def hold_engine(n, src, dst, ws_root):
    import corvanedb

    ws = tempfile.mkdtemp(prefix="mem-", dir=ws_root)
    engine = corvanedb.PyMetadataEngine(ws)
    for r in node_records(n):
        engine.add_node(**r)
    add = engine.add_edge
    for a, b in zip(src, dst):
        add(function_id(a), function_id(b))
    engine.rebuild_internal()  # compiled graphs and metrics in place, snapshot written synchronously
    shutil.rmtree(ws)
    return engine


def hold_networkx(n, src, dst, _):
    import networkx as nx

    g = nx.DiGraph()
    for r in node_records(n):
        g.add_node(r.pop("node_id"), **r)
    for a, b in zip(src, dst):
        g.add_edge(function_id(a), function_id(b))
    return g


def hold_dict(n, src, dst, _):
    """The plain Python floor: dict-of-dicts records plus adjacency lists of ids."""
    table = {r["node_id"]: r for r in node_records(n)}
    out = {}
    for a, b in zip(src, dst):
        out.setdefault(function_id(a), []).append(function_id(b))
    return table, out


HOLDERS = {"engine": hold_engine, "networkx": hold_networkx, "dict": hold_dict}


def main(argv):
    kind, n, ws_root = argv[0], int(float(argv[1])), argv[2]
    holder = HOLDERS[kind]
    if kind == "engine":
        import corvanedb  # noqa: F401  (imported before the baseline)
    elif kind == "networkx":
        import networkx  # noqa: F401
    g = code_graph(n)
    src, dst = g.src.tolist(), g.dst.tolist()
    del g
    gc.collect()
    peak_reset = _reset_peak()
    rss0, hwm0 = _status_kb("VmRSS"), _status_kb("VmHWM")
    held = holder(n, src, dst, ws_root)
    gc.collect()
    rss1, hwm1 = _status_kb("VmRSS"), _status_kb("VmHWM")
    print(json.dumps({"kind": kind, "n": n, "edges": len(src), "rss_bytes": (rss1 - rss0) * 1024,
                      "peak_bytes": (hwm1 - (rss0 if peak_reset else hwm0)) * 1024,
                      "peak_reset": peak_reset}))
    del held


if __name__ == "__main__":
    main(sys.argv[1:])
