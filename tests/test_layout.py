"""The driver's folders import downwards only: read from the package's own
import statements (those inside functions too), each folder imports
itself, the folders of the rows below its own, and the two generated
modules at the top, nothing else. LAYERS is the one statement of the
order; docs/layout.md shows the tree."""
import ast
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = "orvane_sim"

# Bottom to top. Folders of one row do not import each other.
LAYERS = [
    ("grid",),
    ("materials",),
    ("geometry",),
    ("plotting",),
    ("core",),
    ("monitors", "distributed"),
    ("sources",),
    ("circuits", "reference"),
    ("design", "gdsfactory"),
    ("demos",),
]
RANK = {folder: rank for rank, row in enumerate(LAYERS) for folder in row}
# Modules at the top that every folder may import: the version and the
# build record, which setup.py writes there.
SHARED = {"_version", "_build_info"}
# Nothing else lives at the top: the package's names, the command line,
# those two, and the table of the old module paths.
TOP = {"__init__", "__main__", "_moved"} | SHARED


def imported(path: pathlib.Path, source: str):
    """(line, full name) of every module of the package that ``source`` (the
    module at ``path``, relative to the repository) imports; a name imported
    from the package itself counts as importing the package."""
    parts = list(path.with_suffix("").parts)
    package = parts if parts[-1] == "__init__" else parts[:-1]
    package = [p for p in package if p != "__init__"]
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.split(".")[0] == PACKAGE:
                    yield node.lineno, alias.name
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = package[:len(package) - node.level + 1]
                module = ".".join(base + ([node.module] if node.module else []))
            else:
                module = node.module or ""
            if module.split(".")[0] != PACKAGE:
                continue
            if module == PACKAGE:  # from .. import grid: the folder; from .. import X: the top
                for alias in node.names:
                    folder = alias.name in RANK or alias.name in SHARED
                    yield node.lineno, f"{PACKAGE}.{alias.name}" if folder else PACKAGE
            else:
                yield node.lineno, module


def upward(path: pathlib.Path, source: str) -> list[str]:
    """The imports of a module in a folder that break the order."""
    folder = path.parts[1]
    wrong = []
    for line, name in imported(path, source):
        target = name.split(".")[1] if "." in name else None
        if target == folder or target in SHARED:
            continue
        if target in RANK and RANK[target] < RANK[folder]:
            continue
        wrong.append(f"{path}:{line} imports {name}")
    return wrong


def folder_modules():
    for path in sorted((ROOT / PACKAGE).glob("*/**/*.py")):
        yield path.relative_to(ROOT)


def test_no_folder_imports_its_own_row_or_one_above():
    wrong = [w for path in folder_modules() for w in upward(path, (ROOT / path).read_text())]
    assert not wrong
    assert len(list(folder_modules())) > 40


def test_the_check_sees_an_import_upward_wherever_it_is_written():
    grid = pathlib.Path(PACKAGE, "grid", "positions.py")
    cases = [
        ("from ..materials.poles import Dielectric", 1),         # a folder above
        ("def f():\n    from ..core import Simulation", 1),       # inside a function
        ("from .. import Simulation", 1),                         # the package's top
        ("import orvane_sim.sources.waveforms", 1),               # absolute
        ("from .arguments import count\nfrom .._version import __version__", 0),
    ]
    for source, found in cases:
        assert len(upward(grid, source)) == found, source
    # one row: monitors and distributed stand side by side
    monitors = pathlib.Path(PACKAGE, "monitors", "flux.py")
    assert upward(monitors, "from ..distributed.slabs import slab_bounds")
    assert not upward(monitors, "from ..core.simulation import Simulation")


def test_every_folder_has_a_row_and_says_what_it_holds_and_may_import():
    folders = {p.name for p in (ROOT / PACKAGE).iterdir()
               if p.is_dir() and not p.name.startswith(("_", "."))}
    assert folders == set(RANK)
    for folder in folders:
        doc = ast.get_docstring(ast.parse((ROOT / PACKAGE / folder / "__init__.py").read_text()))
        assert doc and "import" in doc.lower(), folder


def test_the_top_holds_only_the_package_its_command_line_and_shared_records():
    top = {p.stem for p in (ROOT / PACKAGE).glob("*.py")}
    assert top <= TOP
