"""The indexer (corvane_index): records, ids, resolution as read, incremental runs."""

import ast
import json
import os
import random
import sysconfig
import textwrap

import corvanedb
from corvane_index import Indexer, extract_source, scan_tree

STDLIB = sysconfig.get_paths()["stdlib"]


def extract(src, path="pkg/mod.py"):
    return extract_source(path, textwrap.dedent(src))


def nodes_by_id(ex):
    return {n["node_id"]: n for n in ex.nodes}


def scope_data(ex):
    return json.loads(nodes_by_id(ex)[ex.path]["extra_json"])


def write_tree(root, files):
    for rel, src in files.items():
        full = root / rel
        full.parent.mkdir(parents=True, exist_ok=True)
        full.write_text(textwrap.dedent(src))


# ---- records and ids --------------------------------------------------------------


def test_ids_and_function_fields():
    ex = extract('''
        """Module doc."""
        class Svc(Base, mod.Mixin, Generic[T]):
            """Service."""
            @staticmethod
            def util(a, b=1, *args, c, **kw) -> int:
                return 1

            async def fetch(self):
                def inner():
                    yield 1
                await inner()

        def gen():
            yield from range(3)
    ''')
    nodes = nodes_by_id(ex)
    assert ex.nodes[0] == {"node_id": "file:pkg/mod.py", "node_type": "File", "name": "mod.py",
                           "file_path": "pkg/mod.py"}
    module = nodes["pkg/mod.py"]
    assert (module["node_type"], module["name"], module["docstring"]) == ("Module", "pkg.mod", "Module doc.")
    assert set(nodes) == {"file:pkg/mod.py", "pkg/mod.py", "pkg/mod.py:<module>", "pkg/mod.py:Svc",
                          "pkg/mod.py:Svc.util", "pkg/mod.py:Svc.fetch", "pkg/mod.py:Svc.fetch.inner",
                          "pkg/mod.py:gen"}
    code = nodes["pkg/mod.py:<module>"]
    assert (code["node_type"], code["name"], code["lines_start"], code["lines_end"]) == ("Function", "<module>", 1, 15)
    assert all(n["file_path"] == "pkg/mod.py" for n in ex.nodes)

    svc = nodes["pkg/mod.py:Svc"]
    assert svc["node_type"] == "Class" and svc["docstring"] == "Service."
    assert json.loads(svc["extra_json"])["base_classes"] == ["Base", "mod.Mixin", "Generic"]

    util = nodes["pkg/mod.py:Svc.util"]
    assert util["signature"] == "def util(a, b=1, *args, c, **kw) -> int"
    assert (util["param_count"], util["returns"], util["is_async"], util["is_generator"]) == (5, ["int"], False, False)
    assert json.loads(util["extra_json"]) == {"decorators": ["@staticmethod"]}
    assert (util["lines_start"], util["lines_end"]) == (5, 7)

    fetch, inner = nodes["pkg/mod.py:Svc.fetch"], nodes["pkg/mod.py:Svc.fetch.inner"]
    # The yield belongs to inner, not to the async method that defines it.
    assert (fetch["is_async"], fetch["is_generator"], inner["is_generator"]) == (True, False, True)
    assert nodes["pkg/mod.py:gen"]["is_generator"] is True

    assert ("file:pkg/mod.py", "pkg/mod.py") in ex.structural
    assert ("pkg/mod.py", "pkg/mod.py:<module>") in ex.structural
    assert ("pkg/mod.py", "pkg/mod.py:Svc") in ex.structural
    assert ("pkg/mod.py:Svc", "pkg/mod.py:Svc.fetch") in ex.structural
    assert ("pkg/mod.py:Svc.fetch", "pkg/mod.py:Svc.fetch.inner") in ex.structural


def test_repeated_definition_is_one_node_with_both_bodies_calls():
    ex = extract('''
        class C:
            @property
            def x(self):
                return get()
            @x.setter
            def x(self, v):
                put(v)
    ''')
    ids = [n["node_id"] for n in ex.nodes]
    assert ids.count("pkg/mod.py:C.x") == 1
    assert dict(ex.callers)["pkg/mod.py:C.x"] == ["get", "put"]


def test_unparsable_file_yields_only_its_file_node():
    ex = extract_source("bad.py", b"def f(:\n")
    assert ex.error and ex.error.startswith("SyntaxError")
    assert [n["node_type"] for n in ex.nodes] == ["File"]
    # Source too deeply nested for the parser: it raises MemoryError, which must not end the
    # indexing of the other files.
    for source in ("x = " + "lambda: " * 3000 + "1\n", "x = 1\x00\n"):
        ex = extract_source("deep.py", source.encode())
        assert ex.error and [n["node_type"] for n in ex.nodes] == ["File"]
    # A chain of attributes as long as some parsers take (3.10 does): each attribute once.
    ex = extract_source("chain.py", ("def f():\n    return a" + ".b" * 100000 + ".c()\n").encode())
    assert ex.nodes[0]["node_type"] == "File"


# ---- call names -------------------------------------------------------------------


def test_call_name_forms_and_where_calls_belong():
    ex = extract('''
        import helpers

        @register("x")
        def view(request, cb=default_cb()):
            compute()
            self_like.save()
            helpers.f()
            Order.objects.create(a=1)
            fn()()           # the outer call has no name
            items[0]()       # nor has this one
            data = [norm(x) for x in request]
            key = lambda v: score(v)
            def nested():
                deep()

        class Model(Base):
            def save(self):
                super().save()
                super(Model, self).clean()
                self.repo.get(1)
                cls_helper = self.validate()
    ''')
    calls = dict(ex.callers)
    assert calls["pkg/mod.py:view"] == ["compute", "self_like.save", "helpers.f", "Order.objects.create",
                                        "fn", "norm", "score"]
    assert calls["pkg/mod.py:view.nested"] == ["deep"]
    # Decorators and defaults run where the function is defined: in the module's code.
    assert calls["pkg/mod.py:<module>"] == ["register", "default_cb"]
    assert calls["pkg/mod.py:Model.save"] == ["super.save", "super.clean", "self.repo.get", "self.validate"]


# ---- import bindings ----------------------------------------------------------------


def test_import_bindings():
    ex = extract('''
        from __future__ import annotations
        import a.b as m
        import a.b.c
        from a.b import c as d
        from x import *
        from . import sib
        from .. import top
        from .sub.mod import thing
        def f():
            import json
    ''', path="pkg/inner/mod.py")
    b = scope_data(ex)["python_import_bindings"]
    assert b[""]["m"] == {"module": "a/b", "kind": "module", "qualifier": "m"}
    # `import a.b.c` binds `a`; each qualifier covers one dotted prefix.
    assert b[""]["a"] == [
        {"module": "a/b/c", "kind": "module", "qualifier": "a.b.c"},
        {"module": "a/b", "kind": "module", "qualifier": "a.b"},
        {"module": "a", "kind": "module", "qualifier": "a"},
    ]
    assert b[""]["d"] == {"module": "a/b", "symbol": "c", "kind": "symbol"}
    assert b[""]["sib"] == {"module": "pkg/inner", "symbol": "sib", "kind": "symbol"}
    assert b[""]["top"] == {"module": "pkg", "symbol": "top", "kind": "symbol"}
    assert b[""]["thing"] == {"module": "pkg/inner/sub/mod", "symbol": "thing", "kind": "symbol"}
    assert "annotations" not in b[""] and "*" not in b[""]
    assert b["f"] == {"json": {"module": "json", "kind": "module", "qualifier": "json"}}


def test_relative_imports_in_a_package_init_and_beyond_the_root():
    b = scope_data(extract("from .core import run\n", path="pkg/__init__.py"))["python_import_bindings"]
    assert b[""]["run"] == {"module": "pkg/core", "symbol": "run", "kind": "symbol"}

    data = scope_data(extract("from ... import far\n", path="pkg/mod.py"))
    # Bound, but to something outside the tree: shadowed, so nothing guesses a target.
    assert "far" not in data["python_import_bindings"].get("", {})
    assert data["python_shadowed_names"][""] == ["far"]


# ---- receiver types -------------------------------------------------------------------


def test_receiver_types():
    data = scope_data(extract('''
        from models import Repo
        client = Client()

        class Svc:
            objects = Manager()
            def __init__(self, repo: Repo, name, cache: "Optional[Cache]" = None):
                self.repo = repo
                self.cache = cache
                self.other = Other()
                self.maybe = None
                self.mixed = A()
                if name:
                    self.mixed = B()
            def handle(self, user: Optional[User], n: int | None):
                local = Thing()
                again = Thing()
                again = Other()
                looped = Thing()
                for looped in range(3):
                    pass
            @classmethod
            def make(cls):
                inst = cls()
                return inst
    '''))
    r = data["python_receiver_types"]
    assert r[""] == {"client": "Client"}
    assert r["Svc"] == {"self.objects": "Manager", "self.repo": "Repo", "self.cache": "Cache",
                        "self.other": "Other", "self.mixed": None}
    assert r["Svc.__init__"] == {"repo": "Repo", "cache": "Cache"}
    # A conflict is kept as JSON null, so resolution stops instead of looking further out.
    assert r["Svc.handle"] == {"user": "User", "n": "int", "local": "Thing", "again": None, "looped": None}
    assert r["Svc.make"] == {"inst": "Svc"}


def test_annotation_forms_that_name_one_class():
    from corvane_index.python_file import annotation_type, element_type

    def read(text, how):
        return how(ast.parse(text, mode="eval").body)

    classes = {"Foo": "Foo", "'m.Foo'": "m.Foo", "Optional[Foo]": "Foo", "t.Optional['Foo']": "Foo",
               "Union[Foo, None]": "Foo", "typing.Union[None, m.Foo]": "m.Foo", "'Foo | None'": "Foo",
               "Final[Foo]": "Foo", "ClassVar[Optional[Foo]]": "Foo", "Annotated[Foo, 'doc']": "Foo",
               "Union[Foo, Bar]": None, "Foo | Bar": None, "Union[Foo, Bar, None]": None, "list[Foo]": None}
    assert {text: read(text, annotation_type) for text in classes} == classes
    items = {"list[Foo]": "Foo", "t.Optional[list[Foo]]": "Foo", "Union[None, Sequence['Foo']]": "Foo",
             "Final[tuple[Foo, ...]]": "Foo", "Union[list[Foo], list[Bar]]": None, "Foo": None}
    assert {text: read(text, element_type) for text in items} == items


# ---- shadowing --------------------------------------------------------------------------


def test_shadowed_names():
    data = scope_data(extract('''
        import json
        from util import helper
        try:
            import fast
        except ImportError:
            fast = None

        def top():
            pass

        counter = 0

        def f(json, other):
            helper = 1
            top = 2
            fresh = 3
            for counter in range(2):
                pass

        def g():
            global counter
            counter = 1
            json.dumps(1)

        def outer(x):
            def inner():
                x.run()
                json = None
            return inner
    '''))
    s = data["python_shadowed_names"]
    assert s[""] == ["fast"]
    assert s["f"] == ["counter", "helper", "json", "top"]
    assert "g" not in s
    # A closure sees the outer function's locals; its own `json` hides the import.
    assert s["outer.inner"] == ["json"]


# ---- Django relations --------------------------------------------------------------------


def test_django_relations():
    ex = extract('''
        class Order(models.Model):
            customer = models.ForeignKey("shop.Customer", on_delete=models.CASCADE)
            tags = ManyToManyField(Tag)
            owner = models.OneToOneField(to=auth.User)
            parent = models.ForeignKey("self", null=True)
            title = models.CharField(max_length=10)
            note: str = models.TextField()

        class Plain:
            pass
    ''')
    assert [node for node, _ in ex.django] == ["pkg/mod.py:Order"]
    relations = json.loads(ex.django[0][1])
    assert relations == [
        {"field": "customer", "type": "ForeignKey", "related_model": "Customer"},
        {"field": "tags", "type": "ManyToManyField", "related_model": "Tag"},
        {"field": "owner", "type": "OneToOneField", "related_model": "User"},
        {"field": "parent", "type": "ForeignKey", "related_model": "Order"},
    ]
    assert nodes_by_id(ex)["pkg/mod.py:Order"]["django_relations_json"] == ex.django[0][1]


# ---- generator detection against a plain walk ------------------------------------------------


def _is_generator_plain(fn):
    """Oracle: a yield anywhere in the function's own body, outside nested scopes."""
    stack = list(fn.body)
    while stack:
        n = stack.pop()
        if isinstance(n, (ast.Yield, ast.YieldFrom)):
            return True
        if not isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
            stack.extend(ast.iter_child_nodes(n))
    return False


def test_generator_flags_agree_with_plain_walk_on_stdlib_files():
    paths = sorted(scan_tree(STDLIB, {"site-packages", "test", "tests", "idle_test"}).files.items())
    for rel, full in random.Random(7).sample(paths, 40):
        with open(full, "rb") as f:
            source = f.read()
        tree = ast.parse(source)
        expected = {}

        def walk(body, qual):
            for st in body:
                if isinstance(st, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                    q = f"{qual}.{st.name}" if qual else st.name
                    if not isinstance(st, ast.ClassDef):
                        # Repeated definitions merge: a generator if any body is one.
                        expected[q] = expected.get(q, False) or _is_generator_plain(st)
                    walk(st.body, q)
                else:
                    for child in ast.iter_child_nodes(st):
                        if isinstance(child, ast.stmt):
                            walk([child], qual)
                        elif hasattr(child, "body") and isinstance(child.body, list):
                            walk(child.body, qual)

        walk(tree.body, "")
        got = {n["node_id"].split(":", 1)[1]: n["is_generator"] for n in extract_source(rel, source).nodes
               if n["node_type"] == "Function" and n["name"] != "<module>" and not n["name"].startswith("<lambda")}
        assert got == expected, rel


# ---- tree scan ----------------------------------------------------------------------------


def test_scan_tree_prefixes_a_package_root_and_skips_folders(tmp_path):
    write_tree(tmp_path / "outer", {
        "pkg/__init__.py": "", "pkg/a.py": "", "pkg/sub/b.py": "", "pkg/tests/t.py": "",
        "pkg/__pycache__/c.py": "", "pkg/.hidden/d.py": "", "pkg/notes.txt": "",
    })
    tree = scan_tree(str(tmp_path / "outer" / "pkg"), {"tests"})
    assert sorted(tree.files) == ["pkg/__init__.py", "pkg/a.py", "pkg/sub/b.py"]
    assert tree.root_folder == "pkg" and tree.folders == {"pkg", "pkg/sub"}
    assert sorted(tree.skipped_dirs) == ["pkg/.hidden", "pkg/tests"]


# ---- end to end with the engine --------------------------------------------------------------

PROJECT = {
    "app/__init__.py": '''
        def setup():
            return configure()

        def configure():
            return 1
    ''',
    "app/models.py": '''
        class Base:
            def save(self):
                return self.validate()

            def validate(self):
                return True


        class Repo(Base):
            def get(self, key):
                return lookup(key)


        def lookup(key):
            return key


        class Customer:
            pass


        class Order(Base):
            customer = ForeignKey("shop.Customer", on_delete=None)

            def save(self):
                super().save()
                return self.total()

            def total(self):
                return 0
    ''',
    "app/services.py": '''
        import app.models
        import app.models as m
        from .models import Repo, lookup as find
        from . import setup


        class Svc:
            def __init__(self, repo: Repo):
                self.repo = repo

            def handle(self, key):
                self.repo.get(key)
                find(key)
                app.models.lookup(key)
                self.helper()
                return setup()

            def helper(self):
                local = Repo()
                return local.get(1)


        def helper():
            return m.lookup(2)


        def shadowing(find):
            return find(1)


        def with_local():
            m = object()
            return m.lookup(1)
    ''',
    "app/sub/deep.py": '''
        from ..services import Svc


        def run():
            s = Svc(None)
            return s.handle(1)
    ''',
}


def index(root, workspace, **kw):
    engine = corvanedb.PyMetadataEngine(str(workspace))
    indexer = Indexer(engine, scan_tree(str(root)), str(workspace), **kw)
    report = indexer.run()
    engine.save()
    indexer.write_manifest()
    return engine, report


def test_small_project_resolves_as_read(tmp_path):
    write_tree(tmp_path / "src", PROJECT)
    engine, report = index(tmp_path / "src", tmp_path / "ws")
    assert report.mode == "full" and not report.parse_errors
    callees = lambda i: sorted(engine.get_callees(i))  # noqa: E731

    assert callees("app/services.py:Svc.handle") == sorted([
        "app/models.py:Repo.get",        # self.repo.get: receiver type from the annotated parameter
        "app/models.py:lookup",          # find (from-import alias) and app.models.lookup, one edge
        "app/services.py:Svc.helper",    # self.helper, not the module-level helper
        "app/__init__.py:setup",         # from . import setup
    ])
    assert callees("app/services.py:Svc.helper") == ["app/models.py:Repo", "app/models.py:Repo.get"]
    assert callees("app/services.py:helper") == ["app/models.py:lookup"]   # import ... as m
    assert callees("app/services.py:shadowing") == []                        # parameter hides the import
    assert callees("app/services.py:with_local") == []                       # local m hides the module
    assert callees("app/sub/deep.py:run") == ["app/services.py:Svc", "app/services.py:Svc.handle"]
    assert callees("app/models.py:Order.save") == ["app/models.py:Base.save", "app/models.py:Order.total"]
    assert callees("app/models.py:Repo.get") == ["app/models.py:lookup"]

    # Relations are structural: a dependency, never a call.
    assert "app/models.py:Customer" in engine.get_dependencies("app/models.py:Order")
    assert "app/models.py:Customer" not in engine.get_callees("app/models.py:Order")
    # Containment: folder -> file -> module -> class -> method.
    assert sorted(engine.get_dependencies("folder:app")) == ["file:app/__init__.py", "file:app/models.py",
                                                             "file:app/services.py", "folder:app/sub"]
    assert engine.get_dependencies("file:app/models.py") == ["app/models.py"]
    assert "app/models.py:Repo.get" in engine.get_dependencies("app/models.py:Repo")

    assert sorted(engine.blast_radius("app/models.py:lookup")) == sorted([
        "app/models.py:Repo.get", "app/services.py:Svc.handle", "app/services.py:Svc.helper",
        "app/services.py:helper", "app/sub/deep.py:run",
    ])
    meta = engine.get_node_meta("app/models.py:lookup")
    assert meta["blast_radius_score"] == 5 and meta["callers_count"] == 3
    exact = [h["id"] for h in engine.search("services")][:2]
    assert sorted(exact) == ["app/services.py", "file:app/services.py"]


def test_second_run_restores_and_reindexes_only_changes(tmp_path):
    src = tmp_path / "src"
    write_tree(src, PROJECT)
    engine, _ = index(src, tmp_path / "ws")
    del engine

    again, report = index(src, tmp_path / "ws")
    assert again.snapshot_loaded() and report.mode == "incremental"
    assert (report.changed, report.added, report.deleted, report.files_parsed) == ([], [], [], 0)
    assert "app/models.py:Repo.get" in again.get_callees("app/services.py:Svc.handle")
    del again

    # lookup moves from models to a new module; deep.py goes; services.py is untouched.
    models = (src / "app/models.py").read_text().replace("def lookup(key):\n    return key\n", "")
    (src / "app/models.py").write_text(models.replace("return lookup(key)", "return 0"))
    (src / "app/lookups.py").write_text("def lookup(key):\n    return key\n")
    services = (src / "app/services.py").read_text()
    (src / "app/services.py").write_text(services.replace("from .models import Repo, lookup as find",
                                                          "from .models import Repo\nfrom .lookups import lookup as find"))
    (src / "app/sub/deep.py").unlink()
    (src / "app/sub").rmdir()

    third, report = index(src, tmp_path / "ws")
    assert report.mode == "incremental"
    assert (report.changed, report.added, report.deleted) == (
        ["app/models.py", "app/services.py"], ["app/lookups.py"], ["app/sub/deep.py"])
    assert report.files_parsed == 3
    assert not third.contains("app/models.py:lookup") and not third.contains("app/sub/deep.py:run")
    assert not third.contains("folder:app/sub") and not third.contains("file:app/sub/deep.py")
    assert third.get_callers("app/lookups.py:lookup") == ["app/services.py:Svc.handle"]
    assert third.get_callees("app/models.py:Repo.get") == []
    assert "file:app/lookups.py" in third.get_dependencies("folder:app")
    assert third.get_dependencies("file:app/models.py") == ["app/models.py"]

    # The same tree indexed from scratch gives the same graph.
    fresh, _ = index(src, tmp_path / "ws2")
    graph = lambda e: {i: sorted(e.get_dependencies(i)) for i in e.get_all_metadata()}  # noqa: E731
    assert graph(third) == graph(fresh)


def test_stdlib_json_package_facts(tmp_path):
    engine, report = index(os.path.join(STDLIB, "json"), tmp_path / "ws")
    assert not report.parse_errors
    callees = engine.get_callees
    # _default_encoder = JSONEncoder(...) at module level gives the receiver type.
    assert callees("json/__init__.py:dumps") == ["json/encoder.py:JSONEncoder.encode"]
    assert "json/decoder.py:JSONDecoder.decode" in callees("json/__init__.py:loads")
    assert "json/__init__.py:detect_encoding" in callees("json/__init__.py:loads")
    assert callees("json/__init__.py:load") == ["json/__init__.py:loads"]
    assert "json/decoder.py:JSONDecoder.raw_decode" in callees("json/decoder.py:JSONDecoder.decode")
    assert "json/encoder.py:JSONEncoder.iterencode" in callees("json/encoder.py:JSONEncoder.encode")
    # tool.main calls json.loads, json.load and json.dump through `import json`.
    assert sorted(callees("json/tool.py:main")) == ["json/__init__.py:dump", "json/__init__.py:load",
                                                  "json/__init__.py:loads"]
    assert {"json/__init__.py:loads", "json/__init__.py:load"} <= set(
        engine.blast_radius("json/decoder.py:JSONDecoder.raw_decode"))
