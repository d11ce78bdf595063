"""Reading a whole index out: every node with its record and every edge with its kind, as
node-link JSON, GraphML or DOT, or as a networkx graph.

The engine answers neighbour questions but does not list its edges by kind, so the kinds are
derived from what it does answer:

- structural: an edge of the dependency graph (get_dependencies) that is not in the call
  graph (get_callees);
- resolved call: a call-graph edge that resolving the stored call names again gives. The
  resolution runs in a scratch engine holding copies of the node records only;
- generated execution: a call-graph edge that disappears when clear_generated_edges() runs on
  a scratch copy of the workspace's snapshot;
- execution: every other call-graph edge (add_edge).

What this cannot tell: a pair stored under several kinds is exported once, under the first of
resolved call, generated execution, execution, structural that holds it (so a call edge that
is also structural shows only as the call). A resolved-call edge added with call names that
are not in the caller's stored `calls` (resolve_and_connect_calls with other names) shows as
an execution edge, since resolving again does not give it. Edges added since the last
build() are not in the compiled graphs and are not exported. An index written by the indexer
holds structural and resolved-call edges only; a pair can be both when a module node's own
calls reach a definition it contains, and is then exported as the call.

Listing the four edge sets exactly would take a method of the engine that returns them.
"""

from __future__ import annotations

import json
import os
import shutil
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import IO, Any
from xml.sax.saxutils import escape, quoteattr

import corvanedb

from .api import SNAPSHOT_NAME, open_index

EDGE_KINDS = ("resolved_call", "execution", "generated_execution", "structural")

# add_node's arguments that a record hands back under the same name.
_RECORD_ARGS = ("signature", "docstring", "returns", "calls", "django_relations_json", "is_async",
                "is_generator", "param_count", "is_exported", "extra_json")

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


def _successors(engine: corvanedb.PyMetadataEngine, ids: Iterable[str], method: str) -> dict[str, set[str]]:
    query = getattr(engine, method)
    return {n: set(query(n)) for n in ids}


def _resolved_calls(meta: dict[str, dict[str, Any]], scratch: str) -> dict[str, set[str]]:
    """The call edges that resolving the stored call names gives, in an engine of its own."""
    engine = corvanedb.PyMetadataEngine(scratch)
    for node_id, m in meta.items():
        args = {k: m[k] for k in _RECORD_ARGS if k in m}
        if "lines" in m:
            args["lines_start"], args["lines_end"] = m["lines"]["start"], m["lines"]["end"]
        engine.add_node(node_id, m["type"], m["name"], m["file_path"], **args)
    engine.repopulate_edges()
    engine.rebuild_internal()
    return _successors(engine, meta, "get_callees")


def _calls_without_generated(workspace: str, ids: Iterable[str], scratch: str) -> dict[str, set[str]]:
    os.makedirs(scratch)
    shutil.copyfile(os.path.join(workspace, SNAPSHOT_NAME), os.path.join(scratch, SNAPSHOT_NAME))
    engine = corvanedb.PyMetadataEngine(scratch)
    engine.clear_generated_edges()
    engine.rebuild_internal()
    return _successors(engine, ids, "get_callees")


def read_graph(workspace: str) -> Graph:
    """Every node and every kind-labelled edge of the index in `workspace` (see the module
    docstring for how kinds are told apart). The workspace is only read."""
    engine = open_index(workspace)
    meta = engine.get_all_metadata()
    deps = _successors(engine, meta, "get_dependencies")
    calls = _successors(engine, meta, "get_callees")
    with tempfile.TemporaryDirectory(prefix="corvanedb-export-") as scratch:
        resolved = _resolved_calls(meta, os.path.join(scratch, "resolved"))
        unexplained = any(calls[n] - resolved[n] for n in meta)
        kept = _calls_without_generated(workspace, meta, os.path.join(scratch, "copy")) if unexplained else calls
    edges = []
    for src in meta:
        for dst in deps[src]:
            if dst not in calls[src]:
                kind = "structural"
            elif dst in resolved[src]:
                kind = "resolved_call"
            elif dst not in kept[src]:
                kind = "generated_execution"
            else:
                kind = "execution"
            edges.append((src, dst, kind))
    edges.sort()
    return Graph({n: flat_record(meta[n]) for n in sorted(meta)}, edges)


def to_networkx(graph: Graph):
    """A networkx.DiGraph with the record fields as node attributes and `kind` on every edge.
    Needs networkx (not a dependency of this package)."""
    import networkx as nx

    g = nx.DiGraph()
    for node_id, rec in graph.nodes.items():
        g.add_node(node_id, **rec)
    for src, dst, kind in graph.edges:
        g.add_edge(src, dst, kind=kind)
    return g


def write_json(graph: Graph, out: IO[str]) -> None:
    """Node-link JSON: {"directed", "multigraph", "graph", "nodes": [{"id", ...fields}],
    "edges": [{"source", "target", "kind"}]}; networkx reads it with
    node_link_graph(data, edges="edges")."""
    data = {
        "directed": True, "multigraph": False, "graph": {"edge_kinds": list(EDGE_KINDS)},
        "nodes": [{"id": n, **rec} for n, rec in graph.nodes.items()],
        "edges": [{"source": s, "target": t, "kind": k} for s, t, k in graph.edges],
    }
    json.dump(data, out, ensure_ascii=False)
    out.write("\n")


def _text(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return json.dumps(value, ensure_ascii=False)
    return str(value)


def _xml_text(value: Any) -> str:
    # XML 1.0 cannot carry most control characters, even escaped; docstrings may hold them.
    return escape("".join(c if c >= " " or c in "\t\n\r" else "\ufffd" for c in _text(value)))


def write_graphml(graph: Graph, out: IO[str]) -> None:
    """GraphML with one typed key per record field and the edge key `kind`."""
    out.write('<?xml version="1.0" encoding="UTF-8"?>\n'
              '<graphml xmlns="http://graphml.graphdrawing.org/xmlns">\n')
    for name, kind in NODE_FIELDS.items():
        out.write(f'  <key id="{name}" for="node" attr.name="{name}" attr.type="{kind}"/>\n')
    out.write('  <key id="kind" for="edge" attr.name="kind" attr.type="string"/>\n'
              '  <graph edgedefault="directed">\n')
    for node_id, rec in graph.nodes.items():
        out.write(f"    <node id={quoteattr(_xml_text(node_id))}>")
        for name, value in rec.items():
            out.write(f'<data key="{name}">{_xml_text(value)}</data>')
        out.write("</node>\n")
    for src, dst, kind in graph.edges:
        out.write(f"    <edge source={quoteattr(_xml_text(src))} target={quoteattr(_xml_text(dst))}>"
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
