import corvanedb

REQUIRED = ["node_id", "type", "name", "file_path"]


def test_add_contains_and_minimal_meta(engine):
    assert engine.get_node_meta("m.py:f") is None
    assert not engine.contains("m.py:f")
    engine.add_node("m.py:f", "Function", "F", "m.py")
    assert engine.contains("m.py:f")
    assert engine.get_node_meta("m.py:f") == {"node_id": "m.py:f", "type": "Function", "name": "F", "file_path": "m.py"}
    assert list(engine.get_node_meta("m.py:f")) == REQUIRED


def test_full_meta_key_order_and_values(engine):
    engine.add_node(
        "m.py:f", "Function", "f", "m.py", signature="def f(x)", docstring="doc", lines_start=10, lines_end=12,
        returns=["int"], calls=["g", "self.h"], django_relations_json="[]", is_async=True, is_generator=False,
        param_count=1, is_exported=True, blast_radius_score=7, extra_json='{"k": 1}',
    )
    meta = engine.get_node_meta("m.py:f")
    assert list(meta) == REQUIRED + [
        "signature", "docstring", "lines", "returns", "calls", "django_relations_json", "lines_count",
        "is_async", "is_generator", "param_count", "is_exported", "blast_radius_score", "extra_json",
    ]
    assert meta["lines"] == {"start": 10, "end": 12} and list(meta["lines"]) == ["start", "end"]
    assert meta["lines_count"] == 3
    assert meta["is_generator"] is False and meta["is_async"] is True
    assert meta["calls"] == ["g", "self.h"]


def test_lines_rules(engine):
    engine.add_node("a", "Function", "a", "", lines_start=12, lines_end=10)
    assert engine.get_node_meta("a")["lines_count"] == 0
    engine.add_node("b", "Function", "b", "", lines_start=12)
    meta = engine.get_node_meta("b")
    assert "lines" not in meta and "lines_count" not in meta


def test_records_are_replaced_not_merged(engine):
    engine.add_node("a", "Function", "a", "m.py", docstring="old", calls=[])
    engine.add_node("a", "Class", "A", "m.py")
    assert engine.get_node_meta("a") == {"node_id": "a", "type": "Class", "name": "A", "file_path": "m.py"}
    assert engine.get_stats()["nodes"] == 1


def test_extra_conversion(engine):
    engine.add_node("d", "Function", "d", "", _extra={"b": [1, 2]})
    assert engine.get_node_meta("d")["extra_json"] == '{"b": [1, 2]}'
    engine.add_node("s", "Function", "s", "", _extra='{"raw": true}')
    assert engine.get_node_meta("s")["extra_json"] == '{"raw": true}'
    engine.add_node("o", "Function", "o", "", extra_json="{}", _extra=object())
    assert "extra_json" not in engine.get_node_meta("o")
    engine.add_node("n", "Function", "n", "", extra_json="{}", _extra=None)
    assert engine.get_node_meta("n")["extra_json"] == "{}"


def test_extra_runs_python_before_the_lock(engine):
    class Reentrant:
        def __repr__(self):
            return "x"

    def default_hook(obj):
        # json.dumps calls back into Python; the engine must be usable from here.
        engine.add_node("inner", "Function", "inner", "")
        return "seen"

    import json

    original = json.dumps
    json.dumps = lambda obj: original(obj, default=default_hook)
    try:
        engine.add_node("outer", "Function", "outer", "", _extra=Reentrant())
    finally:
        json.dumps = original
    assert engine.contains("inner")
    assert engine.get_node_meta("outer")["extra_json"] == '"seen"'


def test_unicode_names_index_and_search(engine):
    engine.add_node("a", "Function", "\u039f\u0394\u039f\u03a3", "m.py")  # capital OMICRON DELTA OMICRON SIGMA
    engine.add_node("b", "Function", "\u0130stanbul", "m.py")  # capital I with dot above
    final = "\u03bf\u03b4\u03bf\u03c2"  # ends in final sigma
    medial = "\u03bf\u03b4\u03bf\u03c3"
    assert [h["id"] for h in engine.search(final)] == ["a"]
    assert [h["id"] for h in engine.search("\u039f\u0394\u039f\u03a3")] == ["a"]
    assert engine.search(medial) == []
    # Full mapping: one character becomes two (i + combining dot above).
    assert [h["id"] for h in engine.search("i\u0307stanbul")] == ["b"]


def test_edge_between_added_nodes_compiles(engine):
    engine.add_node("m.py:f", "Function", "f", "m.py")
    engine.add_node("m.py:g", "Function", "g", "m.py")
    engine.add_edge("m.py:f", "m.py:g")
    engine.build()
    assert engine.get_callees("m.py:f") == ["m.py:g"]
