"""A short tour of korvale as far as it is built: declared constants.

A constant names a family of terms whose types a type schema describes.
Type schemas are written with names ("Nat"), the wildcard "*", arrows "->"
and named captures "(a: *)".
"""

import korvale

print("korvale classes:", ", ".join(korvale.__all__))
print()

constants = [
    korvale.Constant("zero", "Nat"),
    korvale.Constant("succ", "Nat -> Nat"),
    korvale.Constant("id", "(a: *) -> a"),
    korvale.Constant(name="const", type_schema="(a: *) -> (b: *) -> a"),
    korvale.Constant("compose", "((b: *) -> (c: *)) -> ((a: *) -> b) -> a -> c"),
]
print("Declared constants:")
for constant in constants:
    print(" ", constant.name)
print()

# A schema that does not compile is refused with a report: the error's
# message first, then the operations it passed through, outermost first.
for schema in ["(a: *) -> (b: *", "Nat -> None", "(x: A -> )"]:
    try:
        korvale.Constant("broken", schema)
    except ValueError as error:
        print(f"Refused schema {schema!r}:")
        print(error)
        print()

# Arguments must be str.
try:
    korvale.Constant(42, "Nat")
except TypeError as error:
    print("Refused argument:", error)
