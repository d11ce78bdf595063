#!/usr/bin/env python3
"""The benchmark suite: corvanedb against networkx, rustworkx and python-igraph on the same
graphs, in one run, printed as tables of ratios with PASS/MISS against the targets.

    python3 bench/run.py [--sizes 1e4,1e5,1e6] [--quick] [--skip-stdlib] [--no-install]

Installs missing peers with pip, builds the module into build/bench (CMake, Release) and
imports it from there, builds the C++ driver against build/bench/libcorvane_core.a, then runs
the workloads. The report also goes to build/bench/report.txt, the raw figures to
build/bench/results.json and the scaling plot to bench/compile_scaling.png. Benchmarks
measure; they assert nothing about time.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass

# numpy's BLAS pool would otherwise spin threads beside every measurement on a small machine.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
BUILD = os.path.join(REPO, "build", "bench")
sys.path.insert(0, HERE)

PEER_PACKAGES = {"networkx": "networkx", "rustworkx": "rustworkx", "igraph": "python-igraph",
                 "matplotlib": "matplotlib", "numpy": "numpy"}


@dataclass
class Config:
    driver: str
    work_dir: str
    ws_root: str
    query_sample: int = 2000
    blast_sample: int = 300
    plain_full_limit: int = 100_000
    plain_sample: int = 300
    peer_budget_s: float = 20.0
    peer_sample: int = 200
    resolution_max: int = 100_000
    memory_max: int = 1_000_000


def log(msg: str):
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def ensure_peers(install: bool):
    missing = []
    for module, package in PEER_PACKAGES.items():
        try:
            importlib.import_module(module)
        except ImportError:
            missing.append(package)
    if not missing:
        return
    if not install:
        sys.exit(f"missing Python packages: {' '.join(missing)} (run without --no-install)")
    log(f"installing {' '.join(missing)}")
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", *missing], check=True)
    importlib.invalidate_caches()


def build_module() -> str:
    """Release build of the module and core library into build/bench; returns the driver path."""
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    if not os.path.exists(os.path.join(BUILD, "CMakeCache.txt")):
        log("configuring build/bench (Release)")
        subprocess.run(["cmake", "-S", REPO, "-B", BUILD, *generator, "-DCMAKE_BUILD_TYPE=Release",
                        "-DCORVANE_BUILD_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    log("building build/bench")
    subprocess.run(["cmake", "--build", BUILD, "-j2"], check=True, stdout=subprocess.DEVNULL)

    driver = os.path.join(BUILD, "engine_driver")
    source = os.path.join(HERE, "suite", "engine_driver.cpp")
    libs = [os.path.join(BUILD, "libcorvane_core.a")]
    blake3 = os.path.join(BUILD, "libcorvane_blake3.a")
    if os.path.exists(blake3):
        libs.append(blake3)
    newest = max(os.path.getmtime(p) for p in [source, *libs])
    if not os.path.exists(driver) or os.path.getmtime(driver) < newest:
        log("building the C++ driver")
        absl = subprocess.run(["pkg-config", "--libs", "absl_flat_hash_map", "absl_node_hash_map"],
                              check=True, capture_output=True, text=True).stdout.split()
        blake3_pc = subprocess.run(["pkg-config", "--libs", "libblake3"], capture_output=True, text=True)
        extra = blake3_pc.stdout.split() if blake3_pc.returncode == 0 else []
        subprocess.run([os.environ.get("CXX", "g++"), "-O2", "-std=c++20", "-I", os.path.join(REPO, "src"), source,
                        *libs, *extra, *absl, "-lpthread", "-o", driver], check=True)
    return driver


def parse_sizes(text: str) -> list[int]:
    return [int(float(s)) for s in text.split(",") if s.strip()]


def memory_runs(n: int, cfg: Config) -> dict:
    """One fresh process per holder, so nothing of one measurement leaks into the next."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(BUILD, "python"), HERE]))
    out = {}
    for kind in ("engine", "networkx", "dict"):
        proc = subprocess.run([sys.executable, "-m", "suite.memory", kind, str(n), cfg.ws_root], cwd=HERE, env=env,
                              capture_output=True, text=True)
        if proc.returncode != 0:
            log(f"memory run {kind} {n} failed: {proc.stderr.strip()[-500:]}")
            continue
        out[kind] = json.loads(proc.stdout)
    return out


class Report:
    def __init__(self, path: str):
        self.file = open(path, "w")

    def emit(self, text: str):
        print(text, flush=True)
        self.file.write(text + "\n")
        self.file.flush()


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", help="synthetic graph sizes, comma-separated (default 1e4,1e5,1e6; --quick: 1e4)")
    p.add_argument("--quick", action="store_true", help="smoke run: small sizes, small samples (1-2 minutes)")
    p.add_argument("--skip-stdlib", action="store_true", help="leave out the standard-library workload")
    p.add_argument("--no-install", action="store_true", help="fail instead of installing missing peers")
    p.add_argument("--plot", help="where to draw the scaling plot (default: bench/compile_scaling.png for a "
                                  "full run, build/bench/compile_scaling.png for --quick)")
    args = p.parse_args(argv)
    if args.plot is None:
        # A smoke run must not replace the plot of a full run.
        args.plot = os.path.join(BUILD if args.quick else HERE, "compile_scaling.png")

    ensure_peers(not args.no_install)
    driver = build_module()
    # The module just built, and the indexer of this checkout.
    sys.path[:0] = [os.path.join(BUILD, "python"), os.path.join(REPO, "src", "python")]
    import corvanedb

    from suite import report as rep
    from suite.stdlib import parse_stdlib, stdlib_workload
    from suite.synthetic import graph_workload, resolution_workload

    cfg = Config(driver=driver, work_dir=BUILD, ws_root=os.path.join(BUILD, "ws"))
    sizes = parse_sizes(args.sizes) if args.sizes else ([10_000] if args.quick else [10_000, 100_000, 1_000_000])
    if args.quick:
        cfg.query_sample, cfg.blast_sample, cfg.plain_sample = 300, 50, 100
        cfg.peer_budget_s, cfg.peer_sample, cfg.resolution_max = 2.0, 50, 10_000
    if any(n > 0xFFFFFFFF for n in sizes):
        sys.exit("sizes must fit 32-bit node indexes")
    os.makedirs(cfg.ws_root, exist_ok=True)

    out = Report(os.path.join(BUILD, "report.txt"))
    out.emit(f"corvanedb benchmark suite — {time.strftime('%Y-%m-%d %H:%M')}, {os.cpu_count()} CPUs, "
             f"load average {os.getloadavg()[0]:.1f} at start, Python {sys.version.split()[0]}")
    import igraph
    import networkx
    import rustworkx
    out.emit(f"peers: networkx {networkx.__version__}, rustworkx {rustworkx.__version__}, "
             f"python-igraph {igraph.__version__}; synthetic sizes {', '.join(f'{n:,}' for n in sizes)}")
    results = {"sizes": sizes, "graphs": [], "resolution": [], "memory": {}, "stdlib": None}

    stdlib = None
    if not args.skip_stdlib:
        log("workload (a): parsing the standard library")
        data = parse_stdlib()
        log(f"  {data['files']} files, {len(data['nodes'])} records in {data['parse_s']:.1f} s; timing the engine")
        stdlib = stdlib_workload(corvanedb, data, cfg)
        del data
        results["stdlib"] = stdlib
        for t in rep.stdlib_tables(stdlib):
            out.emit(t.render())

    for n in sizes:
        log(f"workload (b): synthetic graph, {n:,} nodes")
        g = graph_workload(corvanedb, n, cfg)
        results["graphs"].append(g)
        mem = None
        if n <= cfg.memory_max:
            log(f"  memory per node, {n:,} nodes (fresh processes)")
            mem = results["memory"][n] = memory_runs(n, cfg)
        for t in rep.graph_tables(g, mem, f"Synthetic {rep.size_label(n)}"):
            out.emit(t.render())

    for n in [s for s in sizes if s <= cfg.resolution_max]:
        log(f"workload (b'): synthetic modules with call lists, {n:,} functions")
        results["resolution"].append(resolution_workload(corvanedb, n, cfg))
    if results["resolution"]:
        out.emit(rep.resolution_table(results["resolution"]).render())

    out.emit(rep.targets(results, stdlib).render())
    with open(os.path.join(BUILD, "results.json"), "w") as f:
        json.dump(results, f, indent=1, default=str)
    if rep.plot_scaling(results, args.plot):
        out.emit(f"\nplot: {os.path.relpath(args.plot, REPO)}; report: build/bench/report.txt; "
                 "figures: build/bench/results.json")
    return 0


if __name__ == "__main__":
    sys.exit(main())
