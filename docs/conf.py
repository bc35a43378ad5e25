"""Sphinx configuration of the tarsel site (``make docs``)."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "tarsel"
author = "the tarsel developers"
copyright = "the tarsel developers"
extensions = ["sphinx.ext.autodoc", "numpydoc", "myst_parser", "tarsel_docs"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = "tarsel"
html_static_path = ["_static"]
html_css_files = ["tarsel.css"]
myst_heading_anchors = 3

# The API pages document the installed package; the optional extras' modules
# import their dependencies at the top, which a docs build need not install.
autodoc_mock_imports = ["starlette", "uvicorn", "prometheus_client", "dask", "distributed"]
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": False}
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
