"""Each call on a store is whole with respect to the other calls on it, also
when several threads use one store at once: the contention here is on the
same nodes and edges, with every kind of call. Whatever could hang runs in a
child interpreter."""

import os
import textwrap

import pytest

from child import run_child

# The storm's threads and the calls they make at random, all on a few types.
# A pair Pk, Qk is only ever made, changed and removed together, by one call
# each; readers check that they never see half of such a call.
STORM = """
import hashlib, random, re, threading, time

graph = graph_of_types(0)
TYPES = [f"T{i}" for i in range(8)]
PAIRS = range(3)
# A reference read after its element was removed by another call.
GONE = re.compile(r"^\\"(Node|Edge) with Uid: '[^']*' not found")
failures = []
calls = [0]

def uid(name):
    return hashlib.sha256(b"var:" + name.encode()).hexdigest()

def some(r):
    return r.choice(TYPES)

def read_references(r, refs):
    for ref in r.sample(refs, min(3, len(refs))):
        for read in (str, lambda x: x.properties(), lambda x: x.type(), lambda x: x.term()):
            try:
                read(ref)
            except KeyError as error:
                if not GONE.match(str(error)):
                    raise

def paths(r):
    rows = graph.query().match("(a)-[e]->(b)").return_("a", "e", "b")
    for row in rows:
        assert row["e"].uid() == (row["a"].uid(), row["b"].uid())
    read_references(r, [row[k] for row in rows for k in "aeb"])

def listing(r):
    nodes = {n.uid() for n in graph.nodes()}
    for k in PAIRS:
        assert (uid(f"P{k}") in nodes) == (uid(f"Q{k}") in nodes), k
    read_references(r, graph.nodes() + graph.edges())

def pair_values(r):
    k = r.choice(PAIRS)
    for first, second in ((0, 1), (1, 0)):
        rows = graph.query().match(f"(x:P{k} {{g: {first}}})").match(
            f"(y:Q{k} {{g: {second}}})").return_("x")
        assert rows == [], (k, first, second)

def bulk_set(r):
    nodes = graph.nodes()
    try:
        graph.set_node_properties({n.uid(): {"bulk": r.random()} for n in r.sample(nodes, min(4, len(nodes)))})
    except KeyError as error:
        if not GONE.match(str(error)):
            raise

CALLS = [
    lambda r: graph.query().create(f"(:{some(r)} {{made: 1}})").execute(),
    lambda r: graph.query().create(f"(:{(a := some(r))})-[e:{a} -> {(b := some(r))}]->(:{b})").execute(),
    lambda r: graph.query().match(f"(x:{(a := some(r))})").match(f"(y:{(b := some(r))})").create(
        f"(x)-[e:{a} -> {b}]->(y)").execute(),
    lambda r: graph.query().match(f"(x:{some(r)})").set("x", {"v": r.random()}, overwrite=r.random() < 0.5).execute(),
    lambda r: graph.query().match(f"(x:{some(r)})").remove("x").execute(),
    lambda r: graph.query().match(f"(a:{some(r)})-[e]->(b)").remove("e").execute(),
    lambda r: graph.query().create(f"(:P{(k := r.choice(PAIRS))} {{g: 0}})-[e:P{k} -> Q{k}]->(:Q{k} {{g: 0}})").execute(),
    lambda r: graph.query().match(f"(x:P{(k := r.choice(PAIRS))})-[e]->(y:Q{k})").set(
        "x", {"g": (v := r.randrange(2))}).set("y", {"g": v}).execute(),
    lambda r: graph.query().match(f"(x:P{(k := r.choice(PAIRS))})-[e]->(y:Q{k})").remove("x").remove("y").execute(),
    paths, listing, pair_values, bulk_set,
]

def storm(seed, seconds):
    r = random.Random(seed)
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            r.choice(CALLS)(r)
            calls[0] += 1
    except BaseException as error:
        failures.append(repr(error))

threads = [threading.Thread(target=storm, args=(seed, SECONDS)) for seed in range(6)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
assert not failures, failures[:5]
check_consistency(graph)
# The store stays usable: every element can be removed, and nothing is left.
graph.query().match("(x)").remove("x").execute()
assert graph.nodes() == [] and graph.edges() == []
print("calls", calls[0])
"""


def test_calls_of_many_threads_on_the_same_elements_each_stay_whole():
    stdout = run_child("SECONDS = 3.0\n" + STORM, timeout=300)
    assert stdout.startswith("calls"), stdout


def test_a_write_waits_for_the_reads_inside_but_not_for_those_after_it():
    # Six threads keep reading; each read holds the store for a while.
    stdout = run_child(
        """
        import statistics, threading, time
        graph = korvale.Graph()
        for i in range(100000):
            graph.query().create(f"(:T{i})").execute()
        read = graph.query().match("(x)").match("(y:Absent)")
        reads, stop = [], threading.Event()

        def reader():
            while not stop.is_set():
                start = time.perf_counter()
                assert read.return_("y") == []
                reads.append(time.perf_counter() - start)

        threads = [threading.Thread(target=reader) for _ in range(6)]
        for thread in threads:
            thread.start()
        time.sleep(0.5)
        writes = []
        for k in range(10):
            start = time.perf_counter()
            graph.query().create(f"(:Written{k})").execute()
            writes.append(time.perf_counter() - start)
            time.sleep(0.02)
        stop.set()
        for thread in threads:
            thread.join()
        assert len(graph.query().match("(x)").return_("x")) == 100010
        print(statistics.median(reads), max(reads), statistics.median(writes), max(writes))
        """,
        timeout=600,
    )
    read_median, read_longest, write_median, write_longest = map(float, stdout.split())
    # A write waits for the reads that hold the store when it comes: about one
    # read, never a stream of them.
    assert write_median <= 2 * read_median, stdout
    assert write_longest <= 2.5 * read_longest, stdout


# A call that holds the store long, on another thread, and a call of the main
# thread that waits for it until Ctrl-C. The waiting call changes nothing.
HOLDERS = {
    "read": (2048, "graph.query().match('(x)').match('(y)').execute()"),
    "write": (300, "graph.query().match('(x)').match('(y)').create('(x)-[e]->(y)').execute()"),
}
WAITERS = {
    "create": ("read", "graph.query().create('(:Waited)').execute()"),
    "set": ("read", "graph.set_node_properties({node.uid(): {'waited': True}})"),
    "return": ("write", "graph.query().match('(x:T1)').return_('x')"),
    "nodes": ("write", "graph.nodes()"),
    "str": ("write", "str(node)"),
    "properties": ("write", "node.properties()"),
}


@pytest.mark.parametrize("waiter", sorted(WAITERS))
def test_ctrl_c_ends_a_wait_for_the_store_and_nothing_of_the_call_is_applied(waiter):
    holder, call = WAITERS[waiter]
    size, holding = HOLDERS[holder]
    stdout = run_child(
        f"""
        import _thread, threading, time
        graph = graph_of_types({size})
        node = graph.query().match("(x:T1)").return_("x")[0]["x"]
        holding = threading.Event()
        held = threading.Thread(target=lambda: (holding.set(), {holding}))
        held.start()
        holding.wait()
        time.sleep(0.05)
        sent = []

        def send():
            sent.append(time.perf_counter())
            _thread.interrupt_main()

        threading.Timer(0.2, send).start()
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - sent[0], held.is_alive())
        else:
            print("finished")
        held.join()
        assert graph.query().match("(x:Waited)").return_("x") == []
        assert node.properties() == {{}}
        check_consistency(graph)
        """
    )
    assert stdout.startswith("interrupted"), stdout
    _, latency, holder_running = stdout.split()
    assert holder_running == "True", stdout  # it was the wait that was ended
    assert float(latency) < 0.5, stdout


def test_a_fork_while_threads_run_calls_leaves_the_child_a_usable_store():
    stdout = run_child(
        f"""
        import os, threading, time
        graph = graph_of_types(300)
        stop = threading.Event()

        def work(k):
            while not stop.is_set():
                graph.query().match("(x)").match(f"(y:T{{k}})").create("(x)-[e]->(y)").execute()
                graph.query().match("(a)-[e]->(b)").return_("e")
                graph.query().match(f"(a)-[e]->(b:T{{k}})").remove("e").execute()

        threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
        for thread in threads:
            thread.start()
        hung = 0
        for _ in range(10):
            time.sleep(0.05)
            child = os.fork()
            if child == 0:
                graph.query().match("(x)").set("x", {{"child": True}}).execute()
                check_consistency(graph)
                os._exit(0)
            deadline = time.monotonic() + 30
            while os.waitpid(child, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    os.kill(child, 9)
                    os.waitpid(child, 0)
                    hung += 1
                    break
                time.sleep(0.01)
        stop.set()
        for thread in threads:
            thread.join()
        print("hung", hung)
        """,
        timeout=600,
    )
    assert stdout.split() == ["hung", "0"], stdout


def test_finalisers_of_other_threads_may_call_in_while_calls_run():
    # Under PyPy, finalisers run whenever Python code runs; a thread's check
    # for signals must not run them inside its call, where they would be
    # refused. Only the main thread runs signal handlers.
    stdout = run_child(
        f"""
        import gc, threading, time
        graph = graph_of_types(200)
        refused, stop = [], threading.Event()

        class Finalised:
            def __del__(self):
                try:
                    graph.query().match("(x:T1)").return_("x")
                except RuntimeError as error:
                    refused.append(str(error))

        def query():
            while not stop.is_set():
                graph.query().match("(x)").match("(y)").execute()

        def finalise():
            while not stop.is_set():
                for _ in range(100):
                    Finalised()
                gc.collect()

        threads = [threading.Thread(target=query) for _ in range(2)]
        threads += [threading.Thread(target=finalise)]
        for thread in threads:
            thread.start()
        time.sleep(2.0)
        stop.set()
        for thread in threads:
            thread.join()
        print(len(refused), refused[:1])
        """
    )
    assert stdout.split()[0] == "0", stdout


# Waits up to a minute for the child (any child when no pid is given); a hung
# one is killed and reported.
WAIT_FOR_CHILD = """
import os, time

def wait_for_child(pid=-1):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    me = os.getpid()
    with open(f"/proc/{me}/task/{me}/children") as children:
        hung = [int(child) for child in children.read().split()]
    for child in hung if pid == -1 else [pid]:
        if child > 0:
            os.kill(child, 9)
    return "hung"
"""


def run_forking_child(body):
    return run_child(WAIT_FOR_CHILD + textwrap.dedent(body), timeout=300)

# The main thread's long call on `first`, reading or writing; the child
# checks that it ended with all of its work done.
FORKING_CALLS = {
    "reading": ('first.query().match("(x)").match("(y)").execute()', "True"),
    "writing": (
        'first.query().match("(x)").match("(y)").set("x", {"seen": True}, overwrite=False).execute()',
        'all(n.properties() == {"seen": True} for n in first.nodes())',
    ),
}


@pytest.mark.parametrize("call", sorted(FORKING_CALLS))
def test_a_fork_from_a_signal_handler_during_a_call_leaves_a_child_that_ends(call):
    long_call, whole = FORKING_CALLS[call]
    stdout = run_forking_child(
        f"""
        import os, signal, threading, time
        first = graph_of_types(2048)
        second = graph_of_types(50)
        stop = threading.Event()

        def write_second():
            while not stop.is_set():
                second.query().create("(:Written)-[e]->(:T1)").execute()
                second.query().match("(w:Written)").remove("w").execute()

        writer = threading.Thread(target=write_second)
        writer.start()
        forks = []
        in_call = [False]

        def handler(signum, frame):
            forks.append((os.fork(), in_call[0]))

        signal.signal(signal.SIGUSR1, handler)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGUSR1)).start()
        in_call[0] = True
        {long_call}
        in_call[0] = False
        pid, during_call = forks[0]
        if pid == 0:
            ok = {whole}
            second.query().create("(:InChild)-[e]->(:T2)").execute()
            first.query().match("(x:T3)").set("x", {{"child": 1}}).execute()
            check_consistency(first)
            check_consistency(second)
            os._exit(0 if ok else 1)
        stop.set()
        writer.join()
        print(during_call, wait_for_child(pid), {whole})
        check_consistency(first)
        """
    )
    assert stdout.split() == ["True", "0", "True"], stdout


# Under AddressSanitizer the child of this test hangs now and then (3 whole-suite
# runs in 12), in no run of the plain or the PyPy build; the cause is not
# found yet, so the sanitizer build leaves it out until it is.
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="its child hangs now and then under AddressSanitizer, cause not yet found",
)
def test_ctrl_c_while_a_fork_waits_is_raised_once_the_fork_returns():
    stdout = run_forking_child(
        """
        import _thread, os, threading, time
        graph = graph_of_types(1024)
        held = threading.Thread(target=lambda: graph.query().match("(x)").match("(y)").execute())
        held.start()
        time.sleep(0.05)
        waited = []

        def interrupt():
            waited.append(held.is_alive())
            _thread.interrupt_main()

        threading.Timer(0.1, interrupt).start()
        outcome = "not interrupted"
        try:
            pid = os.fork()
            if pid == 0:
                graph.query().create("(:InChild)-[e]->(:T1)").execute()
                check_consistency(graph)
                os._exit(0)
            time.sleep(10)
        except KeyboardInterrupt:
            outcome = "interrupted"
        held.join()
        print(outcome, waited[0], wait_for_child())
        """
    )
    assert stdout.split() == ["interrupted", "True", "0"], stdout


def test_a_child_can_extend_a_query_that_another_thread_was_running():
    # Threads run one query over and over; at each fork some of them are
    # between their call's end and taking the interpreter lock back.
    stdout = run_forking_child(
        """
        import threading
        graph = graph_of_types(256)
        query = graph.query().match("(x)").match("(y)")
        stop = threading.Event()

        def run():
            while not stop.is_set():
                query.execute()

        threads = [threading.Thread(target=run) for _ in range(4)]
        for thread in threads:
            thread.start()
        outcomes = []
        for _ in range(8):
            time.sleep(0.02)
            pid = os.fork()
            if pid == 0:
                try:
                    query.match("(z:T1)").execute()
                except RuntimeError:
                    os._exit(3)
                os._exit(0)
            outcomes.append(wait_for_child(pid))
        stop.set()
        for thread in threads:
            thread.join()
        print(*outcomes)
        """
    )
    assert stdout.split() == ["0"] * 8, stdout
