"""A short tour of korvale.

The store is a graph of simply typed terms: every node is a type, every edge
is a term of an arrow type, and the store keeps at most one term per type.
Adding an edge from a node that has a term to one that has none applies the
edge's term to the start node's term: terms are derived along the edges.
"""

import korvale


def show(title, rows):
    print(title)
    for row in rows:
        print("  " + ", ".join(f"{name} = {value}" for name, value in sorted(row.items())))
    print()


print("korvale classes:", ", ".join(korvale.__all__))
print()

# 1. Declared constants name families of terms, their types given by type
#    schemas: names ("Nat"), the wildcard "*", arrows "->" and captures "(a: *)".
constants = [
    korvale.Constant("zero", "Nat"),
    korvale.Constant("even", "Nat -> Bool"),
    korvale.Constant("show", "(a: *) -> Text"),
]
print("Declared constants:", ", ".join(c.name for c in constants))
print()

# A schema that does not compile is refused with a report: the error's message
# first, then the operations it passed through, outermost first.
try:
    korvale.Constant("broken", "(a: *) -> (b: *")
except ValueError as error:
    print("A refused schema:")
    print(error)
    print()

# 2. A graph with those constants. Clauses only record; execute() runs them.
#    Every node whose type a constant describes gets that constant as its term.
graph = korvale.Graph(constants)
graph.query().create("(n:Nat {name: 'number'})").execute()
graph.query().create("(n:Nat)-[e:Nat -> Bool]->(b:Bool {name: 'truth'})").execute()
graph.query().create("(b:Bool)-[s:Bool -> Text]->(t:Text)").execute()

# 3. The terms derived along the edges: Bool got (even zero), Text got
#    (show (even zero)).
show("Nodes and their terms:", graph.query().match("(x)").return_("x"))

# 4. Paths matched with type schemas, term schemas and property filters.
show(
    "Every edge leaving the node of Nat:",
    graph.query().match("(x:Nat)-[e]->(y)").return_("x", "e", "y"),
)
show(
    "Nodes whose term applies something to something, with their type:",
    graph.query().match("(x:(t: *):g w)").return_("x", "t"),
)
show("The node named 'truth':", graph.query().match("(x {name: 'truth'})").return_("x"))

# 5. References read the store when asked: identifiers, types, terms, properties.
(row,) = graph.query().match("(x:Bool)").return_("x")
node = row["x"]
print("Bool's node:", node)
print("  uid:       ", node.uid())
print("  type, term:", node.type(), ",", node.term())
print("  properties:", node.properties())
print()

# 6. Updates: set replaces (or, with overwrite=False, merges) properties; any
#    Python object can be a property value.
graph.query().match("(x:Nat)").set("x", {"seen": True, "payload": object}, overwrite=False).execute()
graph.set_node_properties({node.uid(): {"name": "truth", "checked": [1, 2, 3]}})
show("After the updates:", graph.query().match("(x)").return_("x"))

# 7. Removing a node removes its edges too; the reference then reports it.
graph.query().match("(x:Bool)").remove("x").execute()
print("Edges left:", graph.edges())
try:
    node.properties()
except KeyError as error:
    print("The removed node answers:")
    print(error.args[0])
print()

# 8. A failing clause says where it failed, with the query's text.
try:
    graph.query().match("(x)").remove("y").execute()
except KeyError as error:
    print("A failing query:")
    print(error.args[0])
