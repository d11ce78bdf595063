"""The whole-tree pass: what one module means can depend on others.

Extraction (python_file.py) sees one file. Before records are written, this pass reads the
summaries of every module of the tree and rewrites each module node's scope data so that the
engine's rules reach the definitions Python would reach:

- a name imported from a module that only re-exports it (`from .impl import f` in a package's
  `__init__.py`, chains of them, aliases `f = impl.f`, star imports) is bound to the module that
  defines it;
- `from m import *` becomes one binding per name m exports (its `__all__`, else its public
  names), except names the importing module binds itself;
- a dotted call through module attributes (`os.path.join`, `pkg.sub.f`) gets a binding whose
  qualifier covers exactly that path, pointing at the defining module;
- receiver types are read where the code states them: a call's result takes the class, or the
  class named by the called function's return annotation (or instantiated by its every
  `return`; for `return self` or `return self.__class__(...)`, the receiver's class); a class
  inherits the `self.x` types its bases record. A type defined in another
  module is written as `<module/path>.Qual`, with a module binding of the same bracketed name at
  module level (no Python name has brackets, so it never meets a real one);
- a call names the method Python runs where the engine's walk would not find it: a method
  inherited through a class name (`Base.m` via `Cls.m`), a class-body alias (`pack =
  pack_configure`), a method of a module-level instance (`mod.info` after `info = _log.info`),
  a method reached along the method resolution order rather than depth-first, a method that
  every class a receiver is assigned takes from one definition; and `self.m()` gets no edge
  where a class along the way also assigns `self.m`, nor does a call on an instance that
  reaches a method no instance runs (one that always raises NotImplementedError, an empty
  abstract or protocol method): an override runs there;
- what Python fills per platform (`os.path`) means nothing to a module that cannot import on
  this one (it imports, unconditionally, a standard module this interpreter lacks);
- the special methods `for`/`with` run stay call names only where a class of the tree defines
  them, and a name imported from a module outside the tree or else from one inside it (an
  accelerator and its pure-Python fallback) gets no edge.

Nothing is guessed: a name with no single meaning keeps its binding as written, or none.
Every part of a module summary read for a file is one of its dependencies (a name's entry, a
class's entry, a whole section such as the names a star import takes; also paths probed and
not found), so an incremental run links again exactly the files that read something that
changed: a module that gains a function is not a reason to link its importers again.
"""

from __future__ import annotations

import builtins
import functools
import importlib.machinery
import json
import os
import sys

from . import ids

# The methods instantiating a class runs, when it or a base class defines them.
CONSTRUCTORS = ("__init__", "__new__", "__post_init__")

# Module attributes that Python fills per platform, by the modules' own dotted names.
PLATFORM_MODULES = {"os.path": os.path.__name__}

_MAX_DEPTH = 12  # longest chain of re-exports followed
# Where a summary keeps the class a call of a function gives: its result, or what awaiting it gives.
_RESULTS = {"call": "returns", "await": "awaits", "yield": "yields"}
# The kind of a name bound by unpacking a call's result: PLACE + the index of its place.
PLACE = "call#"
# A method's result that is the instance it was called on: of the receiver's class, which
# may be a subclass of the method's own.
SELF = "<self>"
# A method's result that is what the instance holds in an attribute: HELD + its name.
HELD = SELF + ":"
# Bases from outside the tree (by module and name) whose instances hold only these public names
# (a NamedTuple's fields are its own class's): an attribute or method of another name is the
# subclass's own, or one of its bases' of the tree.
_PLAIN_BASES = {("typing", "Generic"): (), ("typing", "Protocol"): (), ("typing_extensions", "Protocol"): (),
                ("typing", "NamedTuple"): ("count", "index"), ("typing_extensions", "NamedTuple"): ("count", "index"),
                ("abc", "ABC"): ()}
# The folder that holds a tree's packages in the "src layout", when it is no package itself.
SRC_ROOT = "src/"
# A dependency on the set of modules that import a module: IMPORTERS + its normalized path.
IMPORTERS = "imported:"
# Joins a path, a summary section and a key in a dependency (no indexed path holds it).
DEP = ":"
# A dependency on the classes of the tree whose bases name a class of this name, however
# they reach it: SUBCLASSES + DEP + name (see TreeFacts.subclasses and summary_changes).
SUBCLASSES = "<subclasses>"


class TreeFacts:
    def __init__(self, summaries: dict[str, dict]):
        self.summaries = summaries  # file path -> summary
        self.deps: set = set()  # paths, (path, section) and (path, section, key): see part()
        # Dependency sets of remembered answers that the current question reused, by id: joined
        # once, where an answer is stored or a file's dependencies are taken (see all_deps).
        self._reused: dict[int, set] = {}
        self._importers: dict[str, set[str]] | None = None
        # Answers already worked out: (question, its arguments) -> (answer, the paths it read),
        # apart for modules that run on this platform and for those that do not.
        self._known_for: dict[bool, dict[tuple, tuple]] = {False: {}, True: {}}
        self._known = self._known_for[False]
        # True while linking a module that cannot be imported on this platform: what Python
        # fills per platform (os.path) means nothing there.
        self.foreign = False
        self._property_names: set[str] | None = None
        self._named_bases: dict[str, list[tuple[str, str]]] | None = None
        self._following: set = set()  # functions whose stated result is being followed
        self._cuts = 0  # results not followed because their function was being followed

    def property_names(self) -> set[str]:
        """Every name some class of the tree makes a property. Only a filter: a read of any
        other attribute runs no property wherever the classes are, so this answer is no
        dependency of the file that asks."""
        if self._property_names is None:
            self._property_names = {name for summary in self.summaries.values()
                                    for entry in summary["classes"].values() for name in entry.get("properties", ())}
        return self._property_names

    def set_foreign(self, foreign: bool) -> None:
        self.foreign = foreign
        self._known = self._known_for[foreign]

    def _remembered(self, key: tuple, work, *args):
        """work(*args), asked once per key: the summaries do not change while the pass runs, so
        neither does the answer; a file that asks again depends on the same paths."""
        known = self._known.get(key)
        if known is not None:
            self._reused[id(known[1])] = known[1]
            return known[0]
        outer, outer_reused = self.deps, self._reused
        self.deps, self._reused = set(), {}
        cuts = self._cuts
        try:
            result = work(*args)
        finally:
            found = self.all_deps()
            self.deps, self._reused = outer, outer_reused
            outer_reused[id(found)] = found
        if cuts == self._cuts:  # an answer cut short by a recursion depends on where it started
            self._known[key] = result, found
        return result

    def start_deps(self) -> None:
        self.deps, self._reused = set(), {}

    def all_deps(self) -> set:
        """Everything the current question read, its reused answers' reads included."""
        for part in self._reused.values():
            self.deps |= part
        self._reused = {}
        return self.deps

    # ---- modules --------------------------------------------------------------------

    # A dependency names the part of a summary an answer read (see summary_changes): the
    # path alone for whether the module exists, (path, section) for a whole section, and
    # (path, section, key) for one entry of a section that maps names; the manifest keeps
    # them joined by DEP. A file that only read `join` of posixpath.py is not linked again
    # when posixpath.py gains a function.

    def summary(self, path: str) -> dict | None:
        """The summary, for what only the module's existence decides."""
        self.deps.add(path)
        return self.summaries.get(path)

    def part(self, path: str, section: str):
        """A whole section of the module's summary (None without the module)."""
        s = self.summaries.get(path)
        if s is None:
            self.deps.add(path)
            return None
        self.deps.add((path, section))
        return s[section]

    def entry(self, path: str, section: str, key: str):
        """One entry of a section that maps names (None without the module or the entry)."""
        s = self.summaries.get(path)
        if s is None:
            self.deps.add(path)
            return None
        self.deps.add((path, section, key))
        return s[section].get(key)

    def module_file(self, module: str) -> str | None:
        if not module:
            return None
        # A top-level src folder that is no package holds importable packages ("src layout":
        # src/pkg/mod.py is pkg.mod); the tree's top level comes first.
        src = SRC_ROOT + "__init__.py"
        self.deps.add(src)
        roots = ("", SRC_ROOT) if src not in self.summaries else ("",)
        for root in roots:
            for candidate in (root + module + ".py", root + module + "/__init__.py"):
                self.deps.add(candidate)  # a file that appears later changes the answer
                if candidate in self.summaries:
                    return candidate
        platform = self.platform_module(module.replace("/", "."))  # `from os.path import join`
        return self.module_file(platform.replace(".", "/")) if platform else None

    def platform_module(self, dotted: str) -> str | None:
        return None if self.foreign else PLATFORM_MODULES.get(dotted)

    def runs_here(self, summary: dict) -> bool:
        """Can the module import on this platform? Not if its body imports, unconditionally,
        a standard library module that this interpreter lacks and the tree does not hold
        (`import winreg`, `import _winapi` elsewhere than on Windows)."""
        return not any(_missing_here(name) and self.module_file(name) is None
                       for name in summary.get("required", ()))

    def imported_elsewhere(self, path: str) -> bool:
        """Does another module of the tree import the module in path?"""
        if self._importers is None:
            self._importers = {}
            for p, s in self.summaries.items():
                for module in s.get("imports", ()):
                    self._importers.setdefault(module, set()).add(p)
        keys = [normalized_module(path)]
        if path.startswith(SRC_ROOT):
            keys.append(keys[0][len(SRC_ROOT):])  # imported as a package of the src folder
        importers = set()
        for key in keys:
            self.deps.add(IMPORTERS + key)
            importers |= self._importers.get(key, set())
        return bool(importers - {path})

    def exported(self, path: str, seen: set | None = None) -> set[str]:
        seen = set() if seen is None else seen
        listed = self.part(path, "all")
        if path not in self.summaries or path in seen:
            return set()
        seen.add(path)
        if listed is not None:
            return set(listed)
        # Without a literal __all__: the public names, less imported modules (a computed
        # __all__ usually leaves those out, and a module rarely exports another).
        names = {n for n, entry in self.part(path, "names").items() if not n.startswith("_")
                 and not (entry[0] == "import" and entry[1][0].get("kind") == "module")}
        for module in self.part(path, "star"):
            f = self.module_file(module)
            if f is not None:
                names |= self.exported(f, seen)
        return names

    # ---- what a name means ------------------------------------------------------------
    # A target is ("module", path), ("def", path, qualified name, "function" | "class") or
    # ("var", path, name, receiver type entry) for a module-level variable of a known type.

    def replaced(self, path: str, name: str) -> bool:
        """Has the module's top-level name no single meaning for its importers: bound twice
        (`try: from _accel import partial` after `class partial`), or a public definition
        that a later star import of a module outside the tree (`from _accel import *`) may
        replace?"""
        entry = self.entry(path, "names", name)
        if entry is None:
            return False
        if entry[0] == "ambiguous":
            return self.platform_module(f"{ids.module_name(path)}.{name}") is None
        if name.startswith("_") or entry[0] != "def":
            return False  # a star import brings public names: pure-Python stand-ins of its own
        return any(name in before and self.module_file(m) is None for m, before in self.part(path, "star_before"))

    def replaced_path(self, bucket: list[dict], parts: list[str]) -> bool:
        """Does a dotted call through module bindings reach a name such a star import may replace?"""
        for b in bucket:
            if b.get("kind") != "module":
                continue
            q = b.get("qualifier", parts[0]).split(".")
            if len(parts) <= len(q) or parts[1:len(q)] != q[1:]:
                continue
            f = self.module_file(b["module"])
            target = ("module", f) if f else None
            for part in parts[len(q):]:
                if target is None or target[0] != "module":
                    break
                if self.replaced(target[1], part):
                    return True
                target = self.member(target, part)
        return False

    def attr(self, path: str, name: str, depth: int = 0):
        """What `name` means at the top level of the module in path."""
        return self._remembered(("attr", path, name, depth), self._attr, path, name, depth)

    def _attr(self, path: str, name: str, depth: int):
        if self.summary(path) is None or depth > _MAX_DEPTH or self.replaced(path, name):
            return None
        entry = self.entry(path, "names", name)
        if entry is None:
            found = set()
            for module in self.part(path, "star"):
                f = self.module_file(module)
                if f is not None and name in self.exported(f):
                    found.add(self.attr(f, name, depth + 1))
            if found:
                return found.pop() if len(found) == 1 else None
            if path.endswith("__init__.py"):
                sub = self.module_file(ids.parent_dir(path) + "/" + name if "/" in path else name)
                return ("module", sub) if sub else None
            return None
        kind = entry[0]
        if kind == "def" or (kind == "deleted" and depth == 0):  # depth 0: read in the module itself
            return "def", path, name, entry[1]
        if kind == "alias":
            return self.dotted(path, entry[1].split("."), depth + 1)
        if kind == "var" and len(entry) > 1:
            return "var", path, name, tuple(entry[1])
        if kind == "import":
            return self.follow(name, entry[1], depth + 1)
        if kind == "ambiguous" and len(entry) > 1:
            chosen = self.platform_module(f"{ids.module_name(path)}.{name}")
            picked = [b for b in entry[1] if chosen and b.get("kind") == "module" and b["module"] == chosen]
            if picked:
                return self.follow(name, picked, depth + 1)
        return None

    def follow(self, local: str, bindings: list[dict], depth: int = 0):
        """What a name bound by these import bindings (of one statement) means."""
        module_bindings = [b for b in bindings if b.get("kind") == "module"]
        if module_bindings:
            # `import a.b.c` binds `a` to the package a.
            own = [b for b in module_bindings if b.get("qualifier", local) == local]
            if len(own) != 1:
                return None
            f = self.module_file(own[0]["module"])
            return ("module", f) if f else None
        if len(bindings) != 1 or "symbol" not in bindings[0]:
            return None
        return self.from_import(bindings[0]["module"], bindings[0]["symbol"], depth)

    def from_import(self, module: str, symbol: str, depth: int = 0):
        f = self.module_file(module)
        target = self.attr(f, symbol, depth) if f else None
        if target is None:
            sub = self.module_file(f"{module}/{symbol}" if module else symbol)
            target = ("module", sub) if sub else None
        return target

    def dotted(self, path: str, parts: list[str], depth: int = 0):
        target = self.attr(path, parts[0], depth)
        for part in parts[1:]:
            target = self.member(target, part, depth)
        return target

    def member(self, target, name: str, depth: int = 0):
        if target is None:
            return None
        if target[0] == "module":
            return self.attr(target[1], name, depth + 1)
        if target[0] == "var":
            # A method of a module-level instance (`info = _log.info`, `mod.environ.get`),
            # unless the instance may hold an attribute of that name itself.
            cls = self.class_of(target[1], target[3][0], target[3][1])
            if cls is None or self.rebound(cls, name):
                return None
            return self.python_definer(cls, name)
        _, path, qual, kind = target
        if kind != "class":
            return None
        cls = self.entry(path, "classes", qual)
        if cls is None:
            return None
        if name in cls["members"]:
            return "def", path, f"{qual}.{name}", cls["members"][name]
        if name in cls["attrs"]:
            return self.dotted(path, cls["attrs"][name].split("."), depth + 1)
        return None

    def class_of(self, path: str, text: str, kind: str, depth: int = 0):
        """The class a receiver type entry denotes, read in the module in path."""
        if kind == "enter":
            # A @contextmanager generator gives what it yields; any other function, its
            # result's __enter__ (below).
            target = self.dotted(path, text.split("."))
            if target is not None and target[0] == "def" and target[3] == "function" \
                    and target[2] in self.part(target[1], "managers"):
                return self.entered_class(target)
        if kind in ("enter", "aenter"):
            return self.entered_instance(self.class_of(path, text, "call"), kind)
        *prefix, last = text.split(".")
        owner = self.dotted(path, prefix) if prefix else None
        if kind == "call" and owner is not None and owner[0] == "def" and owner[3] == "class":
            # `Cls.make()`: a class method returning cls() gives an instance of Cls, also where
            # Cls inherits it.
            method = self.python_definer(owner, last)
            if method is not None:
                return _call_result(self, owner, method, depth)
        target = self.member(owner, last) if prefix else self.attr(path, last)
        if target is None or target[0] != "def":
            return None
        place = _place(kind)
        if target[3] == "class":
            return None if place is not None else self.items_class(target) if kind == "yield" else target
        if place is not None:
            return self.place_class(target, place, None, depth)
        return self.result_class(target, kind, depth) if kind in _RESULTS else None

    def place_class(self, function, place: int, cls, depth: int = 0):
        """The class in one place of the tuple a call of function returns, as the summary
        states it (annotated, or given by every return)."""
        places = self.entry(function[1], "tuples", function[2])
        if not isinstance(places, list) or place >= len(places):
            return None
        return self.stated_class(function, places[place], cls, depth)

    def result_class(self, function, kind: str, depth: int = 0):
        """The class a call of function gives as kind says: its result, what awaiting it gives,
        or the items a loop over its result binds (stated as such, or those of the class of
        the result). A function said to return what another's call gives is followed."""
        stated = self.entry(function[1], _RESULTS[kind], function[2])
        if stated is None and kind == "yield":
            result = self.result_class(function, "call", depth)
            return self.items_class(result) if result is not None else None
        return self.stated_class(function, stated, None, depth)

    def stated_class(self, function, stated, cls, depth: int):
        """The class that what the summary states of function's result gives: a class, the
        result of a call of the name stated (read in function's module), SELF (cls, the
        instance a method was called on, when known), what `self.<name>()` gives on cls, the
        class cls's instances hold in an attribute (HELD); a list of these when they all give
        the same class. A function whose result is worked
        out from its own (recursion) gives nothing known."""
        if isinstance(stated, list):
            found = {self.stated_class(function, text, cls, depth) for text in stated}
            return found.pop() if len(found) == 1 else None
        if not stated or depth >= _MAX_DEPTH or (stated.startswith(SELF) and cls is None):
            return None
        if stated == SELF:
            return cls
        if function in self._following:
            self._cuts += 1
            return None
        self._following.add(function)
        try:
            if stated.startswith(HELD):
                return self.attribute_class(cls, stated[len(HELD):])
            if not stated.startswith(SELF + "."):
                return self.class_of(function[1], stated, "call", depth + 1)
            # What `self.<name>()` gives: a method's result, or an instance of the class a
            # class attribute holds.
            name = stated[len(SELF) + 1:]
            if self.rebound(cls, name):
                return None
            inner = self.python_definer(cls, name)
            return self.held_class(cls, name) if inner is None else _call_result(self, cls, inner, depth + 1)
        finally:
            self._following.discard(function)

    def bases(self, cls) -> list:
        """The classes of the tree among cls's bases (a list its callers only read)."""
        return self._remembered(("bases", cls), self._bases, cls)

    def bases_known(self, cls, entry: dict, name: str) -> bool:
        """Are all of cls's bases classes of the tree, or outside classes known not to bind
        name (a builtin class, typing's Generic, Protocol or NamedTuple, abc's ABC)? Else a
        base we cannot read may bind it."""
        if len(self.bases(cls)) == sum(b != "object" for b in entry["bases"]):
            return True
        if name.startswith("__"):
            return False  # any class may define a special method
        for text in entry["bases"]:
            if text == "object":
                continue
            target = self.dotted(cls[1], text.split("."))
            if target is not None and target[0] == "def" and target[3] == "class":
                continue
            if not self._plain_base(cls[1], text, name):
                return False
        return True

    def _plain_base(self, path: str, text: str, name: str) -> bool:
        head, _, rest = text.partition(".")
        entry = self.entry(path, "names", head)
        if entry is None:
            # Unbound in the module and brought by no star import: a builtin class.
            kind = getattr(builtins, head, None)
            return (not rest and isinstance(kind, type) and not self.part(path, "star")
                    and not hasattr(kind, name) and not hasattr(kind, "__getattr__"))
        if entry[0] != "import" or len(entry[1]) != 1:
            return False
        binding = entry[1][0]
        if "symbol" in binding:
            key = (binding["module"], binding["symbol"]) if not rest else None
        else:
            key = (binding["module"], rest) if binding.get("qualifier", head) == head and "." not in rest else None
        return key in _PLAIN_BASES and name not in _PLAIN_BASES[key]

    def _bases(self, cls) -> list:
        path, qual = cls[1], cls[2]
        entry = self.entry(path, "classes", qual)
        if entry is None:
            return []
        found = [self.dotted(path, b.split(".")) for b in entry["bases"]]
        return [b for b in found if b is not None and b[0] == "def" and b[3] == "class"]

    def linearization(self, cls, depth: int = 0) -> list | None:
        """The class's method resolution order over the classes of the tree (C3)."""
        return self._remembered(("mro", cls[1:3]), self._linearization, cls, depth)

    def _linearization(self, cls, depth: int) -> list | None:
        bases = self.bases(cls) if depth < _MAX_DEPTH else None
        if bases is None:
            return None
        seqs = [self.linearization(b, depth + 1) for b in bases]
        if any(s is None for s in seqs):
            return None
        if len(bases) == 1:
            return [cls, *seqs[0]]  # what the merge gives for one base, without its quadratic steps
        return _c3_merge([cls], [*seqs, bases])

    def depth_first(self, cls, seen: set) -> list:
        """Classes in the order the resolver walks them: the class, then each base's walk."""
        if cls[1:3] in seen or len(seen) > 64:
            return []
        seen.add(cls[1:3])
        order = [cls]
        for base in self.bases(cls):
            order += self.depth_first(base, seen)
        return order

    def definer(self, cls, method: str):
        """The class of the tree whose method Python runs for cls.method, if any."""
        order = self.linearization(cls) or [cls]
        return next((c for c in order if method in self.entry(c[1], "classes", c[2])["members"]), None)

    def mro_definer(self, cls, method: str):
        """The method Python runs, when the depth-first walk would find another."""
        order = self.linearization(cls)
        if order is None or len(order) < 3:
            return None
        python = next((c for c in order if method in self.entry(c[1], "classes", c[2])["members"]), None)
        walked = next((c for c in self.depth_first(cls, set())
                       if method in self.entry(c[1], "classes", c[2])["members"]), None)
        if python is None or python == walked:
            return None
        return "def", python[1], f"{python[2]}.{method}", "function"

    def defines(self, cls, method: str) -> bool:
        """Does cls or one of its bases in the tree bind method in its body (a def or an alias)?"""
        entries = (self.entry(c[1], "classes", c[2]) for c in self.depth_first(cls, set()))
        return any(method in e["members"] or method in e.get("bound", ()) for e in entries)

    def rebound(self, cls, method: str) -> bool:
        """Would `self.method()` find a method of cls or its bases that some class along the
        way also assigns on the instance? Then, once that assignment has run, the call
        reaches the value assigned instead: no single target."""
        order = self.depth_first(cls, set())
        entries = [self.entry(c[1], "classes", c[2]) for c in order]
        return (any(method in e["members"] for e in entries)
                and any(method in e.get("rebound", [method]) for e in entries))

    def subclasses(self, cls) -> list:
        """The classes of the tree that derive from cls, directly or not."""
        if self._named_bases is None:
            # Only a filter (classes whose bases name one of that name); which of them derive
            # from cls is read below, and the file that asks depends on the name.
            self._named_bases = {}
            for path, summary in self.summaries.items():
                for qual, entry in summary["classes"].items():
                    for base in entry["bases"]:
                        self._named_bases.setdefault(_base_name(base), []).append((path, qual))
        found, todo, seen = [], [cls], {cls[1:3]}
        while todo:
            c = todo.pop()
            name = c[2].rpartition(".")[2]
            self.deps.add(f"{SUBCLASSES}{DEP}{name}")
            for path, qual in self._named_bases.get(name, ()):
                sub = ("def", path, qual, "class")
                if sub[1:3] not in seen and any(b[1:3] == c[1:3] for b in self.bases(sub)):
                    seen.add(sub[1:3])
                    found.append(sub)
                    todo.append(sub)
        return found

    def subclass_definer(self, cls, method: str, stub=None):
        """`self.method()` (or `cls.method()`, or the method of a receiver of the class) where
        every class along cls's resolution order is of the tree and binds no method of that
        name (nor __getattr__), or where what it finds is stub, a method no instance runs
        (abstract, or raising NotImplementedError): the one def its subclasses of the tree run,
        when they all run the same; None otherwise."""
        return self._remembered(("below", cls[1:3], method, stub), self._subclass_definer, cls, method, stub)

    def _subclass_definer(self, cls, method: str, stub):
        if stub is None and not self._binds_nowhere(cls, method):
            return None
        found = set()
        for sub in self.subclasses(cls):
            if self.rebound(sub, method):
                return None  # assigned on the instance: what runs is the value
            if stub is None and self._binds_nowhere(sub, method):
                continue  # a class between, which never runs it
            target = self.python_definer(sub, method)
            if stub is not None and target == stub:
                continue  # a class between, which does not override it
            if target is None or self.stub(target):
                return None
            found.add(target)
        return found.pop() if len(found) == 1 else None

    def next_definer(self, cls, method: str):
        """`super().method()` in a method of cls: the method Python runs next along cls's
        method resolution order, where no class before it may bind the name otherwise (a
        class attribute, a base outside the tree); None otherwise, or for a stub."""
        found = self._binder(cls, method, after_own=True)
        if found is None:
            return None
        c, entry = found
        if entry["members"].get(method) != "function" or method in entry.get("bound", ()):
            return None
        target = "def", c[1], f"{c[2]}.{method}", "function"
        return None if self.stub(target) else target

    def _binds_nowhere(self, cls, method: str) -> bool:
        order = self.linearization(cls)
        if order is None:
            return False
        for c in order:
            entry = self.entry(c[1], "classes", c[2])
            if not self.bases_known(c, entry, method):
                return False  # a base outside the tree may bind it
            if any(n in entry["members"] or n in entry.get("bound", ()) for n in (method, "__getattr__", "__getattribute__")):
                return False
        return True

    def is_property(self, target) -> bool:
        """Is the method target (a def) a property of its class?"""
        cls, _, name = target[2].rpartition(".")
        entry = self.entry(target[1], "classes", cls) if cls else None
        return entry is not None and name in entry.get("properties", ())

    def stub(self, target) -> bool:
        """Is target a method that always raises NotImplementedError or an abstract one?
        Python then runs a subclass's override: a call that reaches it has no single target."""
        if target is None or target[0] != "def":
            return False
        cls, _, method = target[2].rpartition(".")
        entry = self.entry(target[1], "classes", cls)
        return entry is not None and method in entry.get("stubs", ())

    def entered_instance(self, cls, kind: str = "enter"):
        """`with X() as v`: v is the instance of cls when the __enter__ it runs returns self."""
        method = "__enter__" if kind == "enter" else "__aenter__"
        definer = self.definer(cls, method) if cls is not None else None
        if definer is None:
            return None
        returned = self.entry(definer[1], "returned", f"{definer[2]}.{method}")
        return cls if returned in ("self", "cls") else None

    def entered_class(self, function):
        """`with f() as v` where f is a generator made a context manager by a decorator: v is
        what it yields, as its return annotation states."""
        if function[2] not in self.part(function[1], "managers"):
            return None
        return self.result_class(function, "yield")

    def items_class(self, cls):
        """The class of the items a loop over an instance of cls binds: what the return
        annotation of the __iter__ it runs names."""
        definer = self.python_definer(cls, "__iter__")
        if definer is None or self.entry(definer[1], "yields", definer[2]) is None:
            return None
        return self.result_class(definer, "yield")

    def attribute_class(self, cls, attr: str):
        """The class of what instances of cls hold in attribute attr, as the classes along its
        linearization state it (`self.attr = C()`, an annotation, a property returning C): every
        class that binds attr must state the same class, and every base must be in the tree
        (one we cannot read may bind it too)."""
        return self._remembered(("attr", cls[1:3], attr), self._attribute_class, cls, attr)

    def _attribute_class(self, cls, attr: str):
        found = set()
        for c in self.linearization(cls) or ():
            entry = self.entry(c[1], "classes", c[2])
            if not self.bases_known(c, entry, attr):
                return None
            stated = entry["self"].get("self." + attr)
            if stated is not None:
                found.add(self.class_of(c[1], stated[0], stated[1]))
            elif attr in entry.get("properties", ()) and entry["members"].get(attr) == "function":
                # A property found here first runs its getter; what it returns on this instance.
                getter = "def", c[1], f"{c[2]}.{attr}", "function"
                return None if found else _call_result(self, cls, getter)
            elif (attr in entry["members"] or attr in entry.get("rebound", ()) or attr in entry.get("bound", ())
                  or attr in entry["attrs"]):
                return None  # bound to something this pass cannot type
        return found.pop() if len(found) == 1 and None not in found else None

    def _binder(self, cls, name: str, after_own: bool = False):
        """(class, its summary entry) of the first class in cls's method resolution order that
        binds name in its body (with after_own, the first after cls itself). Every class
        before it must have all its bases in the tree (a base we cannot read may bind the
        name), the one that binds it need not."""
        for i, c in enumerate(self.linearization(cls) or ()):
            entry = self.entry(c[1], "classes", c[2])
            if (i or not after_own) and (name in entry["members"] or name in entry.get("bound", [name])):
                return c, entry
            if not self.bases_known(c, entry, name):
                return None
        return None

    def python_definer(self, cls, method: str):
        """The method `Cls.method` is in Python, also through a class-body alias
        (`transient = wm_transient`) of a method of the same class; a name bound otherwise
        gives nothing."""
        found = self._binder(cls, method)
        if found is None:
            return None
        c, entry = found
        members, bound = entry["members"], entry.get("bound", [method])
        name = method if method in members else entry["attrs"].get(method)
        if name is not None and name not in members and name.partition(".")[0] not in bound:
            # `run = impl` with impl a function of the module: a method like one defined here.
            target = self.dotted(c[1], name.split("."))
            return target if target is not None and target[0] == "def" and target[3] == "function" \
                and "." not in target[2] else None
        if members.get(name) != "function" or name in bound:
            return None
        return "def", c[1], f"{c[2]}.{name}", "function"

    def held_class(self, cls, name: str):
        """The class that `name` found on cls holds, where Python finds a class there: a nested
        class, or a class-body alias of a class (`response_class = HTTPResponse`), so that
        `self.response_class()` makes an instance of it, unless a class along the way assigns
        the name on the instance."""
        if any(name in self.entry(c[1], "classes", c[2]).get("rebound", ()) for c in self.depth_first(cls, set())):
            return None
        found = self._binder(cls, name)
        if found is None:
            return None
        c, entry = found
        members = entry["members"]
        if name in entry.get("bound", [name]):
            text = None if name in members else entry["attrs"].get(name)
            target = self.dotted(c[1], text.split(".")) if text else None
        else:
            target = ("def", c[1], f"{c[2]}.{name}", "class") if members[name] == "class" else None
        return target if target is not None and target[0] == "def" and target[3] == "class" else None

    def inherited_self_types(self, path: str, qual: str, seen: set) -> dict:
        """self.x types that the bases of a class record, as (class path, qualified name)."""
        out: dict[str, object] = {}
        cls = self.entry(path, "classes", qual)
        if cls is None or len(seen) > _MAX_DEPTH:
            return out
        for base in cls["bases"]:
            target = self.dotted(path, base.split("."))
            if target is None or target[0] != "def" or target[3] != "class" or target[1:3] in seen:
                continue
            seen.add(target[1:3])
            base_cls = (self.entry(target[1], "classes", target[2]) or {})
            found = {k: self.class_of(target[1], v[0], v[1]) for k, v in base_cls.get("self", {}).items()}
            found.update((k, v) for k, v in self.inherited_self_types(target[1], target[2], seen).items()
                         if k not in found)
            for key, value in found.items():
                if value is None:
                    continue
                if key in out and out[key] != value:
                    out[key] = False  # two bases disagree
                else:
                    out.setdefault(key, value)
        return out


def _c3_merge(head: list, seqs: list[list]) -> list | None:
    out = list(head)
    seqs = [list(s) for s in seqs if s]
    while seqs:
        for seq in seqs:
            candidate = seq[0]
            if not any(candidate in s[1:] for s in seqs):
                break
        else:
            return None  # no consistent order: Python refuses the class
        out.append(candidate)
        seqs = [s[1:] if s[0] == candidate else s for s in seqs]
        seqs = [s for s in seqs if s]
    return out


def normalized_module(path: str) -> str:
    """"pkg/__init__.py" and "pkg.py" -> "pkg", "pkg/mod.py" -> "pkg/mod"."""
    stem = module_path(path)
    return stem[: -len("/__init__")] if stem.endswith("/__init__") else stem


def module_path(path: str) -> str:
    return path[:-3] if path.endswith(".py") else path


def type_key(path: str) -> str | None:
    """The bracketed binding name that stands for a module in receiver type texts."""
    key = "<" + module_path(path) + ">"
    return None if "." in key else key


@functools.lru_cache(maxsize=None)
def _missing_here(name: str) -> bool:
    """Is name a standard library module that this interpreter cannot import?"""
    if name not in getattr(sys, "stdlib_module_names", ()):
        return False  # also every dotted name: the set holds top-level names
    # The interpreter's own finders only: a hook of an installed package (setuptools answers
    # for distutils by importing its copy) neither knows better nor should run here.
    try:
        return not any(finder.find_spec(name) for finder in _OWN_FINDERS)
    except (ImportError, ValueError):
        return False


_OWN_FINDERS = (importlib.machinery.BuiltinImporter, importlib.machinery.FrozenImporter,
                importlib.machinery.PathFinder)


def link(ex, facts: TreeFacts) -> set[str]:
    """Writes the module node's scope data of one extract, read against the whole tree.
    Returns the paths consulted (the file's dependencies)."""
    facts.start_deps()
    raw = ex.scope_data
    if not raw:
        return set()
    facts.set_foreign(not facts.runs_here(ex.summary or {}))
    try:
        return _link(ex, facts, raw)
    finally:
        facts.set_foreign(False)


def _link(ex, facts: TreeFacts, raw: dict) -> set[str]:
    path = ex.path
    # Looked up once per call name and scope: sets, not the lists the record keeps.
    shadowed = {scope: set(names) for scope, names in raw["python_shadowed_names"].items()}
    bindings = {scope: {name: [dict(b) for b in (v if isinstance(v, list) else [v])]
                        for name, v in names.items()}
                for scope, names in raw["python_import_bindings"].items()}
    module_names = ex.summary["names"]
    for name, bucket in bindings.get("", {}).items():
        # The platform's module where the module picks one at import time (os.path in os).
        chosen = facts.platform_module(f"{ids.module_name(path)}.{name}")
        if chosen and any(b["module"] == chosen for b in bucket):
            bucket[:] = [b for b in bucket if b["module"] == chosen]

    # Star imports: a binding per exported name the module does not bind itself (a name two
    # of them export gets both bindings, so it resolves only if both mean the same).
    clashes: set[str] = set()
    for scope, names in bindings.items():
        starred: dict[str, list] = {}
        for star in names.pop("*", []):
            f = facts.module_file(star["module"])
            if f is None:
                clashes.update(n for n in star.get("before", ()) if facts.replaced(path, n))
                continue
            before = set(star.get("before", ()))
            for name in sorted(facts.exported(f)):
                if name in before:
                    clashes.add(name)  # bound before the star import, maybe replaced by it
                elif name in module_names:
                    continue  # bound after it: the module's own binding wins
                elif name not in names:
                    starred.setdefault(name, []).append({"module": star["module"], "symbol": name, "kind": "symbol"})
        names.update(starred)

    # Symbol bindings point at the module that defines the symbol; an imported variable
    # brings its type.
    imported_types: dict[str, dict] = {}
    for scope, names in bindings.items():
        for name, bucket in names.items():
            # `try: from _accel import f` / `except ImportError: from _pure import f`: the name
            # is bound to one of two, and the one outside the tree is what usually runs.
            inside = [facts.module_file(b["module"]) is not None
                      or ("symbol" in b and facts.module_file(f"{b['module']}/{b['symbol']}") is not None)
                      for b in bucket if b.get("qualifier", name) == name]
            if not scope and any(inside) and not all(inside):
                clashes.add(name)
            # A name that a star import of a module outside the tree may replace: unknown.
            bucket[:] = [b for b in bucket if b["kind"] == "module" or "symbol" not in b
                         or not facts.replaced(facts.module_file(b["module"]) or "", b["symbol"])]
            for b in bucket:
                if b["kind"] == "module" or "symbol" not in b:
                    continue
                target = facts.from_import(b["module"], b["symbol"])
                if target is None:
                    continue
                if target[0] == "var" and len(bucket) == 1:
                    cls = facts.class_of(target[1], target[3][0], target[3][1])
                    if cls is not None:
                        imported_types.setdefault(scope, {})[name] = cls
                    continue
                if target[0] == "def" and "." not in target[2]:
                    if normalized_module(target[1]) != b["module"] or b["symbol"] != target[2]:
                        b["module"], b["symbol"] = module_path(target[1]), target[2]
                elif target[0] == "module" and facts.module_file(f"{b['module']}/{b['symbol']}") != target[1]:
                    b.clear()
                    b.update(module=module_path(target[1]), kind="module", qualifier=name)

    # Calls through a parameter that every call of a module-level function fills with the
    # same function: they hold when no other module can call that function.
    calls = dict(ex.callers)
    for caller, names in calls.items():
        names[:] = ex.raw_calls.get(caller, names)
    property_reads = _property_reads(ex, facts, calls)
    if ex.conditional:
        unimported = not facts.imported_elsewhere(path)
        for caller, index, _, name, plain in ex.conditional:
            calls[caller][index] = name if unimported else plain

    # Dotted calls through imported modules: a binding for exactly the path called.
    type_modules = {}
    for caller, names in calls.items():
        scopes = _scopes_of(caller)
        for i, call in enumerate(names):
            if "." not in call or not _dotted_name(call):
                continue
            parts = call.split(".")
            scope = _binding_scope(parts[0], scopes, bindings, shadowed)
            if scope is None:
                continue
            if facts.replaced_path(bindings[scope][parts[0]], parts):
                names[i] = None
                continue
            target = _resolve_call(facts, bindings[scope][parts[0]], parts)
            if target is None or target[0] != "def":
                continue
            qual = target[2].split(".")
            prefix = parts[:len(parts) - len(qual)]
            if len(parts) >= len(qual) and parts[len(prefix):] == qual:
                if not prefix:
                    continue  # the name as imported: the engine's rules reach it
            else:
                if len(qual) == 2 and target[3] == "function":
                    # A method reached through an instance or an inheriting class: named by
                    # the class that defines it.
                    names[i] = _keyed(target, type_modules) or call
                continue
            extra = {"module": module_path(target[1]), "symbol": qual[0], "kind": "symbol",
                     "qualifier": ".".join(prefix + qual[:1])}
            bucket = bindings[scope][parts[0]]
            if extra not in bucket:
                bucket.append(extra)
        names[:] = [n for n in names if n is not None]

    # Receiver types.
    receivers = {}

    classes = ex.summary["classes"]
    types: dict[str, dict] = {}  # scope -> receiver -> class target, for the order check below

    unions: dict[str, dict] = {}  # scope -> receiver -> the classes of its assignments
    functions = {n["node_id"].partition(":")[2] for n in ex.nodes if n["node_type"] == "Function"}

    def entry_class(scope, entry):
        text, kind, module_head = entry[:3]
        if module_head:
            target = facts.class_of(path, text, kind)
        elif kind in ("type", "call"):
            target = _local_class(facts, entry[3] if len(entry) > 3 else scope, text, bindings)
        else:
            target = None
        # A class of this file, also one a function defines (written by its qualified name).
        own = module_head or text.rpartition(".")[0] in functions
        if target is None and kind in ("type", "call") and text in classes and own:
            target = "def", path, text, "class"
        return target

    def type_text(scope, key, entry):
        if entry is None:
            return None
        if isinstance(entry, dict):
            # Assigned instances of several classes: no type for the engine, but a method all
            # of them take from one definition is that definition (see below).
            found = [entry_class(scope, e) for e in entry["any"]]
            if all(found):
                unions.setdefault(scope, {})[key] = found
            return None
        text, kind, module_head = entry[:3]
        target = entry_class(scope, entry)
        if target is None:
            # A dotted type this pass cannot follow (`ctx.Condition()` on a parameter, a module
            # outside the tree): the engine would take the class of that last name in this
            # file, a guess; so would it for a name a function binds (`Reader(stream)` with
            # Reader a parameter). What __enter__ returns is unknown.
            return None if "." in text or not module_head or kind in ("enter", "aenter") or _place(kind) is not None \
                else text
        types.setdefault(scope, {})[key] = target
        return _written(target, path, text, type_modules)

    for scope, entries in raw["python_receiver_types"].items():
        receivers[scope] = {key: type_text(scope, key, entry) for key, entry in entries.items()}
    # `x = obj.make()`: the class make's return annotation names, where obj's class is known
    # (also from an assignment like this one, hence a second round). A name assigned several
    # times is typed when every assignment gives the same class: `text: Text` and then
    # `text = text.copy()` with `copy() -> Text` (true of every value, by induction).
    def method_result(scope, entry):
        return _method_result(facts, path, scope, entry, classes, (types, unions), receivers,
                              shadowed)

    for _ in range(4):
        changed = False  # a round sees what the one before typed (`a().b().c()`); one typing nothing ends them
        for scope, entries in raw["python_receiver_types"].items():
            for key, entry in entries.items():
                if receivers[scope].get(key) is not None or entry is None:
                    continue
                listed = entry["any"] if isinstance(entry, dict) else [entry]
                direct = [entry_class(scope, e) for e in listed]
                pending = [e for e, c in zip(listed, direct) if c is None]
                settled = {c for c in direct if c is not None}
                if not pending or any(e[1] not in _RESULTS and e[1] not in ("iter", "enter") and _place(e[1]) is None
                                      for e in pending) \
                        or len(settled) > 1:
                    continue
                assumed = settled.pop() if settled else None
                own = [e for e in pending if e[0].rpartition(".")[0] == key]
                if assumed is None and own and len(own) < len(pending):
                    # `m = Measurement().widen()`, then `m = m.clamp()`: what the other
                    # bindings give, if one class, is what the name's own methods are read on.
                    first = {method_result(scope, e) for e in pending if e not in own}
                    assumed = first.pop() if len(first) == 1 else None
                    if assumed is None:
                        continue
                    pending = own
                if assumed is not None:
                    types.setdefault(scope, {})[key] = assumed
                found = {method_result(scope, e) for e in pending}
                target = found.pop() if len(found) == 1 else None
                if target is not None and assumed in (None, target):
                    types.setdefault(scope, {})[key] = target
                    unions.get(scope, {}).pop(key, None)
                    receivers[scope][key] = _written(target, path, None, type_modules)
                    changed = True
                elif assumed is not None:
                    types[scope].pop(key)
                    changed = True
        if not changed:
            break
    for scope, imported in imported_types.items():
        own = receivers.setdefault(scope, {})
        for name, cls in imported.items():
            if name not in own:
                own[name] = _written(cls, path, None, type_modules)
                types.setdefault(scope, {})[name] = cls
    for qual in ex.summary["classes"]:
        inherited = facts.inherited_self_types(path, qual, set())
        if not inherited:
            continue
        own = receivers.setdefault(qual, {})
        for key, target in inherited.items():
            text = None if target is False else _written(target, path, None, type_modules)
            if key not in own:
                own[key] = text
                if text is not None:
                    types.setdefault(qual, {})[key] = target
            elif own[key] != text:
                own[key] = None
                types.get(qual, {}).pop(key, None)
    # Where a class inherits a method along two paths, Python takes the first class of its
    # linearization; the resolver walks the bases depth-first. Where the two differ, the call
    # names the method Python runs.
    constructors: dict[str, list[str]] = {}  # module-level name -> constructors it inherits
    hiding = _hiding_scopes(bindings, shadowed)
    for caller, names in calls.items():
        implicit = ex.implicit.get(caller, ())
        reads = property_reads.get(caller, ())
        receiver_classes = {}  # prefix -> its class: many calls of a caller share a receiver
        for i, name in enumerate(names):
            prefix, _, method = name.rpartition(".")
            if prefix == "super":
                # With several bases the resolver's walk may find more than one method: what
                # runs is the next along the method resolution order of the caller's class.
                owner = next((s for s in _scopes_of(caller)[1:] if s in classes), None)
                if owner is not None and len(classes[owner]["bases"]) > 1:
                    after = facts.next_definer(("def", path, owner, "class"), method)
                    names[i] = (_keyed(after, type_modules) if after is not None else None) or name
                continue
            if not prefix:
                if name.endswith("()"):
                    names[i] = _returned_by(facts, path, name[:-2], type_modules) or name
                continue
            if prefix in receiver_classes:
                cls = receiver_classes[prefix]
            else:
                cls = receiver_classes[prefix] = _receiver_class(caller, prefix, classes, (types, unions), receivers,
                                                                 shadowed)
            if name in reads:
                # Reading a property calls its function; a store on the instance does not
                # replace it, and an abstract one runs an override.
                if cls is None and "." in prefix:
                    cls = _chained_class(facts, caller, prefix, classes, (types, unions), receivers, shadowed)
                runs = facts.python_definer(cls, method) if isinstance(cls, tuple) else None
                ok = runs is not None and facts.is_property(runs) and not facts.stub(runs)
                names[i] = (_keyed(runs, type_modules) or name) if ok else None
                continue
            if cls is None and "." in prefix:
                # `a.b.m()`: the method of the class that a's class stores in b.
                chained = _chained_class(facts, caller, prefix, classes, (types, unions), receivers,
                                         shadowed)
                target = None
                if chained is not None and not facts.rebound(chained, method):
                    target = facts.python_definer(chained, method)
                if facts.stub(target):
                    names[i] = None
                    continue
                if target is not None:
                    names[i] = _keyed(target, type_modules) or name
                    continue
            if isinstance(cls, list):
                if name in implicit and not all(facts.defines(c, method) for c in cls):
                    names[i] = None
                    continue
                found = {facts.python_definer(c, method) for c in cls}
                target = found.pop() if len(found) == 1 else None
                names[i] = None if facts.stub(target) else (_keyed(target, type_modules) if target else None) or name
                continue
            if name in implicit and (cls is None or not facts.defines(cls, method)):
                # `for`/`with` on a value of no class of the tree (a list, a file, a C type):
                # the special method it runs is not in the tree.
                names[i] = None
                continue
            runs = facts.python_definer(cls, method) if cls is not None else None
            if cls is not None and prefix in ("self", "cls") and facts.rebound(cls, method):
                names[i] = None
                continue
            if cls is not None and facts.stub(runs):
                # An abstract step: what runs is the override of the subclasses, if one.
                below = facts.subclass_definer(cls, method, runs) if name not in implicit else None
                names[i] = _keyed(below, type_modules) if below is not None else None
                continue
            if runs is None and isinstance(cls, tuple) and name not in implicit:
                # A method only subclasses define (a template method's steps).
                below = facts.subclass_definer(cls, method)
                if below is not None:
                    names[i] = _keyed(below, type_modules) or name
                    continue
            target = facts.mro_definer(cls, method) if cls is not None else None
            if target is None and runs is not None and runs[2].rpartition(".")[2] != method:
                target = runs  # a method reached through a class-body alias: no node has the alias's name
            if cls is None and _module_level(prefix, caller, hiding):
                # `Cls.method` where Cls inherits method or holds an alias of one: the engine
                # looks only for a definition of that name in Cls itself.
                named = facts.dotted(path, prefix.split("."))
                if named is not None and named[0] == "def" and named[3] == "class":
                    target = facts.python_definer(named, method)
                    if target is not None and target[1:3] == (named[1], f"{named[2]}.{method}"):
                        target = None
            if target is not None:
                names[i] = _keyed(target, type_modules) or name

        names[:] = [n for n in names if n is not None]
        # Instantiating a class runs the constructor methods it inherits: those of the tree
        # are called from here (the generated edges reach only the ones a class defines).
        for name in list(names):
            if not _module_level(name, caller, hiding):
                continue
            inherited = constructors.get(name)
            if inherited is None:
                inherited = constructors[name] = _inherited_constructors(facts, path, name, type_modules)
            for method in inherited:
                if method not in names:
                    names.append(method)

    if type_modules:
        bindings.setdefault("", {}).update(type_modules)

    data = {
        "python_import_bindings": {
            scope: {name: (b[0] if len(b) == 1 else b) for name, b in sorted(names.items()) if b}
            for scope, names in bindings.items()
        },
        "python_receiver_types": {scope: r for scope, r in receivers.items() if r},
        "python_shadowed_names": raw["python_shadowed_names"],
    }
    if clashes:
        shadowed = dict(raw["python_shadowed_names"])
        shadowed[""] = sorted(set(shadowed.get("", ())) | clashes)
        data["python_shadowed_names"] = shadowed
    module = next(n for n in ex.nodes if n["node_id"] == ids.module_id(path))
    module["extra_json"] = json.dumps(data, sort_keys=True)
    # Written as text (see DEP); what the file read of itself is no dependency.
    return {d if type(d) is str else DEP.join(d) for d in facts.all_deps() if (d if type(d) is str else d[0]) != path}


def summary_changes(path: str, old: dict | None, new: dict | None) -> set[str]:
    """The dependencies (see TreeFacts.part and entry) that a module's new summary no longer
    satisfies: each section that differs, and each entry that differs in a section that maps
    names; for a class entry that differs, also the subclasses of each class its bases name."""
    old, new = old or {}, new or {}
    changed = set()
    for section in old.keys() | new.keys():
        a, b = old.get(section), new.get(section)
        if a == b:
            continue
        changed.add(f"{path}{DEP}{section}")
        a, b = (a if isinstance(a, dict) else {}), (b if isinstance(b, dict) else {})
        for key in a.keys() | b.keys():
            if a.get(key) != b.get(key):
                changed.add(f"{path}{DEP}{section}{DEP}{key}")
                if section == "classes":
                    changed.update(f"{SUBCLASSES}{DEP}{_base_name(base)}"
                                   for entry in (a.get(key), b.get(key)) if entry for base in entry["bases"])
    return changed


def _place(kind: str) -> int | None:
    """The place in a returned tuple that a receiver type entry of this kind names, if any."""
    return int(kind[len(PLACE):]) if kind.startswith(PLACE) else None


def _base_name(base: str) -> str:
    """The name a base class's text ends in: `B` of `mod.B` and of `B[T]`."""
    return base.partition("[")[0].rpartition(".")[2]


def affected(deps, appeared_or_gone: set[str], changed: set[str]) -> bool:
    """Do dependencies recorded by a link read anything that changed: a module that appeared
    or is gone (its path), or a part of a summary in `changed` (summary_changes)?"""
    if not changed.isdisjoint(deps):
        return True
    return bool(appeared_or_gone) and any(d.partition(DEP)[0] in appeared_or_gone for d in deps)


def link_all(extracts: list, summaries: dict[str, dict] | None = None) -> dict[str, set[str]]:
    """Links every extract against the tree the summaries describe (by default: the
    extracts themselves). Returns each file's dependencies."""
    if summaries is None:
        summaries = {ex.path: ex.summary for ex in extracts if ex.summary}
    facts = TreeFacts(summaries)
    return {ex.path: link(ex, facts) for ex in extracts}


def _property_reads(ex, facts: TreeFacts, calls: dict) -> dict[str, set[str]]:
    """Adds to each caller's calls the attributes it reads that some class makes a property
    (the caller's record gets a calls list if it had none); returns them by caller."""
    names = facts.property_names() if ex.reads else ()
    found = {}
    records = None
    for caller, read in ex.reads.items():
        reads = [n for n in read if n.rpartition(".")[2] in names]
        if not reads:
            continue
        if caller not in calls:
            if records is None:
                records = {n["node_id"]: n for n in ex.nodes}
            calls[caller] = records[caller]["calls"] = []
            ex.callers.append((caller, calls[caller]))
        calls[caller].extend(reads)
        found[caller] = set(reads)
    return found


def _written(target, path: str, text: str | None, type_modules: dict) -> str | None:
    if target[1] == path and target[2] == text:
        return text
    return _keyed(target, type_modules) or text


def _keyed(target, type_modules: dict) -> str | None:
    """A definition's name through the bracketed module binding of its file (noted in
    type_modules), or None when the path cannot be written so."""
    key = type_key(target[1])
    if key is None or target[2].count(".") > 1:
        # The resolver finds a class's member only under a top-level class of the module.
        return None
    type_modules[key] = [{"module": module_path(target[1]), "kind": "module", "qualifier": key}]
    return f"{key}.{target[2]}"


def _inherited_constructors(facts: TreeFacts, path: str, name: str, type_modules: dict) -> list[str]:
    """Call names of the constructor methods that `name(...)` runs and that its class takes
    from a base class of the tree, for a name the module binds at top level."""
    cls = facts.dotted(path, name.split("."))
    if cls is None or cls[0] != "def" or cls[3] != "class":
        return []
    out = []
    for method in CONSTRUCTORS:
        definer = facts.definer(cls, method)
        if definer is not None and definer != cls:
            key = _keyed(("def", definer[1], f"{definer[2]}.{method}", "function"), type_modules)
            if key is not None:
                out.append(key)
    return out


def _returned_by(facts: TreeFacts, path: str, callee: str, type_modules: dict) -> str | None:
    """`f()()` with f imported: the call name of the one function f returns, if any. `C()()`
    (also `h = C()` then `h()`) calls the new instance: the `__call__` its class runs."""
    fn = facts.dotted(path, [callee])
    if fn is not None and fn[0] == "def" and fn[3] == "class" and not facts.rebound(fn, "__call__"):
        runs = facts.python_definer(fn, "__call__")
        return None if runs is None or facts.stub(runs) else _keyed(runs, type_modules)
    if fn is None or fn[0] != "def" or fn[3] != "function":
        return None
    returned = facts.entry(fn[1], "returned", fn[2])
    target = facts.dotted(fn[1], returned.split(".")) if returned else None
    if target is None or target[0] != "def" or "." in target[2]:
        return None
    return _keyed(target, type_modules)


def _receiver_class(caller: str, prefix: str, classes: dict, known: tuple[dict, dict], receivers: dict,
                    shadowed: dict):
    """The class the resolver takes a receiver to be, where this pass knows it; a list of
    classes for a receiver assigned instances of several. The scopes are walked as the
    resolver walks them: the innermost that types the receiver, or hides its name, decides."""
    path, _, qual = caller.partition(":")
    if prefix in ("self", "cls"):
        parts = qual.split(".")
        for k in range(len(parts) - 1, 0, -1):
            if ".".join(parts[:k]) in classes:
                return "def", path, ".".join(parts[:k]), "class"
        return None
    types, unions = known
    head = prefix.partition(".")[0]
    for scope in _scopes_of(caller):
        if scope in classes and not prefix.startswith(("self.", "cls.")):
            continue
        if prefix in receivers.get(scope, {}):
            return types.get(scope, {}).get(prefix) or unions.get(scope, {}).get(prefix)
        if head not in ("self", "cls") and head in shadowed.get(scope, ()):
            return None
    return None


def _method_result(facts: TreeFacts, path: str, scope: str, entry: list, classes: dict, known: tuple[dict, dict],
                   receivers: dict, shadowed: dict):
    """The class a call `receiver.method()` returns (or, awaited, gives; or of the items a loop
    over it binds), read in scope: the return annotation of the method Python runs for the
    receiver's class. For a loop over a named value: its items' class."""
    if entry[1] == "iter":
        cls = _class_in_scope(facts, path, scope, entry[0], classes, known, receivers, shadowed)
        return facts.items_class(cls) if cls is not None and not isinstance(cls, list) else None
    receiver, _, method = entry[0].rpartition(".")
    if not receiver:
        return None
    cls = _class_in_scope(facts, path, scope, receiver, classes, known, receivers, shadowed)
    if cls is None or isinstance(cls, list) or facts.rebound(cls, method):
        return None
    definer = facts.python_definer(cls, method)
    if definer is None:
        # `self.response_class()`: an instance of the class the attribute holds.
        return facts.held_class(cls, method) if entry[1] == "call" else None
    if entry[1] == "enter":
        # `with obj.open() as v`: open a @contextmanager generator, or returning an instance
        # whose __enter__ returns itself.
        return facts.entered_class(definer) or facts.entered_instance(_call_result(facts, cls, definer))
    place = _place(entry[1])
    if place is not None:
        return facts.place_class(definer, place, cls)
    return _call_result(facts, cls, definer) if entry[1] == "call" else facts.result_class(definer, entry[1])


def _call_result(facts: TreeFacts, cls, definer, depth: int = 0):
    """The class a call of the method definer on an instance of cls gives."""
    return facts.stated_class(definer, facts.entry(definer[1], "returns", definer[2]), cls, depth)


def _class_in_scope(facts: TreeFacts, path: str, scope: str, receiver: str, classes: dict, known: tuple[dict, dict],
                    receivers: dict, shadowed: dict):
    if scope in classes and receiver in ("self", "cls"):
        return "def", path, scope, "class"  # assigned to self.<name> in one of its methods
    caller = f"{path}:{scope or ids.MODULE_CODE}"
    cls = _receiver_class(caller, receiver, classes, known, receivers, shadowed)
    if cls is None and "." in receiver:
        cls = _chained_class(facts, caller, receiver, classes, known, receivers, shadowed)
    return cls


def _chained_class(facts: TreeFacts, caller: str, prefix: str, classes: dict, known: tuple[dict, dict],
                   receivers: dict, shadowed: dict, depth: int = 0):
    """The class of a dotted receiver `a.b.c` through the attribute types of each class on the
    way, where the first part has one class this pass knows."""
    base, _, attr = prefix.rpartition(".")
    if not base or depth > _MAX_DEPTH:
        return None
    cls = _receiver_class(caller, base, classes, known, receivers, shadowed)
    if cls is None:
        cls = _chained_class(facts, caller, base, classes, known, receivers, shadowed, depth + 1)
    if cls is None or isinstance(cls, list):
        return None
    return facts.attribute_class(cls, attr)


def _local_class(facts: TreeFacts, scope: str, text: str, bindings: dict):
    """The class a dotted type names through a module imported in a function around scope
    (`import argparse` in main, then `argparse.ArgumentParser()`)."""
    head, *rest = text.split(".")
    for s in _scopes_of(f":{scope}")[:-1]:
        if head in bindings.get(s, {}):
            target = facts.follow(head, bindings[s][head])
            for part in rest:
                target = facts.member(target, part)
            return target if target is not None and target[0] == "def" and target[3] == "class" else None
    return None


def _hiding_scopes(bindings: dict, shadowed: dict) -> dict[str, set[str]]:
    """Each name a scope hides from what it encloses (a local, a function's own import; the
    module's own shadowed names too) -> those scopes."""
    hiding: dict[str, set[str]] = {}
    for scope, names in shadowed.items():
        for name in names:
            hiding.setdefault(name, set()).add(scope)
    for scope, names in bindings.items():
        if scope:
            for name in names:
                hiding.setdefault(name, set()).add(scope)
    return hiding


def _module_level(prefix: str, caller: str, hiding: dict[str, set[str]]) -> bool:
    """Does the caller see prefix's first name as the module binds it at top level?"""
    head = prefix.partition(".")[0]
    if head in ("self", "cls") or not _dotted_name(prefix):
        return False
    scopes = hiding.get(head)
    return not scopes or scopes.isdisjoint(_scopes_of(caller))


@functools.lru_cache(maxsize=1 << 16)
def _dotted_name(text: str) -> bool:
    return all(p.isidentifier() for p in text.split("."))


@functools.lru_cache(maxsize=1 << 16)
def _scopes_of(caller: str) -> tuple[str, ...]:
    """The scope keys a caller's names are looked up in, innermost first, module level last."""
    qual = caller.partition(":")[2]
    if qual == ids.MODULE_CODE:
        return ("",)
    parts = qual.split(".")
    return (*(".".join(parts[:k]) for k in range(len(parts), 0, -1)), "")


def _binding_scope(head: str, scopes: list[str], bindings: dict, shadowed: dict) -> str | None:
    for scope in scopes:
        if head in shadowed.get(scope, ()):
            return None
        if head in bindings.get(scope, {}):
            return scope
    return None


def _resolve_call(facts: TreeFacts, bucket: list[dict], parts: list[str]):
    found = set()
    for b in bucket:
        if b["kind"] == "module":
            q = b.get("qualifier", parts[0]).split(".")
            if len(parts) <= len(q) or parts[1:len(q)] != q[1:]:
                continue
            f = facts.module_file(b["module"])
            target = ("module", f) if f else None
            rest = parts[len(q):]
        elif "symbol" in b:
            if "qualifier" in b:
                continue  # added by this pass
            target = facts.from_import(b["module"], b["symbol"])
            rest = parts[1:]
        else:
            continue
        for part in rest:
            target = facts.member(target, part)
        if target is not None:
            found.add(target)
    return found.pop() if len(found) == 1 else None
