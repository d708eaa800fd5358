"""Run a profile under a loading: `simulate`, through a `Plan` of the run."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Optional, Sequence

import numpy as np
import xarray as xr

from ._call import EngineJob, InputError, make_job, solve
from ._column import GAMMA_W, Column, check_history, column, layer_elements, load_history
from ._dataset import add_groundwater, analysis_dataset
from ._loading import EngineLoading, engine_loading, final_changes, seepage
from ._run import physical, reached
from ._quantities import add_dates, add_strength, check_dates, check_end, check_start, set_start
from ._stages import analyse
from ._timegrid import DEFAULT_END_NOTE, output_times
from .errors import ConvergenceError, ParameterError
from .drains import add_drains, drain_keywords
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
    loads: Optional[EngineLoading] = None   # the loading in the engine's terms

    def finals(self, start: Column) -> Optional[tuple[np.ndarray, list]]:
        """The final primary settlement after each stage and each stage's change of
        effective stress, of a loading placed over time, submerging or changing the
        heads (`_loading.final_changes`); None for loads stepped at the stages'
        starts (their closed forms are the loads')."""
        if self.loads is None or not self.loads.general:
            return None
        return final_changes(start, self.loads, self.loading, self.profile.drainage,
                             self.job.gammaw)


def plan(profile: Profile, loading: Loading, times: Optional[Sequence[float]],
         points_per_decade: int, options: Mapping[str, Any],
         caller: str = "simulate", dates: Optional[Mapping[str, float]] = None,
         dates_name: tuple[str, str] = ("simulate", "report_times")) -> Plan:
    """Mesh, initial state, output times, load history and engine arguments of a run;
    ParameterError naming `caller` for an option or output times it cannot use."""
    unknown = sorted(set(options) - set(ENGINE_OPTIONS))
    if unknown:
        raise TypeError(f"{caller}() got an unexpected keyword argument {unknown[0]!r}")
    _check_heads(profile, loading)
    loads = engine_loading(profile, loading)
    try:
        col = column(profile, loading.loads)
    except InputError as err:   # no initial state the soil can have
        raise _no_state(err, profile) from None
    check_history(profile, col)
    _check_consolidation(col, profile, loading)
    if loads.general:
        _check_heave(col, profile, loading, loads)
    time = output_times(col, profile, loading, times, points_per_decade, caller)
    ends = np.array([stage.end for stage in loading.stages if stage.duration > 0.0])
    if ends.size and np.any(ends < time[-1]):   # the ends of the changes made over time
        time = np.union1d(time, ends[ends < time[-1]])
    if dates:
        late = {k: t for k, t in dates.items() if t > time[-1] * (1 + 1e-12)}
        if late:
            label = next(iter(late))
            raise ParameterError(*dates_name, f"{label!r} ({late[label]:g} days) "
                                 f"is after the end of the analysis ({time[-1]:g} days)")
        time = np.union1d(time, np.array(list(dates.values())))
    ref, lf = load_history(loading, time)
    general = None
    if loads.general:   # loads, fills and heads as functions of time; no load factors
        ref = float(max(abs(v) for v in loads.nominal.v)) or 1.0
        lf = np.zeros(time.size)
        general = loads.keywords(col.N, GAMMA_W, profile.drainage)
    kw = col.engine_keywords()
    depth = kw.pop("depth")
    kw.update(dsigv=np.full(col.N, float(ref)), ru=np.zeros(col.N))
    job = make_job(depth, kw, float(profile.surcharge), time, lf, gammaw=GAMMA_W,
                   drainagetype=DRAINAGE[profile.drainage],
                   drains=drain_keywords(profile.drains, col), loading=general, **options)
    note = DEFAULT_END_NOTE if times is None and loading.end is None and profile.creep else ""
    return Plan(profile, loading, col, time, ref, job, note, loads)


def _check_heave(col: Column, profile: Profile, loading: Loading,
                 loads: EngineLoading) -> None:
    """ParameterError naming the stage whose steady state leaves an element no
    effective stress: a base head that lifts the soil above it (the clay would heave
    or blow up, which no consolidation analysis follows)."""
    _, changes = final_changes(col, loads, loading, profile.drainage, GAMMA_W)
    for k, change in enumerate(changes):
        low = col.sigv0 + change
        bad = np.flatnonzero(~(low > 0.0))
        if bad.size:
            stage = loading.stages[k]
            name = f"stages[{k}]" + (".base_head" if stage.base_head is not None else "")
            z = 0.5 * (col.depth[bad[0]] + col.depth[bad[0] + 1])
            raise ParameterError("Loading", name, f"would leave no effective stress at "
                                 f"{z:.4g} m depth once the pore pressures settle "
                                 f"({low[bad[0]]:.4g} kPa): the soil would heave; it must "
                                 "stay above 0", index=k,
                                 key="base_head" if stage.base_head is not None else "time")


def _check_heads(profile: Profile, loading: Loading) -> None:
    """ParameterError naming the stage whose base head a profile sealed at the base
    cannot hold."""
    if profile.drainage != "top":
        return
    for i, stage in enumerate(loading.stages):
        if stage.base_head is not None:
            raise ParameterError("Loading", f"stages[{i}].base_head", "needs a profile "
                                 "drained at the bottom (drainage \"both\" or \"bottom\"): "
                                 "a sealed base holds no head of an aquifer; the profile is "
                                 "drained at the top only", index=i, key="base_head")


def _owner(profile: Profile, i: int) -> str:
    layer = profile.layers[i]
    return "Layer" + (f" {layer.name!r}" if layer.name else f" #{i + 1}")


def _no_state(err: InputError, profile: Profile) -> ParameterError:
    """The engine's refusal of a column's initial state, naming the layer (or the
    profile's base head, whose seepage leaves no effective stress)."""
    if err.parameter == "initial_boundary":
        return ParameterError("Profile", "base_head", f"lifts the soil: {err}; the head "
                              "in the aquifer below must leave every depth an effective "
                              f"stress above 0; got {profile.base_head:g} m")
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


def stage_inputs(plan: Plan, res: Mapping[str, Any], start: Column, time: np.ndarray
                 ) -> tuple[np.ndarray, Optional[np.ndarray], Optional[tuple], Optional[Callable]]:
    """What the stage analysis of a run needs beyond the engine's arrays: the steady
    seepage pressure at the nodes, and for a loading placed over time, submerging or
    changing the heads the elements' excess pore pressure over it, the final primary
    settlements and stress changes (`Plan.finals`) and what each stage places
    (`_placed`); None for loads stepped at the stages' starts."""
    columns = time.size
    seep = seepage(res, columns, plan.profile.drainage)
    finals = plan.finals(start)
    if finals is None:
        return seep, None, None, None
    u_element = res["u_element"][:, :columns] - 0.5 * (seep[:-1] + seep[1:])
    return seep, u_element, finals, _placed(plan, res, seep, time)


def _placed(plan: Plan, res: Mapping[str, Any], seep: np.ndarray, time: np.ndarray
            ) -> Callable[[int, np.ndarray], tuple[np.ndarray, float]]:
    """For the degree of consolidation of each stage: what the mean excess pore
    pressure would gain from the stage's first output time by times t from its start
    if none drained, and by the end of its change: the load as the stages give it,
    less the rise of the mean steady seepage pressure.  (The load a fill loses as it
    settles into the water lowers the excess as drainage does: the degree from pore
    pressure counts it as dissipated.)"""
    columns = time.size
    z = res["z"][:, :columns]
    h = np.diff(z, axis=0)
    mean_seep = np.sum(0.5 * (seep[:-1] + seep[1:]) * h, axis=0) / np.sum(h, axis=0)
    nominal = plan.loads.nominal if plan.loads is not None else None

    def gain(t: np.ndarray) -> np.ndarray:
        # An output time shows the state before a change made there at once, but t = 0
        # the state after it (the engine's first column).
        load = np.array([nominal.right(x) if x == 0.0 else nominal.left(x)  # type: ignore
                         for x in t])
        return load - np.interp(t, time, mean_seep)

    def placed(k: int, tt: np.ndarray) -> tuple[np.ndarray, float]:
        stage = plan.loading.stages[k]
        start = gain(np.array([stage.time]))[0]
        so_far = gain(stage.time + tt) - start
        # The end of its change: after it, at the first output time that shows it.
        te = min(stage.end, float(time[-1]))
        j = min(int(np.searchsorted(time, te)) + (te == stage.time > 0.0), time.size - 1)
        end = nominal.right(te) - mean_seep[j] - start   # type: ignore[union-attr]
        return so_far, float(end)
    return placed


def run_plan(plan: Plan, job: EngineJob, caller: str) -> dict:
    """The engine's arrays of one run of a plan; ParameterError for input it refuses."""
    try:
        return solve(job)
    except InputError as err:
        raise refused(err, plan, caller) from None


def result_of(plan: Plan, res: Mapping[str, Any], background: Optional[Mapping[str, Any]],
              title: str, dates: Optional[Mapping[str, float]] = None,
              day0: Optional[str] = None) -> Result:
    """The Result of a plan's run (and of its background run); `day0`, the calendar date
    of day 0 when there is one."""
    columns = int(res["columns"])
    time = np.r_[0.0, plan.time][:columns]
    # The engine's own initial state (element centres) for the closed forms.
    start = plan.column.with_state(res["sigv_element"][:, 0], res["e_element"][:, 0])
    job = plan.job
    seep, u_element, finals, placed = stage_inputs(plan, res, start, time)
    analysis = analyse(res, start, plan.profile, plan.loading, time, u_element, finals,
                       placed)
    ds = analysis_dataset(res, background, start, plan.profile, plan.loading,
                          plan.reference_load, plan.time, job.loadfactor, job.gammaw,
                          job.rtol, analysis, title)
    loads = plan.loads
    if loads is not None:
        level = loads.water_level(time)
        head = plan.profile.base_head + loads.base(time)
    else:
        level = np.full(columns, plan.profile.water_level)
        head = np.full(columns, plan.profile.base_head)
    given = acting = None
    if finals is not None and loads is not None:
        # As given: at a change made at once, an output time shows the load before it
        # (the load of the step that ends there), as the load factors do; at t = 0 the
        # first step's.
        given = np.array([loads.nominal.right(t) if t == 0.0 else loads.nominal.left(t)
                          for t in time])
        acting = np.asarray(res["load"])
    add_groundwater(ds, seep, job.gammaw, level, head, given, acting)
    ds["stage_duration"] = xr.Variable("stage", np.array([st.duration for st in
                                                         plan.loading.stages]),
                                       dict(units="day", long_name="time over which the "
                                            "stage's change is made"))
    ds.attrs["general_loading"] = int(finals is not None)
    if plan.end_note:
        ds.attrs["end_note"] = plan.end_note
    add_strength(ds, plan.profile)
    add_drains(ds, plan.profile.drains, job.drains, res)
    if dates:
        reached_dates = {k: t for k, t in dates.items() if t <= time[-1]}
        if reached_dates:
            add_dates(ds, reached_dates)
    if day0:
        set_start(ds, day0)
    return Result(ds)


def simulate(profile: Profile, loading: Loading, times: Optional[Sequence[float]] = None, *,
             points_per_decade: int = 10, background: Optional[bool] = None,
             progress: Optional[Callable[[float, float], Any]] = None,
             title: str = "", report_times: Optional[Mapping[str, float]] = None,
             start_date: Any = None, **options: Any) -> Result:
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
        The stages: loads and fills (wide: the same stress change at every
        depth), at once or over a duration, the fills submerging as they
        settle into the water, and changes of the water level above the
        profile and of the head below it.
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
    title : str or None, optional
        A title for tables, files and plots.

    Each argument is checked for its kind: a `background` other than True,
    False or None, `times` given as a text, a `title` that is not text
    raise ParameterError naming them, a `progress` that cannot be called
    TypeError.
    report_times : mapping of str to float, optional
        Named dates in days, e.g. ``{"end of construction": 400, "opening":
        450, "design life": 36500}``: added to the output times; the result
        then gives the settlement and both degrees of consolidation at each
        date and the residual settlement from each date to the design life
        (the date labelled "design life", else the last), in its summary,
        Dataset (dimension ``date``) and CSV.  Without an `end` of the
        loading, the analysis runs at least to the last date.  The same as
        the loading's `dates` (`Loading(..., dates=...)`): give them once,
        or both alike.
    start_date : str or datetime.date, optional
        The calendar date of day 0, e.g. ``"2027-03-01"``: the result's time
        coordinate then has the CF units "days since 2027-03-01" (xarray
        decodes it as dates from the NetCDF file; in the Result it stays in
        days), and the summary and report give the calendar date of the
        stages, the end and the report dates.  The analysis must end before
        2262-04-11, the last date NetCDF readers decode.
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
        raise TypeError(f"simulate: progress must be callable as progress(done, total), or "
                        f"None; got {type(progress).__name__}")
    if background is not None and not isinstance(background, (bool, np.bool_)):
        raise ParameterError("simulate", "background", "must be True, False or None (by "
                             "default: when a layer creeps); got "
                             f"{background!r} (a {type(background).__name__})")
    if isinstance(times, (str, bytes)):
        raise ParameterError("simulate", "times", "must be a sequence of output times in "
                             f"days, not a text; got {times!r}")
    if title is None:
        title = ""
    elif not isinstance(title, str):
        raise ParameterError("simulate", "title", "must be text or None; got "
                             f"{type(title).__name__}")
    start = check_start(start_date)
    dates = check_dates(report_times)
    dates_name = ("simulate", "report_times")
    if loading.dates is not None:   # the same dates, held by the loading
        if dates is not None and dates != loading.dates:
            raise ParameterError("simulate", "report_times", f"must agree with the loading's "
                                 f"dates when both are given; got {dates} and "
                                 f"{dict(loading.dates)} (give them once)")
        dates, dates_name = dict(loading.dates), ("Loading", "dates")
    if dates and loading.end is None and times is None:
        last = max(dates.values())
        default_end = float(output_times(column(profile), profile, loading, None,
                                         points_per_decade)[-1])
        if last > default_end:
            loading = dataclasses.replace(loading, end=last)
    p = plan(profile, loading, times, points_per_decade, options, dates=dates,
             dates_name=dates_name)
    run_background = profile.creep if background is None else bool(background)
    end = float(p.time[-1])
    if start:   # refused before the runs when its dates cannot be written
        check_end(start, end)
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
            err.result = result_of(p, part, None, title, None, start)  # type: ignore[attr-defined]
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
            err.result = result_of(p, res, None, title, dates, start)
        raise
    bg = None
    if run_background:
        # Of the background run only its settlement is used (and the states that
        # `reached` checks): the other histories are not made.
        bg_job = p.job.unloaded().replace(progress=tick(end),
                                          keep=("settlement", "e_element", "k_element"))
        try:
            bg = reached(run_plan(p, bg_job, "simulate"), bg_job)
        except KeyboardInterrupt as err:   # the loaded run is whole; its background is not
            part = result_of(p, res, None, title, dates, start)
            part.dataset.attrs["partial"] = "interrupted before the background run ended"
            err.result = part  # type: ignore[attr-defined]
            raise
    return result_of(p, res, bg, title, dates, start)
