"""Writes the records of the Python standard library with its tests, as the reference
extractor makes them, to a JSON-lines file for bench/engine_caches.cpp: one line per node
(its add_node fields), then one per structural edge and one per caller with its call names,
in the order the indexer feeds them.

    PYTHONPATH=build/test/python:src/python python3 bench/engine_caches_records.py OUT.jsonl
"""

from __future__ import annotations

import json
import sys
import time

from suite.stdlib_records import stdlib_records

# The standard library with its tests: only installed third-party packages stay out.
SKIPPED = frozenset({"site-packages", "dist-packages"})


def main(out_path: str) -> None:
    t0 = time.perf_counter()
    data = stdlib_records(SKIPPED)
    nodes, structural = data["nodes"], data["structural"]
    with open(out_path, "w", encoding="utf-8") as out:
        for record in nodes:
            record = dict(record)
            extra = record.pop("_extra", None)
            if extra is not None:
                record["extra_json"] = extra if isinstance(extra, str) else json.dumps(extra)
            out.write(json.dumps({"node": record}) + "\n")
        for a, b in structural:
            out.write(json.dumps({"edge": [a, b]}) + "\n")
        for caller, calls in data["callers"]:
            out.write(json.dumps({"caller": caller, "calls": calls}) + "\n")
    print(f"{data['root']}: {data['files']} files, {len(nodes)} nodes, {len(data['callers'])} callers "
          f"({time.perf_counter() - t0:.1f} s) -> {out_path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "stdlib_records.jsonl")
