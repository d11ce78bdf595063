"""The main job's five queries, each a new process as the command runs them, under two
builds in turn (A B A B ...): what a query costs from start to exit, restore included.

    python3 bench/query_processes.py WORKSPACE PYTHONPATH_A PYTHONPATH_B [--rounds N]

WORKSPACE holds an index of the standard library (`corvanedb index` of it, test folders
skipped); each PYTHONPATH names a build's module folder and the package's source folder,
joined by os.pathsep. Prints the median time of the five queries per build and the ratio A/B.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import time

QUERIES = [["show", "posixpath.py:join"], ["callers", "posixpath.py:join"], ["callees", "json/__init__.py:loads"],
           ["blast", "posixpath.py:join", "--depth", "2"], ["search", "urlsplit"]]


def five_queries(workspace: str, path: str) -> float:
    start = time.perf_counter()
    for query in QUERIES:
        subprocess.run([sys.executable, "-m", "corvane_index", *query, "--workspace", workspace],
                       env={"PYTHONPATH": path}, capture_output=True, check=True)
    return time.perf_counter() - start


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("workspace")
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    times: dict[str, list[float]] = {"A": [], "B": []}
    for _ in range(args.rounds):
        times["A"].append(five_queries(args.workspace, args.a))
        times["B"].append(five_queries(args.workspace, args.b))
    for name, path in (("A", args.a), ("B", args.b)):
        print(f"{name}: five queries {statistics.median(times[name]) * 1000:7.0f} ms  ({path})")
    print(f"A/B: {statistics.median(a / b for a, b in zip(times['A'], times['B'])):.2f}")


if __name__ == "__main__":
    main()
