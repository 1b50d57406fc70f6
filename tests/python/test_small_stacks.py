"""Deep input on a thread with a small stack (threading.stack_size) ends in
RecursionError naming what was nested too deeply, or works; it never crashes
the interpreter. Each case runs in a child interpreter, so that a crash fails
its test instead of ending the whole run."""

import json
import os
import textwrap

import pytest
from child import run_python

STACK_SIZES = [65536, 131072]
DEPTHS = [30, 60, 100, 250]
# A module built with AddressSanitizer (its runtime preloaded into the
# interpreter) keeps a margin that leaves these stacks no room at all.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# The child: runs the case once per depth, each time on a new thread with the
# given stack, and prints what came of it.
CHILD = textwrap.dedent(
    """
    import json, sys, threading
    import korvale

    case, stack_size, depths = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])

    def arrows(depth):
        return " -> ".join(["A"] * (depth + 1))

    def groups(depth):
        return "(" * depth + "A" + ")" * depth

    def deep_list(depth):
        value = 1
        for _ in range(depth):
            value = [value]
        return value

    def list_text(depth):
        return "[" * depth + "1" + "]" * depth

    def read_back(graph, node):
        (row,) = graph.query().match("(n:A)").return_("n")
        assert row["n"].properties() == node.properties()
        return node.properties(), str(node)

    def run(depth):
        if case == "type pattern":
            korvale.Graph().query().match("(x:" + groups(depth) + ")").execute()
        elif case == "arrow pattern":
            graph = korvale.Graph([korvale.Constant("a", "A")])
            graph.query().create("(x:A)").execute()
            graph.query().match("(x:" + arrows(depth) + ")").return_("x")
        elif case == "constant schema":
            graph = korvale.Graph([korvale.Constant("c", arrows(depth)), korvale.Constant("a", "A")])
            graph.query().create("(n:A)").execute()
        elif case == "list value":
            graph = korvale.Graph()
            (row,) = graph.query().create("(n:A)").set("n", {"v": deep_list(depth)}).return_("n")
            properties, text = read_back(graph, row["n"])
            assert properties == {"v": deep_list(depth)}
            assert text == "Node(A: {v: " + list_text(depth) + "})"
        elif case == "list in pattern":
            graph = korvale.Graph()
            (row,) = graph.query().create("(n:A {v: " + list_text(depth) + "})").return_("n")
            properties, text = read_back(graph, row["n"])
            assert properties == {"v": deep_list(depth)}
            assert text == "Node(A: {v: " + list_text(depth) + "})"
        else:
            raise ValueError(case)

    outcomes = {}

    def attempt(depth):
        try:
            run(depth)
            outcomes[depth] = ["ok", ""]
        except RecursionError as error:
            outcomes[depth] = ["RecursionError", str(error)]
        except BaseException as error:
            outcomes[depth] = [type(error).__name__, str(error)[:500]]

    threading.stack_size(stack_size)
    for depth in depths:
        thread = threading.Thread(target=attempt, args=(depth,))
        thread.start()
        thread.join()
    print(json.dumps(outcomes))
    """
)

# The first line of the RecursionError each case may raise.
CASES = {
    "type pattern": "Type schema nested too deeply for the thread's stack",
    "arrow pattern": "Type schema nested too deeply for the thread's stack",
    "constant schema": "Type schema nested too deeply for the thread's stack",
    "list value": "Property value nested too deeply for the thread's stack",
    "list in pattern": "Property value nested too deeply for the thread's stack",
}


@pytest.mark.parametrize("stack_size", STACK_SIZES)
@pytest.mark.parametrize("case", sorted(CASES))
def test_deep_input_on_a_small_stack_raises_or_works(case, stack_size):
    child = run_python(CHILD, case, stack_size, json.dumps(DEPTHS), timeout=300)
    assert child.returncode == 0, f"the child ended with {child.returncode}: {child.stderr[-2000:]}"
    outcomes = json.loads(child.stdout.splitlines()[-1])
    assert sorted(map(int, outcomes)) == DEPTHS
    for depth, (outcome, text) in outcomes.items():
        assert outcome in ("ok", "RecursionError"), f"depth {depth}: {outcome}: {text}"
        if outcome == "RecursionError" and SANITIZED:
            # No room even for the pattern around the nested part.
            assert text.splitlines()[0].endswith(" nested too deeply for the thread's stack")
        elif outcome == "RecursionError":
            assert text.splitlines()[0] == CASES[case], f"depth {depth}"
    # The shallowest input fits even the smallest stack.
    if not SANITIZED:
        assert outcomes[str(DEPTHS[0])][0] == "ok"
