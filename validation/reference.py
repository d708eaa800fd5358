"""Closed-form solutions of one-dimensional consolidation, used to validate
the engine.  NumPy only; every function is vectorised over its array
arguments.

Literature
----------
- K. Terzaghi (1925), Erdbaumechanik auf bodenphysikalischer Grundlage,
  Deuticke, Vienna; K. Terzaghi (1943), Theoretical Soil Mechanics, Wiley,
  ch. XIII: the series solution of the linear diffusion equation for a layer
  under an instantly applied uniform load.
- E. H. Davis and G. P. Raymond (1965), A non-linear theory of
  consolidation, Geotechnique 15(2), 161-173: with e = e0 - Cc log10(s'/s'0)
  and k proportional to 1/s' the coefficient of consolidation is constant at
  small strain and log10(s') obeys Terzaghi's equation.
- R. E. Gibson, G. L. England and M. J. L. Hussey (1967), The theory of
  one-dimensional consolidation of saturated clays. I. Finite non-linear
  consolidation of thin homogeneous layers, Geotechnique 17(3), 261-273: in
  the solids (material) coordinate xi, without self-weight,
  de/dt = d/dxi (g de/dxi) with g = k/(gammaw (1 + e)) ds'/d(-e) at any
  strain; constant g gives Terzaghi's solution in xi.
- G. Mesri (1973), Coefficient of secondary compression, J. Soil Mech.
  Found. Div. ASCE 99(SM1), 123-137: after primary consolidation the void
  ratio falls by Ca per log cycle of time, so a layer settles Ca times its
  height of solids per cycle.
- R. E. Olson (1977), Consolidation under time dependent loading, J. Geotech.
  Eng. Div. ASCE 103(GT1), 55-60: the average degree under a load raised at a
  constant rate up to the construction time factor Tc, by superposition of
  Terzaghi's solution over the increments (Duhamel's principle).
- H. S. Carslaw and J. C. Jaeger (1959), Conduction of Heat in Solids, 2nd ed.,
  Oxford, sec. 3.3: the layer between two fixed values with any initial
  distribution, by a sine series about the steady (linear) state; here a head
  changed at the base only.

Notation: stresses in kPa, lengths in m, time in the unit of the
permeability; `drainage` 0 drains both ends, 1 the top, 2 the bottom.
"""
import math

import numpy as np

LN10 = math.log(10.0)
GAMMAW = 9.81


# --- Terzaghi's series -------------------------------------------------------

def _modes(Tv):
    """Half-odd multiples of pi, M = pi (2m + 1)/2, enough for every entry of
    Tv > 0 to make the neglected terms below 1e-16 (M^2 Tv > 37) and never
    fewer than 200."""
    tmin = float(np.min(Tv[Tv > 0])) if np.any(Tv > 0) else 1.0
    count = max(200, int(math.sqrt(40.0 / tmin) / math.pi) + 2)
    count = min(count, 200_000)
    return np.pi * (2 * np.arange(count) + 1) / 2


def terzaghi_pressure(Z, Tv):
    """Excess pore pressure over the applied load, u/q, at the normalised
    distance Z = x/Hd from the drained boundary (0 <= Z <= 1, Z = 1 at the
    sealed end or the mid-plane) and time factor Tv = cv t/Hd^2:
    u/q = sum 2/M sin(M Z) exp(-M^2 Tv).  At Tv = 0 it is 1 inside the layer
    and 0 at the drained boundary."""
    Z, Tv = np.broadcast_arrays(np.asarray(Z, float), np.asarray(Tv, float))
    out = np.empty(Z.shape)
    late = Tv > 0
    if np.any(late):
        M = _modes(Tv)
        z, t = Z[late][:, None], Tv[late][:, None]
        out[late] = np.sum(2 / M * np.sin(M * z) * np.exp(-M * M * t), axis=1)
    out[~late] = np.where(Z[~late] > 0, 1.0, 0.0)
    return out


def terzaghi_degree(Tv):
    """Average degree of consolidation U(Tv) = 1 - sum 2/M^2 exp(-M^2 Tv)."""
    Tv = np.asarray(Tv, float)
    flat = np.atleast_1d(Tv).ravel()
    M = _modes(flat)
    U = 1 - np.sum(2 / M**2 * np.exp(-np.outer(np.maximum(flat, 0), M * M)), axis=1)
    return U.reshape(Tv.shape)


def terzaghi_time_factor(U):
    """The time factor at which the average degree reaches U (0 < U < 1):
    the inverse of `terzaghi_degree`, by bisection in log Tv (T50 = 0.19674)."""
    lo, hi = -10.0, 2.0          # log10 Tv
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        if terzaghi_degree(10.0**mid) < U:
            lo = mid
        else:
            hi = mid
    return 10.0 ** (0.5 * (lo + hi))


def drainage_path(H, drainage):
    """Length of the drainage path Hd of a layer of thickness H."""
    return H / 2 if drainage == 0 else H


def drained_distance(x, H, drainage):
    """Z = distance from the nearest drained boundary over Hd, for positions x
    measured downward from the top of a layer of thickness H (0 <= x <= H).
    The same holds in the solids coordinate with H the height of solids."""
    x = np.asarray(x, float)
    Hd = drainage_path(H, drainage)
    if drainage == 0:
        return np.minimum(x, H - x) / Hd
    if drainage == 1:
        return x / Hd
    if drainage == 2:
        return (H - x) / Hd
    raise ValueError(f"drainage must be 0, 1 or 2, not {drainage!r}")


# --- time-dependent loads and heads -------------------------------------------

def olson_degree(Tv, Tc):
    """Average degree of consolidation (settlement over the final one) under a
    load raised at a constant rate from Tv = 0 to Tc and held (Olson 1977).

    Terzaghi's degree under a step, U1(T) = 1 - sum 2/M^2 exp(-M^2 T), superposed
    over the increments dq = q dT'/Tc (Duhamel): U(T) = (1/Tc) int U1(T - T') dT'
    over 0 <= T' <= min(T, Tc), so that
        T <= Tc:  U = (1/Tc) [T - sum 2/M^4 (1 - exp(-M^2 T))],
        T >= Tc:  U = 1 - (1/Tc) sum 2/M^4 [exp(-M^2 (T - Tc)) - exp(-M^2 T)].
    Tc -> 0 gives Terzaghi's."""
    Tv = np.atleast_1d(np.asarray(Tv, float))
    M = np.pi * (2 * np.arange(20000) + 1) / 2      # neglected terms below 1e-12
    w = 2 / M**4
    out = np.empty(Tv.shape)
    for i, T in enumerate(Tv):
        if T <= Tc:
            out[i] = (T - np.sum(w * -np.expm1(-M * M * T))) / Tc
        else:
            out[i] = 1 - np.sum(w * (np.exp(-M * M * (T - Tc)) - np.exp(-M * M * T))) / Tc
    return out


def base_head_pressure(x, Tv, H, drop):
    """Pore pressure above hydrostatic (kPa) in a layer of thickness H drained at
    both ends, after the head at its base falls by `drop` kPa at t = 0 (the top's
    stays): x from the top, Tv = cv t/H^2 with the whole thickness.

    The final state is the steady seepage u_f = -drop x/H; the excess over it starts
    as drop x/H (nothing changes inside at once: the total stress does not) and is 0
    at both ends.  Its sine series (Carslaw & Jaeger 1959, sec. 3.3), with
    b_n = (2/H) int (x/H) sin(n pi x/H) dx = 2 (-1)^(n+1)/(n pi):
        u = -drop x/H + drop sum 2 (-1)^(n+1)/(n pi) sin(n pi x/H) exp(-n^2 pi^2 Tv)."""
    x, Tv = np.broadcast_arrays(np.asarray(x, float), np.asarray(Tv, float))
    tmin = float(np.min(Tv))
    count = min(max(200, int(math.sqrt(40.0 / tmin) / math.pi) + 2), 200_000)
    n = np.arange(1, count + 1)
    b = 2 * (-1.0) ** (n + 1) / (n * np.pi)
    flat_x, flat_t = x.ravel()[:, None], Tv.ravel()[:, None]
    w = np.sum(b * np.sin(n * np.pi * flat_x / H) * np.exp(-(n * np.pi) ** 2 * flat_t), axis=1)
    return (-drop * x / H + drop * w.reshape(x.shape))


def base_head_degree(Tv):
    """Average degree of consolidation after a head change at the base only of a layer
    drained at both ends (Tv = cv t/H^2, H the whole thickness): the mean of the
    series of `base_head_pressure`, int sin(n pi x/H) dx/H = 2/(n pi) for odd n and 0
    for even, over the initial mean 1/2:
        U = 1 - sum over odd n of 8/(n pi)^2 exp(-(n pi)^2 Tv),
    Terzaghi's degree at the time factor of the half thickness."""
    return terzaghi_degree(4 * np.asarray(Tv, float))


def layered_seepage(x, thicknesses, k, top, bottom):
    """Steady pore pressure above hydrostatic (kPa) at depths x through layers of the
    given thicknesses and permeabilities from the top down, between `top` and
    `bottom` at the ends: Darcy's flux is the same in every layer, so the pressure
    falls through each in proportion to its resistance H_i/k_i, linearly inside it."""
    h = np.asarray(thicknesses, float)
    r = h / np.asarray(k, float)
    tops = np.concatenate([[0.0], np.cumsum(h)])
    before = np.concatenate([[0.0], np.cumsum(r)])
    x = np.asarray(x, float)
    i = np.clip(np.searchsorted(tops, x, side="right") - 1, 0, h.size - 1)
    share = (before[i] + (x - tops[i]) / np.asarray(k, float)[i]) / before[-1]
    return top + (bottom - top) * share


def submerged_settlement(settlement, q, loss):
    """The final settlement s of a fill of nominal load q that loses `loss` kPa per
    metre it sinks below the water (gammaw - (gs - g) for a fill at the water's level
    at the start): the root of s = S(q - loss s), S the settlement under a load, by
    bisection (S grows with the load, so the root is unique)."""
    lo, hi = 0.0, settlement(q)
    for _ in range(200):
        mid = 0.5 * (lo + hi)
        if settlement(q - loss * mid) > mid:
            lo = mid
        else:
            hi = mid
    return 0.5 * (lo + hi)


# --- soil relations shared by the cases -------------------------------------

def secant_compressibility(Cc, s0, s1):
    """a_v over a loading step on the normal compression line,
    Cc log10(s1/s0)/(s1 - s0); its tangent Cc/(ln10 s0) when s1 = s0."""
    if s1 == s0:
        return Cc / (LN10 * s0)
    return Cc * math.log10(s1 / s0) / (s1 - s0)


def consolidation_coefficient(k, e0, av, gammaw=GAMMAW):
    """Terzaghi's cv = k (1 + e0)/(av gammaw)."""
    return k * (1 + e0) / (av * gammaw)


# --- Davis & Raymond (1965) --------------------------------------------------

def davis_raymond_cv(k0, s0, e0, Cc, gammaw=GAMMAW):
    """The constant cv of a soil with e = e0 - Cc log10(s'/s0) and
    k = k0 s0/s': k (1 + e0) ln10 s'/(Cc gammaw) = k0 s0 ln10 (1 + e0)/(Cc gammaw)."""
    return k0 * s0 * LN10 * (1 + e0) / (Cc * gammaw)


def davis_raymond_pressure(Z, Tv, s0, sf):
    """Excess pore pressure (kPa) under a load from s0 to sf, for Z and Tv as
    in `terzaghi_pressure`.  w = log10(s'/sf)/log10(s0/sf) obeys Terzaghi's
    equation with w = 1 at the start and 0 at a drained end, so
    s' = sf (s0/sf)^w and u = sf - s'."""
    w = terzaghi_pressure(Z, Tv)
    return sf - sf * (s0 / sf) ** w


# --- Gibson, England & Hussey (1967) -----------------------------------------

def geh_permeability_index(Cc, e0, ef):
    """The Ck that makes g = k s' ln10/(gammaw (1 + e) Cc) take the same value
    at e0 and ef on e = e0 - Cc log10(s'/s'0), k = k0 10^((e - e0)/Ck):
    log10 g = e/Ck - e/Cc - log10(1 + e) + const is then equal at both ends,
    1/Ck = 1/Cc + ln((1 + e0)/(1 + ef))/(ln10 (e0 - ef)).  In between g
    dips below its end value (by 1.6 % for Cc/(1 + e0) = 0.3 and a tenfold
    load)."""
    return 1.0 / (1.0 / Cc + math.log((1 + e0) / (1 + ef)) / (LN10 * (e0 - ef)))


def geh_coefficient(e, e0, s0, k0, Cc, Ck, gammaw=GAMMAW):
    """g(e) = k s' ln10/(gammaw (1 + e) Cc) on the compression line through
    (e0, s0), with k = k0 10^((e - e0)/Ck)."""
    e = np.asarray(e, float)
    s = s0 * 10.0 ** ((e0 - e) / Cc)
    k = k0 * 10.0 ** ((e - e0) / Ck)
    return k * s * LN10 / (gammaw * (1 + e) * Cc)


def geh_mean_coefficient(e0, ef, s0, k0, Cc, Ck, gammaw=GAMMAW, samples=2001):
    """The mean of g over the void ratios the layer passes through, [ef, e0]
    (trapezoid rule on an even grid), and the largest relative departure of
    g from that mean."""
    e = np.linspace(ef, e0, samples)
    g = geh_coefficient(e, e0, s0, k0, Cc, Ck, gammaw)
    mean = float(np.sum((g[1:] + g[:-1]) / 2) / (samples - 1))
    return mean, float(np.max(np.abs(g / mean - 1)))


# --- final settlement with self-weight ---------------------------------------

def _xlnx_minus_x(x):
    return x * np.log(x) - x


def self_weight_final_settlement(H, qo, dq, Cc, eref, sigvref, Gs, gammaw=GAMMAW):
    """Final settlement of a normally consolidated layer of initial thickness
    H under its submerged weight, loaded from qo at its top by a uniform dq.

    In the solids coordinate xi the effective stress grows by the submerged
    weight of the solids, s0(xi) = qo + (Gs - 1) gammaw xi, independent of
    the void ratio; the void ratio follows e(s) = eref - Cc log10(s/sigvref).
    The layer's height of solids Hs follows from
    H = int (1 + e(s0(xi))) dxi over [0, Hs], and
    s_inf = int Cc log10((s0(xi) + dq)/s0(xi)) dxi over [0, Hs].
    With s as the variable of integration (dxi = ds/((Gs - 1) gammaw)) both
    integrals are closed forms in x ln x - x; Hs is their root, by Newton.
    Returns (s_inf, Hs)."""
    gs = (Gs - 1) * gammaw
    a = 1 + eref + Cc * math.log10(sigvref)        # 1 + e(s) = a - Cc log10 s

    def thickness(sb):
        return (a * (sb - qo) - Cc / LN10 * (_xlnx_minus_x(sb) - _xlnx_minus_x(qo))) / gs

    sb = qo + gs * H / (1 + eref)
    for _ in range(100):
        step = (thickness(sb) - H) / ((a - Cc * math.log10(sb)) / gs)
        sb -= step
        if abs(step) <= 1e-14 * sb:
            break
    F = _xlnx_minus_x
    settlement = Cc / (LN10 * gs) * ((F(sb + dq) - F(qo + dq)) - (F(sb) - F(qo)))
    return float(settlement), float((sb - qo) / gs)


# --- secondary compression (Mesri) -------------------------------------------

def creep_settlement_per_cycle(Ca, solids_height):
    """Late settlement per log cycle of time: Ca times the height of solids."""
    return Ca * solids_height
