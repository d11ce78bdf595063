"""PyMmapStore against the same store written in Python over the standard mmap module
(open without truncation, grow by doubling, remap, copy-out views).

    PYTHONPATH=build/<dir>/python python3 bench/bench_mmap_store.py [N]
"""
import mmap
import os
import sys
import tempfile
import time

import corvanedb

RECORD = bytes(96)  # the sample record's size; content does not matter here


class PlainStore:
    def __init__(self, path, initial_size):
        self.fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        self.offset = os.fstat(self.fd).st_size
        if self.offset < initial_size:
            os.ftruncate(self.fd, initial_size)
        size = os.fstat(self.fd).st_size
        self.map = mmap.mmap(self.fd, size) if size else None
        self.size = size

    def append(self, record):
        end = self.offset + len(record)
        if end > self.size:
            os.ftruncate(self.fd, max(2 * self.size, end))
            self.size = os.fstat(self.fd).st_size
            old, self.map = self.map, mmap.mmap(self.fd, self.size)
            if old is not None:
                old.close()
        self.map[self.offset:end] = record
        start, self.offset = self.offset, end
        return start, len(record)

    def view(self, offset, length):
        if offset + length > self.size:
            raise ValueError("out of range")
        return memoryview(self.map[offset:offset + length])


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def each(fn, args):
    """Calls fn on every argument tuple, dropping results (so that no garbage piles up)."""
    def run():
        for a in args:
            fn(*a)
    return run


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    with tempfile.TemporaryDirectory() as d:
        ours = corvanedb.PyMmapStore(os.path.join(d, "a.bin"), 0)
        plain = PlainStore(os.path.join(d, "b.bin"), 0)
        t_ours = timed(each(ours.append_dummy_node, [()] * n))
        t_plain = timed(each(plain.append, [(RECORD,)] * n))
        print(f"append  {n / t_ours:>12,.0f} records/s   plain Python mmap x{t_plain / t_ours:.2f} slower")
        ranges = [((i * 7919 % n) * 96, 96) for i in range(n)]
        v_ours = timed(each(ours.get_node_view, ranges))
        v_plain = timed(each(plain.view, ranges))
        print(f"view    {n / v_ours:>12,.0f} views/s     plain Python mmap x{v_plain / v_ours:.2f} slower")
        big = ours.get_node_view  # one large copy: bytes/s of the single memcpy
        size = 96 * n
        t_big = timed(lambda: big(0, size))
        print(f"view of {size / 1e6:.1f} MB: {size / t_big / 1e9:.2f} GB/s")
        plain.map.close()
        os.close(plain.fd)


if __name__ == "__main__":
    main()
