"""pelorin: consolidation settlement of soft soils, from Python, by a sound C++ engine.

An analysis: a soil profile (`Soil`, `Layer`, `Profile`) under staged loads
(`Stage`, `Loading`) goes to `simulate`, which returns a `Result`: labelled
histories (xarray), settlement of the surface and of each layer, degree of
consolidation, t50/t90, end of primary, creep; NetCDF/CSV files, a summary
and figures (`pelorin.plots`).  `read_case` reads a TOML case file, the
`pelorin` command runs one.  Units: kPa, m, days, permeability in m/s.

    >>> import pelorin
    >>> clay = pelorin.Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-8, Ck=1.1)
    >>> profile = pelorin.Profile([pelorin.Layer(clay, 6.0, ocr=1.2)], surcharge=10.0)
    >>> result = pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=50.0)]))
    >>> print(result.summary())                            # doctest: +SKIP

The engine itself: `run` takes the keywords of `Pelorin.compute` and returns
an xarray Dataset; `run_elements` takes a column element by element;
`ConvergenceError` carries the partial results of a run that cannot go on.
"""
import os as _os

# The version is written once, in the VERSION file beside this one (meson.build reads it
# too, for the package metadata).
with open(_os.path.join(_os.path.dirname(__file__), "VERSION"), encoding="ascii") as _f:
    __version__ = _f.read().strip()
del _f

from ._run import ConvergenceError, run, run_elements  # noqa: E402

__all__ = ["run", "run_elements", "ConvergenceError"]

# --- the analysis layer: object model, simulate, results, case files ----------
# A soil profile (Soil, Layer, Profile) under staged loads (Stage, Loading):
# `simulate(profile, loading)` returns a `Result` (labelled histories, per-layer
# settlement, degree of consolidation, t50/t90, end of primary, creep), which
# writes NetCDF/CSV/summaries and figures (pelorin.plots); `read_case` reads a
# TOML case file, `open_result` a saved result.  The `pelorin` command runs
# case files (pelorin.cli).
from .model import Layer, Loading, ParameterError, Profile, Soil, Stage  # noqa: E402
from .simulate import simulate, time_grid  # noqa: E402
from .result import Result, open_result  # noqa: E402
from .casefile import CaseError, read_case  # noqa: E402

__all__ += ["Soil", "Layer", "Profile", "Stage", "Loading", "ParameterError", "simulate",
            "time_grid", "Result", "open_result", "read_case", "CaseError"]

# --- many runs: uncertainty and many boreholes on Dask --------------------------------
from .distributions import LogNormal, Normal, Uniform  # noqa: E402
from .sweep import SweepResult, sweep  # noqa: E402

__all__ += ["sweep", "SweepResult", "Normal", "LogNormal", "Uniform"]
