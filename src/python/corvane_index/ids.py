"""Node id conventions shared by the extractor and the demo.

Definitions:  "<path>:<qualified.name>"   e.g. "json/decoder.py:JSONDecoder.decode"
Module node:  "<path>"                     (the file path itself; carries the scope data)
Module code:  "<path>:<module>"            a Function node named "<module>" holding the calls
                                           made by the file's top-level statements; the module
                                           node has a structural edge to it. "<module>" is no
                                           Python identifier, so it never meets a definition.
File node:    "file:<path>"                file_path = <path>, so search's basename rules apply
Folder node:  "folder:<dir>"               file_path = <dir>; the indexed root is "folder:."

Paths are relative to the indexed root and always use forward slashes. A path that
contains ":" cannot be used: the engine reads the text after the first ":" of an id as
the qualified name.
"""

from __future__ import annotations

ROOT_FOLDER = "."
MODULE_CODE = "<module>"


def definition_id(path: str, qualname: str) -> str:
    return f"{path}:{qualname}"


def module_id(path: str) -> str:
    return path


def file_id(path: str) -> str:
    return "file:" + path


def folder_id(dir_path: str) -> str:
    return "folder:" + (dir_path or ROOT_FOLDER)


def parent_dir(path: str) -> str:
    """The folder of a path ("" for the root)."""
    return path.rsplit("/", 1)[0] if "/" in path else ""


def module_name(path: str) -> str:
    """Dotted module name of a file path: "a/b/__init__.py" -> "a.b"."""
    stem = path[:-3] if path.endswith(".py") else path
    parts = stem.split("/")
    if parts[-1] == "__init__" and len(parts) > 1:
        parts.pop()
    return ".".join(parts)


def package_parts(path: str) -> list[str]:
    """The package a file belongs to, as folder components (what "." means in it)."""
    return path.split("/")[:-1]


def usable_path(path: str) -> bool:
    """False for paths the engine cannot key: a ":" or text that is not valid UTF-8."""
    if ":" in path:
        return False
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True
