"""Reference extractor for corvanedb: walks Python sources with the standard `ast` module
and feeds files, folders, modules, module-level code, classes and functions into a
PyMetadataEngine.

Two steps: `extract_source` reads one file into plain, picklable facts (records, calls, the
module's scope data and a summary of what other modules may ask of it); the whole-tree pass
(`link_all`, tree_pass.py) then reads every summary and rewrites each module's scope data so
that the engine's rules reach what Python would (re-exports, star imports, module attributes,
return annotations, inherited attribute types). The engine resolves the recorded facts, so a
one-file refresh stays exact; the Indexer re-links the files that depend on a changed one.

See ids.py for the node id conventions (module-level code is the Function node
"<path>:<module>")."""

from .ids import definition_id, file_id, folder_id, module_id, module_name
from .indexer import EXTRACTOR_VERSION, MANIFEST_NAME, Indexer, IndexReport
from .python_file import FileExtract, extract_source
from .tree import SourceTree, scan_tree
from .tree_pass import link_all

__all__ = [
    "EXTRACTOR_VERSION", "MANIFEST_NAME", "FileExtract", "IndexReport", "Indexer", "SourceTree",
    "definition_id", "extract_source", "file_id", "folder_id", "link_all", "module_id", "module_name",
    "scan_tree",
]
