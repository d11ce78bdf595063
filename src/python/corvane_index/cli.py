"""The `corvanedb` command: index a tree, query the index, export it, watch a tree, draw a
blast radius. Every command is a thin layer over the package's Python API."""

from __future__ import annotations

import argparse
import json
import os
import sys

from . import api

# A query process starts in tens of milliseconds, so the commands import what only they need
# (export, the indexer, typing) where they run. mypy reads this name as true.
TYPE_CHECKING = False
EXPORT_FORMATS = ("dot", "graphml", "json")  # the writers of export.WRITERS

if TYPE_CHECKING:
    import corvanedb

    from .indexer import IndexReport

QUERIES = ("callers", "callees", "dependents", "dependencies", "blast", "search", "show")
# The query method of each neighbour command, and its transitive form.
NEIGHBOURS = {
    "callers": ("get_callers", "blast_radius"),
    "callees": ("get_callees", "get_recursive_callees"),
    "dependents": ("get_dependents", None),
    "dependencies": ("get_dependencies", None),
    "blast": ("blast_radius", "blast_radius"),
}


class CommandError(Exception):
    """A message for the user and the exit status that goes with it."""

    def __init__(self, message: str, status: int = 2):
        super().__init__(message)
        self.status = status


def path_error(exc: OSError) -> CommandError:
    where = f": {exc.filename}" if exc.filename else ""
    return CommandError(f"{exc.strerror or exc}{where}")


# ---- index and watch --------------------------------------------------------------------


class Progress:
    """A progress bar per phase on a terminal (stderr); silent otherwise."""

    LABELS = {"parse": "parsing", "link": "linking", "resolve": "resolving calls"}

    def __init__(self):
        try:
            # Off a terminal (a script, an editor's hook) no bar shows: tqdm is not even imported.
            self.shown = sys.stderr.isatty()
        except (AttributeError, ValueError):
            self.shown = False
        self.bar = None
        self.phase = None

    def __call__(self, phase: str, done: int, total: int) -> None:
        if not self.shown:
            return
        if phase != self.phase:
            from tqdm import tqdm

            self.close()
            self.phase = phase
            self.bar = tqdm(total=total, desc=self.LABELS.get(phase, phase), unit=" files", leave=False,
                            file=sys.stderr)
        self.bar.update(done - self.bar.n)
        if phase == "resolve" and done == total:
            self.bar.set_description("compiling the graphs and saving")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def describe_changes(report: IndexReport, limit: int = 10) -> list[str]:
    lines = []
    for label, paths in (("changed", report.changed), ("new", report.added), ("deleted", report.deleted)):
        lines += [f"  {label}: {p}" for p in paths[:limit]]
        if len(paths) > limit:
            lines.append(f"  ... and {len(paths) - limit} more {label}")
    return lines


def summary(result: api.IndexResult) -> str:
    report = result.report
    stats = result.engine.get_stats()
    if report.mode == "full":
        what = f"full index of {report.files_parsed} files"
    elif "build" not in report.phases:
        what = "index is current, nothing changed"
    else:
        what = (f"incremental: {len(report.changed)} changed, {len(report.added)} new, "
                f"{len(report.deleted)} deleted files")
    lines = [f"{what}; {stats['nodes']} nodes; {result.seconds:.2f} s"]
    if report.mode == "incremental":
        lines += describe_changes(report)
    if report.parse_errors:
        lines.append(f"  {len(report.parse_errors)} files could not be parsed (indexed as empty files):")
        lines += [f"    {path}: {err}" for path, err in report.parse_errors[:5]]
    if result.tree.unusable:
        lines.append(f"  {len(result.tree.unusable)} files skipped: their path cannot be a node id")
    return "\n".join(lines)


def cmd_index(args) -> int:
    progress = Progress()
    try:
        # The command's main module is import-safe: parse on every core.
        result = api.index_tree(args.path, args.workspace, exclude=args.exclude, on_step=progress, workers=None)
    finally:
        progress.close()
    print(summary(result))
    print(f"workspace: {result.workspace}")
    return 0


def cmd_watch(args) -> int:
    import time

    from .watch import watch_tree

    def started(result: api.IndexResult) -> None:
        progress.close()
        print(summary(result))
        print(f"workspace: {result.workspace}\nwatching {result.tree.root} (Ctrl-C to stop)", flush=True)

    progress = Progress()
    try:
        for result in watch_tree(args.path, args.workspace, exclude=args.exclude, on_start=started,
                                 on_step=progress, workers=None):
            if "build" not in result.report.phases:
                continue  # saved without a change to any indexed file
            stamp = time.strftime("%H:%M:%S")
            print(f"[{stamp}] refreshed in {result.seconds * 1000:.0f} ms: "
                  f"{len(result.report.changed)} changed, {len(result.report.added)} new, "
                  f"{len(result.report.deleted)} deleted; {result.engine.get_stats()['nodes']} nodes", flush=True)
            for line in describe_changes(result.report):
                print(line, flush=True)
            for path, err in result.report.parse_errors:
                print(f"  could not parse {path}: {err}", flush=True)
    except KeyboardInterrupt:
        pass
    return 0


# ---- queries ------------------------------------------------------------------------------


def query_workspace(args) -> str:
    if args.workspace:
        return args.workspace
    found = api.find_workspace(os.getcwd())
    if found is not None:
        return found
    below = api.indexed_subfolders(os.getcwd())
    if below:
        raise CommandError("no index for this folder or any folder above it, and several folders in it have "
                           "one: " + ", ".join(os.path.basename(f) for f in below)
                           + "; run the query in one of them, or pass --workspace DIR")
    raise CommandError("no index for this folder, any folder above it or one folder in it: run "
                       "`corvanedb index PATH` first, or pass --workspace DIR")


def open_for_query(args) -> corvanedb.PyMetadataEngine:
    engine = api.open_index(query_workspace(args))
    # Held by args, which main keeps to the end: a quick exit then never frees it.
    args.engine = engine
    if engine.get_stats()["nodes"] == 0:
        raise CommandError("the index is empty: no Python files were found when it was made", 1)
    return engine


def require_node(engine: corvanedb.PyMetadataEngine, node_id: str) -> None:
    if engine.contains(node_id):
        return
    lines = [f"no node has the id {node_id!r}"]
    close = api.closest_ids(engine, node_id)
    if close:
        lines.append("closest ids by name:")
        lines += [f"  {c}" for c in close]
    raise CommandError("\n".join(lines), 1)


def neighbours(engine: corvanedb.PyMetadataEngine, command: str, node_id: str, depth: int) -> list[str]:
    direct, transitive = NEIGHBOURS[command]
    if command != "blast" and depth == 1:
        return sorted(getattr(engine, direct)(node_id))  # the engine's order carries no meaning
    if transitive is None:  # no transitive form in the engine: walked here
        return list(api.bfs_levels(getattr(engine, direct), node_id, depth))[1:]
    return getattr(engine, transitive)(node_id, max_depth=depth or None)


def cmd_query(args) -> int:
    engine = open_for_query(args)
    if args.command == "search":
        hits = engine.search(args.arg)
        if args.json:
            print(json.dumps(hits, ensure_ascii=False, indent=1))
        else:
            for h in hits:
                print(f"{h['type']:8s} {h['id']}")
            if not hits:
                print("(no matches)")
        return 0
    require_node(engine, args.arg)
    if args.command == "show":
        meta = engine.get_node_meta(args.arg)
        assert meta is not None  # require_node found it
        if args.json:
            print(json.dumps(meta, ensure_ascii=False, indent=1))
        else:
            from .export import flat_record

            for key, value in flat_record(meta).items():
                text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
                print(f"{key}: {text}")
        return 0
    depth = args.depth if args.depth is not None else (0 if args.command == "blast" else 1)
    ids = neighbours(engine, args.command, args.arg, depth)
    if args.json:
        print(json.dumps(ids, ensure_ascii=False))
    else:
        print("\n".join(ids) if ids else "(nothing reaches it)" if args.command == "blast" else f"(no {args.command})")
    return 0


def cmd_export(args) -> int:
    from . import export

    workspace = query_workspace(args)
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            graph = export.export(workspace, args.format, out)
        print(f"{len(graph.nodes)} nodes and {len(graph.edges)} edges written to {args.output}", file=sys.stderr)
    else:
        export.export(workspace, args.format, sys.stdout)
    return 0


def cmd_draw(args) -> int:
    from . import draw

    engine = open_for_query(args)
    require_node(engine, args.id)
    drawing = draw.blast_dot(engine, args.id, max_depth=args.depth or None, max_nodes=args.max_nodes)
    draw.render(drawing.dot, args.out)
    note = f" (the {drawing.drawn} nearest of {drawing.total})" if drawing.drawn < drawing.total else ""
    print(f"blast radius of {args.id}: {drawing.total - 1} nodes reach it; drawn{note} to {args.out}")
    return 0


# ---- parser -------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="corvanedb", description="Index Python source trees and ask who calls what.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def workspace_opt(sp, default_help):
        sp.add_argument("--workspace", metavar="DIR", help=f"where the index lives (default: {default_help})")

    tree_default = "a folder under ~/.cache/corvanedb named after PATH's absolute path"
    query_default = "the index of the current folder or of the nearest indexed folder above it"
    for name, helptext in (("index", "index the Python files under PATH (incremental when already indexed)"),
                           ("watch", "index PATH, then refresh the index on every file save")):
        sp = sub.add_parser(name, help=helptext, description=helptext)
        sp.add_argument("path", metavar="PATH")
        workspace_opt(sp, tree_default)
        sp.add_argument("--exclude", action="append", default=[], metavar="NAME",
                        help="skip folders with this name, at any depth (repeatable)")
        sp.set_defaults(run=cmd_index if name == "index" else cmd_watch)

    query_help = {
        "callers": "functions that call ID", "callees": "definitions that ID calls",
        "dependents": "nodes with any edge to ID (calls and containment)",
        "dependencies": "nodes ID has any edge to (calls and containment)",
        "blast": "everything that reaches ID over calls, transitively",
        "search": "nodes whose name is or contains WORD (files and folders: by file name)",
        "show": "the record of ID",
    }
    for name in QUERIES:
        sp = sub.add_parser(name, help=query_help[name], description=query_help[name])
        sp.add_argument("arg", metavar="WORD" if name == "search" else "ID")
        if name not in ("search", "show"):
            sp.add_argument("--depth", type=int, metavar="N",
                            help="follow edges up to N steps, 0 for no bound (default: "
                                 + ("no bound" if name == "blast" else "1, direct neighbours") + ")")
        sp.add_argument("--json", action="store_true", help="print JSON")
        workspace_opt(sp, query_default)
        sp.set_defaults(run=cmd_query, depth=None, read_only=True)

    sp = sub.add_parser("export", help="write every node and every edge with its kind",
                        description="Write every node with its record and every edge with its kind "
                                    "(resolved_call, execution, generated_execution, structural).")
    sp.add_argument("--format", required=True, choices=EXPORT_FORMATS)
    sp.add_argument("--output", metavar="FILE", help="default: standard output")
    workspace_opt(sp, query_default)
    sp.set_defaults(run=cmd_export, read_only=True)

    sp = sub.add_parser("draw", help="draw the blast radius of ID (.svg, .png or .html)",
                        description="Draw everything that reaches ID over calls, grouped by file.")
    sp.add_argument("id", metavar="ID")
    sp.add_argument("--out", required=True, metavar="FILE", help="FILE.svg, FILE.png or FILE.html")
    sp.add_argument("--depth", type=int, default=0, metavar="N", help="at most N calls away (default: no bound)")
    sp.add_argument("--max-nodes", type=int, default=300, metavar="N",
                    help="draw at most N nodes, the nearest first (default 300)")
    workspace_opt(sp, query_default)
    sp.set_defaults(run=cmd_draw, read_only=True)
    return p


def main(argv: list[str] | None = None, *, quick_exit: bool = False) -> int:
    """Runs one command. With quick_exit, a command that only reads the index ends the process
    once its output is flushed, without freeing the engine it restored: on a large index that
    takes longer than the query itself."""
    args = parser().parse_args(argv)
    if getattr(args, "depth", None) is not None and args.depth < 0:
        parser().error("--depth must be 0 or more")
    if getattr(args, "max_nodes", 1) < 1:
        parser().error("--max-nodes must be 1 or more")
    try:
        status = args.run(args)
        if quick_exit and getattr(args, "read_only", False):
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)
        return status
    except CommandError as exc:
        print(f"corvanedb: {exc}", file=sys.stderr)
        return exc.status
    except BrokenPipeError:
        # The reader stopped early (`corvanedb search x | head`): not an error of ours.
        # Python would complain again when flushing stdout at exit, so point it at nothing.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as exc:
        print(f"corvanedb: {path_error(exc)}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, OverflowError) as exc:
        print(f"corvanedb: {exc}", file=sys.stderr)
        return 1


def command() -> None:
    """The `corvanedb` program."""
    sys.exit(main(quick_exit=True))


if __name__ == "__main__":
    command()
