import enum
import math
import sys
import weakref

import pytest
from hypothesis import given, strategies as st

import korvale_testing as kt
from interpreter import INT_TOO_BIG, PYPY, collect

ARROW = "\n \u2192 "
INT_LINE = "py to rhai - int [src/properties:196]"
STRING_LINE = "py to rhai - string [src/properties:210]"
LIST_LINE = "py to rhai - list [src/properties:217]"
DICT_LINE = "py to rhai - dict [src/properties:228]"
MAP_NEW_LINE = "property map - new [src/properties:87]"
TOO_BIG = f"Python Error: 'OverflowError: {INT_TOO_BIG}'"


def report(message, *lines_newest_first):
    return ARROW.join((message,) + lines_newest_first)


def raised(call, *args):
    with pytest.raises(RuntimeError) as info:
        call(*args)
    return str(info.value)


class Color(enum.IntEnum):
    RED = 7


class MyInt(int):
    def __index__(self):
        raise AssertionError("not called")


class MyStr(str):
    def __str__(self):
        return "overridden"


class MyList(list):
    def __iter__(self):
        raise AssertionError("not called")

    def __len__(self):
        return 0


class MyDict(dict):
    def items(self):
        raise AssertionError("not called")

    def keys(self):
        raise AssertionError("not called")


class MyFloat(float):
    pass


class Indexable:
    def __index__(self):
        return 3

    def __float__(self):
        return 3.0


# --- Python object to value and back --------------------------------------


def test_bool_stays_bool_and_int_stays_int():
    assert kt.roundtrip(True) is True
    assert kt.roundtrip(False) is False
    back = kt.roundtrip(1)
    assert back == 1 and type(back) is int
    assert kt.text(True) == "true"
    assert kt.text(1) == "1"
    assert kt.compare(True, 1) is False


@pytest.mark.parametrize("value", [2**63 - 1, -(2**63), 0, -1])
def test_int_inside_the_range_converts(value):
    assert kt.roundtrip(value) == value
    assert kt.text(value) == str(value)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**70])
def test_int_outside_the_range_fails(value):
    assert raised(kt.roundtrip, value) == report(TOO_BIG, INT_LINE)
    assert raised(kt.map_text, {"k": value}) == report(TOO_BIG, MAP_NEW_LINE, DICT_LINE, INT_LINE)


@pytest.mark.parametrize(
    "value, plain",
    [
        (Color.RED, 7),
        (MyInt(5), 5),
        (MyStr("text"), "text"),
        (MyList([1, 2]), [1, 2]),
        (MyDict(b=1, a=2), {"a": 2, "b": 1}),
    ],
    ids=["int-enum", "int", "str", "list", "dict"],
)
def test_subclasses_come_back_as_plain_values_of_their_stored_contents(value, plain):
    back = kt.roundtrip(value)
    assert type(back) is type(plain)
    assert back == plain


def test_subclass_contents_are_read_without_overridden_methods():
    assert kt.text(MyStr("text")) == '"text"'
    assert kt.text(MyList([1, 2])) == "[1, 2]"
    assert kt.text(MyDict(b=1, a=2)) == '#{"a": 2, "b": 1}'
    assert kt.text(Color.RED) == "7"


@pytest.mark.parametrize(
    "make",
    [
        lambda: MyFloat(1.5),
        lambda: None,
        lambda: (1, 2),
        lambda: {1, 2},
        lambda: b"bytes",
        lambda: frozenset(),
        lambda: object(),
        lambda: Indexable(),
        lambda: 1j,
    ],
    ids=["float-subclass", "None", "tuple", "set", "bytes", "frozenset", "object", "index", "complex"],
)
def test_other_objects_become_opaque_and_come_back_identical(make):
    obj = make()
    assert kt.roundtrip(obj) is obj
    assert kt.roundtrip([obj, {"k": obj}])[1]["k"] is obj
    assert kt.text(obj) == "korvale::properties::PyOpaque"
    assert kt.map_to_dict({"o": obj})["o"] is obj


def test_opaque_values_compare_by_identity():
    t = tuple([1, 2])
    assert kt.compare(t, t) is True
    assert kt.compare([t], [t]) is True
    assert kt.compare(t, tuple([1, 2])) is False


def test_floats_and_their_text_forms():
    assert kt.roundtrip(2.5) == 2.5
    assert math.isnan(kt.roundtrip(float("nan")))
    assert kt.text(float("nan")) == "NaN"
    assert kt.text(float("inf")) == "inf"
    assert kt.text(float("-inf")) == "-inf"
    assert kt.text(-0.0) == "-0.0"
    assert math.copysign(1.0, kt.roundtrip(-0.0)) == -1.0


def python_float_text(value):
    text = repr(value)
    if "e" not in text:
        return text
    mantissa, exponent = text.split("e")
    return f"{mantissa}e{int(exponent)}"


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_text_has_the_shortest_round_trip_digits(value):
    assert kt.text(value) == python_float_text(value)
    assert float(kt.text(value)) == value


@given(st.text())
def test_any_valid_text_round_trips(value):
    assert kt.roundtrip(value) == value


def test_dicts_come_back_in_key_order():
    back = kt.roundtrip({"b": 1, "a": 2, "\u00e9": 3, "B": 4, "aa": 5})
    assert list(back) == ["B", "a", "aa", "b", "\u00e9"]
    assert back == {"b": 1, "a": 2, "\u00e9": 3, "B": 4, "aa": 5}


def test_equal_texts_of_str_subclass_keys_keep_the_later_entry():
    assert kt.roundtrip({"k": 1, MyStr("k"): 2}) == {"k": 2}


def test_nested_containers_convert_both_ways():
    value = {"a": [1, 2.5, "x", True, {"b": []}], "c": {}}
    back = kt.roundtrip(value)
    assert back == value
    assert back is not value and back["a"] is not value["a"]
    assert kt.text(value) == '#{"a": [1, 2.5, "x", true, #{"b": []}], "c": #{}}'


# --- failures ----------------------------------------------------------------

NON_STR_KEY = "Python Error: 'TypeError: 'int' object cannot be cast as 'str''"


@pytest.mark.parametrize(
    "value, expected",
    [
        ({1: "x"}, report(NON_STR_KEY)),
        ([{1: "x"}], report(NON_STR_KEY, LIST_LINE)),
        ({"a": [1, 2**70]}, report(TOO_BIG, DICT_LINE, LIST_LINE, INT_LINE)),
        ([1, [2, [2**64]]], report(TOO_BIG, LIST_LINE, LIST_LINE, LIST_LINE, INT_LINE)),
    ],
)
def test_nested_failures_carry_their_lines(value, expected):
    assert raised(kt.roundtrip, value) == expected


def surrogate_error():
    try:
        "\ud800".encode("utf-8")
    except UnicodeEncodeError as error:
        return f"Python Error: 'UnicodeEncodeError: {error}'"


def test_lone_surrogate_fails_as_string_conversion():
    assert raised(kt.roundtrip, "a\ud800").startswith("Python Error: 'UnicodeEncodeError: ")
    assert raised(kt.roundtrip, ["\ud800"]) == report(surrogate_error(), LIST_LINE, STRING_LINE)


def test_lone_surrogate_key_fails_without_a_line():
    assert raised(kt.roundtrip, {"\ud800": 1}) == report(surrogate_error())


SELF = "Python Error: 'a list or dict that contains itself cannot be converted'"


def test_self_containing_list_and_dict_fail_with_a_report():
    items = []
    items.append(items)
    assert raised(kt.roundtrip, items) == report(SELF, LIST_LINE)
    entries = {}
    entries["me"] = [entries]
    assert raised(kt.roundtrip, entries) == report(SELF, DICT_LINE, LIST_LINE)


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def test_nesting_up_to_the_limit_converts():
    value = nested_lists(256)
    assert kt.roundtrip(value) == value
    assert kt.text(value) == "[" * 256 + "]" * 256


@pytest.mark.parametrize("depth", [257, 100000])
def test_deeper_nesting_fails_with_a_report(depth):
    message = raised(kt.roundtrip, nested_lists(depth))
    assert message == report(
        "Python Error: 'lists and dicts nested more than 256 levels deep cannot be converted'",
        *([LIST_LINE] * 256),
    )


def test_shared_but_not_self_containing_children_convert():
    child = [1]
    assert kt.roundtrip([child, child, {"a": child}]) == [[1], [1], {"a": [1]}]


# --- property maps -----------------------------------------------------------


def test_map_from_dict_and_its_text_form():
    assert kt.map_text({}) == "{}"
    assert (
        kt.map_text({"name": "Bob", "age": 3, "tags": ["a", "b"], "meta": {"k": 2.5}})
        == '{age: 3, meta: #{"k": 2.5}, name: "Bob", tags: ["a", "b"]}'
    )
    assert kt.map_text({"a": {"b": 1}}) == '{a: #{"b": 1}}'


ROOT = "Python Error: 'Root of PropertyMap should be a Dict' (property map new [src/properties:92])"


@pytest.mark.parametrize("root", [[1], None, 5, "text", (1,)])
def test_map_root_must_be_a_dict(root):
    assert raised(kt.map_text, root) == ROOT


def test_map_conversion_failure_comes_before_the_root_test():
    assert raised(kt.map_text, [2**70]) == report(TOO_BIG, MAP_NEW_LINE, LIST_LINE, INT_LINE)
    assert raised(kt.map_text, {1: 2}) == report(NON_STR_KEY, MAP_NEW_LINE)


def test_map_to_dict_builds_a_new_dict_in_key_order():
    given = {"b": [1, {"y": 2, "x": 1}], "a": None}
    first = kt.map_to_dict(given)
    assert list(first) == ["a", "b"]
    assert list(first["b"][1]) == ["x", "y"]
    assert first == given and first is not given
    assert first["a"] is None


# --- giving references back --------------------------------------------------


class Thing:
    pass


def watched():
    obj = Thing()
    freed = []
    ref = weakref.ref(obj, lambda _: freed.append(True))
    return obj, ref, freed


def test_released_reference_waits_for_the_next_module_call():
    obj, ref, freed = watched()
    kt.hold({"x": [obj], "y": obj})
    del obj
    collect()
    assert ref() is not None
    kt.release_held_without_drain()
    collect()
    assert not freed and ref() is not None  # only queued so far
    kt.noop()
    collect()
    assert freed == [True]


def test_reference_released_on_pool_threads_is_given_back_before_return():
    obj, ref, freed = watched()
    kt.hold([obj] * 10)
    del obj
    kt.release_held_on_pool()
    collect()
    assert freed == [True]


def reference_count(obj):
    """The exact count where the interpreter keeps one (PyPy does not)."""
    return None if PYPY else sys.getrefcount(obj)


def test_failed_conversion_releases_what_it_made():
    obj, _, freed = watched()
    before = reference_count(obj)
    for bad in ({"a": obj, "b": 2**70}, [obj, obj, "\ud800"], [obj, {1: 2}]):
        with pytest.raises(RuntimeError):
            kt.roundtrip(bad)
    del bad
    assert reference_count(obj) == before
    del obj
    collect()
    assert freed == [True]


def test_successful_conversions_keep_no_reference():
    obj, _, freed = watched()
    before = reference_count(obj)
    kt.roundtrip([obj, {"k": obj}])
    kt.map_to_dict({"k": obj})
    kt.text(obj)
    assert kt.compare(obj, obj)
    assert reference_count(obj) == before
    del obj
    collect()
    assert freed == [True]


def test_finaliser_run_by_a_release_may_call_the_module():
    calls = []

    class Reentrant:
        def __del__(self):
            calls.append(kt.roundtrip({"k": 1}))

    kt.hold(Reentrant())
    kt.release_held_without_drain()
    kt.noop()  # CPython finalises during the release, PyPy at the next collection
    collect()
    assert calls == [{"k": 1}]


def test_pending_exception_survives_the_drain_on_the_way_out():
    obj, ref, freed = watched()
    kt.hold(obj)
    del obj
    kt.release_held_without_drain()
    # The failing call drains on its way out while its exception is pending.
    assert raised(kt.roundtrip, 2**64) == report(TOO_BIG, INT_LINE)
    collect()
    assert freed == [True]
