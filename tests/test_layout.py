"""The package's modules import one another without a cycle: every import
counts, those inside functions and those only for type checking too."""

import ast
import pathlib

import tarsel

PACKAGE = pathlib.Path(tarsel.__file__).parent
MODULES = {path.stem for path in PACKAGE.glob("*.py")}


def imported(path: pathlib.Path) -> set[str]:
    """The package modules that ``path`` imports, wherever the import is."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module == "tarsel":
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("tarsel."):
            found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found.update(a.name.split(".")[1] for a in node.names if a.name.startswith("tarsel."))
    return (found & MODULES) - {path.stem}


def test_no_module_imports_itself_through_others():
    graph = {path.stem: imported(path) for path in PACKAGE.glob("*.py")}
    assert {"_model", "recommender", "_container", "report", "_live"} <= graph.keys()
    done: set[str] = set()

    def visit(name: str, path: list[str]) -> None:
        if name in path:
            raise AssertionError("import cycle: " + " -> ".join(path[path.index(name) :] + [name]))
        if name not in done:
            for other in sorted(graph[name]):
                visit(other, path + [name])
            done.add(name)

    for name in sorted(graph):
        visit(name, [])
