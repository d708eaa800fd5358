"""What a stage's histories say: t50, t90, end of primary, creep, degrees of consolidation.

Read off the engine's arrays of a run (times from 0, node positions, settlement,
the elements' excess pore pressures) against the closed-form final primary
settlement of every stage.
"""
from __future__ import annotations

import math
from typing import Any, Callable, Mapping, Optional

import numpy as np

from .model import Loading, Profile

__all__ = ["U_EOP", "stage_analysis", "analyse"]

U_EOP = 0.98    # end of primary: 98 % of the stage's excess pore pressure dissipated


def _mean_u(u_element: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Excess pore pressure averaged over the present column, per time."""
    h = np.diff(z, axis=0)
    return np.sum(u_element * h, axis=0) / np.sum(h, axis=0)


def _first_reach(t: np.ndarray, U: np.ndarray, target: float) -> float:
    """Time (from the stage start, t[0] = 0) at which U first reaches target;
    interpolated linearly in sqrt(t), NaN when never reached."""
    hit = np.nonzero(U >= target)[0]
    if hit.size == 0:
        return math.nan
    k = int(hit[0])
    if k == 0:
        return float(t[0])
    a, b = math.sqrt(t[k - 1]), math.sqrt(t[k])
    f = (target - U[k - 1]) / (U[k] - U[k - 1])
    return float((a + f * (b - a)) ** 2)


def stage_analysis(time: np.ndarray, z: np.ndarray, s: np.ndarray, u_element: np.ndarray,
                    loading: Loading, primary: np.ndarray, creeps: bool,
                    placed: Optional[Callable[[int, np.ndarray],
                                              tuple[np.ndarray, float]]] = None
                    ) -> tuple[dict, np.ndarray, np.ndarray]:
    """Per-stage t50, t90, end of primary, settlements and creep (NaN when
    no soil creeps); the stage-relative degrees of consolidation over time.
    From the histories of a run: times (0 first), node positions, settlement
    and the elements' excess pore pressures.

    `placed(k, t)`, for a loading placed over time, submerging or changing the
    heads: the mean excess pore pressure stage k's change has raised by the times
    t (from its start) over the stage's first output time if none drained, and
    what its whole change raises to its end (the fills' submergence and the heads'
    seepage included); the degree from pore pressure is then the part of the
    excess the whole change would raise at once (with what was left of the stages
    before) that has drained, what is not placed yet counting as not drained,
    and times count from the stage's start."""
    ubar = _mean_u(u_element, z)
    U_p = np.full(time.size, np.nan)
    U_s = np.full(time.size, np.nan)
    loads = loading.loads
    rows: dict[str, list[float]] = {k: [] for k in ("t50", "t90", "t_eop", "settlement_start",
                                                    "settlement_eop", "settlement_end", "creep")}
    for k, stage in enumerate(loading.stages):
        ts = stage.time
        te = loading.stages[k + 1].time if k + 1 < len(loading.stages) else time[-1]
        j0 = int(np.argmin(np.abs(time - ts)))
        j1 = int(np.argmin(np.abs(time - te)))
        tt = np.concatenate((np.zeros(1), time[j0 + 1:j1 + 1] - ts))
        scale = max(abs(loads[k]), abs(loads[k - 1]) if k else 0.0, 1e-12)
        if placed is not None:
            # The excess the stage would hold with all of its change made at once,
            # from the state of its first output time; what it has not placed yet
            # counts as not consolidated, as in Olson's degree under a ramp.
            so_far, whole = placed(k, tt)
            before = float(ubar[j0])
            u_start = before + whole
            ub = np.concatenate((np.full(1, before), ubar[j0 + 1:j1 + 1]))
            if abs(u_start) > 1e-6 * scale:
                Up = 1.0 - (ub + whole - so_far) / u_start
            else:
                Up = np.full(tt.size, np.nan)
        else:
            if ts == 0.0:
                u_start = float(ubar[0])    # the state just after the first load
            else:   # the stage's load change is carried at once by the pore water
                u_start = float(ubar[j0]) + loads[k] - (loads[k - 1] if k else 0.0)
            ub = np.concatenate((np.full(1, u_start), ubar[j0 + 1:j1 + 1]))
            if abs(u_start) > 1e-6 * scale:
                Up = 1.0 - ub / u_start
            else:
                Up = np.full(tt.size, np.nan)
        sk = s[j0:j1 + 1]
        denom = primary[k] - s[j0]
        Us = (sk - s[j0]) / denom if abs(denom) > 1e-9 else np.full(tt.size, np.nan)
        U_p[j0 + 1:j1 + 1], U_s[j0 + 1:j1 + 1] = Up[1:], Us[1:]
        if j0 == 0 and ts == 0.0:
            U_p[0], U_s[0] = Up[0], Us[0]
        teop = _first_reach(tt, Up, U_EOP)
        s_eop = float(np.interp(teop, tt, sk)) if math.isfinite(teop) else math.nan
        rows["t50"].append(_first_reach(tt, Up, 0.5))
        rows["t90"].append(_first_reach(tt, Up, 0.9))
        rows["t_eop"].append(teop)
        rows["settlement_start"].append(float(s[j0]))
        rows["settlement_eop"].append(s_eop)
        rows["settlement_end"].append(float(s[j1]))
        rows["creep"].append(float(s[j1]) - s_eop if creeps else math.nan)
    return rows, U_p, U_s


def analyse(res: Mapping[str, Any], start: Any, profile: Profile, loading: Loading,
            time: np.ndarray, u_element: Optional[np.ndarray] = None,
            finals: Optional[tuple[np.ndarray, list]] = None,
            placed: Optional[Callable[[int, np.ndarray],
                                      tuple[np.ndarray, float]]] = None) -> dict:
    """Everything an analysis reads off a run: the stage rows, the degrees of
    consolidation over time, the final primary settlements, the time scales.
    `start` is the column from the engine's own initial state, `time` the output
    times reached (0 first); `u_element` the excess pore pressures (the engine's by
    default); `finals` the final primary settlements and each stage's changes of
    effective stress (by default those of the stages' loads); `placed` as for
    `stage_analysis`."""
    columns = time.size
    z = res["z"][:, :columns]
    if finals is None:
        primary = start.primary_settlements(loading.loads)
        loads = list(loading.loads)
    else:
        primary = finals[0]
        loads = [float(np.mean(change)) for change in finals[1]]
    u = res["u_element"] if u_element is None else u_element
    rows, U_p, U_s = stage_analysis(time, z, res["settlement"][:columns],
                                    u[:, :columns], loading, primary, profile.creep, placed)
    biggest = max(loads, key=abs)
    return dict(rows=rows, U_pore=U_p, U_settlement=U_s, primary=primary, biggest=biggest,
                time_scales=np.array([start.time_scale(q, profile.drainage) for q in loads]),
                time_scale=start.time_scale(biggest, profile.drainage))
