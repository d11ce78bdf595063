"""Reading a whole index out: every node with its record and every edge with its kind, as
node-link JSON, GraphML or DOT, or as a networkx graph.

The nodes and the four edge sets are read from the workspace's snapshot file, where the engine
keeps each kind of edge apart, so every edge is exported under each kind that holds it: a pair
that is both a call and containment appears once per kind. The export is what the last
build(), save() or close() wrote; the workspace is only read.
"""

from __future__ import annotations

import errno
import json
import os
from dataclasses import dataclass, field
from typing import IO, Any

from . import snapshot
from .api import SNAPSHOT_NAME, check_workspace, has_index

EDGE_KINDS = snapshot.EDGE_KINDS

# Node attributes in the order they are written, with their GraphML types. Lists are
# written to GraphML and DOT as JSON text.
NODE_FIELDS = {
    "type": "string", "name": "string", "file_path": "string", "signature": "string",
    "docstring": "string", "lines_start": "long", "lines_end": "long", "lines_count": "long",
    "returns": "string", "calls": "string", "django_relations_json": "string", "calls_count": "long",
    "callers_count": "long", "is_async": "boolean", "is_generator": "boolean", "param_count": "long",
    "is_exported": "boolean", "blast_radius_score": "long", "extra_json": "string",
}


@dataclass
class Graph:
    nodes: dict[str, dict[str, Any]]  # node id -> flat record (NODE_FIELDS keys that are present)
    edges: list[tuple[str, str, str]] = field(default_factory=list)  # (from id, to id, kind), sorted


def flat_record(meta: dict[str, Any]) -> dict[str, Any]:
    """A record of get_all_metadata with the line range as two fields and without node_id."""
    rec = {k: v for k, v in meta.items() if k not in ("node_id", "lines")}
    if "lines" in meta:
        rec["lines_start"], rec["lines_end"] = meta["lines"]["start"], meta["lines"]["end"]
    return {k: rec[k] for k in NODE_FIELDS if k in rec}


def read_graph(workspace: str) -> Graph:
    """Every node and every kind-labelled edge of the index in `workspace`, as its snapshot
    holds them. FileNotFoundError when the workspace holds no index; OSError naming the file
    when the snapshot cannot be decoded."""
    full = check_workspace(workspace, create=False)
    path = os.path.join(full, SNAPSHOT_NAME)
    if not has_index(full):
        raise FileNotFoundError(errno.ENOENT, "no index in this workspace (run `corvanedb index PATH`)", workspace)
    try:
        snap = snapshot.read(path)
    except snapshot.SnapshotError as exc:
        raise OSError(errno.EIO, f"the index cannot be read ({exc})", path) from None
    nodes = {n: {k: rec[k] for k in NODE_FIELDS if k in rec} for n, rec in sorted(snap.nodes.items())}
    edges = sorted((src, dst, kind) for kind, pairs in snap.edges.items() for src, dst in pairs)
    return Graph(nodes, edges)


def to_networkx(graph: Graph):
    """A networkx.MultiDiGraph with the record fields as node attributes and one edge per kind
    that holds a pair, keyed and labelled by `kind`. Needs networkx (not a dependency of this
    package)."""
    import networkx as nx

    g = nx.MultiDiGraph()
    for node_id, rec in graph.nodes.items():
        g.add_node(node_id, **rec)
    for src, dst, kind in graph.edges:
        g.add_edge(src, dst, key=kind, kind=kind)
    return g


def write_json(graph: Graph, out: IO[str]) -> None:
    """Node-link JSON: {"directed", "multigraph", "graph", "nodes": [{"id", ...fields}],
    "edges": [{"source", "target", "key", "kind"}]} (key = kind); networkx reads it with
    node_link_graph(data, edges="edges")."""
    data = {
        "directed": True, "multigraph": True, "graph": {"edge_kinds": list(EDGE_KINDS)},
        "nodes": [{"id": n, **rec} for n, rec in graph.nodes.items()],
        "edges": [{"source": s, "target": t, "key": k, "kind": k} for s, t, k in graph.edges],
    }
    json.dump(data, out, ensure_ascii=False)
    out.write("\n")


def _text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return json.dumps(value, ensure_ascii=False)
    return str(value)


def _xml_chars(value: Any) -> str:
    # XML 1.0 cannot carry most control characters, even escaped; docstrings may hold them.
    return "".join(c if c >= " " or c in "\t\n\r" else "\ufffd" for c in _text(value))


def write_graphml(graph: Graph, out: IO[str]) -> None:
    """GraphML with one typed key per record field and the edge key `kind`."""
    from xml.sax.saxutils import escape, quoteattr  # here: it imports much that the queries never use

    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<graphml xmlns="http://graphml.graphdrawing.org/xmlns">\n')
    for name, kind in NODE_FIELDS.items():
        out.write(f'  <key id="{name}" for="node" attr.name="{name}" attr.type="{kind}"/>\n')
    out.write('  <key id="kind" for="edge" attr.name="kind" attr.type="string"/>\n'
              '  <graph edgedefault="directed">\n')
    for node_id, rec in graph.nodes.items():
        out.write(f"    <node id={quoteattr(_xml_chars(node_id))}>")
        for name, value in rec.items():
            out.write(f'<data key="{name}">{escape(_xml_chars(value))}</data>')
        out.write("</node>\n")
    for src, dst, kind in graph.edges:
        out.write(f"    <edge source={quoteattr(_xml_chars(src))} target={quoteattr(_xml_chars(dst))}>"
                  f'<data key="kind">{kind}</data></edge>\n')
    out.write("  </graph>\n</graphml>\n")


def dot_quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


_DOT_STYLE = {"resolved_call": "", "execution": ' color="#2166ac"', "generated_execution": ' color="#2166ac" style=dashed',
              "structural": ' color="#999999" style=dotted'}


def write_dot(graph: Graph, out: IO[str]) -> None:
    """Graphviz DOT: nodes with their type, name and file; edges with their kind (structural
    edges dotted, execution edges blue, generated ones dashed)."""
    out.write("digraph corvanedb {\n")
    for node_id, rec in graph.nodes.items():
        attrs = " ".join(f"{k}={dot_quote(_text(rec[k]))}" for k in ("type", "name", "file_path") if k in rec)
        out.write(f"  {dot_quote(node_id)} [{attrs}];\n")
    for src, dst, kind in graph.edges:
        out.write(f"  {dot_quote(src)} -> {dot_quote(dst)} [kind={kind}{_DOT_STYLE[kind]}];\n")
    out.write("}\n")


WRITERS = {"json": write_json, "graphml": write_graphml, "dot": write_dot}


def export(workspace: str, fmt: str, out: IO[str]) -> Graph:
    """Write the index of `workspace` to `out` in `fmt` ("json", "graphml" or "dot")."""
    if fmt not in WRITERS:
        raise ValueError(f"unknown export format {fmt!r}: one of {', '.join(WRITERS)}")
    graph = read_graph(workspace)
    WRITERS[fmt](graph, out)
    return graph
