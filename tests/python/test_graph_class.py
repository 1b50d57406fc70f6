
import pytest

import korvale
from child import run_python
from store_helpers import (
    ab_graph,
    build,
    message_of,
    node_of,
    report,
    var_uid,
)

SET_NODE = "graph - set node properties [src/graph/base:{}]"


@pytest.mark.parametrize(
    "make",
    [
        lambda: korvale.Graph(),
        lambda: korvale.Graph(None),
        lambda: korvale.Graph([]),
        lambda: korvale.Graph(()),
        lambda: korvale.Graph(constants=()),
        lambda: korvale.Graph(constants=None),
    ],
)
def test_graph_without_constants(make):
    graph = make()
    assert graph.nodes() == []
    assert graph.edges() == []
    # Without constants no node gets a term of its own.
    build(graph, "(x:Nat)")
    assert node_of(graph, "Nat").term() is None


class OddSequence:
    """Not a list or tuple, but a sequence by the interpreter's test."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


def test_constants_give_terms_to_created_nodes():
    zero = korvale.Constant("zero", "Nat")
    for constants in ([zero], (zero,), OddSequence([zero])):
        graph = korvale.Graph(constants)
        build(graph, "(x:Nat)")
        assert str(node_of(graph, "Nat")) == "Node(Nat:zero {})"


def test_later_constant_of_a_name_wins():
    graph = korvale.Graph([korvale.Constant("c", "Int"), korvale.Constant("c", "Nat")])
    build(graph, "(x:Nat)", "(y:Int)")
    assert str(node_of(graph, "Nat")) == "Node(Nat:c {})"
    assert node_of(graph, "Int").term() is None


# Schemas that all fit Nat (exact, any, captured any) and two that do not.
FITS_NAT = {"exact": "Nat", "any": "*", "captured": "(n: *)"}
MISFITS_NAT = {"int": "Int", "arrow": "(a: *) -> *"}


@pytest.mark.parametrize(
    "names, supplier",
    [
        (["exact", "any", "captured"], "exact"),
        (["any", "exact", "captured"], "any"),
        (["captured", "any", "exact"], "captured"),
        (["int", "captured", "exact"], "captured"),
        (["arrow", "exact", "any"], "exact"),
        (["int", "arrow"], None),
    ],
)
def test_first_declared_fitting_constant_supplies_the_term(names, supplier):
    schemas = {**FITS_NAT, **MISFITS_NAT}
    graph = korvale.Graph([korvale.Constant(name, schemas[name]) for name in names])
    build(graph, "(x:Nat)")
    term = node_of(graph, "Nat").term()
    assert (None if term is None else str(term)) == supplier


def test_a_replaced_constant_stands_where_it_was_given_last():
    graph = korvale.Graph(
        [korvale.Constant("c", "Nat"), korvale.Constant("any", "*"), korvale.Constant("c", "Nat")]
    )
    build(graph, "(x:Nat)")
    assert str(node_of(graph, "Nat").term()) == "any"


# Many fitting constants, the first declared last in alphabetical order: the
# table's hashing, seeded anew in every process, must not choose among them.
CHILD = """
import korvale
names = ["z9"] + [f"c{k}" for k in range(12)]
graph = korvale.Graph([korvale.Constant(name, "*" if k % 2 else "Nat")
                       for k, name in enumerate(names)])
graph.query().create("(x:Nat)").execute()
(row,) = graph.query().match("(x:Nat)").return_("x")
print(row["x"].term())
"""


def test_every_process_picks_the_same_constant():
    answers = []
    for seed in range(5):
        done = run_python(
            CHILD, timeout=60, env={"PYTHONHASHSEED": str(seed)}, asan_options="detect_leaks=0"
        )
        assert done.returncode == 0, done.stderr
        answers.append(done.stdout)
    assert answers == ["z9\n"] * 5


CONSTANT = korvale.Constant("c", "A")


@pytest.mark.parametrize(
    "argument, text",
    [
        ("abc", "argument 'constants': Can't extract `str` to `Vec`"),
        ("", "argument 'constants': Can't extract `str` to `Vec`"),
        (5, "argument 'constants': 'int' object cannot be cast as 'Sequence'"),
        ({"a": 1}, "argument 'constants': 'dict' object cannot be cast as 'Sequence'"),
        ({1, 2}, "argument 'constants': 'set' object cannot be cast as 'Sequence'"),
        # The iterator's class name is the interpreter's own.
        (
            iter([]),
            f"argument 'constants': '{type(iter([])).__qualname__}' object cannot be cast as "
            "'Sequence'",
        ),
        ([CONSTANT, 5], "argument 'constants': 'int' object cannot be cast as 'Constant'"),
        ((CONSTANT, "x"), "argument 'constants': 'str' object cannot be cast as 'Constant'"),
    ],
)
def test_constructor_refuses(argument, text):
    with pytest.raises(TypeError) as error:
        korvale.Graph(argument)
    assert str(error.value) == text


@pytest.mark.parametrize(
    "call",
    [
        lambda: korvale.Graph(None, None),
        lambda: korvale.Graph(constant=None),
        lambda: korvale.Graph(None, constants=None),
    ],
)
def test_constructor_argument_list(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("method", ["query", "nodes", "edges"])
def test_methods_without_arguments_refuse_arguments(method):
    with pytest.raises(TypeError):
        getattr(korvale.Graph(), method)(1)


def test_nodes_and_edges_list_every_element():
    graph = build(ab_graph(), "(a:A)-[f:A -> B]->(b:B)", "(c:C)")
    nodes = graph.nodes()
    assert sorted(n.uid() for n in nodes) == sorted(
        var_uid(name).hex() for name in ["A", "B", "C"]
    )
    assert all(type(n) is korvale.Node for n in nodes)
    (edge,) = graph.edges()
    assert type(edge) is korvale.Edge
    assert edge.uid() == (var_uid("A").hex(), var_uid("B").hex())
    # Each call makes new objects, equal to the earlier ones.
    again = graph.nodes()
    assert sorted(again, key=lambda n: n.uid()) == sorted(nodes, key=lambda n: n.uid())
    assert all(a is not b for a in again for b in nodes)
    assert graph.edges() == [edge]


def test_query_opens_an_empty_query_on_the_same_store():
    graph = korvale.Graph()
    query = graph.query()
    assert type(query) is korvale.Query
    assert str(query) == ""
    query.create("(x:A)").execute()
    assert [n.uid() for n in graph.nodes()] == [var_uid("A").hex()]


def a_b_graph():
    graph = build(ab_graph(), "(a:A {k: 1})-[f:A -> B {w: 1}]->(b:B)")
    return graph, var_uid("A").hex(), var_uid("B").hex()


def properties_by_uid(graph):
    return {n.uid(): n.properties() for n in graph.nodes()}


def test_set_node_properties_replaces_or_merges():
    graph, a, b = a_b_graph()
    assert graph.set_node_properties({a: {"x": 1}, b.upper(): {"y": [1, 2]}}) is None
    assert properties_by_uid(graph) == {a: {"x": 1}, b: {"y": [1, 2]}}
    graph.set_node_properties({a: {"z": 2, "x": 5}}, overwrite=False)
    assert properties_by_uid(graph)[a] == {"x": 5, "z": 2}
    graph.set_node_properties(map={a: {}}, overwrite=True)
    assert properties_by_uid(graph)[a] == {}


def test_set_node_properties_with_nothing_changes_nothing():
    graph, a, b = a_b_graph()
    before = properties_by_uid(graph)
    assert graph.set_node_properties({}) is None
    assert graph.set_edge_properties({}, False) is None
    assert properties_by_uid(graph) == before


def test_keys_differing_in_case_set_once_from_the_later_key():
    graph, a, _ = a_b_graph()
    graph.set_node_properties({a.upper(): {"first": 1}, a: {"second": 2}})
    assert properties_by_uid(graph)[a] == {"second": 2}
    graph.set_node_properties({a: {"first": 1}, a.upper(): {"second": 2}})
    assert properties_by_uid(graph)[a] == {"second": 2}


@pytest.mark.parametrize("bad_first", [True, False])
def test_a_bad_key_applies_nothing(bad_first):
    graph, a, b = a_b_graph()
    before = properties_by_uid(graph)
    entries = [("zz", {"x": 1}), (a, {"x": 1})]
    if not bad_first:
        entries.reverse()
    with pytest.raises(ValueError) as error:
        graph.set_node_properties(dict(entries))
    assert message_of(error) == report(
        "Hex Conversion Error: 'Invalid hex string: zz - 'Invalid character 'z' at position 0''"
        " (hex str to uid)",
        SET_NODE.format(928),
    )
    assert properties_by_uid(graph) == before


def test_a_bad_value_applies_nothing():
    graph, a, b = a_b_graph()
    before = properties_by_uid(graph)
    with pytest.raises(RuntimeError) as error:
        graph.set_node_properties({a: {"x": 1}, b: [1]})
    assert message_of(error) == report(
        "Python Error: 'Root of PropertyMap should be a Dict' (property map new [src/properties:92])",
        SET_NODE.format(931),
    )
    assert properties_by_uid(graph) == before


@pytest.mark.parametrize(
    "map_, exception, text",
    [
        ([], TypeError, "'list' object cannot be cast as 'dict'"),
        (None, TypeError, "'NoneType' object cannot be cast as 'dict'"),
        ({5: {}}, TypeError, "'int' object cannot be cast as 'str'"),
        ({("a", "b"): {}}, TypeError, "'tuple' object cannot be cast as 'str'"),
    ],
)
def test_set_node_properties_refuses(map_, exception, text):
    graph, _, _ = a_b_graph()
    with pytest.raises(exception) as error:
        graph.set_node_properties(map_)
    assert str(error.value) == text


@pytest.mark.parametrize("overwrite", [1, 0, None, "yes"])
@pytest.mark.parametrize("method", ["set_node_properties", "set_edge_properties"])
def test_overwrite_must_be_a_bool(method, overwrite):
    graph, a, _ = a_b_graph()
    with pytest.raises(TypeError) as error:
        getattr(graph, method)({}, overwrite)
    assert str(error.value) == (
        f"argument 'overwrite': '{type(overwrite).__name__}' object cannot be cast as 'bool'"
    )


def test_set_node_properties_on_a_missing_node():
    graph = korvale.Graph()
    missing = var_uid("Nowhere").hex()
    with pytest.raises(KeyError) as error:
        graph.set_node_properties({missing: {"a": 1}}, overwrite=False)
    assert message_of(error) == report(
        f"Node with Uid: '{missing}' not found (graph - set node properties)",
        SET_NODE.format(943),
    )


def test_set_edge_properties_with_tuple_keys():
    graph, a, b = a_b_graph()
    (edge,) = graph.edges()
    graph.set_edge_properties({(a.upper(), b): {"w": 2}}, overwrite=False)
    assert edge.properties() == {"w": 2}

    class Pair(tuple):
        pass

    graph.set_edge_properties({Pair((a, b)): {"v": 3}})
    assert edge.properties() == {"v": 3}


@pytest.mark.parametrize(
    "key, text",
    [
        ("ab", "'str' object cannot be cast as 'tuple'"),
        (("a", "b", "c"), "expected tuple of length 2, but got tuple of length 3"),
        (("a",), "expected tuple of length 2, but got tuple of length 1"),
        (("a", 5), "'int' object cannot be cast as 'str'"),
    ],
)
def test_set_edge_properties_refuses_keys(key, text):
    graph, _, _ = a_b_graph()
    with pytest.raises(TypeError) as error:
        graph.set_edge_properties({key: {}})
    assert str(error.value) == text


class ListKey(list):
    """A list that can stand as a dict key, to show that only tuples are edge keys."""

    def __hash__(self):
        return hash(tuple(self))


def test_set_edge_properties_refuses_a_list_key():
    graph, a, b = a_b_graph()
    with pytest.raises(TypeError) as error:
        graph.set_edge_properties({ListKey([a, b]): {}})
    assert str(error.value) == "'ListKey' object cannot be cast as 'tuple'"


@pytest.mark.parametrize("position, line", [(0, 961), (1, 964)])
def test_set_edge_properties_bad_hex(position, line):
    graph, a, b = a_b_graph()
    (edge,) = graph.edges()
    key = [a, b]
    key[position] = "abc"
    with pytest.raises(ValueError) as error:
        graph.set_edge_properties({(a, b): {"x": 1}, tuple(key): {}})
    assert message_of(error) == report(
        "Hex Conversion Error: 'Invalid hex string: abc - 'Odd number of digits''"
        " (hex str to uid)",
        SET_NODE.format(line),
    )
    assert edge.properties() == {"w": 1}


def test_set_edge_properties_bad_value():
    graph, a, b = a_b_graph()
    with pytest.raises(RuntimeError) as error:
        graph.set_edge_properties({(a, b): 5})
    assert message_of(error) == report(
        "Python Error: 'Root of PropertyMap should be a Dict' (property map new [src/properties:92])",
        SET_NODE.format(967),
    )


def test_set_edge_properties_on_a_missing_edge():
    graph, a, b = a_b_graph()
    with pytest.raises(KeyError) as error:
        graph.set_edge_properties({(b, a): {}}, overwrite=False)
    assert message_of(error) == report(
        f"Edge with Uid: '({b}, {a})' not found (graph - set node properties)",
        SET_NODE.format(979),
    )


def test_overwrite_stores_the_very_map_for_every_key():
    graph, a, b = a_b_graph()
    graph.set_node_properties({a: {"x": 1}, b: {"x": 1}})
    # Each value gets a map of its own: merging into one leaves the other.
    graph.set_node_properties({a: {"y": 2}}, overwrite=False)
    assert properties_by_uid(graph) == {a: {"x": 1, "y": 2}, b: {"x": 1}}


def test_properties_hold_arbitrary_objects():
    graph, a, _ = a_b_graph()
    marker = object()
    graph.set_node_properties({a: {"obj": marker, "nested": {"l": [marker, None]}}})
    got = properties_by_uid(graph)[a]
    assert got["obj"] is marker
    assert got["nested"]["l"][0] is marker
