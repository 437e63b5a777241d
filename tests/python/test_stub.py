"""The type stub installed with the module describes the module as it is."""

import ast
import inspect
import pathlib

import pytest

import _csv_quorle_backend as q


def installed_stubs():
    here = pathlib.Path(q.__file__).parent
    return [here / "_csv_quorle_backend.pyi", here / "_csv_quorle_backend-stubs" / "__init__.pyi"]


def stub_functions(path):
    tree = ast.parse(path.read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
    return found


def stub_parameters(node, drop_first=False):
    args = node.args.args[1:] if drop_first else node.args.args
    defaults = [None] * (len(args) - len(node.args.defaults)) + list(node.args.defaults)
    return [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(args, defaults)]


def runtime_parameters(obj):
    return [
        (p.name, None if p.default is inspect.Parameter.empty else p.default)
        for p in inspect.signature(obj).parameters.values()
    ]


@pytest.mark.parametrize("path", installed_stubs(), ids=["beside-module", "stub-package"])
def test_stub_is_installed_and_matches_the_signatures(path):
    assert path.is_file()
    found = stub_functions(path)
    for name in ("quorle_file", "sniff", "open"):
        assert stub_parameters(found[name]) == runtime_parameters(getattr(q, name)), name
    assert stub_parameters(found["QuorleReader.__new__"], drop_first=True) == runtime_parameters(
        q.QuorleReader
    )
    assert stub_parameters(found["QuorleReader.__exit__"], drop_first=True) == runtime_parameters(
        q.QuorleReader.__exit__
    )[1:]
    tree = ast.parse(path.read_text())
    assert ast.get_docstring(tree) == q.__doc__
