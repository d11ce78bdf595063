"""Drawing the blast radius of a definition: everything that reaches it over call edges.

Nodes are grouped in one box per file (the box carries the path, so labels stay short: the
qualified name without the path, long dotted names cut to their last two parts). Colours
give the distance from the definition. The layout runs left to right: callers on the left,
the definition on the right. Rendering needs Graphviz's `dot` program.
"""

from __future__ import annotations

import html
import os
import shutil
import subprocess
from collections import defaultdict
from dataclasses import dataclass

import corvanedb

from .api import bfs_levels
from .export import dot_quote

# Distance 0 (the definition) to 4 and beyond, light to dark.
_DEPTH_COLOURS = ("#f4a582", "#fddbc7", "#d1e5f0", "#92c5de", "#6baed6")


@dataclass
class BlastDrawing:
    dot: str
    drawn: int  # nodes drawn, the definition included
    total: int  # nodes in the blast radius within the depth bound, the definition included


def blast_levels(engine: corvanedb.PyMetadataEngine, node_id: str, max_depth: int | None,
                 max_nodes: int) -> dict[str, int]:
    """Distance of each node of the blast radius, nearest first, at most max_nodes nodes."""
    return bfs_levels(lambda n: sorted(engine.get_callers(n)), node_id, max_depth, max_nodes)


def short_label(node_id: str, file_path: str) -> str:
    """The qualified name inside its file, cut to its last two dotted parts."""
    name = node_id[len(file_path) + 1:] if node_id.startswith(file_path + ":") else node_id.split(":", 1)[-1]
    parts = name.split(".")
    return name if len(parts) <= 2 else "…" + ".".join(parts[-2:])


def blast_dot(engine: corvanedb.PyMetadataEngine, node_id: str, max_depth: int | None = None,
              max_nodes: int = 300) -> BlastDrawing:
    """The DOT text of the drawing. Raises ValueError for an unknown node id (the engine's
    "Unknown node_id" error)."""
    total = len(engine.blast_radius(node_id, max_depth=max_depth)) + 1
    levels = blast_levels(engine, node_id, max_depth, max_nodes)
    files: dict[str, list[str]] = defaultdict(list)
    for n in levels:
        meta = engine.get_node_meta(n) or {}
        files[meta.get("file_path", "")].append(n)
    shown = f", the {len(levels) - 1} nearest drawn" if len(levels) < total else ""
    depth = f"within {max_depth} calls" if max_depth else "at any depth"
    title = (f"Blast radius of {node_id}: {total - 1} nodes reach it {depth}{shown}; "
             "colour = distance (orange: the definition, darker blue: farther)")
    lines = ["digraph blast {", "  rankdir=LR; ranksep=0.6; nodesep=0.12; newrank=true; labelloc=t; labeljust=l;",
             f"  label={dot_quote(title)};",
             '  graph [fontname="Helvetica", fontsize=11, style="rounded,filled", fillcolor="#f7f7f7", color="#bbbbbb", labeljust=l];',
             '  node [shape=box, style="rounded,filled", fontname="Helvetica", fontsize=10, height=0.25, margin="0.06,0.02"];',
             '  edge [color="#00000055", arrowsize=0.5];']
    for i, (path, members) in enumerate(sorted(files.items())):
        lines.append(f"  subgraph cluster_{i} {{ label={dot_quote(path or '(no file)')};")
        for n in sorted(members):
            colour = _DEPTH_COLOURS[min(levels[n], len(_DEPTH_COLOURS) - 1)]
            extra = ", penwidth=2, fontsize=12" if n == node_id else ""
            lines.append(f"    {dot_quote(n)} [label={dot_quote(short_label(n, path))}, tooltip={dot_quote(n)}, "
                         f'fillcolor="{colour}"{extra}];')
        lines.append("  }")
    for n in sorted(levels):
        for callee in sorted(engine.get_callees(n)):
            if callee in levels and callee != n:
                lines.append(f"  {dot_quote(n)} -> {dot_quote(callee)};")
    lines.append("}")
    return BlastDrawing("\n".join(lines) + "\n", len(levels), total)


def render(dot_text: str, out: str) -> None:
    """Render DOT text to `out`: .svg, .png, or .html (a page with the SVG inside).
    Raises RuntimeError when Graphviz is missing, ValueError for another suffix."""
    suffix = os.path.splitext(out)[1].lower()
    if suffix not in (".svg", ".png", ".html", ".htm"):
        raise ValueError(f"{out}: the drawing is written as .svg, .png or .html")
    dot = shutil.which("dot")
    if dot is None:
        raise RuntimeError("Graphviz's `dot` program is needed to draw (Debian package graphviz)")
    fmt = "png" if suffix == ".png" else "svg"
    result = subprocess.run([dot, f"-T{fmt}"], input=dot_text.encode(), capture_output=True)
    if result.returncode != 0:
        raise RuntimeError(f"dot failed: {result.stderr.decode(errors='replace').strip()}")
    if fmt == "png":
        data = result.stdout
    else:
        svg = result.stdout.decode()
        data = (_page(svg) if suffix in (".html", ".htm") else svg).encode()
    with open(out, "wb") as f:
        f.write(data)


def _page(svg: str) -> str:
    svg = svg[svg.index("<svg"):]  # drop the XML prolog and doctype
    title = "Blast radius"
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + html.escape(title) + "</title>\n"
            "<style>body{margin:0;font-family:Helvetica,sans-serif} header{padding:6px 12px;background:#eee}"
            " main{overflow:auto;height:calc(100vh - 34px)} svg{display:block}</style></head>\n<body>"
            "<header>" + html.escape(title) + ": hover a box for its full id; scroll to pan.</header>\n"
            "<main>" + svg + "</main></body></html>\n")
