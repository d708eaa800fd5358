"""Vertical drains: the engine's radial sink against the closed forms of radial
consolidation, run through the engine's binding with the `drains` keyword.

References (derived in pelorin/drains.py):
- Hansbo (1981), equal strain with smear: the average excess pore pressure of a
  linear soil under an instant load decays as exp(-8 Th/mu), Th = ch t/De^2, with
  mu of n = re/rw, s = rs/rw and kh/ks in full; Barron (1948) for s = 1;
- Hansbo (1981), well resistance: mu + pi z (2 l - z) kh/qw at depth z of a drain
  of length l draining at its top; its average over the depth by quadrature;
- Carrillo (1942): radial and vertical flow in the same linear soil combine as
  1 - (1 - Uv)(1 - Uh), exactly so for the cell-averaged sink (u(z, t) = uv(z, t)
  exp(-ch eta t) solves du/dt = cv u_zz - ch eta u with the same boundaries).
mu itself is checked against the cell average of the equal-strain pore pressure
integrated numerically over the radius.

A linear soil is the 0.1 % load increment of the Terzaghi rows (Gs = 1, no
self-weight, k practically constant).  Radial flow alone: kh/kv = 1e9 makes
the vertical flow negligible (Tv = 1e-9 Th De^2/H^2) with the ends drained as
they are.
"""
import math

import numpy as np

import reference as ref

LIN = dict(qo=100.0, dq=0.1, e0=1.0, Cc=0.2, H=1.0)


def elements(N, *, Cc, e0, qo, dq, k0, Gs=1.0, Ck=1e3, ocr=1.0):
    full = lambda v: np.full(N, float(v))  # noqa: E731
    return dict(Cc=full(Cc), Cr=full(Cc / 10), sigvref=full(qo), esigvref=full(e0),
                Gs=full(Gs), kref=full(k0), ekref=full(e0), Ck=full(Ck), Ca=full(0.0),
                tref=full(1.0), dsigv=full(dq), ru=full(0.0),
                ocrvoidratiotype=np.zeros(N, np.int32), ocrvoidratio=full(ocr))


def linear_run(times, eta, kh_ratio, *, N=40, drainage=1, k0=1e-3, start=0.0):
    """The linear soil, its engine run with drains (eta per element; None: none)."""
    from pelorin import _engine
    qo, dq, e0, Cc, H = (LIN[k] for k in ("qo", "dq", "e0", "Cc", "H"))
    el = elements(N, Cc=Cc, e0=e0, qo=qo, dq=dq, k0=k0)
    drains = None if eta is None else {"eta": np.broadcast_to(eta, (N,)).astype(float),
                                       "kh_ratio": np.full(N, float(kh_ratio)),
                                       "start": start, "vacuum": None}
    times = np.asarray(times, float)
    return _engine.solve(np.linspace(0.0, H, N + 1), el, qo, times, np.ones_like(times),
                         drainagetype=drainage, drains=drains)


def linear_constants(k0):
    """cv of the linear soil (secant compressibility) and its final settlement."""
    qo, dq, e0, Cc, H = (LIN[k] for k in ("qo", "dq", "e0", "Cc", "H"))
    cv = ref.consolidation_coefficient(k0, e0, ref.secant_compressibility(Cc, qo, qo + dq))
    return cv, H / (1 + e0) * Cc * math.log10((qo + dq) / qo)


def hansbo_degree(Th, mu):
    return -np.expm1(-8.0 * np.asarray(Th) / mu)


def mu_by_quadrature(n, s, kappa, points=200001):
    """Hansbo's mu as the cell average of the equal-strain pore pressure,
    u(r) = (gammaw eps'/2) int_rw^r (re^2/x - x)/k(x) dx (k = ks within rs, kh
    outside), over the soil between rw = 1 and re = n, in units of gammaw eps'
    re^2/(2 kh): integrated numerically (Simpson in ln r)."""
    from scipy import integrate
    x = np.exp(np.linspace(0.0, math.log(n), points))
    k = np.where(x < s, 1.0 / kappa, 1.0)
    f = (n * n / x - x) / k
    u = integrate.cumulative_trapezoid(f, x, initial=0.0)
    avg = integrate.simpson(u * 2 * x * x, x=np.log(x)) / (n * n - 1.0)
    return avg / (n * n)


SMEAR = ((1.0, 1.0), (2.0, 2.0), (2.0, 5.0))


def radial_errors(n):
    """Radial flow alone, n = re/rw, with and without smear: the largest difference of
    the average degree (settlement over the final) from Hansbo's over Th up to
    2 mu/8 (U 0.86)."""
    from pelorin.drains import hansbo_mu
    KR, k0 = 1e9, 1e-12
    cv, s_inf = linear_constants(k0)
    ch = KR * cv
    De = 1.0
    out = {}
    for s, kappa in SMEAR:
        mu = hansbo_mu(n, s, kappa)
        Th = np.logspace(-3, math.log10(2.0), 31) * mu / 8
        res = linear_run(Th * De ** 2 / ch, 2.0 / ((De / 2) ** 2 * mu), KR, k0=k0)
        U = res["settlement"][1:] / s_inf
        out[smear_label(s, kappa)] = float(np.max(np.abs(U - hansbo_degree(Th, mu))))
    return out


def smear_label(s, kappa):
    return "average degree, no smear" if s == 1.0 else \
        f"average degree, s = {s:g}, kh/ks = {kappa:g}"


def mu_errors():
    """Hansbo's mu in full against the cell average integrated numerically."""
    from pelorin.drains import hansbo_mu
    worst = 0.0
    for n in (5.0, 10.0, 20.0, 40.0):
        for s, kappa in SMEAR + ((3.0, 3.0),):
            worst = max(worst, abs(hansbo_mu(n, s, kappa) / mu_by_quadrature(n, s, kappa) - 1))
    return worst


WELL = dict(n=20.0, s=2.0, kappa=2.0, l=10.0, qw_factor=0.02)   # pi l^2 kh/qw = 2 mu


def well_errors():
    """Well resistance: a drain of length l = 10 m (the column) draining at its top
    in a soil without vertical flow; eta of every element at its centre depth.  The
    local degree 1 - u/u0 at the nodes at z/l = 0.25, 0.5 and at the base (z/l = 1,
    the sealed end) against exp(-8 Th/(mu + mu_w(z))), and the average degree
    against Hansbo's average over the depth (48-point Gauss-Legendre)."""
    from pelorin import _engine
    from pelorin.drains import hansbo_mu
    n, s, kappa, l = (WELL[k] for k in ("n", "s", "kappa", "l"))
    KR, k0, N = 1e9, 1e-12, 40
    qo, dq, e0, Cc = (LIN[k] for k in ("qo", "dq", "e0", "Cc"))
    cv, _ = linear_constants(k0)
    ch = KR * cv
    kh = KR * k0
    mu = hansbo_mu(n, s, kappa)
    qw = math.pi * l * l * kh / (2.0 * mu)           # mu_w(l) = 2 mu
    De = 1.0
    depth = np.linspace(0.0, l, N + 1)
    zc = 0.5 * (depth[:-1] + depth[1:])
    mu_w = lambda z: math.pi * z * (2 * l - z) * kh / qw  # noqa: E731
    eta = 2.0 / ((De / 2) ** 2 * (mu + mu_w(zc)))
    Th = np.logspace(-3, math.log10(3.0), 31) * mu / 8
    t = Th * De ** 2 / ch
    el = elements(N, Cc=Cc, e0=e0, qo=qo, dq=dq, k0=k0)
    res = _engine.solve(depth, el, qo, t, np.ones_like(t), drainagetype=1,
                        drains={"eta": eta, "kh_ratio": np.full(N, KR), "start": 0.0,
                                "vacuum": None})
    out = {}
    u = res["u"][:, 1:]
    for frac in (0.25, 0.5, 1.0):
        i = int(round(frac * N))
        local = 1.0 - u[i] / dq
        out[f"local degree at z/l = {frac:g}"] = float(
            np.max(np.abs(local - hansbo_degree(Th, mu + mu_w(depth[i])))))
    x, w = np.polynomial.legendre.leggauss(48)
    zq = 0.5 * l * (x + 1.0)
    avg = sum(0.5 * wi * hansbo_degree(Th, mu + mu_w(z)) for wi, z in zip(w, zq))
    s_inf = l / (1 + e0) * Cc * math.log10((qo + dq) / qo)
    out["average degree over the depth"] = float(
        np.max(np.abs(res["settlement"][1:] / s_inf - avg)))
    return out


def carrillo_error():
    """Radial and vertical flow in the linear soil (kh = kv, a column of 1 m drained
    at its top, drains with n = 20, s = 2, kh/ks = 2 at De = 1 m): the average degree
    against Carrillo's combination of Terzaghi's and Hansbo's."""
    from pelorin.drains import hansbo_mu
    k0 = 1e-3
    cv, s_inf = linear_constants(k0)
    mu = hansbo_mu(20.0, 2.0, 2.0)
    De, H = 1.0, LIN["H"]
    Tv = np.logspace(math.log10(0.02), math.log10(1.0), 31)
    t = Tv * H ** 2 / cv
    res = linear_run(t, 2.0 / ((De / 2) ** 2 * mu), 1.0, k0=k0)
    Uh = hansbo_degree(cv * t / De ** 2, mu)
    expected = 1.0 - (1.0 - ref.terzaghi_degree(Tv)) * (1.0 - Uh)
    return float(np.max(np.abs(res["settlement"][1:] / s_inf - expected)))


SOFT = dict(Cc=0.9, e0=2.0, qo=10.0, dq=60.0, k0=1e-9 * 86400, H=10.0, N=40, Ck=1.1, Gs=2.7)


def soft_run(times, drains):
    """A finite-strain clay (Cc/(1 + e0) = 0.3, self-weight, 10 to 70 kPa, k falling
    tenfold per 1.1 of void ratio), both ends drained, with the engine's drains."""
    from pelorin import _engine
    c = SOFT
    el = elements(c["N"], Cc=c["Cc"], e0=c["e0"], qo=c["qo"], dq=c["dq"], k0=c["k0"],
                  Gs=c["Gs"], Ck=c["Ck"], ocr=1.2)
    times = np.asarray(times, float)
    return _engine.solve(np.linspace(0.0, c["H"], c["N"] + 1), el, c["qo"], times,
                         np.ones_like(times), drainagetype=0, drains=drains)


def soft_drains(eta_of_depth, start=0.0):
    c = SOFT
    depth = np.linspace(0.0, c["H"], c["N"] + 1)
    eta = eta_of_depth(depth[:-1], depth[1:])
    return {"eta": eta, "kh_ratio": np.full(c["N"], 2.0), "start": start, "vacuum": None}


def partial_bound_error():
    """A drain to half the depth of the finite-strain clay: its settlement lies at
    every time between that of no drains and of drains through the clay (the
    largest excess beyond either limit, over the final settlement)."""
    from pelorin.drains import Drains
    d = Drains(1.5, "triangular", diameter=0.066, smear_ratio=2.0, smear_permeability_ratio=2.0)
    half = Drains(1.5, "triangular", diameter=0.066, smear_ratio=2.0, smear_permeability_ratio=2.0,
                  depth=SOFT["H"] / 2)
    k = np.full(SOFT["N"], 2.0e-9)
    times = np.logspace(-1, 4.5, 45)
    runs = [soft_run(times, None if x is None else soft_drains(
        lambda top, bottom, x=x: x.eta(top, bottom, k, SOFT["H"]))) for x in (None, half, d)]
    none, part, full = (r["settlement"] for r in runs)
    excess = np.maximum(np.maximum(none - part, part - full), 0.0)
    return float(np.max(excess) / full[-1])


def far_spacing_errors():
    """Drains far apart in the finite-strain clay (kh = kv) against no drains: the
    largest settlement difference over the final one.  At 100 m the radial flow is
    still there, by its own size: its rate kh eta (eta = 8.5e-5/m^2, n = 1700,
    mu = 7.4) is 8.6e-4 of the slowest vertical one's, kv pi^2/(4 Hd^2) (Hd = 5 m),
    and the settlement differs by a few 1e-4 of the final; at 1000 m (eta a hundred
    times smaller) by a few 1e-6, where only an artefact of switching the sink on
    would show."""
    from pelorin.drains import Drains
    k = np.full(SOFT["N"], 1.0e-9)
    times = np.logspace(-1, 4.5, 45)
    a = soft_run(times, None)["settlement"]
    out = {}
    for spacing in (100.0, 1000.0):
        d = Drains(spacing, "square", diameter=0.066, smear_ratio=2.0, smear_permeability_ratio=2.0)
        kw = soft_drains(lambda top, bottom: d.eta(top, bottom, k, SOFT["H"]))
        kw["kh_ratio"] = np.ones(SOFT["N"])
        b = soft_run(times, kw)["settlement"]
        out[f"{spacing:g} m: settlement difference / final"] = float(np.max(np.abs(a - b)) / a[-1])
    return out
