"""Drain design: the analysis of a profile on drains at each of several spacings.

The question an engineer asks of vertical drains is how far apart they may be for the
clay to reach a degree of consolidation within the time the programme allows.
`design_drains` runs the analysis (the engine, layers, large strain, creep, the staged
loading) once per spacing through the sweep's machinery, on Dask, and reads off each
run the average degree of consolidation under the design load over time,

    U(t) = 1 - u_bar(t)/q,

``u_bar`` the excess pore pressure averaged over the column and ``q`` the design load
(the largest of the loading's stages: a surcharge removed later does not count), the time at which it first reaches the target and the settlement at the date
given. Every run is a pure function of its spacing and is placed by it, so the table
is the same bit for bit whatever the number of workers or the order runs finish in.
"""
from __future__ import annotations

import dataclasses
import math
import os
import time
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import xarray as xr

from . import __version__, plots
from ._batches import Failure, run_batches
from ._dataset import CONVENTIONS
from ._files import replacing, write_netcdf
from ._simulate import Plan, plan
from ._stages import _first_reach, _mean_u
from ._sweep import _run_tasks
from ._units import to_unit
from .drains import hansbo_mu
from .errors import ParameterError
from .model import Loading, Profile

__all__ = ["design_drains", "DrainDesign"]

# Output times per tenfold time: the time to the target is read between two of them (in
# sqrt(t)), so they are twice as dense as an analysis's default.
POINTS_PER_DECADE = 20


def _design_stage(loading: Loading) -> int:
    """The stage of the design load: the largest load, the last stage that applies it
    (a surcharge removed later leaves the degree under the load that consolidated the
    clay, not a negative excess pore pressure under the smaller one)."""
    loads = np.asarray(loading.loads, dtype=np.float64)
    return int(np.nonzero(loads == loads.max())[0][-1])


def _kept(p: Plan, res: Mapping[str, Any]) -> dict:
    """What a drain design keeps of one run: the settlement and the degree of
    consolidation under the design load over time (0 first)."""
    q = float(p.loading.loads[_design_stage(p.loading)])
    ubar = _mean_u(np.asarray(res["u_element"]), np.asarray(res["z"]))
    return {"settlement": np.array(res["settlement"], dtype=np.float64),
            "degree": 1.0 - ubar / q}


def _outcomes(tasks: Sequence[Any]) -> list:
    """The runs of a batch of (profile, loading, times, options), each kept as `_kept`
    or a Failure saying why it failed; a module-level function of its tasks alone."""
    return [Failure.of(out) if isinstance(out, Exception) else out
            for out in _run_tasks(tasks, keep=_kept, caller="design_drains")]


_LABELS: dict[str, dict] = {
    "spacing": {"units": "m", "long_name": "centre-to-centre spacing of the drains"},
    "time": {"units": "days", "long_name": "time", "standard_name": "time"},
    "degree": {"units": "1", "long_name": "average degree of consolidation under the final "
               "load, 1 - u_bar/q"},
    "settlement": {"units": "m", "long_name": "settlement of the surface", "positive": "down"},
    "time_to_target": {"units": "day", "long_name": "time at which the degree of "
                       "consolidation first reaches the target (NaN: not within the "
                       "analysis)"},
    "mu": {"units": "1", "long_name": "Hansbo's factor of the drains' geometry and smear"},
    "settlement_within": {"units": "m", "long_name": "settlement of the surface at the "
                          "date the target is to be met by", "positive": "down"},
    "meets_target": {"units": "1", "long_name": "the target reached by the date (1) or "
                     "not (0)"},
}


class DrainDesign:
    """The runs of a drain design, one per spacing.

    Attributes
    ----------
    dataset : xarray.Dataset
        Dimensions ``spacing`` and ``time``: ``degree`` and ``settlement`` over time,
        ``time_to_target``, ``settlement_within``, ``meets_target`` and ``status`` ("ok"
        or why the run failed) per spacing; attributes ``target``, ``within`` and
        ``widest_spacing`` (NaN when no spacing meets the target).
    """

    def __init__(self, dataset: xr.Dataset) -> None:
        self.dataset = dataset

    @property
    def widest_spacing(self) -> float:
        """The widest spacing whose run reaches the target by `within`, m; NaN if none."""
        return float(self.dataset.attrs["widest_spacing"])

    def __repr__(self) -> str:
        return (f"<pelorin.DrainDesign: {self.dataset.sizes['spacing']} spacings, widest "
                f"meeting the target {self.widest_spacing:g} m>")

    def table(self) -> Any:
        """Per spacing: time to the target (days), settlement at `within` (mm), whether
        the target is met and the run's status (pandas.DataFrame)."""
        import pandas as pd
        ds = self.dataset
        return pd.DataFrame({
            "time_to_target_d": ds["time_to_target"].values,
            "settlement_within_mm": ds["settlement_within"].values * 1000.0,
            "mu": ds["mu"].values,
            "meets_target": ds["meets_target"].values.astype(bool),
            "status": ds["status"].values}, index=pd.Index(ds["spacing"].values,
                                                           name="spacing_m"))

    def summary(self) -> str:
        """The table as text, with the widest spacing meeting the target."""
        ds = self.dataset
        target, within = ds.attrs["target"], ds.attrs["within"]
        lines = [str(ds.attrs.get("title") or "Drain design"), "",
                 f"target: U = {target:g} under the design load by {within:g} days",
                 f"the profile's {ds.attrs['drains']} (at each spacing instead)", "",
                 f"{'spacing [m]':>11}  {'mu':>6}  {'time to U = ' + format(target, 'g') + ' [d]':>20}"
                 f"  {'settlement at ' + format(within, 'g') + ' d [mm]':>26}  meets"]
        for row in self.table().itertuples():
            if row.status != "ok":
                lines.append(f"{row.Index:11.4g}  failed: {row.status}")
                continue
            t = "-" if math.isnan(row.time_to_target_d) else f"{row.time_to_target_d:.4g}"
            lines.append(f"{row.Index:11.4g}  {row.mu:6.3f}  {t:>20}  "
                         f"{row.settlement_within_mm:26.1f}  "
                         f"{'yes' if row.meets_target else 'no'}")
        lines.append("")
        w = self.widest_spacing
        lines.append(f"widest spacing meeting the target: {w:g} m" if math.isfinite(w)
                     else "no spacing meets the target")
        return "\n".join(lines)

    def to_netcdf(self, path: Union[str, os.PathLike]) -> None:
        """Write the Dataset to NetCDF, whole or not at all."""
        write_netcdf(self.dataset, path)

    def to_csv(self, path: Union[str, os.PathLike]) -> None:
        """Write `table` as CSV, whole or not at all."""
        with replacing(path) as tmp:
            with open(tmp, "w") as f:
                f.write(f"# pelorin {__version__}: drain design, target U = "
                        f"{self.dataset.attrs['target']:g} by "
                        f"{self.dataset.attrs['within']:g} days\n")
                self.table().to_csv(f)

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """The degree of consolidation against log time for every spacing, the target
        and its date marked (`pelorin.plots.plot_drain_design`)."""
        return plots.plot_drain_design(self, path)


def _spacings(values: Any) -> np.ndarray:
    try:
        s = np.array([to_unit(v, "m", "design_drains", "spacings") for v in values],
                     dtype=np.float64)
    except (TypeError, ValueError):
        raise ParameterError("design_drains", "spacings", "must be a list of spacings in m; "
                             f"got {values!r}") from None
    if s.ndim != 1 or s.size == 0 or not np.all(np.isfinite(s)) or np.any(s <= 0.0):
        raise ParameterError("design_drains", "spacings", "must be one or more finite "
                             f"spacings in m, all greater than 0; got {values!r}")
    if np.unique(s).size != s.size:
        raise ParameterError("design_drains", "spacings", f"must not repeat a spacing; got "
                             f"{values!r}")
    return s


def design_drains(profile: Profile, loading: Loading, spacings: Sequence[float],
                  target: float = 0.9, within: Any = None, *,
                  times: Optional[Sequence[float]] = None,
                  points_per_decade: int = POINTS_PER_DECADE, client: Any = None,
                  scheduler: Optional[str] = None, processes: Optional[bool] = None,
                  workers: Optional[int] = None, host: str = "127.0.0.1",
                  batch_size: Optional[int] = None, progress: bool = True,
                  title: str = "", **options: Any) -> DrainDesign:
    """Run a profile on its drains at each of `spacings` and find the widest that
    consolidates the soil to `target` by `within`.

    Parameters
    ----------
    profile : Profile
        The profile with its drains (`Profile(drains=Drains(...))`): their pattern,
        size, smear, discharge capacity, depth, installation and vacuum serve at every
        spacing.
    loading : Loading
        The loading of every run; its largest load is the design load ``q``.
    spacings : sequence of float
        The spacings to run, m (a drain and its smear zone must fit in each).
    target : float, default 0.9
        The average degree of consolidation under the design load, ``1 - u_bar/q``
        (``u_bar`` the excess pore pressure averaged over the column), in (0, 1).
    within : float
        The date it is to be reached by, days from the start of the analysis (or with
        a unit, ``"6 months"``); the settlement is also reported at it.
    times, points_per_decade
        Output times shared by all runs; by default the analysis's grid at 20 points
        per tenfold time, with `within` among them.
    client, scheduler, processes, workers, host, batch_size, progress
        As for `pelorin.sweep`: by default an embedded local Dask cluster over this
        machine's cores; ``scheduler="synchronous"`` runs here without Dask.
    title : str, optional
    **options
        Passed to the engine (e.g. ``rtol``).

    Returns
    -------
    DrainDesign
        ``.dataset`` (degree and settlement over time per spacing, time to the
        target, settlement at `within`), ``.widest_spacing``, ``.table()``,
        ``.summary()``, ``.plot()``.

    Examples
    --------
    >>> design = pelorin.design_drains(profile, loading, [1.0, 1.5, 2.0, 2.5],
    ...                                target=0.9, within=180.0)      # doctest: +SKIP
    >>> design.widest_spacing                                        # doctest: +SKIP
    """
    if not isinstance(profile, Profile):
        raise ParameterError("design_drains", "profile", "must be a Profile")
    if profile.drains is None:
        raise ParameterError("design_drains", "profile", "has no drains: give it the drains "
                             "to space (Profile(drains=pelorin.Drains(...)))")
    if not isinstance(loading, Loading):
        raise ParameterError("design_drains", "loading", "must be a Loading")
    if not max(loading.loads) > 0.0:
        raise ParameterError("design_drains", "loading", "must apply a load greater than 0 "
                             "(the degree of consolidation is of the largest)")
    if isinstance(target, bool) or not isinstance(target, (int, float)) \
            or not 0.0 < target < 1.0:
        raise ParameterError("design_drains", "target", "must lie in (0, 1) (an average "
                             f"degree of consolidation); got {target!r}")
    if within is None:
        raise ParameterError("design_drains", "within", "must be given: the date in days the "
                             "target is to be reached by")
    within = to_unit(within, "day", "design_drains", "within")
    if isinstance(within, bool) or not isinstance(within, (int, float)) \
            or not math.isfinite(within) or not within > 0.0:
        raise ParameterError("design_drains", "within", f"must be a time in days greater "
                             f"than 0; got {within!r}")
    within = float(within)
    s = _spacings(spacings)
    # Every spacing's drains, checked here (a smear zone beyond the cell names its spacing).
    profiles = []
    for x in s:
        try:
            drains = dataclasses.replace(profile.drains, spacing=float(x))
        except ParameterError as err:
            raise ParameterError("design_drains", "spacings", f"{x:g} m: {err}") from None
        profiles.append(dataclasses.replace(profile, drains=drains))

    # The first spacing's run, here: it fixes the output times shared by all runs and
    # measures the cost of one.
    first = plan(profiles[0], loading, times, points_per_decade, options,
                 caller="design_drains")
    grid = np.asarray(first.time, dtype=np.float64)
    if within > grid[-1] * (1.0 + 1e-12):
        raise ParameterError("design_drains", "within", f"({within:g} days) is after the end "
                             f"of the analysis ({grid[-1]:g} days)")
    if times is None and not np.any(np.isclose(grid, within, rtol=1e-12, atol=0.0)):
        grid = np.union1d(grid, [within])
        first = plan(profiles[0], loading, grid, points_per_decade, options,
                     caller="design_drains")
    start = time.perf_counter()
    head = _outcomes([first])[0]
    cost = time.perf_counter() - start
    items = [(p, loading, grid, options) for p in profiles[1:]]
    if processes is None:
        cores = workers or os.cpu_count() or 1
        processes = cost * len(items) / cores > 10.0
    kwargs: dict = dict(client=client, batch_size=batch_size, seconds_per_item=cost,
                        processes=processes, workers=workers, progress=progress,
                        desc="spacings", batched=True, host=host)
    if scheduler == "synchronous":
        kwargs["synchronous"] = True
    else:
        kwargs["scheduler"] = scheduler
    outcomes = [head] + (run_batches(_outcomes, items, **kwargs) if items else [])
    return DrainDesign(_gather(outcomes, s, np.concatenate((np.zeros(1), grid)), target,
                               within, profile, loading, title))


def _reach(time: np.ndarray, degree: np.ndarray, target: float, loading: Loading) -> float:
    """The time the degree under the design load first reaches `target`, from the last
    stage's start on (before it the load is not yet the final one), interpolated in
    sqrt(t) from the start as t90 is; NaN if never.  At the start the stage's load
    change is carried by the pore water at once."""
    k = _design_stage(loading)
    ts = float(loading.times[k])
    end = float(loading.times[k + 1]) if k + 1 < len(loading.times) else time[-1]
    j0 = int(np.argmin(np.abs(time - ts)))
    j1 = int(np.argmin(np.abs(time - end)))
    U0 = float(degree[j0])
    if ts > 0.0:
        loads = loading.loads
        U0 -= (loads[k] - (loads[k - 1] if k else 0.0)) / loads[k]
    tt = np.concatenate((np.zeros(1), time[j0 + 1:j1 + 1] - ts))
    return ts + _first_reach(tt, np.concatenate(([U0], degree[j0 + 1:j1 + 1])), target)


def _gather(outcomes: list, spacings: np.ndarray, time: np.ndarray, target: float,
            within: float, profile: Profile, loading: Loading, title: str) -> xr.Dataset:
    n = len(outcomes)
    degree = np.full((n, time.size), np.nan)
    settlement = np.full((n, time.size), np.nan)
    status = np.empty(n, dtype=object)
    for i, out in enumerate(outcomes):
        if isinstance(out, Failure):
            status[i] = str(out)
            continue
        status[i] = "ok"
        degree[i], settlement[i] = out["degree"], out["settlement"]
    ok = status == "ok"
    reach = np.array([_reach(time, degree[i], target, loading) if ok[i] else math.nan
                      for i in range(n)])
    at = np.array([np.interp(within, time, settlement[i]) if ok[i] else math.nan
                   for i in range(n)])
    meets = ok & (reach <= within * (1.0 + 1e-12))
    widest = float(spacings[meets].max()) if meets.any() else math.nan
    ds = xr.Dataset(coords={"spacing": spacings, "time": time})
    ds["degree"] = (("spacing", "time"), degree, _LABELS["degree"])
    ds["settlement"] = (("spacing", "time"), settlement, _LABELS["settlement"])
    ds["time_to_target"] = (("spacing",), reach, _LABELS["time_to_target"])
    ds["mu"] = (("spacing",), np.array([hansbo_mu(dataclasses.replace(
        profile.drains, spacing=float(x)).n, profile.drains.smear_ratio,
        profile.drains.smear_permeability_ratio) for x in spacings]), _LABELS["mu"])
    ds["settlement_within"] = (("spacing",), at, _LABELS["settlement_within"])
    ds["meets_target"] = (("spacing",), meets.astype(np.int8), _LABELS["meets_target"])
    ds["status"] = (("spacing",), status.astype(str),
                    {"long_name": "outcome of the run: ok, or why it failed"})
    for name in ("spacing", "time"):
        ds[name].attrs.update(_LABELS[name])
    ds.attrs.update(title=title, target=float(target), within=float(within),
                    widest_spacing=widest, drains=profile.drains.describe(),
                    source="pelorin.design_drains", pelorin_version=__version__,
                    history=f"pelorin {__version__}: design_drains",
                    Conventions=CONVENTIONS)
    return ds
