"""Many runs of one model: uncertain soil parameters (Monte Carlo) or many boreholes.

`sweep` draws the uncertain parameters of a profile from their distributions (or takes an
explicit list of cases), runs every sample as an independent engine run on Dask, and
gathers the results into one labelled Dataset with percentiles of settlement over time,
of t90 and of the final settlement. Samples are drawn up front from the seed and every
result is stored by its sample number, so a sweep gives the same numbers bit for bit
whatever the number of workers, the batch size or the order in which runs finish.
"""
from __future__ import annotations

import dataclasses
import os
import re
import threading
import time as _time
import warnings
from collections import Counter
from typing import Any, Callable, Mapping, Optional, Sequence, Union

import numpy as np
import xarray as xr

from . import __version__, plots
from ._dataset import CONVENTIONS
from ._files import write_netcdf
from ._batches import Failure, run_batches
from ._call import InputError, solve_many
from ._distributions import Distribution, draw
from ._run import reached
from ._simulate import Plan, plan, refused, stage_inputs
from ._stages import stage_analysis
from ._text import sweep_html, sweep_summary
from .errors import ParameterError
from .model import LAYER_PARAMETERS, SOIL_PARAMETERS, Loading, Profile

__all__ = ["sweep", "SweepResult", "PERCENTILES"]

PERCENTILES = (10.0, 50.0, 90.0)


# ---------------------------------------------------------------- one run ----------

def _kept(p: Plan, res: Mapping[str, Any]) -> dict:
    """The quantities a sweep keeps of one run."""
    start = p.column.with_state(res["sigv_element"][:, 0], res["e_element"][:, 0])
    time = np.r_[0.0, p.time]
    _, u_element, finals, placed = stage_inputs(p, res, start, time)
    primary = start.primary_settlements(p.loading.loads) if finals is None else finals[0]
    rows, _, _ = stage_analysis(time, res["z"], res["settlement"],
                                res["u_element"] if u_element is None else u_element,
                                p.loading, primary, p.profile.creep, placed)
    return {"settlement": np.array(res["settlement"], dtype=np.float64),
            "t50": np.array(rows["t50"]), "t90": np.array(rows["t90"]),
            "primary": primary, "creep": np.array(rows["creep"])}


def _plan(task: tuple) -> Plan:
    profile, loading, times, options = task
    return plan(profile, loading, times, 10, options, caller="sweep")


# The Python around the runs of one process's threads takes turns as a whole. Left to
# the GIL alone (which changes hands within NumPy calls and every 5 ms) both threads
# would do their Python parts at the same time, a core idle, and then stay in step;
# taking turns, one thread's Python runs while the other's engine does.
_PYTHON_PHASE = threading.Lock()
# Runs per engine call: the engine runs them one after the other without the GIL, and
# the Python before and after them takes its turn once (about 16 ms of engine work for
# a column of 40 elements).
RUNS_PER_CALL = 8


def _run_tasks(tasks: Sequence[Any],
               keep: Optional[Callable[[Plan, Mapping[str, Any]], Any]] = None,
               caller: str = "sweep") -> list:
    """The quantities a sweep keeps of every task of a batch (a Plan, or the profile,
    loading, output times and engine options of one), or the exception it fails with (a task that already is a
    Failure stays one). The engine runs a few of them per call, without the GIL in
    between. `keep` reads a run's quantities (by default a sweep's)."""
    def kept(p: Plan, res: Any) -> dict:
        if isinstance(res, InputError):
            raise refused(res, p, caller)
        if isinstance(res, Exception):
            raise res
        reached(res, p.job)
        return (keep or _kept)(p, res)

    out: list = list(tasks)
    todo = [i for i, task in enumerate(tasks) if not isinstance(task, Failure)]
    ran: list = []
    for at in range(0, len(todo) + RUNS_PER_CALL, RUNS_PER_CALL):
        with _PYTHON_PHASE:   # the last calls' results, then the next calls' input
            for (i, p), res in ran:
                try:
                    out[i] = kept(p, res)
                except Exception as exc:
                    out[i] = exc
            ready = []
            for i in todo[at:at + RUNS_PER_CALL]:
                try:
                    task = tasks[i]
                    ready.append((i, task if isinstance(task, Plan) else _plan(task)))
                except Exception as exc:
                    out[i] = exc
        try:
            results = solve_many([p.job for _, p in ready]) if ready else []
        except Exception as exc:   # e.g. out of memory: these runs fail, not the batch
            results = [exc] * len(ready)
        ran = list(zip(ready, results))
    return out


def _outcomes(tasks: Sequence[Any]) -> list:
    """`_run_tasks` with every failure recorded as a Failure. A module-level function of
    its tasks alone, so Dask can ship it anywhere."""
    return [Failure.of(out) if isinstance(out, Exception) else out
            for out in _run_tasks(tasks)]


# ------------------------------------------------------------ parameters ----------

def _layer_index(profile: Profile, name: str) -> int:
    names = [layer.name for layer in profile.layers]
    if name in names:
        if names.count(name) > 1:
            raise ParameterError("sweep", "vary", f"layer name {name!r} is not unique in the "
                                 "profile; give the layers distinct names")
        return names.index(name)
    m = re.fullmatch(r"(?:layer\s*)?(\d+)", name.strip())
    if m and 1 <= int(m.group(1)) <= len(names):
        return int(m.group(1)) - 1
    raise ParameterError("sweep", "vary", f"no layer {name!r} in the profile (layers: "
                         f"{', '.join(repr(n) for n in names)}, or 'layer 1' ... "
                         f"'layer {len(names)}' from the top)")


def _targets(profile: Profile, keys: Sequence[str]) -> list:
    """(layer index, field) of every uncertain parameter key: 'clay.Cc', 'layer 2.kref', or
    'Cc' alone when the profile has one layer."""
    out = []
    for key in keys:
        layer, _, field = key.rpartition(".")
        if field not in SOIL_PARAMETERS + LAYER_PARAMETERS:
            raise ParameterError("sweep", "vary", f"{key!r}: cannot vary {field!r}; a soil "
                                 f"parameter ({', '.join(SOIL_PARAMETERS)}) or a layer's "
                                 f"{', '.join(LAYER_PARAMETERS)}")
        if not layer:
            if len(profile.layers) != 1:
                raise ParameterError("sweep", "vary", f"{key!r}: name the layer, as "
                                     f"'<layer>.{field}' (the profile has "
                                     f"{len(profile.layers)} layers)")
            index = 0
        else:
            index = _layer_index(profile, layer)
        if field in LAYER_PARAMETERS[1:] and getattr(profile.layers[index], field) is None:
            raise ParameterError("sweep", "vary", f"{key!r}: the layer's stress history is "
                                 f"given as {profile.layers[index].history[0]}, not {field}")
        out.append((index, field))
    return out


def _with_values(profile: Profile, targets: list, values: Sequence[float]) -> Profile:
    """The profile with the given parameters replaced (checked on construction)."""
    layers = list(profile.layers)
    for index in sorted({i for i, _ in targets}):
        soil_kw = {f: float(v) for (i, f), v in zip(targets, values)
                   if i == index and f in SOIL_PARAMETERS}
        layer_kw = {f: float(v) for (i, f), v in zip(targets, values)
                    if i == index and f in LAYER_PARAMETERS}
        layer = layers[index]
        soil = dataclasses.replace(layer.soil, **soil_kw) if soil_kw else layer.soil
        layers[index] = dataclasses.replace(layer, soil=soil, **layer_kw)
    return dataclasses.replace(profile, layers=layers)


def _sample_task(base: Profile, loading: Loading, times: np.ndarray, options: dict,
                 targets: list, values: Sequence[float]) -> tuple:
    return (_with_values(base, targets, values), loading, times, options)


def _run_samples(samples: Sequence[tuple]) -> list:
    """A batch of Monte Carlo samples: build each sample's profile (invalid values fail
    here, recorded with their reason) and run them."""
    tasks: list = []
    for sample in samples:
        try:
            tasks.append(_sample_task(*sample))
        except Exception as exc:
            tasks.append(Failure.of(exc))
    return _outcomes(tasks)


# ----------------------------------------------------------------- results ----------

class SweepResult:
    """The runs of a sweep, labelled.

    Attributes
    ----------
    dataset : xarray.Dataset
        Dimension ``sample`` (Monte Carlo) or ``case`` (explicit cases), ``time``,
        ``stage`` and ``percentile``. Per run: ``settlement`` (run x time), ``t50``,
        ``t90``, ``primary`` (run x stage), ``final_settlement``, ``status`` ("ok" or why
        the run failed) and the value of every uncertain parameter. Over the runs that
        succeeded: ``settlement_percentiles`` (percentile x time), ``t90_percentiles``,
        ``final_settlement_percentiles``, ``primary_percentiles``. The deterministic run
        (the base profile) as ``settlement_deterministic``.
    """

    def __init__(self, dataset: xr.Dataset) -> None:
        self.dataset = dataset

    @property
    def dim(self) -> str:
        return "sample" if "sample" in self.dataset.dims else "case"

    @property
    def failures(self) -> Counter:
        """How many runs failed, by reason (numbers in messages replaced by '#')."""
        status = [str(s) for s in self.dataset["status"].values if str(s) != "ok"]
        return Counter(re.sub(r"-?\d+(\.\d+)?(e[-+]?\d+)?", "#", s) for s in status)

    def __repr__(self) -> str:
        n = self.dataset.sizes[self.dim]
        partial = ", partial" if self.dataset.attrs.get("partial") else ""
        return (f"<pelorin.SweepResult: {n} {self.dim}s, {sum(self.failures.values())} "
                f"failed{partial}>")

    def _repr_html_(self) -> str:
        """The summary for a notebook: counts, failures and percentiles."""
        return sweep_html(self.dataset, self.dim, self.failures)

    def summary(self) -> str:
        """A text table: counts, failures and their reasons, and percentiles."""
        return sweep_summary(self.dataset, self.dim, self.failures)

    def percentiles_frame(self) -> Any:
        """Settlement percentiles against time (pandas.DataFrame, columns in m)."""
        ds = self.dataset
        frame = ds["settlement_percentiles"].to_pandas().T
        frame.columns = [f"settlement_P{q:g}_m" for q in ds["percentile"].values]
        frame["settlement_deterministic_m"] = ds["settlement_deterministic"].values
        frame.index.name = "time_d"
        return frame

    def to_netcdf(self, path: Union[str, os.PathLike]) -> None:
        """Write the Dataset to a NetCDF file (a temporary file renamed over `path` once
        complete). The sampled parameters' variables are named for other programs
        (``upper_soft_clay__kref`` for ``"upper soft clay.kref"``), the parameter kept in
        their attribute ``parameter``."""
        ds = self.dataset
        names: dict[str, str] = {}
        for key in ds.data_vars:
            if "parameter" in ds[key].attrs and re.search(r"[^A-Za-z0-9_]", str(key)):
                name = re.sub(r"[^A-Za-z0-9_]+", "_", str(key).replace(".", "__")).strip("_")
                while name in ds.variables or name in names.values():
                    name += "_"
                names[str(key)] = name
        write_netcdf(ds.rename(names), path)

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """Settlement against log time: the P10-P90 band and the median of the runs, with
        the deterministic run drawn over it. Returns the matplotlib Figure (saved to
        `path` when given; see `pelorin.plots.plot_band`)."""
        return plots.plot_band(self, path)


def _gather(outcomes: list, names: Sequence[Any], dim: str, times: np.ndarray,
            stages: int) -> xr.Dataset:
    n = len(outcomes)
    settlement = np.full((n, times.size), np.nan)
    per_stage = {k: np.full((n, stages), np.nan) for k in ("t50", "t90", "primary", "creep")}
    status = np.empty(n, dtype=object)
    for i, out in enumerate(outcomes):
        if isinstance(out, Failure):
            status[i] = str(out)
            continue
        status[i] = "ok"
        settlement[i] = out["settlement"]
        for k in per_stage:
            per_stage[k][i] = out[k]
    ds = xr.Dataset(coords={dim: names, "time": times, "stage": np.arange(1, stages + 1),
                            "percentile": np.array(PERCENTILES)})
    ds["settlement"] = ((dim, "time"), settlement, _SWEEP_LABELS["settlement"])
    for k, v in per_stage.items():
        ds[k] = ((dim, "stage"), v, _SWEEP_LABELS[k])
    ds["final_settlement"] = ((dim,), settlement[:, -1], _SWEEP_LABELS["final_settlement"])
    ds["status"] = ((dim,), status.astype(str), {"long_name": "outcome of the run: ok, or "
                                                              "why it failed"})
    ok = status == "ok"
    q = np.array(PERCENTILES)
    with warnings.catch_warnings():   # a stage no run completes: NaN percentiles
        warnings.simplefilter("ignore", RuntimeWarning)

        def pct(a: np.ndarray) -> np.ndarray:
            if not ok.any():
                return np.full((q.size,) + a.shape[1:], np.nan)
            return np.nanpercentile(a[ok], q, axis=0)
        for key, values in (("settlement", settlement), ("t90", per_stage["t90"]),
                            ("primary", per_stage["primary"]),
                            ("final_settlement", settlement[:, -1])):
            label = dict(_SWEEP_LABELS[key])
            label["long_name"] += ": percentiles over the runs that ran"
            ds[key + "_percentiles"] = (("percentile",) + ds[key].dims[1:], pct(values), label)
    for name in (dim, "time", "stage", "percentile"):
        ds[name].attrs.update(_SWEEP_LABELS[name if name in _SWEEP_LABELS else "run"])
    if dim == "case":
        ds[dim].attrs["long_name"] = "case (borehole)"
        if ds[dim].dtype.kind not in "iu":     # named cases
            del ds[dim].attrs["units"]
    ds.attrs["failed"] = int((~ok).sum())
    ds.attrs["Conventions"] = CONVENTIONS
    return ds


# Units of the parameters a sweep can vary (the rest are ratios).
_PARAMETER_UNITS = {"kref": "m/s", "sigvref": "kPa", "tref": "day", "thickness": "m",
                    "pc": "kPa"}
# Units and long names of a sweep's variables (CF conventions).
_SWEEP_LABELS: dict[str, dict] = {
    "time": {"units": "days", "long_name": "time", "standard_name": "time"},
    "run": {"units": "1", "long_name": "sample number"},
    "stage": {"units": "1", "long_name": "stage number (1 first)"},
    "percentile": {"units": "percent", "long_name": "percentile over the runs"},
    "settlement": {"units": "m", "long_name": "settlement of the surface", "positive": "down"},
    "final_settlement": {"units": "m", "long_name": "settlement at the end of the analysis",
                         "positive": "down"},
    "t50": {"units": "day", "long_name": "time from the stage start to 50 % consolidation"},
    "t90": {"units": "day", "long_name": "time from the stage start to 90 % consolidation"},
    "primary": {"units": "m", "long_name": "final primary settlement under the stage's load",
                "positive": "down"},
    "creep": {"units": "m", "long_name": "settlement from the end of primary to the end of "
                                         "the stage", "positive": "down"},
}


# ------------------------------------------------------------------- sweep ----------

def sweep(profile: Optional[Profile] = None, loading: Optional[Loading] = None, *,
          vary: Optional[Mapping[str, Distribution]] = None, samples: int = 100, seed: int = 0,
          correlation: Optional[Any] = None,
          cases: Optional[Union[Mapping[str, Any], Sequence[Any]]] = None,
          times: Optional[Sequence[float]] = None, points_per_decade: int = 10,
          client: Any = None, scheduler: Optional[str] = None,
          processes: Optional[bool] = None, workers: Optional[int] = None,
          host: str = "127.0.0.1", batch_size: Optional[int] = None, progress: bool = True, title: str = "",
          **options: Any) -> SweepResult:
    """Run one profile many times with uncertain parameters, or many profiles, on Dask.

    Parameters
    ----------
    profile : Profile
        The base profile: the deterministic run, and the values of every parameter not
        varied. With `cases`, optional (the first case serves).
    loading : Loading
        The loading of every run.
    vary : mapping of str to distribution, optional
        The uncertain parameters: keys ``"<layer>.<parameter>"`` (layer by name, or
        ``"layer 2"`` counting from the top; the layer may be left out when the profile
        has one layer), parameters of the layer's Soil (``Cc``, ``kref``, ``Ca`` ...) or
        of the Layer (``thickness``, ``ocr``, ``pc``, ``e0``); values `pelorin.Normal`,
        `pelorin.LogNormal` or `pelorin.Uniform`.
    samples : int, default 100
        Number of Monte Carlo samples.
    seed : int, default 0
        Seed of the sampling: the same seed gives the same samples and results.
    correlation : (n, n) array, optional
        Correlation of the uncertain parameters (in the order of `vary`), imposed on
        their underlying normal variates.
    cases : sequence or mapping of Profile, optional
        Instead of sampling: one profile per case (borehole), named by the mapping's
        keys or numbered from 1.
    times : sequence of float, optional
        Output times (days) shared by all runs; by default the grid `simulate` makes for
        the base profile.
    client : distributed.Client, optional
        Run on this Dask client (an existing cluster of many machines).
    scheduler : str, optional
        Address of a Dask scheduler (``"tcp://host:8786"``) to connect to; or
        ``"synchronous"`` to run in this process without Dask (for debugging).
    processes, workers : optional
        The embedded local cluster used when neither `client` nor `scheduler` is given,
        over `workers` cores (default: all). Threads start at once and scale as well as
        processes here (the engine runs without the GIL, and the Python around the runs
        takes turns); worker processes take 0.6-0.9 s to start and isolate a worker that
        fails. By default threads for sweeps of under ten seconds of work per core,
        processes above.
    host : str, default "127.0.0.1"
        The interface the embedded local cluster listens on: this machine only, unless
        another is asked for. A scheduler or client without workers makes the sweep
        give up after a minute (`pelorin._batches.NoWorkersError`, a TimeoutError).
    batch_size : int, optional
        Runs per Dask task; by default batches shrink from about 0.4 s of work to 0.025 s
        as the sweep goes on, so the workers finish together.
    progress : bool, default True
        A progress bar on standard error; Ctrl-C cancels the outstanding runs.
    title : str, optional
    **options
        Passed to the engine (e.g. ``rtol``).

    Returns
    -------
    SweepResult
        ``result.dataset`` holds every run and the percentiles; ``result.summary()``
        says how many runs failed and why.

    Examples
    --------
    >>> import pelorin
    >>> clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, Ca=0.02,
    ...                     name="clay")
    >>> profile = pelorin.Profile([pelorin.Layer(clay, 10.0, ocr=1.2)], surcharge=10.0)
    >>> loading = pelorin.Loading([pelorin.Stage(0.0, load=100.0)], end=10000.0)
    >>> mc = pelorin.sweep(profile, loading, samples=1000, seed=1,
    ...                    vary={"clay.kref": pelorin.LogNormal(1e-9, sigma_log10=0.5),
    ...                          "clay.Cc": pelorin.Normal(0.5, cov=0.2)})  # doctest: +SKIP
    >>> print(mc.summary())                                                 # doctest: +SKIP
    """
    if loading is None or not isinstance(loading, Loading):
        raise ParameterError("sweep", "loading", "must be a Loading")
    if cases is not None and vary:
        raise ParameterError("sweep", "cases", "give either cases or vary, not both")
    if cases is not None:
        if isinstance(cases, Mapping):
            names: list = [str(k) for k in cases]
            profiles = list(cases.values())
        else:
            profiles = list(cases)
            names = list(range(1, len(profiles) + 1))
        if not profiles:
            raise ParameterError("sweep", "cases", "must hold at least one profile")
        bad = [n for n, p in zip(names, profiles) if not isinstance(p, Profile)]
        if bad:
            raise ParameterError("sweep", "cases", f"must be Profiles; case {bad[0]!r} is not")
        base = profile if profile is not None else profiles[0]
    else:
        if not isinstance(profile, Profile):
            raise ParameterError("sweep", "profile", "must be a Profile")
        if not vary:
            raise ParameterError("sweep", "vary", "name at least one uncertain parameter "
                                 "(or give cases)")
        base = profile

    # The deterministic run, a batch of one, fixes the output times and measures the
    # cost of one run.
    base_plan = plan(base, loading, times, points_per_decade, options, caller="sweep")
    grid = np.asarray(base_plan.time, dtype=np.float64)
    start = _time.perf_counter()
    det = _run_tasks([base_plan])[0]
    if isinstance(det, BaseException):
        raise det
    cost = _time.perf_counter() - start

    fn: Callable[[Any], list]
    items: list[tuple]
    if cases is not None:
        dim = "case"
        fn = _outcomes
        items = [(p, loading, grid, options) for p in profiles]
        values = {}
    else:
        dim = "sample"
        names = list(range(int(samples)))
        values = draw(vary, samples, seed, correlation)  # type: ignore[arg-type]
        targets = _targets(base, list(values))
        fn = _run_samples
        items = [(base, loading, grid, options, targets,
                  tuple(float(values[k][i]) for k in values)) for i in range(len(names))]

    if processes is None:
        cores = workers or os.cpu_count() or 1
        processes = cost * len(items) / cores > 10.0
    kwargs: dict = dict(client=client, batch_size=batch_size, seconds_per_item=cost,
                        processes=processes, workers=workers, progress=progress, desc=dim + "s",
                        batched=True, host=host)
    if scheduler == "synchronous":
        kwargs["synchronous"] = True
    else:
        kwargs["scheduler"] = scheduler

    n_stages = len(loading.stages)

    def labelled(outcomes: list) -> SweepResult:
        ds = _gather(outcomes, names, dim, np.concatenate((np.zeros(1), grid)), n_stages)
        for key, v in values.items():
            unit = _PARAMETER_UNITS.get(key.rsplit(".", 1)[-1], "1")
            ds[key] = ((dim,), np.asarray(v), {"long_name": f"sampled {key}", "units": unit,
                                               "parameter": key})
        ds["settlement_deterministic"] = ("time", det["settlement"], {
            "units": "m", "long_name": "settlement of the surface in the run of the base "
            "profile", "positive": "down"})
        ds.attrs.update(title=title, seed=int(seed) if cases is None else -1,
                        seconds_per_run=cost, source="pelorin.sweep",
                        pelorin_version=__version__, history=f"pelorin {__version__}: sweep")
        if vary:
            ds.attrs["distributions"] = "; ".join(f"{k} ~ {d!r}" for k, d in vary.items())
        return SweepResult(ds)

    try:
        outcomes = run_batches(fn, items, **kwargs)
    except KeyboardInterrupt as err:
        # the runs finished before it, as a result marked partial
        finished = getattr(err, "partial_results", None)
        if finished is not None:
            done = sum(r is not None for r in finished)
            part = labelled([Failure("Interrupted", "not run") if r is None else r
                             for r in finished])
            part.dataset.attrs["partial"] = (f"{done} of {len(finished)} {dim}s finished "
                                             "before the interrupt")
            err.result = part  # type: ignore[attr-defined]
        raise
    return labelled(outcomes)
