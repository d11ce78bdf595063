"""Does the indexer write the same index as it did at an earlier revision? A check for changes
that are meant to make it faster and nothing else.

    PYTHONPATH=build/<dir>/python python3 bench/same_records.py [--base REV] [--stdlib] [--suite DIR] [PATH ...]

Each tree is indexed twice from scratch, each time in a new process: by the indexer package
as it was at git revision REV (default: main) and by the one in this checkout (the command's
way, parsing on every core), with the same engine module. The two snapshots are compared
node record by node record and edge by edge (each with its kind), and the two manifests entry
by entry (what the next incremental run reads). Prints each tree's verdict and time, the first
differences when there are any, and exits 1 then.

--stdlib indexes the standard library without its test folders; --suite DIR indexes every
case of a call-graph suite (DIR/cases/<category>/<case>/) as a tree of its own.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
CURRENT = os.path.join(REPO, "src", "python")
sys.path.insert(0, CURRENT)

from corvane_index import api, snapshot  # noqa: E402

STDLIB_SKIPPED = ("site-packages", "dist-packages", "test", "tests", "idle_test")

# Run in a new process: index one tree with the corvane_index package found first on sys.path.
INDEX_ONE = """
import json, sys
sys.path.insert(0, sys.argv[1])
from corvane_index import api
if __name__ == "__main__":
    result = api.index_tree(sys.argv[2], sys.argv[3], exclude=json.loads(sys.argv[4]), workers=None)
    print(json.dumps({"seconds": result.seconds, "phases": result.report.phases}))
"""


def checkout_package(rev: str, folder: str, name: str = "corvane_index") -> str:
    """Writes the indexer package as it was at rev into folder/name; returns folder."""
    package = os.path.join(folder, name)
    os.makedirs(package, exist_ok=True)
    listing = subprocess.run(["git", "-C", REPO, "ls-tree", "--name-only", rev, "src/python/corvane_index/"],
                             capture_output=True, text=True, check=True).stdout.split()
    for path in listing:
        if path.endswith(".py"):
            text = subprocess.run(["git", "-C", REPO, "show", f"{rev}:{path}"],
                                  capture_output=True, text=True, check=True).stdout
            with open(os.path.join(package, os.path.basename(path)), "w", encoding="utf-8") as f:
                f.write(text)
    return folder


def index_in_process(package_root: str, tree: str, workspace: str, exclude: list[str]) -> dict:
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(INDEX_ONE)
    try:
        out = subprocess.run([sys.executable, script.name, package_root, tree, workspace, json.dumps(exclude)],
                             capture_output=True, text=True, check=True).stdout
    finally:
        os.unlink(script.name)
    return json.loads(out.splitlines()[-1])


def differences(a: dict, b: dict, what: str, limit: int = 5) -> list[str]:
    """The first keys whose values differ; of two dicts, only the fields that differ."""
    out = []
    for key in sorted(set(a) | set(b)):
        old, new = a.get(key), b.get(key)
        if old == new:
            continue
        if isinstance(old, dict) and isinstance(new, dict):
            fields = [f for f in sorted(set(old) | set(new)) if old.get(f) != new.get(f)]
            old, new = {f: old.get(f) for f in fields}, {f: new.get(f) for f in fields}
        out.append(f"{what} {key!r}:\n      before {_short(old)}\n      now    {_short(new)}")
        if len(out) == limit:
            break
    return out


def _short(value, width: int = 300) -> str:
    text = repr(value)
    return text if len(text) <= width else text[:width] + f"... ({len(text)} characters)"


def compare_tree(base_root: str, tree: str, exclude: list[str]) -> tuple[list[str], float, float]:
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:
        runs = []
        for name, root in (("base", base_root), ("now", CURRENT)):
            workspace = os.path.join(ws, name)
            timing = index_in_process(root, tree, workspace, exclude)
            with open(os.path.join(workspace, api.MANIFEST_NAME), encoding="utf-8") as f:
                manifest = json.load(f)
            runs.append((snapshot.read(os.path.join(workspace, api.SNAPSHOT_NAME)), manifest, timing["seconds"]))
    (before, old_manifest, old_seconds), (now, new_manifest, new_seconds) = runs
    found = differences(before.nodes, now.nodes, "node")
    for kind in snapshot.EDGE_KINDS:
        gone, new = sorted(before.edges[kind] - now.edges[kind]), sorted(now.edges[kind] - before.edges[kind])
        if gone or new:
            found.append(f"{kind} edges: {len(gone)} gone {gone[:3]}, {len(new)} new {new[:3]}")
    found += differences(old_manifest["files"], new_manifest["files"], "manifest entry")
    if old_manifest["folders"] != new_manifest["folders"]:
        found.append("manifest folders differ")
    return found, old_seconds, new_seconds


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("paths", nargs="*", metavar="PATH")
    p.add_argument("--base", default="main", help="git revision of the indexer to compare with (default: main)")
    p.add_argument("--stdlib", action="store_true", help="also the standard library, without its test folders")
    p.add_argument("--suite", metavar="DIR", help="also every case of a call-graph suite")
    args = p.parse_args(argv)
    trees = [(os.path.abspath(path), []) for path in args.paths]
    if args.stdlib:
        trees.append((sysconfig.get_paths()["stdlib"], list(STDLIB_SKIPPED)))
    if args.suite:
        cases = os.path.join(args.suite, "cases")
        trees += [(os.path.join(cases, category, case), []) for category in sorted(os.listdir(cases))
                  for case in sorted(os.listdir(os.path.join(cases, category)))]
    if not trees:
        p.error("nothing to compare: give a PATH, --stdlib or --suite DIR")
    failed = 0
    with tempfile.TemporaryDirectory() as base:
        checkout_package(args.base, base)
        for tree, exclude in trees:
            start = time.perf_counter()
            found, old_seconds, new_seconds = compare_tree(base, tree, exclude)
            verdict = "same" if not found else f"{len(found)}+ DIFFERENCES"
            print(f"{verdict:>16}  {tree}  (index {old_seconds:.2f} s at {args.base}, {new_seconds:.2f} s now; "
                  f"check {time.perf_counter() - start:.1f} s)")
            for line in found:
                print("    " + line)
            failed += bool(found)
    print(f"{len(trees) - failed} of {len(trees)} trees indexed the same")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
