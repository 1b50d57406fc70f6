"""The benchmark graphs, built the same way on both sides.

Node i is the node of the type T<i> in korvale and the node keyed "T<i>" in
networkx, with the properties {i: i, bucket: i % 1000}, so that a filter on
one bucket selects one node in a thousand. Edges are (start, end) index pairs;
in korvale each is the term of its own arrow type T<s> -> T<e>, which the
constant g below supplies."""

import random

import korvale
import networkx

BUCKETS = 1000
SELECTED_BUCKET = 7
SEED = 9

SELECT = f"(n {{bucket: {SELECTED_BUCKET}}})"
TWO_HOP = f"(a {{bucket: {SELECTED_BUCKET}}})-[e]->(b)-[f]->(c)"

# Every arrow type gets the term g, so edges need no constant of their own,
# and no node has a term, so adding an edge derives nothing.
ANY_ARROW = korvale.Constant("g", "(p: *) -> (q: *)")


def name(i):
    return f"T{i}"


def node_pattern(i):
    return f"(:T{i} {{i: {i}, bucket: {i % BUCKETS}}})"


def edge_pattern(start, end):
    # Both end nodes exist already: creation reuses them and adds the edge.
    return f"(:T{start})-[:T{start} -> T{end}]->(:T{end})"


def random_edges(nodes, count, seed=SEED):
    """count distinct (start, end) pairs over range(nodes), no self-loops."""
    rng = random.Random(seed)
    edges = set()
    while len(edges) < count:
        start, end = rng.randrange(nodes), rng.randrange(nodes)
        if start != end:
            edges.add((start, end))
    return sorted(edges)


def create_all(graph, patterns):
    for pattern in patterns:
        graph.query().create(pattern).execute()


def add_nodes(graph, count):
    for i in range(count):
        graph.add_node(name(i), i=i, bucket=i % BUCKETS)


def korvale_graph(nodes, edges=()):
    graph = korvale.Graph([ANY_ARROW])
    create_all(graph, (node_pattern(i) for i in range(nodes)))
    create_all(graph, (edge_pattern(s, e) for s, e in edges))
    return graph


def networkx_graph(nodes, edges=()):
    graph = networkx.DiGraph()
    add_nodes(graph, nodes)
    graph.add_edges_from((name(s), name(e)) for s, e in edges)
    return graph


class Pair:
    """The same graph on both sides."""

    def __init__(self, nodes, edges=0):
        edge_list = random_edges(nodes, edges) if edges else []
        self.size = nodes
        self.korvale = korvale_graph(nodes, edge_list)
        self.networkx = networkx_graph(nodes, edge_list)
