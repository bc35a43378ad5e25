"""The documentation's sources, as a code host shows them without a site build."""

import pathlib
import re

DOCS = pathlib.Path(__file__).resolve().parents[1] / "docs"


def test_blocks_the_site_build_fills_in_say_so_in_the_source():
    blocks = [
        (page.name, name, body)
        for page in sorted(DOCS.glob("*.md"))
        for name, body in re.findall(
            r"^```\{(tarsel-[\w-]+)\}[^\n]*\n(.*?)^```", page.read_text(), re.M | re.S
        )
    ]
    assert {name for _, name, _ in blocks} == {"tarsel-quickstart", "tarsel-fit-figures"}
    for page, name, body in blocks:
        assert "make docs" in body, f"{page}: the {name} block reads empty as source"
