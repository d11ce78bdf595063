"""add_node rate against a plain Python dict-of-dicts insert of the same records, with the
cyclic garbage collector running and without it; the time to free each table afterwards is
shown apart.

    PYTHONPATH=build/test/python python3 bench/bench_add_node.py [N]
"""
import gc
import sys
import tempfile
import time

import corvanedb


def records(n):
    out = []
    for i in range(n):
        f = f"pkg/mod{i % 500}.py"
        out.append(dict(node_id=f"{f}:Cls{i % 37}.method{i}", node_type="Function", name=f"method{i}", file_path=f,
                        signature=f"def method{i}(self, a, b)", docstring="Does a thing.", lines_start=i % 900,
                        lines_end=i % 900 + 12, returns=["int"], calls=["self.helper", "len", "os.path.join"],
                        is_async=False, is_generator=False, param_count=3, is_exported=True))
    return out


def best_of(fn, repeat=3):
    """The best insert time and the best teardown time of `repeat` runs of fn, which returns
    (seconds inserting, seconds freeing what it built)."""
    runs = [fn() for _ in range(repeat)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    recs = records(n)

    def engine_run():
        with tempfile.TemporaryDirectory() as ws:
            e = corvanedb.PyMetadataEngine(ws)
            add = e.add_node
            t = time.perf_counter()
            for r in recs:
                add(**r)
            inserted = time.perf_counter()
            del e, add
            return inserted - t, time.perf_counter() - inserted

    def dict_run():
        table = {}
        t = time.perf_counter()
        for r in recs:
            table[r["node_id"]] = dict(r)
        inserted = time.perf_counter()
        del table
        return inserted - t, time.perf_counter() - inserted

    print(f"records: {n}")
    # The dicts are objects the cyclic collector tracks, so with it running the dict side
    # also pays for collections over a growing heap (add_node makes no such object): both
    # ways are shown.
    for collector in ("on", "off"):
        (gc.enable if collector == "on" else gc.disable)()
        (t_engine, free_engine), (t_dict, free_dict) = best_of(engine_run), best_of(dict_run)
        gc.enable()
        print(f"-- cyclic garbage collector {collector}")
        print(f"add_node:         {n / t_engine:12,.0f} records/s  ({t_engine * 1e9 / n:7.0f} ns each)")
        print(f"dict-of-dicts:    {n / t_dict:12,.0f} records/s  ({t_dict * 1e9 / n:7.0f} ns each)")
        print(f"ratio add_node / dict insert: {t_engine / t_dict:.2f}x the cost")
        print(f"freeing the table afterwards: engine {free_engine * 1e9 / n:.0f} ns per record, "
              f"dict-of-dicts {free_dict * 1e9 / n:.0f} ns; inserts and freeing together "
              f"{(t_engine + free_engine) / (t_dict + free_dict):.2f}x")


if __name__ == "__main__":
    main()
