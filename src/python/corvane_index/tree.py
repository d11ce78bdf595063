"""Finding the Python files and folders of a source tree."""

from __future__ import annotations

import os
from dataclasses import dataclass, field

from . import ids

ALWAYS_SKIPPED = frozenset({"__pycache__"})


@dataclass
class SourceTree:
    root: str  # absolute path of the indexed folder
    root_folder: str = ""  # its relative path: "" unless the root is inside a package
    files: dict[str, str] = field(default_factory=dict)  # relative path -> absolute path
    folders: set[str] = field(default_factory=set)  # relative folder paths holding indexed files; "" is the root
    skipped_dirs: list[str] = field(default_factory=list)
    unusable: list[str] = field(default_factory=list)  # files whose path cannot be a node id


def scan_tree(root: str, exclude_dirs: frozenset[str] | set[str] = frozenset()) -> SourceTree:
    """Every *.py file under root, skipping hidden folders, __pycache__ and the folder names
    in exclude_dirs (compared with the folder's own name, at any depth).

    Paths are relative to the folder that imports start from: when root is itself a
    package (say .../json), its files are "json/decoder.py", so that `import json.decoder`
    and `from json import scanner` find them."""
    root = os.path.abspath(root)
    base = import_base(root)
    root_folder = os.path.relpath(root, base).replace(os.sep, "/")
    tree = SourceTree(root, "" if root_folder == "." else root_folder)
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, base).replace(os.sep, "/")
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
            while folder not in tree.folders:
                tree.folders.add(folder)
                if folder == tree.root_folder:
                    break
                folder = ids.parent_dir(folder)
    return tree


def import_base(root: str) -> str:
    """The nearest ancestor of root (or root) that is not a package directory itself."""
    base = root
    while os.path.isfile(os.path.join(base, "__init__.py")):
        parent = os.path.dirname(base)
        if parent == base:
            break
        base = parent
    return base


def folder_node(rel_dir: str, root: str) -> dict:
    name = rel_dir.rsplit("/", 1)[-1] if rel_dir else os.path.basename(root.rstrip("/")) or "/"
    return {"node_id": ids.folder_id(rel_dir), "node_type": "Folder", "name": name,
            "file_path": rel_dir or ids.ROOT_FOLDER}


def folder_parent_edge(rel_dir: str, root_folder: str) -> tuple[str, str] | None:
    if rel_dir == root_folder:
        return None
    return ids.folder_id(ids.parent_dir(rel_dir)), ids.folder_id(rel_dir)
