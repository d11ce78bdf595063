"""Extraction of one Python source file into engine records, with the standard `ast` only.

The result of `extract_file` is plain data: `add_node` keyword dicts, the structural
(containment) edges, the raw call names of every caller and the Django relations of every
model class. Nothing here talks to the engine.
"""

from __future__ import annotations

import ast
import builtins
import json
from dataclasses import dataclass, field
from typing import Any

from . import ids, tree_pass

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
    # What other files may ask about this one in the whole-tree pass (see tree_pass.py).
    summary: dict = field(default_factory=dict)
    # The module node's scope data before the whole-tree pass; receiver entries are still
    # [type text, how it was found, whether its head is a module-level name] lists.
    scope_data: dict = field(default_factory=dict)
    generated: list[tuple[str, str]] = field(default_factory=list)  # class -> its constructor methods
    # (caller, index in its calls, module-level function, name if no other module imports this
    # one, name otherwise): calls through a parameter of that function (see tree_pass.link).
    conditional: list[tuple] = field(default_factory=list)
    raw_calls: dict[str, list[str]] = field(default_factory=dict)  # each caller's calls before linking
    # Call names no statement writes: the special methods `for`/`with` run on a receiver the
    # extractor could type. The whole-tree pass keeps them only where a class of the tree
    # defines the method.
    implicit: dict[str, list[str]] = field(default_factory=dict)
    # Attributes each caller reads, assigns or deletes on a receiver the extractor could type
    # (`self.x`, `obj.x`): doing so to a property runs its function. The whole-tree pass calls
    # those that are properties of the receiver's class.
    reads: dict[str, list[str]] = field(default_factory=dict)


# Longest chain of attributes given a dotted name: every attribute of a chain asks for the name
# of the chain below it, so an unbounded one would make a chain's cost grow as its square.
_MAX_DOTTED = 64
# Longest chain of methods called on call results that types its receivers (`a().b().c()`).
_MAX_CHAINED_CALLS = 8


def dotted_name(expr: ast.AST) -> str | None:
    """"a.b.c" for a chain of attributes on a plain name, else None (also for a chain longer
    than any real code writes)."""
    parts = []
    while isinstance(expr, ast.Attribute):
        if len(parts) == _MAX_DOTTED:
            return None
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

    Accepts `Foo`, `mod.Foo`, the string form "Foo", `Optional[Foo]`, `Union[Foo, None]`,
    `Foo | None`, and `Final`, `ClassVar` or `Annotated` around them, with the typing forms
    named through any module (`t.Optional[Foo]`)."""
    expr = _annotation_expr(expr)
    if expr is None:
        return None
    found = _through_form(expr, annotation_type)
    return dotted_name(expr) if found is _NOT_A_FORM else found


def _annotation_expr(expr: ast.AST | None) -> ast.AST | None:
    """The expression an annotation stands for: a string annotation parsed (None if it does not)."""
    if isinstance(expr, ast.Constant) and isinstance(expr.value, str):
        try:
            return ast.parse(expr.value.strip(), mode="eval").body
        except SyntaxError:
            return None
    return expr


# Annotations that say what their argument says about the class of a value.
_WRAPPING_FORMS = frozenset({"Optional", "Final", "ClassVar", "Annotated"})
_NOT_A_FORM = object()


def _through_form(expr: ast.AST | None, read):
    """What read gives for the class inside `Optional[X]`, `Final[X]`, `ClassVar[X]`,
    `Annotated[X, ...]` (the form named through any module), `Union[X, None]` or `X | None`;
    _NOT_A_FORM when expr is none of these."""
    if isinstance(expr, ast.Subscript):
        form = _origin(expr.value)
        if form in _WRAPPING_FORMS:
            return read(expr.slice.elts[0] if form == "Annotated" and isinstance(expr.slice, ast.Tuple) else expr.slice)
        if form == "Union" and isinstance(expr.slice, ast.Tuple):
            return _one_besides_none(expr.slice.elts, read)
    elif isinstance(expr, ast.BinOp) and isinstance(expr.op, ast.BitOr):
        return _one_besides_none([expr.left, expr.right], read)
    return _NOT_A_FORM


def _one_besides_none(options: list, read):
    """What read gives for the one option that is not None (`Union[Foo, None]`, `Foo | None`)."""
    rest = [o for o in options if not (isinstance(o, ast.Constant) and o.value is None)]
    return read(rest[0]) if len(rest) == 1 else None


_CONTAINERS = frozenset({"list", "List", "set", "Set", "frozenset", "FrozenSet", "AbstractSet", "MutableSet",
                         "Sequence", "MutableSequence", "Collection", "Iterable", "Iterator", "deque", "Deque"})


def _origin(expr: ast.AST) -> str:
    """The last name of what a subscript annotation subscripts (`t.Dict[...]` -> "Dict")."""
    return (dotted_name(expr) or "").rpartition(".")[2]


def element_type(expr: ast.AST | None) -> str | None:
    """The class of the items of a container an annotation names: `list[Foo]`,
    `Sequence["Foo"]`, `tuple[Foo, ...]`, also inside `Optional[...]` / `... | None`."""
    expr = _annotation_expr(expr)
    found = _through_form(expr, element_type)
    if found is not _NOT_A_FORM:
        return found
    if not isinstance(expr, ast.Subscript):
        return None
    origin = _origin(expr.value)
    if origin in ("tuple", "Tuple") and isinstance(expr.slice, ast.Tuple) and len(expr.slice.elts) == 2 \
            and isinstance(expr.slice.elts[1], ast.Constant) and expr.slice.elts[1].value is Ellipsis:
        return annotation_type(expr.slice.elts[0])
    if origin == "Generator" and isinstance(expr.slice, ast.Tuple) and expr.slice.elts:
        return annotation_type(expr.slice.elts[0])
    return annotation_type(expr.slice) if origin in _CONTAINERS else None


_MAPPINGS = frozenset({"dict", "Dict", "Mapping", "MutableMapping", "DefaultDict", "defaultdict", "OrderedDict"})


def mapped_type(expr: ast.AST | None) -> str | None:
    """The class of the values of a mapping an annotation names: `dict[str, Foo]`,
    `Mapping[K, "Foo"]`, also inside `Optional[...]` / `... | None`."""
    expr = _annotation_expr(expr)
    found = _through_form(expr, mapped_type)
    if found is not _NOT_A_FORM:
        return found
    if not isinstance(expr, ast.Subscript) or not isinstance(expr.slice, ast.Tuple) or len(expr.slice.elts) != 2:
        return None
    return annotation_type(expr.slice.elts[1]) if _origin(expr.value) in _MAPPINGS else None


_EMPTY_MAKERS = frozenset({"list", "dict", "set", "deque", "defaultdict", "OrderedDict"})


def _empty_container(value: ast.AST | None) -> bool:
    """None, `[]`, `{}`, `set()`, `dict()`, `defaultdict(list)`...: a start that holds no item."""
    if value is None or (isinstance(value, ast.Constant) and value.value is None):
        return True
    if isinstance(value, (ast.List, ast.Set, ast.Tuple)):
        return not value.elts
    if isinstance(value, ast.Dict):
        return not value.keys
    maker = _origin(value.func) if isinstance(value, ast.Call) and not value.keywords else None
    return maker in _EMPTY_MAKERS and (not value.args or maker == "defaultdict")


def tuple_types(expr: ast.AST | None) -> list | None:
    """The class of each place of a tuple of fixed length an annotation names (`tuple[A, B]`,
    `Tuple["A", int]`), None where a place names none; None for any other annotation."""
    expr = _annotation_expr(expr)
    if not isinstance(expr, ast.Subscript) or not isinstance(expr.slice, ast.Tuple):
        return None
    if _origin(expr.value) not in ("tuple", "Tuple"):
        return None
    places = expr.slice.elts
    if any(isinstance(e, ast.Constant) and e.value is Ellipsis for e in places):
        return None
    return [annotation_type(e) for e in places]


def base_class_text(expr: ast.AST) -> str:
    """A base class as written; a subscripted base (`Generic[T]`) counts as its origin."""
    if isinstance(expr, ast.Subscript):
        expr = expr.value
    return dotted_name(expr) or ast.unparse(expr)


class _Receivers:
    """Types seen for receiver expressions of one scope; a conflict is kept as a conflict.

    A type is (text, kind): kind "type" when the text names the class (an annotation, a
    constructor, the own class), "call" when it is the callee of the call whose result was
    assigned (a class, or a function whose return annotation the whole-tree pass reads)."""

    def __init__(self):
        self.seen: dict[str, list] = {}
        self.origin: dict[tuple, "_Scope"] = {}  # where a type's text is to be read

    def note(self, key: str, type_name, origin: "_Scope | None" = None):
        entries = self.seen.setdefault(key, [])
        if type_name not in entries:
            entries.append(type_name)
            if type_name is not _UNKNOWN:
                self.origin.setdefault(type_name, origin)

    def single(self, key: str):
        entries = self.seen.get(key)
        if entries and len(entries) == 1 and entries[0] is not _UNKNOWN:
            return entries[0]
        return None

    def known(self, key: str) -> bool:
        return any(t is not _UNKNOWN for t in self.seen.get(key, ()))

    def raw(self, type_entry, unions: bool = False) -> dict:
        """{key: [text, kind, head is a module-level name, and where it is not, the scope the
        text is read in] or None for a conflict}; with unions, a conflict of stated types only
        is {"any": [entry, ...]}."""
        out = {}
        for key, entries in self.seen.items():
            types = [t for t in entries if t is not _UNKNOWN]
            if not types:
                continue
            found = []
            for t in types:
                origin = self.origin.get(t)
                text, module_head = type_entry(t[0], origin)
                # A name a function binds (`import ftplib` in the method that assigns
                # self.ftp) is read in that function's scope, wherever the receiver is.
                found.append([text, t[1], module_head] if module_head or origin is None
                             else [text, t[1], module_head, origin.qual])
            if len(entries) == 1:
                out[key] = found[0]
            else:
                # A JSON null stops the resolver instead of letting it guess further out.
                out[key] = {"any": found} if unions and len(types) == len(entries) else None
        return out


@dataclass
class _Scope:
    kind: str  # "module", "class" or "function"
    qual: str  # "" for the module, else the qualified name used in node ids
    node_id: str  # the node that holds this scope's calls (module code for the module)
    record: dict
    parent: "_Scope | None" = None
    raw_calls: list[str] = field(default_factory=list)  # as written, rewritten by _finish_calls
    calls: list[str] = field(default_factory=list)
    call_set: set[str] = field(default_factory=set)
    implicit: set[str] = field(default_factory=set)  # calls only `for`/`with` make (see FileExtract)
    protocol: list[tuple[str, str]] = field(default_factory=list)  # (receiver name, special method)
    operated: list[tuple[str | None, str, str]] = field(default_factory=list)  # (builtin or None, receiver, special method)
    reads: list[ast.Attribute] = field(default_factory=list)  # `a.b.attr` read or set here, in order
    properties: set[str] = field(default_factory=set)  # of a class: members that are properties
    imports: dict[str, list[dict]] = field(default_factory=dict)
    unresolvable: set[str] = field(default_factory=set)  # imported from outside the indexed root
    receivers: _Receivers = field(default_factory=_Receivers)
    locals: set[str] = field(default_factory=set)
    binds: dict[str, int] = field(default_factory=dict)  # how often each name is bound here
    def_binds: dict[str, int] = field(default_factory=dict)  # how many of those are def/class statements
    params: set[str] = field(default_factory=set)
    package_imports: dict[str, int] = field(default_factory=dict)  # binds by `import a.b` of the package a
    import_binds: dict[str, int] = field(default_factory=dict)  # binds by import statements
    # What containers hold, as annotated: name (or self.<attr> in a class) -> class of the
    # items (elements) or of a mapping's values (values); in a class, the attributes assigned
    # something else as well (mixed).
    elements: dict[str, str] = field(default_factory=dict)
    values: dict[str, str] = field(default_factory=dict)
    mixed: set[str] = field(default_factory=set)
    # In a class: what its methods assign to self.<name>, as the names of its own methods
    # (`self.handler = self.on_key`), None for anything else.
    held_methods: dict[str, set] = field(default_factory=dict)
    aliases: dict[str, object] = field(default_factory=dict)  # name -> dotted text, or a literal's items
    members: dict[str, str] = field(default_factory=dict)  # definitions made here: name -> "function"/"class"
    stubs: set[str] = field(default_factory=set)  # methods defined here that no instance runs (see _is_stub)
    is_protocol: bool = False  # a class deriving from typing's Protocol: its methods' bodies are not run
    declared_outer: set[str] = field(default_factory=set)  # global / nonlocal names
    global_names: set[str] = field(default_factory=set)  # the global ones
    self_name: str | None = None  # first parameter of a method ("self"/"cls")
    class_scope: "_Scope | None" = None  # the class whose method this is
    binds_class: bool = False  # a class method or __new__: its first parameter is the class
    own_made: set[str] = field(default_factory=set)  # its locals assigned `cls()`, `object.__new__(cls)`, ...
    relations: list[dict] = field(default_factory=list)
    generator: bool = False
    returned: list = field(default_factory=list)  # what each `return` gives, as a dotted name or None
    made: list = field(default_factory=list)  # for each `return X(...)` the callee X, _NONE for None, else None
    yielded: list = field(default_factory=list)  # for each yield, (callee, value) as made and returned hold them
    # for each `return a, b`: the (callee, value) of each place; None for a return of anything else
    returned_places: list = field(default_factory=list)
    loads: dict[str, int] = field(default_factory=dict)  # how often each name is read here
    deletes: dict[str, int] = field(default_factory=dict)  # how often `del name` unbinds it here
    table_calls: dict[str, int] = field(default_factory=dict)  # reads that are `name[key](...)` or `name[key] = v`
    table_stores: list[tuple[str, object, str | None]] = field(default_factory=list)  # (name, constant key, value)
    sites: list[tuple] = field(default_factory=list)  # (callee, positional args, keyword args) of bare-name calls
    positional: list[str] = field(default_factory=list)  # parameters that take positional arguments
    star_params: tuple[str, ...] = ()  # the names of *args and **kwargs, if any
    takes_more: bool = False  # has *args: a call may pass more positional arguments than it names
    defaults: dict[str, object] = field(default_factory=dict)  # parameter -> its default as a dotted name
    flows: dict[str, str] = field(default_factory=dict)  # parameter -> the one function every call passes
    # parameter -> the one type of what every call passes (an unannotated parameter)
    passed: dict[str, "_Current"] = field(default_factory=dict)
    none_defaults: set[str] = field(default_factory=set)  # parameters whose default is None
    flow_owner: str | None = None  # module-level function name, when its flows hold only if unimported
    decorated: list[tuple[str, list[str]]] = field(default_factory=list)  # defs here and their decorators
    lambda_count: int = 0  # lambdas defined directly here, named <lambda1>, <lambda2>, ... in source order
    # What each name holds at the statement being visited, where the code since its binding
    # ran straight through (see _Current); `rebound` logs every binding, in order.
    current: dict[str, "_Current"] = field(default_factory=dict)
    rebound: list[str] = field(default_factory=list)

    def add_call(self, name: str, implicit: bool = False):
        if not implicit:
            self.implicit.discard(name)
        elif name not in self.call_set:
            self.implicit.add(name)
        if name not in self.call_set:
            self.call_set.add(name)
            self.calls.append(name)

    def bind(self, name: str):
        self.binds[name] = self.binds.get(name, 0) + 1
        if self.kind != "class":
            self.locals.add(name)
        self.rebound.append(name)
        if self.current:
            self.forget(name)

    def rebind(self, name: str):
        self.rebound.append(name)
        self.forget(name)

    def forget(self, name: str):
        """name is bound anew: what it held, and what was read through it, is no longer known."""
        if self.current:
            # "*": a star import, which may bind any name.
            self.current = {} if name == "*" else {k: v for k, v in self.current.items()
                                                   if k != name and v.head != name}

    def bind_definition(self, name: str):
        self.bind(name)
        self.def_binds[name] = self.def_binds.get(name, 0) + 1

    def alias(self, name: str, flows: bool = True):
        """The single value a name is bound to here, if it is bound once, to a plain value
        (for a parameter: the function every call passes to it)."""
        if self.binds.get(name) != 1 or name in self.declared_outer:
            return None
        if name in self.params:
            return self.flows.get(name) if flows else None
        return self.aliases.get(name)


class _Implicit(str):
    """A raw call name of a special method that a statement runs without naming it."""


class _Current:
    """What a name of a function or module body was last bound to, while the statements since
    ran straight through (no loop, branch or handler between): `alias` as _alias_value gives
    it, `made` the callee of the call whose result it holds with the type that gives. Where
    the name is bound more than once, this is what a call through it at that point reaches.
    `narrowed`: an isinstance test that held tells the class (made), however often the name is
    bound."""

    __slots__ = ("alias", "made", "type", "head", "narrowed")

    def __init__(self, alias: str | None, made: str | None, type_name, narrowed: bool = False):
        self.alias, self.made, self.type, self.narrowed = alias, made, type_name, narrowed
        self.head = (alias or made).partition(".")[0]


class _Through(str):
    """A raw call name whose first name held, where the call is, what `current` tells."""

    def __new__(cls, name: str, current: _Current):
        self = super().__new__(cls, name)
        self.current = current
        return self


class _Passed(str):
    """A function handed to a builtin that calls it (`map(f, xs)`, `sorted(xs, key=f)`): a call
    of it, where the builtin's name is not bound to something else. A lambda handed so is
    named once visited, so it is kept as its node until then. `later`: an argument after the
    first of map or filter, which is called only if it is a function after all."""

    def __new__(cls, name: str, through: str, node: ast.Lambda | None = None, later: bool = False):
        self = super().__new__(cls, name)
        self.through, self.node, self.later = through, node, later
        return self


# Builtins that call the functions they are given: the positional arguments of map and filter
# (the first is the function; a later one counts where it names a definition, as code written
# with the arguments the other way round means), the key of sorted, min and max.
_CALLS_POSITIONAL = frozenset({"map", "filter"})
_CALLS_KEY = frozenset({"sorted", "min", "max"})


# Special methods that operators and builtins run on a value: of `x[k]` as read, assigned and
# deleted, of the left operand of a comparison, of `len(x)` and the like.
_SUBSCRIPT = {ast.Load: "__getitem__", ast.Store: "__setitem__", ast.Del: "__delitem__"}
_COMPARISONS = {ast.Eq: "__eq__", ast.NotEq: "__ne__", ast.Lt: "__lt__", ast.LtE: "__le__", ast.Gt: "__gt__",
                ast.GtE: "__ge__"}
_BUILTIN_SPECIAL = {"len": "__len__", "str": "__str__", "repr": "__repr__", "iter": "__iter__", "next": "__next__",
                    "bool": "__bool__", "hash": "__hash__", "abs": "__abs__", "reversed": "__reversed__"}
_SPECIAL = {"for": ("__iter__", "__next__"), "async for": ("__aiter__", "__anext__"),
            "with": ("__enter__", "__exit__"), "async with": ("__aenter__", "__aexit__")}
_BUILTINS = frozenset(dir(builtins))
# Methods whose first parameter is the class without a decorator saying so.
_IMPLICIT_CLASS_METHODS = frozenset({"__new__", "__init_subclass__", "__class_getitem__"})
_PROPERTIES = frozenset({"property", "builtins.property", "cached_property", "functools.cached_property"})
# A parameter flow's value that is the function object a def just made, by its name: calls
# through it reach that definition even when the name is rebound to a decorator's result.
_DEFINED = "<def>"

_Name, _Constant, _Attribute, _Call, _Load, _Store = ast.Name, ast.Constant, ast.Attribute, ast.Call, ast.Load, ast.Store
_TRY = (ast.Try, ast.TryStar) if hasattr(ast, "TryStar") else (ast.Try,)
_LOOPS = frozenset({ast.For, ast.AsyncFor, ast.While})
_LEAVES = frozenset({ast.Return, ast.Raise, ast.Continue, ast.Break})  # statements after which a body goes on elsewhere
_BLOCKS = _LOOPS | {ast.If, ast.With, ast.AsyncWith, ast.Match, *_TRY}
_LAMBDA_END = object()  # pushed under a lambda's children: the walk leaves the lambda there
_COMPREHENSION_END = object()
_COMPREHENSIONS = frozenset({ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp})
# Fields that never hold a node _expr visits: names, flags, contexts and operators (an operator
# node has nothing inside).
_LEAF_FIELDS = frozenset({"ctx", "op", "ops", "id", "attr", "arg", "name", "kind", "conversion", "is_async",
                          "kwd_attrs", "rest", "type_comment", "str"})
_CHILD_FIELDS: dict[type, tuple[str, ...]] = {ast.MatchSingleton: ()}  # type -> fields, last first


def _child_fields(t: type[ast.AST]) -> tuple[str, ...]:
    return tuple(reversed([f for f in t._fields if f not in _LEAF_FIELDS]))


class _FileVisitor:
    def __init__(self, path: str, tree: ast.Module):
        self.path = path
        self.tree = tree
        self.package = ids.package_parts(path)
        self.extract = FileExtract(path)
        self.scopes: list[_Scope] = []
        self.by_id: dict[str, _Scope] = {}  # merges repeated definitions (properties, if/else defs)
        self.exported = _literal_all(tree)
        self.returns: dict[str, str] = {}  # function qual -> class text of its return annotation
        self.awaits: dict[str, str] = {}  # the same for coroutine functions
        self.tuples: dict[str, list] = {}  # function qual -> class text of each place of the tuple it returns
        self.yields: dict[str, str] = {}  # function qual -> class text of the items it returns
        self.managers: list[str] = []  # generator functions decorated into context managers
        self.imported: set[str] = set()  # every module path an import statement names
        self._flow_used: str | None = None  # set by _rewrite when a parameter flow decided
        self._readers: dict[str, list[_Scope]] | None = None  # name -> scopes that read it
        # (scope, container, "elements"/"values", name typed by its items): checked at the end
        self._item_uses: list[tuple[_Scope, ast.AST, str, str]] = []
        self._lambdas: dict[int, _Scope] = {}  # id of an ast.Lambda -> its definition
        self._declared: set[str] = set()  # names some scope declares global or nonlocal

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
        code = {"node_id": ids.definition_id(self.path, ids.MODULE_CODE), "node_type": "Function",
                "name": ids.MODULE_CODE, "file_path": self.path}
        if lines:
            code["lines_start"], code["lines_end"] = 1, lines
        module = _Scope("module", "", code["node_id"], code)
        self.scopes.append(module)
        self.extract.nodes += [record, code]
        self.extract.structural += [(ids.file_id(self.path), record["node_id"]), (record["node_id"], code["node_id"])]
        self._body(self.tree.body, module)
        for scope, items, of, name in self._item_uses:
            if self._items(items, scope, of) is None:
                scope.receivers.note(name, _UNKNOWN)  # the container was bound again after its use
        for scope in self.scopes:
            # `global x; x = ...` in a function rebinds the module's x.
            for name in scope.declared_outer & set(scope.binds):
                owner = self._owner(name, scope)
                if owner is not None and owner is not scope:
                    owner.binds[name] = owner.binds.get(name, 0) + scope.binds[name]
        for scope in self.scopes:
            self._decorated_aliases(scope)
        self._readers = {}
        for scope in self.scopes:
            for read in scope.loads:
                self._readers.setdefault(read, []).append(scope)
        # Callers first (they are mostly defined later), again while a pass finds more: a
        # function's parameter may pass on what its own callers passed to it.
        for _ in range(4):
            found = sum(len(scope.flows) + len(scope.passed) for scope in self.scopes)
            for scope in reversed(self.scopes):
                self._parameter_flows(scope)
            if sum(len(scope.flows) + len(scope.passed) for scope in self.scopes) == found:
                break
        self._declared = {name for scope in self.scopes for name in scope.declared_outer}
        for scope in self.scopes:
            self._finish_calls(scope)
        self.extract.raw_calls = {scope.node_id: list(scope.calls) for scope in self.scopes if scope.calls}
        self.extract.implicit = {scope.node_id: sorted(scope.implicit) for scope in self.scopes if scope.implicit}
        self.extract.scope_data = self._scope_data()
        self.extract.summary = self._summary()
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
            if scope.kind == "class":
                # Instantiating a class runs these; the edges let their callers include every
                # place that instantiates it.
                for name in tree_pass.CONSTRUCTORS:
                    if scope.members.get(name) == "function":
                        self.extract.generated.append((scope.node_id, f"{scope.node_id}.{name}"))
            # A scope's types point back at it: unlink them so the file's scopes are freed as
            # soon as it is done, without waiting for the cyclic garbage collector.
            scope.receivers.origin.clear()
        return self.extract

    def _open_scope(self, kind: str, name: str, parent: _Scope, record: dict) -> _Scope:
        qual = f"{parent.qual}.{name}" if parent.qual else name
        node_id = ids.definition_id(self.path, qual)
        parent.members.setdefault(name, kind)
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
        self.extract.structural.append((parent.record["node_id"] if parent.kind != "module"
                                        else ids.module_id(self.path), node_id))
        return scope

    def _function(self, node: ast.FunctionDef | ast.AsyncFunctionDef, parent: _Scope):
        for deco in node.decorator_list:
            self._decorator(deco, parent)
        self._arguments_outside(node.args, parent)
        if node.returns is not None:
            self._expr(node.returns, parent)
        parent.bind_definition(node.name)

        args = node.args
        all_args = _all_args(args)
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
        if parent.kind == "class" and _is_stub(node, doc is not None, parent.is_protocol):
            parent.stubs.add(node.name)
        if parent.kind == "class" and any(_is_property(d, node.name) for d in node.decorator_list):
            parent.properties.add(node.name)
        if node.decorator_list and parent.kind != "class":
            parent.decorated.append((node.name, [dotted_name(d) for d in node.decorator_list]))
            innermost = node.decorator_list[-1]
            if isinstance(innermost, ast.Name):
                # Applying a decorator passes it the function just defined.
                parent.sites.append((innermost.id, [None if len(node.decorator_list) > 1 else _DEFINED + node.name], {}))
        items = element_type(node.returns)
        if items is not None and not is_async:
            self.yields[scope.qual] = items  # what a loop over a call's result binds
        if not is_async and any(_origin(d) == "contextmanager" for d in node.decorator_list):
            self.managers.append(scope.qual)  # `with f() as v` binds v to what it yields
        places = tuple_types(node.returns)
        if places is not None and not is_async:
            self.tuples[scope.qual] = places  # what `a, b = f()` binds
        returned = annotation_type(node.returns)
        if returned is not None and is_async and not _is_generator_annotation(returned):
            self.awaits[scope.qual] = returned  # what awaiting a call's coroutine gives
        elif returned is not None and not _is_generator_annotation(returned):
            self.returns[scope.qual] = returned
            if parent.kind == "class" and any(dotted_name(d) in _PROPERTIES for d in node.decorator_list):
                # What instances see through self.<name>, like a class-level annotation.
                parent.receivers.note("self." + node.name, (returned, "type"), parent.parent)

        first = (args.posonlyargs + args.args)[:1] if parent.kind == "class" and not _is_staticmethod(node) else []
        binds_class = node.name in _IMPLICIT_CLASS_METHODS or any(
            dotted_name(d) in ("classmethod", "builtins.classmethod") for d in node.decorator_list)
        if first and first[0].arg not in ("self", "cls"):
            # `def __eq__(a, b)`: the first parameter is the instance (or the class) whatever
            # its name; the body is read as if it were named so, where no other name clashes.
            _rename_parameter(node, first[0], "cls" if binds_class else "self")
        stated = self._parameters(scope, args, parent)
        if first and first[0].arg in ("self", "cls"):
            scope.self_name = first[0].arg
            scope.class_scope = parent
            scope.binds_class = binds_class
        # A parameter holds what its annotation states until the body binds it anew, even
        # where another binding gives it something else (a repeated definition's scope may
        # hold what its first body left: start from this).
        scope.current = {name: _Current(None, t, (t, "type")) for name, t in stated.items()
                         if name != scope.self_name and t.partition(".")[0] not in _BUILTINS}
        self._body(node.body, scope)

    def _lambda(self, node: ast.Lambda, parent: _Scope):
        """A lambda is a definition of its own, `<lambdaN>` for the Nth lambda written directly
        in the enclosing definition, holding the calls of its body. The enclosing definition
        keeps those calls as well: it makes the lambda to call it or to hand it on."""
        if id(node) in self._lambdas:
            return
        parent.lambda_count += 1
        args = node.args
        record = {
            "node_type": "Function",
            "signature": f"lambda {ast.unparse(args)}".rstrip(),
            "lines_start": node.lineno,
            "lines_end": node.end_lineno or node.lineno,
            "is_async": False,
            "param_count": len(_all_args(args)),
        }
        scope = self._open_scope("function", f"<lambda{parent.lambda_count}>", parent, record)
        self._lambdas[id(node)] = scope
        self._parameters(scope, args, parent)
        self._expr(node.body, scope)

    def _parameters(self, scope: _Scope, args: ast.arguments, parent: _Scope) -> dict[str, str]:
        """Binds the parameters in scope; gives the class each annotation states, by name."""
        scope.positional = [a.arg for a in [*args.posonlyargs, *args.args]]
        positional_defaults = [*args.posonlyargs, *args.args][len(args.posonlyargs) + len(args.args) - len(args.defaults):]
        for a, d in [*zip(positional_defaults, args.defaults), *zip(args.kwonlyargs, args.kw_defaults)]:
            if d is not None:
                scope.defaults[a.arg] = _alias_value(d)
                if isinstance(d, ast.Constant) and d.value is None:
                    scope.none_defaults.add(a.arg)
        scope.star_params = tuple(a.arg for a in (args.vararg, args.kwarg) if a is not None)
        scope.takes_more = args.vararg is not None
        stated = {}
        for a in _all_args(args):
            scope.bind(a.arg)
            scope.params.add(a.arg)
            t = annotation_type(a.annotation)
            # Without an annotation the argument may be anything: a later assignment does
            # not tell the type on every path.
            scope.receivers.note(a.arg, (t, "type") if t is not None else _UNKNOWN, parent)
            self._note_items(scope, a.arg, a.annotation)
            if t is not None:
                stated[a.arg] = t
        return stated

    def _class(self, node: ast.ClassDef, parent: _Scope):
        for deco in node.decorator_list:
            self._decorator(deco, parent)
        for expr in [*node.bases, *(k.value for k in node.keywords)]:
            self._expr(expr, parent)
        parent.bind_definition(node.name)
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
        scope.is_protocol = any(self._from_typing(b, "Protocol") for b in extra["base_classes"])
        self._annotated_attributes(node, scope)
        self._body(node.body, scope)

    def _annotated_attributes(self, node: ast.ClassDef, scope: _Scope):
        """The containers annotated as attributes (`self.jobs: list[Job] = []` in any method,
        `jobs: list[Job]` in the body), noted before the methods are read: a method may use
        one before the method that annotates it."""
        stack: list[ast.stmt] = list(node.body)
        own = {id(stmt) for stmt in node.body}
        while stack:
            stmt = stack.pop()
            if isinstance(stmt, ast.AnnAssign):
                target = stmt.target
                if isinstance(target, ast.Name) and id(stmt) in own:
                    self._note_items(scope, "self." + target.id, stmt.annotation)
                elif isinstance(target, ast.Attribute) and isinstance(target.value, ast.Name) \
                        and target.value.id == "self":
                    self._note_items(scope, "self." + target.attr, stmt.annotation)
            elif isinstance(stmt, ast.ClassDef) or (isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef))
                                                    and id(stmt) not in own):
                continue  # a nested class's self, or a function's own
            else:
                for name in ("body", "orelse", "finalbody", "handlers", "cases"):
                    stack.extend(getattr(stmt, name, ()))

    def _from_typing(self, name: str, wanted: str) -> bool:
        """Does name (as a module-level import binds it) mean typing's `wanted` (not another
        definition of that name, as asyncio's Protocol)?"""
        head, _, rest = name.partition(".")
        bucket = self.scopes[0].imports.get(head, ())
        typing = ("typing", "typing_extensions")
        if rest:
            return rest == wanted and any(b["kind"] == "module" and b["module"] in typing for b in bucket)
        return any(b.get("symbol") == wanted and b["module"] in typing for b in bucket)

    def _is_exported(self, name: str) -> bool:
        return name in self.exported if self.exported is not None else not name.startswith("_")

    # ---- statements ---------------------------------------------------------------

    def _body(self, stmts: list[ast.stmt], scope: _Scope):
        statement, block = self._statement, self._block
        for stmt in stmts:
            (block if type(stmt) in _BLOCKS else statement)(stmt, scope)

    def _stmt(self, stmt: ast.stmt, scope: _Scope):
        (self._block if type(stmt) in _BLOCKS else self._statement)(stmt, scope)

    def _block(self, stmt: ast.stmt, scope: _Scope):
        # A block runs its statements straight through only where nothing before them in it
        # may have been skipped or repeated: what a name held before the statement holds at the
        # start of an if's branches, a with's or a try's body and a match's cases; a loop
        # starts from nothing known, and so does what runs after an exception. After the
        # statement, a name bound anywhere in it holds what is not known.
        before, mark = scope.current, len(scope.rebound)
        if type(stmt) in _LOOPS:
            scope.current = {}
        self._statement(stmt, scope, before)
        self._restart(scope, before, scope.rebound[mark:])
        if type(stmt) is ast.If and not stmt.orelse and stmt.body and type(stmt.body[-1]) in _LEAVES:
            # `if not isinstance(x, C): raise ...`: what runs after the statement passed the test.
            self._narrow(scope, stmt.test, False)

    def _tested(self, expr: ast.AST, scope: _Scope, tested: list[str]):
        """Visits what a block evaluates before choosing a branch; notes the names it binds."""
        mark = len(scope.rebound)
        self._expr(expr, scope)
        tested += scope.rebound[mark:]

    @staticmethod
    def _restart(scope: _Scope, before: dict, bound: list[str]):
        """What held before a block, but for the names bound since: at another branch, those
        its tests bound on the way there (`:=`, a pattern); after the block, all of them."""
        scope.current = before
        for name in bound:
            scope.forget(name)

    def _statement(self, stmt: ast.stmt, scope: _Scope, before: dict | None = None):
        if isinstance(stmt, ast.Expr):  # the commonest: shortcuts of the generic case below
            self._expr(stmt.value, scope)
        elif isinstance(stmt, ast.If):
            tested: list[str] = []
            failed: dict[str, str] = {}  # what the chain's tests so far, each false here, tell
            while True:  # an elif chain, however long, without a frame per elif
                mark = len(tested)
                self._tested(stmt.test, scope, tested)
                self._narrow(scope, stmt.test, True)
                self._body(stmt.body, scope)
                self._restart(scope, before, tested)
                for name in tested[mark:]:
                    failed.pop(name, None)  # bound anew by this test: what an earlier one told is past
                self._narrow(scope, stmt.test, False, failed)
                if len(stmt.orelse) == 1 and type(stmt.orelse[0]) is ast.If:
                    stmt = stmt.orelse[0]
                    continue
                self._body(stmt.orelse, scope)
                break
        elif isinstance(stmt, _TRY):
            self._body(stmt.body, scope)
            for handler in stmt.handlers:
                scope.current = {}
                if handler.name:
                    # `except E as e`: e is an instance of E (of one of several for a tuple).
                    caught = dotted_name(handler.type) if handler.type is not None else None
                    self._bind(scope, handler.name, (caught, "type") if caught is not None else _UNKNOWN)
                if handler.type is not None:
                    self._expr(handler.type, scope)
                self._body(handler.body, scope)
            scope.current = {}
            self._body(stmt.orelse, scope)
            self._body(stmt.finalbody, scope)
        elif isinstance(stmt, ast.Match):
            tested = []
            self._tested(stmt.subject, scope, tested)
            for case in stmt.cases:
                self._restart(scope, before, tested)
                mark = len(tested)
                self._tested(case.pattern, scope, tested)  # a pattern that fails may bind names
                if case.guard is not None:
                    self._tested(case.guard, scope, tested)
                if type(stmt.subject) is _Name and isinstance(case.pattern, ast.MatchClass) \
                        and stmt.subject.id not in tested[mark:]:
                    # `case C(...)`: as `isinstance(subject, C)` held.
                    self._narrow(scope, ast.Call(ast.Name("isinstance"), [stmt.subject, case.pattern.cls], []), True)
                self._body(case.body, scope)
        elif isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
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
            if isinstance(stmt, ast.Global):
                scope.global_names.update(stmt.names)
        elif isinstance(stmt, ast.Assign):
            self._expr(stmt.value, scope)
            for target in stmt.targets:
                self._unpack(target, stmt.value, scope)
        elif isinstance(stmt, ast.AnnAssign):
            if stmt.value is not None:
                self._expr(stmt.value, scope)
            self._expr(stmt.annotation, scope)
            self._target(stmt.target, stmt.value, stmt.annotation, scope)
        elif isinstance(stmt, ast.Assert):
            self._expr(stmt.test, scope)
            if stmt.msg is not None:
                self._expr(stmt.msg, scope)
            self._narrow(scope, stmt.test, True)
        elif isinstance(stmt, ast.Return):
            if stmt.value is not None:
                self._expr(stmt.value, scope)
            scope.returned.append(dotted_name(stmt.value) if stmt.value is not None else None)
            scope.returned_places.append(
                [(dotted_name(e.func) if isinstance(e, ast.Call) else None, dotted_name(e)) for e in stmt.value.elts]
                if isinstance(stmt.value, ast.Tuple) and not any(isinstance(e, ast.Starred) for e in stmt.value.elts)
                else None)
            if stmt.value is None or (isinstance(stmt.value, ast.Constant) and stmt.value.value is None) \
                    or (isinstance(stmt.value, ast.Name) and stmt.value.id == "NotImplemented"
                        and self._owner("NotImplemented", scope) is None):
                # A method called on what returns NotImplemented fails as one on None does.
                scope.made.append(_NONE)
            else:
                made = None
                if isinstance(stmt.value, ast.Call):
                    made = self._allocated(stmt.value, scope) or dotted_name(stmt.value.func)
                if isinstance(stmt.value, ast.Name):
                    held = scope.current.get(stmt.value.id)
                    if held is not None and held.narrowed:
                        made = held.made  # `if isinstance(x, C): return x`
                own = scope.class_scope is not None and self._new_own_instance(stmt.value, scope)
                scope.made.append(tree_pass.SELF if own else made)
        elif isinstance(stmt, ast.Raise) and stmt.exc is not None and not isinstance(stmt.exc, ast.Call):
            # `raise C` instantiates C.
            name = dotted_name(stmt.exc)
            if name is not None:
                scope.raw_calls.append(name)
            self._expr(stmt.exc, scope)
            if stmt.cause is not None:
                self._expr(stmt.cause, scope)
        elif isinstance(stmt, (ast.With, ast.AsyncWith)):
            kind = "async with" if isinstance(stmt, ast.AsyncWith) else "with"
            for item in stmt.items:
                self._expr(item.context_expr, scope)
                type_name = self._special_calls(item.context_expr, kind, scope)
                if item.optional_vars is not None:
                    if isinstance(item.optional_vars, ast.Name) and type_name is not None:
                        # `as v` binds what __enter__ returns: the instance, when it returns self.
                        entered = (type_name[0], "enter" if kind == "with" else "aenter")
                        self._target(item.optional_vars, None, None, scope, entered)
                    else:
                        self._expr(item.optional_vars, scope)
            self._body(stmt.body, scope)
        elif isinstance(stmt, ast.For) and (looped := self._loop_items(stmt, scope)) is not None:
            # `for x in items` where items is annotated `list[Foo]` (`.values()`, `.items()`,
            # `enumerate(...)` of such containers alike): x is a Foo.
            items, of, target, others = looped
            self._special_calls(stmt.iter, "for", scope)
            self._expr(stmt.iter, scope)
            for other in others:
                self._target(other, None, None, scope)
            self._target(target, None, None, scope, (self._items(items, scope, of), "type"))
            self._item_uses.append((scope, items, of, target.id))
            self._body(stmt.body, scope)
            self._body(stmt.orelse, scope)
        elif isinstance(stmt, ast.For) and isinstance(stmt.target, ast.Name) and self._iterated(stmt.iter, scope):
            # `for x in make()` / `for x in items`: x is an item of what the loop iterates over,
            # as the whole-tree pass can tell from annotations.
            self._special_calls(stmt.iter, "for", scope)
            self._expr(stmt.iter, scope)
            self._target(stmt.target, None, None, scope, self._iterated(stmt.iter, scope))
            self._body(stmt.body, scope)
            self._body(stmt.orelse, scope)
        else:
            if isinstance(stmt, (ast.For, ast.AsyncFor)):
                self._special_calls(stmt.iter, "async for" if isinstance(stmt, ast.AsyncFor) else "for", scope)
            # Everything else only matters through the expressions and blocks it holds.
            for child in ast.iter_child_nodes(stmt):
                if isinstance(child, ast.stmt):
                    self._stmt(child, scope)
                else:
                    self._expr(child, scope)

    def _unpack(self, target: ast.AST, value: ast.AST, scope: _Scope):
        """`a, (b, c) = x, (y, z)` binds like three plain assignments; `a, *b, c = x, y, z, w`
        binds a and c so, and b to a new list."""
        if isinstance(target, (ast.Tuple, ast.List)) and isinstance(value, ast.Call) \
                and not any(isinstance(e, ast.Starred) for e in target.elts):
            # `a, b = f()`: each name as the place of f's tuple it takes, where the whole-tree
            # pass can tell (kind tree_pass.PLACE + the place).
            called = self._value_type(value, scope)
            if called is not None and called[1] == "call" and scope.kind != "class":
                method = self._method_scope(scope)
                for i, e in enumerate(target.elts):
                    # Rebinding self keeps the resolver's rule for it, as a plain assignment does.
                    if isinstance(e, ast.Name) and not (method is not None and e.id in ("self", "cls")):
                        self._target(e, None, None, scope, (called[0], f"{tree_pass.PLACE}{i}"))
                    else:
                        self._target(e, None, None, scope)
                return
        if not (isinstance(target, (ast.Tuple, ast.List)) and isinstance(value, (ast.Tuple, ast.List))
                and not any(isinstance(e, ast.Starred) for e in value.elts)):
            self._target(target, value, None, scope)
            return
        stars = [i for i, e in enumerate(target.elts) if isinstance(e, ast.Starred)]
        fixed = len(target.elts) - len(stars)
        if len(stars) > 1 or fixed > len(value.elts) or (not stars and fixed != len(value.elts)):
            self._target(target, value, None, scope)  # fails when it runs
            return
        star = stars[0] if stars else len(target.elts)
        after = len(target.elts) - star - 1
        for t, v in zip(target.elts[:star], value.elts):
            self._unpack(t, v, scope)
        if stars:
            self._expr(target.elts[star], scope)
            for t, v in zip(target.elts[star + 1:], value.elts[len(value.elts) - after:]):
                self._unpack(t, v, scope)

    def _special_calls(self, expr: ast.AST, kind: str, scope: _Scope):
        """The special methods that `for`/`with` call on expr's value; returns the value's
        type when expr is a call whose result type the receiver rules can tell."""
        methods = _SPECIAL[kind]
        if isinstance(expr, ast.Call):
            key = dotted_name(expr.func)
            type_name = self._value_type(expr, scope)
            if key is None or type_name is None or key in _BUILTINS:
                return None
            scope.receivers.note(key + "()", type_name, scope)
            scope.raw_calls.extend(_Implicit(f"{key}().{m}") for m in methods)
            return type_name
        name = dotted_name(expr)
        if name is not None:
            scope.protocol.extend((name, m) for m in methods)
        return None

    def _target(self, target: ast.AST, value: ast.AST | None, annotation: ast.AST | None, scope: _Scope,
                known_type=None):
        """Locals, receiver types, aliases and Django fields from `target = value` /
        `target: annotation = value`."""
        if isinstance(target, ast.Name):
            if scope.kind == "class":
                self._note_items(scope, "self." + target.id, annotation, value)
            elif annotation is not None:
                self._note_items(scope, target.id, annotation)
            scope.bind(target.id)
            if scope.binds_class and self._new_own_instance(value, scope):
                scope.own_made.add(target.id)  # `self = object.__new__(cls)`
            alias = _alias_value(value) if annotation is None else None
            if annotation is None and isinstance(value, ast.Call):
                alias = self._partial_of(value, scope) or self._wrapped_method(value, scope) or alias
            if isinstance(value, ast.Lambda) and annotation is None and id(value) in self._lambdas:
                alias = _DEFINED + self._lambdas[id(value)].qual
            if alias is None and annotation is None:
                alias = _literal_table(value)
            if alias is not None:
                scope.aliases[target.id] = alias
        elif dotted_name(target) is None:
            self._expr(target, scope)  # unpacking, subscripts: every bound name has an unknown type
            method = self._method_scope(scope)
            if method is not None and isinstance(target, (ast.Tuple, ast.List)):
                for part in ast.walk(target):
                    if isinstance(part, ast.Attribute) and isinstance(part.value, ast.Name) \
                            and part.value.id == method.self_name:
                        method.class_scope.held_methods.setdefault(part.attr, set()).add(None)
            if (isinstance(target, ast.Subscript) and isinstance(target.value, ast.Name)
                    and isinstance(target.slice, ast.Constant)):
                # `table["key"] = func`: one more entry a literal table may hold under that key.
                name = target.value.id
                scope.table_calls[name] = scope.table_calls.get(name, 0) + 1
                scope.table_stores.append((name, target.slice.value, _table_value(value)))
            return
        else:
            self._expr(target, scope)  # calls inside the target expression, if any
        if value is not None and isinstance(value, ast.Constant) and value.value is None and annotation is None:
            return  # `x = None` placeholders say nothing about the later type
        type_name = known_type
        if type_name is None:
            t = annotation_type(annotation)
            type_name = (t, "type") if t is not None else None
        if type_name is not None:
            type_names = [type_name]
        elif value is None or (isinstance(target, ast.Name) and target.id in ("self", "cls")
                               and self._method_scope(scope) is not None):
            # Rebinding self in a method keeps the resolver's rule for it (its own class): what
            # is assigned is not followed. In a plain function self is a local like any other.
            type_names = [_UNKNOWN]
        else:
            type_names = self._value_types(value, scope)

        if isinstance(target, ast.Name):
            held = self._item_of(value, scope) if annotation is None and known_type is None else None
            if held is not None:
                # `x = items[i]`, `x = table.get(key)`: an item of an annotated container.
                type_names = [(held[1], "type")]
                self._item_uses.append((scope, held[2], held[0], target.id))
            if scope.kind == "class":
                # Class attributes are what instances see through self.<name>.
                for type_name in type_names:
                    if type_name is not _UNKNOWN:
                        scope.receivers.note("self." + target.id, type_name, scope.parent)
                if isinstance(value, ast.Call):
                    self._django_field(target.id, value, scope)
            else:
                for type_name in type_names:
                    scope.receivers.note(target.id, type_name, scope)
                if annotation is None:
                    self._hold(scope, target.id, alias, value, type_names)
            return
        text = dotted_name(target)
        head, _, rest = text.partition(".")
        method = self._method_scope(scope)
        if method is not None and head == "self" == method.self_name and "." not in rest:
            self._note_items(method.class_scope, text, annotation, value)
            bound = _alias_value(value) if annotation is None else None
            own = bound[5:] if bound is not None and bound.startswith("self.") and bound.count(".") == 1 else None
            method.class_scope.held_methods.setdefault(rest, set()).add(own)
        for type_name in type_names:
            if method is not None and head == method.self_name:
                method.class_scope.receivers.note(f"{head}.{rest}", type_name, scope)
            elif scope.kind != "class":
                scope.receivers.note(text, type_name, scope)

    def _narrowing(self, test: ast.expr, truth: bool, scope: _Scope, found: dict[str, str]) -> dict[str, str]:
        """Where test is known to be truth: the names of this scope that `isinstance(x, C)`
        (in `and`/`or`/`not` as far as they tell) shows to be instances of C, added to found
        as name -> C."""
        t = type(test)
        if t is ast.UnaryOp and type(test.op) is ast.Not:
            self._narrowing(test.operand, not truth, scope, found)
        elif t is ast.BoolOp and (type(test.op) is ast.And) == truth:
            for value in test.values:  # each of `a and b` holds, or each of `a or b` fails
                self._narrowing(value, truth, scope, found)
        elif truth and t is _Call and type(test.func) is _Name and test.func.id == "isinstance" \
                and len(test.args) == 2 and not test.keywords and type(test.args[0]) is _Name:
            name, cls = test.args[0].id, dotted_name(test.args[1])
            if cls is not None and name != scope.self_name and name not in self._declared \
                    and self._owner(name, scope) is scope and self._owner(cls.partition(".")[0], scope) is not None:
                found[name] = cls  # not a tuple of classes, a builtin class, a name code elsewhere may rebind
        return found

    def _narrow(self, scope: _Scope, test: ast.expr, truth: bool, found: dict[str, str] | None = None):
        """Where test is known to be truth, each name it shows to be a C (added to found, with
        what found held) holds an instance of C: a call through it reaches C's method (or an
        override's, as on an annotated parameter)."""
        found = self._narrowing(test, truth, scope, {} if found is None else found)
        if found:
            scope.current = {**scope.current,
                             **{name: _Current(None, cls, (cls, "type"), narrowed=True) for name, cls in found.items()}}

    def _hold(self, scope: _Scope, name: str, alias, value: ast.AST | None, type_names: list):
        """After `name = value`: what the name holds until the code branches or binds it again."""
        if name in scope.declared_outer:
            return
        alias = alias if isinstance(alias, str) else None
        made = type_name = None
        if isinstance(value, ast.Call) and len(type_names) == 1 and type_names[0] is not _UNKNOWN:
            made = dotted_name(value.func)
            type_name = type_names[0] if made is not None and made not in _BUILTINS else None
            made = made if type_name is not None else None
        if alias is not None or made is not None:
            # A new dict: the one a branch started from is restored after it.
            scope.current = {**scope.current, name: _Current(alias, made, type_name)}

    def _wrapped_method(self, value: ast.Call, scope: _Scope) -> str | None:
        """`x = staticmethod(f)` or `classmethod(f)` in a class body: calling x through the
        class or an instance calls f (the builtin, where nothing rebinds its name)."""
        if scope.kind != "class" or type(value.func) is not _Name or value.func.id not in ("staticmethod", "classmethod") \
                or len(value.args) != 1 or value.keywords or self._owner(value.func.id, scope) is not None:
            return None
        return dotted_name(value.args[0])

    def _partial_of(self, value: ast.AST, scope: _Scope) -> str | None:
        """The function `functools.partial(f, ...)` wraps (calling the partial calls it): f's
        dotted name, when partial is the standard library's, imported once."""
        if not isinstance(value, ast.Call) or not value.args or isinstance(value.args[0], ast.Starred):
            return None
        name = dotted_name(value.func)
        head = name.partition(".")[0] if name is not None else None
        owner = self._owner(head, scope) if head is not None else None
        if owner is None or owner.binds.get(head) != 1:
            return None
        wanted = ({"module": "functools", "kind": "module", "qualifier": "functools"} if name == "functools.partial"
                  else {"module": "functools", "symbol": "partial", "kind": "symbol"} if name == "partial" else None)
        if wanted is None or owner.imports.get(head) != [wanted]:
            return None
        return dotted_name(value.args[0])

    def _items(self, expr: ast.AST, scope: _Scope, of: str = "elements") -> str | None:
        """The annotated class of what a container holds (of: "elements", its items; "values",
        a mapping's values): a local or parameter bound only once, or self.<attr> of the
        method's class that the class assigns nothing else."""
        if scope.kind != "function":
            return None
        if isinstance(expr, ast.Name):
            owner = self._owner(expr.id, scope)
            if owner is None or owner.kind != "function" or owner.binds.get(expr.id) != 1:
                return None
            return getattr(owner, of).get(expr.id)
        if isinstance(expr, ast.Attribute) and isinstance(expr.value, ast.Name) and expr.value.id == "self":
            method = self._method_scope(scope)
            key = "self." + expr.attr
            if method is None or method.self_name != "self" or key in method.class_scope.mixed:
                return None
            return getattr(method.class_scope, of).get(key)
        return None

    def _subscripted(self, expr: ast.AST, scope: _Scope) -> tuple[str, str] | None:
        """(of, class) of what `expr[k]` gives: a mapping's values, else a sequence's items."""
        for of in ("values", "elements"):
            found = self._items(expr, scope, of)
            if found is not None:
                return of, found
        return None

    def _item_of(self, value: ast.AST | None, scope: _Scope) -> tuple[str, str, ast.AST] | None:
        """(of, class, container) for `c[k]` (no slice) or `c.get(k)` of a mapping c."""
        if isinstance(value, ast.Subscript) and not isinstance(value.slice, ast.Slice):
            found = self._subscripted(value.value, scope)
            return (*found, value.value) if found is not None else None
        if isinstance(value, ast.Call) and isinstance(value.func, ast.Attribute) and value.func.attr == "get" \
                and len(value.args) == 1 and not value.keywords:
            found = self._items(value.func.value, scope, "values")
            return ("values", found, value.func.value) if found is not None else None
        return None

    def _loop_items(self, stmt: ast.For, scope: _Scope):
        """(container, of, the loop variable typed by its items, the other names bound) for
        `for x in c`, `for x in c.values()`, `for k, x in c.items()`, `for i, x in
        enumerate(c)`, `for x in reversed(c)` / `sorted(c)` where c's annotation tells; or None."""
        target, it, others = stmt.target, stmt.iter, []
        of = "elements"
        if isinstance(target, ast.Tuple) and len(target.elts) == 2 and isinstance(it, ast.Call) and len(it.args) == 1 \
                and not it.keywords and isinstance(it.func, ast.Name) and it.func.id == "enumerate":
            others, target, it = [target.elts[0]], target.elts[1], it.args[0]
        elif isinstance(it, ast.Call) and not it.args and not it.keywords and isinstance(it.func, ast.Attribute) \
                and it.func.attr in ("values", "items"):
            if it.func.attr == "items":
                if not (isinstance(target, ast.Tuple) and len(target.elts) == 2):
                    return None
                others, target = [target.elts[0]], target.elts[1]
            of, it = "values", it.func.value
        elif isinstance(it, ast.Call) and len(it.args) == 1 and not it.keywords and isinstance(it.func, ast.Name) \
                and it.func.id in ("reversed", "sorted", "list", "tuple"):
            it = it.args[0]
        else:
            it = stmt.iter
        if it is not stmt.iter and isinstance(stmt.iter.func, ast.Name) and self._owner(stmt.iter.func.id, scope):
            return None  # a function of the code named like the builtin
        if not isinstance(target, ast.Name) or self._items(it, scope, of) is None:
            return None
        return it, of, target, others

    def _note_items(self, scope: _Scope, key: str, annotation: ast.AST | None, value: ast.AST | None = None):
        """What key holds as annotation states (an attribute of a class: unless the class
        assigns it something else too)."""
        if annotation is None:
            if scope.kind == "class" and not _empty_container(value):
                scope.mixed.add(key)
            return
        for of, found in (("elements", element_type(annotation)), ("values", mapped_type(annotation))):
            held = getattr(scope, of)
            if found is not None and held.setdefault(key, found) != found and scope.kind == "class":
                scope.mixed.add(key)

    def _iterated(self, expr: ast.AST, scope: _Scope):
        """The type entry of a loop variable over expr: ("f", "yield") for the items of what a
        call of f returns, ("name", "iter") for the items of a named value."""
        if isinstance(expr, ast.Call):
            called = self._value_type(expr, scope)
            if called is None or dotted_name(expr.func) in _BUILTINS:
                return None
            return called[0], "yield"
        name = dotted_name(expr)
        head = name.partition(".")[0] if name is not None else None
        method = self._method_scope(scope)
        if head is None or head in _BUILTINS or (head in ("self", "cls") and (method is None or head != method.self_name)):
            return None
        return name, "iter"

    def _method_scope(self, scope: _Scope) -> _Scope | None:
        """The method whose `self` is visible here (the method itself or a closure in it)."""
        while scope is not None and scope.kind == "function":
            if scope.class_scope is not None:
                return scope
            scope = scope.parent
        return None

    def _value_types(self, value: ast.AST, scope: _Scope) -> list:
        """The types a value may have: each branch of `a if c else b`, each operand of
        `a or b`, that is not a literal None (calling a method of None fails, so None adds no
        target)."""
        branches = None
        if isinstance(value, ast.IfExp):
            branches = (value.body, value.orelse)
        elif isinstance(value, ast.BoolOp) and isinstance(value.op, ast.Or):
            branches = value.values
        if branches is not None:
            return [t for b in branches if not (isinstance(b, ast.Constant) and b.value is None)
                    for t in self._value_types(b, scope)]
        found = self._value_type(value, scope)
        return [_UNKNOWN if found is None else found]

    def _value_type(self, value: ast.AST, scope: _Scope):
        if isinstance(value, ast.Await) and isinstance(value.value, ast.Call):
            called = self._value_type(value.value, scope)
            return (called[0], "await") if called is not None and called[1] == "call" else None
        if isinstance(value, ast.Call):
            if self._new_own_instance(value, scope):
                return self._method_scope(scope).class_scope.qual, "type"
            allocated = self._allocated(value, scope)
            if allocated is not None:
                return allocated, "call"
            name = dotted_name(value.func)
            if name is not None and len(value.args) == 2 and self._from_typing(name, "cast") \
                    and self._owner(name.partition(".")[0], scope) is self.scopes[0]:
                # `typing.cast(C, x)` is x, stated to be a C.
                stated = annotation_type(value.args[0])
                return (stated, "type") if stated is not None else None
            if name is None:
                if isinstance(value.func, ast.Attribute) and isinstance(value.func.value, ast.Call):
                    # `x = Cls().make()`: what make gives on the call's result.
                    inner = self._call_key(value.func.value, scope)
                    return (f"{inner}.{value.func.attr}", "call") if inner is not None else None
                return None
            method = self._method_scope(scope)
            head = name.split(".", 1)[0]
            if head in ("self", "cls") and (method is None or head != method.self_name or "." not in name):
                return None
            return name, "call"  # `self.make()`: what make's return annotation names
        if isinstance(value, ast.Name):
            method = self._method_scope(scope)
            if method is not None and value.id == "self" == method.self_name:
                return method.class_scope.qual, "type"  # `a = self`
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

    def _new_own_instance(self, value: ast.AST, scope: _Scope) -> bool:
        """`self.__class__(...)` or `type(self)(...)` in a method, `cls(...)`,
        `object.__new__(cls)`, `super().__new__(cls)` or `cls.__new__(cls)` in a class method
        or `__new__`: a new instance of the class self is an instance of, or cls is (the
        method's own class, as for self, or a subclass)."""
        if not isinstance(value, ast.Call):
            return False
        method = self._method_scope(scope)
        if method is None or method.self_name is None:
            return False
        func = value.func
        if method.self_name == "cls":
            # In a metaclass's own methods cls is an instance of it, and cls() makes something else.
            if not method.binds_class:
                return False
            if isinstance(func, ast.Name):
                return func.id == "cls"
            maker = call_name(func)
            return (maker in ("object.__new__", "cls.__new__", "super.__new__") and bool(value.args)
                    and isinstance(value.args[0], ast.Name) and value.args[0].id == "cls"
                    and (maker != "object.__new__" or self._owner("object", scope) is None))
        if isinstance(func, ast.Attribute):
            return func.attr == "__class__" and isinstance(func.value, ast.Name) and func.value.id == "self"
        return (isinstance(func, ast.Call) and isinstance(func.func, ast.Name) and func.func.id == "type"
                and self._owner("type", scope) is None and len(func.args) == 1 and not func.keywords
                and isinstance(func.args[0], ast.Name) and func.args[0].id == "self")

    def _allocated(self, call: ast.Call, scope: _Scope) -> str | None:
        """`object.__new__(C)` makes an instance of C (without running its __init__): the
        name C, whose call gives an instance of the same class."""
        if (len(call.args) != 1 or call.keywords or call_name(call.func) != "object.__new__"
                or self._owner("object", scope) is not None):
            return None
        name = dotted_name(call.args[0])
        return name if name is not None and name.partition(".")[0] not in ("self", "cls") else None

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
        """A name bound by an except clause (class bodies bind no locals)."""
        scope.bind(name)
        if scope.kind != "class" and type_name is not None:
            scope.receivers.note(name, type_name, scope)

    # ---- imports ------------------------------------------------------------------

    def _add_binding(self, scope: _Scope, local: str, binding: dict):
        bucket = scope.imports.setdefault(local, [])
        if binding not in bucket:
            bucket.append(binding)

    def _import(self, alias: ast.alias, scope: _Scope):
        parts = alias.name.split(".")
        self.imported.update("/".join(parts[:n]) for n in range(1, len(parts) + 1))
        local = alias.asname or parts[0]
        scope.binds[local] = scope.binds.get(local, 0) + 1
        scope.import_binds[local] = scope.import_binds.get(local, 0) + 1
        scope.rebind(local)
        if alias.asname:
            self._add_binding(scope, alias.asname,
                              {"module": "/".join(parts), "kind": "module", "qualifier": alias.asname})
            return
        # `import a.b.c` binds `a`; the qualifier lets `a.b.c.f()` reach f in a/b/c.py,
        # and the shorter prefixes cover `a.f()` and `a.b.f()`.
        scope.package_imports[local] = scope.package_imports.get(local, 0) + 1
        for n in range(len(parts), 0, -1):
            self._add_binding(scope, parts[0],
                              {"module": "/".join(parts[:n]), "kind": "module", "qualifier": ".".join(parts[:n])})

    def _import_from(self, stmt: ast.ImportFrom, scope: _Scope):
        if stmt.module == "__future__":
            return
        base = self.package
        if stmt.level:
            base = self.package[: len(self.package) - (stmt.level - 1)] if stmt.level - 1 <= len(self.package) else None
        module = None if base is None else "/".join(
            (base if stmt.level else []) + (stmt.module.split(".") if stmt.module else []))
        names = stmt.names
        if module == ids.module_name(self.path).replace(".", "/") and not self.path.endswith("__init__.py"):
            # `from <this module> import X` (a demo under `if __name__ == "__main__":`) binds X
            # to what the module's top level binds it to: no second meaning. (A package's
            # `from . import X` may bring its submodule X instead.)
            names = [a for a in names if a.name == "*" or (a.asname or a.name) != a.name]
        for alias in names:
            if alias.name != "*":
                local = alias.asname or alias.name
                scope.binds[local] = scope.binds.get(local, 0) + 1
                scope.import_binds[local] = scope.import_binds.get(local, 0) + 1
                scope.rebind(local)
        if module is None:
            # Reaches above the indexed root: the names are bound, but to nothing we know.
            for alias in names:
                if alias.name != "*":
                    scope.unresolvable.add(alias.asname or alias.name)
            return
        self.imported.add(module)
        self.imported.update(f"{module}/{a.name}" if module else a.name for a in names if a.name != "*")
        for alias in names:
            if alias.name == "*":
                # Which names it brings is for the whole-tree pass to tell; a name bound before
                # this statement may be replaced by it, one bound only after it wins.
                scope.rebind("*")
                scope.imports.setdefault("*", []).append({"module": module, "kind": "star",
                                                          "before": sorted(scope.binds)})
                continue
            self._add_binding(scope, alias.asname or alias.name,
                              {"module": module, "symbol": alias.name, "kind": "symbol"})

    # ---- expressions --------------------------------------------------------------

    def _decorator(self, deco: ast.expr, scope: _Scope):
        # Applying a decorator calls it, in the scope that holds the definition.
        name = dotted_name(deco)
        if name is not None and name not in _PLAIN_DECORATORS:
            scope.raw_calls.append(name)
        elif isinstance(deco, ast.Call) and isinstance(deco.func, ast.Name):
            scope.raw_calls.append(deco.func.id + "()")  # `@make()`: what make returns is applied
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
        comprehensions belong to the enclosing definition). Nodes are visited in pre-order,
        children in field order: the order of the calls recorded."""
        function = scope.kind == "function"
        stack: list[Any] = [expr]
        pop, push, extend = stack.pop, stack.append, stack.extend
        lambdas = 0  # lambdas around the node: a yield there makes no generator of the scope
        comprehensions = 0  # comprehensions around the node: their code may run later (generators)
        while stack:
            node = pop()
            t = type(node)
            if t is _Name:
                ctx = type(node.ctx)
                if ctx is _Load:
                    scope.loads[node.id] = scope.loads.get(node.id, 0) + 1
                elif ctx is _Store:
                    scope.bind(node.id)
                    if scope.kind != "class":
                        scope.receivers.note(node.id, _UNKNOWN)
                else:
                    # Del: not a binding to hide others with, but the name no longer holds one value.
                    scope.binds[node.id] = scope.binds.get(node.id, 0) + 1
                    scope.deletes[node.id] = scope.deletes.get(node.id, 0) + 1
                    scope.rebind(node.id)
                continue
            if t is _Constant or node is None:  # None: a `**spread` key, a missing kw default
                continue
            if t is _Attribute:
                value = node.value
                if type(value) is _Name or type(value) is _Attribute:  # set or deleted too: a setter, a deleter
                    scope.reads.append(node)
                push(value)
                continue
            if t is ast.NamedExpr and scope.kind != "class":
                # `(a := A())`: a is typed like an assignment of the value.
                scope.bind(node.target.id)
                for type_name in self._value_types(node.value, scope):
                    scope.receivers.note(node.target.id, type_name, scope)
                push(node.value)
                continue
            if node is _LAMBDA_END:
                lambdas -= 1
                continue
            if node is _COMPREHENSION_END:
                comprehensions -= 1
                continue
            if t is _Call:
                if type(node.func) is _Name:
                    scope.sites.append(_site(node))
                    if node.func.id in _CALLS_POSITIONAL or node.func.id in _CALLS_KEY:
                        self._passed(node, scope)
                    special = _BUILTIN_SPECIAL.get(node.func.id)
                    operand = _operand(node.args[0]) if special is not None and len(node.args) == 1 else None
                    if operand is not None and not node.keywords:
                        scope.operated.append((node.func.id, operand, special))
                name = self._call_name(node.func, scope)
                if name is not None and name != "super":  # super() calls show up as "super.<method>"
                    if scope.current and not (lambdas or comprehensions):
                        held = scope.current.get(name.partition(".")[0])
                        if held is not None:
                            name = _Through(name, held)
                    scope.raw_calls.append(name)
            elif t is ast.Subscript:
                operand = _operand(node.value)
                if operand is not None:
                    scope.operated.append((None, operand, _SUBSCRIPT[type(node.ctx)]))
            elif t is ast.Compare:
                left = node.left
                for op, right in zip(node.ops, node.comparators):
                    special = _COMPARISONS.get(type(op))
                    operand = _operand(right if special is None else left)
                    if operand is None:
                        pass
                    elif special is not None:
                        scope.operated.append((None, operand, special))
                    elif type(op) in (ast.In, ast.NotIn):
                        scope.operated.append((None, operand, "__contains__"))
                    left = right
            elif t in _COMPREHENSIONS:
                comprehensions += 1
                push(_COMPREHENSION_END)
            elif t is ast.comprehension:
                self._special_calls(node.iter, "async for" if node.is_async else "for", scope)
            elif t is ast.Lambda:
                if not lambdas:
                    self._lambda(node, scope)
                lambdas += 1
                push(_LAMBDA_END)
                if function:
                    a = node.args
                    for arg in [*a.posonlyargs, *a.args, *a.kwonlyargs, a.vararg, a.kwarg]:
                        if arg is not None:
                            scope.bind(arg.arg)
            elif t is ast.Yield or t is ast.YieldFrom:
                if not lambdas:
                    scope.generator = True
                    scope.yielded.append(_yielded(node))
            elif (t is ast.MatchAs or t is ast.MatchStar) and node.name:
                scope.bind(node.name)
            elif t is ast.MatchMapping and node.rest:
                scope.bind(node.rest)
            fields = _CHILD_FIELDS.get(t)
            if fields is None:
                fields = _CHILD_FIELDS[t] = _child_fields(t)
            for f in fields:  # last field first: the stack gives them back in field order
                v = getattr(node, f)
                if type(v) is list:
                    extend(reversed(v))
                elif v is not None:
                    push(v)

    def _passed(self, call: ast.Call, scope: _Scope):
        through = call.func.id
        given = call.args if through in _CALLS_POSITIONAL else [k.value for k in call.keywords if k.arg == "key"]
        for i, arg in enumerate(given):
            if isinstance(arg, ast.Lambda):
                scope.raw_calls.append(_Passed("", through, arg, later=i > 0))
            elif (name := dotted_name(arg)) is not None:
                scope.raw_calls.append(_Passed(name, through, later=i > 0))

    def _call_name(self, func: ast.AST, scope: _Scope) -> str | None:
        name = call_name(func)
        if name is not None:
            return name
        if isinstance(func, ast.Call) and isinstance(func.func, ast.Name):
            return func.func.id + "()"  # `f()()`: whatever f returns, if _rewrite can tell
        if isinstance(func, ast.Subscript) and isinstance(func.value, ast.Name):
            # `table["key"]()`: the entry, if _rewrite finds a literal table bound once. A call
            # of an entry reads the table without changing it.
            scope.table_calls[func.value.id] = scope.table_calls.get(func.value.id, 0) + 1
            return _table_call(func.value.id, func.slice.value if isinstance(func.slice, ast.Constant) else _ANY_KEY)
        if isinstance(func, ast.Attribute) and isinstance(func.value, ast.Subscript) \
                and not isinstance(func.value.slice, ast.Slice):
            # `items[i].m()`: an item of a container annotated with its items' class.
            found = self._subscripted(func.value.value, scope)
            if found is None or found[1] in _BUILTINS:
                return None  # `lines[0].strip()`: a method of a builtin class, no node of the tree
            key = dotted_name(func.value.value) + "[]"
            scope.receivers.note(key, (found[1], "type"), scope)
            self._item_uses.append((scope, func.value.value, found[0], key))
            return f"{key}.{func.attr}"
        if isinstance(func, ast.Attribute) and isinstance(func.value, ast.Call):
            # `Cls().m()`, `Cls().make().m()`: the receiver is the call's result.
            key = self._call_key(func.value, scope)
            if key is not None:
                return f"{key}.{func.attr}"
        return None

    def _call_key(self, call: ast.Call, scope: _Scope, depth: int = 0) -> str | None:
        """The receiver text of what a call gives, "Cls()", or "Cls().make()" along methods
        called on call results, noted with its type as an assignment of the call would be
        typed (the chain's through the result of each method); None where nothing types it."""
        func = call.func
        if isinstance(func, ast.Attribute) and isinstance(func.value, ast.Call):
            inner = self._call_key(func.value, scope, depth + 1) if depth < _MAX_CHAINED_CALLS else None
            if inner is None:
                return None
            key, type_name = f"{inner}.{func.attr}", (f"{inner}.{func.attr}", "call")
        else:
            key, type_name = dotted_name(func), self._value_type(call, scope)
            if key is None or type_name is None or key in _BUILTINS:
                return None
        scope.receivers.note(key + "()", type_name, scope)
        return key + "()"

    # ---- the calls each node makes ----------------------------------------------------

    def _finish_calls(self, scope: _Scope):
        # A class body runs where the class statement is: its calls belong to that code.
        target = scope
        while target.kind == "class":
            target = target.parent
        for raw in scope.raw_calls:
            self._flow_used = None
            if isinstance(raw, _Passed):
                if self._owner(raw.through, scope) is not None:
                    continue  # not the builtin
                if raw.later and raw.node is None and not self._names_definition(raw, scope):
                    continue  # an iterable (a parameter, a local list): recording it as a call says nothing
                if raw.node is None:
                    raw = str(raw)  # the extract crosses processes as plain names
                else:
                    lam = self._lambdas.get(id(raw.node))
                    if lam is None or (raw := self._lambda_call(lam.qual, target, "")) == "":
                        continue
            held, implicit, passed = None, isinstance(raw, _Implicit), None
            if isinstance(raw, _Through):
                raw, held = self._through(raw, scope)
            elif scope.passed and not isinstance(raw, _Passed):
                passed = scope.passed.get(raw.partition(".")[0])
            unpassed = raw
            if passed is not None:
                # A parameter that every call fills with one type: `p.m` as `Cls().m`.
                raw = self._through(_Through(raw, passed), scope)[0]
            name = self._rewrite(raw, scope, held=held)
            if name is None:
                continue
            key = name.partition("()")[0]
            if key != name and "." in name and not self._typed_result(key, scope):
                continue  # a method of a local's result: no type to find it by
            if raw is not unpassed:
                self._flow_used = self._flow_used or scope.flow_owner
            if self._flow_used is None:
                target.add_call(name, implicit)
                continue
            # Holds only if no other module can call that function: the whole-tree pass decides.
            plain = self._rewrite(unpassed, scope, flows=False, held=held)
            self.extract.conditional.append((target.node_id, len(target.calls), self._flow_used, name, plain))
            target.calls.append(plain)
        for receiver, method in scope.protocol:
            if self._typed(receiver, scope):
                target.add_call(f"{receiver}.{method}", implicit=True)
        typed: dict[str, bool] = {}  # receiver -> whether it has a type
        for builtin, receiver, method in scope.operated:
            known = typed.get(receiver)
            if known is None:
                known = typed[receiver] = self._typed(receiver, scope)
            if known and (builtin is None or self._owner(builtin, scope) is None):
                target.add_call(f"{receiver}.{method}", implicit=True)
        if scope.kind == "class" or not scope.reads:
            return
        reads = {}
        for node in scope.reads:
            name = dotted_name(node)
            if name is None:
                continue  # `f().x`, `a[0].x`: no receiver to type
            head = name.partition(".")[0]
            known = typed.get(head)
            if known is None:
                known = typed[head] = self._typed(head, scope)
            if known:
                reads[name] = None
        reads = [name for name in reads if name not in target.call_set]
        if reads:
            self.extract.reads.setdefault(target.node_id, []).extend(reads)

    def _through(self, raw: _Through, scope: _Scope) -> tuple[str, str | None]:
        """(call name, what its first name held) for a call through a name this scope binds
        more than once, by what the name held where the call is: `x.m` on an instance x was
        last assigned becomes `Cls().m`, typed as that call's result; a name last bound to a
        function calls it. A name bound once keeps the rules for it, and so does a name that
        code elsewhere may rebind (`global`, `nonlocal`)."""
        head, _, rest = raw.partition(".")
        held = raw.current
        if ((scope.binds.get(head, 0) < 2 and not held.narrowed) or head in self._declared
                or self._owner(head, scope) is not scope):
            return str(raw), None
        if rest and "." not in rest and held.type is not None:
            if scope.receivers.single(head) is not None and not held.narrowed:
                return str(raw), None  # every binding gives the same type
            if not (held.type[1] == "type" or "." in held.made or self._module_head(held.made, scope)):
                return str(raw), None  # the result of a local function: nothing types it
            scope.receivers.note(held.made + "()", held.type, scope)
            return f"{held.made}().{rest}", None
        return str(raw), held.alias

    def _typed_result(self, callee: str, scope: _Scope) -> bool:
        """Can the type of `callee(...)`'s result be told: a constructor of the own class, a
        callee that is a module-level name, or a method (`obj.make()`: the whole-tree pass
        types the result from the method's return annotation, or marks it untyped)?"""
        entry = scope.receivers.single(callee + "()")
        return entry is not None and (entry[1] == "type" or "." in callee or self._module_head(callee, scope))

    def _owner(self, name: str, scope: _Scope) -> _Scope | None:
        """The scope whose binding of name the code of scope sees (None: a builtin or unbound)."""
        s = scope
        while s is not None:
            if s.kind == "class":
                if s is scope and name in s.binds:
                    return s
            elif name in s.global_names:
                return self.scopes[0]
            elif name in s.declared_outer:
                s = s.parent  # nonlocal
                continue
            elif name in s.binds or name in s.unresolvable:
                return s
            s = s.parent
        return None

    def _parameter_flows(self, fn: _Scope):
        """A parameter to which every call of its function passes the same function (or that
        keeps its default) stands for that function in the body. Every call must be visible:
        the function's name is read nowhere but in those calls, and, for a module-level
        function, no other module imports this one (the whole-tree pass checks that)."""
        if fn.kind != "function" or not fn.params:
            return
        home, name = fn.parent, fn.record["name"]
        if home.kind == "class" or home.binds.get(name) != 1 or home.def_binds.get(name) != 1:
            return
        if home.aliases.get(name) is not None:
            return  # decorated into something else: the calls do not reach this body
        sites, loads = [], 0
        for scope in self._readers.get(name, ()):
            if self._owner(name, scope) is not home:
                continue
            loads += scope.loads[name]
            sites += [(scope, site) for site in scope.sites if site[0] == name]
        if not sites or loads != len(sites):
            return
        values: dict[str, set] = {p: set() for p in fn.params}
        types: dict[str, set] = {p: set() for p in fn.params if fn.receivers.seen.get(p) == [_UNKNOWN]}
        passed_on = False  # a value that holds only as the caller's flows do
        for scope, (_, positional, keywords) in sites:
            if positional is None or (len(positional) > len(fn.positional) and not fn.takes_more):
                return
            given = dict(zip(fn.positional, positional))
            given.update((k, v) for k, v in keywords.items() if k not in fn.star_params)
            for param in fn.params:
                if param in fn.star_params:
                    continue
                value = given[param] if param in given else fn.defaults.get(param)
                where = scope if param in given else home
                if param in types and (param in given or param not in fn.none_defaults):
                    held, conditional = self._passed_type(value, where, fn)
                    types[param].add(held)
                    passed_on = passed_on or conditional
                if isinstance(value, ast.Lambda):
                    lam = self._lambdas.get(id(value))
                    value = _DEFINED + lam.qual if lam is not None else None
                elif value is not None and value.endswith("()"):
                    value = self._returned_function(value[:-2], where)
                    if value is not None and value.endswith("()"):
                        value = None  # known only to the whole-tree pass
                elif value in where.flows and where.binds.get(value) == 1:
                    # The caller's own parameter, which its callers fill with one function.
                    value = where.flows[value]
                    passed_on = passed_on or where.flow_owner is not None
                if value is None:
                    pass
                elif value.startswith(_DEFINED):
                    if not _is_lambda(value) and self._owner(value[len(_DEFINED):], fn) is not scope:
                        value = None
                elif not self._same_owner(value, fn, where):
                    value = None
                values[param].add(value)
        for param, found in values.items():
            if len(found) == 1 and None not in found and fn.binds.get(param) == 1:
                fn.flows[param] = found.pop()
        for param, found in types.items():
            if len(found) == 1 and None not in found and fn.binds.get(param) == 1:
                made, type_name = found.pop()
                fn.passed[param] = _Current(None, made, type_name, narrowed=True)
        if (fn.flows or fn.passed) and (home.kind == "module" or passed_on):
            fn.flow_owner = fn.flow_owner or name

    def _passed_type(self, value, where: _Scope, fn: _Scope) -> tuple[tuple | None, bool]:
        """What an argument (as call sites keep it: a name, or "f()" for a call of a plain
        name) holds, where the call is, as one type that fn sees the same way: a local or
        parameter with one type, the caller's self, an instance made or a result returned
        there; as (callee or class text, type entry), or None. And whether that holds only
        as the caller's own callers do (a parameter of the caller typed so)."""
        if not isinstance(value, str) or "." in value.rstrip("()") or value.startswith(_DEFINED):
            return None, False
        if value.endswith("()"):
            found = self._value_type(ast.Call(func=ast.Name(id=value[:-2]), args=[], keywords=[]), where)
        else:
            owner = self._owner(value, where)
            if owner is not None and value in owner.passed and owner.binds.get(value) == 1:
                held = owner.passed[value]  # the caller's own parameter, typed by its callers
                if not self._means_same(held.made, fn, owner):
                    return None, False
                return (held.made, held.type), owner.flow_owner is not None
            found = self._value_type(ast.Name(id=value), where)
        if found is None or found is _UNKNOWN or found[0].partition(".")[0] in _BUILTINS:
            return None, False
        return ((found[0], found) if self._means_same(found[0], fn, where) else None), False

    def _means_same(self, text: str, fn: _Scope, where: _Scope) -> bool:
        """Does a type's text name, seen from fn, the module-level definition it names where
        it was found?"""
        head, module = text.partition(".")[0], self.scopes[0]
        return self._owner(head, fn) is module and self._owner(head, where) is module

    def _rewrite(self, name: str, scope: _Scope, flows: bool = True, held: str | None = None) -> str | None:
        """The call name with single-valued aliases replaced by what they are bound to, so the
        resolver sees `func` where the code calls `a` after `a = func`; None for a name only
        the class body that binds it could resolve. held: what the first name holds where the
        call is (see _through), in place of its one value."""
        if name.startswith(_TABLE):
            return self._table_entry(name, scope)
        before = name
        for step in range(4):
            head, dot, rest = name.partition(".")
            if head.endswith("()"):
                if step == 0 and rest:
                    return name  # `Cls().m()`: typed where it was seen
                value = self._returned_function(head[:-2], scope)
                if value is None or (value == head and rest):
                    # `a = make()` with no single function returned: `a` stays as it was.
                    return before if step else None
                if value == head:
                    return name
                name = value + dot + rest
                continue
            before = name
            method = self._method_scope(scope)
            if method is not None and head == method.self_name:
                cls = method.class_scope
                instantiates = ((name == "cls" and method.binds_class)
                                or (name == "self.__class__" and "__class__" not in cls.members))
                if instantiates and all(s.kind == "class" for s in self._chain(cls)):
                    return cls.qual  # `cls()`, `self.__class__()` instantiate the class
                # A class attribute assigned a callable, called through the instance.
                value = cls.alias(rest) if rest and "." not in rest and rest not in cls.members else None
                bound_here = value.partition(".")[0] if isinstance(value, str) else None
                if bound_here in cls.binds:
                    # `_randbelow = _randbelow_with_getrandbits`: another definition of the
                    # class body, reached through the instance too.
                    if cls.members.get(bound_here) and cls.binds[bound_here] == 1:
                        name = f"{head}.{value}"
                        continue
                elif isinstance(value, str) and self._same_owner(value, scope, cls.parent):
                    name = value
                    continue
                held = cls.held_methods.get(rest, ()) if rest not in cls.members and rest not in cls.binds else ()
                bound = next(iter(held)) if len(held) == 1 else None
                if cls.members.get(bound) == "function" and bound not in cls.properties:
                    # `self.handler = self.on_key` everywhere the class assigns it: on_key (a
                    # property's read would give its value).
                    return f"{head}.{bound}"
                return name
            owner = self._owner(head, scope)
            if owner is None:
                return name
            if held is not None and step == 0:
                value = held
            else:
                value = owner.alias(head, flows)
                if value is not None and head in owner.params and owner.flow_owner:
                    self._flow_used = owner.flow_owner
            if isinstance(value, str) and value.startswith(_DEFINED):
                if _is_lambda(value):
                    return self._lambda_call(value[len(_DEFINED):], scope, before) + dot + rest
                return value[len(_DEFINED):] + dot + rest
            if owner.kind == "class":
                if owner.members.get(head) and all(s.kind == "class" for s in self._chain(owner)):
                    return f"{owner.qual}.{name}"
                if not (isinstance(value, str) and self._same_owner(value, scope, owner.parent)):
                    return None
            elif not (isinstance(value, str) and self._same_owner(value, scope, owner)):
                return name
            name = value + dot + rest
        return name

    def _table_entry(self, marker: str, scope: _Scope) -> str | None:
        """The function `table[key]` holds, when table is a literal dict or list bound once
        and read nowhere but in such calls (so nothing changed it)."""
        table, key = json.loads(marker[len(_TABLE):])
        owner = self._owner(table, scope)
        items = owner.alias(table) if owner is not None else None
        if not isinstance(items, tuple) or self._readers is None:
            return None
        readers = [s for s in self._readers.get(table, ()) if self._owner(table, s) is owner]
        if sum(s.loads[table] for s in readers) != sum(s.table_calls.get(table, 0) for s in readers):
            return None
        entries = [*items, *((k, v) for s in readers for name, k, v in s.table_stores if name == table)]
        # Every value the key may hold (any key's, for a key not written as a constant); a
        # None entry cannot be what a call that succeeds calls.
        values = {v for k, v in entries if (key == _ANY_KEY or k == key) and v is not _NONE}
        if len(values) != 1:
            return None
        value = values.pop()
        if value is None or not self._same_owner(value, scope, owner):
            return None
        return self._rewrite(value, scope)

    def _returned_function(self, callee: str, scope: _Scope) -> str | None:
        """The function a call of callee returns, when callee is a function of this module
        whose every `return` gives the same function: "outer.inner" for one it defines,
        else the name it returns (seen from scope as from callee's body)."""
        if "." in callee or self._owner(callee, scope) is not self.scopes[0]:
            return None
        if callee in self.scopes[0].imports and self.scopes[0].binds.get(callee) == 1:
            return callee + "()"  # defined elsewhere: for the whole-tree pass to tell
        if self.scopes[0].members.get(callee) == "class" and self.scopes[0].binds.get(callee) == 1:
            return callee + "()"  # a new instance: calling it runs its class's __call__, as the pass tells
        if self.scopes[0].members.get(callee) != "function" or self.scopes[0].binds.get(callee) != 1:
            return None
        fn = self.by_id[ids.definition_id(self.path, callee)]
        values = set(fn.returned)
        if len(values) != 1 or None in values:
            return None
        value = values.pop()
        if value in fn.members and fn.binds.get(value) == 1:
            return f"{callee}.{value}" if fn.members[value] == "function" else None
        if value.partition(".")[0] in fn.binds or not self._same_owner(value, scope, fn):
            return None
        return value

    def _decorated_aliases(self, scope: _Scope):
        """`@dec def f` binds f to dec(f): where dec is a function of this module that returns
        another function, calls of f are calls of that function."""
        for name, decorators in scope.decorated:
            value = None
            for deco in reversed(decorators):
                if deco is None:
                    break
                returned = self._returned_function(deco, scope)
                if returned is not None and not returned.endswith("()"):
                    value = returned
            if value is not None and scope.binds.get(name) == 1:
                scope.aliases[name] = value

    def _names_definition(self, name: str, scope: _Scope) -> bool:
        """May the dotted name be a function: its head a def or class, an import, or a name
        bound once to a value (an alias, a parameter's one function)?"""
        head = name.partition(".")[0]
        owner = self._owner(head, scope)
        return owner is not None and bool(owner.members.get(head) or head in owner.imports
                                          or owner.alias(head) is not None)

    def _lambda_call(self, qual: str, scope: _Scope, otherwise: str) -> str:
        """The name that calls the lambda qual from the code of scope: its own name, when the
        resolver, looking from the innermost definition outwards, meets that lambda first."""
        lam = self.by_id[ids.definition_id(self.path, qual)]
        name = lam.record["name"]
        s = scope
        while s is not None:
            if s.kind != "class" and name in s.members:
                return name if s is lam.parent else otherwise
            s = s.parent
        return otherwise

    @staticmethod
    def _chain(scope: _Scope):
        while scope.kind != "module":
            yield scope
            scope = scope.parent

    def _same_owner(self, value: str, scope: _Scope, where: _Scope) -> bool:
        """Does value's first name mean, seen from scope, what it means where it was bound?
        A method's own first parameter does, in the method and the closures in it, unless
        the method binds it again (`save = self.save`, then `save(x)`)."""
        head = value.partition(".")[0]
        if head in ("self", "cls"):
            method = self._method_scope(scope)
            return (method is not None and head == method.self_name and self._owner(head, scope) is method
                    and self._owner(head, where) is method and method.binds.get(head) == 1)
        return self._owner(head, scope) is self._owner(head, where)

    def _typed(self, receiver: str, scope: _Scope) -> bool:
        head = receiver.partition(".")[0]
        method = self._method_scope(scope)
        if method is not None and head == method.self_name:
            # self itself is an instance of its class (cls is the class: its special methods
            # are the metaclass's).
            return receiver == "self" or method.class_scope.receivers.known(receiver)
        owner = self._owner(head, scope)
        return owner is not None and owner.kind != "class" and owner.receivers.known(receiver)

    # ---- per-scope JSON and the file's summary ---------------------------------------

    def _module_head(self, text: str, origin: _Scope | None) -> bool:
        """True when text's first name is not bound by a function around origin, so the
        whole-tree pass may read it among the module's names."""
        return self._type_entry(text, origin)[1]

    def _type_entry(self, text: str, origin: _Scope | None) -> tuple[str, bool]:
        """(text, whether its first name is a module-level name). A class that a function
        around origin defines, and binds nothing else to, is written by its qualified name:
        the id of its node, which the resolver finds in this file."""
        head = text.partition(".")[0]
        s = origin
        while s is not None and s.kind != "module":
            if s.kind == "function" and (head in s.binds or head in s.unresolvable):
                if text == head and s.members.get(head) == "class" and s.binds[head] == 1 == s.def_binds.get(head):
                    return f"{s.qual}.{head}", False
                return text, False
            s = s.parent
        return text, True

    def _scope_data(self) -> dict:
        module = self.scopes[0]
        module_names = module.locals | {n for n in module.imports if n != "*"} | module.unresolvable
        bindings, receivers, shadowed = {}, {}, {}
        for scope in self.scopes:
            if scope.imports:
                bindings[scope.qual] = {
                    name: (b[0] if len(b) == 1 else b) for name, b in sorted(scope.imports.items())
                }
            r = scope.receivers.raw(self._type_entry, unions=True)
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
        own = scope.locals - scope.declared_outer
        if not own:
            return set(scope.unresolvable)
        # The module's names are looked up, not copied: a module of many functions would
        # copy them once per function.
        outer: set[str] = set()
        s = scope
        while s is not None and s.kind != "module":
            if s.kind == "function":
                outer |= set(s.imports) | s.unresolvable
                if s is not scope:
                    outer |= s.locals  # a closure's own names hide the outer function's
            s = s.parent
        return {n for n in own if n in module_names or n in outer} | scope.unresolvable

    def _summary(self) -> dict:
        """What the whole-tree pass needs to know about this module (plain JSON data)."""
        module = self.scopes[0]
        names = {}
        module_types = None  # the module's receiver types, worked out when first needed
        for name, count in module.binds.items():
            if name in module.unresolvable:
                continue
            imported = module.imports.get(name)
            deleted = module.deletes.get(name, 0)
            if deleted and count - deleted == module.def_binds.get(name) and name in module.members:
                # `def f` ... `del f`: what the module's own code meant by f before the del;
                # nothing for importers, whom the name is gone for.
                names[name] = ["deleted", module.members[name]]
            elif count > 1 and module.def_binds.get(name) == count and name in module.members:
                names[name] = ["def", module.members[name]]  # alternative definitions: one node
            elif count > 1 and module.package_imports.get(name) == count:
                names[name] = ["import", imported]  # `import a.b` and `import a.c` bind the same a
            elif count > 1 and module.import_binds.get(name) == count and imported and len(imported) == 1:
                # The same import again (a demo under `if __name__ == "__main__":` repeats the
                # module's own): one meaning.
                names[name] = ["import", imported]
            elif count > 1:
                names[name] = ["ambiguous", imported] if imported else ["ambiguous"]
            elif imported:
                names[name] = ["import", imported]
            elif name in module.members:
                names[name] = ["def", module.members[name]]
            elif isinstance(module.alias(name), str) and not module.alias(name).endswith("()"):
                names[name] = ["alias", module.alias(name)]
            else:
                if module_types is None:
                    module_types = module.receivers.raw(self._type_entry)
                typed = module_types.get(name)
                names[name] = ["var", typed] if typed and typed[2] else ["var"]
        classes = {}
        for scope in self.scopes:
            if scope.kind != "class":
                continue
            own = scope.receivers.raw(self._type_entry)
            classes[scope.qual] = {
                "bases": json.loads(scope.record["extra_json"])["base_classes"],
                "members": scope.members,
                # Names the class body binds other than by def/class (they may hide a base's).
                "bound": sorted(n for n, count in scope.binds.items() if count != scope.def_binds.get(n, 0)),
                "attrs": {n: v for n in scope.binds if n not in scope.members
                          for v in [scope.alias(n)] if isinstance(v, str)},
                "self": {k: v for k, v in own.items() if v is not None and v[2] and k.count(".") == 1},
                # Attributes its methods assign on the instance or class (they hide a method).
                "rebound": sorted({k.partition(".")[2] for k in scope.receivers.seen
                                   if k.count(".") == 1 and k.startswith(("self.", "cls."))}),
                "stubs": sorted(n for n in scope.stubs if scope.def_binds.get(n) == scope.binds.get(n) == 1),
                "properties": sorted(scope.properties),
            }
        scopes = {s.qual: s for s in self.scopes}
        returned = {}
        for fn in self.scopes:
            if fn.kind != "function" or fn.parent.kind == "function":
                continue
            values = set(fn.returned)
            value = values.pop() if len(values) == 1 else None
            if value is not None and (value.partition(".")[0] not in fn.binds or value == fn.self_name):
                returned[fn.qual] = value
        returns, awaits, yields = ({q: t for q, t in stated.items() if self._stated_here(t, scopes[q])}
                                   for stated in (self.returns, self.awaits, self.yields))
        tuples = {}
        for q, stated in self.tuples.items():
            places = [t if t is not None and self._stated_here(t, scopes[q]) else None for t in stated]
            if any(t is not None for t in places):
                tuples[q] = places
        for fn in self.scopes:
            if fn.kind != "function" or fn.record.get("is_async"):
                continue
            if fn.generator:
                # Without an annotation, what every `yield` gives, read as the returns below
                # (a @contextmanager's `as` target, a loop over it).
                texts = self._result_texts(fn, fn.yielded) if fn.qual not in self.yields else None
                if texts:
                    yields[fn.qual] = texts.pop() if len(texts) == 1 else sorted(texts)
                continue
            # Without an annotation: a function whose every `return` gives the result of a call
            # of the same name (a class or a function), a local assigned only such results, or
            # self, returns what that gives (read in its body, so its own names count). A
            # `return None` adds nothing: calling a method on its result would fail.
            texts = self._result_texts(fn, zip(fn.made, fn.returned)) if fn.qual not in self.returns else None
            if texts:
                # Several names: the whole-tree pass types the result where all give one class.
                returns[fn.qual] = texts.pop() if len(texts) == 1 else sorted(texts)
            # The same for each place of a tuple of one length that every return gives.
            shapes = [p for p, made in zip(fn.returned_places, fn.made) if made is not _NONE]
            if fn.qual in self.tuples or not shapes or None in shapes or len({len(p) for p in shapes}) != 1:
                continue
            places = []
            for place in zip(*shapes):
                texts = self._result_texts(fn, place)
                places.append(texts.pop() if texts and len(texts) == 1 else None)
            if any(t is not None for t in places):
                tuples[fn.qual] = places
        return {
            "names": names,
            "star": [b["module"] for b in module.imports.get("*", [])],
            "star_before": [[b["module"], b["before"]] for b in module.imports.get("*", [])],
            "all": sorted(self.exported) if self.exported is not None else None,
            "classes": classes,
            "returns": returns,
            "awaits": awaits,
            "yields": yields,
            "tuples": tuples,
            "managers": [q for q in self.managers if q in yields],
            "imports": sorted(self.imported),
            "required": _required_modules(self.tree.body),
            "returned": returned,
        }

    def _stated_here(self, text: str, fn: _Scope) -> bool:
        """Can the whole-tree pass read a type fn's annotation states, among the module's names?"""
        return self._module_head(text, fn.parent) and not self._class_local(text, fn.parent)

    def _result_texts(self, fn: _Scope, given) -> set[str] | None:
        """How the summary names what each (callee, value) of given gives, as a `return` of fn
        gives it (a None aside); None when one of them cannot be told."""
        made = {self._returned_type(fn, callee, value) for callee, value in given}
        made.discard(_NONE)
        written = {self._written_result(fn, text) for text in made if text is not None}
        return written if written and None not in made and None not in written else None

    def _written_result(self, fn: _Scope, text: str) -> str | None:
        """How the summary names what a call of text gives, seen from fn's body: text itself
        where the whole-tree pass can read it among the module's names, SELF for the
        receiver, SELF.<name> for `return self.make()`, `return self.response_class()`,
        `return cls.parse()` (what that call gives on the receiver)."""
        if text == tree_pass.SELF or text.startswith(tree_pass.HELD) \
                or (self._module_head(text, fn) and not self._class_local(text, fn.parent)):
            return text
        if fn.class_scope is not None and (fn.self_name == "self" or fn.binds_class) \
                and text.count(".") == 1 and text.startswith(fn.self_name + "."):
            return tree_pass.SELF + text[len(fn.self_name):]
        return None

    @staticmethod
    def _returned_type(fn: _Scope, callee: str | None, value: str | None) -> str | None:
        """The name whose call gives what one `return` of fn returns (SELF for self)."""
        if callee is not None or value is None:
            return callee
        if value == fn.self_name == "self" or (value in fn.own_made and fn.binds.get(value) == 1):
            return tree_pass.SELF
        if fn.self_name == "self" and value.startswith("self.") and value.count(".") == 1:
            return tree_pass.HELD + value[5:]  # `return self._loop`: what the instance holds there
        entry = fn.receivers.single(value) if "." not in value and fn.binds.get(value) else None
        return entry[0] if entry is not None and entry[1] in ("type", "call") else None

    @staticmethod
    def _class_local(text: str, scope: _Scope) -> bool:
        return scope.kind == "class" and text.partition(".")[0] in scope.binds and text != scope.record["name"]


def _yielded(node: ast.Yield | ast.YieldFrom) -> tuple:
    """(callee, value) of what a yield gives, as a return's are kept: (_NONE, None) for None,
    (None, None) for what another generator yields (`yield from`)."""
    value = node.value
    if type(node) is ast.YieldFrom:
        return None, None
    if value is None or (type(value) is _Constant and value.value is None):
        return _NONE, None
    return dotted_name(value.func) if type(value) is _Call else None, dotted_name(value)


def _first_line(node: ast.FunctionDef | ast.AsyncFunctionDef | ast.ClassDef) -> int:
    """A definition's lines start at its first decorator."""
    return min([node.lineno, *(d.lineno for d in node.decorator_list)])


def _site(call: ast.Call) -> tuple:
    """(callee, positional arguments, keyword arguments) of `f(...)`, each argument as a
    dotted name or None; positional is None when `*args`/`**kw` hide which is which."""
    if any(isinstance(a, ast.Starred) for a in call.args) or any(k.arg is None for k in call.keywords):
        return call.func.id, None, {}
    return (call.func.id, [_site_value(a) for a in call.args],
            {k.arg: _site_value(k.value) for k in call.keywords})


# The field naming what a node binds, for the nodes that bind one name.
_BINDING_FIELD = {ast.arg: "arg", ast.FunctionDef: "name", ast.AsyncFunctionDef: "name", ast.ClassDef: "name",
                  ast.ExceptHandler: "name", ast.MatchAs: "name", ast.MatchStar: "name", ast.MatchMapping: "rest"}


def _rename_parameter(fn: ast.FunctionDef | ast.AsyncFunctionDef, param: ast.arg, new: str) -> None:
    """Renames a function's parameter in its body, when that body, nested scopes included,
    never names `new` and never binds the parameter's name anew (so every read of it is the
    parameter). The signature text was taken before."""
    old, reads = param.arg, []
    for node in (n for stmt in fn.body for n in ast.walk(stmt)):
        t = type(node)
        if t is ast.Name:
            if node.id == new or (node.id == old and type(node.ctx) is not ast.Load):
                return
            if node.id == old:
                reads.append(node)
        elif t in _BINDING_FIELD:
            if getattr(node, _BINDING_FIELD[t]) in (old, new):
                return
        elif t in (ast.Global, ast.Nonlocal):
            if old in node.names or new in node.names:
                return
        elif t is ast.alias:
            if (node.asname or node.name.partition(".")[0]) in (old, new):
                return
    for node in reads:
        node.id = new
    param.arg = new


def _operand(node: ast.AST) -> str | None:
    """The receiver an operator or builtin runs a special method of: a name or an attribute
    chain (`self.items`), as its dotted text."""
    t = type(node)
    return node.id if t is _Name else dotted_name(node) if t is ast.Attribute else None


def _site_value(arg: ast.AST):
    """An argument as _alias_value gives it, or the lambda itself (it is named once visited)."""
    return arg if isinstance(arg, ast.Lambda) else _alias_value(arg)


def _is_lambda(value: str) -> bool:
    return "<lambda" in value  # no other name holds a "<"


def _all_args(args: ast.arguments) -> list[ast.arg]:
    return [a for a in [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg] if a is not None]


def _is_generator_annotation(text: str) -> bool:
    """Return annotations that name what a generator yields through, not a class it returns."""
    return text.rsplit(".", 1)[-1] in ("Iterator", "Generator", "Iterable", "AsyncIterator", "AsyncGenerator")


_TABLE = "<table>"
_ANY_KEY = {"any key": True}  # the key of `table[k]()` with k no constant (a dict is no constant key)
_NONE = "<None>"


def _table_call(table: str, key) -> str | None:
    try:
        return _TABLE + json.dumps([table, key])
    except TypeError:
        return None  # a key JSON cannot carry (bytes, ...)


def _literal_table(value: ast.AST | None) -> tuple | None:
    """((key, dotted name or None), ...) of a literal dict with constant keys, or of a list or
    tuple (keys are the indexes)."""
    if isinstance(value, ast.Dict):
        if not all(isinstance(k, ast.Constant) for k in value.keys):
            return None
        pairs = [(k.value, v) for k, v in zip(value.keys, value.values)]
    elif isinstance(value, (ast.List, ast.Tuple)):
        if any(isinstance(e, ast.Starred) for e in value.elts):
            return None
        pairs = list(enumerate(value.elts))
    else:
        return None
    keys = [k for k, _ in pairs]
    if len(set(map(repr, keys))) != len(keys):
        return None  # a repeated key: the last one wins, keep it simple
    return tuple((k, _table_value(v)) for k, v in pairs)


def _table_value(value: ast.AST | None):
    """A table entry as _alias_value gives it; _NONE for a literal None."""
    if isinstance(value, ast.Constant) and value.value is None:
        return _NONE
    return _alias_value(value)


def _alias_value(value: ast.AST | None) -> str | None:
    """The dotted name a plain assignment binds to (`a = func`, `x = mod.func`), "f()" for
    the result of calling a plain name, "super.m" for `super().m` (the bound method)."""
    if isinstance(value, ast.Call) and isinstance(value.func, ast.Name):
        return value.func.id + "()"
    if value is None or not isinstance(value, (ast.Name, ast.Attribute)):
        return None
    return dotted_name(value) or (call_name(value) if isinstance(value, ast.Attribute) else None)


def _is_property(decorator: ast.expr, name: str) -> bool:
    """`@property`, `@cached_property`, and `@name.setter` (or getter, deleter) of one."""
    text = dotted_name(decorator)
    return text in _PROPERTIES or text in (f"{name}.setter", f"{name}.getter", f"{name}.deleter")


def _is_staticmethod(node: ast.FunctionDef | ast.AsyncFunctionDef) -> bool:
    return any(dotted_name(d) in ("staticmethod", "builtins.staticmethod") for d in node.decorator_list)


def _literal_all(tree: ast.Module) -> set[str] | None:
    """Names of a literal module-level __all__, or None when there is none."""
    for stmt in tree.body:
        if isinstance(stmt, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in stmt.targets):
            if isinstance(stmt.value, (ast.List, ast.Tuple)):
                return {e.value for e in stmt.value.elts if isinstance(e, ast.Constant) and isinstance(e.value, str)}
    return None


def _is_stub(node: ast.FunctionDef | ast.AsyncFunctionDef, has_doc: bool, protocol: bool) -> bool:
    """A method that instances never run: one that always raises NotImplementedError (straight
    code ending in `raise NotImplementedError`), an abstract method (a class that leaves one
    not overridden cannot be instantiated; its body runs only through super() or the class
    named), or a protocol's method with nothing in its body. Python runs a subclass's override
    (or the method of a class that matches the protocol) instead."""
    body = node.body[1:] if has_doc else node.body
    if body and isinstance(body[-1], ast.Raise) and all(isinstance(s, (ast.Assign, ast.AnnAssign, ast.Expr))
                                                        for s in body[:-1]):
        exc = body[-1].exc
        if isinstance(exc, ast.Call):
            exc = exc.func
        if isinstance(exc, ast.Name) and exc.id == "NotImplementedError":
            return True
    if any((dotted_name(d) or "").rpartition(".")[2] == "abstractmethod" for d in node.decorator_list):
        return True
    return protocol and all(isinstance(s, ast.Pass) or (isinstance(s, ast.Expr) and isinstance(s.value, ast.Constant)
                                                        and s.value.value is Ellipsis) for s in body)


def _required_modules(body: list[ast.stmt]) -> list[str]:
    """The top-level packages the module's own body imports unconditionally (absolute imports
    only): the module fails to import wherever one of them is missing."""
    names = set()
    for stmt in body:
        if isinstance(stmt, ast.Import):
            names.update(a.name.partition(".")[0] for a in stmt.names)
        elif isinstance(stmt, ast.ImportFrom) and not stmt.level and stmt.module and stmt.module != "__future__":
            names.add(stmt.module.partition(".")[0])
    return sorted(names)


def file_node(path: str) -> dict:
    return {"node_id": ids.file_id(path), "node_type": "File", "name": path.rsplit("/", 1)[-1], "file_path": path}


def extract_source(path: str, source: bytes | str, *, linked: bool = True) -> FileExtract:
    """Records for one file: its File node, module node, module code, classes and functions.

    A file that does not parse yields only its File node and the parse error."""
    try:
        try:
            tree = ast.parse(source, filename=path)
        except MemoryError as exc:
            # What the parser raises for source too deeply nested to parse ("too complex").
            raise RecursionError(str(exc) or "source too complex to parse") from None
        result = _FileVisitor(path, tree).run()
    except (SyntaxError, ValueError, RecursionError) as exc:
        # ValueError: NUL bytes in the source; RecursionError: absurdly deep nesting.
        result = FileExtract(path, error=f"{type(exc).__name__}: {exc}")
    result.nodes.insert(0, file_node(path))
    if linked:
        # Complete on its own; the whole-tree pass links it again against the other modules.
        # With linked=False the module node waits for that pass to get its scope data.
        tree_pass.link(result, tree_pass.TreeFacts({path: result.summary}))
    return result
