"""Tools of the reliability tests: fresh interpreters, a small file system of its own, and
the fault shim (tools/fault_shim.c), a preloaded library that makes chosen file operations
fail."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SNAPSHOT = ".corvane_snapshot.bin"
READS = ".corvane_reads.bin"  # the record of reads saved beside it
UNDER_ASAN = bool(os.environ.get("CORVANE_UNDER_ASAN"))
SHIM_SOURCE = os.path.join(os.path.dirname(__file__), "tools", "fault_shim.c")


def child_env(**extra):
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **extra)


def python(code, timeout=120, wrap=(), env=None):
    """Runs code in a fresh interpreter that imports the module under test."""
    argv = list(wrap) + [sys.executable, "-c", textwrap.dedent(code)]
    return subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=env or child_env())


def python_in_small_tmpfs(directory, code, size="1m", timeout=120):
    """Runs code with a tmpfs of `size` mounted on directory, in a private mount namespace;
    skips where that cannot be done (needs root and unshare)."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        pytest.skip("needs root and unshare(1) to mount a small file system")
    script = f'mount -t tmpfs -o size={size} corvane-small "$1" && shift && exec "$@"'
    out = python(code, timeout=timeout,
                 wrap=["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", str(directory)])
    if "mount:" in out.stderr or "unshare:" in out.stderr:
        pytest.skip("cannot mount a small file system here: " + out.stderr.strip())
    return out


def build_fault_shim(directory):
    """Compiles the fault shim into directory; skips where it cannot be used."""
    if UNDER_ASAN:
        pytest.skip("the sanitizer runtime must come first among preloaded libraries")
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not compiler:
        pytest.skip("no C compiler for the fault shim")
    out = os.path.join(str(directory), "fault_shim.so")
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", out, SHIM_SOURCE, "-ldl"], check=True)
    return out


def python_with_fault(shim, code, op, errno_, text, skip=0, times=None, log=None, timeout=120):
    """Runs code with the shim failing `op` with errno_ on paths containing text."""
    extra = {"LD_PRELOAD": shim, "CORVANE_FAULT": f"{op}:{errno_}:{text}", "CORVANE_FAULT_SKIP": str(skip)}
    if times is not None:
        extra["CORVANE_FAULT_TIMES"] = str(times)
    if log is not None:
        extra["CORVANE_FAULT_LOG"] = str(log)
    return python(code, timeout=timeout, env=child_env(**extra))
