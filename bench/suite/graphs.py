"""Synthetic code-shaped workloads, deterministic for a given size.

A graph of n functions: eight layers (callers above callees), modules of 40 functions, about
five calls per function with a strongly skewed choice of callee in the layers below (a few
utilities collect most callers), 2% of calls inside the own module in any direction (local
and mutual recursion) and 0.05% anywhere (the odd long cycle). The same shape as
bench/compile_metrics.cpp uses, so the figures line up.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass

import numpy as np

FUNCTIONS_PER_MODULE = 40
LAYERS = 8


@dataclass
class CodeGraph:
    n: int
    src: np.ndarray  # uint32, one entry per distinct edge, in feeding order
    dst: np.ndarray
    ids: list[str]

    @property
    def m(self) -> int:
        return len(self.src)

    def id_pairs(self) -> list[tuple[str, str]]:
        ids = self.ids
        return [(ids[a], ids[b]) for a, b in zip(self.src.tolist(), self.dst.tolist())]

    def index_pairs(self) -> list[tuple[int, int]]:
        return list(zip(self.src.tolist(), self.dst.tolist()))

    def write_edge_file(self, path: str):
        """Little-endian: u32 node count, u64 edge count, then (u32 from, u32 to) pairs."""
        with open(path, "wb") as f:
            f.write(struct.pack("<IQ", self.n, self.m))
            pairs = np.empty((self.m, 2), dtype="<u4")
            pairs[:, 0], pairs[:, 1] = self.src, self.dst
            f.write(pairs.tobytes())


def module_path(module: int) -> str:
    return f"pkg/sub{module % 50}/mod{module}.py"


def function_id(v: int) -> str:
    return f"{module_path(v // FUNCTIONS_PER_MODULE)}:f{v}"


def code_graph(n: int, seed: int | None = None) -> CodeGraph:
    rng = np.random.default_rng(n if seed is None else seed)
    degree = rng.geometric(1.0 / 6.0, size=n) - 1  # mean 5
    src = np.repeat(np.arange(n, dtype=np.int64), degree)
    layer = src * LAYERS // n
    below = layer * n // LAYERS
    r = rng.random(len(src))
    anywhere = r < 0.0005
    local = ~anywhere & ((r < 0.02) | (below == 0))
    down = ~anywhere & ~local
    dst = np.empty_like(src)
    dst[anywhere] = rng.integers(0, n, size=int(anywhere.sum()))
    module = src[local] // FUNCTIONS_PER_MODULE * FUNCTIONS_PER_MODULE
    dst[local] = np.minimum(n - 1, module + rng.integers(0, FUNCTIONS_PER_MODULE, size=len(module)))
    u = rng.random(int(down.sum()))
    b = below[down]
    rank = np.minimum((b * (1.0 - u ** 3)).astype(np.int64), b - 1)
    dst[down] = b - 1 - rank
    # One edge per pair, first occurrence kept: the engine's builders and networkx drop
    # duplicates, rustworkx and igraph would keep them.
    _, first = np.unique(src * n + dst, return_index=True)
    first.sort()
    return CodeGraph(n, src[first].astype(np.uint32), dst[first].astype(np.uint32),
                     [function_id(v) for v in range(n)])


def node_record(v: int) -> dict:
    """add_node keyword arguments for function v: the fields a real extractor fills."""
    module = v // FUNCTIONS_PER_MODULE
    path = module_path(module)
    line = (v % FUNCTIONS_PER_MODULE) * 20 + 1
    return dict(node_id=f"{path}:f{v}", node_type="Function", name=f"f{v}", file_path=path,
                signature=f"def f{v}(self, request, timeout=1.0)",
                docstring="Handle one request and return the response.",
                lines_start=line, lines_end=line + 18, returns=["Response"], is_async=v % 3 == 0,
                is_generator=False, param_count=3, is_exported=True)


def node_records(n: int):
    """Fresh records, built one at a time: nothing but the consumer keeps their strings."""
    return (node_record(v) for v in range(n))


# ---- a project for call resolution ---------------------------------------------------------

IMPORTS_PER_MODULE = 30
CALLS_PER_FUNCTION = 8


def resolution_project(functions: int, seed: int = 42) -> list[list[dict]]:
    """Files of 40 functions, two classes with a `run` method each, imports of functions of
    other files, and call lists mixing local, imported, method, receiver and unresolvable
    names. One list of add_node records per file, the module node first."""
    rng = np.random.default_rng(seed)
    files = max(1, functions // FUNCTIONS_PER_MODULE)

    def fn(f, i):
        return f"f{f}_{i}"

    out = []
    for f in range(files):
        path = module_path(f)
        imports, imported = {}, []
        for g, i in zip(rng.integers(0, files, IMPORTS_PER_MODULE).tolist(),
                        rng.integers(0, FUNCTIONS_PER_MODULE, IMPORTS_PER_MODULE).tolist()):
            imports[fn(g, i)] = {"module": module_path(g), "symbol": fn(g, i), "kind": "symbol"}
            imported.append(fn(g, i))
        extra = {"python_import_bindings": {"": imports},
                 "python_receiver_types": {"": {"client": "Service"}},
                 "python_shadowed_names": {"": ["tmp"]}}
        recs = [dict(node_id=path, node_type="Module", name=f"pkg.mod{f}", file_path=path,
                     extra_json=json.dumps(extra))]
        for cls in ("Service", "Model"):
            recs.append(dict(node_id=f"{path}:{cls}", node_type="Class", name=cls, file_path=path,
                             extra_json='{"base_classes": ["Base"]}'))
            recs.append(dict(node_id=f"{path}:{cls}.run", node_type="Function", name="run", file_path=path))
        kinds = rng.integers(0, 5, (FUNCTIONS_PER_MODULE, CALLS_PER_FUNCTION)).tolist()
        picks = rng.integers(0, 1 << 30, (FUNCTIONS_PER_MODULE, CALLS_PER_FUNCTION)).tolist()
        for i in range(FUNCTIONS_PER_MODULE):
            calls = []
            for k, p in zip(kinds[i], picks[i]):
                if k == 0:
                    calls.append(fn(f, p % FUNCTIONS_PER_MODULE))
                elif k == 1:
                    calls.append(imported[p % len(imported)])
                elif k == 2:
                    calls.append("client.run")
                elif k == 3:
                    calls.append("Model.run")
                else:
                    calls.append("print")
            line = i * 20 + 30
            recs.append(dict(node_id=f"{path}:{fn(f, i)}", node_type="Function", name=fn(f, i), file_path=path,
                             signature=f"def {fn(f, i)}(a, b)", lines_start=line, lines_end=line + 15,
                             calls=calls, param_count=2))
        out.append(recs)
    return out
