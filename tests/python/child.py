"""Running test code in a child interpreter of the same kind, for whatever
could hang or crash the interpreter that runs the tests."""

import os
import subprocess
import sys
import textwrap

# Edges need a term: this constant gives one to every arrow type.
ANY_ARROW = 'korvale.Constant("g", "(p: *) -> (q: *)")'

# What the child has besides korvale: graph_of_types(count), a store that
# gives every arrow type a term, with the nodes T0, T1, ...; and
# check_consistency(graph), which checks that the store agrees with itself:
# every edge's ends are nodes, and listing and matching see the same nodes
# and edges.
PRELUDE = f"""
def graph_of_types(count):
    graph = korvale.Graph([{ANY_ARROW}])
    for i in range(count):
        graph.query().create(f"(:T{{i}})").execute()
    return graph
""" + """
def check_consistency(graph):
    nodes = {n.uid() for n in graph.nodes()}
    matched = {r["n"].uid() for r in graph.query().match("(n)").return_("n")}
    assert nodes == matched, (len(nodes), len(matched))
    edges = {e.uid() for e in graph.edges()}
    rows = graph.query().match("(a)-[e]->(b)").return_("a", "e", "b")
    assert edges == {r["e"].uid() for r in rows}, (len(edges), len(rows))
    for row in rows:
        assert row["e"].uid() == (row["a"].uid(), row["b"].uid())
    for start, end in edges:
        assert start in nodes and end in nodes
"""


def run_python(code, *arguments, timeout=120, env=None, asan_options=None):
    """Runs `code` with `arguments` in a new interpreter of this kind and
    returns the finished process, its output as text. The child gets this
    process's environment (the module path; in the sanitizer build the
    runtime's preload and options) with `env` added, and `asan_options`
    appended to the sanitizer's options where the sanitizer runs."""
    child_env = dict(os.environ, **(env or {}))
    if asan_options and "ASAN_OPTIONS" in child_env:
        child_env["ASAN_OPTIONS"] += ":" + asan_options
    return subprocess.run(
        [sys.executable, "-c", code, *map(str, arguments)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env,
    )


def run_child(body, timeout=120):
    """Runs the code after `import korvale` and the PRELUDE in a child
    (run_python); returns its standard output, failing on any other outcome."""
    done = run_python("import korvale\n" + textwrap.dedent(PRELUDE) + textwrap.dedent(body), timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout
