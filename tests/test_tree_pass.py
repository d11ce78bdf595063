"""What the indexer tells the engine about a whole tree: module code, re-exports, star imports,
module attributes, aliases, receiver types, implicit calls, and no edge where a name has more
than one meaning."""

import importlib.machinery
import importlib.util
import json
import os
import sys
import textwrap

import corvanedb
from corvane_index import Indexer, extract_source, scan_tree, tree_pass


# A standard library module this interpreter cannot import (one for another platform).
MISSING_HERE = next(n for n in sorted(sys.stdlib_module_names) if importlib.util.find_spec(n) is None)


def index_files(tmp_path, files):
    root = tmp_path / "src"
    for rel, src in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(src))
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    Indexer(engine, scan_tree(str(root)), str(tmp_path / "ws")).run()
    return engine


def callees(engine, node_id):
    return sorted(engine.get_callees(node_id))


def test_module_code_is_a_caller_of_its_own(tmp_path):
    engine = index_files(tmp_path, {
        "app.py": '''
            from lib import helper
            import lib

            def local():
                pass

            local()
            helper()
            lib.other()
            if __name__ == "__main__":
                main()
        ''',
        "lib.py": "def helper():\n    pass\ndef other():\n    pass\n",
    })
    assert callees(engine, "app.py:<module>") == ["app.py:local", "lib.py:helper", "lib.py:other"]
    assert engine.get_node_meta("app.py:<module>")["name"] == "<module>"
    assert "app.py:<module>" in engine.get_dependencies("app.py")
    assert engine.get_callees("app.py") == []


def test_reexport_chains_and_module_attributes_reach_the_defining_module(tmp_path):
    engine = index_files(tmp_path, {
        "pkg/__init__.py": "from .api import run, Service\n",
        "pkg/api.py": "from .impl.core import run\nfrom .impl.core import Service\n",
        "pkg/impl/__init__.py": "",
        "pkg/impl/core.py": '''
            def run():
                pass

            class Service:
                def start(self):
                    pass
        ''',
        "plat.py": '''
            import sys
            if sys.platform == "win32":
                import ntpath as path
            else:
                import posixpath as path
        ''',
        "posixpath.py": "def join(a, b):\n    return a\n",
        "ntpath.py": "def join(a, b):\n    return b\n",
        "main.py": '''
            import pkg
            from pkg import run as go, Service
            import os

            def use():
                go()
                pkg.run()
                pkg.Service.start(None)
                Service().start()
                os.path.join("a", "b")

            def use_from():
                from os.path import join as pjoin
                pjoin("a", "b")
        ''',
        "os.py": '''
            import sys
            if "posix" in sys.builtin_module_names:
                import posixpath as path
            else:
                import ntpath as path

            def here():
                path.join("a", "b")
        ''',
        # Imports, unconditionally, a standard module this platform lacks: it runs elsewhere,
        # where os.path is another module.
        "elsewhere.py": f'''
            import os
            import {MISSING_HERE}
            from os import path

            def use():
                os.path.join("a", "b")
                path.join("a", "b")
        ''',
    })
    expected = ["pkg/impl/core.py:Service", "pkg/impl/core.py:Service.start", "pkg/impl/core.py:run"]
    platform_join = f"{os.path.__name__}.py:join"
    assert callees(engine, "main.py:use") == sorted([*expected, platform_join])
    assert callees(engine, "main.py:use_from") == callees(engine, "os.py:here") == [platform_join]
    assert callees(engine, "elsewhere.py:use") == []


def test_telling_a_missing_standard_module_runs_no_import_hook(monkeypatch):
    # An installed package's hook (setuptools answers for distutils by importing its copy)
    # must neither run during a link nor change which modules count as missing here.
    asked = []

    class Hook:
        @staticmethod
        def find_spec(name, path=None, target=None):
            asked.append(name)
            return importlib.machinery.ModuleSpec(name, None)

    monkeypatch.setattr(sys, "meta_path", [Hook, *sys.meta_path])
    tree_pass._missing_here.cache_clear()
    try:
        assert tree_pass._missing_here(MISSING_HERE)
        assert not tree_pass._missing_here("json") and not tree_pass._missing_here("no_such_module")
    finally:
        tree_pass._missing_here.cache_clear()
    assert asked == []


def test_star_imports_follow_all_and_a_clash_with_an_own_name_resolves_to_nothing(tmp_path):
    engine = index_files(tmp_path, {
        "shapes.py": '''
            __all__ = ["area", "Square"]

            def area():
                pass

            def hidden():
                pass

            class Square:
                pass
        ''',
        "public.py": "def visible():\n    pass\ndef _private():\n    pass\ndef twice():\n    pass\n",
        "other.py": "def twice():\n    pass\n",
        "main.py": '''
            def visible():
                pass

            from shapes import *
            from public import *
            from other import *

            def area():
                pass

            def use():
                area()
                hidden()
                Square()
                visible()
                _private()
                twice()  # exported by two modules
        ''',
    })
    # The own area is defined after the star import and wins; visible, defined before it, may
    # have been replaced: no guess.
    assert callees(engine, "main.py:use") == ["main.py:area", "shapes.py:Square"]


def test_aliases_bound_once_are_followed_and_bound_twice_are_not(tmp_path):
    engine = index_files(tmp_path, {
        "lib.py": '''
            def target():
                pass

            def other():
                pass

            shortcut = target
        ''',
        "main.py": '''
            import lib
            from lib import shortcut

            a = lib.target
            b = lib.target
            b = lib.other

            handler = lib.target

            def swap():
                global handler
                handler = lib.other

            class Handler:
                action = lib.other

                def handle(self):
                    self.action()

            class Quiet(Handler):
                def handle(self):
                    parent = super(Quiet, self).handle
                    parent()

            class Pickler:
                def save(self, obj):
                    pass

                def save_all(self, items):
                    save = self.save  # a bound method kept in a local
                    for item in items:
                        save(item)

                    def each():
                        save(items)
                    return each

                def rebinds(self, other):
                    save = self.save
                    self = other
                    save()

                def shadows(self):
                    save = self.save

                    def inner(self):
                        keep = self.save  # this self is inner's own
                        keep()
                    return inner

            def use():
                a()
                b()
                shortcut()
                c = a
                c()
                handler()  # rebound through `global`
        ''',
    })
    assert callees(engine, "main.py:use") == ["lib.py:target"]
    assert callees(engine, "main.py:Handler.handle") == ["lib.py:other"]
    assert callees(engine, "main.py:Quiet.handle") == ["main.py:Handler.handle"]  # a bound method of super()
    assert callees(engine, "main.py:Pickler.save_all") == ["main.py:Pickler.save"]
    assert callees(engine, "main.py:Pickler.save_all.each") == ["main.py:Pickler.save"]
    assert callees(engine, "main.py:Pickler.rebinds") == []
    assert callees(engine, "main.py:Pickler.shadows.inner") == []


def test_receiver_types_stated_by_the_code(tmp_path):
    engine = index_files(tmp_path, {
        "models.py": '''
            from dataclasses import dataclass

            class Repo:
                def get(self):
                    pass

            class Session:
                def __enter__(self):
                    return self
                def __exit__(self, *exc):
                    pass
                def request(self):
                    pass

            def make_repo() -> "Repo":
                return Repo()

            class Base:
                def __init__(self):
                    self.repo = Repo()

            @dataclass
            class Config:
                repo: Repo
        ''',
        "svc.py": '''
            from models import Base, Config, Session, make_repo

            class Svc(Base):
                def run(self):
                    self.repo.get()

                def me(self):
                    me = self
                    me.run()

                @classmethod
                def build(cls):
                    cls().run()

                def copy(self):
                    return self.__class__()

            def use(cfg: Config):
                r = make_repo()
                r.get()
                cfg.repo.get()
                with Session() as s:
                    s.request()
                Svc().run()
        ''',
    })
    assert callees(engine, "svc.py:Svc.run") == ["models.py:Repo.get"]
    assert callees(engine, "svc.py:Svc.me") == ["svc.py:Svc.run"]
    # Svc takes its __init__ from Base.
    assert callees(engine, "svc.py:Svc.build") == ["models.py:Base.__init__", "svc.py:Svc", "svc.py:Svc.run"]
    assert callees(engine, "svc.py:Svc.copy") == ["models.py:Base.__init__", "svc.py:Svc"]
    assert callees(engine, "svc.py:use") == sorted([
        "models.py:Base.__init__", "models.py:make_repo", "models.py:Repo.get", "models.py:Session", "models.py:Session.__enter__",
        "models.py:Session.__exit__", "models.py:Session.request", "svc.py:Svc", "svc.py:Svc.run"])


def test_class_a_function_defines_types_its_instances_and_a_local_name_types_nothing(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            class Reader:
                def read(self):
                    pass

            def serve():
                class Page:
                    def heading(self):
                        pass

                page = Page()

                def render():
                    page.heading()

                page.heading()
                return render

            class Wrapper:
                def __init__(self, stream, Reader):
                    self.reader = Reader(stream)

                def read(self):
                    self.reader.read()
        ''',
    })
    assert callees(engine, "m.py:serve") == ["m.py:serve.Page", "m.py:serve.Page.heading"]
    assert callees(engine, "m.py:serve.render") == ["m.py:serve.Page.heading"]
    # Reader is the parameter of __init__, not the module's class.
    assert callees(engine, "m.py:Wrapper.read") == []


def test_conflicting_base_types_leave_the_receiver_untyped(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            class A:
                def go(self):
                    pass

            class B:
                def go(self):
                    pass

            class Left:
                def __init__(self):
                    self.x = A()

            class Right:
                def __init__(self):
                    self.x = B()

            class Both(Left, Right):
                def run(self):
                    self.x.go()
        ''',
    })
    assert callees(engine, "m.py:Both.run") == []


def test_implicit_calls_raise_iteration_and_constructors(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            class Failure(Exception):
                def __init__(self, msg=""):
                    pass

            class Count:
                def __iter__(self):
                    return self
                def __next__(self):
                    raise StopIteration

            class Plain:
                pass

            def run():
                for i in Count():
                    pass
                items = [x for x in Count()]
                Plain()
                raise Failure
        ''',
    })
    assert callees(engine, "m.py:run") == ["m.py:Count", "m.py:Count.__iter__", "m.py:Count.__next__",
                                            "m.py:Failure", "m.py:Plain"]
    # Instantiating a class reaches the constructor it defines.
    assert engine.get_callees("m.py:Failure") == ["m.py:Failure.__init__"]
    assert "m.py:run" in engine.blast_radius("m.py:Failure.__init__")


def test_instantiation_calls_the_constructors_a_class_inherits(tmp_path):
    engine = index_files(tmp_path, {
        "base.py": '''
            class Base:
                def __init__(self):
                    pass
                def __new__(cls):
                    return super().__new__(cls)

            class Own(Base):
                def __init__(self):
                    pass
        ''',
        "m.py": '''
            from base import Base, Own

            class Left(Base):
                pass

            class Right(Base):
                def __init__(self):
                    pass

            class Both(Left, Right):
                pass

            class Error(ValueError):
                pass

            def run(Left=None):
                Left()

            Both()
            Own()
            Error()
        ''',
    })
    # Python's order (Both, Left, Right, Base): Right's __init__, Base's __new__.
    assert callees(engine, "m.py:<module>") == ["base.py:Base.__new__", "base.py:Own", "m.py:Both",
                                                "m.py:Error", "m.py:Right.__init__"]
    assert "m.py:<module>" in engine.get_callers("m.py:Right.__init__")
    assert callees(engine, "m.py:run") == []  # Left is a parameter there


def test_special_methods_are_recorded_only_where_a_class_of_the_tree_defines_them(tmp_path):
    engine = index_files(tmp_path, {
        "kinds.py": '''
            class Items(list):
                pass

            class Stream:
                def __iter__(self):
                    return self
                def next(self):
                    return 1
                __next__ = next

            class Lock:
                def __enter__(self):
                    return self
                def __exit__(self, *exc):
                    pass

            class Guard(Lock):
                pass
        ''',
        "use.py": '''
            from kinds import Items, Stream, Guard

            def run(path, it):
                for x in Items():
                    pass
                for y in Stream():
                    pass
                with Guard():
                    pass
                with open(path) as f:
                    pass
                for line in f:
                    pass
                it.__next__()
        ''',
    })
    calls = engine.get_node_meta("use.py:run")["calls"]
    # Nothing of the tree runs for a list subclass's iteration, a file or an untyped name;
    # a call written out stays a call name.
    assert not any(c.startswith(("Items().", "open().", "f.")) for c in calls)
    assert "it.__next__" in calls
    assert callees(engine, "use.py:run") == ["kinds.py:Guard", "kinds.py:Items", "kinds.py:Lock.__enter__",
                                              "kinds.py:Lock.__exit__", "kinds.py:Stream", "kinds.py:Stream.__iter__",
                                              "kinds.py:Stream.next"]


def test_functions_returned_and_decorators_that_replace_the_function(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            def target():
                pass

            def factory():
                return target

            def wrap(f):
                def inner():
                    f()
                return inner

            def maybe(flag):
                if flag:
                    return target
                return factory

            @wrap
            def decorated():
                pass

            def use():
                factory()()
                g = factory()
                g()
                decorated()
                maybe(1)()
        ''',
    })
    assert callees(engine, "m.py:use") == ["m.py:factory", "m.py:maybe", "m.py:target", "m.py:wrap.inner"]


def test_class_body_calls_belong_to_the_code_that_runs_them():
    ex = extract_source("m.py", textwrap.dedent('''
        def helper():
            pass

        class C:
            x = helper()
            def m(self):
                pass
            y = m(None)
    '''))
    calls = dict(ex.callers)
    assert calls["m.py:<module>"] == ["helper", "C.m"]
    assert "m.py:C" not in calls


def test_imported_module_variable_brings_its_type(tmp_path):
    engine = index_files(tmp_path, {
        "conf.py": "class Config:\n    def get(self):\n        pass\n\nsettings = Config()\n",
        "main.py": "from conf import settings\n\ndef use():\n    settings.get()\n",
    })
    assert callees(engine, "main.py:use") == ["conf.py:Config.get"]
    bindings = json.loads(engine.get_node_meta("main.py")["extra_json"])["python_import_bindings"]
    assert bindings[""]["<conf>"] == {"module": "conf", "kind": "module", "qualifier": "<conf>"}


def test_parameter_filled_by_every_call_with_one_function(tmp_path):
    files = {
        "main.py": '''
            def first():
                pass

            def second():
                pass

            def apply(callback, other=second):
                callback()
                other()

            def apply_twice(callback):
                callback()

            def escapes(callback):
                callback()

            def leaf(callback):
                callback()

            def passes_on(callback):
                def inner(fn):
                    fn()
                leaf(callback)
                inner(callback)

            def mixed_leaf(callback):
                callback()

            def mixed(callback):
                mixed_leaf(callback)

            def run():
                apply(first)
                apply(callback=first)
                apply_twice(first)
                apply_twice(second)
                escapes(first)
                passes_on(second)
                mixed(first)
                mixed(second)
                return escapes
        ''',
    }
    engine = index_files(tmp_path, files)
    assert callees(engine, "main.py:apply") == ["main.py:first", "main.py:second"]
    assert callees(engine, "main.py:apply_twice") == []  # two functions reach it
    assert callees(engine, "main.py:escapes") == []  # read as a value: callers out of sight
    # A parameter handed on to another function, nested or not, takes the caller's one value.
    assert callees(engine, "main.py:leaf") == ["main.py:second"]
    assert callees(engine, "main.py:passes_on.inner") == ["main.py:second"]
    assert callees(engine, "main.py:mixed_leaf") == []

    # Another module importing this one may call apply with anything.
    files["user.py"] = "import main\n"
    engine = index_files(tmp_path / "again", files)
    assert callees(engine, "main.py:apply") == []
    assert callees(engine, "main.py:leaf") == callees(engine, "main.py:passes_on.inner") == []


def test_parameter_filled_by_every_call_with_instances_of_one_class(tmp_path):
    files = {
        "shapes.py": """
            class Tokenizer:
                def match(self):
                    pass

                def get(self):
                    pass

            class Other:
                def match(self):
                    pass
        """,
        "main.py": """
            from shapes import Other, Tokenizer

            def parse(text):
                source = Tokenizer()
                _sub(source, 0)
                _sub(Tokenizer(), 1)
                _mixed(source)
                _mixed(Other())
                _optional(source)
                _optional(source, source)
                _escapes(source)
                return _escapes

            def _sub(source, state):
                source.match()
                _leaf(source)

            def _leaf(source, extra=None):
                source.get()

            def _mixed(source):
                source.match()

            def _optional(source, extra=None):
                extra.get()

            def _escapes(source):
                source.match()

            class Formatter:
                def render(self):
                    pass

                def section(self):
                    def emit(fmt, tok):
                        fmt.render()
                        tok.get()
                    emit(self, Tokenizer())
        """,
    }
    engine = index_files(tmp_path, files)
    assert callees(engine, "main.py:_sub") == ["main.py:_leaf", "shapes.py:Tokenizer.match"]
    # Handed on from a parameter typed so; a default of None adds no class.
    assert callees(engine, "main.py:_leaf") == ["shapes.py:Tokenizer.get"]
    assert callees(engine, "main.py:_optional") == ["shapes.py:Tokenizer.get"]
    assert callees(engine, "main.py:_mixed") == []  # two classes reach it
    assert callees(engine, "main.py:_escapes") == []  # read as a value: callers out of sight
    # A closure's calls are all in sight, its own class's self included.
    assert callees(engine, "main.py:Formatter.section.emit") == [
        "main.py:Formatter.render", "shapes.py:Tokenizer.get"]

    # Another module importing this one may call the functions with anything; a closure's
    # callers stay in sight.
    files["user.py"] = "import main\n"
    engine = index_files(tmp_path / "again", files)
    for caller in ("main.py:_leaf", "main.py:_optional"):
        assert callees(engine, caller) == [], caller
    assert callees(engine, "main.py:_sub") == ["main.py:_leaf"]
    assert callees(engine, "main.py:Formatter.section.emit") == [
        "main.py:Formatter.render", "shapes.py:Tokenizer.get"]


def test_diamond_inheritance_calls_the_method_python_picks(tmp_path):
    engine = index_files(tmp_path, {
        "conf.py": "class Config:\n    pass\n\nsettings = Config()\n",
        "m.py": '''
            from conf import settings  # an imported typed variable in the same module

            class A:
                def func(self):
                    pass

            class B(A):
                pass

            class C(A):
                def func(self):
                    pass

            class D(B, C):
                def run(self):
                    self.func()

            def use():
                d = D()
                d.func()
        ''',
    })
    assert callees(engine, "m.py:D.run") == ["m.py:C.func"]
    assert callees(engine, "m.py:use") == ["m.py:C.func", "m.py:D"]


def test_function_returned_by_an_imported_function(tmp_path):
    engine = index_files(tmp_path, {
        "lib.py": "def target():\n    pass\n\ndef factory():\n    return target\n",
        "main.py": '''
            from lib import factory

            def use():
                factory()()
                g = factory()
                g()
        ''',
    })
    assert callees(engine, "main.py:use") == ["lib.py:factory", "lib.py:target"]


def test_with_as_is_typed_only_when_enter_returns_the_instance(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            class Own:
                def __enter__(self):
                    return self
                def __exit__(self, *exc):
                    pass
                def work(self):
                    pass

            class Other:
                def __enter__(self):
                    return "a path"
                def __exit__(self, *exc):
                    pass
                def work(self):
                    pass

            class Factory:
                def own(self) -> Own:
                    return Own()

                def other(self) -> "Other":
                    return Other()

            def use():
                with Own() as a, Other() as b:
                    a.work()
                    b.work()

            def made(f: Factory, g):
                with f.own() as a, f.other() as b, g.open() as c:
                    a.work()
                    b.work()
                    c.work()
        ''',
    })
    assert callees(engine, "m.py:use") == ["m.py:Other", "m.py:Other.__enter__", "m.py:Other.__exit__", "m.py:Own",
                                            "m.py:Own.__enter__", "m.py:Own.__exit__", "m.py:Own.work"]
    # The same through methods whose return annotations name the classes.
    assert callees(engine, "m.py:made") == ["m.py:Factory.other", "m.py:Factory.own", "m.py:Other.__enter__",
                                             "m.py:Other.__exit__", "m.py:Own.__enter__", "m.py:Own.__exit__",
                                             "m.py:Own.work"]


def test_literal_tables_of_functions_indexed_by_constants(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            def first():
                pass

            def second():
                pass

            def make():
                return third

            def third():
                pass

            ACTIONS = {"a": first, "b": second}
            ORDER = [first, second]
            CHANGED = {"a": first}
            CHANGED["a"] = second
            FILLED = {}
            FILLED["x"] = third
            SLOTS = [None]
            SLOTS[0] = first
            MADE = {"m": make()}
            ONLY = {"a": second, "b": second}
            MUTATED = {"a": first}
            MUTATED.update({"a": second})

            def use(key):
                ACTIONS["b"]()
                ORDER[0]()
                ACTIONS[key]()  # any of two
                CHANGED["a"]()  # first or second, depending on when

            def later(key):
                FILLED["x"]()
                SLOTS[0]()  # None is never what a call that succeeds calls
                ONLY[key]()  # every key holds second
                MUTATED["a"]()  # changed by a method: no edge

            def made():
                MADE["m"]()
        ''',
    })
    assert callees(engine, "m.py:use") == ["m.py:first", "m.py:second"]
    assert callees(engine, "m.py:later") == ["m.py:first", "m.py:second", "m.py:third"]
    assert callees(engine, "m.py:made") == ["m.py:third"]


def test_import_cycles_end_without_an_edge(tmp_path):
    engine = index_files(tmp_path, {
        "a.py": "from b import *\nfrom b import f\nimport b as g\n",
        "b.py": "from a import *\nfrom a import f\nimport a as g\n",
        "main.py": "from a import f, g\n\ndef use():\n    f()\n    g.f()\n    g.g.f()\n",
    })
    assert callees(engine, "main.py:use") == []


def test_method_rebound_on_the_instance_has_no_single_target(tmp_path):
    # Once set_hook has run, self.hook() calls what was passed, not the method.
    engine = index_files(tmp_path, {
        "win.py": '''
            class Window:
                def hook(self):
                    pass

                def set_hook(self, hook):
                    self.hook = hook

                def close(self):
                    self.hook()
                    self.other()

                def other(self):
                    pass
        ''',
    })
    assert callees(engine, "win.py:Window.close") == ["win.py:Window.other"]


def test_methods_no_instance_runs_get_no_edge(tmp_path):
    # A method that always raises NotImplementedError, or an abstract one (with a body or not),
    # is replaced by an override wherever a call on an instance reaches it; a method that only
    # sometimes raises is not.
    engine = index_files(tmp_path, {
        "shapes.py": '''
            import abc
            import asyncio
            import typing

            class Shape(abc.ABC):
                @abc.abstractmethod
                def area(self):
                    """The area."""

                def sides(self):
                    msg = "%s has no sides" % type(self)
                    raise NotImplementedError(msg)

                @property
                def kind(self):
                    raise NotImplementedError

                def scale(self, k):
                    if k < 0:
                        raise NotImplementedError
                    return k

                @abc.abstractmethod
                def name(self):
                    return "shape"

                def describe(self):
                    self.area()
                    self.sides()
                    self.kind()
                    self.scale(2)
                    self.name()

            class Square(Shape):
                def area(self):
                    return super().area()

                def sides(self):
                    return 4

            class Circle(Shape):
                def area(self):
                    return 3

                def sides(self):
                    return 0

            class Sized(typing.Protocol):
                def size(self) -> int:
                    ...

            class Handler(asyncio.Protocol):
                def data_received(self, data):
                    pass

            def measure(s: Shape, q: Square, z: Sized, h: Handler):
                z.size()
                h.data_received(b"")
                s.area()
                s.sides()
                q.area()
                q.kind()
                Shape.sides(q)
        ''',
    })
    assert callees(engine, "shapes.py:Shape.describe") == ["shapes.py:Shape.scale"]
    # A class named Protocol that is not typing's keeps its empty methods: they are what runs.
    assert callees(engine, "shapes.py:measure") == ["shapes.py:Handler.data_received", "shapes.py:Shape.sides",
                                                     "shapes.py:Square.area"]
    assert callees(engine, "shapes.py:Square.area") == ["shapes.py:Shape.area"]


def test_super_with_several_bases_and_entering_a_function_result(tmp_path):
    engine = index_files(tmp_path, {
        "mix.py": '''
            class Base:
                def save(self):
                    pass

            class Logged(Base):
                def save(self):
                    super().save()

            class Timed(Base):
                def save(self):
                    super().save()

            class Model(Logged, Timed):
                def save(self):
                    super().save()

            class Resource:
                def __enter__(self):
                    return self

                def __exit__(self, *exc):
                    pass

                def read(self):
                    pass

            def opened() -> Resource:
                return Resource()

            def use():
                with opened() as r:
                    r.read()

            def target(x):
                pass

            def call(f, *args):
                f(*args)

            def forward():
                call(target, 1, 2)
        ''',
    })
    # Model's resolution order is Model, Logged, Timed, Base: super() in Model is Logged.
    assert callees(engine, "mix.py:Model.save") == ["mix.py:Logged.save"]
    assert callees(engine, "mix.py:Logged.save") == ["mix.py:Base.save"]
    assert "mix.py:Resource.read" in callees(engine, "mix.py:use")
    # Arguments after the named ones go to *args: f is still filled with target alone.
    assert callees(engine, "mix.py:call") == ["mix.py:target"]


def test_an_attribute_holding_a_method_of_self_calls_it(tmp_path):
    engine = index_files(tmp_path, {
        "keys.py": '''
            class Keys:
                def __init__(self):
                    self.handler = self.on_key
                    self.other = self.on_key
                    self.pair = self.on_key

                def on_key(self):
                    pass

                def on_other(self):
                    pass

                def reset(self, make):
                    self.other = self.on_other
                    self.pair, self.x = make()

                def fire(self):
                    self.handler()
                    self.other()
                    self.pair()

                @property
                def current(self):
                    return self.on_key

                def later(self):
                    self.value = self.current
                    self.value()
        ''',
    })
    # other holds one of two methods, pair something unpacked as well.
    assert callees(engine, "keys.py:Keys.fire") == ["keys.py:Keys.on_key"]
    # value holds what the property gives: calling it is no call of the property's function.
    assert "self.value" in engine.get_node_meta("keys.py:Keys.later")["calls"]


def test_match_walrus_cast_and_what_a_generator_yields_type_the_name(tmp_path):
    engine = index_files(tmp_path, {
        "conn.py": '''
            import typing
            from contextlib import contextmanager
            from typing import cast

            class Conn:
                def query(self):
                    pass

                def close(self):
                    pass

            @contextmanager
            def connect():
                c = Conn()
                try:
                    yield c
                finally:
                    c.close()

            def rows():
                yield Conn()
                yield Conn()

            def mixed():
                yield Conn()
                yield 1

            def matched(value):
                match value:
                    case Conn():
                        value.query()

            def walrus():
                if (c := Conn()) is not None:
                    c.query()

            def casts(value):
                cast(Conn, value).query()

            def casts_by_module(value):
                typed = typing.cast("Conn", value)
                typed.query()

            def managed():
                with connect() as c:
                    c.query()

            def looped():
                for r in rows():
                    r.query()

            def looped_mixed():
                for m in mixed():
                    m.close()
        ''',
    })
    q = "conn.py:Conn.query"
    for caller in ("matched", "walrus", "casts", "casts_by_module", "managed", "looped"):
        assert q in callees(engine, f"conn.py:{caller}"), caller
    # A yield of something else leaves the items of mixed() unknown.
    assert callees(engine, "conn.py:looped_mixed") == ["conn.py:mixed"]


def test_unpacking_a_returned_tuple_types_each_place(tmp_path):
    engine = index_files(tmp_path, {
        "lib.py": '''
            from typing import Optional, Tuple

            class Cmd:
                def make(self):
                    pass

            class Group:
                def resolve(self, args) -> Tuple[Optional[str], Optional["Cmd"], list]:
                    return None, Cmd(), []

            def split():
                return Cmd(), 1

            def either(flag):
                if flag:
                    return Cmd(), 1
                return 1, Cmd()
        ''',
        "app.py": '''
            from lib import Group, split, either

            def annotated(g: Group):
                name, cmd, rest = g.resolve([])
                cmd.make()

            def inferred():
                c, n = split()
                c.make()

            def mixed():
                a, b = either(True)
                a.make()
                b.make()

            class Number:
                def compare(self, other):
                    self, other = split()
                    self.check()

                def check(self):
                    pass
        ''',
    })
    make = "lib.py:Cmd.make"
    assert make in callees(engine, "app.py:annotated")
    assert make in callees(engine, "app.py:inferred")
    # Each place of either's tuple holds a Cmd on one path and an int on the other.
    assert callees(engine, "app.py:mixed") == ["lib.py:either"]
    # self unpacked anew keeps the rule for self: the method's own class.
    assert "app.py:Number.check" in callees(engine, "app.py:Number.compare")


def test_a_name_rebound_to_its_own_method_result_keeps_the_class_the_first_binding_gives(tmp_path):
    engine = index_files(tmp_path, {
        "measure.py": '''
            class Measurement:
                def widen(self) -> "Measurement":
                    return self

                def clamp(self) -> "Measurement":
                    return self

                def span(self):
                    pass

            class Other:
                def clamp(self) -> "Measurement":
                    return Measurement()

            def measure():
                m = Measurement().widen()
                m = m.clamp()
                m.span()

            def unknown(value):
                m = value.widen()
                m = m.clamp()
                m.span()
        ''',
    })
    # By induction: widen gives a Measurement, and clamp on one gives one again.
    assert "measure.py:Measurement.span" in callees(engine, "measure.py:measure")
    assert "measure.py:Measurement.span" not in callees(engine, "measure.py:unknown")


def test_an_abstract_step_reaches_the_one_override_of_the_tree(tmp_path):
    engine = index_files(tmp_path, {
        "steps.py": '''
            from abc import ABC, abstractmethod

            class Job(ABC):
                @abstractmethod
                def step(self):
                    ...

                def check(self):
                    raise NotImplementedError

                def run(self):
                    self.step()
                    self.check()

            class Middle(Job):
                pass

            class Only(Middle):
                def step(self):
                    pass

                def check(self):
                    pass

            class Also(Job):
                def check(self):
                    pass
        ''',
    })
    # Only one class of the tree overrides step; two override check.
    assert callees(engine, "steps.py:Job.run") == ["steps.py:Only.step"]


def test_method_inherited_or_aliased_through_a_class_name_or_self(tmp_path):
    engine = index_files(tmp_path, {
        "base.py": '''
            class Base:
                def __init__(self, *a):
                    pass
                def close(self):
                    pass
                shut = close
        ''',
        "widgets.py": '''
            import base
            from base import Base

            class Widget(base.Base):
                pass

            class Plain(Widget):
                close = None  # hides Base.close

            class Native(dict, Widget):
                pass  # dict may define what Widget inherits

            class Button(Widget):
                def __init__(self):
                    Widget.__init__(self)
                    Plain.__init__(self)
                    Plain.close(self)
                    Native.__init__(self)

                def done(self):
                    self.shut()
                    Widget.shut(self)

            def shadowed(Widget):
                Widget.close(None)

            def local_import():
                from other import Widget
                Widget.close(None)
        ''',
    })
    assert callees(engine, "widgets.py:Button.__init__") == ["base.py:Base.__init__"]
    assert callees(engine, "widgets.py:Button.done") == ["base.py:Base.close"]
    assert callees(engine, "widgets.py:shadowed") == []
    assert callees(engine, "widgets.py:local_import") == []


def test_function_whose_every_return_instantiates_one_class(tmp_path):
    engine = index_files(tmp_path, {
        "make.py": '''
            class Conn:
                def send(self):
                    pass

            class Other:
                def send(self):
                    pass

            def connect(fast):
                if fast:
                    return Conn(1)
                return Conn(2)

            def either(fast):
                return Conn() if fast else Other()

            def mixed(fast):
                if fast:
                    return Conn()
                return Other()

            def shadowing():
                Conn = Other
                return Conn()

            class Builder:
                def step(self):
                    return self

                def build(self):
                    conn = connect(True)
                    return conn

            class FastBuilder(Builder):
                def build(self):
                    return Conn()

            def forwarded(fast):
                if not fast:
                    return None
                return connect(fast)

            def mixed_local(fast):
                c = Conn() if fast else Other()
                return c
        ''',
        "use.py": '''
            from make import connect, either, mixed, shadowing, Builder, FastBuilder, forwarded, mixed_local

            def chain():
                b = Builder()
                s = b.step()
                c = s.build()
                c.send()

            def subclassed():
                f = FastBuilder()
                s = f.step()
                s.build()

            def through():
                forwarded(True).send()
                mixed_local(True).send()

            def run():
                c = connect(True)
                c.send()

            def run_either():
                either(True).send()
                m = mixed(True)
                m.send()
                s = shadowing()
                s.send()
        ''',
    })
    assert callees(engine, "use.py:run") == ["make.py:Conn.send", "make.py:connect"]
    assert callees(engine, "use.py:run_either") == ["make.py:either", "make.py:mixed", "make.py:shadowing"]
    # `return self`, a local holding a call's result, a call of a function whose result is
    # known; a `return None` adds nothing, a local of two classes gives no class.
    assert callees(engine, "use.py:chain") == ["make.py:Builder", "make.py:Builder.build", "make.py:Builder.step",
                                               "make.py:Conn.send"]
    # `return self` gives the receiver's class, here a subclass with its own build.
    assert callees(engine, "use.py:subclassed") == ["make.py:Builder.step", "make.py:FastBuilder",
                                                    "make.py:FastBuilder.build"]
    assert callees(engine, "use.py:through") == ["make.py:Conn.send", "make.py:forwarded", "make.py:mixed_local"]


def test_loop_over_a_container_annotated_with_its_item_class(tmp_path):
    engine = index_files(tmp_path, {
        "jobs.py": '''
            from typing import Optional, Sequence

            class Job:
                def run(self):
                    pass

            def all_lists(a: list[Job], b: "Sequence[Job]", c: Optional[tuple[Job, ...]], d: list[Job] | None):
                for x in a:
                    x.run()
                for y in b:
                    y.run()
                for z in c:
                    z.run()
                for w in d:
                    w.run()

            def rebound(jobs: list[Job]):
                while jobs:
                    for j in jobs:
                        j.run()
                    jobs = [str(n) for n in jobs]

            def pairs(jobs: dict[str, Job]):
                for k in jobs:
                    k.run()
                for n, v in jobs.items():
                    v.run()
        ''',
        "held.py": '''
            from dataclasses import dataclass, field
            from typing import Dict, List
            from jobs import Job

            class Queue:
                def values(self):
                    for job in self.waiting.values():
                        job.run()

                def __init__(self):
                    self.waiting: Dict[str, Job] = {}
                    self.done: List[Job] = []
                    self.mixed: List[Job] = []

                def items(self):
                    for name, job in self.waiting.items():
                        job.run()

                def indexed(self, i):
                    self.done[i].run()

                def got(self, key):
                    job = self.waiting.get(key)
                    job.run()

                def numbered(self):
                    for i, job in enumerate(self.done):
                        job.run()

                def reassigned(self, others):
                    self.mixed = others
                    for job in self.mixed:
                        job.run()
                    self.mixed[0].run()

                def sliced(self):
                    self.done[1:].run()

            @dataclass
            class Batch:
                jobs: List[Job] = field(default_factory=list)

                def backwards(self):
                    for job in reversed(self.jobs):
                        job.run()
        ''',
    })
    run = "jobs.py:Job.run"
    assert callees(engine, "jobs.py:all_lists") == [run]
    assert callees(engine, "jobs.py:rebound") == []
    # A dict's loop binds its keys; its values come through .values(), .items() and [key].
    assert callees(engine, "jobs.py:pairs") == [run]
    for method in ("values", "items", "indexed", "got", "numbered"):
        assert callees(engine, f"held.py:Queue.{method}") == [run], method
    assert callees(engine, "held.py:Batch.backwards") == [run]
    # An attribute assigned something besides its annotation, and a slice, hold no known item.
    assert callees(engine, "held.py:Queue.reassigned") == []
    assert callees(engine, "held.py:Queue.sliced") == []


def test_methods_of_a_module_level_instance_reached_through_the_module(tmp_path):
    engine = index_files(tmp_path, {
        "log.py": '''
            class Base:
                def warn(self, msg):
                    pass

            class Log(Base):
                def info(self, msg):
                    pass
                def hook(self):
                    pass
                def set_hook(self, hook):
                    self.hook = hook

            _global = Log()
            info = _global.info
            hook = _global.hook
        ''',
        "app.py": '''
            import log
            from log import info

            def run():
                log.info("a")
                log._global.warn("b")
                log.hook()
        ''',
    })
    assert callees(engine, "app.py:run") == ["log.py:Base.warn", "log.py:Log.info"]


def test_dotted_types_are_followed_or_left_out_never_guessed_by_their_last_name(tmp_path):
    # ctx.Condition() is whatever ctx's method returns; the file's own Condition is a guess.
    engine = index_files(tmp_path, {
        "sync.py": '''
            import lib.parse
            import lib.msg

            def use():
                p = lib.parse.P()
                p.run()

            class Condition:
                def notify(self):
                    pass

            class Event:
                def __init__(self, ctx):
                    self._cond = ctx.Condition()

                def set(self):
                    self._cond.notify()

            def defaulted(cond=None):
                if cond is None:
                    cond = Condition()
                cond.notify()  # cond may be anything the caller passed

            def main():
                import tools
                p = tools.Parser()
                p.parse()
        ''',
        "tools.py": '''
            class Parser:
                def parse(self):
                    pass
        ''',
        "lib/__init__.py": "",
        "lib/msg.py": "",
        "lib/parse.py": "class P:\n    def run(self):\n        pass\n",
    })
    assert callees(engine, "sync.py:Event.set") == []
    assert callees(engine, "sync.py:defaulted") == ["sync.py:Condition"]
    assert callees(engine, "sync.py:use") == ["lib/parse.py:P", "lib/parse.py:P.run"]
    assert callees(engine, "sync.py:main") == ["tools.py:Parser", "tools.py:Parser.parse"]


def test_definitions_an_outside_star_import_may_replace_get_no_edge(tmp_path):
    # The pure-Python versions that an accelerator module replaces when it is there.
    engine = index_files(tmp_path, {
        "accel.py": '''
            def push(x):
                pass

            class Thing:
                pass

            def _private():
                pass

            class partial:
                pass

            try:
                from _accel import *
            except ImportError:
                pass
            try:
                from _accel import partial
            except ImportError:
                pass

            def later():
                push(1)
                _private()
        ''',
        "user.py": '''
            import accel
            from accel import push, later

            def run():
                push(1)
                accel.push(1)
                accel.Thing()
                later()
                accel.later()
                accel.partial()
        ''',
    })
    assert callees(engine, "user.py:run") == ["accel.py:later"]
    assert callees(engine, "accel.py:later") == ["accel.py:_private"]


def test_name_imported_from_an_accelerator_or_else_its_pure_version_gets_no_edge(tmp_path):
    engine = index_files(tmp_path, {
        "_pure.py": "def token():\n    pass\n",
        "front.py": '''
            try:
                from _accel import token
            except ImportError:
                from _pure import token

            def use():
                token()
        ''',
    })
    assert callees(engine, "front.py:use") == []


def test_receiver_assigned_several_classes_reaches_the_one_method_they_share(tmp_path):
    engine = index_files(tmp_path, {
        "views.py": '''
            class Page:
                def render(self):
                    pass
                def title(self):
                    pass

            class Plain(Page):
                def title(self):
                    pass

            class Fancy(Page):
                pass
        ''',
        "use.py": '''
            from views import Plain, Fancy

            def show(fancy):
                if fancy:
                    page = Fancy()
                else:
                    page = Plain()
                page.render()
                page.title()
        ''',
    })
    # render: Page.render for both; title: Plain.title or Page.title, two candidates.
    assert callees(engine, "use.py:show") == ["views.py:Fancy", "views.py:Page.render", "views.py:Plain"]


def test_alias_in_a_nested_class_is_not_named_through_its_module(tmp_path):
    # The resolver finds a member only under a top-level class; a longer name would reach
    # the module's top-level function of the member's name instead.
    engine = index_files(tmp_path, {
        "m.py": '''
            def wm_size():
                pass

            class Outer:
                class Inner:
                    def wm_size(self):
                        pass
                    size = wm_size

            def use():
                box = Outer.Inner()
                box.size()
        ''',
    })
    assert "m.py:wm_size" not in callees(engine, "m.py:use")


def test_lambdas_are_definitions_reached_through_names_parameters_and_builtins(tmp_path):
    engine = index_files(tmp_path, {
        "main.py": '''
            def helper():
                pass

            def other():
                pass

            double = lambda v: helper()

            def apply(fn):
                fn()

            def apply_any(fn):
                fn()

            def run(items):
                double(1)
                apply(lambda: other())
                apply_any(lambda: 1)
                apply_any(lambda: 2)
                inner = lambda: helper()
                inner()
                return sorted(items, key=lambda x: other())

            def nested():
                f = lambda: 1
                def deeper():
                    g = lambda: 2
                    f()
                    g()
                return deeper

            def shadowed(map):
                map(helper, [])

            def mapped(xs):
                return list(map(helper, xs))

            def mapped_backwards(xs):
                return list(map(xs, helper))

            list(map(helper, [1]))
            list(filter(other, [1]))
            max([1], key=len)
        ''',
        "flow.py": '''
            def apply(fn):
                fn()

            apply(lambda: print())
        ''',
    })
    ids = set(engine.get_all_metadata())
    assert {"main.py:<lambda1>", "main.py:run.<lambda1>", "main.py:run.<lambda4>", "main.py:run.<lambda5>",
            "main.py:nested.<lambda1>", "main.py:nested.deeper.<lambda1>"} <= ids
    # The lambda holds its body's calls; the definition that makes it keeps them too.
    assert callees(engine, "main.py:<lambda1>") == ["main.py:helper"]
    assert "main.py:helper" in callees(engine, "main.py:run")
    # Called through a name bound once, a parameter every call fills with it, or a builtin.
    assert {"main.py:run.<lambda4>", "main.py:run.<lambda5>"} <= set(callees(engine, "main.py:run"))
    # `double` is the module's <lambda1>, but run has a <lambda1> of its own that the resolver
    # meets first: no edge rather than the wrong one.
    assert "main.py:run.<lambda1>" not in callees(engine, "main.py:run")
    assert "main.py:<lambda1>" not in callees(engine, "main.py:run")
    assert callees(engine, "main.py:apply") == []  # run.<lambda1>, but named so it is main's <lambda1>
    assert callees(engine, "flow.py:apply") == ["flow.py:<lambda1>"]
    assert callees(engine, "main.py:apply_any") == []  # two lambdas reach it
    # Names are per definition: the resolver meets the nearer <lambda1> first, so the outer one
    # is named only where no nearer one hides it.
    assert callees(engine, "main.py:nested.deeper") == ["main.py:nested.deeper.<lambda1>"]
    module_code = set(callees(engine, "main.py:<module>"))
    assert {"main.py:helper", "main.py:other"} <= module_code
    assert callees(engine, "main.py:shadowed") == []  # map is a parameter here, not the builtin
    # The iterable handed to map is no call; a definition in either place is.
    assert sorted(engine.get_node_meta("main.py:mapped")["calls"]) == ["helper", "list", "map"]
    assert callees(engine, "main.py:mapped") == callees(engine, "main.py:mapped_backwards") == ["main.py:helper"]


def test_a_property_types_what_it_returns_and_a_self_import_adds_no_meaning(tmp_path):
    engine = index_files(tmp_path, {
        "pkg/__init__.py": "from . import table\n",
        "pkg/table.py": '''
            class URL:
                def copy_with(self):
                    pass

            class Table:
                @property
                def url(self) -> URL:
                    return URL()

                @url.setter
                def url(self, value):
                    self._url = value

                def moved(self):
                    return self.url.copy_with()

            if __name__ == "__main__":
                from pkg.table import Table
                Table().moved()
        ''',
        "pkg/view.py": '''
            from pkg.table import Table

            def show():
                Table().moved()
        ''',
    })
    # Reading the property runs it, and what it returns is a URL.
    assert callees(engine, "pkg/table.py:Table.moved") == ["pkg/table.py:Table.url", "pkg/table.py:URL.copy_with"]
    # The demo's import of its own module leaves Table one class for every importer.
    assert callees(engine, "pkg/view.py:show") == ["pkg/table.py:Table", "pkg/table.py:Table.moved"]
    assert "pkg/table.py:Table.moved" in callees(engine, "pkg/table.py:<module>")


def test_a_repeated_import_and_a_default_after_or_keep_one_class(tmp_path):
    engine = index_files(tmp_path, {
        "pkg/__init__.py": '''
            from typing import TYPE_CHECKING
            if TYPE_CHECKING:
                from .console import Console

            def get_console() -> "Console":
                from .console import Console
                return Console()
        ''',
        "pkg/console.py": '''
            class Console:
                def print(self):
                    pass

            class Other:
                def print(self):
                    pass
        ''',
        "pkg/live.py": '''
            from typing import Optional
            from . import get_console
            from .console import Console, Other

            class Live:
                def __init__(self, console: Optional[Console] = None):
                    self.console = console or get_console()

                def refresh(self):
                    self.console.print()

            def either(console: Optional[Console] = None):
                console = console or Other()
                console.print()

            if __name__ == "__main__":
                from .console import Console
                Live(Console()).refresh()
        ''',
    })
    # `a or b` is one of the two; the demo's import again of Console keeps it one class.
    assert "pkg/console.py:Console.print" in callees(engine, "pkg/live.py:Live.refresh")
    assert callees(engine, "pkg/live.py:either") == ["pkg/console.py:Other"]


def test_attributes_of_classes_whose_outside_bases_bind_no_such_name(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            from abc import ABC
            from typing import Generic, NamedTuple, TypeVar
            from elsewhere import Base
            T = TypeVar("T")

            class Flags:
                def set(self):
                    pass

            class Out(NamedTuple):
                flags: Flags
                count: Flags

            class Abstract(ABC):
                def __init__(self):
                    self.flags = Flags()

            class Box(Generic[T]):
                def __init__(self):
                    self.flags = Flags()

            class Failure(Exception):
                def __init__(self):
                    self.flags = Flags()
                    self.args = Flags()

            class Unknown(Base):
                def __init__(self):
                    self.flags = Flags()

            def named():
                out = Out(Flags(), Flags())
                out.flags.set()

            def abstract(a: Abstract, b: Box, e: Failure):
                a.flags.set()
                b.flags.set()
                e.flags.set()

            def shadowed(out: Out, e: Failure, u: Unknown):
                out.count.set()
                e.args.set()
                u.flags.set()
        ''',
    })
    set_ = "m.py:Flags.set"
    assert set_ in callees(engine, "m.py:named")
    assert set_ in callees(engine, "m.py:abstract")
    # A tuple's own count, an exception's own args, and a base nobody can read.
    assert set_ not in callees(engine, "m.py:shadowed")


def test_types_reached_through_attributes_and_method_results(tmp_path):
    engine = index_files(tmp_path, {
        "models.py": '''
            from collections.abc import MutableMapping

            class Headers(MutableMapping):
                def get_list(self):
                    pass

            class Response:
                def __init__(self):
                    self.headers = Headers()

                def again(self) -> "Response":
                    return self

                def to_client(self) -> "Client":
                    return Client()

            class Client:
                response: Response

                def send(self) -> Response:
                    return Response()

                async def asend(self) -> Response:
                    return Response()

                def mixed(self):
                    pass

            class Loose:
                def __init__(self, flag):
                    self.headers = Headers() if flag else None
                    if flag:
                        self.headers = Response()
        ''',
        "app.py": '''
            from models import Client, Loose, Response

            def chained(c: Client):
                c.response.headers.get_list()

            def through_result(c: Client):
                r = c.send()
                r.headers.get_list()

            async def awaited(c: Client):
                r = await c.asend()
                r.headers.get_list()

            def coroutine(c: Client):
                s = c.asend()
                s.headers.get_list()

            def reassigned(r: Response, s: Response):
                r = r.again()
                r.headers.get_list()
                s = s.to_client()
                s.send()

            def conflicting(x: Loose):
                x.headers.get_list()

            class Wrapper:
                def __init__(self, c: Client):
                    self.client = c

                def run(self):
                    resp = self.client.send()
                    resp.headers.get_list()
        ''',
    })
    get_list = "models.py:Headers.get_list"
    # A method of a class whose base is outside the tree: the class's own definition wins.
    for caller in ("app.py:chained", "app.py:through_result", "app.py:Wrapper.run", "app.py:awaited"):
        assert get_list in callees(engine, caller), caller
    # Awaiting a coroutine gives what it returns; the coroutine object itself is untyped.
    assert get_list in callees(engine, "app.py:awaited")
    assert get_list not in callees(engine, "app.py:coroutine")
    # Every assignment of r gives a Response; s is a Response, then a Client: no class for
    # all of the body, but until it is bound again s is the Response its annotation states.
    assert callees(engine, "app.py:reassigned") == [
        "models.py:Headers.get_list", "models.py:Response.again", "models.py:Response.to_client"]
    # An attribute bound to two classes (or to what cannot be typed) has no single class.
    assert get_list not in callees(engine, "app.py:conflicting")


def test_conditional_values_and_loop_items(tmp_path):
    engine = index_files(tmp_path, {
        "lines.py": '''
            import contextlib
            from contextlib import contextmanager
            from typing import Iterator, Generator, List

            class Line:
                def strip(self):
                    pass

            class Lines:
                def __iter__(self) -> Iterator["Line"]:
                    return iter([])

            class Other:
                def strip(self):
                    pass

            def split() -> Lines:
                return Lines()

            def produce() -> Generator[Line, None, None]:
                yield Line()

            def listed() -> List[Line]:
                return []

            @contextmanager
            def opened() -> Iterator[Line]:
                yield Line()

            class Source:
                @contextlib.contextmanager
                def lines(self) -> Iterator[Line]:
                    yield Line()

                def plain(self) -> Iterator[Line]:
                    yield Line()
        ''',
        "app.py": '''
            from lines import Line, Lines, Other, Source, split, produce, listed, opened

            def conditional(flag):
                a = Line() if flag else None
                a.strip()
                b = Line() if flag else Other()
                b.strip()

            def over_result():
                for x in split():
                    x.strip()

            def over_generator():
                for y in produce():
                    y.strip()

            def over_list():
                for z in listed():
                    z.strip()

            def over_parameter(lines: Lines):
                for w in lines:
                    w.strip()

            def managed(source: Source):
                with opened() as a:
                    a.strip()
                with source.lines() as b:
                    b.strip()

            def unmanaged(source: Source):
                with source.plain() as c:
                    c.strip()

            def rebound_loop(lines: Lines):
                for v in lines:
                    v.strip()
                for v in [Other()]:
                    v.strip()
        ''',
    })
    strip = "lines.py:Line.strip"
    # None adds no target; two classes with their own strip leave b without one.
    assert callees(engine, "app.py:conditional") == ["lines.py:Line", strip, "lines.py:Other"]
    for caller in ("over_result", "over_generator", "over_list", "over_parameter"):
        assert strip in callees(engine, f"app.py:{caller}"), caller
    # `with` a generator made a context manager binds what it yields; without the decorator
    # the generator object has no __enter__ of the tree.
    assert callees(engine, "app.py:managed") == [strip, "lines.py:Source.lines", "lines.py:opened"]
    assert callees(engine, "app.py:unmanaged") == ["lines.py:Source.plain"]
    # A loop variable that also takes items of a list of unknown class has no class.
    assert strip not in callees(engine, "app.py:rebound_loop")


def test_rebinding_self_keeps_the_method_class(tmp_path):
    engine = index_files(tmp_path, {
        "mod.py": '''
            import os

            class A:
                def m(self):
                    return 1

                def typed(self):
                    self.m()
                    self = self.g()

                def g(self):
                    return A()

                def untyped(self):
                    self.m()
                    self = self.k()

                def k(self):
                    return os.getcwd()

                @classmethod
                def make(cls):
                    self = cls.__new__(cls)
                    self.m()
                    return self
        ''',
    })
    for caller in ("typed", "untyped", "make"):
        assert "mod.py:A.m" in callees(engine, f"mod.py:A.{caller}"), caller


def test_the_first_parameter_of_a_method_is_the_instance_whatever_its_name(tmp_path):
    engine = index_files(tmp_path, {
        "frac.py": """
            class Fraction:
                @property
                def numerator(a):
                    return a._numerator

                def _richcmp(self, other, op):
                    return op

                def __lt__(a, b):
                    return a._richcmp(b, 1)

                def __floordiv__(a, b):
                    return a.numerator // b

                @classmethod
                def from_float(klass, f):
                    return klass(f)

                def closure(a):
                    def inner():
                        return a._richcmp(1, 2)
                    return inner

                def clash(a, self):
                    return a._richcmp(self, 2)

                def rebinds(a, b):
                    if b:
                        a = b
                    return a._richcmp(b, 3)

                @staticmethod
                def plain(a):
                    return a._richcmp(1, 2)
        """,
    })
    richcmp = ["frac.py:Fraction._richcmp"]
    assert callees(engine, "frac.py:Fraction.__lt__") == richcmp
    assert callees(engine, "frac.py:Fraction.__floordiv__") == ["frac.py:Fraction.numerator"]  # a property read
    assert callees(engine, "frac.py:Fraction.from_float") == ["frac.py:Fraction"]
    assert callees(engine, "frac.py:Fraction.closure.inner") == richcmp
    # Where another name is self, the parameter is bound anew, or the method is static:
    # nothing is assumed.
    for method in ("clash", "rebinds", "plain"):
        assert callees(engine, f"frac.py:Fraction.{method}") == [], method
    # The record keeps the signature as written.
    assert engine.get_node_meta("frac.py:Fraction.__lt__")["signature"] == "def __lt__(a, b)"


def test_class_attributes_holding_a_function_of_the_class_body_or_a_static_method(tmp_path):
    engine = index_files(tmp_path, {
        "rnd.py": """
            def helper(self):
                pass

            def value():
                pass

            class Random:
                def _with_bits(self, n):
                    return n

                _below = _with_bits
                run = helper
                value = 3
                alias_of_value = value

                def choice(self, seq):
                    self.run()
                    self.alias_of_value()
                    return self._below(len(seq))
        """,
        "hdr.py": """
            def get_unstructured(value):
                return value

            def parse_cte(value):
                return value

            class BaseHeader:
                value_parser = staticmethod(get_unstructured)

                @classmethod
                def parse(cls, value):
                    return cls.value_parser(value)

            class CTEHeader(BaseHeader):
                value_parser = staticmethod(parse_cte)

                @classmethod
                def parse(cls, value):
                    return cls.value_parser(value)

            class Shadowed:
                def staticmethod(f):
                    return f

                value_parser = staticmethod(parse_cte)

                def parse(self, value):
                    return self.value_parser(value)
        """,
    })
    # The class body's value, not the module's function of the same name.
    assert callees(engine, "rnd.py:Random.choice") == ["rnd.py:Random._with_bits", "rnd.py:helper"]
    # `staticmethod(f)`, the builtin, holds f; a class body's own `staticmethod` may not.
    assert callees(engine, "hdr.py:BaseHeader.parse") == ["hdr.py:get_unstructured"]
    assert callees(engine, "hdr.py:CTEHeader.parse") == ["hdr.py:parse_cte"]
    assert callees(engine, "hdr.py:Shadowed.parse") == []


def test_a_deleted_function_still_types_what_it_made(tmp_path):
    engine = index_files(tmp_path, {
        "env.py": '''
            class Environ:
                def get(self, key):
                    pass

            def _create():
                return Environ()

            environ = _create()
            environ.get("HOME")
            del _create
        ''',
        "app.py": '''
            import env

            def home():
                return env.environ.get("HOME")
        ''',
    })
    assert callees(engine, "env.py:<module>") == ["env.py:Environ.get", "env.py:_create"]
    assert callees(engine, "app.py:home") == ["env.py:Environ.get"]


def test_a_new_instance_of_selfs_own_class(tmp_path):
    engine = index_files(tmp_path, {
        "shapes.py": '''
            class Base:
                def copy(self):
                    return self.__class__()

                def clone(self):
                    return type(self)()

                def run(self):
                    pass

                def twin(self):
                    other = self.__class__()
                    other.run()
                    type(self)().run()

                def shadowed(self, type):
                    type(self)().run()

                def nested(self):
                    def make():
                        return self.__class__()
                    return make


            class Child(Base):
                def run(self):
                    pass


            def use(c: Child):
                c.copy().run()
                c.clone().run()


            def nested_result(c: Child):
                c.nested()().run()
        ''',
    })
    # A method that returns a new instance of the receiver's class gives the receiver's class.
    assert callees(engine, "shapes.py:use") == ["shapes.py:Base.clone", "shapes.py:Base.copy", "shapes.py:Child.run"]
    assert "shapes.py:Base.run" in callees(engine, "shapes.py:Base.twin")
    # `type` bound to something else is not the builtin.
    assert callees(engine, "shapes.py:Base.shadowed") == []
    assert "shapes.py:Child.run" not in callees(engine, "shapes.py:nested_result")


def test_an_instance_of_the_class_a_class_attribute_holds(tmp_path):
    engine = index_files(tmp_path, {
        "conn.py": '''
            class Response:
                def begin(self):
                    pass


            class Connection:
                response_class = Response

                class Part:
                    def size(self):
                        pass

                def get(self):
                    r = self.response_class()
                    r.begin()
                    p = self.Part()
                    p.size()

                def make(self):
                    return self.response_class()

                def again(self):
                    made = self.make()
                    return made

                def use(self):
                    self.again().begin()


            class Rebinding(Connection):
                def __init__(self, other):
                    self.response_class = other

                def get(self):
                    r = self.response_class()
                    r.begin()


            class Twice:
                factory = Response
                factory = Connection

                def go(self):
                    f = self.factory()
                    f.begin()
        ''',
    })
    assert {"conn.py:Response.begin", "conn.py:Connection.Part.size"} <= set(callees(engine, "conn.py:Connection.get"))
    # A method that returns what another call on self gives, followed to the class.
    assert "conn.py:Response.begin" in callees(engine, "conn.py:Connection.use")
    # An instance that assigns the attribute, or a class that binds it twice: no class.
    assert "conn.py:Response.begin" not in callees(engine, "conn.py:Rebinding.get")
    assert "conn.py:Response.begin" not in callees(engine, "conn.py:Twice.go")


def test_a_name_bound_again_calls_what_it_last_held_where_the_code_runs_straight(tmp_path):
    engine = index_files(tmp_path, {
        "jobs.py": '''
            class Fast:
                def run(self):
                    pass

            class Slow:
                def run(self):
                    pass

            def first():
                pass

            def second():
                pass
        ''',
        "app.py": '''
            from jobs import Fast, Slow, first, second

            a = b = first
            b()
            a = b = second
            a()

            def swapped():
                job = Fast()
                job.run()
                job = Slow()
                job.run()

            def in_try():
                try:
                    job = Fast()
                    job.run()
                except ValueError:
                    job = Slow()
                    job.run()
                with open("x") as f:
                    job = Slow()
                job.run()  # the with body may have stopped early, its exception suppressed

            def branched(flag):
                pick = first
                if flag:
                    pick = second
                    pick()
                else:
                    pick()
                pick()

            def looped(items):
                step = first
                for item in items:
                    step()
                    step = second

            def later():
                f = first
                g = (f() for _ in range(3))
                h = lambda: f()
                f = second
                return g, h

            def stale():
                origin = first
                held = origin
                origin = second
                held()
                held = origin

            def tested(flag):
                step = first
                if flag and (step := second) is None:
                    pass
                else:
                    step()  # the test may have bound it on the way

            counter = first
            counter()

            def bump():
                global counter
                counter = second
        ''',
    })
    first, second = "jobs.py:first", "jobs.py:second"
    fast, slow = "jobs.py:Fast.run", "jobs.py:Slow.run"
    code = callees(engine, "app.py:<module>")
    assert first in code and second in code
    assert callees(engine, "app.py:swapped") == ["jobs.py:Fast", fast, "jobs.py:Slow", slow]
    # In the try body Fast's; in the handler only what it bound itself; after a with, nothing.
    assert [c for c in callees(engine, "app.py:in_try") if c.endswith(".run")] == [fast, slow]
    # Each branch starts from what held before it; after the if, either may be held.
    assert callees(engine, "app.py:branched") == [first, second]
    # A loop may run its body again after a later binding.
    assert callees(engine, "app.py:looped") == []
    # Generator expressions and lambdas run later, when the name may hold something else.
    assert first not in callees(engine, "app.py:later")
    # What a name held through another name that was bound anew since is not followed.
    assert callees(engine, "app.py:stale") == []
    assert callees(engine, "app.py:tested") == []
    # A name some function rebinds with `global` may change under any call.
    assert callees(engine, "app.py:bump") == []
    assert [c for c in code if c in (first, second)] == [first, second]


def test_an_isinstance_test_that_held_types_the_name_where_the_code_runs(tmp_path):
    engine = index_files(tmp_path, {
        "shapes.py": '''
            class Shape:
                def area(self):
                    pass

            class Circle(Shape):
                def radius(self):
                    pass
        ''',
        "app.py": '''
            from shapes import Shape, Circle

            def branch(x):
                if isinstance(x, Circle):
                    x.radius()
                elif not isinstance(x, Shape):
                    pass
                else:
                    x.area()  # every test of the chain failed
                x.radius()  # either branch may have run

            def guarded(x, y, z):
                if not isinstance(x, Circle):
                    raise TypeError(x)
                x.radius()
                assert isinstance(y, Shape) and z
                y.area()

            def fallthrough(z):
                if not isinstance(z, Shape):
                    print(z)  # goes on below: z may be anything there
                z.area()

            def rebound(x, items):
                if isinstance(x, Circle):
                    x = items[0]
                    x.radius()
                if isinstance(x, (Circle, Shape)) or items:
                    x.area()  # a tuple, and an `or` that may hold without the test
                for x in items:
                    if isinstance(x, Circle):
                        x.radius()
                        check = lambda: x.area()

            def as_circle(x):
                if isinstance(x, Circle):
                    return x
                if isinstance(x, int):
                    return Circle()
                return NotImplemented

            def caller(x):
                as_circle(x).radius()

            def builtin_class(x):
                if isinstance(x, str):
                    x.radius()

            def tested_anew(x, make):
                if not isinstance(x, Circle):
                    pass
                elif (x := make()) is None:
                    pass
                else:
                    x.radius()  # x holds what make gave, not the Circle the first test told of
        ''',
    })
    radius, area = "shapes.py:Circle.radius", "shapes.py:Shape.area"
    assert callees(engine, "app.py:branch") == [radius, area]
    assert callees(engine, "app.py:guarded") == [radius, area]
    assert callees(engine, "app.py:fallthrough") == []
    assert callees(engine, "app.py:rebound") == [radius]  # the one in the loop
    assert radius in callees(engine, "app.py:caller")  # NotImplemented fails a call like None
    assert callees(engine, "app.py:builtin_class") == []
    assert callees(engine, "app.py:tested_anew") == []


def test_class_methods_that_make_their_class_give_an_instance_of_the_class_called(tmp_path):
    engine = index_files(tmp_path, {
        "shapes.py": '''
            class Shape:
                @classmethod
                def make(cls):
                    return cls()

                @classmethod
                def raw(cls):
                    self = object.__new__(cls)
                    return self

                def __new__(cls, *args):
                    return super().__new__(cls)

                def copy(self):
                    return self.make()

                def area(self):
                    pass

            class Circle(Shape):
                def area(self):
                    pass

            class Meta(type):
                def build(cls):
                    made = cls()
                    made.area()  # an instance of the class, not of the metaclass
                    return cls()

                def area(cls):
                    pass
        ''',
        "app.py": '''
            from shapes import Shape, Circle, Meta

            def use(shape: Shape):
                Circle.make().area()
                Shape.raw().area()
                shape.copy().area()

            def odd(meta: Meta):
                meta.build().area()
        ''',
    })
    circle, shape = "shapes.py:Circle.area", "shapes.py:Shape.area"
    assert {circle, shape} <= set(callees(engine, "app.py:use"))
    assert "shapes.py:Meta.area" not in callees(engine, "app.py:odd")
    assert callees(engine, "shapes.py:Meta.build") == []


def test_a_result_is_typed_when_every_return_gives_one_class(tmp_path):
    engine = index_files(tmp_path, {
        "num.py": '''
            class Num:
                @classmethod
                def from_int(cls, n):
                    made = _raw(n)
                    if cls is Num:
                        return made
                    return cls(made)

                def fix(self):
                    pass

            class Other:
                def fix(self):
                    pass

            def _raw(n):
                self = object.__new__(Num)
                return self

            def convert(x):
                if isinstance(x, Num):
                    return x
                if isinstance(x, int):
                    return Num.from_int(x)
                return NotImplemented

            def either(flag):
                if flag:
                    return Num()
                return Other()

            def forever(n):
                if n:
                    return forever(n - 1)
                return Num()

            def ping(n):
                return pong(n) if n else Num()

            def pong(n):
                return ping(n)
        ''',
        "app.py": '''
            from num import convert, either, forever, pong

            def use(x):
                convert(x).fix()

            def mixed(flag):
                either(flag).fix()

            def loops(n):
                forever(n).fix()
                pong(n).fix()
        ''',
    })
    # object.__new__(Num), a narrowed `return x`, Num.from_int (cls or what _raw makes): one class.
    assert callees(engine, "app.py:use") == ["num.py:Num.fix", "num.py:convert"]
    assert "num.py:Num.fix" not in callees(engine, "app.py:mixed")
    # A result worked out from the function's own result is not followed round the loop.
    assert "num.py:Num.fix" not in callees(engine, "app.py:loops")


def test_a_getter_or_property_returning_an_attribute_gives_its_class(tmp_path):
    engine = index_files(tmp_path, {
        "loop.py": '''
            class Loop:
                def call_soon(self):
                    pass

            class Transport:
                def __init__(self):
                    self._loop = Loop()
                    self._mixed = Loop()

                @property
                def loop(self):
                    return self._loop

                def get_loop(self):
                    return self._loop

                def get_mixed(self):
                    return self._mixed

            class Sub(Transport):
                def reset(self):
                    self._mixed = object()
        ''',
        "app.py": '''
            from loop import Transport, Sub

            def direct(t: Transport):
                t.get_loop().call_soon()

            def through_local(t: Transport):
                x = t.get_loop()
                x.call_soon()

            def through_property(t: Transport):
                t.loop.call_soon()

            def rebound(s: Sub):
                s.get_mixed().call_soon()
        ''',
    })
    for caller in ("direct", "through_local", "through_property"):
        assert "loop.py:Loop.call_soon" in callees(engine, f"app.py:{caller}"), caller
    # Sub stores something else in _mixed: what get_mixed returns there is not one class.
    assert "loop.py:Loop.call_soon" not in callees(engine, "app.py:rebound")


def test_an_attribute_typed_through_an_import_inside_a_method(tmp_path):
    engine = index_files(tmp_path, {
        "ftp.py": '''
            class FTP:
                def login(self):
                    pass
        ''',
        "wrap.py": '''
            class Wrapper:
                def init(self):
                    import ftp
                    self.conn = ftp.FTP()

                def use(self):
                    self.conn.login()

            class Other:
                def init(self):
                    ftp = make()
                    self.conn = ftp.FTP()

                def use(self):
                    self.conn.login()

            def make():
                pass
        ''',
    })
    assert callees(engine, "wrap.py:Wrapper.use") == ["ftp.py:FTP.login"]
    assert callees(engine, "wrap.py:Other.use") == []  # there ftp is a local, not the module


def test_packages_in_a_src_folder_import_by_their_own_names(tmp_path):
    engine = index_files(tmp_path, {
        "src/pkg/__init__.py": "from pkg.core import run\n",
        "src/pkg/core.py": "def run():\n    pass\n",
        "src/pkg/cli.py": "from pkg import run\n\ndef main():\n    run()\n",
        "examples/demo.py": '''
            import pkg.core
            from pkg import core as c

            def demo():
                pkg.core.run()

            def other():
                c.run()
        ''',
    })
    assert callees(engine, "src/pkg/cli.py:main") == ["src/pkg/core.py:run"]
    assert callees(engine, "examples/demo.py:demo") == callees(engine, "examples/demo.py:other") == [
        "src/pkg/core.py:run"]


def test_calling_a_new_instance_runs_its_classes_call(tmp_path):
    engine = index_files(tmp_path, {
        "hl.py": '''
            class Highlighter:
                def __call__(self, text):
                    pass

            class Repr(Highlighter):
                pass

            class Plain:
                pass
        ''',
        "app.py": '''
            from hl import Repr, Plain

            def direct():
                Repr()("x")

            def held():
                h = Repr()
                h("x")

            def plain():
                p = Plain()
                p()
        ''',
    })
    for caller in ("direct", "held"):
        assert "hl.py:Highlighter.__call__" in callees(engine, f"app.py:{caller}"), caller
    assert callees(engine, "app.py:plain") == ["hl.py:Plain"]


def test_what_partial_wraps_a_caught_exception_and_chained_results_reach(tmp_path):
    engine = index_files(tmp_path, {
        "m.py": '''
            import functools
            from functools import partial

            def add(a, b):
                return a + b

            def impl(self):
                pass

            class Shape:
                run = impl

                def __call__(self):
                    pass

                def moved(self) -> "Shape":
                    return self

                def area(self):
                    pass

            class Failed(Exception):
                def note(self):
                    pass

            def partials():
                inc = partial(add, 1)
                inc(2)
                dec = functools.partial(add, -1)
                dec(2)

            def methods():
                Shape().run()
                s = Shape()
                s()

            def chained():
                Shape().moved().moved().area()
                m = Shape().moved()
                m.area()

            def caught():
                try:
                    pass
                except Failed as e:
                    e.note()

            def caught_either():
                try:
                    pass
                except (Failed, ValueError) as e:
                    e.note()
        ''',
        "other.py": '''
            def partial(f, x):
                return print

            def add():
                pass

            def not_functools():
                p = partial(add, 1)
                p()
        ''',
    })
    assert callees(engine, "m.py:partials") == ["m.py:add"]
    assert callees(engine, "m.py:methods") == ["m.py:Shape", "m.py:Shape.__call__", "m.py:impl"]
    assert callees(engine, "m.py:chained") == ["m.py:Shape", "m.py:Shape.area", "m.py:Shape.moved"]
    assert callees(engine, "m.py:caught") == ["m.py:Failed.note"]
    assert callees(engine, "m.py:caught_either") == []
    assert callees(engine, "other.py:not_functools") == ["other.py:partial"]


def test_method_resolution_order_is_pythons_on_random_hierarchies():
    import random

    from corvane_index import tree_pass

    rng = random.Random(7)
    for trial in range(60):
        lines, names = [], []
        for i in range(rng.randrange(2, 14)):
            bases = rng.sample(names, min(len(names), rng.choice([0, 1, 1, 1, 2, 3])))
            lines.append(f"class C{i}({', '.join(bases)}):\n    pass\n")
            names.append(f"C{i}")
        source = "".join(lines)
        try:
            namespace: dict = {}
            exec(source, namespace)  # Python's own verdict on each class
        except TypeError:
            continue  # no consistent order: Python refuses the module
        facts = tree_pass.TreeFacts({"m.py": extract_source("m.py", source).summary})
        for name in names:
            got = facts.linearization(("def", "m.py", name, "class"))
            assert [c[2] for c in got] == [c.__name__ for c in namespace[name].__mro__[:-1]], (trial, name)


def test_unpacking_binds_each_name_to_the_value_in_its_place(tmp_path):
    engine = index_files(tmp_path, {
        "main.py": '''
            def first():
                pass

            def second():
                pass

            def unpack():
                a, (b, c) = first, (second, first)
                d, *rest, e = first, second, second, second
                *p, q = second, first
                a()
                b()
                d()
                e()
                q()
                rest()
                p()

            def uneven():
                x, y = first, second, first
                x()
        ''',
    })
    assert callees(engine, "main.py:unpack") == ["main.py:first", "main.py:second"]
    # The starred names hold lists: their calls keep their own names.
    assert sorted(engine.get_all_metadata()["main.py:unpack"]["calls"]) == ["first", "p", "rest", "second"]
    assert callees(engine, "main.py:uneven") == []


def test_reading_a_property_calls_it(tmp_path):
    engine = index_files(tmp_path, {
        "shapes.py": """
            import functools

            class Shape:
                @property
                def area(self):
                    return 0

                @area.setter
                def area(self, value):
                    pass

                @functools.cached_property
                def outline(self):
                    return []

                @property
                def corners(self):
                    raise NotImplementedError

                def draw(self):
                    pass

            class Square(Shape):
                corners = 4
        """,
        "use.py": """
            from shapes import Shape, Square

            class Tile(Shape):
                def describe(self):
                    self.area = 2  # the setter: the property stays
                    return self.area, self.outline, self.corners

                def handlers(self):
                    return [self.draw]  # a bound method, not called here

            def measure(shape: Shape, square: Square):
                return shape.area + square.corners

            def untyped(thing):
                return thing.area

            def resize(shape: Shape, tile: Tile):
                shape.area = 3
                del tile.area
                tile.kind = 1

            class Board:
                corner: Tile

                def size(self):
                    return self.corner.area
        """,
    })
    assert callees(engine, "use.py:Tile.describe") == ["shapes.py:Shape.area", "shapes.py:Shape.outline"]
    assert callees(engine, "use.py:Tile.handlers") == []
    # Square binds corners to a number; an abstract property runs an override.
    assert callees(engine, "use.py:measure") == ["shapes.py:Shape.area"]
    assert callees(engine, "use.py:untyped") == []
    # Setting or deleting a property runs its setter or deleter (the same node).
    assert callees(engine, "use.py:resize") == ["shapes.py:Shape.area"]
    # Through an attribute whose class is stated.
    assert callees(engine, "use.py:Board.size") == ["shapes.py:Shape.area"]
    assert sorted(engine.get_callers("shapes.py:Shape.area")) == ["use.py:Board.size", "use.py:Tile.describe",
                                                                 "use.py:measure", "use.py:resize"]


def test_operators_and_builtins_run_the_special_methods_of_a_typed_value(tmp_path):
    engine = index_files(tmp_path, {
        "bag.py": '''
            class Bag:
                def __len__(self):
                    return 0

                def __getitem__(self, key):
                    return key

                def __setitem__(self, key, value):
                    pass

                def __contains__(self, key):
                    return False

                def __lt__(self, other):
                    return True

                def size(self):
                    return len(self)

            def use(bag: Bag, other, len=len):
                bag["k"] = bag[0]
                if "k" in bag and bag < other:
                    return repr(bag), other < bag, len(bag)

            def plain(items: list):
                return items[0], len(items)

            class Holder:
                def __init__(self):
                    self.bag = Bag()
                    self.loose = None

                def use(self, key):
                    self.bag[key] = self.loose[key]
                    return key in self.bag, len(self.bag), self.bag < self.loose
        ''',
    })
    assert callees(engine, "bag.py:Bag.size") == ["bag.py:Bag.__len__"]
    # No __repr__ of the tree; a parameter named len is not the builtin; other has no type.
    assert callees(engine, "bag.py:use") == ["bag.py:Bag.__contains__", "bag.py:Bag.__getitem__",
                                            "bag.py:Bag.__lt__", "bag.py:Bag.__setitem__"]
    assert callees(engine, "bag.py:plain") == []
    # An attribute of self with a class of the tree runs them too; one without, nothing.
    assert callees(engine, "bag.py:Holder.use") == ["bag.py:Bag.__contains__", "bag.py:Bag.__len__",
                                                   "bag.py:Bag.__lt__", "bag.py:Bag.__setitem__"]
    assert not any(c.startswith("self.loose.") for c in engine.get_node_meta("bag.py:Holder.use")["calls"])


def test_a_long_elif_chain_is_read_like_a_short_one():
    branches = "".join(f"    elif x == {i}:\n        step{i}()\n" for i in range(1, 900))
    ex = extract_source("chain.py", "def f(x):\n    if x == 0:\n        step0()\n" + branches)
    assert ex.error is None
    assert len(dict(ex.callers)["chain.py:f"]) == 900


def test_a_method_only_subclasses_define_through_self_cls_or_a_typed_receiver(tmp_path):
    engine = index_files(tmp_path, {
        "base.py": '''
            class Host:
                def helper(self):
                    pass

            class Mixin:
                @classmethod
                def build(cls):
                    cls.helper()

                def run(self):
                    self.helper()
                    self.missing()

            def use(m: Mixin):
                m.helper()
        ''',
        "parts.py": '''
            from base import Host, Mixin

            class Part(Mixin, Host):
                pass

            class Other(Host, Mixin):
                pass
        ''',
    })
    # Every subclass takes helper from Host; nothing defines missing.
    for caller in ("base.py:Mixin.build", "base.py:Mixin.run", "base.py:use"):
        assert callees(engine, caller) == ["base.py:Host.helper"], caller
