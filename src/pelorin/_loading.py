"""A loading in the engine's terms: loads in kPa, fills that submerge, heads at the ends.

The stages of a `Loading` become, for the engine:

* one load in kPa on every element, piecewise linear in time (the `load` stages, the
  fills that do not submerge, and what a removal takes off beyond the fills' own
  weight);
* a fill per `fill` stage that submerges, each with its height over time and the
  water level above its own base (the water level above the profile less the heights
  of the fills under it: a fill placed on another first submerges once the one below
  is under water);
* the pore pressure at a drained base, from the stages' `base_head` (m of water above
  hydrostatic under the water level), relative to the initial state; the initial
  state's head (`Profile.base_head`) as the engine's initial steady seepage.

Free water above the profile changes the pore pressure and the total stress alike
(``gammaw`` per metre) and leaves the effective stresses as they are: the engine does
not see it, but the fills' submergence, and the Dataset adds it to the hydrostatic
pore pressure and the total stress.
"""
from __future__ import annotations

import bisect
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence

import numpy as np

from .model import Loading, Profile

__all__ = ["Ramp", "EngineLoading", "engine_loading", "steady_pressure"]


class Ramp:
    """A piecewise-linear function of time through corners (time non-decreasing; a
    time repeated is a jump: the value just before, then just after); constant before
    the first corner and after the last."""

    def __init__(self, value: float = 0.0, times: Sequence[float] = (0.0,),
                 values: Optional[Sequence[float]] = None):
        self.t = [float(x) for x in times]
        self.v = [float(value)] * len(self.t) if values is None else [float(x) for x in values]

    @property
    def last(self) -> float:
        return self.v[-1]

    def change(self, t0: float, t1: float, value: float) -> None:
        """From its value at t0 (after the corners so far) linearly to `value` at t1."""
        if t0 < self.t[-1]:
            raise ValueError("changes of one quantity must follow one another in time")
        if value == self.v[-1]:
            return
        if t0 > self.t[-1]:
            self.t.append(t0)
            self.v.append(self.v[-1])
        self.t.append(t1)
        self.v.append(float(value))

    def right(self, t: float) -> float:
        """The value just after t."""
        return self._at(t, bisect.bisect_right)

    def left(self, t: float) -> float:
        """The value just before t."""
        return self._at(t, bisect.bisect_left)

    def _at(self, t: float, side: Callable[[list, float], int]) -> float:
        """The value at t on the piece `side` (a bisection) finds: at a jump, the
        piece after it (bisect_right) or before it (bisect_left)."""
        i = side(self.t, t)
        if i == 0:
            return self.v[0]
        if i == len(self.t):
            return self.v[-1]
        t0, t1 = self.t[i - 1], self.t[i]
        return self.v[i - 1] + (self.v[i] - self.v[i - 1]) * (t - t0) / (t1 - t0)

    def __call__(self, t: Any) -> np.ndarray:
        """The values just after the times `t`."""
        return np.array([self.right(float(x)) for x in np.atleast_1d(t)])

    def combined(self, others: Sequence["Ramp"], signs: Sequence[float]) -> "Ramp":
        """self + sum(sign * other), corner by corner (jumps kept)."""
        ramps = [self, *others]
        weights = [1.0, *signs]
        times = sorted(set(x for r in ramps for x in r.t))
        out_t: list[float] = []
        out_v: list[float] = []
        for x in times:
            lo = sum(w * r.left(x) for r, w in zip(ramps, weights))
            hi = sum(w * r.right(x) for r, w in zip(ramps, weights))
            out_t.append(x)
            out_v.append(lo)
            if hi != lo:
                out_t.append(x)
                out_v.append(hi)
        return Ramp(times=out_t, values=out_v)

    def engine(self) -> dict:
        """The engine's {"time", "value"} of it."""
        return {"time": np.array(self.t), "value": np.array(self.v)}

    def constant(self) -> bool:
        return all(x == self.v[0] for x in self.v)


@dataclass
class _Fill:
    height: Ramp
    unit_weight: float
    saturated: float
    submerged: bool
    stage: int


@dataclass
class EngineLoading:
    """What the engine takes of a loading, with what the analysis reads of it.

    `kpa`: the load in kPa on every element over time; `fills`: the fills that
    submerge (height, unit weights, and the water level above each one's base);
    `water_level`: above the profile, m; `base`: the change of pore pressure at a
    drained base (kPa) from the initial state; `initial_base`: the initial one (kPa
    above hydrostatic); `nominal`: the load on the surface as given (kPa, without
    submergence)."""

    kpa: Ramp
    fills: list
    water_level: Ramp
    base: Ramp
    initial_base: float
    nominal: Ramp
    general: bool = False
    corners: list = field(default_factory=list)

    def keywords(self, n: int, gammaw: float, drainage: str) -> dict:
        """The engine's loads, fills, boundary and initial_boundary keywords."""
        kw: dict[str, Any] = {}
        if not self.kpa.constant() or self.kpa.last != 0.0:
            kw["loads"] = [dict(dsigv=np.ones(n), **self.kpa.engine())]
        if self.fills:
            kw["fills"] = [dict(time=np.array(f.height.t), height=np.array(f.height.v),
                                unit_weight=f.unit_weight, saturated_unit_weight=f.saturated,
                                water_level=level.engine())
                           for f, level in self.fills]
        if not self.base.constant():
            r = self.base
            kw["boundary"] = {"bottom": {"time": np.array(r.t),
                                         "value": gammaw * np.array(r.v)}}
        if self.initial_base != 0.0:
            kw["initial_boundary"] = {"bottom": gammaw * self.initial_base}
        return kw


def engine_loading(profile: Profile, loading: Loading) -> EngineLoading:
    """The loading of a profile in the engine's terms (see the module)."""
    kpa = Ramp()
    nominal = Ramp()
    level = Ramp(profile.water_level)
    head = Ramp(profile.base_head)
    bodies: list[_Fill] = []
    for k, stage in enumerate(loading.stages):
        t0, t1 = stage.time, stage.end
        if stage.water_level is not None:
            level.change(t0, t1, stage.water_level)
        if stage.base_head is not None:
            head.change(t0, t1, stage.base_head)
        if stage.load is not None:           # the fills go; the load takes their place
            for body in bodies:
                body.height.change(t0, t1, 0.0)
            kpa.change(t0, t1, stage.load)
            nominal.change(t0, t1, stage.load)
        elif stage.fill is not None:
            nominal.change(t0, t1, nominal.last + stage.fill * stage.unit_weight)
            if stage.fill > 0.0:
                height = Ramp()
                height.change(t0, t1, stage.fill)
                saturated = stage.saturated_unit_weight
                bodies.append(_Fill(height, stage.unit_weight,
                                    stage.unit_weight if saturated is None else saturated,
                                    stage.submerged, k))
            else:
                # Taken off the top, fill by fill; what the removal's weight differs
                # from that of the fills it takes (or takes beyond them) is a load.
                left = -stage.fill
                correction = -left * stage.unit_weight
                for body in reversed(bodies):
                    h = body.height.last
                    if left <= 0.0 or h <= 0.0:
                        continue
                    take = min(left, h)
                    body.height.change(t0, t1, h - take)
                    correction += take * body.unit_weight
                    left -= take
                if correction != 0.0:
                    kpa.change(t0, t1, kpa.last + correction)
    fills = []
    below: list[Ramp] = []
    for body in bodies:
        if body.submerged:
            fills.append((body, level.combined(below, [-1.0] * len(below))))
        else:
            kpa = kpa.combined([body.height], [body.unit_weight])
        below.append(body.height)
    base = Ramp(times=head.t, values=[v - profile.base_head for v in head.v])
    corners = sorted(set(kpa.t + level.t + head.t
                         + [x for b in bodies for x in b.height.t]))
    # Loads stepped at the stages' starts, and nothing else, run as the engine's one
    # load by load factors, as they always have.
    general = bool(fills) or profile.base_head != 0.0 or not head.constant() \
        or any(stage.duration > 0.0 for stage in loading.stages)
    return EngineLoading(kpa, fills, level, base, profile.base_head, nominal, general,
                         corners)


def submerged_load(fills: list, s: float, t: float, gammaw: float) -> float:
    """The load of the fills that submerge at time t with the top settled by s, kPa:
    ``g*H - (g - gs + gammaw)*clamp(hw + s, 0, H)`` each."""
    q = 0.0
    for body, level in fills:
        h = body.height.right(t)
        d = min(max(level.right(t) + s, 0.0), h)
        q += body.unit_weight * h - (body.unit_weight - body.saturated + gammaw) * d
    return q


def steady_pressure(resistance: np.ndarray, top: Any, bottom: Any, drainage: str) -> np.ndarray:
    """The steady pore pressure at the nodes (above hydrostatic, kPa) between the
    pressures at the ends: through a column drained at both ends the flux is the
    same in every element, so the pressure falls in each element by its share of the
    resistance (1 + e) dxi / k = dz / k (Darcy); a column drained at one end only
    holds that end's pressure everywhere.  `resistance` is (N,) or (N, times), `top`
    and `bottom` a number or one per time."""
    r = np.asarray(resistance, dtype=np.float64)
    top = np.asarray(top, dtype=np.float64)
    bottom = np.asarray(bottom, dtype=np.float64)
    shape = (r.shape[0] + 1,) + r.shape[1:]
    if drainage == "top":
        return np.broadcast_to(top, shape).copy()
    if drainage == "bottom":
        return np.broadcast_to(bottom, shape).copy()
    cum = np.concatenate((np.zeros((1,) + r.shape[1:]), np.cumsum(r, axis=0)), axis=0)
    share = cum / cum[-1]
    return top + (bottom - top) * share


def final_changes(col: Any, eload: EngineLoading, loading: Loading, drainage: str,
                  gammaw: float) -> tuple[np.ndarray, list]:
    """The final primary settlement after every stage's change (m) and the change of
    effective stress it brings each element ((N,) kPa, from the initial state).

    Each stage's state once the pore pressures have settled: the loads in kPa and
    the fills as they stand at the end of its change, the fills' submergence by the
    settlement itself (the root of s = S(q(s)), S the compression law's settlement
    under the loads, which grows with the load while q(s) falls with s: one root,
    found by bisection), and the steady seepage of the base's head by the
    elements' initial resistances.  The stress each stage brings raises the
    preconsolidation stress for the stages after it (`Column.primary_settlements`)."""
    h = col.thickness
    p = col.soil
    k0 = p["kref"] * 10.0 ** ((col.e0 - p["ekref"]) / p["Ck"])
    resistance = h / k0
    pc = col.pc0.copy()
    out: list[float] = []
    changes: list[np.ndarray] = []
    total = float(np.sum(h))

    def settle(dsig: np.ndarray) -> float:
        s = np.maximum(col.sigv0 + dsig, 1e-6 * col.sigv0)
        e = col.e_at(s, pc)
        return float(np.sum(h * (col.e0 - e) / (1.0 + col.e0)))

    for stage in loading.stages:
        te = stage.end
        base = gammaw * eload.base.right(te)
        node = steady_pressure(resistance, 0.0, base, drainage)
        fixed = eload.kpa.right(te) - 0.5 * (node[:-1] + node[1:])
        if eload.fills:
            def excess(s: float) -> float:
                return settle(fixed + submerged_load(eload.fills, s, te, gammaw)) - s
            lo, hi = -total, total
            for _ in range(100):
                mid = 0.5 * (lo + hi)
                if excess(mid) > 0.0:
                    lo = mid
                else:
                    hi = mid
                if hi - lo <= 1e-12 * max(1.0, abs(mid)):
                    break
            s_final = 0.5 * (lo + hi)
            dsig = fixed + submerged_load(eload.fills, s_final, te, gammaw)
        else:
            dsig = fixed
        out.append(settle(dsig))
        changes.append(dsig)
        pc = np.maximum(pc, col.sigv0 + dsig)
    return np.array(out), changes


def seepage(res: Any, columns: int, drainage: str) -> np.ndarray:
    """The steady seepage pore pressure (above hydrostatic, kPa) at the nodes of a
    run's output columns, between the pressures the engine held at the drained ends
    then, by the elements' resistances dz/k at the time (zeros without heads)."""
    z = np.asarray(res["z"])[:, :columns]
    zeros = np.zeros(columns)
    top = np.asarray(res.get("boundary_top", zeros), dtype=np.float64)[:columns]
    bottom = np.asarray(res.get("boundary_bottom", zeros), dtype=np.float64)[:columns]
    if not (np.any(top != 0.0) or np.any(bottom != 0.0)):
        return np.zeros_like(z)
    k = np.asarray(res["k_element"])[:, :columns]
    with np.errstate(all="ignore"):
        return steady_pressure(np.diff(z, axis=0) / k, top, bottom, drainage)
