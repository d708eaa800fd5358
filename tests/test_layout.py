"""The source tree's layers: cores never reach up into Python or the bindings."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Each core layer (a folder of src, its subfolders included) and the layers
# it may include from (besides itself).
ALLOWED = {
    "core": set(),
    "soil": {"core"},
    "solver": {"core", "soil"},
    "engine": {"core", "soil"},
    "driver": {"core", "soil", "solver"},
}
# The bindings to Python (the exact module's, the engine's): they may include
# anything.
BINDINGS = {"module", "bindings"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def _layer(path):
    return path.relative_to(SRC).parts[0]


def _sources(root):
    return sorted(p for p in root.rglob("*") if p.suffix in (".cpp", ".hpp"))


@pytest.mark.parametrize("layer", sorted(ALLOWED))
def test_cores_include_only_lower_layers(layer):
    sources = _sources(SRC / layer)
    assert sources, f"src/{layer} has no sources"
    bad = []
    for path in sources:
        where = path.relative_to(SRC)
        for bracket, name in INCLUDE.findall(path.read_text()):
            if name.startswith(("Python", "pybind11")):
                bad.append(f"{where}: {name}")
            elif bracket == '"':
                target = (path.parent / name).resolve()
                if SRC not in target.parents:
                    bad.append(f"{where}: {name}")
                    continue
                folder = _layer(target)
                if folder != layer and folder not in ALLOWED[layer]:
                    bad.append(f"{where}: {name}")
    assert not bad, f"src/{layer} reaches up: {bad}"


def test_every_source_is_in_a_known_layer():
    unknown = sorted({_layer(p) for p in _sources(SRC)} - set(ALLOWED) - BINDINGS)
    assert not unknown, f"C++ folders of src that are neither a core layer nor a binding: {unknown}"
