"""The workloads that run inside the runner's own process: each returns result
rows, having checked that both sides returned the same rows."""

import platform
import time

import korvale
import networkx

import graphs
from measure import Result, RowMismatch, cold_series, compare, format_value, time_series

PYPY = platform.python_implementation() == "PyPy"

# The largest ratio korvale/networkx each warm query may reach. Under PyPy
# networkx runs under PyPy too: its loops are compiled by the JIT, while each
# row korvale returns goes through PyPy's emulation of the C API.
if PYPY:
    QUERY_TARGETS = {"select": 0.2, "two-hop": 0.2, "bulk return": 5}
else:
    QUERY_TARGETS = {"select": 0.1, "two-hop": 0.1, "bulk return": 3}
BUILD_TARGET = None if PYPY else 10
FLOOR_TARGET = 1e-6 if PYPY else None  # seconds per empty query

# Cold calls: the empty query's time, and the largest ratio of the others.
COLD_EMPTY_TARGET = 10e-6
COLD_TARGETS = {"point lookup": 1, "select": 0.1, "two-hop": 0.1}
LOOKED_UP = 77  # the node the point lookup finds by its type


def type_name(reference):
    return str(reference.type())


def same_rows(workload, size, korvale_rows, peer_rows):
    """Both sides must return the same rows, as sorted tuples of node names."""
    if sorted(korvale_rows) != sorted(peer_rows):
        raise RowMismatch(f"{workload} at {size}: korvale and networkx returned different rows")


def target(met, text):
    return f"target {text}: {'met' if met else 'missed'}"


def size_text(count):
    """1e5 for powers of ten from a thousand on, else the plain number."""
    digits = len(str(count)) - 1
    return f"1e{digits}" if count >= 1000 and count == 10**digits else str(count)


def same_query_rows(workload, size, on_korvale, on_networkx, names):
    """names are the returned variables; rows compare as tuples of node names."""
    same_rows(
        workload,
        size,
        [tuple(type_name(row[name]) for name in names) for row in on_korvale()],
        [tuple(row[name] for name in names) for row in on_networkx()],
    )


def query(workload, size, on_korvale, on_networkx, names, limit):
    """Times one query on both sides and checks that they return the same rows."""
    result = compare(workload, size, time_series(on_korvale), time_series(on_networkx))
    same_query_rows(workload, size, on_korvale, on_networkx, names)
    result.notes.append(target(result.ratio() <= limit, f"ratio ≤ {limit:g}"))
    return result


def select_calls(pair):
    korvale_graph, networkx_graph = pair.korvale, pair.networkx
    bucket = graphs.SELECTED_BUCKET

    def on_korvale():
        return korvale_graph.query().match(graphs.SELECT).return_("n")

    def on_networkx():
        return [{"n": n} for n, data in networkx_graph.nodes(data=True) if data.get("bucket") == bucket]

    return on_korvale, on_networkx


def select(pair):
    size = f"{size_text(pair.size)} nodes"
    return query("select", size, *select_calls(pair), ("n",), QUERY_TARGETS["select"])


def two_hop_calls(pair):
    korvale_graph, networkx_graph = pair.korvale, pair.networkx
    bucket = graphs.SELECTED_BUCKET
    successors = networkx_graph.succ

    def on_korvale():
        return korvale_graph.query().match(graphs.TWO_HOP).return_("a", "c")

    def on_networkx():
        return [
            {"a": a, "c": c}
            for a, data in networkx_graph.nodes(data=True)
            if data.get("bucket") == bucket
            for b in successors[a]
            for c in successors[b]
        ]

    return on_korvale, on_networkx


def two_hop(pair):
    size = f"{size_text(pair.size)} nodes+edges"
    return query("two-hop", size, *two_hop_calls(pair), ("a", "c"), QUERY_TARGETS["two-hop"])


def point_lookup_calls(pair):
    """One node found by its type; networkx fetches the node's attributes, as
    korvale's Node can give its properties."""
    korvale_graph, networkx_graph = pair.korvale, pair.networkx
    name = graphs.name(LOOKED_UP)
    pattern = f"(n:{name})"

    def on_korvale():
        return korvale_graph.query().match(pattern).return_("n")

    def on_networkx():
        if name not in networkx_graph:
            return []
        return [{"n": name, "attributes": networkx_graph.nodes[name]}]

    return on_korvale, on_networkx


def bulk_return(pair):
    korvale_graph, networkx_graph = pair.korvale, pair.networkx

    def on_korvale():
        return korvale_graph.query().match("(n)").return_("n")

    def on_networkx():
        return [{"n": n} for n in networkx_graph]

    size = f"{size_text(pair.size)} nodes"
    return query("bulk return", size, on_korvale, on_networkx, ("n",), QUERY_TARGETS["bulk return"])


def build(count, smaller=None):
    """count creates of a node of its own type with two properties. smaller is
    the result at a smaller size, to show how the time per node grows."""
    patterns = [graphs.node_pattern(i) for i in range(count)]
    attributes = [(graphs.name(i), i, i % graphs.BUCKETS) for i in range(count)]

    def on_korvale(graph):
        graphs.create_all(graph, patterns)
        return graph

    def on_networkx(graph):
        for node, i, bucket in attributes:
            graph.add_node(node, i=i, bucket=bucket)
        return graph

    korvale_series = time_series(on_korvale, korvale.Graph, count=lambda g: len(g.nodes()))
    networkx_series = time_series(on_networkx, networkx.DiGraph, count=len)
    size = f"{size_text(count)} nodes"
    result = compare("build", size, korvale_series, networkx_series, unit="s/node", per=count)
    same_rows(
        "build",
        size,
        [type_name(n) for n in on_korvale(korvale.Graph()).nodes()],
        list(on_networkx(networkx.DiGraph())),
    )
    if BUILD_TARGET is not None:
        result.notes.append(target(result.ratio() <= BUILD_TARGET, f"ratio ≤ {BUILD_TARGET:g}"))
    if smaller:
        growth = result.korvale / smaller.korvale
        result.notes.append(f"per node ×{growth:.2g} from {smaller.size} (linear: ×1)")
    return result


def chain_constants(count):
    constants = [korvale.Constant("x0", "T0")]
    constants += [korvale.Constant(f"f{i}", f"T{i} -> T{i + 1}") for i in range(count)]
    return constants


def derived_term(depth):
    """The text of f_{depth-1}(... f_0(x0)), the term of the node T<depth>."""
    return "".join(f"(f{i} " for i in reversed(range(depth))) + "x0" + ")" * depth


def derivation_run(count, budget):
    """Creates the edges of the chain in order, each deriving the term of the
    next node; stops early once budget seconds have passed. Returns the time
    per edge and the number of edges created."""
    graph = korvale.Graph(chain_constants(count))
    patterns = [f"(:T{i})-[:T{i} -> T{i + 1}]->(:T{i + 1})" for i in range(count)]
    done = 0
    start = time.perf_counter()
    deadline = start + budget
    for pattern in patterns:
        graph.query().create(pattern).execute()
        done += 1
        if time.perf_counter() > deadline:
            break
    elapsed = time.perf_counter() - start
    (row,) = graph.query().match(f"(x:T{done})").return_("x")
    if str(row["x"].term()) != derived_term(done) or len(graph.edges()) != done:
        raise RowMismatch(f"derivation at K = {count}: the chain of {done} edges is not as built")
    return elapsed / done, done


def derivation(count, budget, smaller=None, runs=5):
    size = f"K = {size_text(count)}"
    notes = []
    per_edge, done = derivation_run(count, budget)  # warm-up
    if done < count:
        # Too slow for a series: report the one cut run, a lower bound.
        notes.append(f"1 run, stopped after {done} of {count} edges (budget {budget:g} s): lower bound")
    else:
        times = sorted(derivation_run(count, budget) for _ in range(runs))
        per_edge, done = times[len(times) // 2]
        if done < count:
            notes.append(f"median run stopped after {done} of {count} edges: lower bound")
    result = Result("derivation", size, per_edge, unit="s/edge", notes=notes, korvale_rows=done)
    if smaller:
        growth = f"per edge ×{per_edge / smaller.korvale:.3g} from {smaller.size}"
        if notes or smaller.notes:
            notes.append(f"{growth} (cut run): target ≤ ×12 not judged")
        else:
            notes.append(target(per_edge / smaller.korvale <= 12, f"{growth} ≤ ×12"))
    return result


def floor(graph, label, calls):
    def on_korvale():
        return [graph.query().execute() for _ in range(calls)]

    series = time_series(on_korvale)
    if series.rows != calls:
        raise RowMismatch(f"floor: {series.rows} calls instead of {calls}")
    result = Result("floor", label, series.median / calls, unit="s/call", korvale_rows=series.rows)
    if FLOOR_TARGET is not None:
        limit = format_value(FLOOR_TARGET, "s")
        result.notes.append(target(result.korvale <= FLOOR_TARGET, f"≤ {limit}/call"))
    return result


def cold_empty_query(pair, sweep, calls):
    """One g.query().execute() with no clauses per timed call; rows: 1 call."""
    graph = pair.korvale
    size = f"{size_text(pair.size)} nodes+edges"
    warm = time_series(lambda: graph.query().execute(), count=lambda _: 1)
    cold = cold_series(lambda: graph.query().execute(), sweep, calls, count=lambda _: 1)
    result = Result("empty query", size, cold.median, unit="s/call", korvale_rows=cold.rows, table="cold")
    limit = format_value(COLD_EMPTY_TARGET, "s")
    result.notes += [f"warm {format_value(warm.median, 's')}", target(cold.median <= COLD_EMPTY_TARGET, f"≤ {limit}")]
    return result


def cold_query(workload, pair, calls_of, names, sweep, calls):
    """Times one query on both sides, each call after a sweep, and checks that
    they return the same rows; the notes give korvale's warm time."""
    on_korvale, on_networkx = calls_of(pair)
    size = f"{size_text(pair.size)} nodes+edges"
    korvale_series = cold_series(on_korvale, sweep, calls)
    peer_series = cold_series(on_networkx, sweep, calls)
    result = compare(workload, size, korvale_series, peer_series, table="cold")
    same_query_rows(workload, size, on_korvale, on_networkx, names)
    warm, peer_warm = time_series(on_korvale), time_series(on_networkx)
    limit = COLD_TARGETS[workload]
    result.notes += [
        f"warm {format_value(warm.median, 's')} vs {format_value(peer_warm.median, 's')}",
        target(result.ratio() <= limit, f"ratio ≤ {limit:g}"),
    ]
    return result


def cold(pair, sweep, calls):
    """The cold table: the four calls on one graph of nodes and edges."""
    return [
        cold_empty_query(pair, sweep, calls),
        cold_query("point lookup", pair, point_lookup_calls, ("n",), sweep, calls),
        cold_query("select", pair, select_calls, ("n",), sweep, calls),
        cold_query("two-hop", pair, two_hop_calls, ("a", "c"), sweep, calls),
    ]
