"""How much of what real code calls the call graph holds: the calls a real run makes, traced,
against the edges the engine gives for the same tree.

    PYTHONPATH=build/<dir>/python python3 bench/traced_calls.py [--tests NAME ...] [--misses N] [--seed S]

Indexes the standard library (test folders skipped, as the main job does), then runs some of
the library's own test modules (by default a dozen that cover parsing, text, numbers, data
formats and the file system) under a profile hook. Every call of a Python function of the
indexed tree made from a Python function of the tree is one traced edge: (caller, callee) as
node ids, the caller being the function whose code made the call (a comprehension's or
generator expression's code counts as its enclosing function's, as the index holds it). An
edge is held when the engine's callees of the caller include the callee, or include a class
whose callees include it (instantiation reaching `__init__`, `__new__`, `__post_init__`).

Prints the share of distinct traced edges held (recall on real code; a static edge that this
run never took is not counted against anything), and the misses by kind: special methods that
operators and protocols run (`==`, `len()`, `__getattr__`, ...), properties and other
descriptors read as attributes, calls the caller's stored call names name but that did not
resolve, and the rest (functions reaching the callee as values: passed, stored, returned).
Edges into or out of lambdas are left out (their nodes are numbered, code objects are not).
Needs Python 3.11 or newer (code objects' qualified names).
"""

from __future__ import annotations

import argparse
import collections
import io
import json
import os
import random
import sys
import sysconfig
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "src", "python"))

import corvanedb  # noqa: E402
from corvane_index import Indexer, scan_tree  # noqa: E402

SKIPPED = ("site-packages", "dist-packages", "test", "tests", "idle_test")
DEFAULT_TESTS = ("test_json", "test_argparse", "test_csv", "test_textwrap", "test_configparser",
                 "test_pprint", "test_difflib", "test_fractions", "test_statistics", "test_urlparse",
                 "test_tomllib", "test_pathlib", "test_email")
INLINE = ("<listcomp>", "<dictcomp>", "<setcomp>", "<genexpr>")
CONSTRUCTORS = ("__init__", "__new__", "__post_init__")


def trace(tests: list[str]) -> set[tuple]:
    """(caller code, callee code) of every call between Python functions while the tests run."""
    pairs = set()

    def hook(frame, event, arg):
        if event == "call" and frame.f_back is not None:
            pairs.add((frame.f_back.f_code, frame.f_code))

    class Result(unittest.TextTestResult):
        def startTest(self, test):
            super().startTest(test)
            sys.setprofile(hook)  # again: some tests set their own hook or none

    suite = unittest.TestSuite(unittest.defaultTestLoader.loadTestsFromName(f"test.{t}") for t in tests)
    threading.setprofile(hook)
    try:
        unittest.TextTestRunner(stream=io.StringIO(), verbosity=0, resultclass=Result).run(suite)
    finally:
        sys.setprofile(None)
        threading.setprofile(None)
    return pairs


def node_of(code, root: str) -> str | None:
    """The node id that holds the code's calls; None outside the tree or for a lambda."""
    path = os.path.realpath(code.co_filename)
    if not path.startswith(root + os.sep) or not path.endswith(".py"):
        return None
    rel = os.path.relpath(path, root).replace(os.sep, "/")
    if any(part in SKIPPED for part in rel.split("/")[:-1]):
        return None
    parts = [p for p in code.co_qualname.split(".") if p != "<locals>"]
    while parts and parts[-1] in INLINE:
        parts.pop()
    if any(p == "<lambda>" for p in parts):
        return None
    return f"{rel}:{'.'.join(parts) or '<module>'}"


def miss_kind(caller: dict, callee_id: str, callee: dict | None) -> str:
    name = callee_id.rpartition(":")[2].rpartition(".")[2]
    extra = json.loads((callee or {}).get("extra_json") or "{}")
    if any(d in ("@property", "@cached_property", "@functools.cached_property") or d.endswith(".setter")
           or d.endswith(".getter") for d in extra.get("decorators", [])):
        return "property or descriptor"
    if name.startswith("__") and name.endswith("__"):
        return "special method run by an operator or protocol"
    if any(call.rpartition(".")[2].partition("(")[0] == name for call in caller.get("calls") or []):
        return "named by the caller, not resolved"
    return "reached as a value (passed, stored, returned)"


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--tests", nargs="+", default=list(DEFAULT_TESTS), help="test modules of the library to run")
    p.add_argument("--misses", type=int, default=0, metavar="N", help="print N missed edges drawn at random")
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args(argv)
    if sys.version_info < (3, 11):
        print("needs Python 3.11 or newer (code objects' qualified names)")
        return 2
    root = os.path.realpath(sysconfig.get_paths()["stdlib"])
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        Indexer(engine, scan_tree(root, SKIPPED), ws, workers=0).run()
        meta = engine.get_all_metadata()
        pairs = trace(args.tests)
        edges, lambdas = set(), 0
        for caller_code, callee_code in pairs:
            caller, callee = node_of(caller_code, root), node_of(callee_code, root)
            if caller is None or callee is None:
                lambdas += ("<lambda>" in caller_code.co_qualname or "<lambda>" in callee_code.co_qualname)
                continue
            if caller != callee or caller_code is not callee_code:
                edges.add((caller, callee))
        callees: dict[str, set[str]] = {}

        def of(node: str) -> set[str]:
            if node not in callees:
                callees[node] = set(engine.get_callees(node)) if node in meta else set()
            return callees[node]

        held, unknown, missed = 0, 0, collections.defaultdict(list)
        for caller, callee in sorted(edges):
            if caller not in meta or callee not in meta:
                unknown += 1
                continue
            direct = of(caller)
            if callee in direct or any(meta[c]["type"] == "Class" and callee in of(c) for c in direct):
                held += 1
            elif caller == callee:
                held += 1  # recursion: the engine keeps no edge to the caller itself
            else:
                missed[miss_kind(meta[caller], callee, meta.get(callee))].append((caller, callee))
    total = held + sum(len(v) for v in missed.values())
    print(f"traced: {len(args.tests)} test modules of the standard library, {len(pairs)} distinct calls between "
          f"Python code objects; {len(edges)} edges between definitions of the indexed tree")
    print(f"edges whose caller or callee has no node: {unknown}; calls into or out of lambdas left out: {lambdas}")
    print(f"held by the call graph: {held}/{total} = {held / total:.1%}")
    for kind, found in sorted(missed.items(), key=lambda kv: -len(kv[1])):
        print(f"  missed, {kind}: {len(found)}")
    if args.misses:
        rng = random.Random(args.seed)
        every = [(kind, e) for kind, found in missed.items() for e in found]
        for kind, (caller, callee) in sorted(rng.sample(every, min(args.misses, len(every)))):
            print(f"  [{kind}] {caller} -> {callee}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
