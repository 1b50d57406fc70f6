"""A long loop of stores, creates, matches and removes keeps memory flat and
gives back every Python object that its properties held."""

import gc
import os
import weakref

import korvale
from interpreter import collect

PAGE = os.sysconf("SC_PAGE_SIZE")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Payload:
    pass


def one_round(payloads):
    """A store of its own with objects in its properties, used and dropped."""
    graph = korvale.Graph([korvale.Constant("z", "N0"), korvale.Constant("f", "(a: *) -> (b: *)")])
    path = "".join(f"-[:N{i} -> N{i + 1}]->(:N{i + 1})" for i in range(8))
    graph.query().create("(:N0)" + path).execute()
    payload = Payload()
    payloads.append(weakref.ref(payload))
    rows = graph.query().match("(x)-[e]->(y)").set("e", {"p": [payload, {"k": payload}]}).return_("x", "e", "y")
    assert len(rows) == 8 and rows[0]["e"].properties()["p"][0] is payload
    graph.set_node_properties({row["x"].uid(): {"p": payload} for row in rows})
    assert len(graph.query().match("(x {p: 1})").return_("x")) == 0
    graph.query().match("(x:N3)").remove("x").execute()
    graph.query().match("(x)-[e]->(y)").remove("e").execute()
    assert len(graph.edges()) == 0 and len(graph.nodes()) == 8


def test_memory_stays_flat_and_objects_are_given_back():
    payloads = []
    for _ in range(100):  # warm-up: pools, caches and the allocator settle
        one_round(payloads)
    gc.collect()
    before = resident_bytes()
    for _ in range(1500):
        one_round(payloads)
    collect()  # PyPy frees the last stores only now
    korvale.Graph().nodes()  # gives back references still queued
    collect()
    grown = resident_bytes() - before
    assert [ref for ref in payloads if ref() is not None] == []
    # A store per round that stayed behind would add far more than this.
    sanitizer = "libasan" in os.environ.get("LD_PRELOAD", "")
    assert sanitizer or grown < 16 * 1024 * 1024, grown
