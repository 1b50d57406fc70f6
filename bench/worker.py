"""Measurements that need a process of their own; prints one JSON object.

  worker.py memory korvale|networkx SHAPE LOW HIGH
      resident memory growth per element from LOW to HIGH elements
  worker.py scaling select|two-hop NODES
      median time of the korvale query (run it under taskset to limit cores)
"""

import gc
import json
import os
import sys

import graphs
from measure import resident_bytes, time_series

SHAPES = ("bare node", "node + 2 properties", "chain node + edge")


def korvale_adder(shape):
    import korvale

    graph = korvale.Graph([graphs.ANY_ARROW] if shape == "chain node + edge" else [])

    def add(i):
        if shape == "bare node":
            pattern = f"(:T{i})"
        elif shape == "node + 2 properties":
            pattern = graphs.node_pattern(i)
        else:
            pattern = f"(:T{i})" if i == 0 else graphs.edge_pattern(i - 1, i)
        graph.query().create(pattern).execute()

    def count():
        return len(graph.nodes()), len(graph.edges())

    return add, count


def networkx_adder(shape):
    import networkx

    graph = networkx.DiGraph()

    def add(i):
        name = graphs.name(i)
        if shape == "bare node":
            graph.add_node(name)
        elif shape == "node + 2 properties":
            graph.add_node(name, i=i, bucket=i % graphs.BUCKETS)
        elif i == 0:
            graph.add_node(name)
        else:
            graph.add_edge(graphs.name(i - 1), name)

    def count():
        return graph.number_of_nodes(), graph.number_of_edges()

    return add, count


def memory(side, shape, low, high):
    add, count = (korvale_adder if side == "korvale" else networkx_adder)(shape)
    for i in range(low):
        add(i)
    gc.collect()
    before = resident_bytes()
    for i in range(low, high):
        add(i)
    gc.collect()
    after = resident_bytes()
    nodes, edges = count()
    return {"bytes_per_element": (after - before) / (high - low), "nodes": nodes, "edges": edges}


def scaling(workload, nodes):
    if workload == "select":
        graph = graphs.korvale_graph(nodes)
        pattern, names = graphs.SELECT, ["n"]
    else:
        graph = graphs.korvale_graph(nodes, graphs.random_edges(nodes, nodes))
        pattern, names = graphs.TWO_HOP, ["a", "c"]
    series = time_series(lambda: graph.query().match(pattern).return_(*names))
    return {
        "median": series.median,
        "rows": series.rows,
        "cpus": len(os.sched_getaffinity(0)),
        "threads": len(os.listdir("/proc/self/task")),
    }


def main(argv):
    if argv[0] == "memory":
        side, shape, low, high = argv[1], argv[2], int(argv[3]), int(argv[4])
        if shape not in SHAPES:
            raise SystemExit(f"unknown shape {shape!r}")
        out = memory(side, shape, low, high)
    elif argv[0] == "scaling":
        out = scaling(argv[1], int(argv[2]))
    else:
        raise SystemExit(__doc__)
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
