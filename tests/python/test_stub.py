"""The type stub describes the module as it is: the same classes in __all__,
the same public methods and properties, the same parameters."""

import ast
from pathlib import Path

import pytest

import korvale

STUB = Path(__file__).resolve().parents[2] / "src" / "python" / "korvale.pyi"


def stub_module():
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_all(module):
    (value,) = [
        node.value
        for node in module.body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]
    ]
    return ast.literal_eval(value)


def stub_classes():
    return {node.name: node for node in stub_module().body if isinstance(node, ast.ClassDef)}


def stub_functions(name):
    return [node for node in stub_classes()[name].body if isinstance(node, ast.FunctionDef)]


def is_property(function):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def parameters(function):
    """The parameter list as the module's signature texts write it."""
    arguments = function.args
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + arguments.defaults
    texts = [
        arg.arg if default is None else f"{arg.arg}={ast.unparse(default)}"
        for arg, default in zip(arguments.args, defaults)
    ]
    if arguments.vararg is not None:
        texts.append(f"*{arguments.vararg.arg}")
    return "(" + ", ".join(texts) + ")"


def test_stub_lists_the_module_classes_in_order():
    module = stub_module()
    assert stub_all(module) == korvale.__all__
    assert list(stub_classes()) == korvale.__all__


@pytest.mark.parametrize("name", korvale.__all__)
def test_stub_class_has_the_public_methods_in_table_order(name):
    public = [f.name for f in stub_functions(name) if not f.name.startswith("_")]
    assert public == [member for member in vars(getattr(korvale, name)) if not member.startswith("_")]


@pytest.mark.parametrize("name", korvale.__all__)
def test_stub_methods_take_the_module_parameters(name):
    cls = getattr(korvale, name)
    for function in stub_functions(name):
        member = vars(cls).get(function.name)
        if function.name == "__init__":
            # The class carries its constructor's signature, without self.
            assert parameters(function) == "(self, " + cls.__text_signature__[1:]
        elif is_property(function):
            assert isinstance(member, property) and member.fset is None, function.name
        elif not function.name.startswith("_"):
            # Read through __func__: PyPy gives a method read from the class no
            # signature of its own.
            assert parameters(function) == member.__func__.__text_signature__, function.name
        else:
            assert hasattr(cls, function.name), function.name


@pytest.mark.parametrize("name", korvale.__all__)
def test_stub_marks_unhashable_classes(name):
    declared = [
        node.target.id
        for node in stub_classes()[name].body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    ]
    assert ("__hash__" in declared) == (getattr(korvale, name).__hash__ is None)
