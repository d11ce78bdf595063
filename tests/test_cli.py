"""The corvanedb command and the indexer's API it is built on: index, queries, errors that
name their path, export with edge kinds, drawing, watching."""

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import corvanedb
from corvane_index import api, cli, export
from corvane_index.draw import blast_dot, blast_levels, render

TREE = {
    "app/__init__.py": "",
    "app/models.py": '''
        class Order:
            def save(self):
                return self.validate()

            def validate(self):
                return True
    ''',
    "app/views.py": '''
        from app.models import Order

        def checkout():
            order = Order()
            return order.save()

        def refund():
            return checkout()
    ''',
}


def write_tree(root, files):
    for rel, src in files.items():
        full = root / rel
        full.parent.mkdir(parents=True, exist_ok=True)
        full.write_text(textwrap.dedent(src))
    return root


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """Default workspaces go under a temporary cache folder."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return tmp_path / "cache"


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_index_then_query_from_inside_the_tree(tmp_path, cache, capsys, monkeypatch):
    root = write_tree(tmp_path / "proj", TREE)
    status, out, _ = run(capsys, "index", root)
    assert status == 0 and "full index of 3 files" in out
    workspace = api.default_workspace(str(root))
    assert f"workspace: {workspace}" in out and workspace.startswith(str(cache))

    monkeypatch.chdir(root / "app")  # the index of the nearest indexed folder above is found
    assert run(capsys, "callers", "app/models.py:Order.save")[1].split() == ["app/views.py:checkout"]
    assert run(capsys, "callers", "app/models.py:Order.save", "--depth", "2")[1].split() == [
        "app/views.py:checkout", "app/views.py:refund"]
    assert json.loads(run(capsys, "blast", "app/models.py:Order.validate", "--json")[1]) == [
        "app/models.py:Order.save", "app/views.py:checkout", "app/views.py:refund"]
    assert set(run(capsys, "callees", "app/views.py:refund", "--depth", "0")[1].split()) == {
        "app/views.py:checkout", "app/models.py:Order", "app/models.py:Order.save", "app/models.py:Order.validate"}
    # Dependencies follow containment too, walked here since the engine has no transitive form.
    deps = run(capsys, "dependencies", "folder:.", "--depth", "0")[1].split()
    assert {"file:app/views.py", "app/views.py:refund", "app/models.py:Order.validate"} <= set(deps)
    assert "Function app/views.py:checkout" in " ".join(run(capsys, "search", "check")[1].split())
    shown = json.loads(run(capsys, "show", "app/views.py:refund", "--json")[1])
    assert shown["calls"] == ["checkout"] and shown["lines"] == {"start": 8, "end": 9}

    (root / "app" / "views.py").write_text("def checkout():\n    return 1\n")
    status, out, _ = run(capsys, "index", root)
    assert "incremental: 1 changed, 0 new, 0 deleted" in out and "changed: app/views.py" in out
    assert run(capsys, "callers", "app/models.py:Order.save")[1].strip() == "(no callers)"
    assert run(capsys, "blast", "app/models.py:Order.save")[1].strip() == "(nothing reaches it)"
    assert run(capsys, "search", "no_such_name")[1].strip() == "(no matches)"
    assert "index is current" in run(capsys, "index", root)[1]


def test_query_from_the_folder_above_the_indexed_one(tmp_path, cache, capsys, monkeypatch):
    # `index src`, then queries from the project's own folder: the one index below is used.
    project = tmp_path / "project"
    write_tree(project / "src", TREE)
    (project / "docs").mkdir()
    monkeypatch.chdir(project)
    status, _, err = run(capsys, "callers", "app/models.py:Order.save")
    assert status != 0 and "no index for this folder, any folder above it or one folder in it" in err
    run(capsys, "index", "src")
    assert run(capsys, "callers", "app/models.py:Order.save")[1].split() == ["app/views.py:checkout"]
    # Two indexed folders: which one is meant is for the user to say.
    write_tree(project / "tools", {"t.py": "def t():\n    pass\n"})
    run(capsys, "index", "tools")
    status, _, err = run(capsys, "callers", "app/models.py:Order.save")
    assert status != 0 and "several folders in it have one: src, tools" in err


def test_unknown_id_suggests_closest_ids_by_name(tmp_path, capsys):
    root = write_tree(tmp_path / "proj", TREE)
    ws = tmp_path / "ws"
    run(capsys, "index", root, "--workspace", ws)
    status, out, err = run(capsys, "callers", "Order.save", "--workspace", ws)
    assert status == 1 and out == ""
    assert "no node has the id 'Order.save'" in err and "  app/models.py:Order.save" in err
    # No node has the name: the most similar ids overall.
    err = run(capsys, "show", "app/views.py:chekout", "--workspace", ws)[2]
    assert "  app/views.py:checkout" in err


def test_trees_with_the_same_folder_name_get_their_own_workspace(tmp_path, cache):
    # Both layouts end in "src": a workspace named after the last folder made one replace the other.
    a = write_tree(tmp_path / "a" / "src", {"one.py": "def one(): pass\n"})
    b = write_tree(tmp_path / "b" / "src", {"two.py": "def two(): pass\n"})
    first, second = api.index_tree(str(a)), api.index_tree(str(b))
    assert first.workspace != second.workspace
    assert api.open_index(first.workspace).contains("one.py:one")
    assert api.open_index(second.workspace).contains("two.py:two")


def test_errors_name_the_path(tmp_path, capsys):
    root = write_tree(tmp_path / "proj", TREE)
    a_file = tmp_path / "notes.txt"
    a_file.write_text("x")

    cases = [
        (["index", tmp_path / "missing"], "no such folder to index: " + str(tmp_path / "missing")),
        (["index", a_file], "not a folder, cannot index it: " + str(a_file)),
        (["index", root, "--workspace", a_file], "workspace is not a folder: " + str(a_file)),
        (["index", root, "--workspace", a_file / "ws"], "a file stands in the workspace's path: " + str(a_file)),
        (["callers", "x", "--workspace", tmp_path / "empty"], "no such workspace: " + str(tmp_path / "empty")),
    ]
    (tmp_path / "unindexed").mkdir()
    cases.append((["callers", "x", "--workspace", tmp_path / "unindexed"], str(tmp_path / "unindexed")))
    for argv, message in cases:
        status, _, err = run(capsys, *argv)
        assert status == 2 and message in err, (argv, err)

    with pytest.raises(NotADirectoryError) as exc:
        api.index_tree(str(root), str(a_file))
    assert exc.value.filename == str(a_file)


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes anywhere")
def test_unwritable_workspace_is_named(tmp_path, capsys):
    root = write_tree(tmp_path / "proj", TREE)
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o555)
    status, _, err = run(capsys, "index", root, "--workspace", locked)
    assert status == 2 and f"workspace is not writable: {locked}" in err
    status, _, err = run(capsys, "index", root, "--workspace", locked / "ws")
    assert status == 2 and f"cannot create the workspace in this folder: {locked}" in err


# ---- export -------------------------------------------------------------------------------


def engine_with_every_kind(workspace):
    """Two functions per kind of edge, plus one pair stored under two kinds."""
    engine = corvanedb.PyMetadataEngine(str(workspace))
    for name in ("a", "b", "c", "d", "e", "f", "g"):
        engine.add_node(f"m.py:{name}", "Function", name, "m.py", calls=["b"] if name == "a" else None)
    engine.add_node("m.py", "Module", "m", "m.py")
    engine.resolve_and_connect_calls("m.py:a", ["b"])
    engine.add_edge("m.py:c", "m.py:d")
    engine.add_generated_edge("m.py:e", "m.py:f")
    engine.add_structural_edge("m.py", "m.py:g")
    engine.add_structural_edge("m.py:c", "m.py:d")  # also an execution edge: exported under both kinds
    engine.build()
    engine.save()
    return engine


def test_export_tells_every_edge_kind(tmp_path):
    engine_with_every_kind(tmp_path / "ws")
    graph = export.read_graph(str(tmp_path / "ws"))
    assert graph.edges == [("m.py", "m.py:g", "structural"), ("m.py:a", "m.py:b", "resolved_call"),
                           ("m.py:c", "m.py:d", "execution"), ("m.py:c", "m.py:d", "structural"),
                           ("m.py:e", "m.py:f", "generated_execution")]
    assert graph.nodes["m.py:a"]["calls"] == ["b"] and graph.nodes["m.py:a"]["calls_count"] == 1
    # The workspace is only read: its snapshot still holds the generated edge.
    assert corvanedb.PyMetadataEngine(str(tmp_path / "ws")).get_callees("m.py:e") == ["m.py:f"]


def test_export_records_equal_the_engine_and_damage_is_named(tmp_path):
    root = write_tree(tmp_path / "proj", TREE)
    ws = tmp_path / "ws"
    engine = api.index_tree(str(root), str(ws)).engine
    graph = export.read_graph(str(ws))
    meta = engine.get_all_metadata()
    assert graph.nodes == {n: export.flat_record(m) for n, m in meta.items()}
    assert {(s, t) for s, t, _ in graph.edges} == {(s, t) for s in meta for t in engine.get_dependencies(s)}
    snap = ws / api.SNAPSHOT_NAME
    snap.write_bytes(snap.read_bytes()[:-3])
    with pytest.raises(OSError, match="cannot be read") as err:
        export.read_graph(str(ws))
    assert err.value.filename == str(snap)


def test_export_formats_read_back_with_networkx(tmp_path, capsys):
    nx = pytest.importorskip("networkx")
    root = write_tree(tmp_path / "proj", {**TREE, "app/odd.py": 'def odd():\n    "tab\\t, bell \\x07 & <ok>"\n'})
    ws = tmp_path / "ws"
    api.index_tree(str(root), str(ws))
    graph = export.read_graph(str(ws))
    expected = export.to_networkx(graph)
    assert expected.has_edge("app/views.py:checkout", "app/models.py:Order.save", key="resolved_call")

    def same(g):
        assert set(g.nodes) == set(expected.nodes)
        assert {(s, t, d["kind"]) for s, t, d in g.edges(data=True)} == set(graph.edges)

    for fmt in ("json", "graphml", "dot"):
        out = tmp_path / f"graph.{fmt}"
        assert run(capsys, "export", "--workspace", ws, "--format", fmt, "--output", out)[0] == 0
        if fmt == "json":
            same(nx.node_link_graph(json.loads(out.read_text()), edges="edges"))
        elif fmt == "graphml":
            g = nx.read_graphml(out)
            same(g)
            rec = g.nodes["app/views.py:refund"]
            assert (rec["lines_start"], rec["is_async"], json.loads(rec["calls"])) == (8, False, ["checkout"])
            # A control character cannot be written in XML 1.0; it is replaced, the rest kept.
            doc = graph.nodes["app/odd.py:odd"]["docstring"]
            assert "\x07" in doc and g.nodes["app/odd.py:odd"]["docstring"] == doc.replace("\x07", "\ufffd")
        else:
            text = out.read_text()
            assert text.count(" -> ") == len(graph.edges) and '"folder:." [type="Folder"' in text


# ---- drawing and watching --------------------------------------------------------------------


def wide_tree(files=12, per_file=25):
    """A definition called by files * per_file functions, spread over files."""
    tree = {"core.py": "def target():\n    return 1\n"}
    for f in range(files):
        body = "".join(f"def caller_{i}():\n    return target()\n" for i in range(per_file))
        tree[f"pkg/deep/module_{f}.py"] = "from core import target\n" + body
    return tree


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_draw_groups_by_file_with_short_labels(tmp_path, capsys):
    root = write_tree(tmp_path / "proj", wide_tree())
    ws = tmp_path / "ws"
    api.index_tree(str(root), str(ws))
    engine = api.open_index(str(ws))
    drawing = blast_dot(engine, "core.py:target", max_nodes=100)
    assert (drawing.drawn, drawing.total) == (100, 301)
    drawn_files = {n.split(":")[0] for n in blast_levels(engine, "core.py:target", None, 100)}
    assert drawing.dot.count("subgraph cluster_") == len(drawn_files) > 2
    assert 'label="caller_0"' in drawing.dot and 'label="pkg/deep/module_0.py"' in drawing.dot

    status, out, _ = run(capsys, "draw", "core.py:target", "--out", tmp_path / "b.html", "--workspace", ws)
    assert status == 0 and "300 nodes reach it" in out
    page = (tmp_path / "b.html").read_text()
    assert page.startswith("<!DOCTYPE html>") and "<svg" in page and "src=" not in page
    render(drawing.dot, str(tmp_path / "b.png"))
    assert (tmp_path / "b.png").read_bytes()[:4] == b"\x89PNG"
    with pytest.raises(ValueError, match="b.pdf"):
        render(drawing.dot, str(tmp_path / "b.pdf"))


def test_watch_refreshes_the_kept_engine(tmp_path):
    pytest.importorskip("watchfiles")
    from corvane_index.watch import watch_tree

    root = write_tree(tmp_path / "proj", TREE)
    stop = threading.Event()
    refreshes = []
    started = threading.Event()

    def consume():
        for refresh in watch_tree(str(root), str(tmp_path / "ws"), on_start=lambda r: started.set(),
                                  stop_event=stop):
            refreshes.append(refresh)
            if refresh.report.changed:
                stop.set()

    thread = threading.Thread(target=consume)
    thread.start()
    try:
        assert started.wait(30)
        time.sleep(0.3)  # let the watcher start
        (root / "app" / "views.py").write_text("def checkout():\n    return 1\n")
        thread.join(30)
    finally:
        stop.set()
        thread.join(5)
    result = refreshes[-1]
    assert result.report.changed == ["app/views.py"]
    assert result.engine.get_callers("app/models.py:Order.save") == []
    # The refresh reached the disk: a new process sees it.
    assert api.open_index(str(tmp_path / "ws")).get_callers("app/models.py:Order.save") == []


def test_export_writes_to_standard_output(tmp_path, capsys):
    engine_with_every_kind(tmp_path / "ws")
    status, out, _ = run(capsys, "export", "--workspace", tmp_path / "ws", "--format", "json")
    data = json.loads(out)
    assert status == 0 and len(data["nodes"]) == 8 and len(data["edges"]) == 5
    buf = io.StringIO()
    with pytest.raises(ValueError, match="unknown export format 'csv'"):
        export.export(str(tmp_path / "ws"), "csv", buf)


def test_output_cut_short_by_the_reader_is_not_reported_as_an_error(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    for i in range(5000):  # far more output than a pipe buffers
        engine.add_node(f"m.py:handler_{i}", "Function", f"handler_{i}", "m.py")
    engine.save()
    proc = subprocess.Popen([sys.executable, "-m", "corvane_index", "search", "handler", "--workspace",
                             str(tmp_path / "ws")], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.stdout.readline().startswith(b"Function m.py:handler_")
    proc.stdout.close()
    assert proc.wait(timeout=60) == 0
    assert proc.stderr.read() == b""


def test_the_program_ends_a_query_with_all_its_output_and_its_status(tmp_path):
    # A query ends the process as soon as its answer is written: none of it may be lost.
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    for i in range(5000):
        engine.add_node(f"m.py:handler_{i}", "Function", f"handler_{i}", "m.py")
    engine.save()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = [sys.executable, "-m", "corvane_index"]
    out = subprocess.run([*run, "search", "handler", "--workspace", str(tmp_path / "ws")], capture_output=True,
                         env=env, timeout=60)
    assert out.returncode == 0 and len(out.stdout.splitlines()) == 5000
    out = subprocess.run([*run, "show", "m.py:nothing", "--workspace", str(tmp_path / "ws")], capture_output=True,
                         env=env, timeout=60)
    assert out.returncode != 0 and b"m.py:nothing" in out.stderr


def test_a_quick_exit_leaves_the_restored_engine_to_the_end_of_the_process(tmp_path, monkeypatch, capsys):
    # Freeing a large engine takes longer than the query: the quick exit must come first.
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    engine.add_node("m.py:f", "Function", "f", "m.py")
    engine.save()
    freed = []

    class Held:
        def __init__(self, engine):
            self.engine = engine

        def __getattr__(self, name):
            return getattr(self.engine, name)

        def __del__(self):
            freed.append(True)

    class Exited(Exception):
        pass

    def exit_now(status):
        raise Exited(status, list(freed))

    opened = api.open_index
    monkeypatch.setattr(api, "open_index", lambda ws: Held(opened(ws)))
    monkeypatch.setattr(os, "_exit", exit_now)
    with pytest.raises(Exited) as ended:
        cli.main(["callers", "m.py:f", "--workspace", str(tmp_path / "ws")], quick_exit=True)
    assert ended.value.args == (0, [])
    assert "(no callers)" in capsys.readouterr().out


def test_a_query_loads_neither_the_indexer_nor_the_exporter(tmp_path):
    # A query is a process of its own each time: what it imports is its start-up cost.
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    engine.add_node("m.py:f", "Function", "f", "m.py")
    engine.save()
    script = textwrap.dedent("""
        import sys
        from corvane_index import cli
        status = cli.main(["callers", "m.py:f", "--workspace", sys.argv[1]])
        heavy = ("indexer", "python_file", "tree_pass", "tree", "export", "snapshot")
        print(status, *sorted(m for m in heavy if "corvane_index." + m in sys.modules))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "ws")], capture_output=True, text=True,
                         env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-1] == "0"
    assert set(cli.EXPORT_FORMATS) == set(export.WRITERS)


def test_a_new_process_refreshes_through_the_record_of_reads_the_last_one_saved(tmp_path):
    # Each `index` is a process of its own: the second takes up the record of what every
    # resolution read that the first saved beside the snapshot, and must still give what a
    # fresh index of the edited tree gives.
    root = write_tree(tmp_path / "src", {
        "app/__init__.py": "",
        "app/main.py": "import app.tools\nfrom app.tools import Box\n\ndef run(b: Box):\n    app.tools.helper()\n    b.put()\n",
        "app/tools.py": "class Box:\n    pass\n",
    })
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

    def index(ws):
        subprocess.run([sys.executable, "-m", "corvane_index", "index", str(root), "--workspace", str(ws)],
                       check=True, capture_output=True, env=env, timeout=120)
        engine = corvanedb.PyMetadataEngine(str(ws))
        return {i: sorted(engine.get_callees(i)) for i in engine.get_all_metadata()}

    assert index(tmp_path / "ws")["app/main.py:run"] == []
    assert (tmp_path / "ws" / ".corvane_reads.bin").is_file()
    (root / "app/tools.py").write_text("class Box:\n    def put(self):\n        pass\n\ndef helper():\n    pass\n")
    again = index(tmp_path / "ws")
    assert again == index(tmp_path / "fresh")
    assert again["app/main.py:run"] == ["app/tools.py:Box.put", "app/tools.py:helper"]


def test_script_without_main_guard_indexing_a_large_tree_broke_the_worker_pool(tmp_path):
    # Worker processes import the program's main module again; a script calling index_tree at
    # its top level must still work, and the command parses in workers.
    from corvane_index.indexer import PARALLEL_FROM

    tree = {f"pkg/m{i}.py": f"def f{i}():\n    return f{i}()\n" for i in range(PARALLEL_FROM + 5)}
    root = write_tree(tmp_path / "proj", tree)
    script = tmp_path / "user.py"
    script.write_text(f"from corvane_index import index_tree\n"
                      f"r = index_tree({str(root)!r}, {str(tmp_path / 'ws')!r})\n"
                      f"print(r.report.files_parsed)\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), XDG_CACHE_HOME=str(tmp_path / "cache"))
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300, env=env)
    assert out.returncode == 0 and out.stdout.split() == [str(PARALLEL_FROM + 5)], out.stderr[-2000:]
    out = subprocess.run([sys.executable, "-m", "corvane_index", "index", str(root)], capture_output=True, text=True,
                         timeout=300, env=env)
    assert out.returncode == 0, out.stderr[-2000:]


def test_progress_bars_show_on_a_terminal_only(tmp_path):
    # Off a terminal (an editor's hook re-indexing on save) the command shows no bar and does
    # not pay for importing the bar's library; on one, each phase gets its bar.
    import fcntl
    import pty
    import struct
    import termios

    root = write_tree(tmp_path / "proj", {"m.py": "def f():\n    pass\n"})
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = ("import sys\nfrom corvane_index import cli\n"
            "status = cli.main(['index', sys.argv[1], '--workspace', sys.argv[2]])\n"
            "print(status, 'tqdm' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code, str(root), str(tmp_path / "ws1")], capture_output=True,
                         text=True, env=env, timeout=60)
    assert out.stdout.split()[-2:] == ["0", "False"] and "parsing" not in out.stderr, out.stderr
    try:
        reader, writer = pty.openpty()
    except OSError as exc:
        pytest.skip(f"no terminal to show bars on: {exc}")
    fcntl.ioctl(writer, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a new one is 0 wide
    try:
        out = subprocess.run([sys.executable, "-c", code, str(root), str(tmp_path / "ws2")], stdout=subprocess.PIPE,
                             stderr=writer, text=True, env=env, timeout=60)
        os.set_blocking(reader, False)
        shown = b""
        with contextlib.suppress(OSError):
            while chunk := os.read(reader, 65536):
                shown += chunk
    finally:
        os.close(reader)
        os.close(writer)
    assert out.stdout.split()[-2:] == ["0", "True"] and b"parsing" in shown
