"""A Python object held in a property value is given back as soon as korvale
lets go of it: when the last korvale object that reaches its store is freed,
and at interpreter exit for everything still held, so that finalisers run (a
buffered file kept in a property has its data on disk)."""

import textwrap
import weakref

import pytest

import korvale
from child import run_python
from interpreter import collect
from store_helpers import ANY_ARROW


class Payload:
    pass


def store_holding(payload):
    """A store whose node and edge properties hold the payload, and one result
    row over them. Nothing else refers to the store."""
    graph = korvale.Graph([ANY_ARROW])
    graph.query().create("(:A)-[:A -> B]->(:B)").execute()
    graph.query().match("(x)-[e]->(y)").set("x", {"p": payload}).set("e", {"p": [payload]}).execute()
    (row,) = graph.query().match("(x)-[e]->(y)").return_("x", "e")
    return graph, row


@pytest.mark.parametrize(
    "keep",
    [
        lambda graph, row: graph,
        lambda graph, row: graph.query().match("(x)"),
        lambda graph, row: row["x"],
        lambda graph, row: row["e"],
        lambda graph, row: row["e"].term(),
        lambda graph, row: row["x"].type(),
    ],
    ids=["Graph", "Query", "Node", "Edge", "Term", "Type"],
)
def test_object_dies_with_the_last_korvale_object_of_its_store(keep):
    payload = Payload()
    alive = weakref.ref(payload)
    kept = keep(*store_holding(payload))
    del payload
    collect()
    assert alive() is not None  # `kept` still reaches the store
    # No korvale call follows: freeing `kept` itself gives the object back.
    del kept
    collect()
    assert alive() is None


# --- at interpreter exit ---------------------------------------------------------------

CHILD = """
import sys
import korvale
import korvale_testing

graph = korvale.Graph()
graph.query().create("(:A)").execute()
out = open(sys.argv[1], "w")  # buffered: the text reaches the disk when it is closed
out.write("written before exit")
graph.query().match("(x:A)").set("x", {{"file": [out]}}).execute()
del out
{ending}
"""

ENDINGS = {
    "graph dropped": "del graph",
    "graph alive in a global": "",
    "graph in a reference cycle": """
        cycle = [graph]
        cycle.append(cycle)
        del graph, cycle
    """,
    # A reference that is never given back keeps the graph to the very end.
    "graph held by a leaked object": "korvale_testing.hold(graph); del graph",
    "graph used by a daemon thread": """
        import threading

        def use():
            # Stores and gives back objects of its own next to the file.
            while True:
                query = graph.query().match("(x:A)")
                query.set("x", {"other": [object()]}, overwrite=False).execute()
                query.return_("x")

        threading.Thread(target=use, daemon=True).start()
        graph.query().match("(x:A)").return_("x")
    """,
}


@pytest.mark.parametrize("ending", ENDINGS.values(), ids=ENDINGS.keys())
def test_a_file_kept_only_in_a_property_is_flushed_at_exit(tmp_path, ending):
    path = tmp_path / "out.txt"
    code = CHILD.format(ending=textwrap.dedent(ending))
    done = run_python(code, path, timeout=60)
    assert done.returncode == 0, done.stderr
    assert path.read_text() == "written before exit"

