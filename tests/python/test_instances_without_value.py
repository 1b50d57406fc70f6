"""An instance of a korvale class that the interpreter made without the module
(the base type's __new__ called directly) has no C++ value behind it. CPython
refuses to make one; PyPy makes one, and then every method and slot of the
class refuses it with TypeError instead of reading it. The calls run in a child
interpreter, so that a crash fails the test instead of ending the test run."""

import json

import pytest

import korvale
from interpreter import PYPY
from child import run_python

CHILD = r"""
import gc
import inspect
import json
import korvale

graph = korvale.Graph([korvale.Constant("g", "(p: *) -> (q: *)")])
graph.query().create("(:A)-[:A -> B]->(:B)").execute()
(row,) = graph.query().match("(x)-[e]->(y)").return_("x", "e")
MADE = {
    "Graph": graph,
    "Query": korvale.Graph().query(),  # its calls would change the store
    "Edge": row["e"],
    "Node": row["x"],
    "Term": row["e"].term(),
    "Type": row["x"].type(),
    "Constant": korvale.Constant("c", "C"),
}

# A valid argument for each parameter of the module's methods, by name.
ARGUMENTS = {
    "pattern": "(x:A)",
    "variables": ("x",),
    "variable": "x",
    "properties": {},
    "map": {},
    "constants": None,
    "name": "c",
    "type_schema": "C",
}

def arguments(member, bound, made):
    # Methods without a signature of their own.
    if member in ("__eq__", "__ne__"):
        return (made,)
    if member == "__reduce_ex__":
        return (2,)
    try:
        parameters = inspect.signature(bound).parameters.values()
    except ValueError:
        return ()
    values = []
    for parameter in parameters:
        if parameter.kind == parameter.VAR_POSITIONAL:
            values.extend(ARGUMENTS.get(parameter.name, ()))
        elif parameter.kind != parameter.VAR_KEYWORD and parameter.default is parameter.empty:
            values.append(ARGUMENTS[parameter.name])
    return tuple(values)

# The slots a class defines, through the operations that reach them.
OPERATIONS = {
    "__str__": [("str()", str), ("format()", lambda obj: format(obj, ""))],
    "__repr__": [("repr()", repr)],
    "__eq__": [("==", lambda obj: obj == MADE_OF[type(obj)]),
               ("== reflected", lambda obj: MADE_OF[type(obj)] == obj)],
    "__ne__": [("!=", lambda obj: obj != MADE_OF[type(obj)]),
               ("!= reflected", lambda obj: MADE_OF[type(obj)] != obj)],
}
MADE_OF = {type(made): made for made in MADE.values()}

def calls(cls, made):
    # Every member the class defines that takes an instance, and the
    # operations of its slots; __init__ last, since it may make the value.
    members = sorted(vars(cls).items(), key=lambda item: item[0] == "__init__")
    for member, value in members:
        if isinstance(value, property):
            yield member, lambda obj, member=member: getattr(obj, member)
        elif callable(value) and not isinstance(value, (staticmethod, type)):
            args = arguments(member, getattr(made, member), made)
            yield member, lambda obj, member=member, args=args: getattr(obj, member)(*args)
        yield from OPERATIONS.get(member, [])

def outcome(call, obj):
    try:
        call(obj)
    except Exception as error:
        return [type(error).__name__, str(error)]
    return ["returned", ""]

MAKERS = {
    "object.__new__": lambda cls: object.__new__(cls),
    "base __new__": lambda cls: cls.__mro__[1].__new__(cls),
}

report = {}
for name in korvale.__all__:
    cls, made = getattr(korvale, name), MADE[name]
    for how, make in MAKERS.items():
        try:
            bare = make(cls)
        except TypeError as error:
            report[f"{name} {how}"] = {"refused": str(error)}
            continue
        report[f"{name} {how}"] = {
            member: {"bare": outcome(call, bare), "made": outcome(call, made)}
            for member, call in calls(cls, made)
        }
        del bare
# Frees the bare instances (PyPy after a few collections): their deallocation
# must not crash either.
for _ in range(5):
    gc.collect()
print(json.dumps(report))
"""


@pytest.fixture(scope="module")
def report():
    done = run_python(CHILD)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def no_value(name):
    return f"korvale.{name} object has no value: instances are made by the module"


@pytest.mark.parametrize("how", ["object.__new__", "base __new__"])
@pytest.mark.parametrize("name", korvale.__all__)
def test_every_call_on_an_instance_without_value_raises_type_error(report, name, how):
    outcomes = report[f"{name} {how}"]
    if not PYPY:
        # CPython refuses to make the instance at all.
        assert list(outcomes) == ["refused"]
        return
    assert "__init__" in outcomes
    for member, seen in outcomes.items():
        if member == "__init__" and how == "base __new__":
            # The base's __new__ lays the instance out, as the module's own
            # __new__ does before __init__ makes the value.
            assert seen["bare"][0] == seen["made"][0], (member, seen)
            continue
        assert seen["bare"][0] == "TypeError", (member, seen)
        # A call that a made instance passes is refused for want of the value
        # (calls such as a class's __init__ without a constructor refuse any
        # instance, with their own text).
        if seen["made"][0] != "TypeError":
            assert seen["bare"][1] == no_value(name), (member, seen)


@pytest.mark.skipif(not PYPY, reason="CPython makes no instance without its value")
def test_a_constant_without_value_is_refused_as_an_argument():
    with pytest.raises(TypeError) as error:
        korvale.Graph([object.__new__(korvale.Constant)])
    assert str(error.value) == no_value("Constant")
