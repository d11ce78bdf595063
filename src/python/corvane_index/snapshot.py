"""Reading a workspace's snapshot file: the node records and the four edge sets, each edge
with its kind, exactly as the engine stored them.

The file is "CRVN", the format byte 3, then the engine record in a fixed-width
little-endian encoding: strings and lists carry a u64 length, optional fields a tag byte,
maps and sets a u64 count. Nothing here writes the file.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Any

MAGIC = b"CRVN"
FORMAT_VERSION = 3
EDGE_KINDS = ("resolved_call", "execution", "generated_execution", "structural")

_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")


class SnapshotError(ValueError):
    """The file is not a complete snapshot of this format."""


@dataclass
class Snapshot:
    nodes: dict[str, dict[str, Any]]  # node id -> record fields that are present
    name_index: dict[str, list[str]]  # lower-cased name -> node ids
    edges: dict[str, set[tuple[str, str]]]  # kind -> (from id, to id) pairs


class _Reader:
    def __init__(self, data: bytes):
        self.data, self.pos = memoryview(data), 0

    def take(self, size: int) -> memoryview:
        end = self.pos + size
        if size < 0 or end > len(self.data):
            raise SnapshotError("the snapshot ends early")
        chunk = self.data[self.pos:end]
        self.pos = end
        return chunk

    def u64(self) -> int:
        return _U64.unpack(self.take(8))[0]

    def u32(self) -> int:
        return _U32.unpack(self.take(4))[0]

    def flag(self) -> bool:
        byte = self.take(1)[0]
        if byte > 1:
            raise SnapshotError(f"a tag or boolean byte is {byte}")
        return byte == 1

    def string(self) -> str:
        try:
            return str(self.take(self.u64()), "utf-8")
        except UnicodeDecodeError as exc:
            raise SnapshotError("a string is not UTF-8") from exc

    def strings(self) -> list[str]:
        return [self.string() for _ in range(self.u64())]


# The record's optional fields in stored order, each with how it is read.
_OPTIONAL_FIELDS = (
    ("signature", _Reader.string), ("docstring", _Reader.string), ("lines_start", _Reader.u32),
    ("lines_end", _Reader.u32), ("returns", _Reader.strings), ("calls", _Reader.strings),
    ("django_relations_json", _Reader.string), ("calls_count", _Reader.u32), ("callers_count", _Reader.u32),
    ("lines_count", _Reader.u32), ("is_async", _Reader.flag), ("is_generator", _Reader.flag),
    ("param_count", _Reader.u32), ("is_exported", _Reader.flag), ("blast_radius_score", _Reader.u32),
    ("extra_json", _Reader.string),
)


def _record(r: _Reader) -> dict[str, Any]:
    rec: dict[str, Any] = {"node_id": r.string(), "type": r.string(), "name": r.string(), "file_path": r.string()}
    for name, read in _OPTIONAL_FIELDS:
        if r.flag():
            rec[name] = read(r)
    return rec


def decode(data: bytes) -> Snapshot:
    """The nodes and typed edges of snapshot bytes; SnapshotError when they are not one.
    Edges are kept only where both ends are nodes, as the engine's graphs keep them."""
    if len(data) < 5 or data[:4] != MAGIC or data[4] != FORMAT_VERSION:
        raise SnapshotError("not a snapshot of this format")
    r = _Reader(data)
    r.pos = 5
    nodes = {}
    for _ in range(r.u64()):
        key = r.string()
        nodes[key] = _record(r)
    name_index = {}
    for _ in range(r.u64()):
        key = r.string()
        name_index[key] = r.strings()
    for _ in range(r.u64()):  # the file index
        r.string()
        r.strings()
    for _ in range(2):  # id -> hash and hash -> id
        for _ in range(r.u64()):
            r.string()
            r.string()
    edges = {}
    for kind in EDGE_KINDS:
        pairs = set()
        for _ in range(r.u64()):
            pair = (r.string(), r.string())
            if pair[0] in nodes and pair[1] in nodes:
                pairs.add(pair)
        edges[kind] = pairs
    return Snapshot(nodes, name_index, edges)


def read(path: str) -> Snapshot:
    with open(path, "rb") as f:
        return decode(f.read())
