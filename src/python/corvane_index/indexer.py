"""Feeding a source tree into a PyMetadataEngine, fully or incrementally.

Full run: every file is parsed, then the whole-tree pass (tree_pass.py) links each module's
scope data against the summaries of all modules; then add_node for every folder, file,
module, module code, class and function; structural edges for containment (folder -> file ->
module -> module code / class -> method); generated edges from each class to the
constructor methods it defines; resolve_and_connect_calls for every caller and
resolve_and_connect_django for every model class; then the graphs are compiled and the
snapshot written (rebuild_internal(), synchronously).

Incremental run: a manifest in the workspace (path -> mtime, size, content hash, the module's
summary and the paths its link consulted) tells which files changed. A file is re-extracted
when it changed, or when one of the paths it depends on was added, deleted, or changed its
summary; those and the deleted files are invalidated, re-extracted files are added again,
then repopulate_edges() re-resolves every stored call list, and the graphs are compiled and
the snapshot written as in a full run. The result equals a full run on the same tree.
"""

from __future__ import annotations

import contextlib
import gc
import hashlib
import json
import os
import pickle
import re
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from . import ids
from . import tree_pass
from .api import SNAPSHOT_NAME
from .python_file import FileExtract, extract_source, file_node
from .tree import SourceTree, folder_node, folder_parent_edge

if TYPE_CHECKING:
    import corvanedb

MANIFEST_NAME = "corvane_extract_manifest.json"
PARALLEL_FROM = 200  # files to parse before worker processes pay for their start
CHUNKS_PER_PROCESS = 16  # work is handed out in chunks: fewer results to wait for than files
# Bump when the records the extractor writes change shape, so old workspaces re-index.
EXTRACTOR_VERSION = 10


@dataclass
class IndexReport:
    mode: str = "full"  # "full" or "incremental"
    phases: dict[str, float] = field(default_factory=dict)
    files_parsed: int = 0
    parse_errors: list[tuple[str, str]] = field(default_factory=list)
    nodes_added: int = 0
    structural_edges: int = 0
    call_edges_added: int = 0
    django_edges_added: int = 0
    changed: list[str] = field(default_factory=list)
    added: list[str] = field(default_factory=list)
    deleted: list[str] = field(default_factory=list)
    dependents: list[str] = field(default_factory=list)  # unchanged files re-linked for a change elsewhere
    generated_edges: int = 0
    invalidated_nodes: int = 0


@dataclass
class IndexResult:
    """What index_tree (api.py) gives back."""

    engine: corvanedb.PyMetadataEngine  # built; its snapshot and the manifest are on disk
    report: IndexReport  # mode "full" or "incremental", per-phase timings, changed files
    tree: SourceTree
    workspace: str  # absolute
    restored: bool  # the workspace held a snapshot before this run
    seconds: float  # wall time of the whole call


class _Phase:
    def __init__(self, report: IndexReport, name: str):
        self.report, self.name = report, name

    def __enter__(self):
        self.start = time.perf_counter()

    def __exit__(self, *exc):
        self.report.phases[self.name] = self.report.phases.get(self.name, 0.0) + time.perf_counter() - self.start


@contextlib.contextmanager
def _without_cycle_collection():
    """Cyclic garbage collection paused: extraction makes millions of objects that all live
    until the run ends, and the collector would walk them again and again for nothing (the
    extracts hold no reference cycles, so reference counting frees what they drop)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@dataclass
class _Parsed:
    extract: FileExtract
    mtime_ns: int
    size: int
    sha256: str


def _read_and_extract(rel: str, full: str) -> _Parsed:
    try:
        mtime, size = _stat_key(full)
        with open(full, "rb") as f:
            source = f.read()
    except OSError as exc:
        # Vanished or unreadable since the scan: index it as an empty File node.
        return _Parsed(FileExtract(rel, nodes=[file_node(rel)], error=f"OSError: {exc}"), 0, -1,
                       hashlib.sha256(b"").hexdigest())
    return _Parsed(extract_source(rel, source, linked=False), mtime, size, hashlib.sha256(source).hexdigest())


@_without_cycle_collection()
def _read_and_extract_chunk(work: list[tuple[str, str]]) -> list[_Parsed]:
    return [_read_and_extract(*item) for item in work]


# A worker's facts of the tree, kept for the chunks after the first: (summaries file, facts).
_worker_facts: tuple[str, tree_pass.TreeFacts] | None = None


@_without_cycle_collection()
def _link_chunk(summaries_file: str, extracts: list[FileExtract]) -> list[tuple[FileExtract, set[str]]]:
    global _worker_facts
    if _worker_facts is None or _worker_facts[0] != summaries_file:
        with open(summaries_file, "rb") as f:
            _worker_facts = summaries_file, tree_pass.TreeFacts(pickle.load(f))
    facts = _worker_facts[1]
    return [(ex, tree_pass.link(ex, facts)) for ex in extracts]


def _stat_key(path: str) -> tuple[int, int]:
    st = os.stat(path)
    return st.st_mtime_ns, st.st_size


class _ManifestFile:
    """The manifest this process last wrote or read, with the text of each file's entry, kept
    while the file on disk is still that one (same inode, size and modification time): the
    next run of a kept engine (`watch`) does not parse it again, and no run encodes again the
    entries of files that did not change.

    An entry, once written or read, is never changed in place (a run makes a new dict for a
    file it touches), so an entry that is the same object has the same text."""

    def __init__(self):
        # (path, (device, inode, size, mtime), data, {file path: (its entry, the entry's JSON)}),
        # replaced as one, so that threads indexing other workspaces never see half of it.
        self.last: tuple[str, tuple, dict, dict[str, tuple[dict, str]]] | None = None

    @staticmethod
    def _identity(st: os.stat_result) -> tuple:
        return st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns

    def read(self, path: str):
        """The manifest's data (whatever JSON it holds), or None if it cannot be read."""
        last = self.last
        try:
            identity = self._identity(os.stat(path))
            if last is not None and last[:2] == (path, identity):
                return last[2]
            with open(path, encoding="utf-8") as f:
                text = f.read()
            read = _object_with_entry_texts(text, "files")
            data, texts = read if read is not None else (json.loads(text), {})
        except (OSError, ValueError):
            return None
        self.last = path, identity, data, texts
        return data

    def write(self, path: str, data: dict):
        last = self.last
        texts = last[3] if last is not None and last[0] == path else {}
        kept = {}
        for rel, entry in data["files"].items():
            known = texts.get(rel)
            kept[rel] = known if known is not None and known[0] is entry else (entry, json.dumps(entry))
        head = json.dumps({k: v for k, v in data.items() if k != "files"})
        files = ", ".join(f"{json.dumps(rel)}: {text}" for rel, (_, text) in kept.items())
        tmp = f"{path}.{os.getpid()}.tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(f'{head[:-1]}, "files": {{{files}}}}}')
            f.flush()
            identity = self._identity(os.fstat(f.fileno()))  # a rename keeps the inode and times
        os.replace(tmp, path)
        self.last = path, identity, data, kept

    def forget(self):
        """Frees what is kept: the next read parses the file."""
        self.last = None


def _object_with_entry_texts(text: str, section: str) -> tuple[dict, dict[str, tuple[dict, str]]] | None:
    """A JSON object, with each entry of its member `section` (an object) beside the text it
    was read from: a write can put that text back for an entry that did not change. None when
    the text is not such an object; ValueError where it is no JSON."""
    decoder = json.JSONDecoder()

    def skip(i: int) -> int:
        return _BLANKS.match(text, i).end()

    def members(i: int, value) -> tuple[dict, int]:
        """The members of the object whose "{" is at i, each read by value(start) -> (v, end)."""
        found = {}
        i = skip(i + 1)
        if text.startswith("}", i):
            return found, i + 1
        while True:
            if not text.startswith('"', i):
                raise ValueError("a member name was expected")
            key, i = json.decoder.scanstring(text, i + 1)
            i = skip(i)
            if not text.startswith(":", i):
                raise ValueError("':' was expected")
            found[key], i = value(key, skip(i + 1))
            i = skip(i)
            if text.startswith(",", i):
                i = skip(i + 1)
            elif text.startswith("}", i):
                return found, i + 1
            else:
                raise ValueError("',' or '}' was expected")

    def entry(key: str, i: int):
        v, end = decoder.raw_decode(text, i)
        texts[key] = v, text[i:end]
        return v, end

    def member(key: str, i: int):
        if key == section and text.startswith("{", i):
            texts.clear()  # a repeated member: the last one counts, as for json.loads
            return members(i, entry)
        return decoder.raw_decode(text, i)

    texts: dict[str, tuple[dict, str]] = {}
    start = skip(0)
    if not text.startswith("{", start):
        return None
    data, end = members(start, member)
    if skip(end) != len(text):
        raise ValueError("extra data after the object")
    return data, texts


_BLANKS = re.compile(r"[ \t\n\r]*")


_last_manifest = _ManifestFile()


class Indexer:
    def __init__(self, engine, tree: SourceTree, workspace: str, *, exclude_dirs=(), on_step=None,
                 workers: int | None = 1):
        """workers: processes that parse and link files; None means one per core for at least
        PARALLEL_FROM files to parse (or link), else the calling process alone. Worker processes
        import the program's main module again, as multiprocessing does: a script that
        passes anything but 1 must keep its own work under `if __name__ == "__main__":`."""
        self.workers = workers
        self.engine = engine
        self.tree = tree
        self.workspace = workspace
        self.exclude_dirs = sorted(exclude_dirs)
        self.on_step = on_step  # callable(phase, done, total) after each file, or None
        self.manifest_files: dict[str, dict] = {}

    # ---- manifest -------------------------------------------------------------------

    @property
    def manifest_path(self) -> str:
        return os.path.join(self.workspace, MANIFEST_NAME)

    def load_manifest(self) -> dict | None:
        """The previous run's manifest, if it describes this same tree and extractor."""
        data = _last_manifest.read(self.manifest_path)
        if not isinstance(data, dict) or data.get("extractor_version") != EXTRACTOR_VERSION \
                or data.get("root") != self.tree.root or data.get("exclude_dirs") != self.exclude_dirs \
                or not isinstance(data.get("files"), dict) or not isinstance(data.get("folders"), list):
            return None
        return data

    def write_manifest(self, keep: bool = True):
        """Written after the snapshot is saved, so a manifest never claims more than the snapshot holds.
        keep: hold it in memory for this process's next run (an engine kept across runs);
        otherwise what it takes is freed."""
        data = {
            "extractor_version": EXTRACTOR_VERSION,
            "root": self.tree.root,
            "exclude_dirs": self.exclude_dirs,
            "folders": sorted(self.tree.folders),
            "files": dict(self.manifest_files),
        }
        os.makedirs(self.workspace, exist_ok=True)
        _last_manifest.write(self.manifest_path, data)
        if not keep:
            _last_manifest.forget()

    # ---- runs -----------------------------------------------------------------------

    def run(self) -> IndexReport:
        """Incremental when the engine restored a snapshot that the manifest describes, else full."""
        manifest = self.load_manifest() if self.engine.snapshot_loaded() else None
        if manifest is None:
            return self.index_all()
        return self.index_changes(manifest)

    @_without_cycle_collection()
    def index_all(self) -> IndexReport:
        report = IndexReport("full")
        if self.engine.get_stats()["nodes"]:
            # Whatever a foreign or stale snapshot holds goes first, file by file.
            with _Phase(report, "invalidate"):
                for path in {m["file_path"] for m in self.engine.get_all_metadata().values()}:
                    report.invalidated_nodes += self.engine.invalidate_file(path)
        extracts = self._parse(sorted(self.tree.files), report)
        self._link(extracts, {ex.path: ex.summary for ex in extracts if ex.summary}, report)
        self._add_records(sorted(self.tree.folders), extracts, report)
        with _Phase(report, "resolution"):
            for i, ex in enumerate(extracts, 1):
                for caller, calls in ex.callers:
                    report.call_edges_added += self.engine.resolve_and_connect_calls(caller, calls)
                for node_id, relations in ex.django:
                    report.django_edges_added += self.engine.resolve_and_connect_django(node_id, relations)
                if self.on_step:
                    self.on_step("resolve", i, len(extracts))
        self._build(report)
        return report

    @_without_cycle_collection()
    def index_changes(self, manifest: dict) -> IndexReport:
        report = IndexReport("incremental")
        old_files: dict[str, dict] = manifest["files"]
        to_parse: list[str] = []
        with _Phase(report, "scan"):
            for rel, full in sorted(self.tree.files.items()):
                old = old_files.get(rel)
                if old is None:
                    report.added.append(rel)
                    to_parse.append(rel)
                    continue
                mtime, size = _stat_key(full)
                if [mtime, size] == [old.get("mtime_ns"), old.get("size")]:
                    self.manifest_files[rel] = old
                    continue
                with open(full, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                if digest == old.get("sha256"):
                    self.manifest_files[rel] = {**old, "mtime_ns": mtime, "size": size}
                    continue
                report.changed.append(rel)
                to_parse.append(rel)
            report.deleted = sorted(set(old_files) - set(self.tree.files))
        extracts = self._parse(to_parse, report)
        with _Phase(report, "tree"):
            # What the unchanged files were linked against and is no longer so: modules that
            # appeared or are gone, and the parts of changed summaries.
            appeared_or_gone = set(report.added) | set(report.deleted)
            changed: set[str] = set()
            importing = set(appeared_or_gone)
            for ex in extracts:
                old = old_files.get(ex.path, {}).get("summary")
                if bool(old) != bool(ex.summary):
                    appeared_or_gone.add(ex.path)  # a module that does not parse is none
                changed |= tree_pass.summary_changes(ex.path, old, ex.summary)
                if (old or {}).get("imports") != (ex.summary or {}).get("imports"):
                    importing.add(ex.path)
            # Which modules import which is a fact too: old and new imports of those whose
            # imports changed.
            changed.update(tree_pass.IMPORTERS + module
                           for rel in importing
                           for entry in (old_files.get(rel), self.manifest_files.get(rel)) if entry
                           for module in (entry.get("summary") or {}).get("imports", ()))
            report.dependents = sorted(
                rel for rel, entry in self.manifest_files.items()
                if rel not in report.changed and tree_pass.affected(entry.get("deps", ()), appeared_or_gone, changed))
        dependents = self._parse(report.dependents, report)
        summaries = {rel: e["summary"] for rel, e in self.manifest_files.items() if e.get("summary")}
        extracts += dependents
        self._link(extracts, summaries, report)
        old_folders = set(manifest["folders"])
        new_folders = sorted(self.tree.folders - old_folders)
        gone_folders = sorted(old_folders - self.tree.folders)
        if not (to_parse or report.deleted or new_folders or gone_folders):
            return report  # the restored snapshot is current; construction already compiled it

        with _Phase(report, "invalidate"):
            for path in [*report.changed, *report.dependents, *report.deleted]:
                report.invalidated_nodes += self.engine.invalidate_file(path)
            for d in gone_folders:
                report.invalidated_nodes += self.engine.invalidate_file(d or ids.ROOT_FOLDER)
        self._add_records(new_folders, extracts, report)
        with _Phase(report, "resolution"):
            # Re-resolves the stored calls of every node: callers elsewhere may now reach
            # (or lose) definitions of the changed files.
            self.engine.repopulate_edges()
        self._build(report)
        return report

    # ---- steps ----------------------------------------------------------------------

    def _parse(self, paths: list[str], report: IndexReport) -> list[FileExtract]:
        parsed: dict[int, _Parsed] = {}
        with _Phase(report, "parse"):
            for done, (i, result) in enumerate(self._extract([(rel, self.tree.files[rel]) for rel in paths]), 1):
                parsed[i] = result
                if self.on_step:
                    self.on_step("parse", done, len(paths))
        extracts = []
        for i, rel in enumerate(paths):
            p = parsed[i]
            ex = p.extract
            if ex.error:
                report.parse_errors.append((rel, ex.error))
            self.manifest_files[rel] = {"mtime_ns": p.mtime_ns, "size": p.size, "sha256": p.sha256,
                                        "summary": ex.summary}
            extracts.append(ex)
        report.files_parsed += len(paths)
        return extracts

    def _extract(self, work: list[tuple[str, str]]) -> Iterator[tuple[int, _Parsed]]:
        """(index in work, result) for every (path, file) of work, as they are made, so progress
        can follow them. Extraction is a pure function of (path, source): worker processes give
        the same records as this one."""
        return self._spread(work, lambda item: _read_and_extract(*item), _read_and_extract_chunk)

    def _processes(self, items: int) -> int:
        workers = self.workers
        if workers is None:
            workers = (os.cpu_count() or 1) if items >= PARALLEL_FROM else 1
        return workers if items >= 2 else 1

    def _spread(self, work: list, one, chunk, *chunk_args) -> Iterator[tuple[int, object]]:
        """(index in work, result) for every item of work, as they are made: one(item) in this
        process, or chunk(*chunk_args, items) in a worker process for a run of them.

        With more than one process, this one does chunks from the front of the list while the
        workers take them from the back; where the two meet, this one waits for the rest."""
        workers = self._processes(len(work))
        if workers <= 1:
            for i, item in enumerate(work):
                yield i, one(item)
            return
        import concurrent.futures  # here: a query command that imports the package needs neither
        import multiprocessing

        size = max(1, len(work) // (workers * CHUNKS_PER_PROCESS))
        starts = range(0, len(work), size)
        # forkserver: the workers never inherit the engine's threads or state.
        context = multiprocessing.get_context("forkserver")
        with concurrent.futures.ProcessPoolExecutor(workers - 1, mp_context=context) as pool:
            # Submitted last chunk first: the workers start at the back.
            futures = {pool.submit(chunk, *chunk_args, work[start:start + size]): start
                       for start in reversed(starts)}
            waiting = dict(futures)
            try:
                for future in reversed(list(futures)):
                    if not future.cancel():
                        break  # a worker has it: every later chunk is taken as well
                    del waiting[future]
                    start = futures[future]
                    for i in range(start, min(start + size, len(work))):
                        yield i, one(work[i])
                    for finished in [f for f in waiting if f.done()]:
                        yield from enumerate(finished.result(), waiting.pop(finished))
                for finished in concurrent.futures.as_completed(waiting):
                    yield from enumerate(finished.result(), waiting[finished])
            finally:
                for future in waiting:
                    future.cancel()  # stopped early (an error, Ctrl-C): the pool need not finish the rest

    def _link(self, extracts: list[FileExtract], summaries: dict[str, dict], report: IndexReport):
        """The whole-tree pass; notes each file's summary and dependencies in the manifest.
        Linking is a pure function of (extract, summaries): an extract linked in a worker
        process replaces the one given."""
        with _Phase(report, "tree"):
            facts = tree_pass.TreeFacts(summaries)
            with contextlib.ExitStack() as stack:
                chunk_args = ()
                if self._processes(len(extracts)) > 1:
                    # The workers read the summaries from a file, once each.
                    f = stack.enter_context(tempfile.NamedTemporaryFile(prefix="corvane-summaries-", suffix=".pickle"))
                    pickle.dump(summaries, f, protocol=pickle.HIGHEST_PROTOCOL)
                    f.flush()
                    chunk_args = (f.name,)
                linked = self._spread(extracts, lambda ex: (ex, tree_pass.link(ex, facts)), _link_chunk, *chunk_args)
                for done, (i, (ex, deps)) in enumerate(linked, 1):
                    extracts[i] = ex
                    self.manifest_files[ex.path]["deps"] = sorted(deps)
                    if self.on_step:
                        self.on_step("link", done, len(extracts))

    def _add_records(self, folders: list[str], extracts: list[FileExtract], report: IndexReport):
        """The folders' and files' nodes, then their structural edges."""
        with _Phase(report, "add_node"):
            for d in folders:
                self.engine.add_node(**folder_node(d, self.tree.root))
                report.nodes_added += 1
            self._add_nodes(extracts, report)
        with _Phase(report, "structural"):
            for d in folders:
                self._structural(folder_parent_edge(d, self.tree.root_folder), report)
            self._add_structural(extracts, report)

    def _add_nodes(self, extracts: list[FileExtract], report: IndexReport):
        for ex in extracts:
            for record in ex.nodes:
                self.engine.add_node(**record)
            report.nodes_added += len(ex.nodes)
        for ex in extracts:
            for edge in ex.generated:
                self.engine.add_generated_edge(*edge)
            report.generated_edges += len(ex.generated)

    def _add_structural(self, extracts: list[FileExtract], report: IndexReport):
        for ex in extracts:
            self._structural((ids.folder_id(ids.parent_dir(ex.path)), ids.file_id(ex.path)), report)
            for edge in ex.structural:
                self._structural(edge, report)

    def _structural(self, edge: tuple[str, str] | None, report: IndexReport):
        if edge is not None:
            self.engine.add_structural_edge(*edge)
            report.structural_edges += 1

    def _build(self, report: IndexReport):
        """Compiles the graphs and writes the snapshot at once, so that the manifest written
        after it never claims more than the snapshot holds. Raises OSError naming the snapshot
        when it cannot be written."""
        with _Phase(report, "build"):
            try:
                self.engine.rebuild_internal()
            except OSError as exc:
                raise type(exc)(exc.errno, str(exc), os.path.join(self.workspace, SNAPSHOT_NAME)) from None
