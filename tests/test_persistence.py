import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import corvanedb
from corvane_index.snapshot import _Reader, _record

SNAPSHOT = ".corvane_snapshot.bin"


def populate(engine, n=3):
    for i in range(n):
        engine.add_node(f"m.py:f{i}", "Function", f"f{i}", "m.py", calls=[f"f{i + 1}"])
    for i in range(n - 1):
        engine.add_edge(f"m.py:f{i}", f"m.py:f{i + 1}")
    engine.add_structural_edge("m.py:f0", f"m.py:f{n - 1}")


def wait_for_file(path, timeout=10.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if os.path.exists(path):
            return
        time.sleep(0.01)
    raise AssertionError(f"{path} never appeared")


def test_missing_workspace_starts_empty_and_first_save_creates_it(tmp_path):
    ws = tmp_path / "a" / "b"
    engine = corvanedb.PyMetadataEngine(str(ws))
    assert not engine.snapshot_loaded()
    assert engine.get_stats() == {"nodes": 0, "edges": "not built"}
    engine.save()
    assert (ws / SNAPSHOT).stat().st_size == 77
    again = corvanedb.PyMetadataEngine(str(ws) + "/")
    assert again.snapshot_loaded()
    # An empty snapshot is not compiled at construction.
    assert again.get_stats()["edges"] == "not built"


def test_state_survives_and_restore_compiles(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    populate(engine)
    engine.rebuild_internal()
    before = engine.get_all_metadata()
    restored = corvanedb.PyMetadataEngine(str(tmp_path))
    assert restored.snapshot_loaded()
    assert restored.get_stats() == {"nodes": 3, "edges": "CSR compiled"}
    assert restored.get_all_metadata() == before
    assert restored.get_callees("m.py:f0") == ["m.py:f1"]
    assert restored.get_dependencies("m.py:f0") == ["m.py:f1", "m.py:f2"] or set(
        restored.get_dependencies("m.py:f0")) == {"m.py:f1", "m.py:f2"}
    assert restored.blast_radius("m.py:f2") == ["m.py:f1", "m.py:f0"]


def test_restore_rewrites_the_snapshot_only_when_it_would_change(tmp_path):
    path = tmp_path / SNAPSHOT
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    populate(engine)
    engine.rebuild_internal()
    written = os.stat(path)
    # The file holds exactly the compiled state: opening leaves it as it is.
    restored = corvanedb.PyMetadataEngine(str(tmp_path))
    assert (os.stat(path).st_ino, os.stat(path).st_mtime_ns) == (written.st_ino, written.st_mtime_ns)
    assert corvanedb.PyMetadataEngine(str(tmp_path)).get_all_metadata() == restored.get_all_metadata()
    # Counts that the compile step changes (an edge saved without a build) are written back.
    engine.add_edge("m.py:f2", "m.py:f0")
    engine.save()
    saved = os.stat(path).st_ino
    assert corvanedb.PyMetadataEngine(str(tmp_path)).get_node_meta("m.py:f0")["callers_count"] == 1
    assert os.stat(path).st_ino != saved
    rewritten = os.stat(path).st_ino
    corvanedb.PyMetadataEngine(str(tmp_path))
    assert os.stat(path).st_ino == rewritten
    # Bytes after the record are dropped by the rewrite.
    data = path.read_bytes()
    path.write_bytes(data + b"trailing")
    corvanedb.PyMetadataEngine(str(tmp_path))
    assert len(path.read_bytes()) == len(data)


def test_build_writes_in_background(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    populate(engine)
    engine.build()
    wait_for_file(tmp_path / SNAPSHOT)
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            if corvanedb.PyMetadataEngine(str(tmp_path)).get_stats()["nodes"] == 3:
                break
        except Exception:
            pass
        time.sleep(0.02)
    assert corvanedb.PyMetadataEngine(str(tmp_path)).get_stats()["nodes"] == 3


def test_close_leaves_engine_usable(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    engine.close()
    engine.add_node("a", "Function", "a", "")
    engine.close()
    assert corvanedb.PyMetadataEngine(str(tmp_path)).contains("a")


def test_workspace_that_is_a_file(tmp_path):
    path = tmp_path / "plain"
    path.write_text("x")
    engine = corvanedb.PyMetadataEngine(str(path))
    with pytest.raises(OSError, match=r"^Failed to save snapshot: .* \(os error \d+\)$"):
        engine.save()
    with pytest.raises(OSError, match=r"^Failed to save snapshot: "):
        engine.rebuild_internal()
    # The compile of rebuild_internal stays in place despite the failed write.
    assert engine.get_stats()["edges"] == "CSR compiled"
    engine.build()  # the background failure is only logged
    assert path.read_text() == "x"


def test_damaged_snapshots_start_empty(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    populate(engine)
    engine.save()
    data = (tmp_path / SNAPSHOT).read_bytes()
    for damaged in (data[:4], b"XXXX" + data[4:], data[:4] + b"\x02" + data[5:], data[:4] + b"\x04" + data[5:],
                    data[: len(data) // 2], data[:-1]):
        (tmp_path / SNAPSHOT).write_bytes(damaged)
        e = corvanedb.PyMetadataEngine(str(tmp_path))
        assert not e.snapshot_loaded() and e.get_stats()["nodes"] == 0
    (tmp_path / SNAPSHOT).write_bytes(data + b"trailing")
    assert corvanedb.PyMetadataEngine(str(tmp_path)).get_stats()["nodes"] == 3


def test_failed_save_keeps_previous_snapshot(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    populate(engine)
    engine.save()
    good = (tmp_path / SNAPSHOT).read_bytes()
    if os.geteuid() == 0:
        pytest.skip("root ignores directory permissions")
    os.chmod(tmp_path, 0o500)
    try:
        engine.add_node("new", "Function", "new", "")
        with pytest.raises(OSError):
            engine.save()
    finally:
        os.chmod(tmp_path, 0o700)
    assert (tmp_path / SNAPSHOT).read_bytes() == good


def test_file_size_limit_keeps_previous_snapshot(tmp_path):
    code = textwrap.dedent(
        f"""
        import resource, signal, corvanedb
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        e = corvanedb.PyMetadataEngine({str(tmp_path)!r})
        e.add_node("a", "Function", "a", "")
        e.save()
        size = len(open({str(tmp_path / SNAPSHOT)!r}, "rb").read())
        resource.setrlimit(resource.RLIMIT_FSIZE, (size + 10, size + 10))
        for i in range(1000):
            e.add_node(f"n{{i}}", "Function", "x" * 50, "")
        try:
            e.save()
        except OSError as err:
            print("failed", err)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "failed Failed to save snapshot:" in out.stdout, out.stderr
    e = corvanedb.PyMetadataEngine(str(tmp_path))
    assert e.snapshot_loaded() and e.get_stats()["nodes"] == 1


def test_sigkill_during_large_writes_never_loses_last_snapshot(tmp_path):
    code = textwrap.dedent(
        f"""
        import corvanedb, sys
        e = corvanedb.PyMetadataEngine({str(tmp_path)!r})
        for i in range(60000):
            e.add_node(f"m{{i % 50}}.py:f{{i}}", "Function", f"f{{i}}", f"m{{i % 50}}.py", docstring="d" * 40)
        round = 0
        while True:
            e.add_node("round", "Function", str(round), "")
            e.save()
            e.build()
            print(round, flush=True)
            round += 1
        """
    )
    for attempt in range(3):
        proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        proc.stdout.readline()  # at least one snapshot is complete
        time.sleep(0.05 + 0.1 * attempt)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        e = corvanedb.PyMetadataEngine(str(tmp_path))
        assert e.snapshot_loaded()
        assert e.get_stats()["nodes"] in (60001,)
        leftovers = [p for p in os.listdir(tmp_path) if p != SNAPSHOT]
        # A killed writer may leave its temporary file; it never replaces the snapshot.
        for p in leftovers:
            os.unlink(tmp_path / p)


def test_save_removes_temporaries_of_dead_writers_only(tmp_path):
    dead = subprocess.Popen([sys.executable, "-c", "pass"])
    dead.wait()
    orphan = tmp_path / f"{SNAPSHOT}.tmp.{dead.pid}.0"
    live = tmp_path / f"{SNAPSHOT}.tmp.1.0"  # pid 1 is always alive
    other = tmp_path / "unrelated.tmp.1.0"
    for p in (orphan, live, other):
        p.write_bytes(b"partial")
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    engine.save()
    assert not orphan.exists()
    assert live.exists() and other.exists()


def wait_for_writers(ws, timeout=30.0):
    """Background writers are done once no temporary file is left next to the snapshot."""
    deadline = time.time() + timeout
    while any(p.startswith(SNAPSHOT + ".tmp.") for p in os.listdir(ws)):
        assert time.time() < deadline, "a background writer never finished"
        time.sleep(0.01)


def test_opening_right_after_build_keeps_the_built_state(tmp_path):
    # The opening engine rewrites what it read; that must not land over build()'s newer
    # snapshot, nor make build()'s write in flight look older than it.
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    for i in range(20000):
        engine.add_node(f"m{i % 20}.py:f{i}", "Function", f"f{i}", f"m{i % 20}.py")
    engine.save()
    for trial in range(20):
        engine.add_node("round", "Function", str(trial), "")
        engine.build()
        corvanedb.PyMetadataEngine(str(tmp_path))
        wait_for_writers(tmp_path)
        assert corvanedb.PyMetadataEngine(str(tmp_path)).get_node_meta("round")["name"] == str(trial)


def test_save_in_one_process_survives_another_opening_the_workspace(tmp_path):
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    for i in range(20000):
        engine.add_node(f"m{i % 20}.py:f{i}", "Function", f"f{i}", f"m{i % 20}.py")
    engine.save()
    stop = tmp_path.parent / (tmp_path.name + ".stop")
    opener = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import os, corvanedb
        while not os.path.exists({str(stop)!r}):
            corvanedb.PyMetadataEngine({str(tmp_path)!r})
        """)], env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        for trial in range(10):
            engine.add_node("round", "Function", str(trial), "")
            engine.save()
            time.sleep(0.05)
    finally:
        stop.touch()
        assert opener.wait(timeout=60) == 0
    assert corvanedb.PyMetadataEngine(str(tmp_path)).get_node_meta("round")["name"] == "9"


def test_program_ending_right_after_build_persists_it(tmp_path):
    # Writes still in flight at interpreter exit are waited for.
    code = textwrap.dedent(f"""
        import sys, corvanedb
        e = corvanedb.PyMetadataEngine({str(tmp_path)!r})
        run = sys.argv[1]
        for i in range(2000):
            e.add_node(f"m.py:f{{i}}", "Function", run, "m.py", docstring="d" * 40)
        e.build()
        """)
    for run in range(20):
        out = subprocess.run([sys.executable, "-c", code, str(run)], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
        assert corvanedb.PyMetadataEngine(str(tmp_path)).get_node_meta("m.py:f0")["name"] == str(run)
        assert os.listdir(tmp_path) == [SNAPSHOT]


def _string(text):
    data = text.encode()
    return struct.pack("<Q", len(data)) + data


def _string_map(pairs):
    return struct.pack("<Q", len(pairs)) + b"".join(_string(k) + _string(v) for k, v in pairs)


def _identity_maps_and_edges(path):
    """id -> hash, hash -> id and the four edge sets of a snapshot file."""
    r = _Reader(path.read_bytes())
    r.pos = 5
    for _ in range(r.u64()):
        r.string()
        _record(r)
    for _ in range(2):
        for _ in range(r.u64()):
            r.string()
            r.strings()
    maps = [dict((r.string(), r.string()) for _ in range(r.u64())) for _ in range(2)]
    return maps[0], maps[1], [{(r.string(), r.string()) for _ in range(r.u64())} for _ in range(4)]


def test_restored_identities_that_are_not_each_ids_own_keep_their_meaning(tmp_path):
    ids = ["a", "b", "c", "d", "e"]
    first = corvanedb.PyMetadataEngine(str(tmp_path / "own"))
    for node_id in ids:
        first.add_node(node_id, "Function", node_id, "m.py")
    first.save()
    own = _identity_maps_and_edges(tmp_path / "own" / SNAPSHOT)[0]

    # "a" holds b's hash, "c" its own in upper case, "d" no hash at all; e's hash maps back to
    # an id that has none, c's only under the upper-case key; "ghost" has no hash.
    id_to_hash = [("a", own["b"]), ("b", own["b"]), ("c", own["c"].upper()), ("d", "zz"), ("e", own["e"])]
    hash_to_id = [(own["b"], "b"), (own["c"].upper(), "c"), (own["e"], "renamed")]
    execution = [("a", "e"), ("b", "c"), ("e", "b"), ("ghost", "b")]
    bare = b"".join(_string(i) + _string(i) + _string("Function") + _string(i) + _string("m.py") + b"\0" * 16
                    for i in ids)
    data = (b"CRVN\x03" + struct.pack("<Q", len(ids)) + bare + struct.pack("<Q", 0)
            + struct.pack("<Q", 1) + _string("m.py") + struct.pack("<Q", len(ids)) + b"".join(map(_string, ids))
            + _string_map(id_to_hash) + _string_map(hash_to_id)
            + struct.pack("<Q", 0) + _string_map(execution) + struct.pack("<Q", 0) + _string_map([("c", "e")]))
    ws = tmp_path / "odd"
    ws.mkdir()
    (ws / SNAPSHOT).write_bytes(data)
    engine = corvanedb.PyMetadataEngine(str(ws))

    # a and b share one graph node, which maps back to b; e's maps back to "renamed".
    assert engine.get_callees("a") == engine.get_callees("b") == ["renamed"]
    assert engine.get_callers("c") == ["b"] and engine.get_callees("c") == []
    assert engine.get_dependencies("c") == ["renamed"]
    assert sorted(engine.blast_radius("c")) == ["b", "renamed"]
    assert engine.get_callees("e") == ["b"]
    for query in (engine.get_callers, engine.blast_radius):
        with pytest.raises(ValueError, match="^Invalid hash$"):
            query("d")
        with pytest.raises(ValueError, match="^Unknown node_id: renamed$"):
            query("renamed")
    counts = {i: (m.get("calls_count"), m.get("callers_count"), m.get("blast_radius_score"))
              for i, m in ((i, engine.get_node_meta(i)) for i in ids)}
    assert counts == {"a": (2, 1, 1), "b": (2, 1, 1), "c": (0, 1, 2), "d": (None, None, None), "e": (1, 1, 1)}
    with pytest.raises(ValueError, match="^Invalid hash$"):
        engine.add_edge("d", "a")
    assert engine.add_edge("a", "ghost") is None

    # Written back exactly as read, the pair without a hashed end included.
    engine.save()
    saved_hashes, saved_back, edges = _identity_maps_and_edges(ws / SNAPSHOT)
    assert (saved_hashes, saved_back) == (dict(id_to_hash), dict(hash_to_id))
    assert edges[1] == set(execution)
    # Removing an id drops the back-mapping keyed by its stored hash, whichever id it names.
    engine.invalidate_file("m.py")
    engine.save()
    assert _identity_maps_and_edges(ws / SNAPSHOT)[:2] == ({}, {})
