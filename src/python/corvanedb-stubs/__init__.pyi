"""Type stubs for the corvanedb extension module: an in-process graph database of code
entities (PyMetadataEngine), a graph engine keyed by content hashes (PyGraphEngine) and a
store of fixed-layout records in a memory-mapped file (PyMmapStore).

Failures: ValueError for an unacceptable argument or stored value, RuntimeError for a call
in the wrong state, OSError for file and snapshot failures, TypeError / OverflowError from
argument conversion (integers are unsigned 32-bit unless said otherwise). A broken internal
invariant raises PanicException, which derives from BaseException, not Exception.
"""

from collections.abc import Sequence
from typing import Any, final

__all__ = ["PyMmapStore", "PyGraphEngine", "PyMetadataEngine"]

@final
class PyMmapStore:
    """Fixed-layout 96-byte node records appended to a memory-mapped file."""

    def __new__(cls, path: str, initial_size: int) -> PyMmapStore:
        """Open or create the file at `path`, grown to at least `initial_size` bytes (an
        existing longer file keeps its length) and mapped whole. Appends start at the file's
        length as found on opening. Raises OSError "<description> (os error N)" when the file
        cannot be opened, grown or mapped; OverflowError for a size outside 0..2**64-1."""
    def append_dummy_node(self) -> tuple[int, int]:
        """Append the fixed sample record; return (offset, length) of where it went. The file
        doubles in size when the record does not fit. Raises RuntimeError when growing or
        remapping fails or another process shortened the file; the store stays usable."""
    def get_node_view(self, block_id: int, length: int) -> memoryview:
        """A read-only view of a copy of `length` bytes at byte offset `block_id` (an offset,
        not a record number). Raises ValueError when the range reaches beyond the mapping,
        RuntimeError when another process shortened the file below it."""

@final
class PyGraphEngine:
    """A directed graph over nodes named by 64 hexadecimal digits (32-byte hashes, either
    case). Collect edges, build() once, then ask blast_radius()."""

    def __new__(cls) -> PyGraphEngine:
        """An empty engine that collects edges."""
    def add_edge(self, from_hex: str, to_hex: str) -> None:
        """Add the edge from_hex -> to_hex (a repeated edge is kept once). Raises
        RuntimeError "Graph is already built" after build(), then ValueError "Invalid
        from_hex" / "Invalid to_hex" for a key that is not 64 hexadecimal digits."""
    def build(self) -> None:
        """Compile the collected edges; afterwards no edge can be added. Raises RuntimeError
        "Graph builder is missing" when called a second time."""
    def rebuild_csr(self) -> None:
        """The same operation as build()."""
    def invalidate_nodes(self, hex_hashes: Sequence[str]) -> None:
        """Remove every edge touching the given nodes (keys that do not decode are skipped).
        Raises TypeError for a str instead of a sequence, RuntimeError "Graph builder is
        missing" after build()."""
    def blast_radius(self, start_hex: str) -> list[str]:
        """Every node that reaches `start_hex`, as 64 lower-case hexadecimal digits, nearest
        first (breadth-first), the start excluded; [] for a node never added. Raises
        RuntimeError "Graph must be built first", then ValueError "Invalid start_hex"."""

@final
class PyMetadataEngine:
    """The node table and typed edges of a code base, with compiled call and dependency
    graphs, kept in the snapshot file `.corvane_snapshot.bin` of a workspace folder.

    Node ids: "<file_path>:<qualified.name>" for definitions (module-level code is the
    Function node "<file_path>:<module>"), the file path itself for a module node. Edge
    kinds: resolved call, execution, generated execution, structural; the call graph holds
    every kind but structural, the dependency graph every kind. Queries answer from the
    graphs of the last compile (build, rebuild, rebuild_internal)."""

    def __new__(cls, workspace_path: str) -> PyMetadataEngine:
        """Open the engine of `workspace_path`. A snapshot there is restored; when it holds
        nodes, the graphs are compiled and the snapshot rewritten at once (only while the file
        is still the one read). A missing snapshot, or one that is not of this format, gives
        an empty engine (see snapshot_loaded()). Raises OSError "Failed to read snapshot:
        <path>: ..." when the snapshot exists but cannot be opened or read. The folder is
        created by the first snapshot write."""
    def rebuild_internal(self) -> None:
        """Compile both graphs, then write the snapshot synchronously. Raises OSError
        "Failed to save snapshot: ..." when the write fails (the graphs stay compiled)."""
    def add_node(
        self,
        node_id: str,
        node_type: str,
        name: str,
        file_path: str,
        signature: str | None = None,
        docstring: str | None = None,
        lines_start: int | None = None,
        lines_end: int | None = None,
        returns: Sequence[str] | None = None,
        calls: Sequence[str] | None = None,
        django_relations_json: str | None = None,
        is_async: bool | None = None,
        is_generator: bool | None = None,
        param_count: int | None = None,
        is_exported: bool | None = None,
        blast_radius_score: int | None = None,
        extra_json: str | None = None,
        _extra: Any = None,
    ) -> None:
        """Insert the record of `node_id`, or replace an existing one whole (never merged).
        None means absent. `node_type` is free text; "Function" and "Class" matter to call
        resolution. `calls` are the raw call names resolve_and_connect_calls and
        repopulate_edges resolve. `_extra`, when not None, replaces `extra_json`: a str is
        stored as is, anything else as json.dumps(_extra) (absent if that fails). Edges of
        the id are kept. Raises TypeError (a str for `returns`/`calls`, an int for a bool)
        and OverflowError (an integer outside 0..2**32-1) before changing anything."""
    def add_edge(self, from_id: str, to_id: str) -> None:
        """Add an execution edge (a call edge). An id never added makes it a silent no-op.
        Raises ValueError "Invalid hash" only for a damaged stored hash."""
    def add_structural_edge(self, from_id: str, to_id: str) -> None:
        """Add a structural edge (containment): in the dependency graph, not in the call
        graph. Unknown ids: silent no-op."""
    def add_generated_edge(self, from_id: str, to_id: str) -> None:
        """Add a generated execution edge (a call edge that clear_generated_edges() removes).
        Unknown ids: silent no-op."""
    def clear_generated_edges(self) -> None:
        """Remove every generated execution edge and refill the graph builders; seen by
        queries after the next compile. Raises ValueError "Invalid hash"."""
    def resolve_and_connect_calls(self, caller_id: str, call_names: Sequence[str]) -> int:
        """Resolve raw call names of `caller_id` ("helper", "self.save", "mod.func",
        "super.clean") with Python's scope, import, receiver-type and shadowing rules (the
        scope data comes from the module node's extra_json), and add a resolved-call edge to
        each unambiguous target other than the caller. Returns the number of edges added
        (repeats included). The names are not stored: repopulate_edges() re-resolves the
        record's `calls` only. Raises TypeError for a str instead of a sequence."""
    def resolve_and_connect_django(self, node_id: str, json_str: str) -> int:
        """For each {"related_model": "app.Model"} in the JSON array `json_str`, add a
        structural edge from `node_id` to every Class node of that name (case-insensitive),
        itself excepted. Returns the count of edges added; 0 for text that is not an array."""
    def repopulate_edges(self) -> None:
        """Recompute the derived edges of every node: resolved calls from each record's
        `calls`, structural edges from its `django_relations_json`. Execution, generated and
        directly added structural edges stay. Run after invalidate_file() and re-adding a
        file's nodes, then compile. Raises ValueError "Invalid hash"."""
    def invalidate_file(self, file_path: str) -> int:
        """Remove every node whose file_path is `file_path`, with every edge touching them.
        Returns how many nodes the file had (0 if none). Queries see the change after the
        next compile."""
    def build(self) -> None:
        """Compile the call and dependency graphs, refresh calls_count, callers_count and
        blast_radius_score of every node, and write the snapshot in a background thread.
        Returns without waiting for the write: call save() when the snapshot must be on
        disk (a failed background write is only logged). Raises OSError "Failed to serialize
        snapshot: ..." when encoding fails."""
    def rebuild(self) -> None:
        """The same operation as build()."""
    def blast_radius(self, node_id: str, max_depth: int | None = None) -> list[str]:
        """Every node that reaches `node_id` over call edges, nearest first (breadth-first),
        itself excluded; `max_depth` None or 0 means no bound. Raises RuntimeError "Graph
        must be built first", ValueError "Unknown node_id: <id>"."""
    def get_recursive_callees(self, node_id: str, max_depth: int | None = None) -> list[str]:
        """Every node `node_id` reaches over call edges, nearest first, itself excluded;
        `max_depth` None or 0 means no bound. Errors as blast_radius()."""
    def get_callers(self, node_id: str) -> list[str]:
        """Direct predecessors in the call graph; the order carries no meaning. Raises
        RuntimeError "Graph must be built first", ValueError "Unknown node_id: <id>"."""
    def get_callees(self, node_id: str) -> list[str]:
        """Direct successors in the call graph; the order carries no meaning. Errors as
        get_callers()."""
    def get_dependents(self, node_id: str) -> list[str]:
        """Direct predecessors in the dependency graph (edges of every kind, structural
        included); the order carries no meaning. Errors as get_callers()."""
    def get_dependencies(self, node_id: str) -> list[str]:
        """Direct successors in the dependency graph; the order carries no meaning. Errors as
        get_callers()."""
    def search(self, keyword: str) -> list[dict[str, Any]]:
        """Nodes whose lower-cased name equals `keyword` (lower-cased), then those whose name
        contains it; File and Folder nodes match by the base name of their file_path
        instead. Order within each group carries no meaning; no limit. Each hit has "id",
        "type", "name", "file", and when present "signature", "docstring", "lines"
        {"start", "end"}, "returns", "calls", "django_relations" (normalised JSON text)."""
    def get_node_meta(self, node_id: str) -> dict[str, Any] | None:
        """The record of `node_id`, or None: "node_id", "type", "name", "file_path" always;
        "signature", "docstring", "lines" {"start", "end"}, "returns", "calls",
        "django_relations_json", "calls_count", "callers_count", "lines_count", "is_async",
        "is_generator", "param_count", "is_exported", "blast_radius_score", "extra_json"
        when present."""
    def get_stats(self) -> dict[str, Any]:
        """{"nodes": number of nodes, "edges": "CSR compiled" or "not built"} ("edges" tells
        whether a compile ever ran, not whether it is current)."""
    def contains(self, node_id: str) -> bool:
        """Whether a node has this id."""
    def snapshot_loaded(self) -> bool:
        """Whether construction restored a snapshot (even an empty one)."""
    def get_all_metadata(self) -> dict[str, dict[str, Any]]:
        """Every record, keyed by node id, with the keys of get_node_meta(); the order of
        the nodes carries no meaning."""
    def save(self) -> None:
        """Write the snapshot synchronously. Raises OSError "Failed to save snapshot: ..."."""
    def close(self) -> None:
        """Exactly save(): the engine stays usable and background writes are not awaited."""
