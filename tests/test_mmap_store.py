import errno
import os
import subprocess
import sys
import textwrap

import pytest

import corvanedb
from fault_tools import python, python_in_small_tmpfs

Store = corvanedb.PyMmapStore

SAMPLE = (
    b"python_test_node"
    + b"\x02"
    + bytes(32)
    + bytes(3)
    + bytes([0x90, 0, 0, 0])
    + bytes([0xCC, 0xFF, 0xFF, 0xFF])
    + bytes([0xD4, 0xFF, 0xFF, 0xFF])
    + bytes(4)
    + bytes(4)
    + b"\x00"
    + bytes(15)
    + bytes([1, 0, 0, 0])
    + bytes([10, 0, 0, 0])
)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "store.bin")


def os_text(number):
    return f"{os.strerror(number)} (os error {number})"


def test_sample_record_is_96_fixed_bytes(path):
    assert len(SAMPLE) == 96
    store = Store(path, 0)
    assert store.append_dummy_node() == (0, 96)
    view = store.get_node_view(0, 96)
    assert isinstance(view, memoryview)
    assert view.readonly
    assert bytes(view) == SAMPLE
    assert isinstance(view.obj, bytes)


def test_growth_from_an_empty_file_doubles(path):
    store = Store(path, 0)
    assert os.path.getsize(path) == 0
    for i, size in enumerate([96, 192, 384, 384, 768]):
        assert store.append_dummy_node() == (96 * i, 96)
        assert os.path.getsize(path) == size
    # Records reach the file through the shared mapping.
    with open(path, "rb") as f:
        content = f.read()
    assert content[: 5 * 96] == SAMPLE * 5
    assert content[5 * 96 :] == bytes(768 - 5 * 96)


def test_initial_size_then_growth_on_the_43rd_append(path):
    store = Store(path, 4096)
    assert os.path.getsize(path) == 4096
    for i in range(42):
        assert store.append_dummy_node() == (96 * i, 96)
    assert os.path.getsize(path) == 4096
    assert store.append_dummy_node() == (96 * 42, 96)
    assert os.path.getsize(path) == 8192
    assert bytes(store.get_node_view(96 * 42, 96)) == SAMPLE


def test_reopen_appends_after_the_filler_and_never_truncates(path):
    first = Store(path, 4096)
    first.append_dummy_node()
    del first
    store = Store(path, 1024)
    assert os.path.getsize(path) == 4096
    assert bytes(store.get_node_view(0, 96)) == SAMPLE
    assert store.append_dummy_node() == (4096, 96)
    assert os.path.getsize(path) == 8192
    assert bytes(store.get_node_view(4096, 96)) == SAMPLE


def test_views_read_filler_and_are_copies(path):
    store = Store(path, 4096)
    store.append_dummy_node()
    assert bytes(store.get_node_view(200, 50)) == bytes(50)
    assert bytes(store.get_node_view(96, 0)) == b""
    assert bytes(store.get_node_view(4096, 0)) == b""
    before = store.get_node_view(96, 96)
    store.append_dummy_node()
    assert bytes(before) == bytes(96)
    assert bytes(store.get_node_view(96, 96)) == SAMPLE
    with pytest.raises(TypeError):
        before[0] = 1


@pytest.mark.parametrize(
    "block_id, length",
    [(4000, 97), (4096, 1), (4097, 0), (2**64 - 1, 1), (2**64 - 10, 2**32 - 1)],
)
def test_views_beyond_the_mapping_raise_and_leave_the_store_usable(path, block_id, length):
    store = Store(path, 4096)
    store.append_dummy_node()
    with pytest.raises(ValueError):
        store.get_node_view(block_id, length)
    assert store.append_dummy_node() == (96, 96)
    assert bytes(store.get_node_view(96, 96)) == SAMPLE


def test_argument_conversion(path):
    with pytest.raises(TypeError):
        Store(1, 0)
    with pytest.raises(TypeError):
        Store(path, "0")
    with pytest.raises(OverflowError):
        Store(path, -1)
    with pytest.raises(OverflowError):
        Store(path, 2**64)
    with pytest.raises(TypeError):
        Store(path, 0, 1)
    assert not os.path.exists(path)  # conversion failures touch nothing
    store = Store(path=path, initial_size=0)
    store.append_dummy_node()
    with pytest.raises(OverflowError):
        store.get_node_view(0, 2**32)
    with pytest.raises(OverflowError):
        store.get_node_view(-1, 1)
    with pytest.raises(OverflowError):
        store.get_node_view(2**64, 0)
    with pytest.raises(TypeError):
        store.get_node_view(0, 1, unknown=2)
    assert bytes(store.get_node_view(block_id=0, length=16)) == b"python_test_node"


def test_open_failures_are_oserrors_with_the_system_text(tmp_path):
    cases = [
        (str(tmp_path / "missing" / "store.bin"), 0, errno.ENOENT),
        (str(tmp_path), 0, errno.EISDIR),
        (str(tmp_path / "huge.bin"), 2**64 - 1, errno.EFBIG),
        # An embedded NUL would silently open a shorter path.
        (str(tmp_path / "a\0b"), 0, errno.EINVAL),
    ]
    for p, size, number in cases:
        with pytest.raises(OSError) as info:
            Store(p, size)
        assert type(info.value) is OSError
        assert str(info.value) == os_text(number)
        assert info.value.errno == number
    assert not os.path.exists(str(tmp_path / "a"))


def test_new_file_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        Store(str(tmp_path / "s.bin"), 0)
    finally:
        os.umask(old)
    assert os.stat(str(tmp_path / "s.bin")).st_mode & 0o777 == 0o640


def test_two_stores_on_one_file_never_shrink_it(path):
    a = Store(path, 0)
    b = Store(path, 0)
    for _ in range(5):
        b.append_dummy_node()
    assert os.path.getsize(path) == 768
    # a's own offset is 0 and its mapping empty: it grows, but must not cut b's records off.
    assert a.append_dummy_node() == (0, 96)
    assert os.path.getsize(path) == 768
    assert bytes(b.get_node_view(4 * 96, 96)) == SAMPLE


def test_growth_failure_is_a_runtime_error_and_the_store_stays_usable(tmp_path):
    # A file size limit makes growth fail; run apart so the limit cannot leak into other tests.
    script = textwrap.dedent(
        f"""
        import os, resource, signal
        import corvanedb
        path = {str(tmp_path / "s.bin")!r}
        store = corvanedb.PyMmapStore(path, 4096)
        for _ in range(42):
            store.append_dummy_node()
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
        try:
            store.append_dummy_node()
        except RuntimeError as e:
            print("error:", e)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        print("tail:", bytes(store.get_node_view(41 * 96, 96))[:16])
        print("next:", store.append_dummy_node(), os.path.getsize(path))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        f"error: {os_text(errno.EFBIG)}",
        "tail: b'python_test_node'",
        "next: (4032, 96) 8192",
    ]


def run_store_script(code):
    out = python(code)
    assert out.returncode == 0, f"died with {out.returncode}: {out.stderr}"
    return out.stdout.splitlines()


def test_store_file_shortened_by_another_process_raises_instead_of_sigbus(path):
    # Run apart: before the fix, touching the mapping past the file's end killed the process.
    lines = run_store_script(f"""
        import os, corvanedb
        store = corvanedb.PyMmapStore({path!r}, 8192)
        for _ in range(50):
            store.append_dummy_node()
        def attempt(call):
            try:
                return call()
            except RuntimeError as err:
                return "RuntimeError: " + str(err)
        os.truncate({path!r}, 4096)
        print(attempt(lambda: store.get_node_view(4096, 16)))
        print(bytes(store.get_node_view(0, 16)), bytes(store.get_node_view(41 * 96, 96)) == {SAMPLE!r})
        print(attempt(store.append_dummy_node))
        os.truncate({path!r}, 0)
        print(attempt(lambda: store.get_node_view(0, 1)))
        print(bytes(store.get_node_view(0, 0)))
        """)
    gone = "RuntimeError: the store file was shortened to {} bytes by someone else; bytes up to {} are gone"
    assert lines == [
        gone.format(4096, 4112),
        "b'python_test_node' True",
        gone.format(4096, 4896),
        gone.format(0, 1),
        "b''",
    ]


def test_growth_on_a_full_file_system_raises_instead_of_sigbus(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    code = f"""
        import corvanedb
        d = {str(small)!r}
        store = corvanedb.PyMmapStore(d + "/s.bin", 0)
        count = 0
        try:
            while True:
                store.append_dummy_node()
                count += 1
        except RuntimeError as err:
            print(count, err.args[0].endswith("(os error 28)"))
        print(bytes(store.get_node_view((count - 1) * 96, 16)))
        try:
            corvanedb.PyMmapStore(d + "/big.bin", 1 << 20)
        except OSError as err:
            print(type(err).__name__, err.errno, str(err))
        """
    out = python_in_small_tmpfs(small, code, size="256k")
    assert out.returncode == 0, f"died with {out.returncode}: {out.stderr}"
    # Growth doubles: 96 * 2**11 bytes fit in 256 KiB, the next doubling does not.
    assert out.stdout.splitlines() == ["2048 True", "b'python_test_node'", f"OSError 28 {os_text(errno.ENOSPC)}"]
