"""Sphinx directives that run tarsel while the site is built, so the pages show
what this version does rather than what it did when they were written.

``tarsel-quickstart`` runs the README's quick start in a scratch folder and
shows the code with its output; ``tarsel-fit-figures`` draws the gates of the
model that the quick start fitted, with the model report's charts. A quick start
that fails fails the build.

Both take a body that the built page does not show: a sentence for whoever
reads the page as source (on a code host), saying where the block's content
comes from. A directive without one fails the build.
"""

from __future__ import annotations

import contextlib
import io
import os
import pathlib
import re
import tempfile
import traceback
import warnings
from typing import Any

from docutils import nodes
from sphinx.errors import ExtensionError
from sphinx.util.docutils import SphinxDirective

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
_run: dict[str, Any] = {}


def quick_start_code() -> str:
    """The first Python block under the README's "Quick start" heading."""
    text = README.read_text(encoding="utf-8")
    found = re.search(r"^## Quick start\s*$.*?^```python\n(.*?)^```", text, re.M | re.S)
    if found is None:
        raise ExtensionError(f"{README} has no ```python block under '## Quick start'")
    return found.group(1)


def run_quick_start() -> dict[str, Any]:
    """Run the quick start once per build; its namespace and printed output."""
    if not _run:
        code = quick_start_code()
        namespace: dict[str, Any] = {"__name__": "__quickstart__"}
        out = io.StringIO()
        here = os.getcwd()
        with tempfile.TemporaryDirectory(prefix="tarsel-docs-") as scratch:
            os.chdir(scratch)
            try:
                # warnings go to the page with the output, as a user would see them
                with contextlib.redirect_stdout(out), warnings.catch_warnings(record=True) as seen:
                    warnings.simplefilter("always")
                    exec(compile(code, str(README) + ":quick start", "exec"), namespace)
                for warning in seen:
                    out.write(f"{warning.category.__name__}: {warning.message}\n")
            except Exception as exc:
                raise ExtensionError(
                    "the README's quick start failed:\n" + traceback.format_exc()
                ) from exc
            finally:
                os.chdir(here)
        _run.update(code=code, output=out.getvalue(), namespace=namespace)
    return _run


class _Generated(SphinxDirective):
    """A block generated while the site is built, with a body for readers of
    the source."""

    has_content = True

    def check_body(self) -> None:
        if not "".join(self.content).strip():
            raise self.error(
                f"{self.name}: give the block a body that tells readers of the "
                "source where its content comes from"
            )


class QuickStart(_Generated):
    def run(self) -> list[nodes.Node]:
        self.check_body()
        ran = run_quick_start()
        code = nodes.literal_block(ran["code"], ran["code"], language="python")
        output = nodes.literal_block(ran["output"], ran["output"], language="text")
        caption = nodes.paragraph(text="It printed, when this page was built:")
        return [code, caption, output]


class FitFigures(_Generated):
    """The gate figures and what was kept, for the quick start's model."""

    def run(self) -> list[nodes.Node]:
        from tarsel import report

        self.check_body()
        model = run_quick_start()["namespace"].get("model")
        if model is None:
            raise self.error("the quick start defines no `model`")
        page = report.render_sections(model, ["gates", "kept", "repeat"])
        return [nodes.raw("", f'<div class="tarsel-report">{page}</div>', format="html")]


class OptionalApi(SphinxDirective):
    """API sections for the modules named as arguments that this version has."""

    required_arguments = 1
    final_argument_whitespace = True

    def run(self) -> list[nodes.Node]:
        import importlib.util

        from docutils.statemachine import StringList
        from sphinx.util.nodes import nested_parse_with_titles

        lines: list[str] = []
        for name in self.arguments[0].split():
            if importlib.util.find_spec(name) is not None:
                lines += [name, "-" * len(name), "", f".. automodule:: {name}", "   :members:", ""]
        holder = nodes.section()
        holder.document = self.state.document
        nested_parse_with_titles(
            self.state, StringList(lines, source=self.get_source_info()[0]), holder
        )
        return holder.children


# pages written elsewhere that join the index's contents when they exist
OPTIONAL_PAGES = ("scaling",)


def add_optional_pages(app, docname: str, source: list[str]) -> None:
    if docname != "index":
        return
    present = [p for p in OPTIONAL_PAGES if (pathlib.Path(app.srcdir) / f"{p}.md").exists()]
    source[0] = source[0].replace("<!-- optional pages -->", "\n".join(present))


def setup(app) -> dict[str, Any]:
    app.connect("source-read", add_optional_pages)
    app.add_directive("tarsel-quickstart", QuickStart)
    app.add_directive("tarsel-fit-figures", FitFigures)
    app.add_directive("tarsel-api-optional", OptionalApi)
    return {"parallel_read_safe": False, "parallel_write_safe": True}
