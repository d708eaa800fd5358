"""Settlement over a site: boreholes, loads of finite size and many points.

Every point of interest takes the profile of its nearest borehole (or the one it
names); the footprints' vertical stress change at the centre of every element of that
column (`pelorin.loads`) is the column's loading; each point is then an independent
one-dimensional run (finite strain, creep) on Dask, as the runs of a sweep are.  Points
whose columns and stress profiles are the same share one run.
"""
from __future__ import annotations

import dataclasses
import itertools
import json
import math
import os
import time as _time
from dataclasses import dataclass
from numbers import Real
from typing import Any, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
import xarray as xr

from . import loads as _loads
from ._batches import Failure, run_batches
from ._column import Column
from ._simulate import Plan, plan
from ._stages import stage_analysis
from ._sweep import _run_tasks
from ._text import csv_header
from .errors import ParameterError
from .loads import Footprint
from .model import Loading, Profile, Stage

__all__ = ["Borehole", "Line", "Grid", "site", "SiteResult"]

SHARE_DIGITS = 11   # stress profiles equal to this many digits of the largest pressure share a run
# Points whose stresses are computed at once: enough for NumPy's arrays to pay, few enough
# that the first batches of runs leave early (the stresses do not depend on it).
STRESS_CHUNK = 256


# -------------------------------------------------------------- the site's parts ------

@dataclass(frozen=True)
class Borehole:
    """A soil profile at a plan position (x, y), m."""

    position: tuple
    profile: Profile
    name: str = ""

    def __post_init__(self) -> None:
        o = "Borehole" + (f" {self.name!r}" if self.name else "")
        object.__setattr__(self, "position", _loads._point(o, "position", self.position))
        if not isinstance(self.profile, Profile):
            raise ParameterError(o, "profile", f"must be a Profile; got "
                                 f"{type(self.profile).__name__}")
        if not isinstance(self.name, str):
            raise ParameterError(o, "name", f"must be a text label; got {self.name!r}")


@dataclass(frozen=True)
class Line:
    """A cross-section: `count` points evenly from `start` to `end` (both included), or
    points every `spacing` m from `start` (the last at or before `end`).  Settlement
    differences and angular distortion are reported between neighbouring points."""

    start: tuple
    end: tuple
    count: Optional[int] = None
    spacing: Optional[float] = None
    name: str = ""
    borehole: Optional[str] = None

    def __post_init__(self) -> None:
        o = "Line" + (f" {self.name!r}" if self.name else "")
        object.__setattr__(self, "start", _loads._point(o, "start", self.start))
        object.__setattr__(self, "end", _loads._point(o, "end", self.end))
        if (self.count is None) == (self.spacing is None):
            raise ParameterError(o, "count/spacing", "must be given exactly once: the number "
                                 "of points (count) or the distance between them in m "
                                 "(spacing)")
        length = math.dist(self.start, self.end)
        if not length > 0.0:
            raise ParameterError(o, "end", "must differ from start")
        if self.count is not None:
            if isinstance(self.count, bool) or not isinstance(self.count, int) \
                    or self.count < 2:
                raise ParameterError(o, "count", f"must be a whole number of at least 2 "
                                     f"(points along the line); got {self.count!r}")
        else:
            sp = _loads._num(o, "spacing", self.spacing, "m between points", positive=True)
            if sp > length:
                raise ParameterError(o, "spacing", f"must be at most the line's length "
                                     f"({length:g} m); got {sp:g}")
            object.__setattr__(self, "spacing", sp)

    def positions(self) -> tuple[np.ndarray, np.ndarray]:
        """The points (n, 2) and their distance along the line from `start` (m)."""
        length = math.dist(self.start, self.end)
        if self.count is not None:
            chain = np.linspace(0.0, length, self.count)
        else:
            n = int(math.floor(length / float(self.spacing) + 1e-9)) + 1  # type: ignore[arg-type]
            chain = float(self.spacing) * np.arange(n)   # type: ignore[arg-type]
        f = chain / length
        xy = np.column_stack((self.start[0] + f * (self.end[0] - self.start[0]),
                              self.start[1] + f * (self.end[1] - self.start[1])))
        return xy, chain


@dataclass(frozen=True)
class Grid:
    """Points on a plan grid: every x of `x` with every y of `y` (m, increasing)."""

    x: Sequence[float]
    y: Sequence[float]
    name: str = "grid"
    borehole: Optional[str] = None

    def __post_init__(self) -> None:
        for key in ("x", "y"):
            try:
                v = np.array(getattr(self, key), dtype=np.float64, ndmin=1)
            except (TypeError, ValueError):
                raise ParameterError("Grid", key, "must be a list of coordinates, m") from None
            if v.ndim != 1 or v.size < 1 or not np.all(np.isfinite(v)) \
                    or np.any(np.diff(v) <= 0.0):
                raise ParameterError("Grid", key, "must be finite coordinates in m, "
                                     "increasing")
            v.setflags(write=False)
            object.__setattr__(self, key, v)

    def positions(self) -> np.ndarray:
        X, Y = np.meshgrid(self.x, self.y, indexing="ij")
        return np.column_stack((X.ravel(), Y.ravel()))


@dataclass
class _Points:
    """Every point of interest of a site, in order."""

    x: list
    y: list
    name: list
    group: list
    kind: list
    chainage: list
    borehole: list      # the name asked for, or None

    def add(self, x: float, y: float, name: str, group: str, kind: str, chain: float,
            borehole: Optional[str]) -> None:
        for lst, v in zip((self.x, self.y, self.name, self.group, self.kind, self.chainage,
                           self.borehole), (x, y, name, group, kind, chain, borehole)):
            lst.append(v)


def _is_position(item: Any) -> bool:
    return (isinstance(item, (tuple, list, np.ndarray)) and len(item) in (2, 3)
            and all(isinstance(v, Real) and not isinstance(v, bool) for v in item[:2]))


def _points(points: Any) -> _Points:
    """The points of interest from a Line, a Grid, a list of positions ((x, y) or
    (x, y, borehole name)), a mapping of names to positions, or a list of these."""
    out = _Points([], [], [], [], [], [], [])
    groups: list = []
    if isinstance(points, (Line, Grid, Mapping)) or _is_position(points):
        groups = [points]
    elif isinstance(points, (list, tuple)) and points and all(_is_position(p) for p in points):
        groups = [list(points)]
    elif isinstance(points, (list, tuple)) and points:
        groups = list(points)
    else:
        raise ParameterError("site", "points", "must be a Line, a Grid, a list of plan "
                             "positions (x, y) or a list of these")
    lists = 0
    for g in groups:
        if isinstance(g, Line):
            xy, chain = g.positions()
            gname = g.name or f"line {sum(k == 'line' for k in set(out.kind)) + 1}"
            if gname in out.group:
                raise ParameterError("site", "points", f"two groups of points are named "
                                     f"{gname!r}; give lines distinct names")
            for i, ((x, y), c) in enumerate(zip(xy, chain)):
                out.add(float(x), float(y), f"{gname} {c:g}", gname, "line", float(c),
                        g.borehole)
        elif isinstance(g, Grid):
            if g.name in out.group:
                raise ParameterError("site", "points", f"two groups of points are named "
                                     f"{g.name!r}")
            for x, y in g.positions():
                out.add(float(x), float(y), f"{g.name} ({x:g}, {y:g})", g.name, "grid",
                        math.nan, g.borehole)
        else:
            items = list(g.items()) if isinstance(g, Mapping) else \
                [(None, p) for p in ([g] if _is_position(g) else g)]
            lists += 1
            gname = "points" if lists == 1 else f"points {lists}"
            for k, (label, p) in enumerate(items):
                if not _is_position(p):
                    raise ParameterError("site", "points", f"entry {label or k + 1!r} must "
                                         f"be a plan position (x, y) or (x, y, borehole); "
                                         f"got {p!r}")
                bh = p[2] if len(p) == 3 else None
                if bh is not None and not isinstance(bh, str):
                    raise ParameterError("site", "points", f"entry {label or k + 1!r}: the "
                                         f"third value names a borehole; got {bh!r}")
                x, y = float(p[0]), float(p[1])
                if not (math.isfinite(x) and math.isfinite(y)):
                    raise ParameterError("site", "points", f"entry {label or k + 1!r} must "
                                         "be finite")
                out.add(x, y, str(label) if label is not None else f"P{k + 1}", gname,
                        "point", math.nan, bh)
    if not out.x:
        raise ParameterError("site", "points", "hold no point")
    return out


def _boreholes(boreholes: Any) -> list[Borehole]:
    if isinstance(boreholes, Profile):
        return [Borehole((0.0, 0.0), boreholes, "BH1")]
    items = list(boreholes.items()) if isinstance(boreholes, Mapping) else \
        [(None, b) for b in (boreholes or [])]
    out = []
    for k, (name, b) in enumerate(items):
        label = str(name) if name is not None else f"BH{k + 1}"
        if isinstance(b, Borehole):
            out.append(b if b.name else dataclasses.replace(b, name=label))
            continue
        try:
            position, profile = b
        except (TypeError, ValueError):
            raise ParameterError("site", "boreholes", f"entry {label!r} must be a Borehole or "
                                 f"((x, y), Profile); got {b!r}") from None
        out.append(Borehole(position, profile, label))
    if not out:
        raise ParameterError("site", "boreholes", "must hold at least one borehole: "
                             "((x, y), Profile)")
    names = [b.name for b in out]
    if len(set(names)) != len(names):
        raise ParameterError("site", "boreholes", "names must be distinct")
    return out


def _footprints(footprints: Any) -> list[Footprint]:
    if isinstance(footprints, Footprint):
        footprints = [footprints]
    out = []
    for k, f in enumerate(footprints or []):
        if isinstance(f, (tuple, list)) and len(f) == 2 and isinstance(f[1], Footprint):
            t = _loads._num("site", "footprints", f[0], "time the footprint is placed, days",
                            nonneg=True)
            f = dataclasses.replace(f[1], time=t)
        if not isinstance(f, Footprint):
            raise ParameterError("site", "footprints", f"entry {k + 1} must be a footprint of "
                                 "pelorin.loads or (time, footprint); got "
                                 f"{type(f).__name__}")
        out.append(f)
    if not out:
        raise ParameterError("site", "footprints", "must hold at least one footprint")
    return out


# ------------------------------------------------------------------ one run ----------

@dataclass(frozen=True)
class PointPlan(Plan):
    """A plan whose load is a stress profile: `stress` per element (kPa) times the load
    factor of the footprints' schedule (1 while they stand, 0 before and after)."""

    stress: np.ndarray = dataclasses.field(kw_only=True)


def _primary(start: Column, stress: np.ndarray, factors: Sequence[float]) -> np.ndarray:
    """Final primary settlement under each stage's stress profile (`factors` times
    `stress`, kPa per element), each stage raising the preconsolidation stress of the
    next (as `Column.primary_settlements`, element by element)."""
    out = []
    pc = start.pc0.copy()
    h = start.thickness
    for f in factors:
        s = start.sigv0 + f * stress
        with np.errstate(invalid="ignore", divide="ignore"):
            e = start.e_at(s, pc)
        out.append(float(np.sum(h * (start.e0 - e) / (1.0 + start.e0))))
        pc = np.maximum(pc, s)
    return np.array(out)


def _kept(p: Plan, res: Mapping[str, Any]) -> dict:
    """What a site keeps of a point's run."""
    assert isinstance(p, PointPlan)
    start = p.column.with_state(res["sigv_element"][:, 0], res["e_element"][:, 0])
    factors = p.loading.loads
    primary = _primary(start, p.stress, factors)
    # The stage analysis reads the pore pressure the load change brings: the stress
    # profile's mean over the column.
    mean = float(np.sum(p.stress * start.thickness) / np.sum(start.thickness))
    equivalent = Loading([Stage(s.time, load=f * mean) for s, f in
                          zip(p.loading.stages, factors)], end=p.loading.end)
    rows, _, _ = stage_analysis(np.r_[0.0, p.time], res["z"], res["settlement"],
                                res["u_element"], equivalent, primary, p.profile.creep)
    return {"settlement": np.array(res["settlement"], dtype=np.float64),
            "t50": np.array(rows["t50"]), "t90": np.array(rows["t90"]),
            "primary": primary, "creep": np.array(rows["creep"])}


def point_plan(bp: Plan, shape: Optional[np.ndarray]) -> PointPlan:
    """A borehole's plan with a point's stress profile (kPa per element, times the load
    factors); None: the borehole without load (its background creep)."""
    if shape is None:
        zero = np.zeros(bp.column.N)
        return PointPlan(bp.profile, bp.loading, bp.column, bp.time, bp.reference_load,
                         bp.job.replace(loadfactor=np.zeros_like(bp.job.loadfactor)),
                         bp.end_note, stress=zero)
    # The engine's load factors are the stages' loads over the largest.
    elements = dict(bp.job.elements, dsigv=np.ascontiguousarray(shape * bp.reference_load))
    return PointPlan(bp.profile, bp.loading, bp.column, bp.time, bp.reference_load,
                     bp.job.replace(elements=elements), bp.end_note,
                     stress=np.array(shape, dtype=np.float64))


def _site_outcomes(items: Sequence[Any]) -> list:
    """A batch of a site's runs, each (its borehole's Plan, its stress profile or None):
    per run what `_kept` keeps, or a Failure.  The items of a borehole share its Plan
    object, so a batch carries (and pickles) it once."""
    tasks: list = []
    for bp, shape in items:
        try:
            tasks.append(point_plan(bp, shape))
        except Exception as exc:
            tasks.append(Failure.of(exc))
    return [Failure.of(out) if isinstance(out, Exception) else out
            for out in _run_tasks(tasks, keep=_kept, caller="site")]


# --------------------------------------------------------------------- result ----------

class SiteResult:
    """Settlement over a site, labelled.

    Attributes
    ----------
    dataset : xarray.Dataset
        Dimensions ``point``, ``time`` and ``stage``.  Coordinates per point: ``x``,
        ``y`` (m), ``name``, ``group`` (the line, grid or list it belongs to),
        ``chainage`` (m along its line), ``borehole`` and ``run`` (points with the same
        run share it).  Per point: ``settlement`` (point x time, m), with creep
        ``settlement_net`` (less the background creep of its borehole without load),
        ``primary``, ``t50``, ``t90``, ``creep`` (point x stage), ``final_settlement``,
        ``final_primary`` (the last stage's), ``stress_mean`` (the added vertical stress
        averaged over the column), ``status``; between a point of a line and the next
        one: ``differential_settlement`` (the next one's less this one's, m) and
        ``angular_distortion`` (that over their distance), NaN elsewhere.
    footprints : list of Footprint
    boreholes : list of Borehole
    """

    def __init__(self, dataset: xr.Dataset, footprints: Sequence[Footprint] = (),
                 boreholes: Sequence[Borehole] = ()) -> None:
        self.dataset = dataset
        self.footprints = list(footprints)
        self.boreholes = list(boreholes)

    def __repr__(self) -> str:
        ds = self.dataset
        return (f"<pelorin.SiteResult: {ds.sizes['point']} points, {ds.attrs.get('runs')} "
                f"runs, {ds.attrs.get('failed')} failed>")

    @property
    def settlement(self) -> xr.DataArray:
        return self.dataset["settlement"]

    def sections(self) -> list[str]:
        """The names of the lines (cross-sections) among the points."""
        ds = self.dataset
        kinds = ds["kind"].values
        return list(dict.fromkeys(str(g) for g, k in zip(ds["group"].values, kinds)
                                  if k == "line"))

    def section_frame(self, section: str, times: Optional[Sequence[float]] = None) -> Any:
        """Settlement along a section (pandas.DataFrame, mm): one row per point, its
        chainage and position, one column per output time (all by default)."""
        import pandas as pd

        ds = self.dataset
        sel = ds["group"].values == section
        if not np.any(sel):
            raise ParameterError("SiteResult", "section", f"no section {section!r}; "
                                 f"sections: {', '.join(self.sections()) or 'none'}")
        t = ds["time"].values
        idx = range(t.size) if times is None else \
            [int(np.argmin(np.abs(t - float(v)))) for v in times]
        columns: dict = {"chainage_m": ds["chainage"].values[sel],
                         "x_m": ds["x"].values[sel], "y_m": ds["y"].values[sel]}
        s = ds["settlement"].values[sel]
        for j in idx:
            columns[f"settlement_mm_t{t[j]:g}d"] = s[:, j] * 1000.0
        columns["status"] = ds["status"].values[sel]
        return pd.DataFrame(columns)

    def summary(self) -> str:
        from ._text import site_summary
        return site_summary(self.dataset)

    def to_netcdf(self, path: Union[str, os.PathLike]) -> None:
        """Write the Dataset to a NetCDF file (the footprints' outlines included)."""
        self.dataset.to_netcdf(path, engine="netcdf4")

    def to_csv(self, outdir: Union[str, os.PathLike]) -> list[str]:
        """One CSV per section (``section_NAME.csv``, settlement in mm at every output
        time) into `outdir`, after comment lines naming the program's version and the
        case file with its SHA-256; the paths."""
        os.makedirs(outdir, exist_ok=True)
        paths = []
        for name in self.sections():
            safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in name)
            path = os.path.join(os.fspath(outdir), f"section_{safe}.csv")
            with open(path, "w", newline="") as f:
                f.write(csv_header(self.dataset.attrs))
                self.section_frame(name).to_csv(f, index=False)
            paths.append(path)
        return paths

    def plot_all(self, outdir: Union[str, os.PathLike],
                 map_times: Optional[Sequence[float]] = None) -> list[str]:
        """The site's figures into `outdir` (`pelorin.plots.plot_site_all`: a map at the
        end and at `map_times`, every section, histories); the paths."""
        from .plots import plot_site_all
        return plot_site_all(self, outdir, map_times)

    plot = plot_all


def _outlines(footprints: Sequence[Footprint]) -> tuple[np.ndarray, np.ndarray]:
    """The footprints' outlines, closed, one after the other with NaN between."""
    xs, ys = [], []
    for f in footprints:
        o = f.outline()
        o = np.vstack((o, o[:1], [[np.nan, np.nan]]))
        xs.append(o[:, 0])
        ys.append(o[:, 1])
    return np.concatenate(xs), np.concatenate(ys)


def _describe(f: Footprint) -> dict:
    d = {k: (list(v) if isinstance(v, (tuple, np.ndarray)) else v)
         for k, v in dataclasses.asdict(f).items()}
    if isinstance(f, _loads.Polygon):
        d["vertices"] = np.asarray(f.vertices).tolist()
    d["type"] = type(f).__name__
    return d


# ----------------------------------------------------------------------- site ----------

def _schedule(footprints: Sequence[Footprint]) -> tuple[list, np.ndarray, list]:
    """The footprints grouped by when they stand: the start of every stage (a footprint
    placed or taken away), which group stands in which stage (groups x stages), and the
    footprints of each group."""
    keys = sorted({(float(f.time), f.removed) for f in footprints},
                  key=lambda k: (k[0], math.inf if k[1] is None else k[1]))
    members = [[f for f in footprints if (float(f.time), f.removed) == k] for k in keys]
    starts = sorted({k[0] for k in keys} | {k[1] for k in keys if k[1] is not None})
    active = np.array([[k[0] <= t and (k[1] is None or t < k[1]) for t in starts]
                       for k in keys])
    return starts, active, members


def _one_shape(S: np.ndarray, names: Sequence[str]) -> tuple[np.ndarray, np.ndarray]:
    """The stress profiles of the schedule's groups at many points (groups x points x
    elements) as one shape per point times a factor per group and point.  The engine
    scales one stress profile by one load history: footprints placed at different times
    must then load a point's column in proportion (the same footprint raised in stages,
    or one load alone)."""
    if S.shape[0] == 1:
        return S[0], np.ones((1, S.shape[1]))
    norms = np.linalg.norm(S, axis=2)
    ref = np.argmax(norms, axis=0)
    points = np.arange(S.shape[1])
    shape = S[ref, points]
    top = norms[ref, points]
    with np.errstate(invalid="ignore", divide="ignore"):
        alpha = np.where(top > 0.0, np.einsum("gpn,pn->gp", S, shape)
                         / np.einsum("pn,pn->p", shape, shape), 0.0)
    misfit = np.linalg.norm(S - alpha[:, :, None] * shape[None], axis=2)
    bad = np.argwhere(misfit > 1e-9 * top)
    if bad.size:
        g, i = (int(v) for v in bad[0])
        raise ParameterError("site", "footprints", f"the loads placed at different times "
                             f"stress the column at {names[i]} in different shapes (groups "
                             f"{int(ref[i]) + 1} and {g + 1} of the schedule); one stress "
                             "profile per column scales with one load history: raise one "
                             "footprint in stages, or place the footprints together")
    return shape, alpha


def site(boreholes: Any, footprints: Any, points: Any, *, end: Optional[float] = None,
         times: Optional[Sequence[float]] = None, points_per_decade: int = 10,
         method: str = "boussinesq", poisson: float = 0.0, share: bool = True,
         background: Optional[bool] = None, client: Any = None,
         scheduler: Optional[str] = None, processes: Optional[bool] = None,
         workers: Optional[int] = None, batch_size: Optional[int] = None,
         progress: bool = True, title: str = "", **options: Any) -> SiteResult:
    """Settlement over a site: every point of interest a one-dimensional run under the
    footprints' stress, on Dask.

    Parameters
    ----------
    boreholes : list of ((x, y), Profile) or Borehole, or a mapping of names to them
        The soil profiles and where they were found (m); a single Profile for a uniform
        site.  Each point takes the profile of its nearest borehole in plan.
    footprints : list of footprints or of (time, footprint)
        `pelorin.loads.Rectangle`, `Circle`, `Strip`, `Embankment`, `Polygon`; a pair's
        time (days) replaces the footprint's own.  Their stresses add up.
    points : Line, Grid, list of (x, y) or (x, y, borehole name), mapping of names to
        positions, or a list of these
        The points of interest; a position's third value names the borehole it takes.
    end : float, optional
        The last time of the analysis, days; by default from the consolidation time of
        the first borehole under the largest pressure.
    times : sequence of float, optional
        Output times, days (shared by all points); by default log-spaced as for
        `simulate`.
    points_per_decade : int, default 10
    method : {"boussinesq", "westergaard", "2:1"}, default "boussinesq"
        The stress distribution with depth (`pelorin.loads.vertical_stress`).
    poisson : float, default 0
        Poisson's ratio of Westergaard's medium.
    share : bool, default True
        Points whose columns and stress profiles agree (to 11 digits of the largest
        pressure) share one run.
    background : bool, optional
        Also run every borehole without the load, for the settlement net of the
        background creep; by default when a soil creeps.
    client, scheduler, processes, workers, batch_size, progress
        Where the runs go, as for `pelorin.sweep` (an embedded local cluster by
        default; ``scheduler="synchronous"`` runs them here, one after the other).
    title : str
    **options
        The engine's ``rtol``, ``max_substeps``, ``max_newton``.

    Returns
    -------
    SiteResult
        ``.dataset["settlement"]`` has the dimensions (point, time).

    Examples
    --------
    >>> import pelorin
    >>> from pelorin.loads import Circle
    >>> clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75)
    >>> profile = pelorin.Profile([pelorin.Layer(clay, 10.0, ocr=1.2)], surcharge=10.0)
    >>> tank = Circle((0.0, 0.0), radius=20.0, pressure=150.0)
    >>> r = pelorin.site([((0.0, 0.0), profile)], [tank],
    ...                  pelorin.Line((0.0, 0.0), (40.0, 0.0), count=9))  # doctest: +SKIP
    """
    holes = _boreholes(boreholes)
    fps = _footprints(footprints)
    pts = _points(points)
    if method not in _loads.METHODS:
        raise ParameterError("site", "method", f"must be one of "
                             f"{', '.join(repr(m) for m in _loads.METHODS)}; got {method!r}")
    starts, active, members = _schedule(fps)
    names = [b.name for b in holes]
    n = len(pts.x)
    X, Y = np.array(pts.x), np.array(pts.y)
    which = np.empty(n, dtype=np.int64)
    bx = np.array([b.position[0] for b in holes])
    by = np.array([b.position[1] for b in holes])
    nearest = np.argmin((X[:, None] - bx) ** 2 + (Y[:, None] - by) ** 2, axis=1)
    for i, asked in enumerate(pts.borehole):
        if asked is None:
            which[i] = nearest[i]
        elif asked in names:
            which[i] = names.index(asked)
        else:
            raise ParameterError("site", "points", f"point {pts.name[i]!r} names borehole "
                                 f"{asked!r}; boreholes: {', '.join(names)}")

    qmax = max(abs(f.q) for f in fps) or 1.0
    # The output times, shared: those of the first borehole under the footprints'
    # pressures spread over the whole column.
    pressures = active.T.astype(float) @ np.array([max((f.q for f in m), key=abs)
                                                    for m in members])
    try:
        wide = Loading([Stage(t, load=float(q)) for t, q in zip(starts, pressures)], end=end)
    except ParameterError as err:
        raise ParameterError("site", "end" if err.parameter == "end" else "footprints",
                             err.problem) from None
    grid = plan(holes[0].profile, wide, times, points_per_decade, options,
                caller="site").time.tolist()
    end_time = float(grid[-1])

    # Every borehole's column once, then the stress profiles of its points, a chunk of
    # points at a time: the runs are made as they are needed, so that on a cluster the
    # workers run the first ones while the stresses of the next are computed here.
    tasks: list = []
    keys: dict = {}
    run_of = np.empty(n, dtype=np.int64)
    stress_mean = np.empty(n)
    plans: dict = {}

    def plan_for(b: int, loads: tuple) -> Plan:
        """The borehole's plan under the stages' load factors `loads`."""
        if (b, loads) not in plans:
            loading = Loading([Stage(t, load=q) for t, q in zip(starts, loads)], end=end_time)
            plans[b, loads] = plan(holes[b].profile, loading, grid, points_per_decade,
                                   options, caller="site")
        return plans[b, loads]

    used = sorted(set(int(b) for b in which))
    creeps = any(holes[b].profile.creep for b in used)
    run_bg = creeps if background is None else bool(background)
    bg_index = {}

    def made() -> Iterator[tuple]:
        """The runs in order, each once: (its borehole's Plan, its stress profile), then
        (the Plan, None) of every borehole's background run."""
        for b, hole in enumerate(holes):
            mine = np.flatnonzero(which == b)
            if mine.size == 0:
                continue
            col = plan_for(b, tuple(1.0 for _ in starts)).column
            zc = 0.5 * (col.depth[:-1] + col.depth[1:])
            h = col.thickness
            for at in range(0, mine.size, STRESS_CHUNK):
                chunk = mine[at:at + STRESS_CHUNK]
                S = np.zeros((len(members), chunk.size, zc.size))
                for g, group in enumerate(members):
                    for f in group:
                        S[g] += _loads.vertical_stress(f, X[chunk, None], Y[chunk, None],
                                                       zc[None, :], method, poisson=poisson)
                shapes, alphas = _one_shape(S, [pts.name[i] for i in chunk])
                stage_loads = np.round(active.T.astype(float) @ alphas, 12).T  # points x stages
                rounded = np.round(shapes / qmax, SHARE_DIGITS)
                for k, i in enumerate(chunk):
                    shape = shapes[k]
                    loads = tuple(float(v) for v in stage_loads[k])
                    bp = plan_for(b, loads)
                    stress_mean[i] = max(loads, key=abs) * float(shape @ h) / float(h.sum())
                    key = (b, loads, rounded[k].tobytes()) if share else (b, int(i))
                    if key not in keys:
                        keys[key] = len(tasks)
                        tasks.append((bp, shape.copy()))
                        yield tasks[-1]
                    run_of[i] = keys[key]
        if run_bg:
            for b in used:
                bg_index[b] = len(tasks)
                tasks.append((plan_for(b, tuple(1.0 for _ in starts)), None))
                yield tasks[-1]

    # The first few runs here measure the cost of one, for the batches.
    runs_made = made()
    first_tasks = list(itertools.islice(runs_made, 8))
    here = len(first_tasks)
    clock = _time.perf_counter()
    first = _site_outcomes(first_tasks)
    cost = (_time.perf_counter() - clock) / max(here, 1)
    rest = next(runs_made, None)
    left = n + len(used) - here     # at most this many runs are still to come
    kwargs: dict = dict(client=client, batch_size=batch_size, seconds_per_item=cost,
                        workers=workers, progress=progress, desc="points", batched=True,
                        expected=left)
    if processes is None:
        cores = workers or os.cpu_count() or 1
        processes = cost * left / cores > 10.0
    kwargs["processes"] = processes
    if scheduler == "synchronous":
        kwargs["synchronous"] = True
    else:
        kwargs["scheduler"] = scheduler
    if rest is None:     # every run is made already
        outcomes = first
    else:
        outcomes = first + run_batches(_site_outcomes, itertools.chain([rest], runs_made),
                                       **kwargs)
    runs = len(tasks) - len(bg_index)

    stages = [Stage(t, load=1.0) for t in starts]
    return SiteResult(_gather(outcomes, run_of, pts, which, holes, fps, grid, stages,
                              stress_mean, bg_index, runs, method, title, cost),
                      fps, holes)


def _gather(outcomes, run_of, pts, which, holes, fps, grid, stages, stress_mean, bg_index,
            runs, method, title, cost) -> xr.Dataset:
    n = len(pts.x)
    times = np.r_[0.0, grid]
    k = len(stages)
    settlement = np.full((n, times.size), np.nan)
    per_stage = {key: np.full((n, k), np.nan) for key in ("t50", "t90", "primary", "creep")}
    status = np.empty(n, dtype=object)
    for i in range(n):
        out = outcomes[run_of[i]]
        if isinstance(out, Failure):
            status[i] = str(out)
            continue
        status[i] = "ok"
        settlement[i] = out["settlement"]
        for key in per_stage:
            per_stage[key][i] = out[key]
    X, Y = np.array(pts.x), np.array(pts.y)
    coords = {"point": np.arange(n), "time": times, "stage": np.arange(1, k + 1),
              "x": ("point", X, {"units": "m"}), "y": ("point", Y, {"units": "m"}),
              "name": ("point", np.array(pts.name, dtype=str)),
              "group": ("point", np.array(pts.group, dtype=str)),
              "kind": ("point", np.array(pts.kind, dtype=str)),
              "chainage": ("point", np.array(pts.chainage, dtype=np.float64),
                           {"units": "m", "long_name": "distance along the line"}),
              "borehole": ("point", np.array([holes[b].name for b in which], dtype=str)),
              "run": ("point", run_of, {"long_name": "the run the point takes (points with "
                                        "the same run share it)"})}
    ds = xr.Dataset(coords=coords)
    ds["settlement"] = (("point", "time"), settlement,
                        {"units": "m", "long_name": "settlement of the surface"})
    if bg_index:
        bg = np.full((n, times.size), np.nan)
        for b, j in bg_index.items():
            out = outcomes[j]
            if not isinstance(out, Failure):
                bg[which == b] = out["settlement"]
        ds["settlement_background"] = (("point", "time"), bg, {
            "units": "m", "long_name": "settlement of the point's borehole without load"})
        ds["settlement_net"] = (("point", "time"), settlement - bg, {
            "units": "m", "long_name": "settlement caused by the load (net of background "
                                       "creep)"})
    for key, v in per_stage.items():
        ds[key] = (("point", "stage"), v, {"units": "d" if key.startswith("t") else "m"})
    ds["final_settlement"] = ("point", settlement[:, -1], {"units": "m"})
    ds["final_primary"] = ("point", per_stage["primary"][:, -1],
                           {"units": "m", "long_name": "final primary settlement under the "
                                                       "last stage's load"})
    ds["stress_mean"] = ("point", stress_mean, {"units": "kPa", "long_name": "added vertical "
                                                "stress averaged over the column"})
    ds["status"] = ("point", status.astype(str))
    # Between neighbours of a line: the next point's settlement less this one's.
    diff = np.full((n, times.size), np.nan)
    dist = np.full(n, np.nan)
    for i in range(n - 1):
        if pts.kind[i] == "line" and pts.group[i + 1] == pts.group[i]:
            diff[i] = settlement[i + 1] - settlement[i]
            dist[i] = math.hypot(X[i + 1] - X[i], Y[i + 1] - Y[i])
    ds["differential_settlement"] = (("point", "time"), diff, {
        "units": "m", "long_name": "settlement of the next point of the line less this one's"})
    ds["angular_distortion"] = (("point", "time"), diff / dist[:, None], {
        "units": "1", "long_name": "differential settlement over the distance to the next "
                                   "point of the line"})
    ox, oy = _outlines(fps)
    ds["footprint_x"] = ("outline", ox, {"units": "m", "long_name": "footprint outlines, "
                                                                    "NaN between"})
    ds["footprint_y"] = ("outline", oy, {"units": "m"})
    ds["borehole_x"] = ("hole", np.array([b.position[0] for b in holes]), {"units": "m"})
    ds["borehole_y"] = ("hole", np.array([b.position[1] for b in holes]), {"units": "m"})
    ds = ds.assign_coords(hole=np.array([b.name for b in holes], dtype=str))
    ds["stage_time"] = ("stage", np.array([s.time for s in stages]), {"units": "d"})
    ds["time"].attrs["units"] = "d"
    ok = status == "ok"
    ds.attrs.update(title=title, method=method, runs=int(runs), points=int(n),
                    failed=int((~ok).sum()), seconds_per_run=float(cost),
                    footprints=json.dumps([_describe(f) for f in fps]),
                    source="pelorin.site")
    return ds
