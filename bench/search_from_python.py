"""Times PyMetadataEngine.search from Python on the records that engine_caches_records.py
writes (the standard library with its tests), for two builds of the module side by side:
each build runs in its own process, alternately, and the ratio of their medians is printed.

    PYTHONPATH=src/python python3 bench/engine_caches_records.py /tmp/stdlib_records.jsonl
    python3 bench/search_from_python.py /tmp/stdlib_records.jsonl BASE_MODULE_DIR NEW_MODULE_DIR [--rounds 3]

A module dir is the folder that holds the built corvanedb extension (build/<dir>/python).
Process CPU time; the keywords are the same for both builds: names drawn at random from the
table, their first three letters, and a few fixed words (one matches nothing).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time


def keywords_of(names: list[str]) -> list[str]:
    rng = random.Random(7)
    names = sorted(names)
    picked = [rng.choice(names) for _ in range(150)]
    picked += [rng.choice(names)[:3] for _ in range(50)]
    return picked + ["test", "os", "parse", "Path", "__init__", "zzzz_nothing", "qx"]


def measure(records: str) -> None:
    import corvanedb

    with tempfile.TemporaryDirectory() as workspace:
        engine = corvanedb.PyMetadataEngine(workspace)
        names = []
        with open(records, encoding="utf-8") as f:
            for line in f:
                row = json.loads(line)
                if "node" in row:
                    engine.add_node(**row["node"])
                    names.append(row["node"]["name"])
        times, hits = [], 0
        for k in keywords_of(names):
            t0 = time.process_time()
            found = engine.search(k)
            times.append(time.process_time() - t0)
            hits += len(found)
            del found
        nothing = min(_timed(engine.search, "zzzz_nothing") for _ in range(20))
        print(json.dumps({"mean": statistics.fmean(times), "median": statistics.median(times), "hits": hits,
                          "keywords": len(times), "nothing": nothing}))


def _timed(f, arg) -> float:
    t0 = time.process_time()
    f(arg)
    return time.process_time() - t0


def run(records: str, module_dir: str) -> dict:
    env = dict(os.environ, PYTHONPATH=module_dir)
    out = subprocess.run([sys.executable, __file__, "--measure", records], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("records")
    ap.add_argument("base", nargs="?")
    ap.add_argument("new", nargs="?")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--measure", action="store_true")
    a = ap.parse_args()
    if a.measure:
        measure(a.records)
        return
    results = {"base": [], "new": []}
    for _ in range(a.rounds):
        for which, path in (("base", a.base), ("new", a.new)):
            results[which].append(run(a.records, path))
    base, new = results["base"], results["new"]
    assert base[0]["hits"] == new[0]["hits"], "the two builds found different numbers of hits"
    print(f"search from Python, {base[0]['keywords']} keywords, {base[0]['hits']} hits; best of {a.rounds} rounds (CPU)")
    for key, label in (("mean", "mean per keyword"), ("median", "median per keyword"), ("nothing", "no match")):
        b = min(r[key] for r in base)
        n = min(r[key] for r in new)
        print(f"  {label:20} base {1e3 * b:8.3f} ms   new {1e3 * n:8.3f} ms   {b / n:5.2f}x")


if __name__ == "__main__":
    main()
