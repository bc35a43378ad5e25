"""Writes the engine record's fields into the stubs of the native module.

The record's field table (``engine_fields()`` of ``tarsel._core``) names the
entries of ``build_engine``'s ``arrays`` and ``config``; the stubs declare them
as two TypedDicts between the marker lines, rewritten by running this script
after a field is added: ``python tools/engine_stub.py``. A test checks that
the stubs agree with the installed module.
"""

from __future__ import annotations

import pathlib
import re

STUB = pathlib.Path(__file__).parents[1] / "python" / "tarsel" / "_core.pyi"
BEGIN = "# --- engine record fields: written by tools/engine_stub.py from engine_fields() ---\n"
END = "# --- end of engine record fields ---\n"

_SETTING = {"uint64": "int", "float64": "float", "bool": "bool"}


def render(fields: list[tuple[str, str, str]]) -> str:
    """The TypedDicts of the ``arrays`` and ``config`` entries."""
    arrays, config = [], []
    for name, kind, dtype in fields:
        if kind == "setting":
            config.append(f"    {name}: {_SETTING[dtype]}")
        elif kind == "array":
            arrays.append(f"    {name}: npt.NDArray[np.{dtype}]")
        else:  # boost layers: CSR triples
            csr = f"npt.NDArray[np.{dtype}], npt.NDArray[np.int32], npt.NDArray[np.int32]"
            arrays.append(f"    {name}: list[tuple[{csr}]]")
    return (
        "class EngineArrays(TypedDict, total=False):\n"
        + "".join(line + "\n" for line in arrays)
        + "\nclass EngineConfig(TypedDict, total=False):\n"
        + "".join(line + "\n" for line in config)
        + "\n"  # as ruff formats the stubs
    )


def stub_block(text: str) -> str:
    """The text between the marker lines of the stubs."""
    found = re.search(re.escape(BEGIN) + "(.*?)" + re.escape(END), text, re.S)
    assert found, f"the marker lines are missing from {STUB}"
    return found.group(1)


def main() -> None:
    from tarsel import _core

    text = STUB.read_text()
    old = BEGIN + stub_block(text) + END
    STUB.write_text(text.replace(old, BEGIN + render(_core.engine_fields()) + END))


if __name__ == "__main__":
    main()
