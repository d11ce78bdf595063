"""Load: several Python threads mixing queries, mutations, builds and saves on one engine
while detached snapshot writers run and the garbage collector keeps running finalizers, for
a bounded time. No crash, no deadlock, no error, each writer's files hold exactly what it
last wrote, and a final save restores the final state. CORVANE_LOAD_SECONDS sets the
duration (default 3)."""
import contextlib
import gc
import os
import random
import sys
import threading
import time

import corvanedb

SECONDS = float(os.environ.get("CORVANE_LOAD_SECONDS", "3"))
WRITERS = 3
READERS = 3
FILES_PER_WRITER = 4


class Garbage:
    """A reference cycle, so only the collector frees it. Its finalizer runs a little Python
    code: enough for the interpreter to hand over to another thread."""

    def __init__(self):
        self.cycle = self

    def __del__(self):
        sum(range(50))


@contextlib.contextmanager
def busy_collector():
    """A collection every few allocations, and a thread switch at almost every chance."""
    threshold, interval = gc.get_threshold(), sys.getswitchinterval()
    gc.set_threshold(50, 5, 5)
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        gc.set_threshold(*threshold)
        sys.setswitchinterval(interval)
        gc.collect()


class Worker(threading.Thread):
    """Calls step() until the deadline, leaving finalizer garbage behind each time. What a
    step raises ends the thread and is kept for the test to report."""

    def __init__(self, name, deadline):
        super().__init__(name=name)
        self.deadline = deadline
        self.ops = 0
        self.error = None

    def run(self):
        try:
            while time.time() < self.deadline:
                self.step()
                Garbage()
                self.ops += 1
        except BaseException as err:
            self.error = err

    def step(self):
        raise NotImplementedError


def run_workers(workers, seconds):
    for t in workers:
        t.start()
    for t in workers:
        t.join(timeout=seconds + 60)
    assert not any(t.is_alive() for t in workers), "a thread is stuck"
    assert [(t.name, repr(t.error)) for t in workers if t.error] == []
    assert all(t.ops > 0 for t in workers)


class Writer(Worker):
    """Owns its files; keeps the model of the nodes it left in them."""

    def __init__(self, engine, index, deadline):
        super().__init__(f"writer-{index}", deadline)
        self.engine, self.index = engine, index
        self.rng = random.Random(index)
        self.model = {}  # file -> {node id: name}

    def file(self, k):
        return f"w{self.index}/mod{k}.py"

    def step(self):
        e, rng = self.engine, self.rng
        f = self.file(rng.randrange(FILES_PER_WRITER))
        action = rng.random()
        if action < 0.03:
            e.invalidate_file(f)
            self.model.pop(f, None)
            return
        nodes = self.model.setdefault(f, {})
        name = f"fn{rng.randrange(50)}"
        node_id = f"{f}:{name}"
        target = f"{self.file(rng.randrange(FILES_PER_WRITER))}:fn{rng.randrange(50)}"
        e.add_node(node_id, "Function", name, f, calls=[f"fn{rng.randrange(50)}"], docstring=str(self.ops))
        nodes[node_id] = str(self.ops)
        e.add_edge(node_id, target)
        e.resolve_and_connect_calls(node_id, [f"fn{rng.randrange(50)}", "self.x"])
        if action > 0.95:
            e.add_structural_edge(node_id, f)


class Reader(Worker):
    def __init__(self, engine, index, deadline, ids):
        super().__init__(f"reader-{index}", deadline)
        self.engine, self.ids = engine, ids
        self.rng = random.Random(100 + index)
        self.expected_errors = 0

    def step(self):
        e, rng = self.engine, self.rng
        queries = (e.get_callers, e.get_callees, e.get_dependents, e.get_dependencies,
                   lambda i: e.blast_radius(i, max_depth=3), lambda i: e.get_recursive_callees(i))
        node_id = rng.choice(self.ids)
        try:
            rng.choice(queries)(node_id)
        except ValueError as err:  # not (yet) in the compiled graph
            assert str(err).startswith("Unknown node_id: ")
            self.expected_errors += 1
        except RuntimeError as err:
            assert str(err) == "Graph must be built first"
            self.expected_errors += 1
        e.get_node_meta(node_id)
        e.contains(node_id)
        if self.ops % 50 == 0:
            e.search("fn1")
            e.get_stats()
        if self.ops % 50 == 0:
            e.get_all_metadata()


class Builder(Worker):
    def __init__(self, engine, deadline):
        super().__init__("builder", deadline)
        self.engine = engine

    def step(self):
        e = self.engine
        steps = (e.build, e.rebuild, e.save, e.rebuild_internal, e.repopulate_edges, e.close, e.clear_generated_edges)
        steps[self.ops % len(steps)]()
        time.sleep(0.005)


class Bystanders(Worker):
    """The two other classes, busy at the same time."""

    def __init__(self, path, deadline):
        super().__init__("bystanders", deadline)
        self.store = corvanedb.PyMmapStore(path, 0)
        self.graph = corvanedb.PyGraphEngine()
        self.hexes = [f"{i:064x}" for i in range(200)]
        self.records = []

    def step(self):
        store, hexes = self.store, self.hexes
        self.records.append(store.append_dummy_node())
        off, length = self.records[self.ops % len(self.records)]
        assert bytes(store.get_node_view(off, length))[:16] == b"python_test_node"
        if self.ops % 100 == 99:
            self.graph.build()
            assert isinstance(self.graph.blast_radius(hexes[0]), list)
            self.graph = corvanedb.PyGraphEngine()
        else:
            self.graph.add_edge(hexes[self.ops % 200], hexes[(self.ops * 7) % 200])


def test_mixed_load_then_final_snapshot_restores_final_state(tmp_path):
    ws = str(tmp_path / "ws")
    engine = corvanedb.PyMetadataEngine(ws)
    deadline = time.time() + SECONDS
    ids = [f"w{w}/mod{k}.py:fn{n}" for w in range(WRITERS) for k in range(FILES_PER_WRITER) for n in range(50)]
    writers = [Writer(engine, i, deadline) for i in range(WRITERS)]
    readers = [Reader(engine, i, deadline, ids) for i in range(READERS)]
    threads = writers + readers + [Builder(engine, deadline), Bystanders(str(tmp_path / "store.bin"), deadline)]
    with busy_collector():
        run_workers(threads, SECONDS)

    everything = engine.get_all_metadata()
    for w in writers:
        for k in range(FILES_PER_WRITER):
            f = w.file(k)
            stored = {i: m["docstring"] for i, m in everything.items() if m["file_path"] == f}
            assert stored == w.model.get(f, {}), f

    engine.rebuild_internal()
    final = engine.get_all_metadata()
    answers = {i: (sorted(engine.get_callees(i)), sorted(engine.get_dependencies(i)), sorted(engine.blast_radius(i)))
               for i in final}
    engine.save()
    # Detached writers of earlier builds may still be running; none may replace the final file.
    time.sleep(0.5)
    restored = corvanedb.PyMetadataEngine(ws)
    assert restored.get_all_metadata() == final
    assert {i: (sorted(restored.get_callees(i)), sorted(restored.get_dependencies(i)), sorted(restored.blast_radius(i)))
            for i in final} == answers
    total = sum(t.ops for t in threads)
    print(f"{len(threads)} threads, {total} operations in {SECONDS:.1f} s, {len(final)} nodes at the end")


def test_finalizers_run_by_result_objects_never_make_another_thread_meet_a_held_lock(tmp_path):
    # Every object of each class is used from two threads: one builds large results (where
    # collections happen), the other mutates. A finalizer that lets the other thread in
    # while results are made must not find the object's lock held.
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    for i in range(400):
        engine.add_node(f"m{i % 8}.py:f{i}", "Function", f"f{i}", f"m{i % 8}.py", calls=[f"f{i + 1}"],
                        docstring="d", lines_start=1, lines_end=2, returns=["int"])
        engine.add_edge(f"m{i % 8}.py:f{i}", f"m{(i + 1) % 8}.py:f{i + 1}")
    engine.rebuild_internal()
    hub = "m0.py:f0"
    keys = [f"{i:064x}" for i in range(300)]
    graph = corvanedb.PyGraphEngine()
    for i in range(1, 300):
        graph.add_edge(keys[i], keys[i - 1])
    graph.build()
    store = corvanedb.PyMmapStore(str(tmp_path / "store.bin"), 0)
    offset, length = store.append_dummy_node()

    class Queries(Worker):
        def step(self):
            assert len(engine.get_all_metadata()) >= 400
            assert engine.get_node_meta(hub)["returns"] == ["int"]
            for query in (engine.blast_radius, engine.get_recursive_callees, engine.get_dependents,
                          engine.get_dependencies, engine.get_callers, engine.get_callees):
                query(hub)
            engine.search("f1")
            engine.get_stats()
            assert len(graph.blast_radius(keys[0])) == 299
            store.get_node_view(offset, length)

    class Mutations(Worker):
        def step(self):
            n = self.ops
            engine.add_node(f"w.py:g{n % 50}", "Function", f"g{n % 50}", "w.py", calls=["f1"])
            engine.add_edge(f"w.py:g{n % 50}", hub)
            engine.resolve_and_connect_calls(f"w.py:g{n % 50}", ["f1"])
            if n % 20 == 0:
                engine.invalidate_file("w.py")
            if n % 200 == 0:
                engine.rebuild_internal()
            if n % 50 == 0:
                store.append_dummy_node()
            try:
                graph.add_edge(keys[1], keys[0])
            except RuntimeError as err:
                assert str(err) == "Graph is already built"

    deadline = time.time() + SECONDS
    workers = [Queries("queries", deadline), Mutations("mutations", deadline)]
    with busy_collector():
        run_workers(workers, SECONDS)
