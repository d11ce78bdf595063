"""The engine's phases, each timed on its own: add_node, edge feeding, resolution, the compile
step, per-call queries, the snapshot (save, restore, encode/decode against pickle and the
disk's own write speed) and the refresh cycle for one changed file."""

from __future__ import annotations

import json
import os
import pickle
import shutil
import subprocess
import tempfile
import time

from .common import best_of, median_call_ns, timed

SNAPSHOT_NAME = ".corvane_snapshot.bin"


class Workspace:
    """A fresh workspace directory under `root`, removed on exit."""

    def __init__(self, root: str):
        self.root = root

    def __enter__(self) -> str:
        os.makedirs(self.root, exist_ok=True)
        self.path = tempfile.mkdtemp(prefix="ws-", dir=self.root)
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def snapshot_file(ws: str) -> str:
    return os.path.join(ws, SNAPSHOT_NAME)


def _inode(path: str):
    try:
        return os.stat(path).st_ino
    except FileNotFoundError:
        return None


def build_and_settle(engine, ws: str, timeout: float = 120.0) -> float:
    """Times build(), which returns once the snapshot is encoded; then waits for its background
    writer to rename the new file into place, so the write does not run into later timings."""
    before = _inode(snapshot_file(ws))
    t, _ = timed(engine.build)
    wait_for_new_snapshot(ws, before, timeout)
    return t


def wait_for_new_snapshot(ws: str, before, timeout: float = 120.0) -> None:
    """Until the snapshot file is no longer the one whose inode was `before`."""
    deadline = time.monotonic() + timeout
    while _inode(snapshot_file(ws)) == before and time.monotonic() < deadline:
        time.sleep(0.005)


def add_node_vs_dict(corvanedb, records: list[dict], ws_root: str, repeat: int) -> dict:
    """add_node of every record into a fresh engine against a dict-of-dicts insert of copies."""
    # Both return what they filled, so that freeing it falls outside the timed call.
    def engine_run(ws):
        e = corvanedb.PyMetadataEngine(ws)
        add = e.add_node
        for r in records:
            add(**r)
        return e

    def dict_run():
        table = {}
        for r in records:
            table[r["node_id"]] = dict(r)
        return table

    best = float("inf")
    for _ in range(repeat):
        with Workspace(ws_root) as ws:
            t, e = timed(engine_run, ws)
            best = min(best, t)
            del e
    t_dict = min(timed(dict_run)[0] for _ in range(repeat))
    return {"add_node_s": best, "dict_insert_s": t_dict, "records": len(records)}


def query_latencies(engine, sample_ids: list[str], blast_ids: list[str]) -> dict:
    return {
        "callers_ns": median_call_ns(engine.get_callers, sample_ids),
        "callees_ns": median_call_ns(engine.get_callees, sample_ids),
        "blast_ns": median_call_ns(engine.blast_radius, blast_ids),
        # One id in, one lookup, a bool out: the floor of a method call into the engine.
        "contains_ns": median_call_ns(engine.contains, sample_ids),
    }


def disk_write_s(directory: str, nbytes: int) -> float:
    """dd-like: the same byte count written sequentially in 1 MiB blocks, then fsync."""
    block = b"\x5a" * (1 << 20)
    path = os.path.join(directory, "dd.bin")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        t = time.perf_counter()
        left = nbytes
        while left > 0:
            left -= os.write(fd, block if left >= len(block) else block[:left])
        os.fsync(fd)
        return time.perf_counter() - t
    finally:
        os.close(fd)
        os.unlink(path)


def snapshot_phases(corvanedb, engine, ws: str, driver: str, edges: list[tuple[str, str]], repeat: int) -> dict:
    """save, restore (construction from the file), encode/decode in C++, pickle of the same
    records, and the disk's sequential write of the same byte count."""
    t_save = best_of(repeat, engine.save)
    size = os.path.getsize(snapshot_file(ws))
    t_restore, restored = timed(corvanedb.PyMetadataEngine, ws)
    restored_nodes = restored.get_stats()["nodes"]
    del restored

    out = subprocess.run([driver, "snapshot", snapshot_file(ws), str(repeat)], check=True, capture_output=True,
                         text=True)
    codec = json.loads(out.stdout)

    records = {"nodes": engine.get_all_metadata(), "edges": edges}
    t_dump, blob = timed(pickle.dumps, records, 5)
    del records
    t_load = best_of(repeat, lambda: pickle.loads(blob))
    pickle_size = len(blob)
    del blob

    with tempfile.TemporaryDirectory(dir=os.path.dirname(ws)) as d:
        t_dd = min(disk_write_s(d, size) for _ in range(repeat))
    return {"save_s": t_save, "bytes": size, "restore_s": t_restore, "restored_nodes": restored_nodes,
            "encode_s": codec["encode_s"], "decode_s": codec["decode_s"], "pickle_dump_s": t_dump,
            "pickle_load_s": t_load, "pickle_bytes": pickle_size, "dd_s": t_dd}


def refresh_cycle(engine, ws: str, file_path: str, records: list[dict]) -> dict:
    """One changed file: invalidate it, add its nodes again, repopulate every derived edge, build."""
    t_inv, removed = timed(engine.invalidate_file, file_path)

    def re_add():
        add = engine.add_node
        for r in records:
            add(**r)

    t_add, _ = timed(re_add)
    t_repop, _ = timed(engine.repopulate_edges)
    t_build = build_and_settle(engine, ws)
    return {"invalidate_s": t_inv, "removed": removed, "add_node_s": t_add, "repopulate_s": t_repop,
            "build_s": t_build, "total_s": t_inv + t_add + t_repop + t_build}


def run_compile_driver(driver: str, edge_file: str, plain_full_limit: int, sample: int) -> dict:
    out = subprocess.run([driver, "compile", edge_file, str(plain_full_limit), str(sample)], capture_output=True,
                         text=True)
    if out.returncode not in (0, 2):
        raise RuntimeError(f"compile driver failed: {out.stderr.strip()}")
    result = json.loads(out.stdout)
    result["agree"] = out.returncode == 0
    return result
