"""The standard library's records as the indexer writes them (every file extracted, then the
whole-tree pass), gathered without an engine and without the suite's numerical packages, so
standalone benchmarks can share it."""

from __future__ import annotations

import sysconfig
import time


def stdlib_records(skipped: frozenset[str]) -> dict:
    from corvane_index import extract_source, scan_tree
    from corvane_index.tree import folder_node, folder_parent_edge
    from corvane_index.tree_pass import link_all

    root = sysconfig.get_paths()["stdlib"]
    t0 = time.perf_counter()
    tree = scan_tree(root, skipped)
    extracts = []
    for rel in sorted(tree.files):
        with open(tree.files[rel], "rb") as f:
            extracts.append(extract_source(rel, f.read(), linked=False))
    link_all(extracts)
    folders = sorted(tree.folders)
    data = {
        "root": root,
        "parse_s": time.perf_counter() - t0,
        "files": len(extracts),
        "nodes": [folder_node(d, tree.root) for d in folders] + [r for ex in extracts for r in ex.nodes],
        "structural": [e for e in (folder_parent_edge(d, tree.root_folder) for d in folders) if e]
        + [e for ex in extracts for e in ex.structural],
        "callers": [c for ex in extracts for c in ex.callers],
        "django": [d for ex in extracts for d in ex.django],
        "per_file": {ex.path: ex.nodes for ex in extracts},
    }
    return data
