import inspect

import pytest

import korvale
from interpreter import pypy_cannot

ARROW = "\u2192"
NEW = f" {ARROW} type schema - new [src/patterns/type_schema:38]"
PARENS = f" {ARROW} type schema - parse pattern [src/patterns/type_schema:46]"
COMPILE = f" {ARROW} type schema - parse pattern [src/patterns/type_schema:48]"
NAME = f" {ARROW} type schema - parse pattern recursive [src/patterns/type_schema:163]"
CAPTURE = f" {ARROW} type schema - parse pattern recursive [src/patterns/type_schema:129]"


def report(*lines):
    return "\n".join(lines)


def test_registered_in_all():
    assert "Constant" in korvale.__all__


@pytest.mark.parametrize(
    "name, schema",
    [
        ("id", "(a: *) -> a"),
        ("pair", "(a: *) -> (a: *)"),
        ("k", "  (a: *) -> (b: (c: *) -> *)  "),
        ("zero", "Nat"),
        ("apfel", "\u00c4pfel -> Birne"),
        # Any name is accepted: terms made from it check it.
        ("", "*"),
        ("two words", "A"),
        ("9", "A -> A"),
        ("None", "A"),
    ],
)
def test_constructs_and_keeps_the_name(name, schema):
    constant = korvale.Constant(name, schema)
    assert type(constant) is korvale.Constant
    assert constant.name == name
    assert type(constant.name) is str


@pytest.mark.parametrize(
    "kwargs",
    [
        {"name": "id", "type_schema": "(a: *) -> a"},
        {"type_schema": "(a: *) -> a", "name": "id"},
    ],
)
def test_keywords_in_either_order(kwargs):
    assert korvale.Constant(**kwargs).name == "id"


def test_position_and_keyword_mixed():
    assert korvale.Constant("id", type_schema="A").name == "id"


@pytest.mark.parametrize(
    "schema, text",
    [
        ("", report("Schema Validation Failed for '': Empty pattern", NEW, COMPILE)),
        ("   ", report("Schema Validation Failed for '': Empty pattern", NEW, COMPILE)),
        (
            " (A ",
            report(
                "Schema Validation Failed for '(A': Unbalanced parentheses: "
                "too many opening parentheses",
                NEW,
                PARENS,
            ),
        ),
        (
            ")A(",
            report(
                "Schema Validation Failed for ')A(': Unbalanced parentheses: "
                "too many closing parentheses",
                NEW,
                PARENS,
            ),
        ),
        (
            "None",
            report("Invalid Identifier 'None': 'None' is a reserved name", NEW, COMPILE, NAME),
        ),
        (
            "(x:)",
            report("Schema Validation Failed for '': Empty pattern", NEW, COMPILE, CAPTURE),
        ),
        pytest.param(
            "(" * 257 + "A" + ")" * 257,
            report(
                "Schema Validation Failed for 'A': Pattern nested too deeply (more than 256 levels)",
                NEW,
                COMPILE,
                *[f" {ARROW} type schema - parse pattern recursive [src/patterns/type_schema:150]"]
                * 257,
            ),
            id="nested-too-deeply",
        ),

    ],
)
def test_refused_schema_raises_value_error_with_the_report(schema, text):
    with pytest.raises(ValueError) as raised:
        korvale.Constant("c", schema)
    assert type(raised.value) is ValueError
    assert raised.value.args == (text,)


@pytest.mark.parametrize(
    "schema",
    [
        pytest.param("(" * 100000 + "A" + ")" * 100000, id="parentheses"),
        pytest.param("A -> " * 100000 + "A", id="arrow-chain"),
    ],
)
def test_very_deep_schema_is_refused_in_order(schema):
    with pytest.raises(ValueError) as raised:
        korvale.Constant("c", schema)
    message, *lines = str(raised.value).split("\n")
    assert message.startswith("Schema Validation Failed for '")
    assert message.endswith("': Pattern nested too deeply (more than 256 levels)")
    assert lines[:2] == [NEW, COMPILE]
    assert len(lines) == 2 + 257


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "A"), "argument 'name': 'int' object cannot be cast as 'str'"),
        ((None, "A"), "argument 'name': 'NoneType' object cannot be cast as 'str'"),
        ((b"id", "A"), "argument 'name': 'bytes' object cannot be cast as 'str'"),
        (("id", 1), "argument 'type_schema': 'int' object cannot be cast as 'str'"),
        (("id", ["A"]), "argument 'type_schema': 'list' object cannot be cast as 'str'"),
        # The name is converted first.
        ((1.5, 2), "argument 'name': 'float' object cannot be cast as 'str'"),
    ],
)
def test_non_str_arguments_raise_type_error(args, message):
    with pytest.raises(TypeError) as raised:
        korvale.Constant(*args)
    assert str(raised.value) == message


def test_non_str_keyword_argument_names_the_argument():
    with pytest.raises(TypeError) as raised:
        korvale.Constant(type_schema=3, name="id")
    assert str(raised.value) == "argument 'type_schema': 'int' object cannot be cast as 'str'"


def test_str_subclass_is_accepted():
    class Name(str):
        pass

    assert korvale.Constant(Name("id"), Name("A")).name == "id"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("id",), {}),
        (("id", "A", "B"), {}),
        (("id",), {"name": "id", "type_schema": "A"}),
        (("id",), {"schema": "A"}),
        ((), {"name": "id"}),
        ((), {"type_schema": "A"}),
    ],
)
def test_wrong_argument_lists_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        korvale.Constant(*args, **kwargs)


def test_name_is_read_only():
    constant = korvale.Constant("id", "A")
    with pytest.raises(AttributeError):
        constant.name = "other"
    with pytest.raises(AttributeError):
        del constant.name
    assert constant.name == "id"


def test_name_is_a_new_str_on_every_read():
    constant = korvale.Constant("a name that is not interned", "A")
    first, second = constant.name, constant.name
    assert first == second
    assert first is not second


@pypy_cannot(
    "every instance of an extension class gets a __dict__ and takes new attributes"
)
def test_no_instance_attributes():
    constant = korvale.Constant("id", "A")
    assert not hasattr(constant, "__dict__")
    with pytest.raises(AttributeError):
        constant.other = 1


def test_no_subclasses():
    with pytest.raises(TypeError) as raised:

        class Sub(korvale.Constant):
            pass

    assert str(raised.value) == "type 'korvale.Constant' is not an acceptable base type"


def test_identity_comparison_and_hash_only():
    a = korvale.Constant("id", "A")
    b = korvale.Constant("id", "A")
    assert a == a
    assert a != b
    assert type(a).__eq__ is object.__eq__
    assert type(a).__hash__ is object.__hash__


def test_signature():
    assert korvale.Constant.__text_signature__ == "(name, type_schema)"
    assert str(inspect.signature(korvale.Constant)) == "(name, type_schema)"
    assert list(inspect.signature(korvale.Constant).parameters) == ["name", "type_schema"]
