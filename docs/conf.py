"""Sphinx configuration: `make docs` builds docs/ into build/docs, warnings as errors, nitpicky."""

project = "velmora"
author = "the velmora developers"
extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
myst_heading_anchors = 3
html_theme = "furo"
html_title = "velmora"
nitpicky = True
# Signatures show no annotations: they would be cross-references to the standard library,
# which an offline build cannot resolve; each function's text says what it takes.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
exclude_patterns = ["_build"]
