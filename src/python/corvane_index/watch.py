"""Keeping one engine current while files are edited: each batch of saves under the tree
triggers an incremental run on the same engine (changed files invalidated and re-read, calls
re-resolved, graphs compiled, snapshot and manifest saved)."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator

from .api import IndexResult, index_tree
from .tree import ALWAYS_SKIPPED


def _relevant(path: str, root: str, exclude: frozenset[str]) -> bool:
    """A change the index cares about: a .py file or a folder, outside skipped folders."""
    parts = os.path.relpath(path, root).split(os.sep)
    if any(p.startswith(".") or p in ALWAYS_SKIPPED or p in exclude for p in parts):
        return False
    return path.endswith(".py") or os.path.isdir(path)


def watch_tree(path: str, workspace: str | None = None, *, exclude: Iterable[str] = (),
               on_start: Callable[[IndexResult], None] | None = None,
               on_step: Callable[[str, int, int], None] | None = None,
               stop_event=None, workers: int | None = 1) -> Iterator[IndexResult]:
    """Index `path` (as index_tree does, `on_step` and `workers` serving that first run), then yield one
    IndexResult per batch of file changes, keeping the same engine. Runs until interrupted or
    `stop_event` (a threading.Event) is set."""
    from watchfiles import watch  # imported here: only this command needs it

    exclude = frozenset(exclude)
    result = index_tree(path, workspace, exclude=exclude, on_step=on_step, workers=workers)
    if on_start:
        on_start(result)
    root = result.tree.root
    for _changes in watch(root, stop_event=stop_event, watch_filter=lambda _c, p: _relevant(p, root, exclude)):
        result = index_tree(root, result.workspace, exclude=exclude, engine=result.engine)
        yield result
