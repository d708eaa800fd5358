"""From a profile to the engine's element arrays, and what can be said before a run.

The column is meshed layer by layer so that a node lies on every layer
boundary and every element holds one soil: the interfaces are exact.  The
initial state of every element (effective stress and void ratio at its
centre) follows the column's own weight from the surcharge down; with it
come the final primary settlement of each load stage from the compression
law and an estimate of the coefficient of consolidation, which sets the time
scale of the default time grid.
"""
from __future__ import annotations

import dataclasses
import math
import warnings
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence

import numpy as np

from ._call import DEFAULTS, prepare
from .errors import ParameterError
from .model import DRAINAGE, Loading, Profile, SOIL_PARAMETERS

__all__ = ["GAMMA_W", "SECONDS_PER_DAY", "Column", "column", "DEFAULT_ELEMENTS",
           "check_history", "check_node_history", "load_history"]

GAMMA_W = DEFAULTS["gammaw"]    # kN/m^3, unit weight of water: the engine's
SECONDS_PER_DAY = 86400.0   # a permeability in m/s times this is in m/day
DEFAULT_ELEMENTS = 60       # elements the layers share when they do not say
MIN_ELEMENTS = 4            # per layer, by default
# The default mesh is refined (layers without a count of their own, twice as many elements
# each time) until the final primary settlements of the compression law change by less
# than this share: with the error falling fourfold per halving of the elements (the
# midpoint rule), the mesh's own error is then below 0.4 %.
MESH_TOLERANCE = 3e-3
MAX_DEFAULT_ELEMENTS = 4000

CODES = {"ocr": 0, "e0": 1, "pc": 2}    # how the engine reads a stress history
# Soil parameters that reach the engine through its `drains` keyword, not per element.
DRAIN_ONLY = ("kh_ratio",)


def layer_elements(profile: Profile) -> list[int]:
    """Elements of each layer: as given, else a share of DEFAULT_ELEMENTS."""
    total = profile.thickness
    return [layer.elements if layer.elements is not None
            else max(MIN_ELEMENTS, round(DEFAULT_ELEMENTS * layer.thickness / total))
            for layer in profile.layers]


@dataclass(frozen=True)
class Column:
    """The meshed profile and its state before loading, element by element
    (element c lies between nodes c and c + 1).

    Attributes
    ----------
    depth : ndarray
        Node depths below the top, m (N + 1 values).
    layer : ndarray of int
        Index of the layer of every element.
    boundaries : ndarray of int
        Node index of the top of every layer and of the bottom (layers + 1).
    soil : dict of ndarray
        Per-element soil parameters (kref in m/s, tref in days).
    code, history : ndarray
        How the stress history is given per element (0 OCR, 1 void ratio,
        2 preconsolidation stress) and its value.
    sigv0, e0, pc0 : ndarray
        Initial effective stress (kPa), void ratio and preconsolidation
        stress (kPa) at every element's centre.
    """

    depth: np.ndarray
    layer: np.ndarray
    boundaries: np.ndarray
    soil: dict
    code: np.ndarray
    history: np.ndarray
    sigv0: np.ndarray
    e0: np.ndarray
    pc0: np.ndarray

    @property
    def N(self) -> int:
        return int(self.depth.size - 1)

    @property
    def thickness(self) -> np.ndarray:
        return np.diff(self.depth)

    def e_ncl(self, s: np.ndarray) -> np.ndarray:
        """Void ratio on the normal compression line at effective stress s."""
        p = self.soil
        return p["esigvref"] - p["Cc"] * np.log10(s / p["sigvref"])

    def e_line(self, s: np.ndarray, pc: np.ndarray) -> np.ndarray:
        """Void ratio at stress s after a largest past stress pc, without
        creep: on the compression line above pc, on a swelling line below."""
        top = np.maximum(pc, s)
        return self.e_ncl(top) + self.soil["Cr"] * np.log10(top / s)

    def e_at(self, s: np.ndarray, pc: np.ndarray) -> np.ndarray:
        """As `e_line`, keeping the offset of an initial void ratio that was
        given directly below its line."""
        return self.e_line(s, pc) + (self.e0 - self.e_line(self.sigv0, self.pc0))

    def with_state(self, sigv0: np.ndarray, e0: np.ndarray) -> "Column":
        """The same column from another initial state (the engine's own)."""
        sigv0 = np.asarray(sigv0, dtype=np.float64)
        e0 = np.asarray(e0, dtype=np.float64)
        pc0 = _preconsolidation(self.soil, self.code, self.history, sigv0, e0)
        return dataclasses.replace(self, sigv0=sigv0, e0=e0, pc0=pc0)

    def engine_keywords(self) -> dict[str, Any]:
        """The per-element keywords of a run (kref in m/day)."""
        kw: dict[str, Any] = {k: np.ascontiguousarray(v, dtype=np.float64)
                              for k, v in self.soil.items() if k not in DRAIN_ONLY}
        kw["kref"] = kw["kref"] * SECONDS_PER_DAY
        kw["depth"] = self.depth.copy()
        kw["ocrvoidratiotype"] = self.code.astype(np.int32)
        kw["ocrvoidratio"] = self.history.copy()
        return kw

    def primary_settlements(self, loads: Sequence[float]) -> np.ndarray:
        """Settlement of the surface at the end of primary consolidation
        under each load in turn (a staged loading), m.

        Each load acts on the whole column (a wide fill); the stress each
        stage brings raises the preconsolidation stress for the stages after
        it.  Strains are those of the compression law without creep, summed
        over the elements (large strain: the effective stress of a soil
        particle at the end is its initial one plus the load)."""
        out = []
        pc = self.pc0.copy()
        h = self.thickness
        for q in loads:
            s = self.sigv0 + q
            e = self.e_at(s, pc)
            out.append(float(np.sum(h * (self.e0 - e) / (1.0 + self.e0))))
            pc = np.maximum(pc, s)
        return np.array(out)

    def cv(self, load: float) -> np.ndarray:
        """Coefficient of consolidation of every element under `load`,
        m^2/day (secant compressibility over the load, permeability at the
        mean void ratio of the step)."""
        q = load if abs(load) > 1e-9 * self.sigv0.max() else 1e-6 * self.sigv0.max()
        s = np.maximum(self.sigv0 + q, 1e-3 * self.sigv0)
        ef = self.e_at(s, self.pc0)
        av = np.abs(self.e0 - ef) / abs(s - self.sigv0)
        av = np.maximum(av, self.soil["Cr"] / (math.log(10.0) * np.maximum(s, self.sigv0)))
        p = self.soil
        # With k falling tenfold per Cc of void ratio (k proportional to
        # 1/stress) the mean void ratio and the secant compressibility give
        # the constant cv of the nonlinear theory within 2 % for loads up to
        # the initial stress.
        em = 0.5 * (self.e0 + ef)
        k = p["kref"] * SECONDS_PER_DAY * 10.0 ** ((em - p["ekref"]) / p["Ck"])
        return k * (1.0 + self.e0) / (av * GAMMA_W)

    def time_scale(self, load: float, drainage: str) -> float:
        """Consolidation time at time factor 1, days: each element's
        thickness is scaled by 1/sqrt(cv) (equivalent thickness) and the
        drainage path is half the column when both ends drain."""
        path = float(np.sum(self.thickness / np.sqrt(self.cv(load))))
        if drainage == "both":
            path /= 2.0
        return path * path


def initial_boundary(profile: Profile) -> Optional[dict]:
    """The engine's pore pressure held at the drained base at the start (kPa above
    hydrostatic), from the profile's base head; None without one."""
    if profile.base_head == 0.0:
        return None
    return {"bottom": GAMMA_W * profile.base_head}


def _initial_state(depth, soil, code, history, surcharge, profile=None):
    """Effective stress and void ratio at the element centres before loading: the
    engine's own initial state (the submerged weight of the solids above added from the
    surcharge down, iterated in each element because its void ratio depends on its
    stress; less the steady seepage's pore pressure under a base head), so that closed
    forms and runs start from the same column."""
    n = depth.size - 1
    el = {k: np.ascontiguousarray(soil[k], dtype=np.float64) for k in SOIL_PARAMETERS
          if k not in DRAIN_ONLY}
    el["kref"] = el["kref"] * SECONDS_PER_DAY
    el.update(dsigv=np.zeros(n), ru=np.zeros(n), ocrvoidratio=np.asarray(history, np.float64),
              ocrvoidratiotype=np.asarray(code, np.int32))
    seepage = None if profile is None else initial_boundary(profile)
    drainage = 0 if seepage is None else DRAINAGE[profile.drainage]
    state = prepare(np.asarray(depth, np.float64), el, float(surcharge), GAMMA_W, drainage,
                    False, seepage)
    return np.asarray(state["sigma0"]), np.asarray(state["e0"])


def _preconsolidation(soil, code, history, sig, e):
    pc = np.where(code == 0, history * sig, history)
    # A given void ratio: the stress at which the swelling line through
    # (sig, e) meets the normal compression line, at least the present one.
    given = code == 1
    if np.any(given):
        Cc, Cr, sr, esr = (soil[k][given] for k in ("Cc", "Cr", "sigvref", "esigvref"))
        logp = (esr + Cc * np.log10(sr) - Cr * np.log10(sig[given]) - e[given]) / (Cc - Cr)
        pc[given] = 10.0 ** logp
    return np.maximum(pc, sig)


def _histories(profile: Profile, depth: np.ndarray, boundaries: np.ndarray,
               counts: Sequence[int]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The engine's code and value of the stress history of every element, and
    the pre-overburden pressure of the elements that take one (-1 elsewhere).
    A POP and a linear preconsolidation stress are preconsolidation stresses
    element by element (the POP's found with the initial state)."""
    code, history, pop = [], [], []
    centre = 0.5 * (depth[:-1] + depth[1:])
    for i, (layer, n) in enumerate(zip(profile.layers, counts)):
        key, value = layer.history
        pop.append(np.full(n, value if key == "pop" else -1.0))
        if key == "pop":
            code.append(np.full(n, CODES["pc"]))
            history.append(np.full(n, np.nan))     # set with the initial state
        elif key == "pc_top/pc_bottom":
            top, bottom = value
            zc = centre[boundaries[i]:boundaries[i + 1]]
            z0, z1 = depth[boundaries[i]], depth[boundaries[i + 1]]
            code.append(np.full(n, CODES["pc"]))
            history.append(top + (bottom - top) * (zc - z0) / (z1 - z0))
        else:
            code.append(np.full(n, CODES[key]))
            history.append(np.full(n, float(value)))
    return (np.concatenate(code).astype(np.int32), np.concatenate(history).astype(np.float64),
            np.concatenate(pop))


def column(profile: Profile, loads: Optional[Sequence[float]] = None) -> Column:
    """Mesh a profile (a node on every layer boundary) and find its initial state. Given
    the `loads` of the stages, layers meshed by default get elements enough for the
    compression law's settlement under them (thick layers, where the stress grows
    fastest near the top, need more than their share of DEFAULT_ELEMENTS)."""
    counts = layer_elements(profile)
    col = _mesh(profile, counts)
    free = [layer.elements is None for layer in profile.layers]
    if loads is None or not any(free):
        return col
    settled = col.primary_settlements(loads)
    while True:
        finer_counts = [2 * n if f else n for n, f in zip(counts, free)]
        if sum(finer_counts) > MAX_DEFAULT_ELEMENTS:
            break
        finer = _mesh(profile, finer_counts)
        closer = finer.primary_settlements(loads)
        scale = max(float(np.max(np.abs(closer))), 1e-12)
        if float(np.max(np.abs(closer - settled))) <= MESH_TOLERANCE * scale:
            return col
        col, counts, settled = finer, finer_counts, closer
    warnings.warn(f"the default mesh of {sum(counts)} elements may under-predict the final "
                  f"primary settlement by more than {MESH_TOLERANCE:.1%}: give the layers' "
                  "elements", UserWarning, stacklevel=3)
    return col


def _mesh(profile: Profile, counts: Sequence[int]) -> Column:
    pieces = [np.zeros(1)]
    top = 0.0
    for layer, n in zip(profile.layers, counts):
        pieces.append(top + layer.thickness * np.arange(1, n + 1) / n)
        top += layer.thickness
    depth = np.concatenate(pieces)
    depth[-1] = profile.thickness
    boundaries = np.concatenate((np.zeros(1, dtype=np.int64), np.cumsum(counts)))
    which = np.repeat(np.arange(len(counts)), counts)
    layers = profile.layers
    soil = {k: np.repeat(np.array([getattr(layer.soil, k) for layer in layers],
                                  dtype=np.float64), counts) for k in SOIL_PARAMETERS}
    code, history, pop = _histories(profile, depth, boundaries, counts)
    given = pop >= 0.0
    sig, e = _initial_state(depth, soil, np.where(given, CODES["ocr"], code),
                            np.where(given, 1.0, history), profile.surcharge, profile)
    if np.any(given):
        # pc = sigma' + POP where the column's weight itself depends on pc through
        # the void ratio: a fixed point, reached in a few passes (the weight of
        # the soil above an element changes little with its swelling offset).
        for _ in range(50):
            history = np.where(given, sig + pop, history)
            sig_next, e = _initial_state(depth, soil, code, history, profile.surcharge, profile)
            done = np.max(np.abs(sig_next - sig) / sig) <= 1e-15
            sig = sig_next
            if done:
                break
        history = np.where(given, sig + pop, history)
        sig, e = _initial_state(depth, soil, code, history, profile.surcharge, profile)
    pc = _preconsolidation(soil, code, history, sig, e)
    return Column(depth, which.astype(np.int64), boundaries, soil, code, history, sig, e, pc)


def check_history(profile: Profile, col: Column) -> None:
    """ParameterError for a stress history the soil cannot have: a
    preconsolidation stress below the present stress, or an initial void
    ratio above the normal compression line."""
    for i, layer in enumerate(profile.layers):
        where = col.layer == i
        key, value = layer.history
        owner = "Layer" + (f" {layer.name!r}" if layer.name else f" #{i + 1}")
        if key == "pc":
            worst = float(col.sigv0[where].max())
            if value < worst * (1 - 1e-9):
                raise ParameterError(owner, "pc", f"must be at least the initial effective "
                                     f"stress in the layer ({worst:.4g} kPa at its base; "
                                     f"use an OCR for a normally consolidated layer); got "
                                     f"{value:g}")
        elif key == "pc_top/pc_bottom":
            short = col.history[where] < col.sigv0[where] * (1 - 1e-9)
            if np.any(short):
                j = int(np.flatnonzero(short)[0])
                z = float(0.5 * (col.depth[:-1] + col.depth[1:])[where][j])
                raise ParameterError(owner, "pc_top/pc_bottom", "must give a preconsolidation "
                                     "stress of at least the initial effective stress at every "
                                     f"depth of the layer; {col.history[where][j]:.4g} kPa "
                                     f"against {col.sigv0[where][j]:.4g} kPa at {z:.4g} m; got "
                                     f"{value[0]:g} and {value[1]:g}")
        elif key == "e0":
            ncl = float(col.e_ncl(col.sigv0)[where].min())
            if value > ncl:
                raise ParameterError(owner, "e0", f"must not lie above the normal compression "
                                     f"line (e = {ncl:.4g} at the base of the layer); got "
                                     f"{value:g}")


def load_history(loading: Loading, time: np.ndarray) -> tuple[float, np.ndarray]:
    """The reference load (kPa) and the load factor of every step of the
    output grid: the factor of step j is the load acting from time[j-1] on
    (from 0 for the first step)."""
    loads = np.array(loading.loads)
    ref = float(np.max(np.abs(loads))) or 1.0
    begins = np.concatenate((np.zeros(1), time[:-1]))
    idx = np.searchsorted(np.array(loading.times), begins, side="right") - 1
    lf = np.where(idx >= 0, loads[np.maximum(idx, 0)], 0.0) / ref
    return ref, lf


def check_node_history(nodes: Mapping[str, np.ndarray], sigma: np.ndarray) -> None:
    """Void ratios and preconsolidation stresses at the nodes' initial stresses."""
    types, value = nodes["ocrvoidratiotype"], nodes["ocrvoidratio"]
    bad = (types == 2) & (value < sigma * (1 - 1e-9))
    with np.errstate(divide="ignore"):
        ncl = nodes["esigvref"] - nodes["Cc"] * np.log10(sigma / nodes["sigvref"])
    bad_e = (types == 1) & (sigma > 0) & (value > ncl + 1e-9 * (1 + np.abs(ncl)))
    for mask, what in ((bad, "is a preconsolidation stress below the initial effective stress"),
                       (bad_e, "is a void ratio above the normal compression line")):
        idx = np.flatnonzero(mask)
        if idx.size:
            i = int(idx[0])
            raise ValueError(f"ocrvoidratio {what} at node {i} (got {value[i]!r}, initial "
                             f"effective stress {sigma[i]:.6g})")
