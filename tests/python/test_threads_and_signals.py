"""Queries give up the interpreter lock while the pool works: other Python
threads run meanwhile, several threads may use one store, and Ctrl-C stops a
running query. Whatever could hang or crash runs in a child interpreter."""

import threading
import time

import pytest

import korvale
from child import ANY_ARROW, run_child


def graph_of_nodes(count, constants=()):
    graph = korvale.Graph(list(constants))
    for i in range(count):
        graph.query().create(f"(:T{i} {{i: {i}}})").execute()
    return graph


def test_other_threads_run_while_a_query_waits_for_the_pool():
    graph = graph_of_nodes(2048)
    query = graph.query().match("(x)").match("(y)")  # about four million rows
    longest_pause = [0.0]
    running = threading.Event()
    finished = threading.Event()

    def count():
        last = time.perf_counter()
        running.set()
        while not finished.is_set():
            now = time.perf_counter()
            longest_pause[0] = max(longest_pause[0], now - last)
            last = now

    counter = threading.Thread(target=count)
    counter.start()
    running.wait()
    started = time.perf_counter()
    query.execute()
    took = time.perf_counter() - started
    finished.set()
    counter.join()
    # A query holding the lock would stop the counter for all of its time.
    assert took > 0.1, took
    assert longest_pause[0] < took / 2, (longest_pause[0], took)


def test_threads_run_queries_on_one_store_at_once():
    stdout = run_child(
        f"""
        import threading, time
        graph = korvale.Graph([{ANY_ARROW}])
        failures = []

        def work(owner, seconds):
            rounds = 0
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline or rounds < 3:
                name = f"T{{owner}}_{{rounds}}"
                if rounds == 0:
                    graph.query().create(f"(:{{name}} {{{{owner: {{owner}}, round: 0}}}})").execute()
                else:
                    (graph.query()
                        .match(f"(x {{{{owner: {{owner}}, round: {{rounds - 1}}}}}})")
                        .create(f"(x)-[e]->(y:{{name}} {{{{owner: {{owner}}, round: {{rounds}}}}}})")
                        .execute())
                graph.query().match(f"(x {{{{owner: {{owner}}}}}})").set(
                    "x", {{"seen": rounds}}, overwrite=False).execute()
                if rounds >= 2:
                    graph.query().match(
                        f"(x {{{{owner: {{owner}}, round: {{rounds - 2}}}}}})").remove("x").execute()
                for row in graph.query().match("(a)-[e]->(b)").return_("a", "e", "b"):
                    assert row["e"].uid() == (row["a"].uid(), row["b"].uid())
                graph.query().match("(n)").return_("n")
                rounds += 1
            return rounds

        rounds_of = {{}}

        def run(owner):
            try:
                rounds_of[owner] = work(owner, 3.0)
            except BaseException as error:
                failures.append(repr(error))

        threads = [threading.Thread(target=run, args=(owner,)) for owner in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures, failures
        check_consistency(graph)
        # Each owner keeps its last two rounds and the edge between them.
        left = sorted((n.properties()["owner"], n.properties()["round"]) for n in graph.nodes())
        expected = sorted((o, r) for o, last in rounds_of.items() for r in (last - 2, last - 1))
        assert left == expected, (left, expected)
        assert len(graph.edges()) == 6
        print("rounds", sorted(rounds_of.values()))
        """
    )
    assert stdout.startswith("rounds")


# Each long call: the store's size, the clauses and the method that runs them.
LONG_CALLS = {
    "match": (2048, ".match('(x)').match('(y)')", "execute"),
    "return": (2048, ".match('(x)').match('(y)')", "return_"),
    "create": (300, ".match('(x)').match('(y)').create('(x)-[e]->(y)')", "execute"),
}
SENDERS = {
    "os.kill": "os.kill(os.getpid(), signal.SIGINT)",
    "interrupt_main": "_thread.interrupt_main()",
}


@pytest.mark.parametrize("call", sorted(LONG_CALLS))
@pytest.mark.parametrize("sender", sorted(SENDERS))
def test_ctrl_c_stops_a_running_query_and_the_store_stays_sound(call, sender):
    size, clauses, method = LONG_CALLS[call]
    stdout = run_child(
        f"""
        import _thread, os, signal, threading, time

        graph = graph_of_types({size})
        query = graph.query(){clauses}
        sent = []

        def send():
            time.sleep(0.3)
            sent.append(time.perf_counter())
            {SENDERS[sender]}

        threading.Thread(target=send).start()
        try:
            query.{method}()
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - sent[0])
        else:
            print("finished")
        check_consistency(graph)
        assert len(graph.nodes()) == {size}
        assert len(graph.edges()) <= {size * size}
        # The store still works after the interruption.
        graph.query().create("(:After)").execute()
        assert len(graph.query().match("(n:After)").return_("n")) == 1
        """
    )
    assert stdout.startswith("interrupted"), stdout
    latency = float(stdout.split()[1])
    assert latency < 1.0, stdout


def test_a_query_run_by_one_thread_can_be_run_but_not_extended_by_another():
    graph = graph_of_nodes(2048)
    query = graph.query().match("(x)").match("(y)")
    outcome = []
    runner = threading.Thread(target=lambda: outcome.append(query.execute()))
    runner.start()
    time.sleep(0.1)  # the runner is inside execute by now
    with pytest.raises(RuntimeError) as error:
        query.match("(z)")
    assert str(error.value) == "the query is already in use by another call"
    query.execute()
    runner.join()
    assert outcome == [None]
    assert str(query.match("(z)")) == "MATCH (x)\nMATCH (y)\nMATCH (z)\n"


def test_a_signal_handler_cannot_call_in_while_its_thread_waits_for_a_query():
    stdout = run_child(
        f"""
        import os, signal, threading, time

        graph = graph_of_types(2048)
        refused = []

        def handler(signum, frame):
            try:
                graph.query().create("(:FromHandler)").execute()
            except RuntimeError as error:
                refused.append(str(error))

        signal.signal(signal.SIGUSR1, handler)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        graph.query().match("(x)").match("(y)").execute()
        # A handler that does not raise lets the query finish.
        print(refused)
        assert graph.query().match("(n:FromHandler)").return_("n") == []
        handler(signal.SIGUSR1, None)  # outside a call, the same code works
        assert len(graph.query().match("(n:FromHandler)").return_("n")) == 1
        """
    )
    assert stdout.strip() == (
        "['korvale cannot be called from a signal handler while a call of the same thread is running']"
    )


def test_a_handler_raising_at_the_first_poll_of_the_process_raises_from_the_call():
    # The first poll of a process once ran Python code of its own set-up,
    # inside which a handler's exception broke the call's hold of the
    # interpreter lock (PyPy aborted).
    stdout = run_child(
        """
        import os, signal, threading

        graph = graph_of_types(2048)

        def handler(signum, frame):
            raise ValueError("from the handler")

        signal.signal(signal.SIGUSR1, handler)
        threading.Timer(0.005, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        try:
            graph.query().match("(x)").match("(y)").execute()
            print("finished")
        except ValueError as error:
            print(error)
        signal.signal(signal.SIGUSR1, signal.SIG_DFL)
        graph.query().create("(:After)").execute()
        print(len(graph.query().match("(a:After)").return_("a")))
        """
    )
    assert stdout.splitlines() == ["from the handler", "1"], stdout
