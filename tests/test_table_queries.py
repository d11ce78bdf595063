import corvanedb


def ids(hits):
    return [h["id"] for h in hits]


def test_exact_before_partial(engine):
    engine.add_node("x:foobar", "Function", "foobar", "x.py")
    engine.add_node("x:Foo", "Function", "Foo", "x.py")
    assert ids(engine.search("foo")) == ["x:Foo", "x:foobar"]


def test_file_and_folder_rules(engine):
    engine.add_node("fn", "Function", "parse", "a.py")
    engine.add_node("f1", "File", "whatever", "src/parse.py")
    engine.add_node("f2", "File", "parse", "src/parser.py")  # exact through its name
    engine.add_node("f3", "File", "zzz", "src/parser.py")
    engine.add_node("f4", "file", "zzz", "src/parse.py")  # not a file node: lowercase type
    hits = engine.search("PARSE")
    exact = {"fn", "f1", "f2"}
    assert set(ids(hits)[:3]) == exact and ids(hits)[3:] == ["f3"]

    engine.add_node("w", "Folder", "zz", "a\\b\\models.test.py")
    assert ids(engine.search("models")) == ["w"]
    assert ids(engine.search("models.test.py")) == ["w"]
    assert ids(engine.search("test")) == ["w"]
    # A File node's name never counts for the partial test; other types match by name.
    assert ids(engine.search("zz")) == ["w", "f4"]


def test_empty_keyword_matches_everything(engine):
    engine.add_node("a", "Function", "", "")
    engine.add_node("b", "Function", "b", "")
    assert ids(engine.search("")) == ["a", "b"]


def test_hit_fields_and_relation_normalisation(engine):
    engine.add_node(
        "c", "Class", "Order", "m.py", signature="class Order", lines_start=1, returns=[], calls=["x"],
        django_relations_json='{ "b" : 1 , "a" : "\u00e9", "b": 2 }',
    )
    engine.add_node("d", "Class", "OrderLine", "m.py", django_relations_json="not json")
    hits = engine.search("order")
    assert hits[0] == {"id": "c", "type": "Class", "name": "Order", "file": "m.py", "signature": "class Order",
                       "returns": [], "calls": ["x"], "django_relations": '{"a":"\u00e9","b":2}'}
    assert list(hits[0]) == ["id", "type", "name", "file", "signature", "returns", "calls", "django_relations"]
    assert hits[1]["id"] == "d" and "django_relations" not in hits[1]
    deep = "[" * 129 + "]" * 129
    engine.add_node("e", "Class", "Deep", "m.py", django_relations_json=deep)
    assert "django_relations" not in engine.search("deep")[0]


def test_get_all_metadata_key_order(engine):
    engine.add_node("a", "Function", "f", "m.py", lines_start=1, lines_end=2, extra_json="{}",
                    django_relations_json=" [ ] ")
    engine.add_node("b", "Function", "g", "")
    engine.build()
    dump = engine.get_all_metadata()
    assert set(dump) == {"a", "b"}
    assert list(dump["a"]) == ["type", "name", "file_path", "node_id", "lines", "django_relations_json",
                               "calls_count", "callers_count", "lines_count", "blast_radius_score", "extra_json"]
    assert dump["a"]["django_relations_json"] == " [ ] "
    assert dump["b"] == {"type": "Function", "name": "g", "file_path": "", "node_id": "b", "calls_count": 0,
                         "callers_count": 0, "blast_radius_score": 0}


def test_empty_engine(engine):
    assert engine.search("x") == []
    assert engine.get_all_metadata() == {}
    assert engine.get_stats() == {"nodes": 0, "edges": "not built"}


def test_raw_nul_byte_made_the_text_before_it_count_as_json(engine):
    engine.add_node("a", "Class", "Alpha", "m.py", django_relations_json='{"a":1}\x00garbage')
    engine.add_node("b", "Class", "Alphabet", "m.py", django_relations_json='["x\\u0000y"]')
    hits = {h["id"]: h for h in engine.search("alpha")}
    assert "django_relations" not in hits["a"]
    assert hits["b"]["django_relations"] == '["x\\u0000y"]'


def test_search_follows_edits_and_restores(tmp_path):
    ws = str(tmp_path / "ws")
    engine = corvanedb.PyMetadataEngine(ws)
    engine.add_node("m.py:load", "Function", "load", "m.py")
    engine.add_node("m.py", "File", "m.py", "pkg/m.py")
    engine.add_node("n.py:reload", "Function", "reload", "n.py")
    assert ids(engine.search("load")) == ["m.py:load", "n.py:reload"]
    engine.invalidate_file("m.py")
    assert ids(engine.search("load")) == ["n.py:reload"]
    engine.add_node("m.py:load", "Class", "Loader", "m.py")
    engine.add_node("n.py:reload", "File", "reload", "x/unloaded.py")  # now by its base name
    assert sorted(ids(engine.search("load"))) == ["m.py:load", "n.py:reload"]
    assert ids(engine.search("unloaded")) == ["n.py:reload"]
    engine.save()
    restored = corvanedb.PyMetadataEngine(ws)
    assert sorted(ids(restored.search("load"))) == ["m.py:load", "n.py:reload"]
    assert ids(restored.search("m")) == ["m.py"]  # the File node, by its stem
