"""Process CPU time of the whole-tree pass alone (`tree_pass.link_all`) over the standard
library's extracts (test folders skipped), in one process, best of N runs, each on a fresh
copy of the extracts. --package DIR takes the indexer package from DIR (a revision's
src/python), so that two revisions can be timed one after the other on the same machine.

    PYTHONPATH=build/<dir>/python python3 bench/tree_pass.py [--package DIR] [--repeat N]
"""

from __future__ import annotations

import argparse
import gc
import pickle
import sys
import sysconfig
import time

SKIPPED = frozenset({"site-packages", "dist-packages", "test", "tests", "idle_test"})


def main(argv=None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", help="the folder that holds the corvane_index package to time")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    if args.package:
        sys.path.insert(0, args.package)
    from corvane_index import indexer, tree_pass
    from corvane_index.tree import scan_tree

    tree = scan_tree(sysconfig.get_paths()["stdlib"], SKIPPED)
    gc.disable()  # as during an index
    extracts = pickle.dumps([indexer._read_and_extract(rel, full).extract for rel, full in sorted(tree.files.items())])
    times = []
    for _ in range(args.repeat):
        fresh = pickle.loads(extracts)
        summaries = {ex.path: ex.summary for ex in fresh if ex.summary}
        start = time.process_time()
        tree_pass.link_all(fresh, summaries)
        times.append(time.process_time() - start)
    print(f"whole-tree pass over {len(tree.files)} files: best {min(times):.3f} s CPU "
          f"({', '.join(f'{t:.3f}' for t in times)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
