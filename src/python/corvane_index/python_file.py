"""Extraction of one Python source file into engine records, with the standard `ast` only.

The result of `extract_file` is plain data: `add_node` keyword dicts, the structural
(containment) edges, the raw call names of every caller and the Django relations of every
model class. Nothing here talks to the engine.
"""

from __future__ import annotations

import ast
import json
from dataclasses import dataclass, field

from . import ids

DJANGO_RELATION_FIELDS = frozenset({"ForeignKey", "OneToOneField", "ManyToManyField"})

_PLAIN_DECORATORS = frozenset({"staticmethod", "classmethod", "property"})
_UNKNOWN = object()  # a receiver assigned a value whose type we cannot tell


@dataclass
class FileExtract:
    path: str
    nodes: list[dict] = field(default_factory=list)  # add_node keyword arguments
    structural: list[tuple[str, str]] = field(default_factory=list)
    callers: list[tuple[str, list[str]]] = field(default_factory=list)
    django: list[tuple[str, str]] = field(default_factory=list)
    error: str | None = None  # set when the file did not parse; nodes then hold only the File node


def dotted_name(expr: ast.AST) -> str | None:
    """"a.b.c" for a chain of attributes on a plain name, else None."""
    parts = []
    while isinstance(expr, ast.Attribute):
        parts.append(expr.attr)
        expr = expr.value
    if not isinstance(expr, ast.Name):
        return None
    parts.append(expr.id)
    return ".".join(reversed(parts))


def call_name(func: ast.AST) -> str | None:
    """The raw call name in the forms the resolver understands.

    `f(...)` -> "f", `self.repo.get(...)` -> "self.repo.get", `super().save(...)` and
    `super(C, self).save(...)` -> "super.save". Calls on other expressions (a call result,
    a subscript) have no name."""
    name = dotted_name(func)
    if name is not None:
        return name
    if (
        isinstance(func, ast.Attribute)
        and isinstance(func.value, ast.Call)
        and isinstance(func.value.func, ast.Name)
        and func.value.func.id == "super"
    ):
        return "super." + func.attr
    return None


def annotation_type(expr: ast.AST | None) -> str | None:
    """The class an annotation names, when it plainly names one.

    Accepts `Foo`, `mod.Foo`, the string form "Foo", `Optional[Foo]` and `Foo | None`."""
    if expr is None:
        return None
    if isinstance(expr, ast.Constant) and isinstance(expr.value, str):
        try:
            expr = ast.parse(expr.value.strip(), mode="eval").body
        except SyntaxError:
            return None
    if isinstance(expr, ast.Subscript) and dotted_name(expr.value) in ("Optional", "typing.Optional"):
        return annotation_type(expr.slice)
    if isinstance(expr, ast.BinOp) and isinstance(expr.op, ast.BitOr):
        sides = [s for s in (expr.left, expr.right) if not (isinstance(s, ast.Constant) and s.value is None)]
        return annotation_type(sides[0]) if len(sides) == 1 else None
    return dotted_name(expr)


def base_class_text(expr: ast.AST) -> str:
    """A base class as written; a subscripted base (`Generic[T]`) counts as its origin."""
    if isinstance(expr, ast.Subscript):
        expr = expr.value
    return dotted_name(expr) or ast.unparse(expr)


class _Receivers:
    """Types seen for receiver expressions of one scope; a conflict is kept as a conflict."""

    def __init__(self):
        self.seen: dict[str, list] = {}

    def note(self, key: str, type_name):
        entries = self.seen.setdefault(key, [])
        if type_name not in entries:
            entries.append(type_name)

    def single(self, key: str) -> str | None:
        entries = self.seen.get(key)
        if entries and len(entries) == 1 and entries[0] is not _UNKNOWN:
            return entries[0]
        return None

    def as_json(self) -> dict:
        out = {}
        for key, entries in self.seen.items():
            types = [t for t in entries if t is not _UNKNOWN]
            if not types:
                continue
            # A JSON null stops the resolver instead of letting it guess further out.
            out[key] = types[0] if len(entries) == 1 else None
        return out


@dataclass
class _Scope:
    kind: str  # "module", "class" or "function"
    qual: str  # "" for the module, else the qualified name used in node ids
    node_id: str
    record: dict
    parent: "_Scope | None" = None
    calls: list[str] = field(default_factory=list)
    call_set: set[str] = field(default_factory=set)
    imports: dict[str, list[dict]] = field(default_factory=dict)
    unresolvable: set[str] = field(default_factory=set)  # imported from outside the indexed root
    receivers: _Receivers = field(default_factory=_Receivers)
    locals: set[str] = field(default_factory=set)
    declared_outer: set[str] = field(default_factory=set)  # global / nonlocal names
    self_name: str | None = None  # first parameter of a method ("self"/"cls")
    class_scope: "_Scope | None" = None  # the class whose method this is
    relations: list[dict] = field(default_factory=list)
    generator: bool = False

    def add_call(self, name: str):
        if name not in self.call_set:
            self.call_set.add(name)
            self.calls.append(name)


class _FileVisitor:
    def __init__(self, path: str, tree: ast.Module):
        self.path = path
        self.tree = tree
        self.package = ids.package_parts(path)
        self.extract = FileExtract(path)
        self.scopes: list[_Scope] = []
        self.by_id: dict[str, _Scope] = {}  # merges repeated definitions (properties, if/else defs)
        self.exported = _literal_all(tree)

    # ---- scopes and records -------------------------------------------------------

    def run(self) -> FileExtract:
        lines = max((getattr(n, "end_lineno", 0) or 0 for n in self.tree.body), default=0)
        record = {
            "node_id": ids.module_id(self.path),
            "node_type": "Module",
            "name": ids.module_name(self.path),
            "file_path": self.path,
        }
        doc = ast.get_docstring(self.tree)
        if doc is not None:
            record["docstring"] = doc
        if lines:
            record["lines_start"], record["lines_end"] = 1, lines
        module = _Scope("module", "", record["node_id"], record)
        self.scopes.append(module)
        self.extract.nodes.append(record)
        self.extract.structural.append((ids.file_id(self.path), module.node_id))
        self._body(self.tree.body, module)
        record["extra_json"] = json.dumps(self._scope_data(), sort_keys=True)
        for scope in self.scopes:
            if scope.kind == "function":
                scope.record["is_generator"] = scope.generator
            if scope.calls:
                scope.record["calls"] = scope.calls
                self.extract.callers.append((scope.node_id, scope.calls))
            if scope.relations:
                text = json.dumps(scope.relations)
                scope.record["django_relations_json"] = text
                self.extract.django.append((scope.node_id, text))
        return self.extract

    def _open_scope(self, kind: str, name: str, parent: _Scope, record: dict) -> _Scope:
        qual = f"{parent.qual}.{name}" if parent.qual else name
        node_id = ids.definition_id(self.path, qual)
        existing = self.by_id.get(node_id)
        if existing is not None:
            # Same qualified name defined again: one node, whose calls cover both bodies.
            return existing
        record = {"node_id": node_id, "node_type": record.pop("node_type"), "name": name,
                  "file_path": self.path, **record}
        scope = _Scope(kind, qual, node_id, record, parent)
        self.by_id[node_id] = scope
        self.scopes.append(scope)
        self.extract.nodes.append(record)
        self.extract.structural.append((parent.node_id, node_id))
        return scope

    def _function(self, node: ast.FunctionDef | ast.AsyncFunctionDef, parent: _Scope):
        for deco in node.decorator_list:
            self._decorator(deco, parent)
        self._arguments_outside(node.args, parent)
        if node.returns is not None:
            self._expr(node.returns, parent)
        self._bind(parent, node.name, None)

        args = node.args
        all_args = [*args.posonlyargs, *args.args, *args.kwonlyargs]
        if args.vararg:
            all_args.append(args.vararg)
        if args.kwarg:
            all_args.append(args.kwarg)
        is_async = isinstance(node, ast.AsyncFunctionDef)
        record = {
            "node_type": "Function",
            "signature": ("async def " if is_async else "def ") + f"{node.name}({ast.unparse(args)})"
            + (f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""),
            "lines_start": _first_line(node),
            "lines_end": node.end_lineno or node.lineno,
            "is_async": is_async,
            "param_count": len(all_args),
            "extra_json": json.dumps({"decorators": ["@" + ast.unparse(d) for d in node.decorator_list]}),
        }
        doc = ast.get_docstring(node)
        if doc is not None:
            record["docstring"] = doc
        if node.returns is not None:
            record["returns"] = [ast.unparse(node.returns)]
        if parent.kind == "module":
            record["is_exported"] = self._is_exported(node.name)
        scope = self._open_scope("function", node.name, parent, record)

        for a in all_args:
            scope.locals.add(a.arg)
            t = annotation_type(a.annotation)
            if t is not None:
                scope.receivers.note(a.arg, t)
        if parent.kind == "class" and all_args and not _is_staticmethod(node):
            first = (args.posonlyargs + args.args)[:1]
            if first and first[0].arg in ("self", "cls"):
                scope.self_name = first[0].arg
                scope.class_scope = parent
        self._body(node.body, scope)

    def _class(self, node: ast.ClassDef, parent: _Scope):
        for deco in node.decorator_list:
            self._decorator(deco, parent)
        for expr in [*node.bases, *(k.value for k in node.keywords)]:
            self._expr(expr, parent)
        self._bind(parent, node.name, None)
        extra = {"base_classes": [base_class_text(b) for b in node.bases]}
        if node.decorator_list:
            extra["decorators"] = ["@" + ast.unparse(d) for d in node.decorator_list]
        record = {
            "node_type": "Class",
            "signature": f"class {node.name}"
            + (f"({', '.join(ast.unparse(b) for b in [*node.bases, *node.keywords])})" if node.bases or node.keywords else ""),
            "lines_start": _first_line(node),
            "lines_end": node.end_lineno or node.lineno,
            "extra_json": json.dumps(extra),
        }
        doc = ast.get_docstring(node)
        if doc is not None:
            record["docstring"] = doc
        if parent.kind == "module":
            record["is_exported"] = self._is_exported(node.name)
        scope = self._open_scope("class", node.name, parent, record)
        self._body(node.body, scope)

    def _is_exported(self, name: str) -> bool:
        return name in self.exported if self.exported is not None else not name.startswith("_")

    # ---- statements ---------------------------------------------------------------

    def _body(self, stmts: list[ast.stmt], scope: _Scope):
        for stmt in stmts:
            self._stmt(stmt, scope)

    def _stmt(self, stmt: ast.stmt, scope: _Scope):
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
            self._function(stmt, scope)
        elif isinstance(stmt, ast.ClassDef):
            self._class(stmt, scope)
        elif isinstance(stmt, ast.Import):
            for alias in stmt.names:
                self._import(alias, scope)
        elif isinstance(stmt, ast.ImportFrom):
            self._import_from(stmt, scope)
        elif isinstance(stmt, (ast.Global, ast.Nonlocal)):
            scope.declared_outer.update(stmt.names)
        elif isinstance(stmt, ast.Assign):
            self._expr(stmt.value, scope)
            for target in stmt.targets:
                self._target(target, stmt.value, None, scope)
        elif isinstance(stmt, ast.AnnAssign):
            if stmt.value is not None:
                self._expr(stmt.value, scope)
            self._expr(stmt.annotation, scope)
            self._target(stmt.target, stmt.value, stmt.annotation, scope)
        else:
            # Everything else only matters through the expressions and blocks it holds.
            for child in ast.iter_child_nodes(stmt):
                if isinstance(child, ast.stmt):
                    self._stmt(child, scope)
                elif isinstance(child, ast.excepthandler):
                    if child.name:
                        self._bind(scope, child.name, _UNKNOWN)
                    if child.type is not None:
                        self._expr(child.type, scope)
                    self._body(child.body, scope)
                elif isinstance(child, ast.match_case):
                    self._expr(child.pattern, scope)
                    if child.guard is not None:
                        self._expr(child.guard, scope)
                    self._body(child.body, scope)
                else:
                    self._expr(child, scope)

    def _target(self, target: ast.AST, value: ast.AST | None, annotation: ast.AST | None, scope: _Scope):
        """Locals, receiver types and Django fields from `target = value` / `target: annotation = value`."""
        if isinstance(target, ast.Name):
            if scope.kind != "class":
                scope.locals.add(target.id)
        elif dotted_name(target) is None:
            self._expr(target, scope)  # unpacking, subscripts: every bound name has an unknown type
            return
        else:
            self._expr(target, scope)  # calls inside the target expression, if any
        if value is not None and isinstance(value, ast.Constant) and value.value is None and annotation is None:
            return  # `x = None` placeholders say nothing about the later type
        type_name = annotation_type(annotation)
        if type_name is None and value is not None:
            type_name = self._value_type(value, scope)
        if type_name is None:
            type_name = _UNKNOWN

        if isinstance(target, ast.Name):
            if scope.kind == "class":
                # Class attributes are what instances see through self.<name>.
                if type_name is not _UNKNOWN:
                    scope.receivers.note("self." + target.id, type_name)
                if isinstance(value, ast.Call):
                    self._django_field(target.id, value, scope)
            else:
                scope.receivers.note(target.id, type_name)
            return
        text = dotted_name(target)
        head, _, rest = text.partition(".")
        method = self._method_scope(scope)
        if method is not None and head == method.self_name:
            method.class_scope.receivers.note(f"{head}.{rest}", type_name)
        elif scope.kind != "class":
            scope.receivers.note(text, type_name)

    def _method_scope(self, scope: _Scope) -> _Scope | None:
        """The method whose `self` is visible here (the method itself or a closure in it)."""
        while scope is not None and scope.kind == "function":
            if scope.class_scope is not None:
                return scope
            scope = scope.parent
        return None

    def _value_type(self, value: ast.AST, scope: _Scope) -> str | None:
        if isinstance(value, ast.Call):
            name = dotted_name(value.func)
            if name is None:
                return None
            method = self._method_scope(scope)
            if method is not None and name == "cls" and method.self_name == "cls":
                return method.class_scope.qual
            if name.split(".", 1)[0] in ("self", "cls"):
                return None
            return name
        if isinstance(value, ast.Name):
            # `self.repo = repo` where the parameter was annotated.
            s = scope
            while s is not None and s.kind == "function":
                t = s.receivers.single(value.id)
                if t is not None:
                    return t
                if value.id in s.locals:
                    return None
                s = s.parent
        return None

    def _django_field(self, field_name: str, call: ast.Call, scope: _Scope):
        func = dotted_name(call.func)
        if func is None:
            return
        kind = func.rsplit(".", 1)[-1]
        if kind not in DJANGO_RELATION_FIELDS:
            return
        target = call.args[0] if call.args else next((k.value for k in call.keywords if k.arg == "to"), None)
        model = None
        if isinstance(target, ast.Constant) and isinstance(target.value, str):
            model = target.value.rsplit(".", 1)[-1]
            if model == "self":
                model = scope.record["name"]
        elif target is not None:
            text = dotted_name(target)
            model = text.rsplit(".", 1)[-1] if text else None
        if model:
            scope.relations.append({"field": field_name, "type": kind, "related_model": model})

    def _bind(self, scope: _Scope, name: str, type_name):
        """A name bound by a def, class or except clause (class bodies bind no locals)."""
        if scope.kind == "class":
            return
        scope.locals.add(name)
        if type_name is not None:
            scope.receivers.note(name, type_name)

    # ---- imports ------------------------------------------------------------------

    def _add_binding(self, scope: _Scope, local: str, binding: dict):
        bucket = scope.imports.setdefault(local, [])
        if binding not in bucket:
            bucket.append(binding)

    def _import(self, alias: ast.alias, scope: _Scope):
        parts = alias.name.split(".")
        if alias.asname:
            self._add_binding(scope, alias.asname,
                              {"module": "/".join(parts), "kind": "module", "qualifier": alias.asname})
            return
        # `import a.b.c` binds `a`; the qualifier lets `a.b.c.f()` reach f in a/b/c.py,
        # and the shorter prefixes cover `a.f()` and `a.b.f()`.
        for n in range(len(parts), 0, -1):
            self._add_binding(scope, parts[0],
                              {"module": "/".join(parts[:n]), "kind": "module", "qualifier": ".".join(parts[:n])})

    def _import_from(self, stmt: ast.ImportFrom, scope: _Scope):
        if stmt.module == "__future__":
            return
        if stmt.level:
            base = self.package[: len(self.package) - (stmt.level - 1)] if stmt.level - 1 <= len(self.package) else None
            if base is None:
                # Reaches above the indexed root: the names are bound, but to nothing we know.
                for alias in stmt.names:
                    if alias.name != "*":
                        scope.unresolvable.add(alias.asname or alias.name)
                return
            module_parts = base + (stmt.module.split(".") if stmt.module else [])
        else:
            module_parts = stmt.module.split(".") if stmt.module else []
        module = "/".join(module_parts)
        for alias in stmt.names:
            if alias.name == "*":
                continue  # cannot tell which names it brings
            self._add_binding(scope, alias.asname or alias.name,
                              {"module": module, "symbol": alias.name, "kind": "symbol"})

    # ---- expressions --------------------------------------------------------------

    def _decorator(self, deco: ast.expr, scope: _Scope):
        # Applying a decorator calls it, in the scope that holds the definition.
        name = dotted_name(deco)
        if name is not None and name not in _PLAIN_DECORATORS:
            scope.add_call(name)
        self._expr(deco, scope)

    def _arguments_outside(self, args: ast.arguments, scope: _Scope):
        """Defaults and annotations are evaluated in the enclosing scope."""
        for d in [*args.defaults, *(d for d in args.kw_defaults if d is not None)]:
            self._expr(d, scope)
        for a in [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg]:
            if a is not None and a.annotation is not None:
                self._expr(a.annotation, scope)

    def _expr(self, expr: ast.AST, scope: _Scope):
        """Calls, yields and locally bound names inside an expression (lambdas and
        comprehensions belong to the enclosing definition)."""
        function = scope.kind == "function"
        stack = [(expr, False)]
        while stack:
            node, in_lambda = stack.pop()
            t = type(node)
            if t is ast.Name:
                if type(node.ctx) is ast.Store and scope.kind != "class":
                    scope.locals.add(node.id)
                    scope.receivers.note(node.id, _UNKNOWN)
                continue
            if t is ast.Constant:
                continue
            if t is ast.Call:
                name = call_name(node.func)
                if name is not None and name != "super":  # super() calls show up as "super.<method>"
                    scope.add_call(name)
            elif t is ast.Lambda:
                in_lambda = True
                if function:
                    a = node.args
                    for arg in [*a.posonlyargs, *a.args, *a.kwonlyargs, a.vararg, a.kwarg]:
                        if arg is not None:
                            scope.locals.add(arg.arg)
            elif t is ast.Yield or t is ast.YieldFrom:
                if not in_lambda:
                    scope.generator = True
            elif (t is ast.MatchAs or t is ast.MatchStar) and node.name:
                scope.locals.add(node.name)
            elif t is ast.MatchMapping and node.rest:
                scope.locals.add(node.rest)
            children = []
            for f in node._fields:
                v = getattr(node, f, None)
                if type(v) is list:
                    children.extend(x for x in v if isinstance(x, ast.AST))
                elif isinstance(v, ast.AST) and not isinstance(v, ast.expr_context):
                    children.append(v)
            stack.extend((c, in_lambda) for c in reversed(children))

    # ---- per-scope JSON -------------------------------------------------------------

    def _scope_data(self) -> dict:
        module = self.scopes[0]
        module_names = module.locals | set(module.imports) | module.unresolvable
        bindings, receivers, shadowed = {}, {}, {}
        for scope in self.scopes:
            if scope.imports:
                bindings[scope.qual] = {
                    name: (b[0] if len(b) == 1 else b) for name, b in sorted(scope.imports.items())
                }
            r = scope.receivers.as_json()
            if r:
                receivers[scope.qual] = r
            names = self._shadowed(scope, module_names)
            if names:
                shadowed[scope.qual] = sorted(names)
        return {
            "python_import_bindings": bindings,
            "python_receiver_types": receivers,
            "python_shadowed_names": shadowed,
        }

    def _shadowed(self, scope: _Scope, module_names: set[str]) -> set[str]:
        if scope.kind == "module":
            # Imported at module level and also rebound there (try/except fallbacks, a later
            # def of the same name): which one a call means depends on control flow.
            return (set(scope.imports) & (scope.locals - scope.declared_outer)) | scope.unresolvable
        if scope.kind != "function":
            return set()
        visible = set(module_names)
        s = scope
        while s is not None and s.kind != "module":
            if s.kind == "function":
                visible |= set(s.imports) | s.unresolvable
                if s is not scope:
                    visible |= s.locals  # a closure's own names hide the outer function's
            s = s.parent
        return ((scope.locals - scope.declared_outer) & visible) | scope.unresolvable


def _first_line(node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef) -> int:
    """A definition's lines start at its first decorator."""
    return min([node.lineno, *(d.lineno for d in node.decorator_list)])


def _is_staticmethod(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    return any(dotted_name(d) in ("staticmethod", "builtins.staticmethod") for d in node.decorator_list)


def _literal_all(tree: ast.Module) -> set[str] | None:
    """Names of a literal module-level __all__, or None when there is none."""
    for stmt in tree.body:
        if isinstance(stmt, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in stmt.targets):
            if isinstance(stmt.value, (ast.List, ast.Tuple)):
                return {e.value for e in stmt.value.elts if isinstance(e, ast.Constant) and isinstance(e.value, str)}
    return None


def file_node(path: str) -> dict:
    return {"node_id": ids.file_id(path), "node_type": "File", "name": path.rsplit("/", 1)[-1], "file_path": path}


def extract_source(path: str, source: bytes | str) -> FileExtract:
    """Records for one file: its File node, module node, classes and functions.

    A file that does not parse yields only its File node and the parse error."""
    try:
        result = _FileVisitor(path, ast.parse(source, filename=path)).run()
    except (SyntaxError, ValueError, RecursionError) as exc:
        # ValueError: NUL bytes in the source; RecursionError: absurdly deep nesting.
        result = FileExtract(path, error=f"{type(exc).__name__}: {exc}")
    result.nodes.insert(0, file_node(path))
    return result
