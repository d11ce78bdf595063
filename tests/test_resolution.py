"""End-to-end call and relation resolution through PyMetadataEngine."""
import json

import pytest


def add_module(engine, path, imports=None, receivers=None, shadowed=None):
    extra = {"python_import_bindings": imports or {}}
    if receivers is not None:
        extra["python_receiver_types"] = receivers
    if shadowed is not None:
        extra["python_shadowed_names"] = shadowed
    engine.add_node(path, "File", path, path, _extra=extra)


def add_def(engine, node_id, node_type="Function", **kw):
    file_path, qual = node_id.split(":", 1)
    engine.add_node(node_id, node_type, qual.rsplit(".", 1)[-1], file_path, **kw)


@pytest.fixture
def shop(engine):
    """Models, a repository and a view over three files."""
    add_module(engine, "shop/models.py")
    add_def(engine, "shop/models.py:Model", "Class")
    add_def(engine, "shop/models.py:Model.save")
    add_def(engine, "shop/models.py:Order", "Class", _extra={"base_classes": ["Model"]},
            django_relations_json=json.dumps([{"related_model": "shop.Customer"}]))
    add_def(engine, "shop/models.py:Order.save", calls=["super.save", "self.total", "len"])
    add_def(engine, "shop/models.py:Order.total")
    add_def(engine, "shop/models.py:Customer", "Class")
    add_module(engine, "shop/views.py",
               imports={"": {"Order": {"module": "shop/models", "symbol": "Order", "kind": "symbol"},
                             "models": {"module": "shop/models.py", "kind": "module"}}},
               receivers={"checkout": {"order": "Order"}},
               shadowed={"refund": ["Order"]})
    add_def(engine, "shop/views.py:checkout", calls=["Order", "order.total", "models.Customer", "checkout"])
    add_def(engine, "shop/views.py:refund", calls=["Order", "models.Order"])
    return engine


def test_python_calls_follow_imports_receivers_and_shadowing(shop):
    assert shop.resolve_and_connect_calls("shop/models.py:Order.save", ["super.save", "self.total", "len"]) == 2
    # The self-call is resolved but never connected.
    assert shop.resolve_and_connect_calls("shop/views.py:checkout",
                                          ["Order", " order.total\u00a0", "models.Customer", "checkout"]) == 3
    assert shop.resolve_and_connect_calls("shop/views.py:refund", ["Order", "models.Order"]) == 1
    assert shop.resolve_and_connect_calls("shop/views.py:nope", ["Order"]) == 0
    shop.build()
    assert sorted(shop.get_callees("shop/models.py:Order.save")) == [
        "shop/models.py:Model.save", "shop/models.py:Order.total"]
    assert sorted(shop.get_callees("shop/views.py:checkout")) == [
        "shop/models.py:Customer", "shop/models.py:Order", "shop/models.py:Order.total"]
    assert shop.get_callees("shop/views.py:refund") == ["shop/models.py:Order"]


def test_call_names_must_be_a_sequence_of_str(shop):
    with pytest.raises(TypeError):
        shop.resolve_and_connect_calls("shop/views.py:checkout", "Order")
    with pytest.raises(TypeError):
        shop.resolve_and_connect_calls("shop/views.py:checkout", [1])
    assert shop.resolve_and_connect_calls("shop/views.py:checkout", ("Order",)) == 1


def test_django_relations(shop):
    relations = json.dumps([{"related_model": "shop.Customer"}, {"related_model": "Order"},
                            {"related_model": "Customer"}, {"name": "x"}, 5])
    # Order names itself (skipped) and Customer twice (both count).
    assert shop.resolve_and_connect_django("shop/models.py:Order", relations) == 2
    for text in ["", "{}", "[]", "not json"]:
        assert shop.resolve_and_connect_django("shop/models.py:Order", text) == 0
    shop.build()
    assert shop.get_dependencies("shop/models.py:Order") == ["shop/models.py:Customer"]
    assert shop.get_callees("shop/models.py:Order") == []


def test_repopulate_resolves_stored_calls_and_relations(shop):
    per_call = {}
    for node_id in ["shop/models.py:Order.save", "shop/views.py:checkout", "shop/views.py:refund"]:
        shop.resolve_and_connect_calls(node_id, shop.get_node_meta(node_id)["calls"])
    shop.resolve_and_connect_django("shop/models.py:Order", shop.get_node_meta("shop/models.py:Order")["django_relations_json"])
    shop.build()
    for node_id in ["shop/models.py:Order.save", "shop/views.py:checkout", "shop/views.py:refund", "shop/models.py:Order"]:
        per_call[node_id] = sorted(shop.get_dependencies(node_id))

    # A change of file: drop views, re-add it, repopulate: the same edges as resolving each node.
    assert shop.invalidate_file("shop/views.py") == 3
    add_module(shop, "shop/views.py",
               imports={"": {"Order": {"module": "shop/models", "symbol": "Order", "kind": "symbol"},
                             "models": {"module": "shop/models.py", "kind": "module"}}},
               receivers={"checkout": {"order": "Order"}},
               shadowed={"refund": ["Order"]})
    add_def(shop, "shop/views.py:checkout", calls=["Order", "order.total", "models.Customer", "checkout"])
    add_def(shop, "shop/views.py:refund", calls=["Order", "models.Order"])
    shop.repopulate_edges()
    shop.build()
    for node_id, expected in per_call.items():
        assert sorted(shop.get_dependencies(node_id)) == expected, node_id


def test_base_names_were_resolved_in_the_callers_file(engine):
    # pkg/a.py: class Base (run), class Child(Base). pkg/b.py: an unrelated Base (run) and
    # def f(c: Child): c.run(). Python runs pkg/a.py's Base.run.
    add_module(engine, "pkg/a.py")
    add_def(engine, "pkg/a.py:Base", "Class")
    add_def(engine, "pkg/a.py:Base.run")
    add_def(engine, "pkg/a.py:Child", "Class", _extra={"base_classes": ["Base"]})
    add_module(engine, "pkg/b.py", imports={"": {"Child": {"module": "pkg/a", "symbol": "Child", "kind": "symbol"}}},
               receivers={"f": {"c": "Child"}})
    add_def(engine, "pkg/b.py:Base", "Class")
    add_def(engine, "pkg/b.py:Base.run")
    add_def(engine, "pkg/b.py:f", calls=["c.run"])
    assert engine.resolve_and_connect_calls("pkg/b.py:f", ["c.run"]) == 1
    engine.build()
    assert engine.get_callees("pkg/b.py:f") == ["pkg/a.py:Base.run"]
    engine.repopulate_edges()
    engine.build()
    assert engine.get_callees("pkg/b.py:f") == ["pkg/a.py:Base.run"]
