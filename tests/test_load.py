"""Load: several Python threads mixing queries, mutations, builds and saves on one engine
while detached snapshot writers run, for a bounded time. No crash, no deadlock, each
writer's files hold exactly what it last wrote, and a final save restores the final state.
CORVANE_LOAD_SECONDS sets the duration (default 3)."""
import os
import random
import threading
import time

import corvanedb

SECONDS = float(os.environ.get("CORVANE_LOAD_SECONDS", "3"))
WRITERS = 3
READERS = 3
FILES_PER_WRITER = 4


class Writer(threading.Thread):
    """Owns its files; keeps the model of the nodes it left in them."""

    def __init__(self, engine, index, deadline):
        super().__init__(name=f"writer-{index}")
        self.engine, self.index, self.deadline = engine, index, deadline
        self.rng = random.Random(index)
        self.model = {}  # file -> {node id: name}
        self.ops = 0

    def file(self, k):
        return f"w{self.index}/mod{k}.py"

    def run(self):
        e, rng = self.engine, self.rng
        while time.time() < self.deadline:
            f = self.file(rng.randrange(FILES_PER_WRITER))
            action = rng.random()
            if action < 0.03:
                e.invalidate_file(f)
                self.model.pop(f, None)
            else:
                nodes = self.model.setdefault(f, {})
                name = f"fn{rng.randrange(50)}"
                node_id = f"{f}:{name}"
                target = f"{self.file(rng.randrange(FILES_PER_WRITER))}:fn{rng.randrange(50)}"
                e.add_node(node_id, "Function", name, f, calls=[f"fn{rng.randrange(50)}"],
                           docstring=str(self.ops))
                nodes[node_id] = str(self.ops)
                e.add_edge(node_id, target)
                e.resolve_and_connect_calls(node_id, [f"fn{rng.randrange(50)}", "self.x"])
                if action > 0.95:
                    e.add_structural_edge(node_id, f)
            self.ops += 1


class Reader(threading.Thread):
    def __init__(self, engine, index, deadline, ids):
        super().__init__(name=f"reader-{index}")
        self.engine, self.deadline, self.ids = engine, deadline, ids
        self.rng = random.Random(100 + index)
        self.ops = 0
        self.expected_errors = 0

    def run(self):
        e, rng = self.engine, self.rng
        queries = (e.get_callers, e.get_callees, e.get_dependents, e.get_dependencies,
                   lambda i: e.blast_radius(i, max_depth=3), lambda i: e.get_recursive_callees(i))
        while time.time() < self.deadline:
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
            if self.ops % 500 == 0:
                e.get_all_metadata()
            self.ops += 1


class Builder(threading.Thread):
    def __init__(self, engine, deadline):
        super().__init__(name="builder")
        self.engine, self.deadline = engine, deadline
        self.ops = 0

    def run(self):
        e = self.engine
        steps = (e.build, e.rebuild, e.save, e.rebuild_internal, e.repopulate_edges, e.close, e.clear_generated_edges)
        while time.time() < self.deadline:
            steps[self.ops % len(steps)]()
            self.ops += 1
            time.sleep(0.005)


class Bystanders(threading.Thread):
    """The two other classes, busy at the same time."""

    def __init__(self, path, deadline):
        super().__init__(name="bystanders")
        self.path, self.deadline = path, deadline
        self.ops = 0

    def run(self):
        store = corvanedb.PyMmapStore(self.path, 0)
        graph = corvanedb.PyGraphEngine()
        hexes = [f"{i:064x}" for i in range(200)]
        records = []
        while time.time() < self.deadline:
            records.append(store.append_dummy_node())
            off, length = records[self.ops % len(records)]
            assert bytes(store.get_node_view(off, length))[:16] == b"python_test_node"
            if graph_built := self.ops % 100 == 99:
                graph.build()
                assert isinstance(graph.blast_radius(hexes[0]), list)
                graph = corvanedb.PyGraphEngine()
            if not graph_built:
                graph.add_edge(hexes[self.ops % 200], hexes[(self.ops * 7) % 200])
            self.ops += 1


def test_mixed_load_then_final_snapshot_restores_final_state(tmp_path):
    ws = str(tmp_path / "ws")
    engine = corvanedb.PyMetadataEngine(ws)
    deadline = time.time() + SECONDS
    ids = [f"w{w}/mod{k}.py:fn{n}" for w in range(WRITERS) for k in range(FILES_PER_WRITER) for n in range(50)]
    writers = [Writer(engine, i, deadline) for i in range(WRITERS)]
    readers = [Reader(engine, i, deadline, ids) for i in range(READERS)]
    builder = Builder(engine, deadline)
    bystanders = Bystanders(str(tmp_path / "store.bin"), deadline)
    threads = writers + readers + [builder, bystanders]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=SECONDS + 60)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert all(t.ops > 0 for t in threads)

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
