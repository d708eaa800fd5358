"""The graphical methods of the observational method: Asaoka's and the hyperbolic.

Both read the ultimate settlement of a load stage off settlement readings alone.

- Asaoka (1978, Soils and Foundations 18(4)): settlements read at equal intervals
  follow s_k = b0 + b1*s_(k-1) once the first term of Terzaghi's series dominates
  (U above about 60 %); the ultimate settlement is the fixed point b0/(1 - b1), and
  b1 = exp(-pi^2 cv dt / (4 H^2)) gives the coefficient of consolidation for a
  drainage path H (Magnan & Deroy 1980, Bull. liaison LCPC 109).
- The hyperbolic method (Tan 1971; Sridharan, Murthy & Prakash 1987, Geotechnique
  37(2)): (t - t0)/(s - s0) is linear in t - t0, its slope the inverse of the
  settlement still to come.  On Terzaghi's curve it is straight only from about 60
  to 90 % consolidation, and there its slope gives 1.218 times the true ultimate
  settlement (Tan & Chew 1996, J. Geotech. Eng. 122(8), found the 0.82 factor; 1.218
  is the least-squares slope of Terzaghi's series over U = 0.6 to 0.9, computed in
  validation/graphical.py).  `HyperbolicFit.corrected` divides by it.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np

from .errors import ParameterError

__all__ = ["asaoka", "hyperbolic", "AsaokaFit", "HyperbolicFit", "HYPERBOLIC_BIAS"]

#: Ultimate settlement of the hyperbolic method over Terzaghi's, readings from 60 to
#: 90 % consolidation.
HYPERBOLIC_BIAS = 1.218


def _readings(owner: str, times: Any, settlements: Any, since: Optional[float],
              until: Optional[float], least: int) -> tuple[np.ndarray, np.ndarray]:
    t = np.array(times, dtype=np.float64, ndmin=1)
    s = np.array(settlements, dtype=np.float64, ndmin=1)
    if t.ndim != 1 or s.shape != t.shape:
        raise ParameterError(owner, "settlements", f"must have one value per time; got "
                             f"{s.shape} and {t.shape}")
    if not (np.all(np.isfinite(t)) and np.all(np.isfinite(s))):
        raise ParameterError(owner, "times", "and settlements must be finite")
    if np.any(np.diff(t) <= 0):
        raise ParameterError(owner, "times", "must increase strictly (days)")
    keep = np.ones(t.size, bool)
    if since is not None:
        keep &= t >= since
    if until is not None:
        keep &= t <= until
    if keep.sum() < least:
        raise ParameterError(owner, "times", f"must hold at least {least} readings in the "
                             f"window used; got {int(keep.sum())}")
    return t[keep], s[keep]


@dataclass(frozen=True)
class AsaokaFit:
    """Asaoka's construction on settlement readings.

    Attributes
    ----------
    ultimate : float
        Ultimate settlement of the stage, in the unit of the readings.
    beta0, beta1 : float
        s_k = beta0 + beta1*s_(k-1).
    interval : float
        The spacing of the readings used, days.
    cv : float
        Coefficient of consolidation, m^2/day (NaN without a drainage path).
    drainage_path : float
        The drainage path given, m (NaN when not).
    previous, current : ndarray
        The points of the plot: s_(k-1) and s_k.
    r2 : float
        Coefficient of determination of the straight line.
    """

    ultimate: float
    beta0: float
    beta1: float
    interval: float
    cv: float
    drainage_path: float
    previous: np.ndarray
    current: np.ndarray
    r2: float

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """s_k against s_(k-1), the line and the 45-degree line meeting at the ultimate
        settlement; the matplotlib Figure (saved to `path` when given)."""
        from . import plots
        return plots.plot_asaoka(self, path)


def asaoka(times: Any, settlements: Any, interval: float, *,
           drainage_path: Optional[float] = None, since: Optional[float] = None,
           until: Optional[float] = None) -> AsaokaFit:
    """Asaoka's method: the ultimate settlement and the coefficient of consolidation
    from settlement readings of one load stage.

    Parameters
    ----------
    times, settlements : array-like
        Readings (days; any unit of settlement), times increasing.
    interval : float
        Spacing in days of the equally spaced readings the method needs: the readings
        are interpolated linearly onto times ``interval`` apart from the first one on.
    drainage_path : float, optional
        Longest drainage path, m (half the layer when both faces drain), for `cv`.
    since, until : float, optional
        Use only the readings in this window (days).  The method holds once the first
        term of Terzaghi's series dominates, above about 60 % consolidation; readings
        of one stage only.

    Returns
    -------
    AsaokaFit

    Examples
    --------
    >>> t = np.arange(100.0, 1001.0, 50.0)
    >>> s = 1.0 - 0.8 * np.exp(-t / 300.0)
    >>> round(asaoka(t, s, 50.0).ultimate, 6)
    1.0
    """
    t, s = _readings("asaoka", times, settlements, since, until, 2)
    dt = float(interval) if not isinstance(interval, bool) else math.nan
    if not dt > 0 or not math.isfinite(dt):
        raise ParameterError("asaoka", "interval", f"must be a positive number of days; got "
                             f"{interval!r}")
    grid = np.arange(t[0], t[-1] + 1e-9 * dt, dt)
    if grid.size < 4:
        raise ParameterError("asaoka", "interval", f"leaves {grid.size} readings between "
                             f"{t[0]:g} and {t[-1]:g} days; at least 4 are needed")
    y = np.interp(grid, t, s)
    prev, cur = y[:-1], y[1:]
    A = np.column_stack((np.ones_like(prev), prev))
    (b0, b1), *_ = np.linalg.lstsq(A, cur, rcond=None)
    if not 0.0 < b1 < 1.0:
        raise ParameterError("asaoka", "settlements", f"do not approach a limit (slope "
                             f"beta1 = {b1:.4g}, not between 0 and 1): readings of one stage, "
                             "still settling at a decreasing rate, are needed")
    fitted = b0 + b1 * prev
    ss = float(np.sum((cur - cur.mean()) ** 2))
    r2 = 1.0 - float(np.sum((cur - fitted) ** 2)) / ss if ss > 0 else 1.0
    if drainage_path is None:
        H, cv = math.nan, math.nan
    else:
        H = float(drainage_path)
        if not H > 0:
            raise ParameterError("asaoka", "drainage_path", f"must be positive, m; got "
                                 f"{drainage_path!r}")
        cv = -4.0 * H * H * math.log(b1) / (math.pi ** 2 * dt)
    return AsaokaFit(float(b0 / (1.0 - b1)), float(b0), float(b1), dt, cv, H, prev, cur, r2)


@dataclass(frozen=True)
class HyperbolicFit:
    """The hyperbolic method on settlement readings.

    Attributes
    ----------
    ultimate : float
        s0 + 1/slope: the ultimate settlement the hyperbola tends to.
    corrected : float
        s0 + (ultimate - s0)/HYPERBOLIC_BIAS: the ultimate settlement of Terzaghi's
        theory whose 60 to 90 % readings give this hyperbola.
    slope, intercept : float
        (t - t0)/(s - s0) = intercept + slope*(t - t0).
    t0, s0 : float
        The origin: the start of the stage and the settlement then.
    time, ratio : ndarray
        The points of the plot: t - t0 and (t - t0)/(s - s0).
    r2 : float
    """

    ultimate: float
    corrected: float
    slope: float
    intercept: float
    t0: float
    s0: float
    time: np.ndarray
    ratio: np.ndarray
    r2: float

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """(t - t0)/(s - s0) against t - t0 with the straight line; the Figure."""
        from . import plots
        return plots.plot_hyperbolic(self, path)


def hyperbolic(times: Any, settlements: Any, *, t0: float = 0.0, s0: float = 0.0,
               since: Optional[float] = None, until: Optional[float] = None) -> HyperbolicFit:
    """The hyperbolic method: the ultimate settlement of a stage from its readings.

    Parameters
    ----------
    times, settlements : array-like
        Readings (days; any unit of settlement).
    t0, s0 : float
        The start of the stage (days) and the settlement then.
    since, until : float, optional
        The window of readings fitted (days): the straight part of the plot, on
        Terzaghi's curve from about 60 to 90 % consolidation.

    Returns
    -------
    HyperbolicFit
        `ultimate` is the hyperbola's own limit, which for Terzaghi consolidation lies
        about 22 % above the true one; `corrected` removes that bias.
    """
    t, s = _readings("hyperbolic", times, settlements, since, until, 3)
    dt, ds = t - float(t0), s - float(s0)
    if np.any(dt <= 0) or np.any(ds == 0):
        raise ParameterError("hyperbolic", "times", "must lie after t0, with settlements "
                             "other than s0")
    ratio = dt / ds
    slope, intercept = np.polyfit(dt, ratio, 1)
    if not slope > 0:
        raise ParameterError("hyperbolic", "settlements", f"do not approach a limit (slope "
                             f"{slope:.4g} of (t - t0)/(s - s0) against t - t0)")
    fitted = intercept + slope * dt
    ss = float(np.sum((ratio - ratio.mean()) ** 2))
    r2 = 1.0 - float(np.sum((ratio - fitted) ** 2)) / ss if ss > 0 else 1.0
    ult = float(s0) + 1.0 / slope
    return HyperbolicFit(ult, float(s0) + (ult - float(s0)) / HYPERBOLIC_BIAS, float(slope),
                         float(intercept), float(t0), float(s0), dt, ratio, r2)
