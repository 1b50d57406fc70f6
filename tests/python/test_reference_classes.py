import pytest

import korvale
from store_helpers import ab_graph, arrow_uid, build, message_of, node_of, report, var_uid

A, B = var_uid("A").hex(), var_uid("B").hex()
A_TO_B = arrow_uid(var_uid("A"), var_uid("B")).hex()


def a_b_graph():
    return build(ab_graph(), "(a:A {n: 'x'})-[f:A -> B {w: 1}]->(b:B)", "(c:C)")


def refs(graph):
    (row,) = graph.query().match("(a:A)-[f]->(b:B)").return_("a", "f", "b")
    return row["a"], row["f"], row["b"]


def test_node_reference():
    graph = a_b_graph()
    a, _, b = refs(graph)
    assert a.uid() == A
    assert type(a.type()) is korvale.Type and a.type().uid() == A
    assert type(a.term()) is korvale.Term and a.term().uid() == A
    assert a.properties() == {"n": "x"}
    assert str(a) == repr(a) == "Node(A:a {n: \"x\"})"
    assert str(a.type()) == repr(a.type()) == "A"
    assert str(a.term()) == repr(a.term()) == "a"
    # b's term was derived along the edge.
    assert str(b.term()) == "(f a)"


def test_node_without_a_term():
    graph = a_b_graph()
    c = node_of(graph, "C")
    assert c.term() is None
    assert str(c) == "Node(C: {})"


def test_edge_reference():
    graph = a_b_graph()
    _, f, _ = refs(graph)
    assert f.uid() == (A, B)
    assert type(f.type()) is korvale.Type and f.type().uid() == A_TO_B
    assert type(f.term()) is korvale.Term and f.term().uid() == A_TO_B
    assert str(f) == repr(f) == "Edge((A -> B):f {w: 1})"
    assert str(f.type()) == "(A -> B)"
    assert str(f.term()) == "f"
    assert f.properties() == {"w": 1}


def test_properties_give_a_new_dict_each_time():
    graph = a_b_graph()
    a, _, _ = refs(graph)
    first, second = a.properties(), a.properties()
    assert first == second and first is not second
    first["n"] = "changed"
    assert second == {"n": "x"}
    assert a.properties() == {"n": "x"}


def test_a_term_reference_shows_the_term_the_store_holds_now():
    graph = korvale.Graph([korvale.Constant("a", "A"), korvale.Constant("other", "A")])
    build(graph, "(:A:@a())")
    term = node_of(graph, "A").term()
    assert str(term) == "a"
    build(graph, "(:A:@other())")
    assert str(term) == "other"


def test_references_after_their_node_is_removed():
    graph = a_b_graph()
    a, f, _ = refs(graph)
    graph.query().match("(x:A)").remove("x").execute()
    with pytest.raises(KeyError) as error:
        a.properties()
    assert message_of(error) == report(
        f"Node with Uid: '{A}' not found (node properties)",
        "node reference - get properties [src/query/references/node:43]",
    )
    for text in (str, repr):
        with pytest.raises(KeyError) as error:
            text(a)
        assert message_of(error) == f"Node with Uid: '{A}' not found (node to string)"
    # Types and terms are never removed.
    assert a.uid() == A
    assert str(a.type()) == "A"
    assert str(a.term()) == "a"
    # The edge went with its start node.
    expected_edge = [
        ("type", "edge - type [src/query/references/edge:51]", "graph - get edge type"),
        ("term", "edge - type [src/query/references/edge:61]", "graph - get edge type"),
        (
            "properties",
            "edge reference - get properties [src/query/references/edge:42]",
            "edge properties",
        ),
    ]
    for method, line, context in expected_edge:
        with pytest.raises(KeyError) as error:
            getattr(f, method)()
        assert message_of(error) == report(
            f"Edge with Uid: '({A}, {B})' not found ({context})", line
        )
    with pytest.raises(KeyError) as error:
        str(f)
    assert message_of(error) == report(
        f"Edge with Uid: '({A}, {B})' not found (edge to string)",
        "edge reference - to string [src/query/references/edge:70]",
    )
    assert f.uid() == (A, B)


def test_a_reference_works_again_once_its_node_is_back():
    graph = a_b_graph()
    a, _, _ = refs(graph)
    graph.query().match("(x:A)").remove("x").execute()
    build(graph, "(:A)")
    assert str(a) == "Node(A:a {})"


def all_refs():
    graph = a_b_graph()
    a, f, b = refs(graph)
    return graph, a, f, b


def test_equality_by_class_and_identifier():
    graph, a, f, b = all_refs()
    other_graph = a_b_graph()
    a2, f2, _ = refs(other_graph)
    assert a == a and a == a2 and f == f2
    assert a != b and not (a != a2)
    assert a.type() == a.type() and a.term() == a.term()
    # Same identifier, other class: not equal.
    assert a != a.type() and a.type() != a.term() and a.term() != a
    assert not (a == a.type())
    assert f.type() != f.term()
    assert f.type().uid() == f.term().uid()


@pytest.mark.parametrize("pick", [0, 1, 2, 3])
def test_comparison_with_other_objects(pick):
    _, a, f, _ = all_refs()
    ref = [a, f, a.type(), a.term()][pick]
    assert (ref == 5) is False
    assert (ref != 5) is True
    assert ref.__eq__(5) is NotImplemented
    assert ref != "x" and ref != None  # noqa: E711
    for order in (lambda x, y: x < y, lambda x, y: x <= y, lambda x, y: x > y, lambda x, y: x >= y):
        with pytest.raises(TypeError):
            order(ref, ref)


def test_not_equal_uses_the_reflected_equality():
    _, a, _, _ = all_refs()

    class EqualsEverything:
        def __eq__(self, other):
            return True

    assert a == EqualsEverything()
    assert (a != EqualsEverything()) is False


@pytest.mark.parametrize("name", ["Node", "Edge", "Term", "Type"])
def test_references_have_no_hash(name):
    _, a, f, _ = all_refs()
    ref = {"Node": a, "Edge": f, "Term": a.term(), "Type": a.type()}[name]
    assert type(ref).__hash__ is None
    with pytest.raises(TypeError):
        hash(ref)


@pytest.mark.parametrize(
    "method", ["uid", "properties", "type", "term"],
)
def test_methods_take_no_arguments(method):
    _, a, f, _ = all_refs()
    for ref in (a, f):
        with pytest.raises(TypeError):
            getattr(ref, method)(1)
    with pytest.raises(TypeError):
        a.term().uid(1)


@pytest.mark.parametrize("name", ["Term", "Type"])
def test_terms_and_types_have_only_uid(name):
    cls = getattr(korvale, name)
    for method in ("properties", "type", "term"):
        assert not hasattr(cls, method)
