from collections import deque

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvanedb

Engine = corvanedb.PyGraphEngine


def key(n):
    return f"{n:064x}"


A, B, C, D = key(0xA), key(0xB), key(0xC), key(0xD)
BAD = "not a hash"


def built(*edges):
    g = Engine()
    for f, t in edges:
        g.add_edge(f, t)
    g.build()
    return g


def test_lifecycle_errors_are_checked_before_keys():
    g = Engine()
    with pytest.raises(RuntimeError, match="^Graph must be built first$"):
        g.blast_radius(BAD)
    g.add_edge(A, B)
    g.build()
    with pytest.raises(RuntimeError, match="^Graph is already built$"):
        g.add_edge(BAD, BAD)
    with pytest.raises(RuntimeError, match="^Graph builder is missing$"):
        g.invalidate_nodes([A])
    with pytest.raises(RuntimeError, match="^Graph builder is missing$"):
        g.build()
    with pytest.raises(RuntimeError, match="^Graph builder is missing$"):
        g.rebuild_csr()
    # The first compile still answers.
    assert g.blast_radius(B) == [A]


def test_rebuild_csr_is_build():
    g = Engine()
    g.add_edge(A, B)
    g.rebuild_csr()
    assert g.blast_radius(B) == [A]
    with pytest.raises(RuntimeError, match="^Graph builder is missing$"):
        g.build()


def test_argument_types_are_checked_first():
    g = built((A, B))
    with pytest.raises(TypeError):
        g.add_edge(1, A)
    with pytest.raises(TypeError):
        g.blast_radius(None)
    fresh = Engine()
    with pytest.raises(TypeError):
        fresh.invalidate_nodes(A)  # a str is not split into characters
    with pytest.raises(TypeError):
        fresh.invalidate_nodes([A, 1])


def test_keyword_arguments():
    g = Engine()
    g.add_edge(to_hex=B, from_hex=A)
    g.invalidate_nodes(hex_hashes=[C])
    g.build()
    assert g.blast_radius(start_hex=B) == [A]
    with pytest.raises(TypeError):
        g.blast_radius(start=B)


@pytest.mark.parametrize(
    "bad",
    ["a" * 63, "a" * 65, "", "g" + "a" * 63, " " + "a" * 63, "a" * 63 + " ", " " + "a" * 64, "0x" + "a" * 62,
     "\u00e9" * 32 + "a" * 32, "\uff10" * 64],
)
def test_invalid_keys(bad):
    g = Engine()
    with pytest.raises(ValueError, match="^Invalid from_hex$"):
        g.add_edge(bad, A)
    with pytest.raises(ValueError, match="^Invalid from_hex$"):
        g.add_edge(bad, bad)
    with pytest.raises(ValueError, match="^Invalid to_hex$"):
        g.add_edge(A, bad)
    g.build()
    # Failed edges added nothing.
    assert g.blast_radius(A) == []
    with pytest.raises(ValueError, match="^Invalid start_hex$"):
        g.blast_radius(bad)


def test_upper_case_keys_name_the_same_node_and_output_is_lower_case():
    upper = "ABCDEF0123456789" * 4
    lower = upper.lower()
    g = built((upper, B), (A, lower))
    assert g.blast_radius(B) == [lower, A]
    assert g.blast_radius(upper) == [A]
    assert g.blast_radius(lower) == [A]


def test_blast_radius_order_and_unknown_nodes():
    g = built((A, B), (B, C))
    assert g.blast_radius(C) == [B, A]
    assert g.blast_radius(B) == [A]
    assert g.blast_radius(A) == []
    assert g.blast_radius(D) == []


def test_cycles_and_self_edges():
    g = built((A, B), (B, C), (C, A), (A, A), (D, D))
    assert g.blast_radius(A) == [C, B]
    assert g.blast_radius(D) == []


def test_duplicate_edges_are_stored_once():
    g = built((A, C), (B, C), (A, C))
    assert g.blast_radius(C) == [A, B]


def test_invalidate_skips_undecodable_entries():
    g = Engine()
    g.add_edge(A, B)
    g.add_edge(B, C)
    g.add_edge(D, C)
    g.invalidate_nodes(("zz", BAD, B.upper()))
    g.invalidate_nodes([])
    g.build()
    assert g.blast_radius(C) == [D]
    assert g.blast_radius(B) == []


def test_edges_can_come_back_after_invalidation():
    g = Engine()
    g.add_edge(A, B)
    g.invalidate_nodes([A])
    g.add_edge(C, B)
    g.add_edge(A, B)
    g.build()
    assert g.blast_radius(B) == [C, A]


class Oracle:
    """The engine's rules in plain Python: insertion-ordered predecessor lists, breadth-first."""

    def __init__(self):
        self.incoming = {}
        self.outgoing = {}

    def add_edge(self, f, t):
        for n in (f, t):
            self.incoming.setdefault(n, [])
            self.outgoing.setdefault(n, [])
        if t not in self.outgoing[f]:
            self.outgoing[f].append(t)
            self.incoming[t].append(f)

    def invalidate(self, n):
        if n not in self.incoming:
            return
        for p in self.incoming[n]:
            self.outgoing[p] = [x for x in self.outgoing[p] if x != n]
        for s in self.outgoing[n]:
            self.incoming[s] = [x for x in self.incoming[s] if x != n]
        self.incoming[n] = []
        self.outgoing[n] = []

    def blast_radius(self, start):
        if start not in self.incoming:
            return []
        seen, out, queue = {start}, [], deque([start])
        while queue:
            for p in self.incoming[queue.popleft()]:
                if p not in seen:
                    seen.add(p)
                    out.append(p)
                    queue.append(p)
        return out


ops = st.lists(
    st.one_of(
        st.tuples(st.just("edge"), st.integers(0, 11), st.integers(0, 11)),
        st.tuples(st.just("drop"), st.integers(0, 11), st.just(0)),
    ),
    max_size=60,
)


@settings(max_examples=200, deadline=None)
@given(ops)
def test_random_graphs_agree_with_the_plain_oracle(operations):
    g, oracle = Engine(), Oracle()
    for op, x, y in operations:
        if op == "edge":
            g.add_edge(key(x), key(y).upper() if y % 2 else key(y))
            oracle.add_edge(key(x), key(y))
        else:
            g.invalidate_nodes([key(x)])
            oracle.invalidate(key(x))
    g.build()
    for n in range(13):
        assert g.blast_radius(key(n)) == oracle.blast_radius(key(n))
