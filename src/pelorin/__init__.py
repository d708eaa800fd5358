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

Over a site: `site` runs every point of interest (a `Line`, a `Grid`, a list)
under loads of finite size (`pelorin.loads`: rectangles, circles, strips,
embankments, polygons) on the profile of its nearest `Borehole`.

Vertical drains: `Profile(..., drains=Drains(...))` adds radial flow into
prefabricated drains (smear, well resistance, partial penetration, an
installation time, a vacuum); `design_drains` runs the analysis at several
spacings on Dask and finds the widest that reaches a degree of consolidation by a
date; `design_spacing` the closed-form spacing for one in a linear soil.
"""
import os as _os

# The version is written once, in the VERSION file beside this one (meson.build reads it
# too, for the package metadata).
with open(_os.path.join(_os.path.dirname(__file__), "VERSION"), encoding="ascii") as _f:
    __version__ = _f.read().strip()
del _f

from . import loads, plots  # noqa: E402
from ._batches import EMBEDDED_CLUSTER_CONFIG  # noqa: E402
from ._calibrate import CalibrationError, Fit, IdentifiabilityWarning, Prediction, calibrate  # noqa: E402,E501
from ._distributions import LogNormal, Normal, Uniform  # noqa: E402
from ._graphical import AsaokaFit, HyperbolicFit, asaoka, hyperbolic  # noqa: E402
from ._run import run, run_elements  # noqa: E402
from ._simulate import simulate  # noqa: E402
from ._site import Borehole, Grid, Line, SiteResult, site  # noqa: E402
from ._sweep import SweepResult, sweep  # noqa: E402
from ._timegrid import time_grid  # noqa: E402
from .casefile import read_case  # noqa: E402
from ._drain_design import DrainDesign, design_drains  # noqa: E402
from .drains import Drains, design_spacing  # noqa: E402
from .errors import CaseError, ConvergenceError, ParameterError  # noqa: E402
from .model import Layer, Loading, Profile, Soil, Stage  # noqa: E402
from .observations import Observations, Series  # noqa: E402
from .result import Result, open_result  # noqa: E402

__all__ = [
    # the engine itself
    "run", "run_elements", "ConvergenceError",
    # the analysis layer: object model, simulate, results, case files, figures
    "Soil", "Layer", "Profile", "Stage", "Loading", "ParameterError", "simulate", "time_grid",
    "Result", "open_result", "read_case", "CaseError", "plots",
    # many runs: uncertainty and many boreholes on Dask
    "sweep", "SweepResult", "Normal", "LogNormal", "Uniform", "EMBEDDED_CLUSTER_CONFIG",
    # monitoring: readings, graphical methods, back-analysis and prediction
    "Observations", "Series", "asaoka", "AsaokaFit", "hyperbolic", "HyperbolicFit",
    "calibrate", "Fit", "Prediction", "IdentifiabilityWarning", "CalibrationError",
    # settlement over a site: footprints (pelorin.loads), boreholes, points of interest
    "loads", "site", "SiteResult", "Borehole", "Line", "Grid",
    # ground treatment: prefabricated vertical drains
    "Drains", "design_drains", "DrainDesign", "design_spacing",
]
