"""What a firm checks before adopting the package: the licence, one version everywhere,
the dependencies it declares."""
import os
import re
import subprocess
import sys
import tomllib

import pytest

import pelorin

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def test_licence_and_metadata():
    assert read("LICENSE").startswith("BSD 3-Clause License\n")
    project = tomllib.loads(read("pyproject.toml"))
    assert project["project"]["license"] == {"text": "BSD-3-Clause"}
    assert "pybind11" in project["build-system"]["requires"]
    assert project["project"]["optional-dependencies"]["dask"] == ["dask", "distributed"]
    assert not {"dask", "distributed"} & set(project["project"]["dependencies"])
    assert "license: BSD-3-Clause" in read("CITATION.cff")


def test_one_version_everywhere():
    v = pelorin.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+", v)
    # meson.build (and through it the wheel's metadata) reads the package's file
    assert "version : files('src/pelorin/VERSION')" in read("meson.build")
    assert project_version() == v
    assert f'version: "{v}"' in read("CITATION.cff")
    assert re.search(r"^## \[(.*?)\]", read("CHANGELOG.md"), re.M).group(1) == v
    from test_cli import pelorin as command
    proc = command("--version")
    assert (proc.returncode, proc.stdout) == (0, f"pelorin {v}\n")


def project_version():
    """The version the build gave the package: the meson build directory's, or the
    installed distribution's."""
    build = os.environ.get("PELORIN_BUILD_DIR")
    if build:
        import json
        info = subprocess.run(["meson", "introspect", "--projectinfo", build],
                              capture_output=True, text=True, check=True).stdout
        return json.loads(info)["version"]
    from importlib.metadata import metadata
    meta = metadata("pelorin")
    assert meta["License"] == "BSD-3-Clause"
    return meta["Version"]


# A child interpreter in which dask and distributed cannot be imported.
NO_DASK = """
import sys
sys.modules.update(dask=None, distributed=None)
sys.path.insert(0, sys.argv[1])
import conftest, pelorin
clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, name="clay")
profile = pelorin.Profile([pelorin.Layer(clay, 4.0, ocr=1.2, elements=8)], surcharge=10.0)
loading = pelorin.Loading([pelorin.Stage(0.0, load=50.0)], end=1000.0)
vary = {"clay.Cc": pelorin.Normal(0.5, cov=0.1)}
mc = pelorin.sweep(profile, loading, vary=vary, samples=3, scheduler="synchronous",
                   progress=False)
print(sorted(set(mc.dataset.status.values)))
try:
    pelorin.sweep(profile, loading, vary=vary, samples=3, progress=False)
except ImportError as err:
    print(err)
"""


def test_a_synchronous_sweep_needs_no_dask():
    from test_cli import TESTS
    proc = subprocess.run([sys.executable, "-c", NO_DASK, TESTS],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    ok, why = proc.stdout.splitlines()
    assert ok == "['ok']"
    assert "needs the packages dask and distributed" in why and "synchronous" in why


def check_cf(path):
    """A file of the command as other programs read it: ncdump, and xarray's decoding.
    Returns the decoded Dataset."""
    import numpy as np
    import xarray as xr
    header = subprocess.run(["ncdump", "-h", str(path)], capture_output=True, text=True,
                            check=True).stdout
    assert ':Conventions = "CF-1.8" ;' in header
    assert f':pelorin_version = "{pelorin.__version__}" ;' in header
    assert 'time:units = "days" ;' in header and 'time:standard_name = "time" ;' in header
    with xr.open_dataset(path) as ds:
        assert np.issubdtype(ds["time"].dtype, np.timedelta64)     # decoded as durations
        assert ds["time"].values[-1] > np.timedelta64(1, "D")
        for name, var in ds.variables.items():
            assert re.fullmatch(r"[A-Za-z][A-Za-z0-9_]*", str(name)), name
            assert var.attrs.get("long_name"), name
            if var.dtype.kind in "fiu" or name == "time":
                assert "units" in var.encoding or "units" in var.attrs, name
        return ds.load()
