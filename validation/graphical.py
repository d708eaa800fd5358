"""Asaoka's and the hyperbolic method on exact Terzaghi settlements.

A layer of thickness 2H drained at both faces, cv 0.02 m2/day, final settlement
0.5 m: s(t) = 0.5 U(cv t / H^2), U from Terzaghi's series.  Asaoka's construction on
readings every 20 days from U = 60 % on gives the final settlement and cv; the
hyperbolic method on readings from 60 to 90 % gives its own limit, which lies above
Terzaghi's by the factor of the straight part of Terzaghi's t/U curve: the
least-squares slope of T/U against T over U = 0.6 to 0.9 (computed here, finely
sampled) is 1/1.218.

    python validation/graphical.py
"""
import functools

import numpy as np

import pelorin

H, CV, FINAL = 5.0, 0.02, 0.5   # drainage path (m), m2/day, m


def terzaghi_U(T):
    """Terzaghi's average degree of consolidation (series, 200 terms), vectorised."""
    T = np.asarray(T, float)[..., None]
    M = np.pi * (2 * np.arange(200) + 1) / 2.0
    return 1.0 - np.sum(2.0 / M ** 2 * np.exp(-M ** 2 * T), axis=-1)


def settlement(t):
    return FINAL * terzaghi_U(CV * np.asarray(t, float) / H ** 2)


def hyperbolic_bias(low=0.6, high=0.9):
    """The hyperbola's limit over Terzaghi's final settlement, from U = low to high."""
    T = np.linspace(0.05, 1.5, 20001)
    U = terzaghi_U(T)
    k = (U >= low) & (U <= high)
    slope = np.polyfit(T[k], T[k] / U[k], 1)[0]
    return 1.0 / slope


@functools.lru_cache(maxsize=None)
def cases():
    t = np.arange(20.0, 4001.0, 20.0)
    s = settlement(t)
    U = s / FINAL
    late = U >= 0.6
    a = pelorin.asaoka(t[late], s[late], 20.0, drainage_path=H)
    window = (U >= 0.6) & (U <= 0.9)
    h = pelorin.hyperbolic(t[window], s[window])
    return {
        "Asaoka: ultimate settlement, relative error": abs(a.ultimate / FINAL - 1),
        "Asaoka: cv, relative error": abs(a.cv / CV - 1),
        "hyperbolic: ultimate over the final settlement": h.ultimate / FINAL,
        "hyperbolic, corrected: relative error": abs(h.corrected / FINAL - 1),
        "bias of the hyperbola, U 60-90 % (computed)": hyperbolic_bias(),
    }


if __name__ == "__main__":
    for k, v in cases().items():
        print(f"| {k} | {v:.4g} |")
