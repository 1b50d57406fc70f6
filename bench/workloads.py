"""The workloads that run inside the runner's own process: each returns result
rows, having checked that both sides returned the same rows."""

import time

import korvale
import networkx

import graphs
from measure import Result, RowMismatch, compare, time_series


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


def query(workload, size, on_korvale, on_networkx, names, limit):
    """Times one query on both sides and checks that they return the same rows:
    names are the returned variables, rows compare as tuples of node names."""
    result = compare(workload, size, time_series(on_korvale), time_series(on_networkx))
    same_rows(
        workload,
        size,
        [tuple(type_name(row[name]) for name in names) for row in on_korvale()],
        [tuple(row[name] for name in names) for row in on_networkx()],
    )
    result.notes.append(target(result.ratio() <= limit, f"ratio ≤ {limit:g}"))
    return result


def select(pair):
    korvale_graph, networkx_graph = pair.korvale, pair.networkx
    bucket = graphs.SELECTED_BUCKET

    def on_korvale():
        return korvale_graph.query().match(graphs.SELECT).return_("n")

    def on_networkx():
        return [{"n": n} for n, data in networkx_graph.nodes(data=True) if data.get("bucket") == bucket]

    return query("select", f"{size_text(pair.size)} nodes", on_korvale, on_networkx, ("n",), 0.1)


def two_hop(pair):
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

    size = f"{size_text(pair.size)} nodes+edges"
    return query("two-hop", size, on_korvale, on_networkx, ("a", "c"), 0.1)


def bulk_return(pair):
    korvale_graph, networkx_graph = pair.korvale, pair.networkx

    def on_korvale():
        return korvale_graph.query().match("(n)").return_("n")

    def on_networkx():
        return [{"n": n} for n in networkx_graph]

    return query("bulk return", f"{size_text(pair.size)} nodes", on_korvale, on_networkx, ("n",), 3)


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
    result.notes.append(target(result.ratio() <= 10, "ratio ≤ 10"))
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
    return Result("floor", label, series.median / calls, unit="s/call", korvale_rows=series.rows)
