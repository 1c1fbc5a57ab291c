"""The add-ons' public names are what their __all__ says: every name a module defines or
re-exports without a leading underscore is listed, and every listed name exists."""

import ast
import importlib
from pathlib import Path

import pytest


def defined(module):
    """Names a module's source binds at top level (definitions, assignments and imports
    from the package itself), without a leading underscore."""
    tree = ast.parse(Path(module.__file__).read_text())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, (ast.Assign, ast.AnnAssign)):
            for target in node.targets if isinstance(node, ast.Assign) else [node.target]:
                for name in target.elts if isinstance(target, ast.Tuple) else [target]:
                    if isinstance(name, ast.Name):
                        names.add(name.id)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith(
                module.__name__ + "."):
            names.update(alias.asname or alias.name for alias in node.names)
    return {name for name in names if not name.startswith("_")}


@pytest.mark.parametrize("name", ["velmora.lobster", "velmora.plot", "velmora.frames",
                                  "velmora.flows", "velmora.dbn"])
def test_public_names_are_all_listed(name):
    module = importlib.import_module(name)
    assert sorted(defined(module)) == sorted(module.__all__)
    assert all(hasattr(module, listed) for listed in module.__all__)
