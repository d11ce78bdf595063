"""Writes the records of the Python standard library with its tests, as the reference
extractor makes them, to a JSON-lines file for bench/engine_caches.cpp: one line per node
(its add_node fields), then one per structural edge and one per caller with its call names,
in the order the indexer feeds them.

    PYTHONPATH=src/python python3 bench/engine_caches_records.py OUT.jsonl
"""

from __future__ import annotations

import json
import os
import sys
import sysconfig
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src", "python"))

from corvane_index import extract_source, scan_tree  # noqa: E402
from corvane_index.tree import folder_node, folder_parent_edge  # noqa: E402

# The standard library with its tests: only installed third-party packages stay out.
SKIPPED = frozenset({"site-packages", "dist-packages"})


def main(out_path: str) -> None:
    root = sysconfig.get_paths()["stdlib"]
    t0 = time.perf_counter()
    tree = scan_tree(root, SKIPPED)
    extracts = []
    for rel in sorted(tree.files):
        with open(tree.files[rel], "rb") as f:
            extracts.append(extract_source(rel, f.read()))
    folders = sorted(tree.folders)
    nodes = [folder_node(d, tree.root) for d in folders] + [r for ex in extracts for r in ex.nodes]
    structural = [e for e in (folder_parent_edge(d, tree.root_folder) for d in folders) if e]
    structural += [e for ex in extracts for e in ex.structural]
    with open(out_path, "w", encoding="utf-8") as out:
        for record in nodes:
            record = dict(record)
            extra = record.pop("_extra", None)
            if extra is not None:
                record["extra_json"] = extra if isinstance(extra, str) else json.dumps(extra)
            out.write(json.dumps({"node": record}) + "\n")
        for a, b in structural:
            out.write(json.dumps({"edge": [a, b]}) + "\n")
        for ex in extracts:
            for caller, calls in ex.callers:
                out.write(json.dumps({"caller": caller, "calls": calls}) + "\n")
    callers = sum(len(ex.callers) for ex in extracts)
    print(f"{root}: {len(extracts)} files, {len(nodes)} nodes, {callers} callers "
          f"({time.perf_counter() - t0:.1f} s) -> {out_path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "stdlib_records.jsonl")
