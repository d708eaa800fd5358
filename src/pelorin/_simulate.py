"""Run a profile under a loading: `simulate`, through a `Plan` of the run."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Optional, Sequence

import numpy as np

from ._call import EngineJob, InputError, make_job, solve
from ._column import GAMMA_W, Column, check_history, column, layer_elements, load_history
from ._dataset import analysis_dataset
from ._run import physical, reached
from ._quantities import add_dates, add_strength, check_dates
from ._stages import analyse
from ._timegrid import DEFAULT_END_NOTE, output_times
from .errors import ConvergenceError, ParameterError
from .model import DRAINAGE, SOIL_PARAMETERS, Loading, Profile
from .result import Result

__all__ = ["Plan", "plan", "simulate", "ENGINE_OPTIONS", "refused"]

#: The engine's options `simulate` and `sweep` pass on.
ENGINE_OPTIONS = ("rtol", "max_substeps", "max_newton")


@dataclass(frozen=True)
class Plan:
    """A run of a profile under a loading, ready for the engine.

    Attributes
    ----------
    profile, loading
        What is run.
    column : Column
        The meshed profile and its initial state.
    time : ndarray
        The output times, days (t = 0 not included).
    reference_load : float
        The load of load factor 1, kPa.
    job : EngineJob
        The engine's arguments (load factors of every step included).
    """

    profile: Profile
    loading: Loading
    column: Column
    time: np.ndarray
    reference_load: float
    job: EngineJob
    end_note: str = ""      # how the end was chosen, when no one gave it


def plan(profile: Profile, loading: Loading, times: Optional[Sequence[float]],
         points_per_decade: int, options: Mapping[str, Any],
         caller: str = "simulate", dates: Optional[Mapping[str, float]] = None) -> Plan:
    """Mesh, initial state, output times, load history and engine arguments of a run;
    ParameterError naming `caller` for an option or output times it cannot use."""
    unknown = sorted(set(options) - set(ENGINE_OPTIONS))
    if unknown:
        raise TypeError(f"{caller}() got an unexpected keyword argument {unknown[0]!r}")
    try:
        col = column(profile, loading.loads)
    except InputError as err:   # no initial state the soil can have
        raise _no_state(err, profile) from None
    check_history(profile, col)
    _check_consolidation(col, profile, loading)
    time = output_times(col, profile, loading, times, points_per_decade, caller)
    if dates:
        late = {k: t for k, t in dates.items() if t > time[-1] * (1 + 1e-12)}
        if late:
            label = next(iter(late))
            raise ParameterError(caller, "report_times", f"{label!r} ({late[label]:g} days) "
                                 f"is after the end of the analysis ({time[-1]:g} days)")
        time = np.union1d(time, np.array(list(dates.values())))
    ref, lf = load_history(loading, time)
    kw = col.engine_keywords()
    depth = kw.pop("depth")
    kw.update(dsigv=np.full(col.N, float(ref)), ru=np.zeros(col.N))
    job = make_job(depth, kw, float(profile.surcharge), time, lf, gammaw=GAMMA_W,
                   drainagetype=DRAINAGE[profile.drainage], **options)
    note = DEFAULT_END_NOTE if times is None and loading.end is None and profile.creep else ""
    return Plan(profile, loading, col, time, ref, job, note)


def _owner(profile: Profile, i: int) -> str:
    layer = profile.layers[i]
    return "Layer" + (f" {layer.name!r}" if layer.name else f" #{i + 1}")


def _no_state(err: InputError, profile: Profile) -> ParameterError:
    """The engine's refusal of a column's initial state, naming the layer."""
    counts = np.cumsum(layer_elements(profile))
    i = int(np.searchsorted(counts, (err.index or 0), side="right"))
    i = min(i, len(profile.layers) - 1)
    return ParameterError(_owner(profile, i), profile.layers[i].history[0],
                          f"gives no initial state the soil can have ({err}): its compression "
                          "line e = esigvref - Cc*log10(stress/sigvref) reaches 0 at the "
                          "layer's stress; check the history, Cc, esigvref, sigvref and the "
                          "surcharge")


def _check_consolidation(col: Column, profile: Profile, loading: Loading) -> None:
    """ParameterError naming the layer whose coefficient of consolidation is not a
    positive number under the loads (its permeability or compressibility out of reach)."""
    for q in loading.loads:
        with np.errstate(all="ignore"):
            cv = col.cv(q)
        bad = np.flatnonzero(~(np.isfinite(cv) & (cv > 0.0)))
        if bad.size:
            i = int(col.layer[bad[0]])
            raise ParameterError(_owner(profile, i), "kref", f"with Ck, Cc and the void "
                                 f"ratios of the layer gives a coefficient of consolidation "
                                 f"of {cv[bad[0]]:.3g} m2/day under {q:g} kPa: k = "
                                 "kref*10**((e - ekref)/Ck) out of reach of a number")


def refused(err: InputError, plan: Plan, caller: str) -> ParameterError:
    """The engine's refusal of a plan's input as ParameterError: a layer's parameter
    named by the layer, an option by the function it was given to."""
    parameter, index = err.parameter, err.index
    text = str(err)
    owner = caller
    layered = set(SOIL_PARAMETERS) | {"ocrvoidratio", "ocrvoidratiotype", "depth", "ru"}
    if index is not None and parameter in layered:
        layers = plan.profile.layers
        i = int(plan.column.layer[min(max(index, 0), plan.column.N - 1)])
        layer = layers[i]
        owner = "Layer" + (f" {layer.name!r}" if layer.name else f" #{i + 1}")
        if parameter.startswith("ocrvoidratio"):
            parameter = layer.history[0]
        elif parameter == "depth":
            parameter = "thickness"
    if text.startswith(err.parameter + " "):
        problem = text[len(err.parameter) + 1:]
    else:
        problem = f"cannot be used: {text}"
    return ParameterError(owner, parameter, problem)


def run_plan(plan: Plan, job: EngineJob, caller: str) -> dict:
    """The engine's arrays of one run of a plan; ParameterError for input it refuses."""
    try:
        return solve(job)
    except InputError as err:
        raise refused(err, plan, caller) from None


def result_of(plan: Plan, res: Mapping[str, Any], background: Optional[Mapping[str, Any]],
              title: str, dates: Optional[Mapping[str, float]] = None) -> Result:
    """The Result of a plan's run (and of its background run)."""
    columns = int(res["columns"])
    time = np.r_[0.0, plan.time][:columns]
    # The engine's own initial state (element centres) for the closed forms.
    start = plan.column.with_state(res["sigv_element"][:, 0], res["e_element"][:, 0])
    analysis = analyse(res, start, plan.profile, plan.loading, time)
    job = plan.job
    ds = analysis_dataset(res, background, start, plan.profile, plan.loading,
                          plan.reference_load, plan.time, job.loadfactor, job.gammaw,
                          job.rtol, analysis, title)
    if plan.end_note:
        ds.attrs["end_note"] = plan.end_note
    add_strength(ds, plan.profile)
    if dates:
        reached_dates = {k: t for k, t in dates.items() if t <= time[-1]}
        if reached_dates:
            add_dates(ds, reached_dates)
    return Result(ds)


def simulate(profile: Profile, loading: Loading, times: Optional[Sequence[float]] = None, *,
             points_per_decade: int = 10, background: Optional[bool] = None,
             progress: Optional[Callable[[float, float], Any]] = None,
             title: str = "", report_times: Optional[Mapping[str, float]] = None,
             **options: Any) -> Result:
    """Consolidation of a soil profile under a staged loading.

    Meshes the profile (a node on every layer boundary), builds the node
    arrays and the load history, makes a time grid when none is given, runs
    the engine and returns a `Result` with the labelled histories and the
    quantities of an analysis (settlement of the surface and of each layer,
    degree of consolidation, t50/t90, end of primary, creep).

    Parameters
    ----------
    profile : Profile
        The layers, drainage and surcharge.
    loading : Loading
        The load stages; a wide fill (the same stress change at every depth).
    times : sequence of float, optional
        Output times in days, increasing and > 0; stage starts are added.  By
        default: log-spaced after every stage start from 1e-4 of the
        consolidation time scale under each stage's load, restarting at
        every stage, with a few equal steps at the end.
    points_per_decade : int, default 10
        Density of the default grid.
    background : bool, optional
        Also run the profile without the load, to report the settlement the
        load causes net of the background creep.  By default: when a layer
        creeps (Ca > 0).
    progress : callable(done, total), optional
        Called as the runs advance (done and total in days of simulated
        time, both runs together).
    title : str, optional
        A title for tables, files and plots.
    report_times : mapping of str to float, optional
        Named dates in days, e.g. ``{"end of construction": 400, "opening":
        450, "design life": 36500}``: added to the output times; the result
        then gives the settlement and both degrees of consolidation at each
        date and the residual settlement from each date to the design life
        (the date labelled "design life", else the last), in its summary,
        Dataset (dimension ``date``) and CSV.  Without an `end` of the
        loading, the analysis runs at least to the last date.
    **options
        Passed to the engine: ``rtol``, ``max_substeps``, ``max_newton``.

    Returns
    -------
    Result

    Raises
    ------
    ParameterError
        A value of the profile, loading, grid or engine options cannot be used.
    pelorin.ConvergenceError
        The engine could not continue; its ``result`` attribute holds a
        `Result` of the times reached, when there are any.

    Examples
    --------
    >>> import pelorin
    >>> clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75)
    >>> profile = pelorin.Profile([pelorin.Layer(clay, thickness=10.0, ocr=1.2)],
    ...                           surcharge=10.0, drainage="both")
    >>> loading = pelorin.Loading([pelorin.Stage(0.0, load=100.0)], end=10000.0)
    >>> result = pelorin.simulate(profile, loading)
    >>> print(result.summary())                       # doctest: +SKIP
    >>> result.settlement.sel(time=1000.0, method="nearest")   # doctest: +SKIP
    """
    if not isinstance(profile, Profile):
        raise ParameterError("simulate", "profile", f"must be a Profile; got {type(profile).__name__}")
    if not isinstance(loading, Loading):
        raise ParameterError("simulate", "loading", f"must be a Loading; got {type(loading).__name__}")
    if isinstance(points_per_decade, bool) or not isinstance(points_per_decade, int) \
            or points_per_decade < 1:
        raise ParameterError("simulate", "points_per_decade", "must be a whole number of at "
                             f"least 1 (output times per tenfold time); got {points_per_decade!r}")
    low = min(loading.loads)
    if profile.surcharge + low <= 0.0:
        raise ParameterError("Loading", "stages", f"would take the effective stress at the "
                             f"top to {profile.surcharge + low:g} kPa (surcharge "
                             f"{profile.surcharge:g} plus the load {low:g}); it must stay "
                             "above 0")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable (t_reached, t_end) or None")
    if title is None:
        title = ""
    elif not isinstance(title, str):
        raise ParameterError("simulate", "title", f"must be text; got {type(title).__name__}")
    dates = check_dates(report_times)
    if dates and loading.end is None and times is None:
        last = max(dates.values())
        default_end = float(output_times(column(profile), profile, loading, None,
                                         points_per_decade)[-1])
        if last > default_end:
            loading = dataclasses.replace(loading, end=last)
    p = plan(profile, loading, times, points_per_decade, options, dates=dates)
    run_background = profile.creep if background is None else bool(background)
    end = float(p.time[-1])
    total = end * (2 if run_background else 1)

    def tick(offset: float) -> Optional[Callable[[float, float], Any]]:
        if progress is None:
            return None
        report: Callable[[float, float], Any] = progress
        return lambda t, t_end: report(min(offset + float(t), total), total)

    try:
        res = run_plan(p, p.job.replace(progress=tick(0.0)), "simulate")
    except KeyboardInterrupt as err:   # what was reached, as a Result
        part = getattr(err, "partial_run", None)
        if part is not None and int(physical(part, p.time)["columns"]) > 1:
            err.result = result_of(p, part, None, title)  # type: ignore[attr-defined]
        raise
    try:
        reached(res, p.job)
    except ConvergenceError as err:
        if err.element is not None:  # the soil layer of the element that held it back
            n = int(p.column.layer[err.element])
            name = p.profile.layers[n].name
            err.args = (f"{err.args[0]} (layer {n + 1}{f' {name!r}' if name else ''} of the "
                        "profile)",)
        if int(res["columns"]) > 1:
            err.result = result_of(p, res, None, title, dates)
        raise
    bg = None
    if run_background:
        # Of the background run only its settlement is used (and the states that
        # `reached` checks): the other histories are not made.
        bg_job = p.job.replace(loadfactor=np.zeros_like(p.job.loadfactor), progress=tick(end),
                               keep=("settlement", "e_element", "k_element"))
        try:
            bg = reached(run_plan(p, bg_job, "simulate"), bg_job)
        except KeyboardInterrupt as err:   # the loaded run is whole; its background is not
            part = result_of(p, res, None, title, dates)
            part.dataset.attrs["partial"] = "interrupted before the background run ended"
            err.result = part  # type: ignore[attr-defined]
            raise
    return result_of(p, res, bg, title, dates)
