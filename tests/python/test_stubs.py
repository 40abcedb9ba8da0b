"""The type stub _core.pyi describes exactly the surface of the native module."""

import ast
import inspect
from pathlib import Path

import pytest

import tarnivel
from tarnivel import _core

STUB = Path(tarnivel.__file__).with_name("_core.pyi")


def _stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def _public(name):
    return not name.startswith("_")


def _stub_parameters(node, drop_first):
    args = node.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None, (
        f"{node.name}: the native methods take positional-or-keyword parameters only"
    )
    names = [a.arg for a in args.args]
    defaults = [ast.literal_eval(d) for d in args.defaults]
    defaults = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
    return list(zip(names, defaults))[1 if drop_first else 0:]


def _runtime_parameters(obj):
    parameters = inspect.signature(obj).parameters.values()
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters), obj
    return [(p.name, p.default) for p in parameters]


def _same(stub_pairs, runtime_pairs):
    # Compare defaults with their types, so that True does not pass for 1 nor 1 for 1.0.
    typed = lambda pairs: [(n, type(d).__name__, d) for n, d in pairs]  # noqa: E731
    return typed(stub_pairs) == typed(runtime_pairs)


def _stub_classes():
    return {n.name: n for n in _stub_tree().body if isinstance(n, ast.ClassDef)}


def test_stub_is_installed_and_names_and_functions_match():
    assert STUB.is_file() and STUB.with_name("py.typed").is_file()
    tree = _stub_tree()
    stub_names = {n.name for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef)) and _public(n.name)}
    assert stub_names == {n for n in dir(_core) if _public(n)}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and _public(node.name):
            stub = _stub_parameters(node, drop_first=False)
            runtime = _runtime_parameters(getattr(_core, node.name))
            assert _same(stub, runtime), (node.name, stub, runtime)


@pytest.mark.parametrize("class_name", sorted(_stub_classes()))
def test_class_members_match(class_name):
    node = _stub_classes()[class_name]
    cls = getattr(_core, class_name)
    setter = lambda m: any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in m.decorator_list)  # noqa: E731
    stub_members = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef) and not setter(m)}
    writable = {m.name for m in node.body if isinstance(m, ast.FunctionDef) and setter(m)}

    # Every public member of the runtime class is in the stub and vice versa; kv[key] works at run
    # time, so type checkers must know about it too.
    assert {n for n in stub_members if _public(n)} == {n for n in vars(cls) if _public(n)}
    if hasattr(cls, "__getitem__"):
        assert "__getitem__" in stub_members

    for name, member in stub_members.items():
        decorators = {d.id for d in member.decorator_list if isinstance(d, ast.Name)}
        if name == "__init__":
            # The constructor's signature is the class's text signature.
            stub = _stub_parameters(member, drop_first=True)
            assert _same(stub, _runtime_parameters(cls)), (class_name, stub)
            continue
        assert hasattr(cls, name), f"{class_name}.{name} is missing at run time"
        raw = inspect.getattr_static(cls, name)
        if "property" in decorators:
            assert inspect.isdatadescriptor(raw) and not callable(raw), f"{class_name}.{name} is not a property"
            if name not in writable:
                with pytest.raises(AttributeError):
                    setattr(cls(), name, None)  # read-only
            continue
        if name.startswith("__"):
            continue  # slot wrappers such as __getitem__ carry no keyword signature
        if "classmethod" in decorators:
            assert type(raw).__name__ in ("classmethod", "classmethod_descriptor"), (name, type(raw))
            stub = _stub_parameters(member, drop_first=True)
            runtime = _runtime_parameters(getattr(cls, name))  # bound: cls is not listed
        elif "staticmethod" in decorators:
            assert isinstance(raw, staticmethod), (name, type(raw))
            stub = _stub_parameters(member, drop_first=False)
            runtime = _runtime_parameters(getattr(cls, name))
        else:
            assert callable(raw) and not isinstance(raw, (staticmethod, classmethod)), name
            stub = _stub_parameters(member, drop_first=True)
            runtime = _runtime_parameters(getattr(cls(), name))  # bound: self is not listed
        assert _same(stub, runtime), (f"{class_name}.{name}", stub, runtime)
