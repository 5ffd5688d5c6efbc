"""The reference site: Sphinx with autodoc over the built modules.

Build it with warnings as errors (see the README's Development section):

    python -m sphinx -W --keep-going -b html docs build/docs

The modules are imported, not read: install the package (`pip install
'.[docs]'`) or put a development build first on the path (`PYTHONPATH=src`).
Every public class, function and method must carry a docstring; one that has
none, or an empty one, is a warning and so fails the build.
"""
import importlib
import inspect
import logging
import re
import sys
from pathlib import Path

import tavrin.datastructures as package

HERE = Path(__file__).resolve().parent
MODULES = ("memberbag", "pathtable", "logic", "rankmap", "wispseq", "branchlet", "typegetter")
# Dunder names that are part of the documented interface.
DOCUMENTED_SPECIAL = {("pathtable", "PathTable", "__flatten__")}

project = "tavrin.datastructures"
author = "the tavrin.datastructures developers"
copyright = "the tavrin.datastructures developers"
version = release = package.__version__

extensions = ["sphinx.ext.autodoc", "myst_parser"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = []
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
# The class docstring, then the constructor's (its arguments).
autoclass_content = "both"
# A docstring shown is the object's own, never one inherited from a base.
autodoc_inherit_docstrings = False
# The docstrings mark code with single backquotes, as help() shows them.
default_role = "literal"
smartquotes = False

html_theme = "alabaster"
html_title = f"tavrin.datastructures {release}"
html_static_path = []

# Objects that carry no docstring of their own, on purpose: each keeps the
# exact shape of the class or module it stands for. The reference shows this
# text for them instead (only while their own docstring stays empty).
SUPPLIED = {
    "tavrin.datastructures.memberbag.NestedMemberBag": """
A `MemberBag` whose keys may be dotted paths through nested levels:
`bag['db.port']` is `bag['db']['port']`, and `bag.db.port` reads the same entry.

Nested mappings given to the constructor, to `update()` or by item assignment
become levels of the bag's own class. Writing a path makes the missing levels
on the way (`bag['cache.ttl'] = 60` makes the level `cache`); `update()`
merges a nested mapping into the level already there instead of replacing it.
Reading, testing (`in`), deleting, `get()`, `pop()` and `setdefault()` take
paths too.

A missing key raises `KeyError` with the first missing part of the path.
Writing a path through a value that is not a level raises
`KeyError('target key "db" is a value, cannot update value against another NestedMemberBag')`
and changes nothing. A structure nested deeper than the recursion limit, or
one that contains itself, raises `RecursionError`.
""",
    "tavrin.datastructures.pathtable.IndexMarker": """
A position in a list or tuple, as it appears in a path: `IndexMarker(seq, 2)`
stands for `seq[2]`.

It keeps the sequence's exact type as `type_` (so that `reconstruct()` builds
a list, a tuple or a named tuple again) and the position as `index`, an int;
it does not keep the sequence itself. Its repr is `list[2]`, `tuple[0]` and so
on. Markers compare by identity, like plain objects: to test a path
component, use `isinstance(part, IndexMarker)` and read `part.index`.
""",
    "tavrin.datastructures.branchlet": """
A tree that prints itself: `Branchlet` is a named node with a list of
children, and `str()` draws the node and all its descendants the way the
`tree` command draws a directory hierarchy.
""",
    "tavrin.datastructures.typegetter": """
A read-only attribute computed from the class it is read through:
`typegetter` (another name of `TypeGetterDescriptor`) decorates a function in
a class body, and every read of the attribute, through the class, a subclass
or an instance, calls the function with that class.
""",
}

# docs/architecture.md, the developers' notes, is written apart from the
# reference: it joins the site when it exists, and what Sphinx says about it
# is printed as notes, never as warnings that would fail the build.
ARCHITECTURE = "architecture"
HAS_ARCHITECTURE = (HERE / f"{ARCHITECTURE}.md").is_file()


def _benchmarks_page(app, docname, source):
    """The benchmarks page is the benchmark report itself, with its links and
    images made relative to this folder."""
    if docname != "benchmarks":
        return
    report = (HERE.parent / "benchmarks" / "README.md").read_text(encoding="utf-8")
    source[0] = re.sub(r"(\]\()(?!https?:|#|/)([^)\s]+\))", r"\1../benchmarks/\2", report)


def _add_architecture(app, docname, source):
    if docname == root_doc and HAS_ARCHITECTURE:
        source[0] += f"\n```{{toctree}}\n:caption: For contributors\n:maxdepth: 1\n\n{ARCHITECTURE}\n```\n"


class _ArchitectureNotes(logging.Filter):
    """Turns warnings located in the architecture notes into plain notes."""

    def filter(self, record):
        location = getattr(record, "location", None)
        if isinstance(location, tuple):
            location = location[0]
        elif location is not None and not isinstance(location, str):
            location = getattr(location, "source", None)
        if isinstance(location, str) and Path(location.split(":")[0]).stem == ARCHITECTURE:
            print(f"{ARCHITECTURE}.md: note: {record.getMessage()}", file=sys.stderr)
            return False
        return True


def _public_members(cls, modname):
    for name, raw in vars(cls).items():
        if name.startswith("_") and (modname, cls.__name__, name) not in DOCUMENTED_SPECIAL:
            continue
        if isinstance(raw, (staticmethod, classmethod)):
            raw = raw.__func__
        if callable(raw) or inspect.isdatadescriptor(raw) or inspect.ismethoddescriptor(raw):
            yield name, raw


def _public_objects():
    """(qualified name, object) of every module, and of every public class,
    function and method in them."""
    for mod in MODULES:
        modname = f"tavrin.datastructures.{mod}"
        module = importlib.import_module(modname)
        yield modname, module
        for name, obj in vars(module).items():
            if name.startswith("_") or getattr(obj, "__module__", None) != modname:
                continue
            if not (inspect.isclass(obj) or callable(obj)):
                continue
            yield f"{modname}.{name}", obj
            if inspect.isclass(obj) and obj.__name__ == name:
                for member, raw in _public_members(obj, mod):
                    yield f"{modname}.{name}.{member}", raw


def _check_docstrings(app):
    """Warn for every public object of the modules without a docstring."""
    for qualname, obj in _public_objects():
        if not (getattr(obj, "__doc__", None) or "").strip() and qualname not in SUPPLIED:
            _logger().warning("%s has no docstring", qualname, type="tavrin", subtype="docstring")


# Which objects the pages documented, by page, kept across incremental builds;
# the text of SUPPLIED goes in here too.
def _record_documented(app, what, name, obj, options, lines):
    if name in SUPPLIED and not (getattr(obj, "__doc__", None) or "").strip():
        lines[:0] = SUPPLIED[name].strip("\n").splitlines() + [""]
    if app.env.docname:
        app.env.tavrin_documented = getattr(app.env, "tavrin_documented", {})
        app.env.tavrin_documented.setdefault(app.env.docname, set()).add(name)


def _forget_page(app, env, docname):
    getattr(env, "tavrin_documented", {}).pop(docname, None)


def _check_all_documented(app, env):
    """Warn for every public object that no page documents."""
    documented = set().union(*getattr(env, "tavrin_documented", {}).values())
    for qualname, obj in _public_objects():
        # Another name of a class is documented as an alias of it.
        canonical = f"{getattr(obj, '__module__', '')}.{getattr(obj, '__qualname__', '')}"
        if qualname not in documented and canonical not in documented:
            _logger().warning("%s is on no page of the reference", qualname, type="tavrin", subtype="coverage")


def _logger():
    from sphinx.util import logging as sphinx_logging
    return sphinx_logging.getLogger("tavrin.docstrings")


def setup(app):
    from sphinx.util import logging as sphinx_logging
    for handler in logging.getLogger("sphinx").handlers:
        if isinstance(handler, sphinx_logging.WarningStreamHandler):
            handler.filters.insert(0, _ArchitectureNotes())
    app.connect("source-read", _add_architecture)
    app.connect("source-read", _benchmarks_page)
    app.connect("builder-inited", _check_docstrings)
    app.connect("autodoc-process-docstring", _record_documented)
    app.connect("env-purge-doc", _forget_page)
    app.connect("env-check-consistency", _check_all_documented)
