"""The refresh cycle through the Python surface: an engine refreshed file by file answers
every graph query like a new engine given the final files at once."""

import json
import random

import corvanedb

FILES = ["app/a.py", "app/b.py", "lib/c.py", "lib/pkg/__init__.py", "web/x.js"]
NAMES = ["run", "helper", "compute", "get", "main"]
CALLS = ["run", "helper", "compute", "get", "self.save", "m.helper", "Repo.get", "client.get", "print", "x"]


def random_file(rng, path):
    """add_node keyword dicts for one file: a module node with imports, a class, functions."""
    imports = {}
    for local in ("m", "helper", "Repo"):
        if rng.random() < 0.5:
            other = rng.choice(FILES)
            imports[local] = ({"module": other, "kind": "module"} if local == "m"
                              else {"module": other, "symbol": local if local != "m" else "run", "kind": "symbol"})
    extra = {"python_import_bindings": {"": imports},
             "python_receiver_types": {"": {"client": rng.choice(["Repo", "Svc"])}}}
    nodes = [dict(node_id=path, node_type="File", name=path, file_path=path,
                  extra_json=json.dumps(extra) if rng.random() < 0.8 else None)]
    cls = rng.choice(["Repo", "Svc"])
    nodes.append(dict(node_id=f"{path}:{cls}", node_type="Class", name=cls, file_path=path,
                      extra_json=json.dumps({"base_classes": [rng.choice(["Repo", "Svc"])]})))
    for method in rng.sample(["save", "get"], rng.randint(0, 2)):
        nodes.append(dict(node_id=f"{path}:{cls}.{method}", node_type="Function", name=method, file_path=path,
                          calls=rng.sample(CALLS, 2)))
    for name in rng.sample(NAMES, rng.randint(1, 3)):
        nodes.append(dict(node_id=f"{path}:{name}", node_type="Function", name=name, file_path=path,
                          calls=rng.sample(CALLS, rng.randint(0, 4))))
    return nodes


def answers(engine, ids):
    out = {}
    for i in sorted(ids):
        out[i] = (sorted(engine.get_callees(i)), sorted(engine.get_callers(i)),
                  sorted(engine.get_dependencies(i)), sorted(engine.get_dependents(i)))
    return out


def test_file_by_file_refresh_matches_a_new_engine(tmp_path):
    rng = random.Random(7)
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "live"))
    files = {}
    for step in range(150):
        path = rng.choice(FILES)
        engine.invalidate_file(path)
        if rng.random() < 0.15:
            files.pop(path, None)
        else:
            files[path] = random_file(rng, path)
            for node in files[path]:
                engine.add_node(**node)
        if rng.random() < 0.2:
            # A pair for a name outside `calls`: the next refresh drops it.
            engine.resolve_and_connect_calls(f"{path}:main", ["compute"])
        engine.repopulate_edges()
        engine.build()

        fresh = corvanedb.PyMetadataEngine(str(tmp_path / f"fresh{step}"))
        for nodes in files.values():
            for node in nodes:
                fresh.add_node(**node)
        fresh.repopulate_edges()
        fresh.build()
        ids = [n["node_id"] for nodes in files.values() for n in nodes]
        assert answers(engine, ids) == answers(fresh, ids), f"step {step}"
