"""What `corvanedb index` costs after one edit, on a copy of the standard library: each edit
is made to the copy, then the tree is indexed again through the package's API (what the
command runs: restore, re-read what changed, link, refresh, save). Prints, per edit, the
files linked again for the change elsewhere (dependents) and the wall time. With --kept, one
engine is kept across the runs, as `corvanedb watch` keeps it (no restore, and the manifest
the previous run wrote is still in memory), and each edit is run --repeat times (best shown).

    PYTHONPATH=build/<dir>/python:src/python python3 bench/edit_reindex.py [--kept] [--repeat N]

Run it with another revision's src/python first on PYTHONPATH to compare indexers.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import sysconfig
import tempfile

from corvane_index import api, indexer

EXCLUDE = ["site-packages", "dist-packages", "test", "tests", "idle_test"]
# (file, text appended): a function added to modules most of the library imports, a class
# method, a literal __all__, and a comment.
EDITS = [
    ("posixpath.py", "\ndef added_here(a):\n    return a\n"),
    ("os.py", "\ndef added_here(a):\n    return a\n"),
    ("collections/__init__.py", "\ndef added_here(a):\n    return a\n"),
    ("json/decoder.py", "\nclass JSONDecoder(JSONDecoder):\n    def added_here(self):\n        pass\n"),
    ("typing.py", "\n__all__ = ['Any']\n"),
    ("re/__init__.py", "\n# a comment\n"),
]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--kept", action="store_true", help="keep one engine across the runs")
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args(argv)
    stdlib = sysconfig.get_paths()["stdlib"]
    with tempfile.TemporaryDirectory() as tmp:
        root, workspace = os.path.join(tmp, "lib"), os.path.join(tmp, "ws")
        shutil.copytree(stdlib, root, ignore=shutil.ignore_patterns(*EXCLUDE, "__pycache__"))
        first = api.index_tree(root, workspace, exclude=EXCLUDE, workers=None)
        print(f"first index: {first.seconds:.2f} s, {first.engine.get_stats()['nodes']} nodes")
        engine = first.engine if args.kept else None
        del first
        for path, text in EDITS:
            times = []
            for _ in range(args.repeat):
                with open(os.path.join(root, path), "a", encoding="utf-8") as f:
                    f.write(text)
                if engine is None and hasattr(indexer, "_last_manifest"):
                    indexer._last_manifest.forget()  # as in a new process: the manifest is read
                result = api.index_tree(root, workspace, exclude=EXCLUDE, workers=None, engine=engine)
                times.append(result.seconds)
                report = result.report
                del result
            print(f"{path:<26} {len(report.dependents):>4} dependents  {min(times):6.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
