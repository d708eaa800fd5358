"""The source tree's layers: cores never reach up into Python or the bindings."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Each layer and the folders it may include from (besides itself).
ALLOWED = {
    "core": set(),
    "soil": {"core"},
    "solver": {"core", "soil"},
    "engine": {"core", "soil"},
    "driver": {"core", "soil", "solver"},
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def _includes(layer):
    for path in sorted((SRC / layer).glob("*.[ch]pp")):
        for bracket, name in INCLUDE.findall(path.read_text()):
            yield path, bracket, name


@pytest.mark.parametrize("layer", sorted(ALLOWED))
def test_cores_include_only_lower_layers(layer):
    bad = []
    for path, bracket, name in _includes(layer):
        if name.startswith(("Python", "pybind11")):
            bad.append(f"{path.name}: {name}")
        elif bracket == '"':
            target = (path.parent / name).resolve()
            folder = target.parent.name
            if folder != layer and folder not in ALLOWED[layer]:
                bad.append(f"{path.name}: {name}")
    assert not bad, f"src/{layer} reaches up: {bad}"
