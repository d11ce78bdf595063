#!/usr/bin/env python3
"""Index a Python source tree into corvanedb and show what the engine answers.

    index_tree.py [PATH] [--workspace DIR] [--focus ID] [--search WORD]
                  [--blast-svg ID --out FILE [--blast-depth N]]

PATH defaults to this interpreter's standard library (without site-packages and the test
folders). Run it twice with the same workspace: the second run restores the snapshot and
re-indexes only the files that changed since.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO_ROOT, "src", "python"))

import corvanedb  # noqa: E402
from corvane_index import Indexer, scan_tree  # noqa: E402

STDLIB_SKIPPED = frozenset({"site-packages", "dist-packages", "test", "tests", "idle_test"})
DEFINITION_TYPES = ("Function", "Class")


def log(msg: str):
    print(msg, file=sys.stderr, flush=True)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("path", nargs="?", help="folder to index (default: the standard library)")
    p.add_argument("--workspace", help="where the snapshot and manifest live (default: build/workspace/<name of PATH>)")
    p.add_argument("--exclude", action="append", default=[], metavar="DIRNAME",
                   help="skip folders with this name (repeatable)")
    p.add_argument("--focus", help="definition whose callers and callees to show")
    p.add_argument("--search", default="join", help="keyword to search for (default: join)")
    p.add_argument("--blast-svg", metavar="ID", help="render the blast radius of this definition with Graphviz")
    p.add_argument("--out", help="output file for --blast-svg (.svg or .png)")
    p.add_argument("--blast-depth", type=int, default=2, help="depth bound of the rendered blast radius (0 = none)")
    p.add_argument("--max-render", type=int, default=300, help="most nodes to draw")
    args = p.parse_args(argv)
    if args.blast_svg and not args.out:
        p.error("--blast-svg needs --out FILE")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    exclude = set(args.exclude)
    if args.path is None:
        root = sysconfig.get_paths()["stdlib"]
        exclude |= STDLIB_SKIPPED
        print(f"Indexing the standard library at {root}")
        print(f"  (skipping folders named {', '.join(sorted(STDLIB_SKIPPED))}: the test suite would triple the work)")
    else:
        root = args.path
        if not os.path.isdir(root):
            print(f"not a folder: {root}", file=sys.stderr)
            return 2
        print(f"Indexing {os.path.abspath(root)}")
    workspace = args.workspace or os.path.join(REPO_ROOT, "build", "workspace",
                                               os.path.basename(os.path.abspath(root)) or "root")

    t0 = time.perf_counter()
    engine = corvanedb.PyMetadataEngine(workspace)
    construct = time.perf_counter() - t0
    restored = engine.snapshot_loaded()
    print(f"Workspace {workspace}: snapshot_loaded() = {restored}, construction took {construct * 1000:.1f} ms"
          + (f" ({engine.get_stats()['nodes']} nodes restored and compiled)" if restored else ""))

    t0 = time.perf_counter()
    tree = scan_tree(root, exclude)
    scan = time.perf_counter() - t0
    print(f"Found {len(tree.files)} Python files in {len(tree.folders)} folders ({scan * 1000:.0f} ms)"
          + (f"; {len(tree.unusable)} files skipped (path unusable as a node id)" if tree.unusable else ""))

    indexer = Indexer(engine, tree, workspace, exclude_dirs=exclude, progress=log)
    report = indexer.run()
    print_report(report)

    t0 = time.perf_counter()
    if "build" in report.phases:
        # build() writes the snapshot in the background; save() makes sure it is on disk
        # before the manifest claims what it holds.
        engine.save()
    indexer.write_manifest()
    print(f"Snapshot and manifest saved ({(time.perf_counter() - t0) * 1000:.0f} ms)")

    show_answers(engine, args)
    if args.blast_svg:
        return render_blast(engine, args.blast_svg, args.out, args.blast_depth, args.max_render)
    return 0


def print_report(report):
    if report.mode == "incremental":
        print(f"Incremental run: {len(report.changed)} changed, {len(report.added)} new, "
              f"{len(report.deleted)} deleted files")
        for label, paths in (("changed", report.changed), ("new", report.added), ("deleted", report.deleted)):
            for p in paths[:10]:
                print(f"  {label}: {p}")
            if len(paths) > 10:
                print(f"  ... and {len(paths) - 10} more {label}")
        if not report.phases.get("build") and not (report.changed or report.added or report.deleted):
            print("  nothing to re-index: the restored snapshot is current")
    else:
        print("Full run")
    print(f"  files parsed: {report.files_parsed}, parse errors: {len(report.parse_errors)}, "
          f"nodes added: {report.nodes_added}, nodes invalidated: {report.invalidated_nodes}")
    for path, err in report.parse_errors[:5]:
        print(f"    {path}: {err}")
    if report.mode == "full":
        print(f"  resolved-call edges added: {report.call_edges_added}, Django relation edges: "
              f"{report.django_edges_added}, structural edges: {report.structural_edges}")
    print("  time per phase: " + ", ".join(f"{k} {v * 1000:.0f} ms" for k, v in report.phases.items()))


def show_answers(engine, args):
    t0 = time.perf_counter()
    meta = engine.get_all_metadata()
    dump = time.perf_counter() - t0
    stats = engine.get_stats()
    call_edges = sum(m.get("calls_count", 0) for m in meta.values())
    t0 = time.perf_counter()
    dep_edges = sum(len(engine.get_dependencies(i)) for i in meta)
    dep_time = time.perf_counter() - t0
    by_type = {}
    for m in meta.values():
        by_type[m["type"]] = by_type.get(m["type"], 0) + 1
    print(f"\nNodes: {stats['nodes']} ({', '.join(f'{n} {t}' for t, n in sorted(by_type.items()))}); "
          f"edges: {stats['edges']}")
    print(f"  call-graph edges: {call_edges} (sum of calls_count), dependency-graph edges: {dep_edges} "
          f"(sum of get_dependencies, {dep_time * 1000:.0f} ms; get_all_metadata {dump * 1000:.0f} ms)")

    defs = [(m.get("blast_radius_score", 0), i) for i, m in meta.items() if m["type"] in DEFINITION_TYPES]
    defs.sort(key=lambda x: (-x[0], x[1]))
    print("\nLargest blast radius (definitions reached by the most callers, transitively):")
    for score, node_id in defs[:10]:
        print(f"  {score:6d}  {node_id}")

    focus = args.focus or pick_focus(meta)
    if focus and focus in meta:
        t0 = time.perf_counter()
        callers = engine.get_callers(focus)
        callees = engine.get_recursive_callees(focus, max_depth=2)
        q = time.perf_counter() - t0
        print(f"\n{focus}: {len(callers)} callers, {len(callees)} callees within depth 2 ({q * 1e6:.0f} us)")
        for c in sorted(callers)[:15]:
            print(f"  called by {c}")
        if len(callers) > 15:
            print(f"  ... and {len(callers) - 15} more callers")
        for c in callees[:15]:
            print(f"  calls     {c}")
        if len(callees) > 15:
            print(f"  ... and {len(callees) - 15} more callees")
    elif focus:
        print(f"\n{focus}: not in the index")

    t0 = time.perf_counter()
    hits = engine.search(args.search)
    q = time.perf_counter() - t0
    print(f"\nsearch({args.search!r}): {len(hits)} hits ({q * 1000:.1f} ms); first ten:")
    for h in hits[:10]:
        print(f"  {h['type']:8s} {h['id']}")


def pick_focus(meta) -> str | None:
    """posixpath.join for the standard library, else the most-called function."""
    if "posixpath.py:join" in meta:
        return "posixpath.py:join"
    best = max(((m.get("callers_count", 0), i) for i, m in meta.items() if m["type"] == "Function"), default=None)
    return best[1] if best else None


def render_blast(engine, node_id: str, out: str, depth: int, max_nodes: int) -> int:
    if not engine.contains(node_id):
        print(f"--blast-svg: {node_id} is not in the index", file=sys.stderr)
        return 2
    dot = shutil.which("dot")
    if dot is None:
        print("--blast-svg: Graphviz `dot` is not installed (Debian package graphviz)", file=sys.stderr)
        return 2
    radius = engine.blast_radius(node_id, max_depth=depth or None)
    shown = [node_id] + radius[: max_nodes - 1]
    inside = set(shown)
    lines = ["digraph blast {", "  rankdir=RL;", '  node [shape=box, fontsize=10, fontname="Helvetica"];',
             f"  {quote(node_id)} [style=filled, fillcolor=\"#f4a582\"];"]
    for n in shown:
        for caller in engine.get_callers(n):
            if caller in inside:
                lines.append(f"  {quote(caller)} -> {quote(n)};")
    lines.append("}")
    fmt = "png" if out.lower().endswith(".png") else "svg"
    subprocess.run([dot, f"-T{fmt}", "-o", out], input="\n".join(lines).encode(), check=True)
    note = f" (first {len(shown)} of {len(radius) + 1})" if len(shown) < len(radius) + 1 else ""
    print(f"\nBlast radius of {node_id} (depth {depth or 'unbounded'}): {len(radius)} nodes, "
          f"drawn{note} to {out}")
    return 0


def quote(s: str) -> str:
    return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'


if __name__ == "__main__":
    sys.exit(main())
