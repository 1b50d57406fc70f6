import gc

import pytest

import korvale
from store_helpers import ANY_ARROW, ab_graph, build, message_of, report, var_uid

EXECUTE = "query - execute [src/query/base:296]"
RETURN = "query - return [src/query/base:309]"


def operation(query_text, position):
    return f"query - execute operation - {query_text} [src/query/base:{position}]"


def store_with_nodes(*type_names):
    return build(korvale.Graph(), *(f"(x:{name})" for name in type_names))


# --- recording and text forms -------------------------------------------------


def test_a_query_without_clauses():
    query = korvale.Graph().query()
    assert str(query) == ""
    assert query.execute() is None
    assert query.return_() == [{}]
    with pytest.raises(KeyError) as error:
        query.return_("x")
    assert message_of(error) == (
        "Variable not found: 'x' (query return - data collection [src/query/base:340])"
    )


def test_clause_texts():
    query = korvale.Graph().query().match("  (x)  ").remove()
    assert str(query) == "MATCH (x)\nREMOVE \n"
    query = query.set("x", {}, overwrite=False)
    assert str(query) == "MATCH (x)\nREMOVE \nSET x += {}\n"
    query = query.create("(y:A)-[:A -> B]->(:B)").remove("x", "y", "x")
    query = query.set("y", {"b": [1, "s"], "a": {"k": 2.5}})
    assert str(query) == (
        "MATCH (x)\nREMOVE \nSET x += {}\nCREATE (y:A)-[:A -> B]->(:B)\n"
        'REMOVE x, y, x\nSET y = {a: #{"k": 2.5}, b: [1, "s"]}\n'
    )


def test_the_called_query_gains_the_clause_and_the_new_one_gets_a_copy():
    first = korvale.Graph().query()
    second = first.match("(a)")
    assert type(second) is korvale.Query and second is not first
    assert str(first) == str(second) == "MATCH (a)\n"
    second.remove("a")
    assert str(first) == "MATCH (a)\n"
    assert str(second) == "MATCH (a)\nREMOVE a\n"
    first.create("(b:B)")
    assert str(first) == "MATCH (a)\nCREATE (b:B)\n"
    assert str(second) == "MATCH (a)\nREMOVE a\n"


@pytest.mark.parametrize(
    "method, line",
    [("match", "query - match [src/query/base:266]"), ("create", "query - create [src/query/base:256]")],
)
def test_a_pattern_that_does_not_parse_records_nothing(method, line):
    query = korvale.Graph().query().match("(x)")
    with pytest.raises(ValueError) as error:
        getattr(query, method)("(x:A:f:g)")
    # The outermost line comes first.
    assert message_of(error).splitlines()[1] == f" \u2192 {line}"
    assert message_of(error).startswith(
        "Invalid Pattern; '(x:A:f:g)': Node pattern has too many ':' separators."
    )
    assert str(query) == "MATCH (x)\n"


def test_set_with_a_value_that_is_no_dict_records_nothing():
    query = korvale.Graph().query().match("(x)")
    with pytest.raises(RuntimeError) as error:
        query.set("x", 5)
    assert message_of(error) == report(
        "Python Error: 'Root of PropertyMap should be a Dict' (property map new [src/properties:92])",
        "query - set [src/query/base:286]",
    )
    assert str(query) == "MATCH (x)\n"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda q: q.match(5), "argument 'pattern': 'int' object cannot be cast as 'str'"),
        (lambda q: q.create(None), "argument 'pattern': 'NoneType' object cannot be cast as 'str'"),
        (lambda q: q.create(pattern=b"(x)"), "argument 'pattern': 'bytes' object cannot be cast as 'str'"),
        (lambda q: q.remove("x", 1), "argument 'variables': 'int' object cannot be cast as 'str'"),
        (lambda q: q.return_(["x"]), "argument 'variables': 'list' object cannot be cast as 'str'"),
        (lambda q: q.set(1, {}), "argument 'variable': 'int' object cannot be cast as 'str'"),
        (lambda q: q.set("x", {}, 1), "argument 'overwrite': 'int' object cannot be cast as 'bool'"),
        (
            lambda q: q.set("x", {}, overwrite=None),
            "argument 'overwrite': 'NoneType' object cannot be cast as 'bool'",
        ),
    ],
)
def test_argument_conversion_errors(call, text):
    query = korvale.Graph().query()
    with pytest.raises(TypeError) as error:
        call(query)
    assert str(error.value) == text
    assert str(query) == ""


@pytest.mark.parametrize(
    "call",
    [
        lambda q: q.match(),
        lambda q: q.match("(x)", "(y)"),
        lambda q: q.match(text="(x)"),
        lambda q: q.set("x"),
        lambda q: q.set("x", {}, True, True),
        lambda q: q.remove(variables="x"),
        lambda q: q.return_(variables="x"),
        lambda q: q.execute(1),
    ],
)
def test_argument_lists_are_checked(call):
    query = korvale.Graph().query()
    with pytest.raises(TypeError):
        call(query)
    assert str(query) == ""


def test_keywords_are_accepted():
    query = korvale.Graph().query()
    second = query.create(pattern="(x:A)").set(variable="x", properties={"a": 1}, overwrite=True)
    assert str(query) == "CREATE (x:A)\n"
    assert str(second) == "CREATE (x:A)\nSET x = {a: 1}\n"


# --- running ------------------------------------------------------------------


def test_a_match_that_finds_nothing():
    assert korvale.Graph().query().match("(x:A)").return_("x") == []


def test_return_rows():
    graph = build(ab_graph(), "(a:A)-[f:A -> B]->(b:B)")
    rows = graph.query().match("(x)-[e]->(y)").return_("x", "e", "y", "x")
    assert len(rows) == 1
    (row,) = rows
    assert sorted(row) == ["e", "x", "y"]
    assert type(row["x"]) is korvale.Node and type(row["e"]) is korvale.Edge
    assert row["x"].uid() == var_uid("A").hex()
    assert row["y"].uid() == var_uid("B").hex()
    assert str(row["y"]) == "Node(B:(f a) {})"


def test_return_of_types_and_terms():
    graph = build(ab_graph(), "(x:A)")
    (row,) = graph.query().match("(x:(t: *):u)").return_("x", "t", "u")
    assert type(row["t"]) is korvale.Type and type(row["u"]) is korvale.Term
    assert row["t"].uid() == row["u"].uid() == var_uid("A").hex()
    assert str(row["t"]) == "A" and str(row["u"]) == "a"


def test_many_rows_hold_working_references():
    graph = korvale.Graph()
    for i in range(300):
        graph.query().create(f"(:T{i} {{i: {i}}})").execute()
    rows = graph.query().match("(n)").return_("n")
    assert len(rows) == 300 and all(list(row) == ["n"] for row in rows)
    assert all(type(row["n"]) is korvale.Node for row in rows)
    assert sorted(row["n"].uid() for row in rows) == sorted(n.uid() for n in graph.nodes())
    kept = {row["n"].properties()["i"]: row["n"] for row in rows}
    del rows, graph
    gc.collect()
    # The references keep their store alive and still read it.
    assert str(kept[7]) == "Node(T7: {i: 7})"
    assert kept[7] == kept[7] and kept[7] != kept[8]
    assert kept[299].type().uid() == kept[299].uid()


def test_execute_twice_creates_twice():
    graph = ab_graph()
    query = graph.query().create("(:A)-[:A -> B]->(:B)")
    query.execute()
    query.execute()
    assert len(graph.nodes()) == 2 and len(graph.edges()) == 1
    assert str(query) == "CREATE (:A)-[:A -> B]->(:B)\n"


def test_the_remove_example_report():
    graph = store_with_nodes("A")
    query = graph.query().match("(x)").remove("y")
    with pytest.raises(KeyError) as error:
        query.execute()
    assert message_of(error) == "\n".join(
        [
            "Variable not found: 'y' (execute remove)",
            " \u2192 query - execute [src/query/base:296]",
            " \u2192 query - execute operation - MATCH (x)",
            "REMOVE y",
            " [src/query/base:101]",
            " \u2192 query - execute remove - y [src/query/base:178]",
        ]
    )
    # The clause list is unchanged and nothing was removed.
    assert str(query) == "MATCH (x)\nREMOVE y\n"
    assert len(graph.nodes()) == 1


def test_return_reports_a_failing_run_with_its_own_line():
    graph = store_with_nodes("A")
    with pytest.raises(KeyError) as error:
        graph.query().match("(x)").set("y", {}).return_("x")
    text = "MATCH (x)\nSET y = {}\n"
    assert message_of(error) == report(
        "Variable not found: 'y' (execute set)",
        RETURN,
        operation(text, 109),
        "query - execute set - y = {} [src/query/base:242]",
    )


def test_failing_match_and_create_clauses_get_their_lines():
    graph = korvale.Graph()
    with pytest.raises(Exception) as error:
        graph.query().match("(x)(y)").execute()
    lines = message_of(error).split(f"\n \u2192 ")
    assert lines[1:3] == [EXECUTE, operation("MATCH (x)(y)\n", 95)]
    assert lines[3] == "query - execute match - (x)(y) [src/query/base:129]"
    with pytest.raises(Exception) as error:
        graph.query().create("(x)").execute()
    lines = message_of(error).split(f"\n \u2192 ")
    assert lines[1:4] == [
        EXECUTE,
        operation("CREATE (x)\n", 89),
        "query - execute create - (x) [src/query/base:123]",
    ]


@pytest.mark.parametrize(
    "query_text, reason, exception_text",
    [
        ("remove", "You cannot remove types from the graph", "execute remove"),
        ("set", "You cannot set the properties of a type, types do not have properties", "execute set"),
    ],
)
@pytest.mark.parametrize("bound", ["t", "u"])
def test_types_and_terms_cannot_be_removed_or_set(query_text, reason, exception_text, bound):
    graph = build(ab_graph(), "(x:A)")
    query = graph.query().match("(x:(t: *):u)")
    query = query.remove(bound) if query_text == "remove" else query.set(bound, {})
    if query_text == "remove" and bound == "u":
        reason = "You cannot remove terms from the graph"
    with pytest.raises(ValueError) as error:
        query.execute()
    clause = f"REMOVE {bound}" if query_text == "remove" else f"SET {bound} = {{}}"
    text = f"MATCH (x:(t: *):u)\n{clause}\n"
    clause_line = (
        f"query - execute remove - {bound} [src/query/base:178]"
        if query_text == "remove"
        else f"query - execute set - {bound} = {{}} [src/query/base:242]"
    )
    assert message_of(error) == report(
        f"Invalid Query:\n{text}\n\nReason: {reason}\n({exception_text})",
        EXECUTE,
        operation(text, 101 if query_text == "remove" else 109),
        clause_line,
    )
    assert len(graph.nodes()) == 1


def test_remove_takes_out_nodes_and_their_edges():
    graph = build(ab_graph(), "(a:A)-[f:A -> B]->(b:B)", "(c:C)")
    graph.query().match("(x:A)").remove("x").execute()
    assert sorted(n.uid() for n in graph.nodes()) == sorted(
        [var_uid("B").hex(), var_uid("C").hex()]
    )
    assert graph.edges() == []


def test_remove_of_an_edge_keeps_its_nodes():
    graph = build(ab_graph(), "(a:A)-[f:A -> B]->(b:B)")
    graph.query().match("()-[e]->()").remove("e").execute()
    assert graph.edges() == [] and len(graph.nodes()) == 2


def fan_out(graph, count):
    """One node X with edges to count nodes Y0..; each edge its own type."""
    for i in range(count):
        build(graph, f"(x:X)-[:X -> Y{i}]->(:Y{i})")
    return graph


def test_remove_of_a_binding_shared_by_several_rows():
    graph = fan_out(korvale.Graph([ANY_ARROW]), 12)
    assert len(graph.edges()) == 12
    # All twelve rows share the layer binding x: each counts as bound, and the
    # node goes once, with every edge.
    graph.query().match("(x:X)-[e]->(y)").remove("x").execute()
    assert graph.edges() == []
    assert sorted(n.uid() for n in graph.nodes()) == sorted(
        var_uid(f"Y{i}").hex() for i in range(12)
    )


def test_remove_of_shared_binding_then_every_edge():
    graph = fan_out(korvale.Graph([ANY_ARROW]), 6)
    graph.query().match("(x:X)-[e]->(y)").remove("e", "x", "y").execute()
    assert graph.nodes() == [] and graph.edges() == []


def test_remove_of_a_name_twice_fails_after_the_first_removals():
    graph = fan_out(korvale.Graph([ANY_ARROW]), 3)
    query = graph.query().match("(x:X)-[e]->(y)").remove("y", "y")
    with pytest.raises(KeyError) as error:
        query.execute()
    text = "MATCH (x:X)-[e]->(y)\nREMOVE y, y\n"
    assert message_of(error) == report(
        "Variable not found: 'y' (execute remove)",
        EXECUTE,
        operation(text, 101),
        "query - execute remove - y, y [src/query/base:178]",
    )
    assert [n.uid() for n in graph.nodes()] == [var_uid("X").hex()]


def test_set_gives_every_element_a_map_of_its_own():
    graph = store_with_nodes("A", "B", "C")
    query = graph.query().match("(x)").set("x", {"k": 1})
    query.execute()
    nodes = graph.nodes()
    assert [n.properties() for n in nodes] == [{"k": 1}] * 3
    # Merging into one of them changes that one alone, and not the clause.
    graph.set_node_properties({nodes[0].uid(): {"m": 2}}, overwrite=False)
    assert [n.properties() for n in nodes] == [{"k": 1, "m": 2}, {"k": 1}, {"k": 1}]
    assert str(query) == "MATCH (x)\nSET x = {k: 1}\n"


def test_created_elements_do_not_share_the_pattern_map():
    graph = korvale.Graph([ANY_ARROW])
    create = graph.query().create("(:A {k: 1})-[:A -> B {w: 1}]->(:B {k: 1})")
    create.execute()
    graph.query().match("(a:A)-[e]->(b)").set("a", {"m": 2}, False).set("e", {"v": 3}, False).execute()
    by_text = sorted(str(n.properties()) for n in graph.nodes())
    assert by_text == ["{'k': 1, 'm': 2}", "{'k': 1}"]
    assert [e.properties() for e in graph.edges()] == [{"v": 3, "w": 1}]
    assert str(create) == "CREATE (:A {k: 1})-[:A -> B {w: 1}]->(:B {k: 1})\n"
    # Running the creation again reuses both nodes and gives the edge the
    # pattern's properties as written.
    create.execute()
    assert [e.properties() for e in graph.edges()] == [{"w": 1}]


def test_set_merges_without_overwrite():
    graph = build(korvale.Graph(), "(x:A {a: 1, b: 1})")
    graph.query().match("(x)").set("x", {"a": 2, "c": 3}, False).execute()
    assert graph.nodes()[0].properties() == {"a": 2, "b": 1, "c": 3}


def test_set_on_edges():
    graph = build(ab_graph(), "(a:A)-[f:A -> B]->(b:B)")
    graph.query().match("()-[e]->()").set("e", {"w": 3}).execute()
    assert graph.edges()[0].properties() == {"w": 3}


def test_changes_before_a_failing_clause_stay():
    graph = store_with_nodes("A")
    with pytest.raises(KeyError):
        graph.query().create("(b:B)").remove("nothing").execute()
    assert len(graph.nodes()) == 2


def test_rows_reference_the_same_element_by_distinct_equal_objects():
    graph = fan_out(korvale.Graph([ANY_ARROW]), 3)
    rows = graph.query().match("(x:X)-[e]->(y)").return_("x")
    assert len(rows) == 3
    first, second, third = (row["x"] for row in rows)
    assert first == second == third
    assert first is not second


# --- terms the store cannot hold ----------------------------------------------

# The store keeps one term per type, so a term holding a part of its own type
# would be stored naming itself; such a create is refused before it writes.
NATURALS = ("zero: Nat", "succ: Nat -> Nat", "even: Nat -> Bool")
INFERRED = ("k: (p: *) -> (q: *)", "c: C")


def graph_of(constants):
    return korvale.Graph([korvale.Constant(*c.split(": ", 1)) for c in constants])


def refusal(term, type_name, pattern):
    return report(
        f"Invalid Term: 'the term '{term}' of type '{type_name}' cannot be stored: the store "
        f"keeps one term per type, and a term cannot contain a term of its own type "
        f"(here one of type '{type_name}')'",
        EXECUTE,
        operation(f"MATCH (o:Other)\nCREATE {pattern}\n", 89),
        f"query - execute create - {pattern} [src/query/base:123]",
    )


def contents(graph):
    return sorted(map(str, graph.nodes())), sorted(map(str, graph.edges()))


@pytest.mark.parametrize(
    "constants, pattern, term, type_name",
    [
        (NATURALS, "(n:Nat:@succ() @zero())", "(succ zero)", "Nat"),
        (INFERRED, "(:C:@c())-[f:C -> A]->(y)-[h:A -> A]->(z:A)", "(k (k c))", "A"),
    ],
    ids=["term_schema", "inferred"],
)
def test_a_term_containing_its_own_type_is_refused_and_nothing_is_written(
    constants, pattern, term, type_name
):
    graph = graph_of(constants)
    build(graph, "(:Other {kept: 1})")
    before = contents(graph)
    with pytest.raises(ValueError) as error:
        graph.query().match("(o:Other)").create(pattern).execute()
    assert message_of(error) == refusal(term, type_name, pattern)
    assert contents(graph) == before


def test_after_a_refusal_the_type_takes_a_term_and_derives_along_an_edge():
    graph = graph_of(NATURALS)
    with pytest.raises(ValueError):
        graph.query().create("(n:Nat:@succ() @zero())").execute()
    build(graph, "(n:Nat:@zero())", "(:Nat)-[e:Nat -> Bool]->(:Bool)")
    rows = graph.query().match("(n:Nat)-[e]->(b:Bool)").return_("n", "b")
    assert [(str(r["n"].term()), str(r["b"].term())) for r in rows] == [("zero", "(even zero)")]


def test_parts_of_one_type_still_replace_each_other():
    graph = graph_of(("pair: A -> A -> P", "x: A", "y: A"))
    build(graph, "(p:P:@pair() @x() @y())")
    assert sorted(str(n.term()) for n in graph.nodes()) == ["((pair y) y)"]
