"""Case files: a whole analysis in TOML.

A case names its soils once, stacks layers of them from the top down, and
lists the load stages::

    title = "Embankment on soft clay"

    [profile]
    drainage = "both"          # "both", "top" or "bottom"
    surcharge = 10.0           # kPa, effective stress at the top before loading
    water_level = 0.0          # m above the top of the profile (default 0)
    base_head = 0.0            # m of water above hydrostatic in the aquifer below, at the
                               # start (drained base only; default 0)

    [soils.clay]
    Cc = 0.9                   # every parameter of pelorin.Soil, by name
    Cr = 0.09
    esigvref = 1.9
    kref = 1e-9                # m/s
    Ck = 1.1
    Ca = 0.027

    [soils.crust]              # or in the laboratory's terms (pelorin.Soil.from_lab)
    e0 = 1.4                   # void ratio at sigv0 (kPa)
    sigv0 = 20.0
    CR = 0.25                  # or Cc; RR or Cr; Cae or Ca
    RR = 0.025
    ocr = 2.0                  # or pc, of the sample (default 1)
    cv = 0.1                   # m2/day, with mv (1/kPa); or k (m/s) at e0
    mv = 1e-3
    gamma = 16.5               # kN/m3, bulk; or Gs

    [[layers]]                 # from the top down
    soil = "clay"
    thickness = 8.0            # m
    ocr = 1.2                  # or pc (kPa), e0, pop (kPa), or pc_top with pc_bottom
    elements = 40              # optional

    [[stages]]
    time = 0.0                 # days
    fill = 2.5                 # m placed (or: load = 50.0, kPa in total)
    unit_weight = 20.0         # kN/m3
    saturated_unit_weight = 21.0   # kN/m3 below the water (default unit_weight)
    submerged = true           # the fill's part below the water weighs gs - gammaw
    duration = 75.0            # days over which it is placed (default 0: at once)

    [[stages]]                 # a change of the groundwater, with or without a load
    time = 400.0
    base_head = -5.0           # m: the aquifer below drawn down 5 m (drained base only)
    water_level = 0.5          # m above the top of the profile
    duration = 3650.0

    [drains]                   # optional: prefabricated vertical drains (pelorin.Drains)
    spacing = 1.2              # m
    pattern = "triangular"     # or "square"
    width = 0.1                # m, a band drain (dw = 2 (width + thickness)/pi); or diameter
    thickness = 0.004
    smear_ratio = 2.0          # rs/rw
    smear_permeability_ratio = 2.0   # kh over the smear zone's ks
    discharge_capacity = 100.0 # qw, m3/year per drain (or "3 m^3/day"); optional
    depth = 12.0               # m, the drains' base (default: through the profile)
    open_ends = "top"          # or "both"
    installed = 0.0            # days
    vacuum = [[0.0, 0.0], [10.0, 70.0], [200.0, 70.0], [200.0, 0.0]]   # optional (days, kPa)

    [run]                      # all optional
    end = 10000.0              # days
    points_per_decade = 10
    times = [1.0, 10.0, 100.0] # instead of the default grid
    background = true          # companion run without the load (default: with creep)
    rtol = 1e-3                # the engine's tolerance and its limit on steps
    max_substeps = 1000000
    report_times = { "end of construction" = 400.0, "design life" = 36500.0 }   # days
    start = "2027-03-01"       # the calendar date of day 0: the results' times as dates

    [loading]                  # optional: the report's dates held with the stages instead
    dates = { "end of construction" = 400.0, "design life" = "100 years" }  # as report_times

    [sweep]                    # for `pelorin sweep`: uncertain parameters
    samples = 1000
    seed = 1
    correlation = [[1.0, -0.5], [-0.5, 1.0]]   # optional, in the order of the [[sweep.vary]]

    [[sweep.vary]]
    parameter = "clay.kref"    # "<layer>.<parameter>": layer by name or "layer 2"
    distribution = "lognormal" # with median and sigma_log10 (or cov)
    median = 1e-9
    sigma_log10 = 0.5

    [[sweep.vary]]
    parameter = "clay.Cc"
    distribution = "normal"    # with mean and sd (or cov); "uniform" with low and high
    mean = 0.9
    cov = 0.2

    [fit]                      # for `pelorin fit`: back-analysis of monitoring readings
    observations = "monitoring.csv"   # relative to the case file (pelorin.Observations)
    method = "least_squares"   # or "mcmc"
    samples = 200              # parameter sets drawn for the prediction band
    seed = 0
    end = 20000.0              # last day of the prediction (default: the [run] end)

    [[fit.vary]]
    parameter = "clay.kref"    # as in [[sweep.vary]]
    low = 1e-10                # the range searched
    high = 1e-8
    scale = "log"              # or "linear" (the default, but for kref)

Units: kPa, m, days, permeability in m/s.
"""
from __future__ import annotations

import dataclasses
import hashlib
import inspect
import os
import tomllib
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np

from . import loads as _loads
from ._calibrate import calibrate, parse_vary
from ._lab import LAB_KEYS, from_lab
from ._quantities import check_dates, check_start
from ._distributions import LogNormal, Normal, Uniform
from ._site import Borehole, Grid, Line, site
from ._simulate import simulate
from ._sweep import sweep
from .errors import CaseError, ParameterError
from .drains import Drains
from .model import Layer, Loading, Profile, Soil, Stage, field_names

__all__ = ["Case", "CaseError", "SweepSpec", "FitSpec", "SiteCase", "read_case", "parse_case",
           "parse_site_case"]


@dataclass(frozen=True)
class Case:
    """A case read from a file: what `pelorin.simulate` takes."""

    profile: Profile
    loading: Loading
    title: str = ""
    times: Optional[tuple[float, ...]] = None
    points_per_decade: int = 10
    background: Optional[bool] = None
    options: dict = field(default_factory=dict)
    sweep_spec: Optional["SweepSpec"] = None
    fit_spec: Optional["FitSpec"] = None
    report_times: Optional[dict] = None
    source: str = ""
    sha256: str = ""
    start_date: Optional[str] = None

    def simulate(self, **kwargs: Any):
        """Run the case (keywords as for `pelorin.simulate`); the result's
        Dataset names the case file and its SHA-256 when it was read from one."""
        kw: dict[str, Any] = dict(times=self.times, points_per_decade=self.points_per_decade,
                                  background=self.background, title=self.title,
                                  report_times=self.report_times)
        if self.start_date:
            kw["start_date"] = self.start_date
        kw.update(self.options)
        kw.update(kwargs)
        result = simulate(self.profile, self.loading, **kw)
        if self.sha256:
            result.dataset.attrs.update(case_file=os.path.basename(self.source),
                                        case_sha256=self.sha256)
        return result


    def sweep(self, **kwargs: Any):
        """Run the case's [sweep] (keywords as for `pelorin.sweep`, overriding the file's)."""
        if self.sweep_spec is None:
            raise CaseError("the case has no [sweep] section: add one with [[sweep.vary]] "
                            "tables naming the uncertain parameters")
        kw: dict[str, Any] = dict(vary=self.sweep_spec.vary, samples=self.sweep_spec.samples,
                                  seed=self.sweep_spec.seed,
                                  correlation=self.sweep_spec.correlation, times=self.times,
                                  points_per_decade=self.points_per_decade, title=self.title)
        kw.update(self.options)
        kw.update(kwargs)
        return sweep(self.profile, self.loading, **kw)


    def calibrate(self, **kwargs: Any):
        """Fit the case's [fit] parameters to its readings (keywords as for
        `pelorin.calibrate`, overriding the file's)."""
        if self.fit_spec is None:
            raise CaseError("the case has no [fit] section: add one naming the observations "
                            "file, with [[fit.vary]] tables naming the parameters")
        kw: dict[str, Any] = dict(method=self.fit_spec.method)
        kw.update(self.options)
        kw.update(kwargs)
        return calibrate(self.profile, self.loading, self.fit_spec.observations,
                         list(self.fit_spec.vary), **kw)


@dataclass(frozen=True)
class FitSpec:
    """The [fit] section of a case: the readings, the parameters and the prediction."""

    observations: str
    vary: tuple
    method: str = "least_squares"
    samples: int = 200
    seed: int = 0
    end: Optional[float] = None


@dataclass(frozen=True)
class SweepSpec:
    """The [sweep] section of a case: uncertain parameters and their sampling."""

    vary: dict
    samples: int = 100
    seed: int = 0
    correlation: Optional[tuple] = None


SECTIONS = {"title", "profile", "soils", "layers", "stages", "loading", "run", "sweep", "fit",
            "drains"}
FIT_KEYS = {"observations", "method", "samples", "seed", "end", "vary"}
SWEEP_KEYS = {"samples", "seed", "correlation", "vary"}
DISTRIBUTIONS = {"normal": ("mean", "sd", "cov"), "lognormal": ("median", "sigma_log10", "cov"),
                 "uniform": ("low", "high")}
RUN_KEYS = {"end", "points_per_decade", "times", "background", "rtol", "max_substeps",
            "report_times", "start"}


def _table(name: str, value: Any, where: str) -> dict:
    if not isinstance(value, dict):
        raise CaseError(f"{where}: {name} must be a table ([{name}]); got {type(value).__name__}")
    return value


def _unknown(where: str, table: dict, allowed) -> None:
    extra = sorted(set(table) - set(allowed))
    if extra:
        raise CaseError(f"{where}: unknown key {extra[0]!r}; expected one of "
                        f"{', '.join(sorted(allowed))}")


def _make(cls: type, where: str, table: dict, **extra: Any):
    """Build one of the model's values from a table, with the table's
    location in the error."""
    allowed = [n for n in field_names(cls) if n not in extra]
    _unknown(where, table, allowed)
    try:
        return cls(**table, **extra)
    except ParameterError as err:
        raise CaseError(f"{where}: {err.parameter} {err.problem}", parameter=err.parameter,
                        problem=err.problem) from None
    except TypeError as err:
        # A missing required key.
        missing = [f.name for f in dataclasses.fields(cls)
                   if f.default is dataclasses.MISSING and f.name not in table
                   and f.name not in extra]
        if missing:
            raise CaseError(f"{where}: missing key {missing[0]!r} "
                            f"(required: {', '.join(m for m in missing)})") from None
        raise CaseError(f"{where}: {err}") from None


def _from_lab(where: str, table: dict) -> Soil:
    """A soil table in the laboratory's terms (e0 at sigv0, CR, RR, ...)."""
    allowed = [p for p in inspect.signature(from_lab).parameters]
    _unknown(where, table, allowed)
    missing = [k for k in ("e0", "sigv0") if k not in table]
    if missing:
        raise CaseError(f"{where}: missing key {missing[0]!r} (a soil in lab terms needs e0 "
                        "at sigv0)")
    try:
        return from_lab(**table)
    except ParameterError as err:
        raise CaseError(f"{where}: {err.parameter} {err.problem}", parameter=err.parameter,
                        problem=err.problem) from None


def _soils(data: dict, source: str) -> dict:
    """The [soils.NAME] tables as Soils by name."""
    soils_table = _table("soils", data.get("soils", {}), source)
    if not soils_table:
        raise CaseError(f"{source}: no soils: define at least one, e.g. [soils.clay] with Cc, "
                        "Cr, esigvref, kref, Ck")
    soils = {}
    for name, table in soils_table.items():
        where = f"{source}: [soils.{name}]"
        table = dict(_table(f"soils.{name}", table, source))
        table.setdefault("name", name)
        if any(key in table for key in LAB_KEYS):
            soils[name] = _from_lab(where, table)
        else:
            soils[name] = _make(Soil, where, table)
    return soils


def _layers(layer_list: Any, soils: dict, source: str, key: str) -> list:
    """The layers of a `key` array of tables, from the top down."""
    if not isinstance(layer_list, list) or not layer_list:
        raise CaseError(f"{source}: no layers: add {key} tables from the top down, each "
                        "with soil, thickness and one of ocr, pc, e0")
    layers = []
    for i, table in enumerate(layer_list, start=1):
        where = f"{source}: {key} #{i}"
        table = dict(_table("layers", table, source))
        if "soil" not in table:
            raise CaseError(f"{where}: missing key 'soil' (the name of a [soils.NAME] table)")
        ref = table.pop("soil")
        if ref not in soils:
            raise CaseError(f"{where}: soil {ref!r} is not defined; defined: "
                            f"{', '.join(soils)}")
        layers.append(_make(Layer, where, table, soil=soils[ref]))
    return layers


def _engine_options(run: dict, source: str) -> dict:
    """The engine's options of a [run] table: rtol and max_substeps."""
    options: dict = {}
    if "rtol" in run:
        rtol = run["rtol"]
        if isinstance(rtol, bool) or not isinstance(rtol, (int, float)) or not 0 < rtol < 1:
            raise CaseError(f"{source}: [run] rtol must be a number between 0 and 1 (relative "
                            f"tolerance of the engine's steps); got {rtol!r}")
        options["rtol"] = float(rtol)
    if "max_substeps" in run:
        m = run["max_substeps"]
        if isinstance(m, bool) or not isinstance(m, int) or m < 1:
            raise CaseError(f"{source}: [run] max_substeps must be a whole number of at least 1 "
                            f"(the engine's limit on its steps); got {m!r}")
        options["max_substeps"] = m
    return options


def parse_case(data: dict, source: str = "case") -> Case:
    """Build a `Case` from the parsed TOML tables of a case file."""
    _unknown(source, data, SECTIONS)
    title = data.get("title", "")
    if not isinstance(title, str):
        raise CaseError(f"{source}: title must be text; got {title!r}")

    soils = _soils(data, source)
    layers = _layers(data.get("layers"), soils, source, "[[layers]]")

    prof = dict(_table("profile", data.get("profile", {}), source))
    drains = None
    if "drains" in data:
        drains = _make(Drains, f"{source}: [drains]",
                       dict(_table("drains", data["drains"], source)))
    profile = _make(Profile, f"{source}: [profile]", prof, layers=layers, drains=drains)

    stage_list = data.get("stages")
    if not isinstance(stage_list, list) or not stage_list:
        raise CaseError(f"{source}: no stages: add [[stages]] tables in time order, each with "
                        "time and load (kPa) or fill (m)")
    stages = [_make(Stage, f"{source}: [[stages]] #{i}", dict(_table("stages", t, source)))
              for i, t in enumerate(stage_list, start=1)]

    run = dict(_table("run", data.get("run", {}), source))
    _unknown(f"{source}: [run]", run, RUN_KEYS)
    end = run.pop("end", None)
    held = dict(_table("loading", data.get("loading", {}), source))
    _unknown(f"{source}: [loading]", held, {"dates"})
    try:
        loading = Loading(stages, end=end, dates=held.get("dates"))
    except ParameterError as err:
        key = (f"[[stages]] #{err.index + 1}: {err.key}" if err.index is not None
               else {"end": "[run] end", "dates": "[loading] dates"}.get(
                   err.parameter, f"[[stages]] {err.parameter}"))
        raise CaseError(f"{source}: {key} {err.problem}", parameter=err.parameter,
                        problem=err.problem) from None

    times = run.get("times")
    if times is not None:
        if not isinstance(times, list) or not times or not all(
                isinstance(t, (int, float)) and not isinstance(t, bool) for t in times):
            raise CaseError(f"{source}: [run] times must be a list of output times in days; "
                            f"got {times!r}")
        times = tuple(float(t) for t in times)
    ppd = run.get("points_per_decade", 10)
    if isinstance(ppd, bool) or not isinstance(ppd, int) or not 1 <= ppd <= 200:
        raise CaseError(f"{source}: [run] points_per_decade must be a whole number from 1 to "
                        f"200; got {ppd!r}")
    background = run.get("background")
    if background is not None and not isinstance(background, bool):
        raise CaseError(f"{source}: [run] background must be true or false; got {background!r}")
    options = _engine_options(run, source)
    report_times = None
    if "report_times" in run:
        try:
            report_times = check_dates(run["report_times"])
        except ParameterError as err:
            raise CaseError(f"{source}: [run] report_times {err.problem}",
                            parameter=err.parameter, problem=err.problem) from None
    try:   # a text "2027-03-01" or a TOML date 2027-03-01
        start = check_start(run.get("start"), "[run]", "start")
    except ParameterError as err:
        raise CaseError(f"{source}: [run] start {err.problem}", parameter="start",
                        problem=err.problem) from None
    spec = _sweep_spec(data["sweep"], source) if "sweep" in data else None
    fit = _fit_spec(data["fit"], source) if "fit" in data else None
    return Case(profile, loading, title, times, ppd, background, options, spec, fit,
                report_times, start_date=start)


def _whole(value: Any, where: str, meaning: str, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise CaseError(f"{where} must be a whole number of at least {low} ({meaning}); "
                        f"got {value!r}")
    return value


def _sweep_spec(table: Any, source: str) -> SweepSpec:
    """The [sweep] section: samples, seed, optional correlation, [[sweep.vary]] tables."""
    table = dict(_table("sweep", table, source))
    _unknown(f"{source}: [sweep]", table, SWEEP_KEYS)
    samples = _whole(table.get("samples", 100), f"{source}: [sweep] samples", "runs", 1)
    seed = _whole(table.get("seed", 0), f"{source}: [sweep] seed", "of the sampling", 0)
    entries = table.get("vary")
    if not isinstance(entries, list) or not entries:
        raise CaseError(f"{source}: [sweep] needs [[sweep.vary]] tables, each with parameter "
                        "(\"<layer>.<parameter>\") and distribution "
                        f"({', '.join(DISTRIBUTIONS)}) and its values")
    vary: dict = {}
    kinds = {"normal": Normal, "lognormal": LogNormal, "uniform": Uniform}
    for i, entry in enumerate(entries, start=1):
        where = f"{source}: [[sweep.vary]] #{i}"
        entry = dict(_table("sweep.vary", entry, source))
        name, kind = entry.pop("parameter", None), entry.pop("distribution", None)
        if not isinstance(name, str) or not name:
            raise CaseError(f"{where}: missing key 'parameter' (\"<layer>.<parameter>\", e.g. "
                            "\"clay.kref\")")
        if kind not in DISTRIBUTIONS:
            raise CaseError(f"{where}: distribution must be one of "
                            f"{', '.join(DISTRIBUTIONS)}; got {kind!r}")
        _unknown(where, entry, DISTRIBUTIONS[kind])
        if name in vary:
            raise CaseError(f"{where}: parameter {name!r} is varied twice")
        bad = [k for k, v in entry.items()
               if isinstance(v, bool) or not isinstance(v, (int, float))]
        if bad:
            raise CaseError(f"{where}: {bad[0]} must be a number; got {entry[bad[0]]!r}")
        required = [f.name for f in dataclasses.fields(kinds[kind])
                    if f.default is dataclasses.MISSING and f.name not in entry]
        if required:
            raise CaseError(f"{where}: missing key {required[0]!r} of the {kind} distribution "
                            f"(keys: {', '.join(DISTRIBUTIONS[kind])})")
        try:
            vary[name] = kinds[kind](**entry)
        except ParameterError as err:
            raise CaseError(f"{where}: {kind} {err.phrase} (expected: "
                            f"{', '.join(DISTRIBUTIONS[kind])})", parameter=err.parameter,
                            problem=err.problem) from None
    correlation = table.get("correlation")
    if correlation is not None:
        n = len(vary)
        if not (isinstance(correlation, list) and len(correlation) == n and all(
                isinstance(r, list) and len(r) == n and all(
                    isinstance(x, (int, float)) and not isinstance(x, bool) for x in r)
                for r in correlation)):
            raise CaseError(f"{source}: [sweep] correlation must be a {n} x {n} list of "
                            "numbers, one row per [[sweep.vary]] in order")
        correlation = tuple(tuple(float(x) for x in r) for r in correlation)
    return SweepSpec(vary, samples, seed, correlation)


def _fit_spec(table: Any, source: str) -> FitSpec:
    """The [fit] section: observations file, method, prediction, [[fit.vary]] tables."""
    table = dict(_table("fit", table, source))
    _unknown(f"{source}: [fit]", table, FIT_KEYS)
    path = table.get("observations")
    if not isinstance(path, str) or not path:
        raise CaseError(f"{source}: [fit] observations must name the CSV file of the "
                        "readings (relative to the case file)")
    if not os.path.isabs(path):
        path = os.path.join(os.path.dirname(source), path)
    method = table.get("method", "least_squares")
    if method not in ("least_squares", "mcmc"):
        raise CaseError(f"{source}: [fit] method must be \"least_squares\" or \"mcmc\"; "
                        f"got {method!r}")
    samples = _whole(table.get("samples", 200), f"{source}: [fit] samples",
                     "parameter sets of the prediction band; 0 for none", 0)
    seed = _whole(table.get("seed", 0), f"{source}: [fit] seed", "of the sampling", 0)
    end = table.get("end")
    if end is not None and (isinstance(end, bool) or not isinstance(end, (int, float))):
        raise CaseError(f"{source}: [fit] end must be a number of days; got {end!r}")
    entries = table.get("vary")
    if not isinstance(entries, list) or not entries:
        raise CaseError(f"{source}: [fit] needs [[fit.vary]] tables, each with parameter "
                        "(\"<layer>.<parameter>\"), low and high (and scale \"log\" or "
                        "\"linear\")")
    vary = []
    for i, entry in enumerate(entries, start=1):
        where = f"{source}: [[fit.vary]] #{i}"
        entry = dict(_table("fit.vary", entry, source))
        _unknown(where, entry, {"parameter", "low", "high", "scale"})
        name = entry.get("parameter")
        if not isinstance(name, str) or not name:
            raise CaseError(f"{where}: missing key 'parameter' (\"<layer>.<parameter>\", e.g. "
                            "\"clay.kref\")")
        for key in ("low", "high"):
            v = entry.get(key)
            if isinstance(v, bool) or not isinstance(v, (int, float)):
                raise CaseError(f"{where}: {key} must be a number (the range searched); "
                                f"got {v!r}")
        scale = entry.get("scale", "log" if name.endswith("kref") else "linear")
        if scale not in ("log", "linear"):
            raise CaseError(f"{where}: scale must be \"log\" or \"linear\"; got {scale!r}")
        vary.append((name, (float(entry["low"]), float(entry["high"])), scale))
    try:
        parse_vary(vary)
    except ParameterError as err:
        raise CaseError(f"{source}: [[fit.vary]]: {err.problem}", parameter=err.parameter,
                        problem=err.problem) from None
    return FitSpec(path, tuple(vary), method, samples, seed,
                   None if end is None else float(end))


def read_case(path: str | os.PathLike) -> Case | SiteCase:
    """Read a TOML case file.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    Case or SiteCase
        With ``profile``, ``loading`` and the run's options; run it with
        ``case.simulate()``.  A file with [[footprints]] (a site) gives a
        `SiteCase`: run it with ``case.site()``.

    Raises
    ------
    CaseError
        The file cannot be read, is not TOML, or a value is missing or
        cannot be used; the message names the file and the key.
    """
    source = os.fspath(path)
    try:
        with open(source, "rb") as f:
            raw = f.read()
        data = tomllib.loads(raw.decode("utf-8"))
    except OSError as err:
        raise CaseError(f"{source}: cannot read the case file: {err.strerror}") from None
    except tomllib.TOMLDecodeError as err:
        raise CaseError(f"{source}: not a valid TOML file: {err}") from None
    except UnicodeDecodeError:
        raise CaseError(f"{source}: not a valid TOML file: not UTF-8 text") from None
    if "footprints" in data or "boreholes" in data or "points" in data:
        return parse_site_case(data, source)
    return dataclasses.replace(parse_case(data, source), source=source,
                               sha256=hashlib.sha256(raw).hexdigest())


# --------------------------------------------------------------------- a site ----------

@dataclass(frozen=True)
class SiteCase:
    """A site read from a file: what `pelorin.site` takes."""

    boreholes: tuple
    footprints: tuple
    points: tuple
    title: str = ""
    end: Optional[float] = None
    times: Optional[tuple[float, ...]] = None
    points_per_decade: int = 10
    method: str = "boussinesq"
    poisson: float = 0.0
    background: Optional[bool] = None
    maps: tuple = ()
    options: dict = field(default_factory=dict)

    def site(self, **kwargs: Any):
        """Run the site (keywords as for `pelorin.site`, overriding the file's)."""
        kw: dict[str, Any] = dict(end=self.end, times=self.times,
                                  points_per_decade=self.points_per_decade,
                                  method=self.method, poisson=self.poisson,
                                  background=self.background, title=self.title)
        kw.update(self.options)
        kw.update(kwargs)
        return site(list(self.boreholes), list(self.footprints), list(self.points), **kw)


SITE_SECTIONS = {"title", "profile", "soils", "layers", "boreholes", "footprints", "points",
                 "run"}
SITE_RUN_KEYS = {"end", "points_per_decade", "times", "background", "rtol", "max_substeps",
                 "method", "poisson", "maps"}
FOOTPRINTS = {"rectangle": _loads.Rectangle, "circle": _loads.Circle, "strip": _loads.Strip,
              "embankment": _loads.Embankment, "polygon": _loads.Polygon}
BOREHOLE_KEYS = {"name", "x", "y", "layers", "surcharge", "drainage"}
POINTS_KEYS = {"list", "names", "borehole", "lines", "grid"}


def _numbers(value: Any, where: str, what: str, count: Optional[int] = None) -> list:
    if not isinstance(value, list) or (count is not None and len(value) != count) or not all(
            isinstance(v, (int, float)) and not isinstance(v, bool) for v in value):
        n = f"{count} " if count is not None else ""
        raise CaseError(f"{where} must be a list of {n}numbers ({what}); got {value!r}")
    return [float(v) for v in value]


def _built(cls: type, where: str, **kw: Any) -> Any:
    try:
        return cls(**kw)
    except ParameterError as err:
        raise CaseError(f"{where}: {err.parameter} {err.problem}", parameter=err.parameter,
                        problem=err.problem) from None
    except TypeError as err:
        raise CaseError(f"{where}: {err}") from None


def parse_site_case(data: dict, source: str = "case") -> SiteCase:
    """Build a `SiteCase` from the parsed TOML tables of a site's case file:
    [[boreholes]] (each with name, x, y and its [[boreholes.layers]]; or one profile's
    [[layers]] at the origin), [[footprints]] (type and the footprint's keys) and
    [points] (list, names, [[points.lines]], [points.grid])."""
    _unknown(source, data, SITE_SECTIONS)
    title = data.get("title", "")
    if not isinstance(title, str):
        raise CaseError(f"{source}: title must be text; got {title!r}")
    soils = _soils(data, source)
    prof = dict(_table("profile", data.get("profile", {}), source))
    _unknown(f"{source}: [profile]", prof, {"surcharge", "drainage"})

    holes = []
    entries = data.get("boreholes")
    if entries is None:
        layers = _layers(data.get("layers"), soils, source, "[[layers]]")
        holes.append(Borehole((0.0, 0.0), _make(Profile, f"{source}: [profile]", prof,
                                                layers=layers), "BH1"))
    else:
        if "layers" in data:
            raise CaseError(f"{source}: give the layers of each borehole "
                            "([[boreholes.layers]]), not [[layers]] as well")
        if not isinstance(entries, list) or not entries:
            raise CaseError(f"{source}: [[boreholes]] must be tables, each with name, x, y "
                            "and [[boreholes.layers]]")
        for i, entry in enumerate(entries, start=1):
            entry = dict(_table("boreholes", entry, source))
            name = entry.get("name", f"BH{i}")
            where = f"{source}: [[boreholes]] #{i}" + (f" ({name})" if "name" in entry else "")
            _unknown(where, entry, BOREHOLE_KEYS)
            missing = [k for k in ("x", "y") if k not in entry]
            if missing:
                raise CaseError(f"{where}: missing key {missing[0]!r} (the borehole's plan "
                                "position, m)")
            layers = _layers(entry.get("layers"), soils, f"{where}", "[[boreholes.layers]]")
            own = dict(prof)
            own.update({k: entry[k] for k in ("surcharge", "drainage") if k in entry})
            profile = _make(Profile, where, own, layers=layers)
            for k in ("x", "y"):
                v = entry[k]
                if isinstance(v, bool) or not isinstance(v, (int, float)):
                    raise CaseError(f"{where}: {k} must be a number (m); got {v!r}")
            holes.append(_built(Borehole, where, position=(float(entry["x"]),
                                                            float(entry["y"])),
                                profile=profile, name=str(name)))
        names = [b.name for b in holes]
        if len(set(names)) != len(names):
            raise CaseError(f"{source}: [[boreholes]] names must be distinct; got "
                            f"{', '.join(names)}")

    fps = []
    entries = data.get("footprints")
    if not isinstance(entries, list) or not entries:
        raise CaseError(f"{source}: no footprints: add [[footprints]] tables, each with type "
                        f"({', '.join(FOOTPRINTS)}) and its geometry and pressure (or fill)")
    for i, entry in enumerate(entries, start=1):
        where = f"{source}: [[footprints]] #{i}"
        entry = dict(_table("footprints", entry, source))
        kind = entry.pop("type", None)
        if kind not in FOOTPRINTS:
            raise CaseError(f"{where}: type must be one of {', '.join(FOOTPRINTS)}; got "
                            f"{kind!r}")
        cls = FOOTPRINTS[kind]
        allowed = [f.name for f in dataclasses.fields(cls) if f.init]
        _unknown(f"{where} ({kind})", entry, allowed)
        for key in ("center",):
            if key in entry:
                entry[key] = tuple(_numbers(entry[key], f"{where}: {key}", "x, y in m", 2))
        if "vertices" in entry:
            v = entry["vertices"]
            if not isinstance(v, list):
                raise CaseError(f"{where}: vertices must be a list of [x, y] (m)")
            entry["vertices"] = [_numbers(p, f"{where}: vertices", "x, y in m", 2) for p in v]
        required = [f.name for f in dataclasses.fields(cls) if f.init
                    and f.default is dataclasses.MISSING and f.name not in entry]
        if required:
            raise CaseError(f"{where} ({kind}): missing key {required[0]!r} (required: "
                            f"{', '.join(required)})")
        fps.append(_built(cls, f"{where} ({kind})", **entry))

    pts_table = dict(_table("points", data.get("points", {}), source))
    _unknown(f"{source}: [points]", pts_table, POINTS_KEYS)
    groups: list = []
    if "list" in pts_table:
        where = f"{source}: [points] list"
        raw = pts_table["list"]
        if not isinstance(raw, list) or not raw:
            raise CaseError(f"{where} must be a list of [x, y] (m)")
        xy = [tuple(_numbers(p, where, "x, y in m", 2)) for p in raw]
        labels = pts_table.get("names")
        bh = pts_table.get("borehole")
        if bh is not None and not isinstance(bh, str):
            raise CaseError(f"{source}: [points] borehole must name a borehole; got {bh!r}")
        if bh is not None:
            xy = [(x, y, bh) for x, y in xy]
        if labels is not None:
            if not isinstance(labels, list) or len(labels) != len(xy) or not all(
                    isinstance(n, str) for n in labels) or len(set(labels)) != len(labels):
                raise CaseError(f"{source}: [points] names must be {len(xy)} distinct texts, "
                                "one per entry of list")
            groups.append(dict(zip(labels, xy)))
        else:
            groups.append(xy)
    lines = pts_table.get("lines", [])
    if not isinstance(lines, list):
        raise CaseError(f"{source}: [points] lines must be [[points.lines]] tables")
    for i, entry in enumerate(lines, start=1):
        where = f"{source}: [[points.lines]] #{i}"
        entry = dict(_table("points.lines", entry, source))
        _unknown(where, entry, {"name", "start", "end", "count", "spacing", "borehole"})
        for key in ("start", "end"):
            if key not in entry:
                raise CaseError(f"{where}: missing key {key!r} ([x, y], m)")
            entry[key] = tuple(_numbers(entry[key], f"{where}: {key}", "x, y in m", 2))
        groups.append(_built(Line, where, **entry))
    if "grid" in pts_table:
        where = f"{source}: [points.grid]"
        entry = dict(_table("points.grid", pts_table["grid"], source))
        _unknown(where, entry, {"x", "y", "nx", "ny", "name", "borehole"})
        axes = {}
        for key, count in (("x", "nx"), ("y", "ny")):
            if key not in entry or count not in entry:
                raise CaseError(f"{where}: needs {key} = [from, to] (m) and {count} (points)")
            lo, hi = _numbers(entry[key], f"{where}: {key}", "from, to in m", 2)
            n = _whole(entry[count], f"{where}: {count}", "points", 1)
            axes[key] = np.linspace(lo, hi, n) if n > 1 else np.array([lo])
        groups.append(_built(Grid, where, x=axes["x"], y=axes["y"],
                             name=str(entry.get("name", "grid")),
                             borehole=entry.get("borehole")))
    if not groups:
        raise CaseError(f"{source}: [points] holds no points: give list = [[x, y], ...], "
                        "[[points.lines]] or [points.grid]")

    run = dict(_table("run", data.get("run", {}), source))
    _unknown(f"{source}: [run]", run, SITE_RUN_KEYS)
    end = run.get("end")
    if end is not None and (isinstance(end, bool) or not isinstance(end, (int, float))
                            or not end > 0):
        raise CaseError(f"{source}: [run] end must be a time in days, > 0; got {end!r}")
    times = run.get("times")
    if times is not None:
        times = tuple(_numbers(times, f"{source}: [run] times", "output times, days"))
    ppd = run.get("points_per_decade", 10)
    if isinstance(ppd, bool) or not isinstance(ppd, int) or not 1 <= ppd <= 200:
        raise CaseError(f"{source}: [run] points_per_decade must be a whole number from 1 to "
                        f"200; got {ppd!r}")
    method = run.get("method", "boussinesq")
    if method not in _loads.METHODS:
        raise CaseError(f"{source}: [run] method must be one of "
                        f"{', '.join(_loads.METHODS)}; got {method!r}")
    poisson = run.get("poisson", 0.0)
    if isinstance(poisson, bool) or not isinstance(poisson, (int, float)) \
            or not 0 <= poisson < 0.5:
        raise CaseError(f"{source}: [run] poisson must be a number in [0, 0.5) (Poisson's "
                        f"ratio of Westergaard's medium); got {poisson!r}")
    background = run.get("background")
    if background is not None and not isinstance(background, bool):
        raise CaseError(f"{source}: [run] background must be true or false; got {background!r}")
    maps = tuple(_numbers(run.get("maps", []), f"{source}: [run] maps",
                          "times of the contour maps, days"))
    options = _engine_options(run, source)
    return SiteCase(tuple(holes), tuple(fps), tuple(groups), title,
                    None if end is None else float(end), times, ppd, str(method),
                    float(poisson), background, maps, options)
