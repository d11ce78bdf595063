import importlib.util
import os
import shutil
import subprocess
import sys
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


@pytest.mark.skipif(not os.environ.get("CORVANE_TEST_PACKAGING"), reason="set CORVANE_TEST_PACKAGING=1 (slow)")
def test_wheel_installs_and_imports_in_fresh_venv(tmp_path):
    wheels = tmp_path / "wheels"
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(wheels), str(ROOT)], check=True,
                   capture_output=True)
    if importlib.util.find_spec("build"):
        subprocess.run([sys.executable, "-m", "build", "--sdist", "-o", str(tmp_path / "sdist"), str(ROOT)],
                       check=True, capture_output=True)
        assert list((tmp_path / "sdist").glob("corvanedb-*.tar.gz"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    py = venv / "bin" / "python"
    wheel = next(wheels.glob("corvanedb-*.whl"))
    subprocess.run([str(py), "-m", "pip", "install", "-q", str(wheel)], check=True)
    out = subprocess.run([str(py), "-c", "import corvanedb; print(corvanedb.__all__)"], capture_output=True, text=True,
                         cwd=tmp_path, check=True)
    assert out.stdout.strip() == str(corvanedb.__all__)
