"""Finding the Python files and folders of a source tree."""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from . import ids

ALWAYS_SKIPPED = frozenset({"__pycache__"})


@dataclass
class SourceTree:
    root: str  # absolute path of the indexed folder
    files: dict[str, str] = field(default_factory=dict)  # relative path -> absolute path
    folders: set[str] = field(default_factory=set)  # relative folder paths holding indexed files; "" is the root
    skipped_dirs: list[str] = field(default_factory=list)
    unusable: list[str] = field(default_factory=list)  # files whose path cannot be a node id


def scan_tree(root: str, exclude_dirs: frozenset[str] | set[str] = frozenset()) -> SourceTree:
    """Every *.py file under root, skipping hidden folders, __pycache__ and the folder names
    in exclude_dirs (compared with the folder's own name, at any depth)."""
    root = os.path.abspath(root)
    tree = SourceTree(root)
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root).replace(os.sep, "/")
        rel_dir = "" if rel_dir == "." else rel_dir
        keep = []
        for d in sorted(dirnames):
            if d.startswith(".") or d in ALWAYS_SKIPPED or d in exclude_dirs:
                if d not in ALWAYS_SKIPPED:
                    tree.skipped_dirs.append(f"{rel_dir}/{d}" if rel_dir else d)
            else:
                keep.append(d)
        dirnames[:] = keep
        for name in sorted(filenames):
            if not name.endswith(".py"):
                continue
            full = os.path.join(dirpath, name)
            if not os.path.isfile(full):
                continue
            rel = f"{rel_dir}/{name}" if rel_dir else name
            if not ids.usable_path(rel):
                tree.unusable.append(rel)
                continue
            tree.files[rel] = full
            folder = rel_dir
            while True:
                if folder in tree.folders:
                    break
                tree.folders.add(folder)
                if not folder:
                    break
                folder = ids.parent_dir(folder)
    return tree


def folder_node(rel_dir: str, root: str) -> dict:
    name = rel_dir.rsplit("/", 1)[-1] if rel_dir else os.path.basename(root.rstrip("/")) or "/"
    return {"node_id": ids.folder_id(rel_dir), "node_type": "Folder", "name": name,
            "file_path": rel_dir or ids.ROOT_FOLDER}


def folder_parent_edge(rel_dir: str) -> tuple[str, str] | None:
    if not rel_dir:
        return None
    return ids.folder_id(ids.parent_dir(rel_dir)), ids.folder_id(rel_dir)
