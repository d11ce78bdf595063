"""Reference extractor for corvanedb: walks Python sources with the standard `ast` module
and feeds files, folders, modules, classes and functions into a PyMetadataEngine.

See ids.py for the node id conventions."""

from .ids import definition_id, file_id, folder_id, module_id, module_name
from .indexer import EXTRACTOR_VERSION, MANIFEST_NAME, Indexer, IndexReport
from .python_file import FileExtract, extract_source
from .tree import SourceTree, scan_tree

__all__ = [
    "EXTRACTOR_VERSION", "MANIFEST_NAME", "FileExtract", "IndexReport", "Indexer", "SourceTree",
    "definition_id", "extract_source", "file_id", "folder_id", "module_id", "module_name", "scan_tree",
]
