"""The extractor's expression walk against the plain walk it replaced, and what the indexer's
speed rests on: no reference cycles left by a file, a package that imports lazily."""

import ast
import gc
import os
import random
import subprocess
import sys
import sysconfig

import pytest

import corvane_index
from corvane_index import python_file
from corvane_index.python_file import _UNKNOWN, _FileVisitor, _Through, _site, extract_source

STDLIB = sysconfig.get_paths()["stdlib"]


def operand(node):
    """A name or a chain of attributes on one, as text: what operators are recorded on."""
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    return ".".join([node.id, *reversed(parts)]) if isinstance(node, ast.Name) else None


def _expr_plain(self, expr, scope):
    """The walk as first written: every field of every node, read by name."""
    function = scope.kind == "function"
    stack = [(expr, False, False)]
    while stack:
        node, in_lambda, later = stack.pop()
        t = type(node)
        if t is ast.Name:
            ctx = type(node.ctx)
            if ctx is ast.Store:
                scope.bind(node.id)
                if scope.kind != "class":
                    scope.receivers.note(node.id, _UNKNOWN)
            elif ctx is ast.Del:
                scope.binds[node.id] = scope.binds.get(node.id, 0) + 1
                scope.rebind(node.id)
            else:
                scope.loads[node.id] = scope.loads.get(node.id, 0) + 1
            continue
        if t is ast.Constant:
            continue
        if t is ast.NamedExpr and scope.kind != "class":
            scope.bind(node.target.id)
            for type_name in self._value_types(node.value, scope):
                scope.receivers.note(node.target.id, type_name, scope)
            stack.append((node.value, in_lambda, later))
            continue
        if t is ast.Attribute and isinstance(node.value, (ast.Name, ast.Attribute)):
            scope.reads.append(node)
        if t is ast.Call:
            if type(node.func) is ast.Name:
                scope.sites.append(_site(node))
                if node.func.id in ("map", "filter", "sorted", "min", "max"):
                    self._passed(node, scope)
                if (node.func.id in python_file._BUILTIN_SPECIAL and len(node.args) == 1
                        and operand(node.args[0]) and not node.keywords):
                    scope.operated.append((node.func.id, operand(node.args[0]), python_file._BUILTIN_SPECIAL[node.func.id]))
            name = self._call_name(node.func, scope)
            if name is not None and name != "super":
                held = scope.current.get(name.split(".")[0]) if not (in_lambda or later) else None
                scope.raw_calls.append(name if held is None else _Through(name, held))
        elif t is ast.comprehension:
            self._special_calls(node.iter, "async for" if node.is_async else "for", scope)
        elif t is ast.Subscript and operand(node.value):
            scope.operated.append((None, operand(node.value), python_file._SUBSCRIPT[type(node.ctx)]))
        elif t is ast.Compare:
            operands = [node.left, *node.comparators]
            for i, op in enumerate(node.ops):
                if isinstance(op, (ast.In, ast.NotIn)) and operand(operands[i + 1]):
                    scope.operated.append((None, operand(operands[i + 1]), "__contains__"))
                elif type(op) in python_file._COMPARISONS and operand(operands[i]):
                    scope.operated.append((None, operand(operands[i]), python_file._COMPARISONS[type(op)]))
        elif t in (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp):
            later = True
        elif t is ast.Lambda:
            if not in_lambda:
                self._lambda(node, scope)
            in_lambda = True
            if function:
                a = node.args
                for arg in [*a.posonlyargs, *a.args, *a.kwonlyargs, a.vararg, a.kwarg]:
                    if arg is not None:
                        scope.bind(arg.arg)
        elif t is ast.Yield or t is ast.YieldFrom:
            if not in_lambda:
                scope.generator = True
                scope.yielded.append(python_file._yielded(node))
        elif (t is ast.MatchAs or t is ast.MatchStar) and node.name:
            scope.bind(node.name)
        elif t is ast.MatchMapping and node.rest:
            scope.bind(node.rest)
        children = []
        for f in node._fields:
            v = getattr(node, f, None)
            if type(v) is list:
                children.extend(x for x in v if isinstance(x, ast.AST))
            elif isinstance(v, ast.AST) and not isinstance(v, ast.expr_context):
                children.append(v)
        stack.extend((c, in_lambda, later) for c in reversed(children))


def _plain_statement(self, stmt, scope, before=None):
    """Statements all through the generic branch's isinstance chain (no shortcuts)."""
    if type(stmt) is ast.Expr:
        for child in ast.iter_child_nodes(stmt):
            if isinstance(child, ast.stmt):
                self._stmt(child, scope)
            else:
                self._expr(child, scope)
        return
    _fast_statement(self, stmt, scope, before)


_fast_statement = _FileVisitor._statement


def both_ways(path, source):
    fast = extract_source(path, source)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_FileVisitor, "_expr", _expr_plain)
        mp.setattr(_FileVisitor, "_statement", _plain_statement)
        plain = extract_source(path, source)
    return fast, plain


# ---- random programs ----------------------------------------------------------------

NAMES = ["a", "b", "self", "cls", "f", "g", "obj", "items", "x", "super"]


def rand_expr(rng, depth=0):
    if depth > 2:
        return rng.choice(NAMES + ["1", "'s'", "None"])
    e = lambda: rand_expr(rng, depth + 1)  # noqa: E731
    forms = [
        lambda: rng.choice(NAMES),
        lambda: f"{e()}.{rng.choice(['m', 'get', 'run', 'save'])}",
        lambda: f"{e()}({e()}, k={e()}, *{e()})" if rng.random() < 0.3 else f"{e()}({e()})",
        lambda: f"{rng.choice(NAMES)}()",
        lambda: f"super().{rng.choice(['m', 'run'])}()",
        lambda: f"(lambda p, *q, r=1: {e()})",
        lambda: f"(lambda: (yield {e()}))",
        lambda: f"[{e()} for v in {e()} if {e()}]",
        lambda: f"{{k: {e()} for k, w in {e()}}}",
        lambda: f"{{**{e()}, 'k': {e()}}}",
        lambda: f"f'{{{e()}!r:>{{{e()}}}}}'",
        lambda: f"({e()} if {e()} else {e()})",
        lambda: f"{e()}[{e()}:{e()}]",
        lambda: f"{e()}['key']()",
        lambda: f"(w := {e()})",
        lambda: f"not {e()} and {e()} < {e()} <= {e()}",
        lambda: f"[*{e()}, {e()}]",
        lambda: f"(yield from {e()})",
        lambda: f"await {e()}",
        lambda: f"{rng.choice(NAMES)}()()",
    ]
    return rng.choice(forms)()


def rand_block(rng, indent, depth=0):
    pad = " " * indent
    lines = []
    for _ in range(rng.randint(1, 3)):
        kind = rng.randrange(11 if depth < 2 else 6)
        if kind == 0:
            lines.append(f"{pad}{rng.choice(NAMES[:-1])} = {rand_expr(rng)}")
        elif kind == 1:
            lines.append(f"{pad}{rand_expr(rng)}")
        elif kind == 2:
            lines.append(f"{pad}x.attr, [y, *z] = {rand_expr(rng)}, {rand_expr(rng)}")
        elif kind == 3:
            lines.append(f"{pad}return {rand_expr(rng)}")
        elif kind == 4:
            lines.append(f"{pad}del a, obj.m")
        elif kind == 5:
            lines.append(f"{pad}a += {rand_expr(rng)}")
        elif kind == 6:
            lines.append(f"{pad}if {rand_expr(rng)}:")
            lines += rand_block(rng, indent + 4, depth + 1)
            lines.append(f"{pad}else:")
            lines += rand_block(rng, indent + 4, depth + 1)
        elif kind == 7:
            lines.append(f"{pad}async def h{depth}(p: {rng.choice(NAMES)} = {rand_expr(rng)}):")
            lines += rand_block(rng, indent + 4, depth + 1)
            lines.append(f"{pad}    async for v in {rand_expr(rng)}:")
            lines += rand_block(rng, indent + 8, depth + 1)
        elif kind == 8:
            lines.append(f"{pad}match {rand_expr(rng)}:")
            lines.append(f"{pad}    case {{'k': [1, *rest], **more}} if {rand_expr(rng)}:")
            lines += rand_block(rng, indent + 8, depth + 1)
            lines.append(f"{pad}    case Point(x=0, y=q) | [_, (True | None) as q]:")
            lines += rand_block(rng, indent + 8, depth + 1)
        elif kind == 9:
            lines.append(f"{pad}class C{depth}(Base, metaclass={rand_expr(rng)}):")
            lines.append(f"{pad}    attr = {rand_expr(rng)}")
            lines.append(f"{pad}    def m(self, it: list[Item]):")
            lines += rand_block(rng, indent + 8, depth + 1)
        else:
            lines.append(f"{pad}with {rand_expr(rng)} as cm, open(a) as fh:")
            lines += rand_block(rng, indent + 4, depth + 1)
            lines.append(f"{pad}try:")
            lines += rand_block(rng, indent + 4, depth + 1)
            lines.append(f"{pad}except ({rand_expr(rng)}) as err:")
            lines += rand_block(rng, indent + 4, depth + 1)
    return lines


def rand_program(rng):
    lines = ["import os", "from . import sib", "def f(a, b=None, *items):"]
    lines += rand_block(rng, 4)
    lines += ["async def g(obj):"] + rand_block(rng, 4) + rand_block(rng, 0)
    return "\n".join(lines) + "\n"


def test_expression_walk_matches_the_plain_walk_on_random_programs():
    rng = random.Random(20261209)
    checked = 0
    while checked < 80:
        source = rand_program(rng)
        try:
            compile(source, "<random>", "exec", ast.PyCF_ONLY_AST)
        except SyntaxError:
            continue  # `await`/`yield` where the grammar refuses them
        fast, plain = both_ways("pkg/mod.py", source)
        assert fast == plain, source
        checked += 1


def test_expression_walk_matches_the_plain_walk_on_library_files():
    rng = random.Random(7)
    paths = sorted(os.path.join(d, f) for d, _, files in os.walk(STDLIB) if "site-packages" not in d
                   for f in files if f.endswith(".py"))
    for path in rng.sample(paths, 40):
        with open(path, "rb") as f:
            source = f.read()
        rel = os.path.relpath(path, STDLIB).replace(os.sep, "/")
        fast, plain = both_ways(rel, source)
        assert fast == plain, rel


def test_a_file_leaves_no_reference_cycles_for_the_collector():
    # The indexer pauses cyclic collection while it runs: a cycle per file would pile up.
    with open(os.path.join(STDLIB, "argparse.py"), "rb") as f:
        source = f.read()
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        ex = extract_source("argparse.py", source)
        del ex
        assert gc.collect() == 0
    finally:
        if enabled:
            gc.enable()


def test_query_command_imports_none_of_the_indexing_machinery():
    code = ("import sys, corvane_index.cli; "
            "print(sorted(m for m in ('multiprocessing', 'concurrent.futures', 'corvane_index.draw', "
            "'corvane_index.watch', 'difflib', 'xml.sax.saxutils', 'urllib.request') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


def test_package_exports_every_public_name_on_demand():
    for name in corvane_index.__all__:
        assert getattr(corvane_index, name) is not None
    assert corvane_index.extract_source is python_file.extract_source
    with pytest.raises(AttributeError):
        corvane_index.no_such_name  # noqa: B018
