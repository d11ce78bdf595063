"""Incremental runs of the indexer equal fresh ones, also when one module's meaning depends on
others (re-exports, star imports, return annotations, base classes, a package moving into a src
folder): random edit sequences over a two-package tree, compared after every step on node
records and every edge."""

import importlib.util
import json
import os
import random
import shutil
import sys

import pytest

import corvanedb
from corvane_index import MANIFEST_NAME, Indexer, index_tree, scan_tree
from corvane_index import indexer as indexer_module

MODULES = ["p0/__init__", "p0/m0", "p0/m1", "p1/__init__", "p1/m0", "p1/m1"]
FUNCS = ["f0", "f1", "f2", "f3"]
CLASSES = ["C0", "C1", "C2"]
# A standard library module this interpreter cannot import (one for another platform).
MISSING_HERE = next(n for n in sorted(sys.stdlib_module_names) if importlib.util.find_spec(n) is None)
METHODS = ["run", "go", "__init__", "__iter__", "__next__", "__enter__", "__exit__"]


def dotted(module):
    return module.replace("/__init__", "").replace("/", ".")


def package(module):
    return module.split("/")[0]


class Tree:
    """A model of the tree's modules that renders to source."""

    def __init__(self, rng, seed=0):
        self.rng = rng
        # Whether p1 lives in a src folder ("src layout"); toggled by draws of its own, so the
        # other edits of a seed stay what they were.
        self.layout_rng = random.Random(seed * 7 + 1)
        self.src_layout = False
        # Returns added to some methods by draws of their own, for the same reason: a getter
        # of an attribute, a new instance made without __init__.
        self.extra_rng = random.Random(seed * 11 + 3)
        self.modules = {m: self.new_module(m) for m in MODULES}

    # ---- random pieces ---------------------------------------------------------------

    def name(self):
        return self.rng.choice(FUNCS + CLASSES)

    def import_line(self, module):
        r, rng = self.rng.random(), self.rng
        other = rng.choice(MODULES)
        if r < 0.35:
            return f"from {dotted(other)} import {self.name()}"
        if r < 0.5:
            return f"from .{rng.choice(['m0', 'm1'])} import {self.name()}"
        if r < 0.65:
            return f"import {dotted(other)} as q{rng.randrange(2)}"
        if r < 0.8:
            return f"from {dotted(rng.choice(MODULES))} import *"
        if r < 0.83:
            return f"import {MISSING_HERE}"  # the module runs on another platform only
        if r < 0.9:
            return f"from . import {rng.choice(['m0', 'm1'])}"
        return f"{self.name().lower()}_alias = {self.name()}"

    def statement(self, in_method):
        rng = self.rng
        c, f, m = rng.choice(CLASSES), rng.choice(FUNCS), rng.choice(METHODS)
        choices = [
            f"{self.name()}()",
            f"q{rng.randrange(2)}.{self.name()}()",
            f"q{rng.randrange(2)}.{c}.{m}(None)",
            f"m{rng.randrange(2)}.{self.name()}()",
            f"x = {c}()\nx.{m}()",
            f"u = {c}()\nu = {rng.choice(CLASSES)}()\nu.{m}()",  # a method several classes share
            f"y = {f}()\ny.{m}()",
            f"{c}().{m}()",
            f"{c}.{m}(None)",  # a method the class may inherit
            f"{c}.again(None)",  # an alias of a method, maybe inherited
            f"with {c}() as w:\n    w.{m}()",
            f"for i in {c}():\n    pass",
            f"z = {c}()\nfor i in z:\n    pass",  # special methods kept only where a class defines them
            f"raise {c}",
            f"{self.name().lower()}_alias()",
            f"a = {f}\na()",
            f"{f}({rng.choice(FUNCS)})",  # a function passed on: parameter flows
            "cb()",
            f"x = {c}()\nr = x.{m}()\nr.{rng.choice(METHODS)}()",  # a method's result
            f"x = {c}()\nx.attr.{m}()",  # an attribute's class
            f"for it in {f}():\n    it.{m}()",  # the items of a result
            f"v = {c}() if cb else None\nv.{m}()",
            f"with {c}().{m}() as e:\n    e.{rng.choice(METHODS)}()",  # entering a method's result
            f"x = {c}()\ny = x.{m}",  # a property's read, if it is one
        ]
        if in_method:
            choices += [f"self.{m}()", f"self.attr.{m}()", f"super().{m}()", f"self.attr = {c}()", f"self.{m} = {f}",
                        "self.again()", "return self", f"return {c}()", f"y = self.{m}",
                        "self.step()",  # defined by some classes only: a subclass's, maybe
                        "raise NotImplementedError"]  # alone: a method no instance runs
        return rng.choice(choices)

    def body(self, in_method):
        body = [self.statement(in_method) for _ in range(self.rng.randrange(1, 4))]
        if self.extra_rng.random() < 0.3:
            body.append(self.extra_statement(in_method))
        return body

    def extra_statement(self, in_method):
        """Drawn apart, like the layout: later forms leave the other draws of a seed alone."""
        rng = self.extra_rng
        c, f, m = rng.choice(CLASSES), rng.choice(FUNCS), rng.choice(METHODS)
        choices = [
            f"(w := {c}())\nw.{m}()",
            f"import functools\np = functools.partial({f}, 1)\np()",
            f"try:\n    pass\nexcept {c} as ex:\n    ex.{m}()",
            f"{c}().again().{m}()",  # a chain of results
            f"t, n = {f}()\nt.{m}()",  # a place of a returned tuple
            f"def inner(q):\n    q.{m}()\ninner({c}())",  # a parameter every call fills with one class
            f"def inner(q: {c}):\n    q.{m}()\n    q = {f}()\n    q.{m}()\ninner({c}())",  # annotated, bound again
        ]
        if in_method:
            choices.append(f"self.h = self.{m}\nself.h()")
        return rng.choice(choices)

    def function(self):
        made = [f"return {self.rng.choice(CLASSES)}()"] if self.rng.random() < 0.5 else []  # typed result
        if self.extra_rng.random() < 0.3:
            made.append(f"return {self.extra_rng.choice(CLASSES)}(), 1")  # a tuple
        return {"kind": "def", "name": self.rng.choice(FUNCS), "returns": self.rng.choice([None, *CLASSES]),
                "body": self.body(False) + made}

    def klass(self):
        methods = {m: self.body(True) for m in self.rng.sample(METHODS, self.rng.randrange(1, 4))}
        for body in methods.values():
            if self.extra_rng.random() < 0.3:
                body.append(self.extra_rng.choice(["return self.attr", f"return object.__new__({self.extra_rng.choice(CLASSES)})"]))
        return {"kind": "class", "name": self.rng.choice(CLASSES), "base": self.rng.choice([None, None, *CLASSES, "q0.C1"]),
                "methods": methods, "attr": self.rng.choice([None, *CLASSES]), "alias": self.rng.choice(METHODS),
                "items": self.rng.choice([None, *CLASSES]), "property": self.rng.choice([None, *METHODS]),
                "step": self.rng.random() < 0.4, "base2": self.extra_rng.choice([None, None, None, *CLASSES])}

    def new_module(self, module):
        rng = self.rng
        return {
            "imports": [self.import_line(module) for _ in range(rng.randrange(0, 4))],
            "all": None if rng.random() < 0.6 else rng.sample(FUNCS + CLASSES, 2),
            "defs": [self.function() if rng.random() < 0.6 else self.klass() for _ in range(rng.randrange(1, 4))],
            "tail": self.body(False),
        }

    # ---- rendering ---------------------------------------------------------------------

    @staticmethod
    def indent(lines, depth):
        pad = "    " * depth
        return [pad + line for stmt in lines for line in stmt.split("\n")]

    def render(self, model):
        out = [line for line in model["imports"]]
        if model["all"] is not None:
            out.append(f"__all__ = {model['all']!r}")
        for d in model["defs"]:
            if d["kind"] == "def":
                ret = f" -> {d['returns']}" if d["returns"] else ""
                out.append(f"def {d['name']}(cb=None){ret}:")
                out += self.indent(d["body"], 1)
            else:
                bases = [b for b in (d["base"], d.get("base2")) if b]
                out.append(f"class {d['name']}({', '.join(bases)}):")
                if d["attr"]:
                    out.append(f"    attr: {d['attr']}")
                for m, body in d["methods"].items():
                    items = f" -> 'Iterator[{d['items']}]'" if m == "__iter__" and d.get("items") else ""
                    if m == d.get("property"):
                        out.append("    @property")
                    out.append(f"    def {m}(self, *args){items}:")
                    out += self.indent(body, 2)
                if d.get("step"):
                    out += ["    def step(self):", "        pass"]
                if d.get("alias") in d["methods"]:
                    out.append(f"    again = {d['alias']}")
        out += model["tail"]
        if model.get("broken"):
            out.append("def broken(:")
        return "\n".join(out) + "\n"

    def write(self, root):
        if os.path.isdir(root):
            shutil.rmtree(root)
        for module, model in self.modules.items():
            folder = "src/" if self.src_layout and package(module) == "p1" else ""
            path = os.path.join(root, folder + module + ".py")
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(self.render(model))

    # ---- edits -------------------------------------------------------------------------

    def edit(self):
        if self.layout_rng.random() < 0.15:
            self.src_layout = not self.src_layout  # the package moves into src/ or out of it
            return
        rng = self.rng
        module = rng.choice(sorted(self.modules))
        model = self.modules[module]
        kind = rng.choice(["body", "rename", "delete", "create", "move", "all", "returns", "base", "imports", "syntax"])
        defs = model["defs"]
        if kind == "body" and defs:
            d = rng.choice(defs)
            if d["kind"] == "def":
                d["body"] = self.body(False)
            else:
                d["methods"][rng.choice(sorted(d["methods"]))] = self.body(True)
        elif kind == "rename" and defs:
            d = rng.choice(defs)
            d["name"] = rng.choice(FUNCS if d["kind"] == "def" else CLASSES)
        elif kind == "delete" and len(self.modules) > 2:
            del self.modules[module]
        elif kind == "create":
            missing = [m for m in MODULES if m not in self.modules]
            target = rng.choice(missing) if missing else module
            self.modules[target] = self.new_module(target)
        elif kind == "move" and defs:
            # A definition moves to a sibling module and stays reachable through a re-export.
            siblings = [m for m in self.modules if package(m) == package(module) and m != module
                        and not m.endswith("__init__")]
            if siblings:
                d = defs.pop(rng.randrange(len(defs)))
                dest = rng.choice(siblings)
                self.modules[dest]["defs"].append(d)
                model["imports"].append(f"from .{dest.split('/')[1]} import {d['name']}")
        elif kind == "syntax":
            model["broken"] = not model.get("broken")  # the module stops parsing, or parses again
        elif kind == "all":
            model["all"] = None if model["all"] is not None else rng.sample(FUNCS + CLASSES, 2)
        elif kind == "returns":
            for d in defs:
                if d["kind"] == "def":
                    d["returns"] = rng.choice([None, *CLASSES])
        elif kind == "base":
            for d in defs:
                if d["kind"] == "class":
                    d["base"] = rng.choice([None, *CLASSES, "q0.C1"])
                    d["attr"] = rng.choice([None, *CLASSES])
                    d["items"] = rng.choice([None, *CLASSES])
        else:
            model["imports"] = [self.import_line(module) for _ in range(rng.randrange(0, 4))]


def run_index(root, workspace):
    engine = corvanedb.PyMetadataEngine(str(workspace))
    indexer = Indexer(engine, scan_tree(str(root)), str(workspace))
    report = indexer.run()
    engine.save()
    indexer.write_manifest()
    return engine, report


def graph(engine):
    meta = engine.get_all_metadata()
    edges = {i: (sorted(engine.get_callees(i)), sorted(engine.get_dependencies(i))) for i in meta}
    return meta, edges


# CORVANE_TREE_SEEDS=N runs N sequences instead of 6 (a deeper search after a change to the passes).
@pytest.mark.parametrize("seed", [*range(int(os.environ.get("CORVANE_TREE_SEEDS", 6))), 102, 131])
def test_incremental_index_equals_fresh_index_over_random_edits(tmp_path, seed):
    rng = random.Random(seed)
    tree = Tree(rng, seed)
    root = tmp_path / "src"
    tree.write(root)
    run_index(root, tmp_path / "ws")
    modes = set()
    for step in range(20):
        tree.edit()
        tree.write(root)
        incremental, report = run_index(root, tmp_path / "ws")
        modes.add(report.mode)
        fresh, _ = run_index(root, tmp_path / f"fresh{step}")
        got, want = graph(incremental), graph(fresh)
        assert got[0] == want[0], f"seed {seed} step {step}: node records differ"
        assert got[1] == want[1], f"seed {seed} step {step}: edges differ"
        del incremental, fresh
    assert modes == {"incremental"}


def test_parsing_and_linking_in_worker_processes_give_the_serial_records(tmp_path):
    # importlib hands functions to map and sorted, which the extract records as calls.
    tree = scan_tree(os.path.join(os.path.dirname(os.__file__), "importlib"))
    runs = []
    for workers in (1, 2, 3):
        workspace = tmp_path / f"ws{workers}"
        engine = corvanedb.PyMetadataEngine(str(workspace))
        steps = {"parse": [], "link": []}
        indexer = Indexer(engine, tree, str(workspace), workers=workers,
                          on_step=lambda phase, done, total: steps.get(phase, []).append((done, total)))
        assert indexer.run().files_parsed == len(tree.files)
        # Progress counts every file once, in whatever order the processes finish them.
        for phase in steps.values():
            assert [done for done, _ in phase] == list(range(1, len(tree.files) + 1))
            assert phase[-1] == (len(tree.files), len(tree.files))
        runs.append((list(indexer.manifest_files.items()), graph(engine)))
    assert runs[0] == runs[1] == runs[2]


def test_a_module_that_changes_relinks_only_the_modules_that_read_what_changed(tmp_path):
    root = tmp_path / "src"
    files = {
        "hub.py": "def join(a, b):\n    return a\n\ndef split(a):\n    return a\n\nclass Box:\n    def put(self):\n        pass\n",
        "uses_join.py": "from hub import join\n\ndef f():\n    join(1, 2)\n",
        "uses_box.py": "import hub\n\ndef g(b: hub.Box):\n    b.put()\n",
        "star.py": "from hub import *\n\ndef h():\n    split(1)\n",
        "other.py": "def k():\n    pass\n",
    }

    def write(**changes):
        files.update(changes)
        for rel, src in files.items():
            (root / rel).parent.mkdir(parents=True, exist_ok=True)
            (root / rel).write_text(src)

    def dependents_after(**changes):
        write(**changes)
        engine, report = run_index(root, tmp_path / "ws")
        fresh, _ = run_index(root, tmp_path / f"fresh{len(seen)}")
        seen.append(report)
        assert graph(engine) == graph(fresh)
        return report.dependents

    seen = []
    write()
    run_index(root, tmp_path / "ws")
    hub = files["hub.py"] + "\ndef extra():\n    pass\n"
    # A new function: only the star import reads the whole list of names.
    assert dependents_after(**{"hub.py": hub}) == ["star.py"]
    # A body edit changes no summary: nothing else is linked again.
    assert dependents_after(**{"hub.py": hub.replace("    return a\n\ndef split", "    return b\n\ndef split")}) == []
    # The class gains a method: whoever read the class (the star import read only names).
    hub += "\nclass Box:\n    def put(self):\n        pass\n\n    def take(self):\n        pass\n"
    assert dependents_after(**{"hub.py": hub}) == ["uses_box.py"]
    # join becomes a class: its importer and the star import.
    assert dependents_after(**{"hub.py": hub.replace("def join(a, b):\n    return a", "class join:\n    pass")}) \
        == ["star.py", "uses_join.py"]
    # A module that no longer parses is no module for its importers, and is one again once fixed.
    assert dependents_after(**{"hub.py": hub + "def broken(:\n"}) == ["star.py", "uses_box.py", "uses_join.py"]
    assert dependents_after(**{"hub.py": hub}) == ["star.py", "uses_box.py", "uses_join.py"]


def test_a_kept_engine_reads_the_manifest_on_disk_and_writes_each_entry_as_it_stands(tmp_path):
    # A kept engine's runs keep the manifest they wrote in memory and encode again only the
    # entries that changed: what they write must parse to what they hold, and a manifest
    # replaced on disk in between must be read again.
    root, ws = tmp_path / "src", tmp_path / "ws"
    root.mkdir()
    (root / "hub.py").write_text("def join(a, b):\n    return a\n")
    (root / "use.py").write_text("from hub import join\n\ndef f():\n    join(1, 2)\n")
    result = index_tree(str(root), str(ws))
    manifest = ws / MANIFEST_NAME
    assert indexer_module._last_manifest.last is None  # a run with an engine of its own keeps nothing

    def kept_run():
        report = index_tree(str(root), str(ws), engine=result.engine).report
        assert json.loads(manifest.read_text()) == Indexer(result.engine, scan_tree(str(root)), str(ws)).load_manifest()
        return report

    (root / "hub.py").write_text("class join:\n    pass\n")  # use.py read join: linked again
    report = kept_run()
    assert (report.mode, report.changed, report.dependents) == ("incremental", ["hub.py"], ["use.py"])
    stale = manifest.read_text()
    (root / "other.py").write_text("def k():\n    pass\n")
    assert kept_run().added == ["other.py"]
    # Another writer puts back a manifest that no longer describes the snapshot's tree.
    manifest.write_text(stale.replace('"extractor_version": ', '"extractor_version": -1, "old": '))
    assert kept_run().mode == "full"
    assert sorted(json.loads(manifest.read_text())["files"]) == ["hub.py", "other.py", "use.py"]


def test_a_manifest_read_keeps_each_entry_text_and_means_what_json_means():
    from corvane_index.indexer import _object_with_entry_texts as read

    good = ['{"files": {"a.py": {"deps": ["b.py"], "size": 3}, "b\\u00e9.py": {}}, "root": "/x"}',
            ' { "root" : "/x" , "files" : { } } ', '{"files": [1]}', '{"files": {"a": 1}, "files": {"b": 2}}']
    for text in good:
        data, texts = read(text, "files")
        assert data == json.loads(text)
        files = data["files"] if isinstance(data["files"], dict) else {}
        assert {k: (v, json.loads(t)) for k, (v, t) in texts.items()} == {k: (v, v) for k, v in files.items()}
        assert all(files[k] is v for k, (v, _) in texts.items())
    assert read("[1]", "files") is None and read("", "files") is None
    for text in ['{"files": {"a": 1,}}', '{"a": 1} x', '{"a" 1}', '{"files": {"a": 1}']:
        with pytest.raises(ValueError):
            json.loads(text)
        with pytest.raises(ValueError):
            read(text, "files")


def test_a_method_only_subclasses_define_follows_them_as_they_come_and_go(tmp_path):
    root = tmp_path / "src"
    base = "class Base:\n    def handle(self):\n        self.step()\n"
    files = {"base.py": base, "other.py": "def k():\n    pass\n"}
    one = "from base import Base\n\nclass One(Base):\n    def step(self):\n        pass\n"
    two = "import base\n\nclass Two(base.Base):\n    def step(self):\n        pass\n"
    seen = []

    def handle_after(changes, gone=()):
        files.update(changes)
        for rel in gone:
            files.pop(rel)
            (root / rel).unlink()
        for rel, src in files.items():
            (root / rel).parent.mkdir(parents=True, exist_ok=True)
            (root / rel).write_text(src)
        engine, report = run_index(root, tmp_path / "ws")
        fresh, _ = run_index(root, tmp_path / f"fresh{len(seen)}")
        seen.append(report)
        assert graph(engine) == graph(fresh)
        return sorted(engine.get_callees("base.py:Base.handle")), report.dependents

    handle_after({})
    # The one subclass that defines it runs it; a second one with its own makes two targets.
    assert handle_after({"one.py": one})[0] == ["one.py:One.step"]
    assert handle_after({"two.py": two})[0] == []
    # Two's step goes (a subclass without it never runs it), then Two stops deriving from Base.
    callees, dependents = handle_after({"two.py": two.replace("def step", "def other")})
    assert callees == ["one.py:One.step"] and dependents == ["base.py"]
    assert handle_after({"two.py": two.replace("def step", "def other").replace("(base.Base)", "")})[0] == ["one.py:One.step"]
    assert handle_after({}, gone=["one.py"])[0] == []
    # An edit that touches no class links base.py again for nothing.
    assert handle_after({"other.py": "def k():\n    return 1\n"})[1] == []
