"""The indexer's Python API: index a tree into a workspace, open a workspace's index, find ids.

    from corvane_index import index_tree, open_index
    result = index_tree("path/to/project")        # full, or incremental when the workspace has an index
    engine = result.engine                        # a built corvanedb.PyMetadataEngine
    engine.get_callers("pkg/mod.py:Class.method")

Paths are checked here, before the engine sees them, so that every error names the file or
folder it is about (the engine's own messages may not).
"""

from __future__ import annotations

import errno
import hashlib
import os
import re
import time

import corvanedb

# The queries import this module and no more of the package: indexing, the snapshot reader
# and typing are imported where they are used. mypy reads this name as true.
TYPE_CHECKING = False
SNAPSHOT_NAME = ".corvane_snapshot.bin"  # the engine's snapshot, in the workspace folder

if TYPE_CHECKING:
    from collections.abc import Callable, Iterable

    from .indexer import IndexResult


def default_workspace(path: str) -> str:
    """Where the index of the tree at `path` lives unless a workspace is given:
    `$XDG_CACHE_HOME/corvanedb/<folder name>-<hash of the absolute path>` (the cache folder
    defaults to ~/.cache). The hash keeps two trees with the same folder name apart."""
    path = os.path.realpath(path)
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    name = re.sub(r"[^A-Za-z0-9._-]", "_", os.path.basename(path)) or "root"
    digest = hashlib.sha256(os.fsencode(path)).hexdigest()[:12]
    return os.path.join(cache, "corvanedb", f"{name}-{digest}")


def has_index(workspace: str) -> bool:
    """True when the workspace holds a snapshot written by an earlier run."""
    return os.path.isfile(os.path.join(workspace, SNAPSHOT_NAME))


def check_source_tree(path: str) -> str:
    """The absolute path of a folder to index; FileNotFoundError or NotADirectoryError
    naming it otherwise."""
    full = os.path.abspath(path)
    if not os.path.exists(full):
        raise FileNotFoundError(errno.ENOENT, "no such folder to index", path)
    if not os.path.isdir(full):
        raise NotADirectoryError(errno.ENOTDIR, "not a folder, cannot index it", path)
    if not os.access(full, os.R_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "cannot read the folder to index", path)
    return full


def check_workspace(workspace: str, *, create: bool) -> str:
    """The absolute workspace path, checked to be (or, with create, made into) a folder this
    process can write. Raises an OSError subclass whose filename is the offending path: the
    workspace itself, or the file that stands where one of its folders should be."""
    full = os.path.abspath(workspace)
    if os.path.isdir(full):
        if not os.access(full, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, "workspace is not writable", workspace)
        return full
    if os.path.lexists(full):
        raise NotADirectoryError(errno.ENOTDIR, "workspace is not a folder", workspace)
    if not create:
        raise FileNotFoundError(errno.ENOENT, "no such workspace", workspace)
    ancestor = os.path.dirname(full)
    while not os.path.lexists(ancestor):
        ancestor = os.path.dirname(ancestor)
    if not os.path.isdir(ancestor):
        raise NotADirectoryError(errno.ENOTDIR, "a file stands in the workspace's path", ancestor)
    if not os.access(ancestor, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "cannot create the workspace in this folder", ancestor)
    try:
        os.makedirs(full, exist_ok=True)
    except OSError as exc:
        raise type(exc)(exc.errno, f"cannot create the workspace: {exc.strerror}", workspace) from None
    return full


def open_index(workspace: str) -> corvanedb.PyMetadataEngine:
    """The engine of a workspace that holds an index, restored and compiled.

    Raises FileNotFoundError naming the workspace when it holds no index, and the errors of
    check_workspace."""
    full = check_workspace(workspace, create=False)
    if not has_index(full):
        raise FileNotFoundError(errno.ENOENT, "no index in this workspace (run `corvanedb index PATH`)",
                                workspace)
    engine = _engine(full)
    if not engine.snapshot_loaded():
        raise OSError(errno.EIO, "the index cannot be read (damaged or from another version)",
                      os.path.join(full, SNAPSHOT_NAME))
    return engine


def _engine(workspace: str) -> corvanedb.PyMetadataEngine:
    try:
        return corvanedb.PyMetadataEngine(workspace)
    except OSError as exc:
        # An unreadable snapshot: the engine's message does not say which file.
        raise type(exc)(exc.errno, f"cannot read the index: {exc}", os.path.join(workspace, SNAPSHOT_NAME)) from None


def index_tree(path: str, workspace: str | None = None, *, exclude: Iterable[str] = (),
               engine: corvanedb.PyMetadataEngine | None = None,
               on_step: Callable[[str, int, int], None] | None = None, workers: int | None = 1) -> IndexResult:
    """Index the Python files under `path` into `workspace` (default: default_workspace(path)).

    The run is incremental when the workspace already holds an index of the same tree with
    the same exclusions: only changed, new and deleted files are re-read. Otherwise every
    file is indexed. Folders whose name is in `exclude` are skipped at any depth, as are
    hidden folders and __pycache__. Node ids are relative to `path` (or to the folder its
    imports start from, when `path` is itself a package).

    Before returning, the snapshot is saved synchronously and the manifest of indexed files
    written, so a later run (or another process) sees this one. Pass `engine` to keep one
    engine across runs (as `watch` does); it must have been opened on the same workspace.
    `on_step(phase, done, total)` is called as files are parsed ("parse"), linked against the
    whole tree ("link") and their calls resolved ("resolve").
    `workers`: processes that parse and link files; None means one per core on larger trees. They
    import the program's main module again (multiprocessing's rule), so a script that asks
    for them keeps its own work under `if __name__ == "__main__":`; the default parses in
    this process.

    Raises FileNotFoundError / NotADirectoryError / PermissionError naming `path` or the
    workspace, and OSError from the snapshot write."""
    start = time.perf_counter()
    exclude = frozenset(exclude)
    root = check_source_tree(path)
    workspace = check_workspace(workspace or default_workspace(root), create=True)
    kept = engine is not None
    if engine is None:
        engine = _engine(workspace)
    restored = engine.snapshot_loaded()
    from .indexer import Indexer, IndexResult
    from .tree import scan_tree

    tree = scan_tree(root, exclude)

    indexer = Indexer(engine, tree, workspace, exclude_dirs=exclude, on_step=on_step, workers=workers)
    # A kept engine holds what the manifest describes even when it started empty.
    manifest = indexer.load_manifest() if kept else None
    report = indexer.index_changes(manifest) if manifest is not None else indexer.run()
    # After the snapshot: the indexer's build step wrote it synchronously. Kept in memory for
    # the next run of a kept engine only.
    indexer.write_manifest(keep=kept)
    return IndexResult(engine, report, tree, workspace, restored, time.perf_counter() - start)


def bfs_levels(step: Callable[[str], Iterable[str]], start: str, max_depth: int | None = None,
               max_nodes: int | None = None) -> dict[str, int]:
    """Distance from `start` of every node reached through `step`, in breadth-first order
    (start first, at 0); max_depth None or 0 means no bound, max_nodes bounds the result."""
    levels = {start: 0}
    frontier, depth = [start], 0
    while frontier and (not max_depth or depth < max_depth):
        depth += 1
        nxt = []
        for n in frontier:
            for m in step(n):
                if m not in levels:
                    if max_nodes is not None and len(levels) >= max_nodes:
                        return levels
                    levels[m] = depth
                    nxt.append(m)
        frontier = nxt
    return levels


def find_workspace(start: str) -> str | None:
    """The default workspace of `start` or of the nearest folder above it that was indexed;
    failing those, of the one folder directly inside `start` that was (`index src`, then
    queries from the project's folder)."""
    folder = os.path.realpath(start)
    while True:
        ws = default_workspace(folder)
        if has_index(ws):
            return ws
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    below = indexed_subfolders(start)
    return default_workspace(below[0]) if len(below) == 1 else None


def indexed_subfolders(start: str) -> list[str]:
    """The folders directly inside `start` that have an index in their default workspace."""
    folder = os.path.realpath(start)
    try:
        entries = sorted(e.name for e in os.scandir(folder) if e.is_dir() and not e.name.startswith("."))
    except OSError:
        return []
    return [os.path.join(folder, name) for name in entries if has_index(default_workspace(os.path.join(folder, name)))]


def closest_ids(engine: corvanedb.PyMetadataEngine, text: str, limit: int = 5) -> list[str]:
    """Node ids that `text` may have meant: nodes whose name is the last word of `text`
    ("Session.request" -> name "request"), the ones ending like `text` first, then by
    similarity; when no node has that name, the most similar ids overall."""
    import difflib  # here: it is slow to import, and only a missed id needs it

    word = re.split(r"[:./\\]", text.rstrip(":./\\"))[-1] if text.strip(":./\\") else text
    lowered = word.lower()
    named = [h["id"] for h in engine.search(word) if h["name"].lower() == lowered] if word else []

    def rank(node_id: str) -> tuple[bool, float, str]:
        tail = node_id.endswith((":" + text, "." + text, "/" + text))
        return (not tail, -difflib.SequenceMatcher(None, text, node_id).ratio(), node_id)

    if named:
        return sorted(named, key=rank)[:limit]
    return difflib.get_close_matches(text, list(engine.get_all_metadata()), n=limit, cutoff=0.5)


def __getattr__(name: str):
    if name in ("IndexResult", "MANIFEST_NAME"):
        from . import indexer
        return getattr(indexer, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["IndexResult", "MANIFEST_NAME", "SNAPSHOT_NAME", "bfs_levels", "check_source_tree", "check_workspace",
           "closest_ids", "default_workspace", "find_workspace", "has_index", "index_tree", "open_index"]
