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

__all__ = [
    "EDGE_KINDS", "EXTRACTOR_VERSION", "MANIFEST_NAME", "FileExtract", "Graph", "IndexReport", "IndexResult",
    "Indexer", "SourceTree", "blast_dot", "check_source_tree", "check_workspace", "closest_ids",
    "default_workspace", "definition_id", "extract_source", "file_id", "find_workspace", "folder_id", "has_index",
    "index_tree", "link_all", "module_id", "module_name", "open_index", "read_graph", "render", "scan_tree",
    "to_networkx", "watch_tree", "write_dot", "write_graphml", "write_json",
]
