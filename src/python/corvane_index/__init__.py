"""The indexer of corvanedb: walks Python sources with the standard `ast` module and feeds
folders, files, modules, module-level code, classes and functions into a
corvanedb.PyMetadataEngine.

Two steps: `extract_source` reads one file into plain, picklable facts (records, calls, the
module's scope data and a summary of what other modules may ask of it); the whole-tree pass
(`link_all`, tree_pass.py) then reads every summary and rewrites each module's scope data so
that the engine's rules reach what Python would (re-exports, star imports, module attributes,
return annotations, inherited attribute types). The engine resolves the recorded facts, so a
one-file refresh stays exact; the Indexer re-links the files that depend on a changed one.

See ids.py for the node id conventions (module-level code is the Function node
"<path>:<module>").

The API the `corvanedb` command is built on:

    index_tree(path, workspace=None, exclude=())  index a tree (incremental when indexed before)
    open_index(workspace)                         the engine of an indexed workspace
    default_workspace(path)                       where index_tree puts the index of path
    closest_ids(engine, text)                     ids that text may have meant
    read_graph(workspace) -> Graph                every node and every edge with its kind
    write_json / write_graphml / write_dot        export a Graph; to_networkx(graph)
    blast_dot(engine, node_id), render(dot, out)  draw a blast radius
    watch_tree(path, workspace=None)              index, then refresh on every file save
"""

TYPE_CHECKING = False  # typing is not imported for it: mypy reads this name as true

# Each public name and the module that defines it. They are imported on first use, so that
# a command that needs one module does not pay for all of them.
_EXPORTS = {
    "api": ["IndexResult", "check_source_tree", "check_workspace", "closest_ids", "default_workspace",
            "find_workspace", "has_index", "index_tree", "open_index"],
    "draw": ["blast_dot", "render"],
    "export": ["EDGE_KINDS", "Graph", "read_graph", "to_networkx", "write_dot", "write_graphml", "write_json"],
    "ids": ["definition_id", "file_id", "folder_id", "module_id", "module_name"],
    "indexer": ["EXTRACTOR_VERSION", "MANIFEST_NAME", "Indexer", "IndexReport"],
    "python_file": ["FileExtract", "extract_source"],
    "tree": ["SourceTree", "scan_tree"],
    "tree_pass": ["link_all"],
    "watch": ["watch_tree"],
}
_MODULE_OF = {name: module for module, names in _EXPORTS.items() for name in names}

__all__ = sorted(_MODULE_OF)


def __getattr__(name: str):
    module = _MODULE_OF.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


if TYPE_CHECKING:
    from .api import (IndexResult, check_source_tree, check_workspace, closest_ids, default_workspace,
                      find_workspace, has_index, index_tree, open_index)
    from .draw import blast_dot, render
    from .export import EDGE_KINDS, Graph, read_graph, to_networkx, write_dot, write_graphml, write_json
    from .ids import definition_id, file_id, folder_id, module_id, module_name
    from .indexer import EXTRACTOR_VERSION, MANIFEST_NAME, Indexer, IndexReport
    from .python_file import FileExtract, extract_source
    from .tree import SourceTree, scan_tree
    from .tree_pass import link_all
    from .watch import watch_tree
