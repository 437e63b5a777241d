"""The type stub describes the module as it is, and pip installs it where editors and type
checkers look for it."""

import ast
import inspect
import pathlib

import pytest

import _csv_quorle_backend as q

SOURCE_STUB = pathlib.Path(__file__).resolve().parents[2] / "backend" / "_csv_quorle_backend.pyi"


def stub_functions(path):
    found = {}
    for node in ast.parse(path.read_text()).body:
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


def test_stub_matches_the_signatures():
    found = stub_functions(SOURCE_STUB)
    for name in ("quorle_file", "sniff", "open"):
        assert stub_parameters(found[name]) == runtime_parameters(getattr(q, name)), name
    assert stub_parameters(found["QuorleReader.__new__"], drop_first=True) == runtime_parameters(
        q.QuorleReader
    )
    exit_parameters = runtime_parameters(q.QuorleReader.__exit__)[1:]
    assert stub_parameters(found["QuorleReader.__exit__"], drop_first=True) == exit_parameters
    assert ast.get_docstring(ast.parse(SOURCE_STUB.read_text())) == q.__doc__


def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    here = pathlib.Path(q.__file__).parent
    if here.name not in ("site-packages", "dist-packages"):
        pytest.skip("the module was not installed by pip here")
    for path in (here / "_csv_quorle_backend.pyi", here / "_csv_quorle_backend-stubs" / "__init__.pyi"):
        assert path.read_text() == SOURCE_STUB.read_text(), path
