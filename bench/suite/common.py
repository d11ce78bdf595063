"""Timing, tables and the target verdicts shared by the workloads."""

from __future__ import annotations

import gc
import statistics
import time
from dataclasses import dataclass, field


def timed(fn, *args):
    """(seconds, result) of one call, with the cyclic collector held off while it runs."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        t = time.perf_counter()
        result = fn(*args)
        return time.perf_counter() - t, result
    finally:
        if enabled:
            gc.enable()


def best_of(repeat: int, fn) -> float:
    """Least time of `repeat` calls of fn(); what it returns is freed outside the timing."""
    return min(timed(fn)[0] for _ in range(repeat))


def median_call_ns(fn, args) -> float:
    """Median time of one call fn(a) over the arguments, each timed alone."""
    clock = time.perf_counter_ns
    samples = []
    enabled = gc.isenabled()
    gc.disable()
    try:
        for a in args:
            t = clock()
            fn(a)
            samples.append(clock() - t)
    finally:
        if enabled:
            gc.enable()
    return statistics.median(samples)


def fmt_seconds(s: float | None) -> str:
    if s is None:
        return "-"
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.1f} us"
    return f"{s * 1e9:.0f} ns"


def fmt_rate(per_s: float | None, unit: str) -> str:
    if per_s is None:
        return "-"
    if per_s >= 1e6:
        return f"{per_s / 1e6:.2f} M{unit}/s"
    if per_s >= 1e3:
        return f"{per_s / 1e3:.1f} k{unit}/s"
    return f"{per_s:.0f} {unit}/s"


def fmt_ratio(x: float | None) -> str:
    if x is None:
        return "-"
    return f"{x:.2f}x" if x < 100 else f"{x:.0f}x"


@dataclass
class Table:
    title: str
    columns: list[str]
    rows: list[list[str]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def render(self) -> str:
        widths = [max(len(self.columns[i]), *(len(r[i]) for r in self.rows)) if self.rows else len(self.columns[i])
                  for i in range(len(self.columns))]
        line = "  ".join("-" * w for w in widths)
        out = [f"\n== {self.title}", "  ".join(c.ljust(w) for c, w in zip(self.columns, widths)), line]
        out += ["  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(r, widths)))
                for r in self.rows]
        out += [f"  note: {n}" for n in self.notes]
        return "\n".join(out)


@dataclass
class Verdict:
    name: str
    passed: bool | None  # None: not measured in this run
    detail: str


class Targets:
    def __init__(self):
        self.verdicts: list[Verdict] = []

    def at_least(self, name: str, value: float | None, goal: float, unit: str = "x"):
        """value should be >= goal (a speed-up)."""
        if value is None:
            self.verdicts.append(Verdict(name, None, "not measured"))
            return
        distance = value / goal
        self.verdicts.append(Verdict(name, value >= goal,
                                     f"{value:.2f}{unit} vs goal >= {goal:g}{unit} ({distance:.2f} of the goal)"))

    def at_most(self, name: str, value: float | None, goal: float, unit: str = "x"):
        """value should be <= goal (a cost ratio or a time)."""
        if value is None:
            self.verdicts.append(Verdict(name, None, "not measured"))
            return
        distance = value / goal
        self.verdicts.append(Verdict(name, value <= goal,
                                     f"{value:.2f}{unit} vs goal <= {goal:g}{unit} ({distance:.2f} of the limit)"))

    def render(self) -> str:
        out = ["\n== Targets"]
        for v in self.verdicts:
            word = "----" if v.passed is None else ("PASS" if v.passed else "MISS")
            out.append(f"  {word}  {v.name}: {v.detail}")
        return "\n".join(out)
