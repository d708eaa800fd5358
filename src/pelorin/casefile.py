"""Case files: a whole analysis in TOML.

A case names its soils once, stacks layers of them from the top down, and
lists the load stages::

    title = "Embankment on soft clay"

    [profile]
    drainage = "both"          # "both", "top" or "bottom"
    surcharge = 10.0           # kPa, effective stress at the top before loading

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

    [run]                      # all optional
    end = 10000.0              # days
    points_per_decade = 10
    times = [1.0, 10.0, 100.0] # instead of the default grid
    background = true          # companion run without the load (default: with creep)
    rtol = 1e-3                # the engine's tolerance and its limit on steps
    max_substeps = 1000000
    report_times = { "end of construction" = 400.0, "design life" = 36500.0 }   # days

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

from ._lab import LAB_KEYS, from_lab
from ._quantities import check_dates
from ._distributions import LogNormal, Normal, Uniform
from ._simulate import simulate
from ._sweep import sweep
from .errors import CaseError, ParameterError
from .model import Layer, Loading, Profile, Soil, Stage, field_names

__all__ = ["Case", "CaseError", "SweepSpec", "read_case", "parse_case"]


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
    report_times: Optional[dict] = None
    source: str = ""
    sha256: str = ""

    def simulate(self, **kwargs: Any):
        """Run the case (keywords as for `pelorin.simulate`); the result's
        Dataset names the case file and its SHA-256 when it was read from one."""
        kw: dict[str, Any] = dict(times=self.times, points_per_decade=self.points_per_decade,
                                  background=self.background, title=self.title,
                                  report_times=self.report_times)
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


@dataclass(frozen=True)
class SweepSpec:
    """The [sweep] section of a case: uncertain parameters and their sampling."""

    vary: dict
    samples: int = 100
    seed: int = 0
    correlation: Optional[tuple] = None


SECTIONS = {"title", "profile", "soils", "layers", "stages", "run", "sweep"}
SWEEP_KEYS = {"samples", "seed", "correlation", "vary"}
DISTRIBUTIONS = {"normal": ("mean", "sd", "cov"), "lognormal": ("median", "sigma_log10", "cov"),
                 "uniform": ("low", "high")}
RUN_KEYS = {"end", "points_per_decade", "times", "background", "rtol", "max_substeps",
            "report_times"}


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


def parse_case(data: dict, source: str = "case") -> Case:
    """Build a `Case` from the parsed TOML tables of a case file."""
    _unknown(source, data, SECTIONS)
    title = data.get("title", "")
    if not isinstance(title, str):
        raise CaseError(f"{source}: title must be text; got {title!r}")

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

    layer_list = data.get("layers")
    if not isinstance(layer_list, list) or not layer_list:
        raise CaseError(f"{source}: no layers: add [[layers]] tables from the top down, each "
                        "with soil, thickness and one of ocr, pc, e0")
    layers = []
    for i, table in enumerate(layer_list, start=1):
        where = f"{source}: [[layers]] #{i}"
        table = dict(_table("layers", table, source))
        if "soil" not in table:
            raise CaseError(f"{where}: missing key 'soil' (the name of a [soils.NAME] table)")
        ref = table.pop("soil")
        if ref not in soils:
            raise CaseError(f"{where}: soil {ref!r} is not defined; defined: "
                            f"{', '.join(soils)}")
        layers.append(_make(Layer, where, table, soil=soils[ref]))

    prof = dict(_table("profile", data.get("profile", {}), source))
    profile = _make(Profile, f"{source}: [profile]", prof, layers=layers)

    stage_list = data.get("stages")
    if not isinstance(stage_list, list) or not stage_list:
        raise CaseError(f"{source}: no stages: add [[stages]] tables in time order, each with "
                        "time and load (kPa) or fill (m)")
    stages = [_make(Stage, f"{source}: [[stages]] #{i}", dict(_table("stages", t, source)))
              for i, t in enumerate(stage_list, start=1)]

    run = dict(_table("run", data.get("run", {}), source))
    _unknown(f"{source}: [run]", run, RUN_KEYS)
    end = run.pop("end", None)
    try:
        loading = Loading(stages, end=end)
    except ParameterError as err:
        key = (f"[[stages]] #{err.index + 1}: {err.key}" if err.index is not None
               else {"end": "[run] end"}.get(err.parameter, f"[[stages]] {err.parameter}"))
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
    options = {}
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
    report_times = None
    if "report_times" in run:
        try:
            report_times = check_dates(run["report_times"])
        except ParameterError as err:
            raise CaseError(f"{source}: [run] report_times {err.problem}",
                            parameter=err.parameter, problem=err.problem) from None
    spec = _sweep_spec(data["sweep"], source) if "sweep" in data else None
    return Case(profile, loading, title, times, ppd, background, options, spec, report_times)


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


def read_case(path: str | os.PathLike) -> Case:
    """Read a TOML case file.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    Case
        With ``profile``, ``loading`` and the run's options; run it with
        ``case.simulate()``.

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
    return dataclasses.replace(parse_case(data, source), source=source,
                               sha256=hashlib.sha256(raw).hexdigest())
