"""Shared helpers for the Python tests of the store: identifiers computed the
way the store computes them, and rendered reports."""

import hashlib

import korvale

ARROW = "\u2192"


def report(message, *lines):
    """A rendered report: the message, then each context line, outermost first."""
    return "\n".join([message, *(f" {ARROW} {line}" for line in lines)])


def var_uid(name):
    return hashlib.sha256(b"var:" + name.encode()).digest()


def arrow_uid(domain, codomain):
    return hashlib.sha256(b"arr:" + domain + b":" + codomain).digest()


def hex_of(uid):
    return uid.hex()


def A_to_B_uids(a="A", b="B"):
    return var_uid(a), var_uid(b), arrow_uid(var_uid(a), var_uid(b))


def message_of(error_info):
    """The single argument of a raised exception (KeyError repr-quotes its str)."""
    (text,) = error_info.value.args
    return text


def one(rows, name):
    assert len(rows) == 1, rows
    return rows[0][name]


def build(graph, *patterns):
    """Runs one create clause per pattern, each in its own query."""
    for pattern in patterns:
        graph.query().create(pattern).execute()
    return graph


def node_of(graph, type_name):
    return one(graph.query().match(f"(x:{type_name})").return_("x"), "x")


def ab_graph():
    """A store whose constants give A the term a and A -> B the term f."""
    return korvale.Graph([korvale.Constant("a", "A"), korvale.Constant("f", "A -> B")])


# Every arrow type gets the term g: edges need no constant of their own.
ANY_ARROW = korvale.Constant("g", "(p: *) -> (q: *)")
