"""How far the call graph can be trusted: the indexer and the engine together, measured on a
suite of small programs with known call graphs, and on the Python standard library.

    PYTHONPATH=build/<dir>/python python3 bench/callgraph_suite.py [SUITE] [--stdlib] [--misses] [--tree DIR ...]

SUITE is a folder holding cases/<category>/<case>/ (the program, and callgraph.json mapping each
caller's dotted name to its callees), by default ../shared/callgraph-suite relative to the
repository root. Scoring, summed over all cases (not averaged):
  - expected: the pairs of callgraph.json whose two ends are in the case's own modules;
  - found: get_callees of every module, function and class node, named by dotted module name
    plus qualified name (module-level code is named like its module); an edge out of a class
    node is dropped, an edge to a class counts as edges to its __init__, __new__ and
    __post_init__ when the index holds them directly under the class ("constructor calls
    folded");
  - precision = |expected & found| / |found|, recall = |expected & found| / |expected|.

--stdlib indexes the standard library (test folders skipped) and prints the share of stored
call names that resolve (all, and those whose head is not a builtin; as an extra view, the
latter also without calls into modules that have no source in the tree), the largest classes of
unresolved names, the callers of posixpath.py:join (beside how many definitions write a call
that may be it, the most it can have) and the time of each indexing phase, with
the whole-tree pass as a ratio of the rest. With --baseline REV it also times a full index by
the indexer package as it was at git revision REV against the current one, alternating runs
in this process, best of --repeat each. With --sample N [--seed S] it prints N resolved call
edges of the standard library drawn at random (the same ones for the same seed and index),
each with the caller's lines that make the call and the callee's definition line, for a
reader to check against the source.

--tree DIR (repeatable) indexes any tree, a package from PyPI for instance, and prints the
share of its call names whose head is not a builtin that resolve and its call edges between
definitions.
"""

from __future__ import annotations

import argparse
import ast
import builtins
import collections
import importlib
import json
import os
import random
import re
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "src", "python"))

import corvanedb  # noqa: E402
from corvane_index import ids, tree_pass  # noqa: E402
from corvane_index.indexer import Indexer  # noqa: E402
from corvane_index.tree import SourceTree, scan_tree  # noqa: E402

DEFAULT_SUITE = os.path.join(REPO, "..", "shared", "callgraph-suite")
CONSTRUCTORS = ("__init__", "__new__", "__post_init__")
STDLIB_SKIPPED = frozenset({"site-packages", "dist-packages", "test", "tests", "idle_test"})


def case_tree(case_dir: str) -> SourceTree:
    """Every .py file of a case, with paths relative to the case folder itself (a case may
    be a package; its modules are still named from the case folder)."""
    tree = SourceTree(os.path.abspath(case_dir))
    for dirpath, dirnames, filenames in os.walk(tree.root):
        dirnames[:] = sorted(d for d in dirnames if d != "__pycache__" and not d.startswith("."))
        rel_dir = os.path.relpath(dirpath, tree.root).replace(os.sep, "/")
        rel_dir = "" if rel_dir == "." else rel_dir
        for name in sorted(filenames):
            if name.endswith(".py"):
                rel = f"{rel_dir}/{name}" if rel_dir else name
                tree.files[rel] = os.path.join(dirpath, name)
                folder = rel_dir
                while folder not in tree.folders:
                    tree.folders.add(folder)
                    if not folder:
                        break
                    folder = ids.parent_dir(folder)
    return tree


def dotted(node_id: str) -> str:
    path, _, qual = node_id.partition(":")
    module = ids.module_name(path)
    if not qual or qual == ids.MODULE_CODE:
        return module
    return f"{module}.{qual}"


def found_edges(engine) -> set[tuple[str, str]]:
    meta = engine.get_all_metadata()
    found = set()
    for node_id, m in meta.items():
        if m["type"] not in ("Module", "Function"):
            continue
        caller = dotted(node_id)
        for callee in engine.get_callees(node_id):
            target = meta.get(callee)
            if target is None:
                continue
            if target["type"] == "Class":
                for ctor in CONSTRUCTORS:
                    if f"{callee}.{ctor}" in meta:
                        found.add((caller, dotted(f"{callee}.{ctor}")))
            elif target["type"] in ("Module", "Function"):
                found.add((caller, dotted(callee)))
    return found


def expected_edges(case_dir: str, modules: set[str]) -> set[tuple[str, str]]:
    with open(os.path.join(case_dir, "callgraph.json"), encoding="utf-8") as f:
        graph = json.load(f)

    def own(name: str) -> bool:
        return any(name == m or name.startswith(m + ".") for m in modules)

    return {(a, b) for a, callees in graph.items() for b in callees if own(a) and own(b)}


def index_case(case_dir: str):
    tree = case_tree(case_dir)
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:  # build() writes in the background
        engine = corvanedb.PyMetadataEngine(ws)
        Indexer(engine, tree, ws).run()
        return tree, engine, found_edges(engine)


def score_suite(suite: str, show_misses: bool) -> None:
    cases_root = os.path.join(suite, "cases")
    per_category: dict[str, list[int]] = collections.defaultdict(lambda: [0, 0, 0])  # hit, found, expected
    misses, wrong = [], []
    for category in sorted(os.listdir(cases_root)):
        for case in sorted(os.listdir(os.path.join(cases_root, category))):
            case_dir = os.path.join(cases_root, category, case)
            if not os.path.isfile(os.path.join(case_dir, "callgraph.json")):
                continue
            tree, _, found = index_case(case_dir)
            modules = {ids.module_name(p) for p in tree.files}
            expected = expected_edges(case_dir, modules)
            hit = found & expected
            counts = per_category[category]
            counts[0] += len(hit)
            counts[1] += len(found)
            counts[2] += len(expected)
            name = f"{category}/{case}"
            misses += [(name, a, b) for a, b in sorted(expected - found)]
            wrong += [(name, a, b) for a, b in sorted(found - expected)]

    def ratio(a: int, b: int) -> str:
        return f"{a / b:.3f}" if b else "  -  "

    print(f"{'category':<14} {'precision':>9} {'recall':>7} {'hit':>5} {'found':>6} {'expected':>8}")
    total = [0, 0, 0]
    for category, (h, f, e) in sorted(per_category.items()):
        print(f"{category:<14} {ratio(h, f):>9} {ratio(h, e):>7} {h:>5} {f:>6} {e:>8}")
        total = [total[0] + h, total[1] + f, total[2] + e]
    h, f, e = total
    print(f"{'overall':<14} {ratio(h, f):>9} {ratio(h, e):>7} {h:>5} {f:>6} {e:>8}")
    if show_misses:
        print("\nedges found but not expected:")
        for row in wrong:
            print("  %s: %s -> %s" % row)
        print("\nedges expected but not found:")
        for row in misses:
            print("  %s: %s -> %s" % row)


def unresolved_class(name: str, scope_names: dict[str, str]) -> str:
    parts = name.split(".")
    head = parts[0]
    if head in ("self", "cls"):
        return f"{head}.method" if len(parts) == 2 else f"{head}.attribute.method"
    if head == "super":
        return "super().method"
    kind = scope_names.get(head, "other")
    if len(parts) == 1:
        return f"bare name ({kind})"
    return f"attribute of a name ({kind})"


def from_compiled(facts: tree_pass.TreeFacts, path: str, name: str, bucket: list[dict] | None) -> bool:
    """Does a call name reach a module with no source in the tree (posix, _codecs, math, ...):
    imported from one, an attribute a module of the tree takes from one by a star import
    (`os.stat` from `from posix import *`), or a bare name the caller's module takes so?
    bucket holds the import bindings of the name's head where the caller sees it, if any."""
    parts = name.split(".")
    if any(not p.isidentifier() for p in parts):
        return False

    def star_only(module_path: str, attr: str) -> bool:
        s = facts.summaries.get(module_path)
        return (s is not None and attr not in s["names"] and facts.attr(module_path, attr) is None
                and any(facts.module_file(m) is None for m in s["star"]))

    if bucket is None:
        return len(parts) == 1 and star_only(path, name)
    for b in bucket:
        if b["kind"] == "module":
            q = b.get("qualifier", parts[0]).split(".")
            if len(parts) <= len(q) or parts[1:len(q)] != q[1:]:
                continue
            target, rest = facts.module_file(b["module"]), parts[len(q):]
            if target is None:
                return True
            target = ("module", target)
        elif "symbol" in b:
            f = facts.module_file(b["module"])
            if f is None:
                return facts.module_file(f"{b['module']}/{b['symbol']}") is None
            if star_only(f, b["symbol"]):
                return True
            target, rest = facts.from_import(b["module"], b["symbol"]), parts[1:]
        else:
            continue
        for part in rest:
            if target is None or target[0] != "module":
                break
            if star_only(target[1], part):
                return True
            target = facts.member(target, part)
    return False


def load_baseline(rev: str):
    """The indexer package at a git revision, importable beside the current one."""
    from same_records import checkout_package

    folder = checkout_package(rev, tempfile.mkdtemp(), "corvane_index_baseline")
    sys.path.insert(0, folder)
    return importlib.import_module("corvane_index_baseline")


def time_full_index(indexer_module, root: str, **options) -> float:
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        tree = indexer_module.scan_tree(root, STDLIB_SKIPPED)
        t0 = time.perf_counter()
        indexer_module.Indexer(engine, tree, ws, **options).run()
        return time.perf_counter() - t0


def compare_with_baseline(rev: str, repeat: int) -> None:
    import inspect

    import corvane_index

    root = sysconfig.get_paths()["stdlib"]
    baseline = load_baseline(rev)
    parallel = "workers" in inspect.signature(baseline.Indexer).parameters
    many = f"{os.cpu_count()} processes"
    times: dict[tuple[str, str], list[float]] = collections.defaultdict(list)
    for _ in range(repeat):
        for name, module in ((rev, baseline), ("current", corvane_index)):
            times[name, "one process"].append(time_full_index(module, root, **({"workers": 1} if parallel else {})))
            if parallel or module is corvane_index:
                times[name, many].append(time_full_index(module, root, workers=None))
    print(f"full index of the standard library, best of {repeat}:")
    for (name, mode), runs in times.items():
        base = min(times.get((rev, mode)) or times[rev, "one process"])
        print(f"  {name + ', ' + mode:<28} {min(runs):7.2f} s   / {rev}, the same way: {min(runs) / base:.3f}")


def call_edges(engine, meta: dict) -> list[tuple[str, str]]:
    """Every resolved call edge out of a function or module code. A nested definition's
    containment edge is left out unless the caller calls it by its bare name."""
    edges = []
    for caller, m in meta.items():
        if m["type"] != "Function":
            continue
        calls = set(m.get("calls") or ())
        for callee in engine.get_callees(caller):
            target = meta.get(callee)
            if target is None or target["type"] not in ("Function", "Class"):
                continue
            if callee.startswith(caller + ".") and target["name"] not in calls:
                continue
            edges.append((caller, callee))
    return sorted(edges)


def print_sample(root: str, meta: dict, edges: list[tuple[str, str]], size: int, seed: int) -> None:
    """size random edges, each with the caller's source lines that name the callee (or, for
    an implicit call, the call names that reach it) and the callee's definition line."""
    lines_of: dict[str, list[str]] = {}

    def source(path: str) -> list[str]:
        if path not in lines_of:
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                lines_of[path] = f.read().splitlines()
        return lines_of[path]

    picked = random.Random(seed).sample(edges, min(size, len(edges)))
    print(f"\n{len(picked)} of {len(edges)} resolved call edges, seed {seed}:")
    for number, (caller, callee) in enumerate(picked, 1):
        c, t = meta[caller], meta[callee]
        name = t["name"]
        print(f"\n{number:>3}. {caller} -> {callee}")
        names = [n for n in c.get("calls") or () if n == name or n.endswith("." + name)]
        if names:
            print(f"     call names: {', '.join(names)}")
        text = source(c["file_path"])
        span = c.get("lines") or {}
        start, end = span.get("start") or 1, span.get("end") or len(text)
        word = re.compile(r"\b%s\b" % re.escape(name))
        shown = [i for i in range(start, end + 1) if i <= len(text) and word.search(text[i - 1])][:3]
        for i in shown:
            print(f"     {c['file_path']}:{i}: {text[i - 1].strip()}")
        if not shown:
            print(f"     (no line of the caller names {name}: an implicit call; calls: "
                  f"{', '.join((c.get('calls') or [])[:8])})")
        line = (t.get("lines") or {}).get("start")
        if line:
            print(f"     defined {t['file_path']}:{line}: {source(t['file_path'])[line - 1].strip()}")


def functions_naming_join(tree: SourceTree) -> int:
    """How many definitions (or modules' top-level code) of the tree write a call of
    `os.path.join`, `path.join` or a bare `join`: what callers of posixpath.py:join could be
    at most (a bare `join` may also be a local, or ntpath's own)."""
    spellings = {"os.path.join", "path.join", "join"}
    callers = set()

    def visit(node: ast.AST, scope: str) -> None:
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                for part in (*child.decorator_list, *getattr(child, "bases", ())):
                    visit(ast.Expression(part), scope)
                visit(child, f"{scope}.{child.name}")
                continue
            if isinstance(child, ast.Call) and ast.unparse(child.func) in spellings:
                callers.add(scope)
            visit(child, scope)

    for rel, full in tree.files.items():
        try:
            with open(full, "rb") as f:
                visit(ast.parse(f.read()), rel)
        except (OSError, SyntaxError, ValueError):
            continue
    return len(callers)


def measure_stdlib(sample: int = 0, seed: int = 0) -> None:
    root = sysconfig.get_paths()["stdlib"]
    builtin_names = set(dir(builtins))
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:  # build() writes in the background
        engine = corvanedb.PyMetadataEngine(ws)
        tree = scan_tree(root, STDLIB_SKIPPED)
        t0 = time.perf_counter()
        indexer = Indexer(engine, tree, ws, workers=None)
        report = indexer.run()
        total_s = time.perf_counter() - t0
        meta = engine.get_all_metadata()
        modules = {i: json.loads(m.get("extra_json") or "{}") for i, m in meta.items() if m["type"] == "Module"}
        facts = tree_pass.TreeFacts({p: e["summary"] for p, e in indexer.manifest_files.items() if e.get("summary")})
        names = resolved = nb_names = nb_resolved = own_names = own_resolved = 0
        classes = collections.Counter()
        for caller, m in meta.items():
            calls = m.get("calls") or []
            if not calls:
                continue
            context = modules.get(m["file_path"], {})
            qual = caller.partition(":")[2]
            scope_names, buckets = {}, {}
            scopes = ["", *(".".join(qual.split(".")[:k]) for k in range(1, qual.count(".") + 2))]
            for scope in scopes:
                for n, bucket in context.get("python_import_bindings", {}).get(scope, {}).items():
                    scope_names[n] = "imported"
                    buckets[n] = bucket if isinstance(bucket, list) else [bucket]
                for n in context.get("python_shadowed_names", {}).get(scope, []):
                    scope_names[n] = "local"
                    buckets.pop(n, None)
            for name in calls:
                # A name resolved to the caller itself counts 0, like in resolve_and_connect_calls.
                ok = engine.resolve_and_connect_calls(caller, [name]) > 0
                names += 1
                resolved += ok
                head = name.split(".")[0]
                if head not in builtin_names:
                    nb_names += 1
                    nb_resolved += ok
                    if not ok:
                        classes[unresolved_class(name, scope_names)] += 1
                    nested = any(f"{m['file_path']}:{scope}.{name}" in meta for scope in scopes[1:])
                    if nested or scope_names.get(head) == "local" or not from_compiled(
                            facts, m["file_path"], name, buckets.get(head)):
                        own_names += 1
                        own_resolved += ok
        join_callers = engine.get_callers("posixpath.py:join") if engine.contains("posixpath.py:join") else []
        edges = call_edges(engine, meta) if sample else []
    print(f"standard library: {report.files_parsed} files, {len(meta)} nodes")
    print(f"call names resolved: {resolved}/{names} = {resolved / names:.1%}; "
          f"not builtins: {nb_resolved}/{nb_names} = {nb_resolved / nb_names:.1%}")
    print(f"  extra view: also without calls into modules with no source in the tree (C modules): "
          f"{own_resolved}/{own_names} = {own_resolved / own_names:.1%}")
    print("largest classes of unresolved (non-builtin) names:")
    for cls, n in classes.most_common(10):
        print(f"  {n:>6}  {cls}")
    print(f"callers of posixpath.py:join: {len(join_callers)} (definitions that write a call of "
          f"os.path.join, path.join or join: {functions_naming_join(tree)})")
    print(f"indexing time: {total_s:.2f} s")
    rest = sum(s for p, s in report.phases.items() if p != "tree")
    for phase, s in report.phases.items():
        print(f"  {phase:<12} {s:7.2f} s")
    if "tree" in report.phases:
        print(f"whole-tree pass / rest of indexing: {report.phases['tree'] / rest:.3f}")
    if sample:
        print_sample(root, meta, edges, sample, seed)


def measure_tree(root: str) -> None:
    """Any tree (a package from PyPI, say): the share of the call names whose head is not a
    builtin that resolve, and the call edges among its definitions."""
    builtin_names = set(dir(builtins))
    with tempfile.TemporaryDirectory(ignore_cleanup_errors=True) as ws:
        engine = corvanedb.PyMetadataEngine(ws)
        Indexer(engine, scan_tree(root), ws, workers=None).run()
        meta = engine.get_all_metadata()
        names = resolved = 0
        for caller, m in meta.items():
            for name in m.get("calls") or ():
                if name.split(".")[0] not in builtin_names:
                    names += 1
                    resolved += engine.resolve_and_connect_calls(caller, [name]) > 0
        edges = call_edges(engine, meta)
    print(f"{root}: {len(meta)} nodes; call names whose head is not a builtin resolved: "
          f"{resolved}/{names} = {resolved / max(names, 1):.1%}; call edges among its functions: {len(edges)}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("suite", nargs="?", default=DEFAULT_SUITE)
    parser.add_argument("--stdlib", action="store_true", help="also measure the standard library")
    parser.add_argument("--misses", action="store_true", help="list every wrong and every missed edge")
    parser.add_argument("--baseline", metavar="REV", help="with --stdlib: time the indexer of REV against this one")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each indexer for --baseline")
    parser.add_argument("--sample", type=int, default=0, metavar="N",
                        help="with --stdlib: print N random resolved call edges to check by hand")
    parser.add_argument("--seed", type=int, default=0, help="random seed of --sample")
    parser.add_argument("--tree", action="append", default=[], metavar="DIR",
                        help="also measure the tree at DIR (a package's own folder); may be repeated")
    args = parser.parse_args(argv)
    suite = os.path.normpath(args.suite)
    if os.path.isdir(os.path.join(suite, "cases")):
        print(f"call-graph suite: {os.path.relpath(suite, REPO)}")
        score_suite(suite, args.misses)
    else:
        print(f"call-graph suite not found at {os.path.relpath(suite, REPO)}: suite not scored")
    if args.stdlib:
        print()
        measure_stdlib(args.sample, args.seed)
        if args.baseline:
            compare_with_baseline(args.baseline, args.repeat)
    for root in args.tree:
        print()
        measure_tree(root)
    return 0


if __name__ == "__main__":
    sys.exit(main())
