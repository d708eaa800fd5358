"""From a profile to node arrays, and what can be said before a run.

The column is meshed layer by layer so that a node lies on every layer
boundary; a node on a boundary takes the soil of the layer below it (the
bottom node that of the last layer).  The initial state (effective stress
and void ratio at every node) follows the column's own weight from the
surcharge down, as the engine builds it; with it come the final primary
settlement of each load stage from the compression law and an estimate of
the coefficient of consolidation, which sets the time scale of the default
time grid.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np

from .model import DRAINAGE, Loading, Profile

__all__ = ["GAMMA_W", "SECONDS_PER_DAY", "Column", "column", "DEFAULT_ELEMENTS"]

GAMMA_W = 9.81              # kN/m^3, unit weight of water
SECONDS_PER_DAY = 86400.0   # a permeability in m/s times this is in m/day
DEFAULT_ELEMENTS = 60       # elements the layers share when they do not say
MIN_ELEMENTS = 4            # per layer, by default

# Per-node soil arrays handed to the engine (kref converted to m/day there).
SOIL_KEYS = ("Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref")


def layer_elements(profile: Profile) -> list[int]:
    """Elements of each layer: as given, else a share of DEFAULT_ELEMENTS."""
    total = profile.thickness
    return [layer.elements if layer.elements is not None
            else max(MIN_ELEMENTS, round(DEFAULT_ELEMENTS * layer.thickness / total))
            for layer in profile.layers]


@dataclass(frozen=True)
class Column:
    """The meshed profile and its state before loading.

    Attributes
    ----------
    depth : ndarray
        Node depths below the top, m (N + 1 values).
    layer : ndarray of int
        Index of the layer each node belongs to.
    boundaries : ndarray of int
        Node index of the top of every layer and of the bottom (layers + 1).
    soil : dict of ndarray
        Per-node soil parameters (kref in m/s, tref in days).
    code, history : ndarray
        How the stress history is given per node (0 OCR, 1 void ratio,
        2 preconsolidation stress) and its value.
    sigv0, e0, pc0 : ndarray
        Initial effective stress (kPa), void ratio and preconsolidation
        stress (kPa) of every node.
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

    def e_ncl(self, s: np.ndarray) -> np.ndarray:
        """Void ratio on the normal compression line at effective stress s."""
        p = self.soil
        return p["esigvref"] - p["Cc"] * np.log10(s / p["sigvref"])

    def e_at(self, s: np.ndarray, pc: np.ndarray) -> np.ndarray:
        """Void ratio at stress s after a largest past stress pc, without creep.

        Nodes whose initial void ratio was given directly keep their offset
        from the line they started on."""
        top = np.maximum(pc, s)
        e = self.e_ncl(top) + self.soil["Cr"] * np.log10(top / s)
        return e + (self.e0 - self._e_start())

    def _e_start(self) -> np.ndarray:
        top = np.maximum(self.pc0, self.sigv0)
        return self.e_ncl(top) + self.soil["Cr"] * np.log10(top / self.sigv0)

    def engine_keywords(self) -> dict[str, Any]:
        """The per-node keywords of a run (kref in m/day)."""
        kw = {k: np.ascontiguousarray(v, dtype=np.float64) for k, v in self.soil.items()}
        kw["kref"] = kw["kref"] * SECONDS_PER_DAY
        kw["depth"] = self.depth.copy()
        kw["ocrvoidratiotype"] = self.code.astype(np.int32)
        kw["ocrvoidratio"] = self.history.copy()
        kw["ru"] = np.zeros(self.depth.size)
        out: dict[str, Any] = dict(kw)
        out["N"] = self.N
        return out

    def primary_settlements(self, loads: Sequence[float]) -> np.ndarray:
        """Settlement of the surface at the end of primary consolidation
        under each load in turn (a staged loading), m.

        Each load acts on the whole column (a wide fill); the stress each
        stage brings raises the preconsolidation stress for the stages after
        it.  Strains are those of the compression law without creep,
        integrated over the initial column (large strain: the effective
        stress of a soil particle at the end is its initial one plus the
        load)."""
        out = []
        pc = self.pc0.copy()
        for q in loads:
            s = self.sigv0 + q
            e = self.e_at(s, pc)
            out.append(float(np.trapz((self.e0 - e) / (1.0 + self.e0), self.depth)))
            pc = np.maximum(pc, s)
        return np.array(out)

    def cv(self, load: float) -> np.ndarray:
        """Coefficient of consolidation of every node under `load`, m^2/day
        (secant compressibility over the load, permeability at the mean void
        ratio)."""
        q = load if abs(load) > 1e-9 * self.sigv0.max() else 1e-6 * self.sigv0.max()
        s = np.maximum(self.sigv0 + q, 1e-3 * self.sigv0)
        ef = self.e_at(s, self.pc0)
        av = np.abs(self.e0 - ef) / abs(s - self.sigv0)
        av = np.maximum(av, self.soil["Cr"] / (math.log(10.0) * np.maximum(s, self.sigv0)))
        p = self.soil
        # Permeability at the mean void ratio of the step: with k falling by
        # a tenfold per Cc of void ratio (k proportional to 1/stress) this
        # and the secant compressibility give the constant cv of the
        # nonlinear theory to within 2 % for loads up to the initial stress.
        em = 0.5 * (self.e0 + ef)
        k = p["kref"] * SECONDS_PER_DAY * 10.0 ** ((em - p["ekref"]) / p["Ck"])
        return k * (1.0 + self.e0) / (av * GAMMA_W)

    def time_scale(self, load: float, drainage: str) -> float:
        """Consolidation time at time factor 1, days: each element's
        thickness is scaled by 1/sqrt(cv) (equivalent thickness) and the
        drainage path is half the column when both ends drain."""
        cv = self.cv(load)
        cv_el = 2.0 / (1.0 / cv[1:] + 1.0 / cv[:-1])
        path = float(np.sum(np.diff(self.depth) / np.sqrt(cv_el)))
        if drainage == "both":
            path /= 2.0
        return path * path


def _initial_state(depth, soil, code, history, surcharge):
    """Effective stress and void ratio of every node before loading: the
    submerged weight of each element (with the mean void ratio of its two
    nodes) added from the surcharge down, iterated at each node because the
    void ratio depends on the stress."""
    n = depth.size
    sig = np.empty(n)
    e = np.empty(n)
    Cc, Cr, sr, esr, Gs = (soil[k] for k in ("Cc", "Cr", "sigvref", "esigvref", "Gs"))

    def ev(i, s):
        if code[i] == 0:
            return esr[i] - Cc[i] * math.log10(history[i] * s / sr[i]) + Cr[i] * math.log10(history[i])
        return esr[i] - Cc[i] * math.log10(history[i] / sr[i]) + Cr[i] * math.log10(history[i] / s)

    sig[0] = surcharge
    e[0] = history[0] if code[0] == 1 else ev(0, surcharge)
    for i in range(1, n):
        w = (Gs[i] - 1.0) * GAMMA_W * (depth[i] - depth[i - 1])
        if code[i] == 1:
            e[i] = history[i]
            sig[i] = sig[i - 1] + w / (1.0 + 0.5 * (e[i - 1] + e[i]))
            continue
        s = sig[i - 1] + w / (1.0 + e[i - 1])
        for _ in range(1000):
            ei = ev(i, s)
            s_new = sig[i - 1] + w / (1.0 + 0.5 * (ei + e[i - 1]))
            if abs(s_new - s) <= 1e-12 * s_new:
                s = s_new
                break
            s = s_new
        sig[i], e[i] = s, ev(i, s)
    return sig, e


def _preconsolidation(soil, code, history, sig, e):
    pc = np.where(code == 0, history * sig, history)
    # A given void ratio: the stress at which the swelling line through
    # (sig, e) meets the normal compression line, at least the present one.
    given = code == 1
    if np.any(given):
        Cc, Cr, sr, esr = (soil[k][given] for k in ("Cc", "Cr", "sigvref", "esigvref"))
        logp = (esr + Cc * np.log10(sr) - Cr * np.log10(sig[given]) - e[given]) / (Cc - Cr)
        pc[given] = np.maximum(10.0 ** logp, sig[given])
    return np.maximum(pc, sig)


def column(profile: Profile) -> Column:
    """Mesh a profile (a node on every layer boundary) and find its initial state."""
    counts = layer_elements(profile)
    pieces = [np.zeros(1)]
    top = 0.0
    for layer, n in zip(profile.layers, counts):
        pieces.append(top + layer.thickness * np.arange(1, n + 1) / n)
        top += layer.thickness
    depth = np.concatenate(pieces)
    boundaries = np.concatenate((np.zeros(1, dtype=np.int64), np.cumsum(counts)))
    which = np.minimum(np.searchsorted(boundaries, np.arange(depth.size), side="right") - 1,
                       len(counts) - 1)
    layers = profile.layers
    soil = {k: np.array([getattr(layers[w].soil, k) for w in which], dtype=np.float64)
            for k in SOIL_KEYS}
    codes = {"ocr": 0, "e0": 1, "pc": 2}
    code = np.array([codes[layers[w].history[0]] for w in which], dtype=np.int32)
    history = np.array([layers[w].history[1] for w in which], dtype=np.float64)
    sig, e = _initial_state(depth, soil, code, history, profile.surcharge)
    pc = _preconsolidation(soil, code, history, sig, e)
    return Column(depth, which.astype(np.int64), boundaries.astype(np.int64), soil, code,
                  history, sig, e, pc)


def drainage_code(profile: Profile) -> int:
    return DRAINAGE[profile.drainage]


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
