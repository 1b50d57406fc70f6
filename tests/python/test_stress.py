"""Many queries over thousands of elements, with property values that hold
arbitrary Python objects; the store must stay consistent and every object must
be given back once nothing refers to it any more."""

import weakref

import korvale
from interpreter import collect

NODES = 3000


class Payload:
    """An object the store can only keep by reference."""

    def __init__(self, tag):
        self.tag = tag


def check_consistent(graph):
    node_uids = [n.uid() for n in graph.nodes()]
    edge_uids = [e.uid() for e in graph.edges()]
    assert len(set(node_uids)) == len(node_uids)
    assert len(set(edge_uids)) == len(edge_uids)
    nodes = set(node_uids)
    for start, end in edge_uids:
        assert start in nodes and end in nodes
    matched_nodes = {row["x"].uid() for row in graph.query().match("(x)").return_("x")}
    assert matched_nodes == nodes
    matched_edges = {
        row["e"].uid() for row in graph.query().match("(a)-[e]->(b)").return_("e")
    }
    assert matched_edges == set(edge_uids)
    # Every element still answers for its properties and text.
    for ref in graph.nodes() + graph.edges():
        ref.properties()
        str(ref)
    return nodes, set(edge_uids)


SEGMENT = 10


def constants():
    # The first node of every segment of the chain has a term; the others get
    # theirs derived along the edges; every arrow type has the term f.
    declared = [korvale.Constant(f"z{i}", f"T{i}") for i in range(0, NODES, SEGMENT)]
    return declared + [korvale.Constant("f", "(a: *) -> (b: *)"), korvale.Constant("zero", "Nat")]


def build_chain(graph, payloads):
    for i in range(NODES):
        graph.query().create(f"(:T{i})").execute()
    for i in range(NODES):
        if i % SEGMENT != SEGMENT - 1:
            graph.query().create(f"(:T{i})-[:T{i} -> T{i + 1}]->(:T{i + 1})").execute()
    updates = {}
    for ref in graph.nodes():
        payload = Payload(ref.uid())
        payloads.append(weakref.ref(payload))
        index = int(str(ref.type())[1:])
        updates[ref.uid()] = {"group": index % 4, "obj": payload, "list": [payload, {"p": payload}]}
    graph.set_node_properties(updates)
    edge_updates = {}
    for ref in graph.edges():
        payload = Payload(ref.uid())
        payloads.append(weakref.ref(payload))
        edge_updates[ref.uid()] = {"obj": payload}
    graph.set_edge_properties(edge_updates, overwrite=False)


def test_stress_queries_keep_the_store_consistent_and_leak_nothing():
    payloads = []
    graph = korvale.Graph(constants())
    build_chain(graph, payloads)
    nodes, edges = check_consistent(graph)
    assert len(nodes) == NODES and len(edges) == NODES - NODES // SEGMENT

    # The terms derived along a segment: each node got the application of
    # the edge into it to the term of the node before.
    (row,) = graph.query().match("(x:T13)").return_("x")
    assert str(row["x"].term()) == "(f (f (f z10)))"
    del row  # a reference keeps the whole store alive

    # One shared map for every node of group 1, merged objects for group 2.
    shared = Payload("shared")
    payloads.append(weakref.ref(shared))
    graph.query().match("(x {group: 1})").set("x", {"shared": shared, "group": 1}).execute()
    merged = Payload("merged")
    payloads.append(weakref.ref(merged))
    graph.query().match("(x {group: 2})-[e]->(y)").set("e", {"m": merged}, False).execute()
    rows = graph.query().match("(x {group: 1})").return_("x")
    assert len(rows) == NODES // 4 + (1 if NODES % 4 > 1 else 0)
    assert all(row["x"].properties()["shared"] is shared for row in rows)
    del shared, merged, rows

    # Remove every node of group 0 (and with them their edges), then every
    # edge that leaves a node of group 3.
    graph.query().match("(x {group: 0})").remove("x").execute()
    graph.query().match("(x {group: 3})-[e]->(y)").remove("e").execute()
    nodes, edges = check_consistent(graph)
    assert len(nodes) == NODES - (NODES + 3) // 4
    for start, end in edges:
        assert start != end

    # Creating again over the rows of a match: each row binds x, so only the
    # new node and the new edge are added for every surviving group-2 node.
    group_two = len(graph.query().match("(x {group: 2})").return_("x"))
    graph.query().match("(x {group: 2})").create("(x)-[e]->(z:Nat)").execute()
    nodes_after, edges_after = check_consistent(graph)
    assert len(nodes_after) == len(nodes) + 1
    assert len(edges_after) == len(edges) + group_two

    # Property values released on pool threads come back once the module is
    # entered again; nothing that the store dropped may stay alive.
    del graph
    collect()
    korvale.Graph().nodes()
    collect()
    assert [ref for ref in payloads if ref() is not None] == []


def test_release_of_objects_held_by_removed_elements():
    payloads = []
    graph = korvale.Graph()
    for i in range(200):
        graph.query().create(f"(:K{i})").execute()
    updates = {}
    for ref in graph.nodes():
        payload = Payload(ref.uid())
        payloads.append(weakref.ref(payload))
        updates[ref.uid()] = {"obj": payload}
    graph.set_node_properties(updates)
    del updates, payload
    graph.query().match("(x)").remove("x").execute()
    assert graph.nodes() == []
    collect()
    assert [ref for ref in payloads if ref() is not None] == []
