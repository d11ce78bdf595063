"""Hostile input through the Python surface: deep JSON, huge strings, NUL bytes, lone
surrogates, damaged snapshots under a memory limit, out-of-range store views and odd
workspace paths. None of it may crash the interpreter or leave an object unusable."""
import os
import shutil
import struct
import subprocess
import sys
import textwrap

import pytest

import corvanedb

SNAPSHOT = ".corvane_snapshot.bin"
DEPTH = 1_000_000
DEEP_TEXTS = {
    "arrays": "[" * DEPTH + "]" * DEPTH,
    "objects": '{"a":' * DEPTH + "1" + "}" * DEPTH,
    "unclosed": '[{"related_model":' * DEPTH,
}
UNDER_ASAN = bool(os.environ.get("CORVANE_UNDER_ASAN"))


def project(engine, module_extra=None, class_extra=None, caller_extra=None, relations=None):
    """A two-file project whose JSON side data the test controls."""
    engine.add_node("a.py", "File", "a", "a.py", extra_json=module_extra)
    engine.add_node("a.py:Base", "Class", "Base", "a.py")
    engine.add_node("a.py:Base.run", "Function", "run", "a.py")
    engine.add_node("a.py:C", "Class", "C", "a.py", extra_json=class_extra, django_relations_json=relations)
    engine.add_node("a.py:C.run", "Function", "run", "a.py", calls=["super.run", "self.helper", "helper"],
                    extra_json=caller_extra)
    engine.add_node("b.py:helper", "Function", "helper", "b.py")
    engine.add_node("b.py:Order", "Class", "Order", "b.py")


def edges_of(engine):
    engine.build()
    return {i: (engine.get_callees(i), engine.get_dependencies(i)) for i in sorted(engine.get_all_metadata())}


def assert_usable(engine):
    engine.add_node("usable.py:probe", "Function", "probe", "usable.py")
    engine.add_edge("usable.py:probe", "usable.py:probe")
    engine.build()
    assert engine.contains("usable.py:probe")
    assert engine.get_callees("usable.py:probe") == ["usable.py:probe"]
    assert engine.search("probe")[0]["id"] == "usable.py:probe"
    engine.save()


@pytest.mark.parametrize("shape", sorted(DEEP_TEXTS))
@pytest.mark.parametrize("field", ["module_extra", "class_extra", "caller_extra", "relations"])
def test_deep_json_in_side_data_behaves_as_invalid_json(tmp_path, field, shape):
    # Resolution must treat text nested beyond the cap exactly like text that is not JSON.
    deep = corvanedb.PyMetadataEngine(str(tmp_path / "deep"))
    plain = corvanedb.PyMetadataEngine(str(tmp_path / "plain"))
    project(deep, **{field: DEEP_TEXTS[shape]})
    project(plain, **{field: "not json"})
    for e in (deep, plain):
        e.resolve_and_connect_calls("a.py:C.run", ["super.run", "self.helper", "helper"])
        e.resolve_and_connect_django("a.py:C", '[{"related_model": "Order"}]')
    assert edges_of(deep) == edges_of(plain)
    deep.repopulate_edges()
    plain.repopulate_edges()
    assert edges_of(deep) == edges_of(plain)
    [hit] = [h for h in deep.search("C") if h["id"] == "a.py:C"]
    assert "django_relations" not in hit
    assert_usable(deep)


@pytest.mark.parametrize("shape", sorted(DEEP_TEXTS))
def test_deep_json_str_of_django_relations_connects_nothing(engine, shape):
    project(engine)
    assert engine.resolve_and_connect_django("a.py:C", DEEP_TEXTS[shape]) == 0
    assert engine.resolve_and_connect_django("a.py:C", '[{"related_model": "Order"}]') == 1
    assert_usable(engine)


def test_json_nesting_cap_is_exactly_128(engine):
    def nested(depth):
        return "[" * (depth - 1) + '{"related_model":"Order"}' + "]" * (depth - 1)

    engine.add_node("a.py:at_cap", "Class", "at_cap", "a.py", django_relations_json=nested(128))
    engine.add_node("a.py:over_cap", "Class", "over_cap", "a.py", django_relations_json=nested(129))
    hits = {h["id"]: h for h in engine.search("cap")}
    assert hits["a.py:at_cap"]["django_relations"] == nested(128)
    assert "django_relations" not in hits["a.py:over_cap"]


def test_deep_extra_object_is_not_serialised_and_argument_text_is_kept(engine):
    deep = []
    for _ in range(100_000):
        deep = [deep]
    # json.dumps gives up (RecursionError): extra_json is absent, the call still succeeds.
    engine.add_node("x", "Function", "x", "", extra_json="{}", _extra=deep)
    assert "extra_json" not in engine.get_node_meta("x")
    # Deep text given directly is stored verbatim: nothing parses it on the way in.
    engine.add_node("y", "Function", "y", "", _extra=DEEP_TEXTS["arrays"])
    assert engine.get_node_meta("y")["extra_json"] == DEEP_TEXTS["arrays"]
    assert_usable(engine)


def test_strings_of_tens_of_megabytes(tmp_path):
    big = "n" * (24 << 20)
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    engine.add_node(big, "Function", big, "big.py", docstring=big, calls=[big, "x" + big])
    engine.add_node("big.py:other", "Function", "other", "big.py")
    engine.add_edge("big.py:other", big)
    assert engine.resolve_and_connect_calls("big.py:other", [big]) == 1
    engine.build()
    assert engine.get_callers(big) == ["big.py:other"]
    assert [h["id"] for h in engine.search(big)] == [big]
    assert engine.search("x" + big) == []
    engine.save()
    del engine
    restored = corvanedb.PyMetadataEngine(str(tmp_path))
    meta = restored.get_node_meta(big)
    assert meta["name"] == big and meta["calls"] == [big, "x" + big]
    assert restored.get_callers(big) == ["big.py:other"]
    assert_usable(restored)


def test_nul_bytes_round_trip_exactly(tmp_path):
    ids = ["a\0b.py:f", "\0", "m.py\0:g\0"]
    engine = corvanedb.PyMetadataEngine(str(tmp_path))
    for i in ids:
        engine.add_node(i, "Func\0tion", "na\0me", "fi\0le.py", signature="(\0)", calls=["c\0d", "\0"],
                        extra_json='{"k\\u0000": "\0"}')
    engine.add_node("a\0c.py:f", "Function", "na\0me", "fi\0le.py")
    engine.add_edge(ids[0], ids[1])
    engine.add_structural_edge(ids[1], ids[2])
    engine.build()
    assert engine.get_callees(ids[0]) == [ids[1]]
    assert not engine.contains("a")  # the id is not cut at the NUL
    assert sorted(h["id"] for h in engine.search("na\0me")) == sorted(ids + ["a\0c.py:f"])
    before = engine.get_all_metadata()
    engine.save()
    restored = corvanedb.PyMetadataEngine(str(tmp_path))
    assert restored.get_all_metadata() == before
    assert restored.get_node_meta(ids[2])["calls"] == ["c\0d", "\0"]
    assert restored.get_dependencies(ids[1]) == [ids[2]]


SURROGATE = "bad\ud800text"


@pytest.mark.parametrize("call", [
    lambda e: e.add_node(SURROGATE, "Function", "f", "m.py"),
    lambda e: e.add_node("m.py:f", "Function", "f", "m.py", calls=["ok", SURROGATE]),
    lambda e: e.add_node("m.py:f", "Function", "f", "m.py", returns=(SURROGATE,)),
    lambda e: e.add_node("m.py:f", "Function", "f", "m.py", django_relations_json=SURROGATE),
    lambda e: e.add_edge("m.py:a", SURROGATE),
    lambda e: e.add_structural_edge(SURROGATE, "m.py:a"),
    lambda e: e.resolve_and_connect_calls("m.py:a", ["b", SURROGATE]),
    lambda e: e.resolve_and_connect_django("m.py:a", '[{"related_model": "%s"}]' % SURROGATE),
    lambda e: e.invalidate_file("m\udfffpy"),
    lambda e: e.search(SURROGATE),
    lambda e: e.get_callers(SURROGATE),
    lambda e: e.blast_radius(SURROGATE, max_depth=2),
])
def test_lone_surrogates_raise_and_change_nothing(engine, call):
    engine.add_node("m.py:a", "Function", "a", "m.py", calls=["b"])
    engine.add_node("m.py:b", "Function", "b", "m.py")
    engine.resolve_and_connect_calls("m.py:a", ["b"])
    engine.build()
    before = engine.get_all_metadata()
    with pytest.raises(UnicodeEncodeError):
        call(engine)
    assert engine.get_all_metadata() == before
    assert engine.get_callees("m.py:a") == ["m.py:b"]
    assert_usable(engine)


def test_lone_surrogates_in_graph_engine_and_store_arguments(tmp_path):
    g = corvanedb.PyGraphEngine()
    with pytest.raises(UnicodeEncodeError):
        g.add_edge("a" * 63 + "\ud800", "b" * 64)
    with pytest.raises(UnicodeEncodeError):
        g.invalidate_nodes(["c" * 64, "\udc00" * 64])
    with pytest.raises(UnicodeEncodeError):
        corvanedb.PyMmapStore(str(tmp_path / "s\ud800"), 0)
    assert os.listdir(tmp_path) == []
    with pytest.raises(UnicodeEncodeError):
        corvanedb.PyMetadataEngine(str(tmp_path / "w\ud800"))
    g.add_edge("a" * 64, "b" * 64)
    g.build()
    assert g.blast_radius("b" * 64) == ["a" * 64]


def run_with_memory_limit(code, limit_mb=384, timeout=120):
    """Runs code in a fresh interpreter whose address space is capped."""
    prelude = textwrap.dedent(
        f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, ({limit_mb} << 20, {limit_mb} << 20))
        """
    )
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))


def oversized_snapshots():
    """Files whose counts or lengths claim far more than they hold, or than memory holds."""
    header = b"CRVN\x03"
    yield "node count 2^62", header + struct.pack("<Q", 1 << 62) + b"\0" * 4096
    yield "string length 2^63", header + struct.pack("<QQ", 1, 1 << 63) + b"x" * 4096
    yield "list count 2^40", header + struct.pack("<Q", 1) + (struct.pack("<Q", 1) + b"k") * 4 + b"\0" * 4 + \
        b"\x01" + struct.pack("<Q", 1 << 40) + b"\0" * 4096
    yield "edge count 2^61", header + struct.pack("<Q", 0) * 5 + struct.pack("<Q", 1 << 61) + b"\0" * 4096


def assert_restores_nothing_under_memory_limit(tmp_path, data):
    (tmp_path / SNAPSHOT).write_bytes(data)
    out = run_with_memory_limit(
        f"""
        import corvanedb
        e = corvanedb.PyMetadataEngine({str(tmp_path)!r})
        print(e.snapshot_loaded(), e.get_stats())
        e.add_node("a", "Function", "a", "")
        e.build()
        print(e.contains("a"))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["False {'nodes': 0, 'edges': 'not built'}", "True"]


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit breaks the ASan runtime")
@pytest.mark.parametrize("label,data", list(oversized_snapshots()), ids=lambda v: v if isinstance(v, str) else "")
def test_snapshot_claiming_more_than_it_holds_starts_empty_under_memory_limit(tmp_path, label, data):
    assert_restores_nothing_under_memory_limit(tmp_path, data)


@pytest.mark.skipif(UNDER_ASAN, reason="an address-space limit breaks the ASan runtime")
def test_out_of_memory_while_decoding_a_consistent_snapshot_is_fatal_and_keeps_the_file(tmp_path):
    # A consistent file, but its one node id is larger than what is left of the address space.
    # Starting empty would let the next save replace a snapshot that may be good, so the
    # constructor ends with PanicException and the file stays as it was.
    n = 200 << 20
    record = struct.pack("<4Q", 0, 0, 0, 0) + bytes(16)  # four empty strings, sixteen absent fields
    data = b"CRVN\x03" + struct.pack("<QQ", 1, n) + b"a" * n + record + struct.pack("<8Q", *[0] * 8)
    (tmp_path / SNAPSHOT).write_bytes(data)
    out = run_with_memory_limit(
        f"""
        import corvanedb
        try:
            corvanedb.PyMetadataEngine({str(tmp_path)!r})
        except BaseException as e:
            print(type(e).__name__, isinstance(e, Exception))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[0] == "PanicException False"
    assert (tmp_path / SNAPSHOT).read_bytes() == data


def test_store_views_beyond_the_mapping_raise_and_keep_the_store(tmp_path):
    store = corvanedb.PyMmapStore(str(tmp_path / "s.bin"), 4096)
    assert store.append_dummy_node() == (0, 96)
    for offset, length in [(0, 2**32 - 1), (4096, 1), (4000, 97), (2**64 - 1, 1), (2**64 - 96, 2**32 - 1),
                           (2**63, 0)]:
        with pytest.raises(ValueError):
            store.get_node_view(offset, length)
    assert bytes(store.get_node_view(4096, 0)) == b""
    assert bytes(store.get_node_view(4000, 96)) == b"\0" * 96
    assert store.append_dummy_node() == (96, 96)
    assert bytes(store.get_node_view(0, 96)) == bytes(store.get_node_view(96, 96))


def test_store_of_impossible_size_is_an_os_error(tmp_path):
    with pytest.raises(OSError, match=r"\(os error \d+\)$"):
        corvanedb.PyMmapStore(str(tmp_path / "s.bin"), 2**63)
    with pytest.raises(OSError, match=r"\(os error \d+\)$"):
        corvanedb.PyMmapStore(str(tmp_path), 0)  # a directory
    store = corvanedb.PyMmapStore(str(tmp_path / "t.bin"), 0)
    assert store.append_dummy_node() == (0, 96)


def test_workspace_under_a_regular_file(tmp_path):
    (tmp_path / "plain").write_text("x")
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "plain" / "ws"))
    assert not engine.snapshot_loaded()
    engine.add_node("a", "Function", "a", "")
    with pytest.raises(OSError, match=r"^Failed to save snapshot: .*\(os error 20\)$"):
        engine.save()
    engine.build()  # only logged
    assert engine.get_stats() == {"nodes": 1, "edges": "CSR compiled"}
    assert (tmp_path / "plain").read_text() == "x"


def test_workspace_symlinks(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (tmp_path / "link").symlink_to(real)
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "link"))
    engine.add_node("a", "Function", "a", "")
    engine.save()
    assert (real / SNAPSHOT).is_file()
    assert corvanedb.PyMetadataEngine(str(real)).contains("a")

    # A link loop and a dangling link: construction starts empty, saving fails cleanly.
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    for name in ("loop", "dangling"):
        e = corvanedb.PyMetadataEngine(str(tmp_path / name))
        assert not e.snapshot_loaded()
        e.add_node("a", "Function", "a", "")
        with pytest.raises(OSError, match=r"^Failed to save snapshot: "):
            e.save()
        assert_usable_in_memory(e)
    assert not (tmp_path / "nowhere").exists()


def assert_usable_in_memory(engine):
    engine.add_node("m.py:p", "Function", "p", "m.py")
    engine.build()
    assert engine.get_callers("m.py:p") == []


def test_snapshot_that_is_a_symlink_is_replaced_not_written_through(tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    ws = tmp_path / "ws"
    ws.mkdir()
    (ws / SNAPSHOT).symlink_to(victim)
    engine = corvanedb.PyMetadataEngine(str(ws))
    assert not engine.snapshot_loaded()  # "precious" is no snapshot
    engine.add_node("a", "Function", "a", "")
    engine.save()
    assert victim.read_bytes() == b"precious"
    assert not (ws / SNAPSHOT).is_symlink()
    assert corvanedb.PyMetadataEngine(str(ws)).contains("a")


def test_snapshot_path_that_is_a_fifo_or_device_does_not_block(tmp_path):
    os.mkfifo(tmp_path / SNAPSHOT)
    other = tmp_path / "dev"
    other.mkdir()
    (other / SNAPSHOT).symlink_to("/dev/zero")
    code = f"""
        import corvanedb
        for ws in ({str(tmp_path)!r}, {str(other)!r}):
            e = corvanedb.PyMetadataEngine(ws)
            print(e.snapshot_loaded())
        """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0 and out.stdout.split() == ["False", "False"], out.stderr


def run_in_read_only_dir(directory, code):
    """Runs code in a fresh interpreter that cannot write to directory: as root (which
    ignores permission bits) through a read-only bind mount in a private mount namespace."""
    argv = [sys.executable, "-c", textwrap.dedent(code)]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if os.geteuid() != 0:
        os.chmod(directory, 0o555)
        try:
            return subprocess.run(argv, capture_output=True, text=True, timeout=60, env=env)
        finally:
            os.chmod(directory, 0o755)
    if not shutil.which("unshare"):
        pytest.skip("needs unshare(1) to make a read-only directory as root")
    script = 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" && shift && exec "$@"'
    out = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", str(directory)]
                         + argv, capture_output=True, text=True, timeout=60, env=env)
    if "mount:" in out.stderr or "unshare:" in out.stderr:
        pytest.skip("cannot make a read-only bind mount here: " + out.stderr.strip())
    return out


def test_unwritable_workspace(tmp_path):
    ws = tmp_path / "ws"
    seed = corvanedb.PyMetadataEngine(str(ws))
    seed.add_node("kept", "Function", "kept", "")
    seed.save()
    good = (ws / SNAPSHOT).read_bytes()
    out = run_in_read_only_dir(ws, f"""
        import corvanedb
        e = corvanedb.PyMetadataEngine({str(ws)!r})
        print(e.snapshot_loaded(), e.contains("kept"))
        e.add_node("new", "Function", "new", "")
        for call in (e.save, e.rebuild_internal):
            try:
                call()
            except OSError as err:
                print(str(err).split(":")[0])
        e.build()
        print(e.get_stats())
        """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["True True", "Failed to save snapshot", "Failed to save snapshot",
                                       "{'nodes': 2, 'edges': 'CSR compiled'}"]
    assert (ws / SNAPSHOT).read_bytes() == good
    assert os.listdir(ws) == [SNAPSHOT]


def test_python_code_run_by_conversion_may_call_back_in(engine):
    # Conversions run before the engine lock is taken, so an argument whose conversion calls
    # the same engine does not deadlock or see half-made state.
    class Line:
        def __index__(self):
            engine.add_node("m.py:inner", "Function", "inner", "m.py")
            engine.build()
            return 7

    class Calls:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            if i:
                raise IndexError(i)
            engine.add_edge("m.py:inner", "m.py:inner")
            return "inner"

    engine.add_node("m.py:outer", "Function", "outer", "m.py", lines_start=Line(), lines_end=9, calls=Calls())
    assert engine.get_node_meta("m.py:outer")["lines_count"] == 3
    assert engine.get_node_meta("m.py:outer")["calls"] == ["inner"]
    assert engine.resolve_and_connect_calls("m.py:outer", ["inner"]) == 1
    assert_usable(engine)


def test_finalizer_run_while_results_are_made_can_call_the_same_engine(engine):
    # Building result objects can run the garbage collector, and a finalizer may call the
    # engine that is answering. Results are made after the engine lock is released, so the
    # call goes through; it used to find the lock held and be refused.
    import gc

    outcomes = []

    class Noisy:
        def __del__(self):
            try:
                engine.add_node("late", "Function", "late", "")
                outcomes.append("added")
            except RuntimeError:
                outcomes.append("refused")

    for i in range(3000):
        engine.add_node(f"m.py:f{i}", "Function", f"f{i}", "m.py", calls=["a", "b"])
    old = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        for _ in range(20):
            for _ in range(20):
                a, b = Noisy(), Noisy()
                a.other, b.other = b, a  # only the cycle collector frees them
            del a, b
            assert len(engine.get_all_metadata()) >= 3000
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert outcomes and set(outcomes) == {"added"}
    assert_usable(engine)
