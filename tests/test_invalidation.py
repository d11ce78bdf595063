import random

import corvanedb


def edge_view(engine, ids):
    """Every query answer for every id, as sets (builder order may differ between engines)."""
    out = {}
    for i in ids:
        if engine.contains(i):
            out[i] = (
                sorted(engine.get_callees(i)), sorted(engine.get_callers(i)),
                sorted(engine.get_dependencies(i)), sorted(engine.get_dependents(i)),
                engine.get_node_meta(i),
            )
    return out


def test_invalidate_file_removes_everything_of_the_file(engine):
    engine.add_node("a.py:f", "Function", "f", "a.py")
    engine.add_node("a.py:g", "Function", "g", "a.py")
    engine.add_node("b.py:h", "Function", "h", "b.py")
    engine.add_edge("b.py:h", "a.py:f")
    engine.add_structural_edge("a.py:g", "b.py:h")
    engine.build()
    assert engine.invalidate_file("a.py") == 2
    assert engine.invalidate_file("a.py") == 0
    assert engine.invalidate_file("never.py") == 0
    assert not engine.contains("a.py:f")
    assert engine.search("f") == []
    # Queries answer from the last compile; the removed node is left out of answers.
    assert engine.get_callees("b.py:h") == []
    engine.build()
    assert engine.get_dependents("b.py:h") == []


def test_repopulate_drops_calls_not_in_calls_field(engine):
    engine.add_node("x.js:a", "Function", "a", "x.js", calls=["b"])
    engine.add_node("x.js:b", "Function", "b", "x.js")
    engine.add_node("x.js:c", "Function", "c", "x.js", calls=[])
    assert engine.resolve_and_connect_calls("x.js:a", ["c"]) == 1
    engine.build()
    assert engine.get_callees("x.js:a") == ["x.js:c"]
    engine.repopulate_edges()
    engine.build()
    assert engine.get_callees("x.js:a") == ["x.js:b"]
    assert engine.get_callees("x.js:c") == []
    engine.repopulate_edges()
    engine.build()
    assert engine.get_callees("x.js:a") == ["x.js:b"]


def make_project(rng, nfiles, version):
    """Records of a small random project: (file, [(id, name, calls)])."""
    files = {}
    for f in range(nfiles):
        path = f"pkg/m{f}.py"
        defs = []
        for d in range(rng.randint(1, 5)):
            name = f"fn{rng.randint(0, 8)}_{version if rng.random() < 0.2 else 0}"
            calls = [f"fn{rng.randint(0, 8)}_0" for _ in range(rng.randint(0, 4))]
            defs.append((f"{path}:{name}", name, calls))
        files[path] = defs
    return files


def feed(engine, files):
    for path, defs in files.items():
        engine.add_node(path, "Module", path, path)
        for node_id, name, calls in defs:
            engine.add_node(node_id, "Function", name, path, calls=calls)


def test_refresh_cycle_equals_fresh_engine(tmp_path):
    rng = random.Random(7)
    files = make_project(rng, 6, 0)
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "inc"))
    feed(engine, files)
    engine.repopulate_edges()
    engine.build()
    for step in range(1, 8):
        changed = rng.choice(sorted(files))
        new = make_project(rng, 1, step)["pkg/m0.py"]
        new = [(i.replace("pkg/m0.py", changed), n, c) for i, n, c in new]
        if rng.random() < 0.2:
            del files[changed]
        else:
            files[changed] = new
        engine.invalidate_file(changed)
        if changed in files:
            feed(engine, {changed: files[changed]})
        engine.repopulate_edges()
        engine.build()

        fresh = corvanedb.PyMetadataEngine(str(tmp_path / f"fresh{step}"))
        feed(fresh, files)
        fresh.repopulate_edges()
        fresh.build()
        ids = [i for defs in files.values() for i, _, _ in defs] + list(files)
        assert edge_view(engine, ids) == edge_view(fresh, ids)
