"""Run a profile under a loading: `simulate`, and its default time grid."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

import numpy as np

from .mesh import Column, check_history, column, drainage_code, load_history
from .model import Loading, ParameterError, Profile

if TYPE_CHECKING:
    from .result import Result

__all__ = ["simulate", "time_grid"]

FIRST_FRACTION = 1e-4   # first output time after a stage, as a fraction of the time scale


def time_grid(stage_times: Sequence[float], end: float, first: float | Sequence[float],
              points_per_decade: int = 10, equal_steps: int = 4) -> np.ndarray:
    """Output times of an analysis, days.

    After every stage start (and from 0 when the first stage starts later)
    the times are log-spaced, `points_per_decade` per tenfold time since the
    stage start, from `first` after it (at most a hundredth of the stage's
    length) to the next stage, whose start is itself an output time.  The
    last stage ends with `equal_steps` equal steps up to `end`.

    Parameters
    ----------
    stage_times : sequence of float
        Stage start times, increasing, each below `end`.
    end : float
        Last output time.
    first : float or sequence of float
        Time from a stage start to its first output time, > 0; one for all
        stages or one per stage.
    points_per_decade : int, default 10
    equal_steps : int, default 4

    Returns
    -------
    ndarray
        Increasing times > 0, containing every stage start > 0 and `end`.

    Examples
    --------
    >>> time_grid([0.0, 100.0], 1000.0, first=0.1, points_per_decade=2)[:4]
    array([0.1       , 0.31622777, 1.        , 3.16227766])
    """
    starts = [float(t) for t in stage_times] or [0.0]
    firsts = ([float(f) for f in first] if isinstance(first, Sequence)
              else [float(first)] * len(starts))
    if len(firsts) != len(starts) or not all(f > 0.0 for f in firsts):
        raise ValueError(f"first must be positive, one for all stages or one per stage; "
                         f"got {first!r}")
    if starts[0] > 0.0:
        starts.insert(0, 0.0)
        firsts.insert(0, firsts[0])
    ends = starts[1:] + [float(end)]
    pieces = []
    for k, (ts, te, first_k) in enumerate(zip(starts, ends, firsts)):
        span = te - ts
        f = min(first_k, span / 100.0)
        n = max(int(math.ceil(points_per_decade * math.log10(span / f) - 1e-9)), 1)
        pts = ts + np.geomspace(f, span, n + 1)
        pts[-1] = te
        if k == len(starts) - 1 and equal_steps > 0:
            # The last fifth of the last stage in equal steps.
            d = 0.2 * span / equal_steps
            keep = pts[pts < te - (equal_steps + 0.5) * d]
            pts = np.concatenate((keep, te - d * np.arange(equal_steps, -1, -1)))
        pieces.append(pts)
    return np.concatenate(pieces)


def _nice_up(x: float) -> float:
    """x rounded up to 1, 2 or 5 times a power of ten."""
    p = 10.0 ** math.floor(math.log10(x))
    for m in (1.0, 2.0, 5.0, 10.0):
        if m * p >= x * (1 - 1e-12):
            return m * p
    return 10.0 * p


def _output_times(col: Column, profile: Profile, loading: Loading,
                  times: Optional[Sequence[float]], points_per_decade: int) -> np.ndarray:
    stage_times = np.array(loading.times)
    if times is not None:
        t = np.asarray(times, dtype=np.float64)
        if t.ndim != 1 or t.size == 0 or not np.all(np.isfinite(t)) or np.any(t <= 0.0) \
                or np.any(np.diff(t) <= 0.0):
            raise ParameterError("simulate", "times", "must be increasing output times in "
                                 "days, all greater than 0")
        end = float(t[-1]) if loading.end is None else float(loading.end)
        if loading.end is not None and not math.isclose(t[-1], end):
            raise ParameterError("simulate", "times", f"must end at the loading's end "
                                 f"({end:g} days); got {t[-1]:g}")
        if stage_times[-1] >= end:
            raise ParameterError("simulate", "times", "must reach beyond the last stage "
                                 f"({stage_times[-1]:g} days); they end at {end:g}")
        inner = stage_times[stage_times > 0.0]
        return np.union1d(t, inner)
    # Each stage's time scale: from the initial state to the stage's load.
    scales = [col.time_scale(q, profile.drainage) for q in loading.loads]
    if loading.end is None:
        end = float(stage_times[-1]) + _nice_up((20.0 if profile.creep else 2.0) * max(scales))
    else:
        end = float(loading.end)
    return time_grid(list(loading.times), end, [FIRST_FRACTION * s for s in scales],
                     points_per_decade)


def setup(profile: Profile, loading: Loading, times: Optional[Sequence[float]],
          points_per_decade: int) -> tuple[Column, np.ndarray, float, np.ndarray, dict]:
    """Mesh, initial state, output times, load history and engine keywords of a run:
    (column, times, reference load, load factors, keywords of `pelorin.run_elements`)."""
    col = column(profile)
    check_history(profile, col)
    time = _output_times(col, profile, loading, times, points_per_decade)
    ref, lf = load_history(loading, time)
    kw = col.engine_keywords()
    kw.update(qo=profile.surcharge, dsigv=ref, time=time, loadfactor=lf,
              drainagetype=drainage_code(profile))
    return col, time, ref, lf, kw


def simulate(profile: Profile, loading: Loading, times: Optional[Sequence[float]] = None, *,
             points_per_decade: int = 10, background: Optional[bool] = None,
             progress: Optional[Callable[[float, float], Any]] = None,
             title: str = "", **options: Any) -> Result:
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
    **options
        Passed to the engine (e.g. ``rtol``).

    Returns
    -------
    Result

    Raises
    ------
    ParameterError
        A value of the profile, loading or grid cannot be used.
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
    import pelorin
    from .result import Result, build_dataset

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
    col, time, ref, lf, kw = setup(profile, loading, times, points_per_decade)
    kw.update(options)
    run_background = profile.creep if background is None else bool(background)
    end = float(time[-1])
    total = end * (2 if run_background else 1)

    def tick(offset):
        if progress is None:
            return None
        return lambda t, t_end: progress(min(offset + float(t), total), total)

    def make(ds, bg):
        # The engine's own initial state (element centres) for the closed forms.
        start = col.with_state(ds["sigv_element"].values[:, 0], ds["e_element"].values[:, 0])
        return Result(build_dataset(ds, bg, start, profile, loading, ref, title=title))

    def run(**kw):
        try:
            return pelorin.run_elements(**kw)
        except ValueError as err:   # input the checks above did not foresee
            raise ParameterError("simulate", "profile", f"cannot be run: {err}") from None

    try:
        ds = run(**kw, progress=tick(0.0))
    except (pelorin.ConvergenceError, KeyboardInterrupt) as err:
        # what was reached, as a Result, when there is more than the initial state
        partial = getattr(err, "partial", None)
        err.result = (make(partial, None)  # type: ignore[union-attr]
                      if partial is not None and partial.sizes.get("time", 0) > 1 else None)
        raise
    bg = None
    if run_background:
        try:
            bg = run(**dict(kw, loadfactor=np.zeros_like(lf)), progress=tick(end))
        except KeyboardInterrupt as err:   # the loaded run is whole; its background is not
            err.result = make(ds, None)  # type: ignore[attr-defined]
            err.result.dataset.attrs["partial"] = "interrupted before the background run ended"
            raise
    return make(ds, bg)
