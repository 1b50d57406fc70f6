import importlib
import inspect
import sys

import pytest

import korvale
from interpreter import PYPY, pypy_cannot

NAMES = ["Graph", "Query", "Edge", "Node", "Term", "Type", "Constant"]


def test_all_lists_the_classes_in_registration_order():
    assert korvale.__all__ == NAMES
    for name in NAMES:
        assert isinstance(getattr(korvale, name), type)
        assert getattr(korvale, name).__name__ == name


def test_no_attributes_of_its_own_besides_the_classes():
    own = {name for name in vars(korvale) if not (name.startswith("__") and name.endswith("__"))}
    assert own == set(NAMES)
    assert korvale.__doc__ == ""


@pytest.mark.parametrize("name", ["Query", "Edge", "Node", "Term", "Type"])
def test_classes_without_constructor_cannot_be_called(name):
    with pytest.raises(TypeError):
        getattr(korvale, name)()


class SilentMixin:
    """Swallows __init_subclass__, so a guard placed there never runs."""

    def __init_subclass__(cls, **keywords):
        pass


@pytest.mark.parametrize("bases", [(), (SilentMixin,)], ids=["alone", "after-silent-mixin"])
@pytest.mark.parametrize("name", NAMES)
def test_classes_cannot_be_subclassed(name, bases):
    with pytest.raises(TypeError) as raised:
        type("Sub", bases + (getattr(korvale, name),), {})
    assert str(raised.value) == f"type 'korvale.{name}' is not an acceptable base type"


def instances():
    graph = korvale.Graph([korvale.Constant("a", "A"), korvale.Constant("f", "A -> B")])
    graph.query().create("(a:A)-[f:A -> B]->(b:B)").execute()
    (row,) = graph.query().match("(a)-[f]->(b)").return_("a", "f")
    return {
        "Graph": graph,
        "Query": graph.query(),
        "Edge": row["f"],
        "Node": row["a"],
        "Term": row["a"].term(),
        "Type": row["a"].type(),
        "Constant": korvale.Constant("c", "A"),
    }


@pypy_cannot(
    "every instance of an extension class gets a __dict__ and takes new attributes"
)
@pytest.mark.parametrize("name", NAMES)
def test_instances_take_no_new_attributes(name):
    instance = instances()[name]
    assert type(instance).__name__ == name
    with pytest.raises(AttributeError):
        instance.anything = 1
    assert not hasattr(instance, "__dict__")


SIGNATURES = {
    ("Graph", "query"): "(self)",
    ("Graph", "nodes"): "(self)",
    ("Graph", "edges"): "(self)",
    ("Graph", "set_node_properties"): "(self, map, overwrite=True)",
    ("Graph", "set_edge_properties"): "(self, map, overwrite=True)",
    ("Query", "create"): "(self, pattern)",
    ("Query", "match"): "(self, pattern)",
    ("Query", "remove"): "(self, *variables)",
    ("Query", "set"): "(self, variable, properties, overwrite=True)",
    ("Query", "execute"): "(self)",
    ("Query", "return_"): "(self, *variables)",
    ("Node", "uid"): "(self)",
    ("Node", "properties"): "(self)",
    ("Node", "type"): "(self)",
    ("Node", "term"): "(self)",
    ("Edge", "uid"): "(self)",
    ("Edge", "properties"): "(self)",
    ("Edge", "type"): "(self)",
    ("Edge", "term"): "(self)",
    ("Term", "uid"): "(self)",
    ("Type", "uid"): "(self)",
}


@pytest.mark.parametrize("class_name, method", sorted(SIGNATURES))
@pypy_cannot(
    "a method read from an extension class is a cinstancemethod without "
    "__text_signature__, so inspect.signature() fails on it (bound methods have theirs)"
)
def test_method_signatures(class_name, method):
    function = getattr(getattr(korvale, class_name), method)
    assert str(inspect.signature(function)) == SIGNATURES[class_name, method]


def test_method_tables_in_order():
    def methods(cls):
        return [name for name in vars(cls) if not name.startswith("_")]

    assert methods(korvale.Graph) == [
        "query", "nodes", "edges", "set_node_properties", "set_edge_properties"
    ]
    assert methods(korvale.Query) == ["create", "match", "remove", "set", "execute", "return_"]
    assert methods(korvale.Node) == ["uid", "properties", "type", "term"]
    assert methods(korvale.Edge) == ["uid", "properties", "type", "term"]
    assert methods(korvale.Term) == ["uid"]
    assert methods(korvale.Type) == ["uid"]


def test_graph_constructor_signature():
    assert str(inspect.signature(korvale.Graph)) == "(constants=None)"
    assert korvale.Graph.__text_signature__ == "(constants=None)"


@pytest.mark.parametrize("class_name, method", sorted(SIGNATURES))
def test_bound_methods_drop_self(class_name, method):
    bound = getattr(instances()[class_name], method)
    expected = SIGNATURES[class_name, method].replace("(self, ", "(").replace("(self)", "()")
    assert str(inspect.signature(bound)) == expected


@pytest.mark.parametrize("class_name, method", sorted(SIGNATURES))
def test_methods_refuse_another_class_as_self(class_name, method):
    other = instances()["Graph" if class_name != "Graph" else "Query"]
    with pytest.raises(TypeError):
        getattr(getattr(korvale, class_name), method)(other)


@pytest.mark.parametrize(
    "call",
    [
        lambda query: query.return_(variables="n"),
        lambda query: query.execute(1),
        lambda query: korvale.Query.return_(),
        lambda query: korvale.Graph().query(1),
    ],
    ids=["return_ keyword", "execute argument", "return_ without self", "query argument"],
)
def test_methods_refuse_arguments_outside_their_signature(call):
    query = korvale.Graph().query().create("(n:A)")
    with pytest.raises(TypeError):
        call(query)
    # The refused call left the query free for the next one.
    assert [str(row["n"]) for row in query.return_("n")] == ["Node(A: {})"]


def test_import_again_gives_the_same_classes():
    classes = [getattr(korvale, name) for name in NAMES]
    del sys.modules["korvale"]
    again = importlib.import_module("korvale")
    assert [getattr(again, name) for name in NAMES] == classes
    assert again.__all__ == NAMES


def test_query_has_no_comparison_of_its_own():
    graph = korvale.Graph()
    first, second = graph.query(), graph.query()
    assert first != second and first == first


# The methods that every query calls are the interpreter's own kind of method:
# misuse gets the interpreter's texts. PyPy names the class without its module.
def _class_text(name):
    return name if PYPY else f"korvale.{name}"


GRAPH = korvale.Graph()
QUERY = GRAPH.query()


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: korvale.Graph.query(5),
         f"descriptor 'query' for '{_class_text('Graph')}' objects doesn't apply to a 'int' object"),
        (lambda: GRAPH.query(1), "query() takes exactly one argument (2 given)"),
        (lambda: GRAPH.query(x=1), "query() takes no keyword arguments"),
        (lambda: korvale.Query.execute(5),
         f"descriptor 'execute' for '{_class_text('Query')}' objects doesn't apply to a 'int' object"),
        (lambda: QUERY.execute(1), "execute() takes exactly one argument (2 given)"),
        (lambda: QUERY.execute(x=1), "execute() takes no keyword arguments"),
        (lambda: korvale.Query.return_(5),
         f"descriptor 'return_' for '{_class_text('Query')}' objects doesn't apply to a 'int' object"),
        (lambda: korvale.Query.return_(), "descriptor 'return_' of 'korvale.Query' object needs an argument"),
        (lambda: QUERY.return_(x=1), "return_() takes no keyword arguments"),
    ],
    ids=["query on int", "query extra", "query keyword", "execute on int", "execute extra",
         "execute keyword", "return_ on int", "return_ without self", "return_ keyword"],
)
def test_misused_plain_methods_raise_the_interpreters_texts(call, text):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == text
