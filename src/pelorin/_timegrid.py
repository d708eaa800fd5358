"""The output times of an analysis: log-spaced after every stage start."""
from __future__ import annotations

import math
from typing import Optional, Sequence

import numpy as np

from ._column import Column
from .errors import ParameterError
from .model import Loading, Profile

__all__ = ["time_grid", "output_times", "default_end", "DEFAULT_END_NOTE"]

FIRST_FRACTION = 1e-4   # first output time after a stage, as a fraction of the time scale
# Terzaghi's time factor at 98 % average consolidation, the end of primary here: from the
# first term of the series, Tv = -(4/pi^2) ln(pi^2 (1 - U)/8) (Terzaghi, Theoretical Soil
# Mechanics, 1943, ch. XIV).
TV_EOP = -4.0 / math.pi ** 2 * math.log(math.pi ** 2 * (1.0 - 0.98) / 8.0)
CREEP_CYCLES = 2            # log cycles of creep after the end of primary
LONGEST_DEFAULT = 36525.0   # days: an analysis runs to 100 years unless asked for longer
DEFAULT_END_NOTE = ("default end: the end of primary consolidation of the slowest stage "
                    "after the last one's start plus two log cycles of creep, rounded up, at "
                    "most 100 years; [run] end (Loading(end=...)) sets another")


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


def default_end(last_start: float, scale: float, creep: bool) -> float:
    """The end of an analysis no one gave (days): twice the time scale after the last
    stage's start without creep; with creep the end of primary (`TV_EOP` times the
    scale) and `CREEP_CYCLES` log cycles more, rounded up, and at most `LONGEST_DEFAULT`
    (after the last stage's start, for stages placed later than that)."""
    if not creep:
        return last_start + _nice_up(2.0 * scale)
    cap = LONGEST_DEFAULT if last_start < LONGEST_DEFAULT else last_start + LONGEST_DEFAULT
    return min(last_start + _nice_up(TV_EOP * scale * 10.0 ** CREEP_CYCLES), cap)


def output_times(col: Column, profile: Profile, loading: Loading,
                 times: Optional[Sequence[float]], points_per_decade: int,
                 caller: str = "simulate") -> np.ndarray:
    """The output times of a run (days): `times` checked, with the stage starts added,
    or the default grid from each stage's time scale; ParameterError naming `caller`."""
    stage_times = np.array(loading.times)
    if times is not None:
        t = np.asarray(times, dtype=np.float64)
        if t.ndim != 1 or t.size == 0 or not np.all(np.isfinite(t)) or np.any(t <= 0.0) \
                or np.any(np.diff(t) <= 0.0):
            raise ParameterError(caller, "times", "must be increasing output times in "
                                 "days, all greater than 0")
        end = float(t[-1]) if loading.end is None else float(loading.end)
        if loading.end is not None and not math.isclose(t[-1], end):
            raise ParameterError(caller, "times", f"must end at the loading's end "
                                 f"({end:g} days); got {t[-1]:g}")
        if stage_times[-1] >= end:
            raise ParameterError(caller, "times", "must reach beyond the last stage "
                                 f"({stage_times[-1]:g} days); they end at {end:g}")
        inner = stage_times[stage_times > 0.0]
        return np.union1d(t, inner)
    # Each stage's time scale: from the initial state to the stage's load.
    scales = [col.time_scale(q, profile.drainage) for q in loading.loads]
    if loading.end is None:
        # after the last change is complete (a stage placed over time)
        last = max(stage.end for stage in loading.stages)
        end = default_end(last, max(scales), profile.creep)
    else:
        end = float(loading.end)
    return time_grid(list(loading.times), end, [FIRST_FRACTION * s for s in scales],
                     points_per_decade)
