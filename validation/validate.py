"""Runs the engine against the closed forms of validation/reference.py and
prints a markdown table: case, quantity, tolerance, measured error, pass/fail.

    python validation/validate.py            # pelorin.run, the whole table
    python validation/validate.py --compute  # the same cases through Pelorin.compute

Every case is defined once, here: tests/pelorin/test_validation.py asserts the same
tolerances through the same definitions.  A case measures its errors with a
`solver`, any callable with the keywords of a run that returns a Dataset laid
out as `pelorin.run`'s (dims node and time, time 0 first; coords depth and
time; u, z, ... per node and time, settlement per time).  `compute_dataset`
puts Pelorin.compute into that layout, so the cases can also be checked
against the exact module where it is known to be right.

Pore pressures are compared at times after 0 only: at the instant of loading
the series is singular at a drained end.
"""
import argparse
import math
import os
import sys
import time as clock
from dataclasses import dataclass, field
from typing import Callable, Dict

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import loading_cases as loading  # noqa: E402
import reference as ref  # noqa: E402
import drain_cases as drains  # noqa: E402
import site_cases as site  # noqa: E402

LN10 = ref.LN10
GAMMAW = ref.GAMMAW


# --- solvers ------------------------------------------------------------------

def engine_solver(**options):
    """pelorin.run with the given engine options (none: its defaults)."""
    import pelorin

    def solve(**keywords):
        return pelorin.run(**keywords, **options)
    return solve


def refined_history(time, loadfactor, substeps):
    """A finer history with the same loading: `substeps` equal steps inside
    every interval, the first interval split geometrically from 1e-4 of it
    (Crank-Nicolson needs small steps right after a load change).  Returns
    the times, the load factors and the indices of the original times."""
    time = np.asarray(time, float)
    loadfactor = np.asarray(loadfactor, float)
    pieces = [time[0] * np.logspace(-4, 0, 4 * substeps + 1)]
    factors = [np.full(4 * substeps + 1, loadfactor[0])]
    for j in range(1, len(time)):
        pieces.append(np.linspace(time[j - 1], time[j], substeps + 1)[1:])
        factors.append(np.full(substeps, loadfactor[j]))
    fine = np.concatenate(pieces)
    picks = np.concatenate([[4 * substeps], 4 * substeps + substeps * np.arange(1, len(time))])
    return fine, np.concatenate(factors), picks


def compute_dataset(substeps=1, **keywords):
    """Pelorin.compute's histories in the layout of pelorin.run: a column at
    time 0 is put in front (node positions at the start, the rest NaN).
    With `substeps` > 1 it runs a finer history (`refined_history`) and
    returns the user's times only."""
    import Pelorin
    import xarray as xr

    if substeps > 1:
        fine, factors, picks = refined_history(keywords["time"], keywords["loadfactor"], substeps)
        r = Pelorin.compute(**dict(keywords, time=fine, loadfactor=factors))
        r = {name: np.asarray(r[name])[:, picks] for name in ("z", "u", "sigv", "e")}
    else:
        r = Pelorin.compute(**keywords)
    z = np.asarray(r["z"])
    n = z.shape[0]
    if "depth" in keywords:
        depth = np.asarray(keywords["depth"], float)
    else:
        depth = np.linspace(0.0, keywords["H"], n)
    times = np.concatenate([[0.0], np.asarray(keywords["time"], float)])

    def with_start(a, start):
        return np.concatenate([np.asarray(start, float)[:, None], np.asarray(a)], axis=1)

    nan = np.full(n, np.nan)
    data = {name: (("node", "time"), with_start(r[name], nan)) for name in ("u", "sigv", "e")}
    data["z"] = (("node", "time"), with_start(z, depth))
    data["settlement"] = ("time", np.concatenate([[0.0], z[0] - depth[0]]))
    return xr.Dataset(data, coords={"time": times, "depth": ("node", depth),
                                    "node": np.arange(n)})


# --- soils and loadings --------------------------------------------------------

def soil(Cc, e0, s0, *, k0=1e-3, Ck=1e3, Ca=0.0, tref=1.0, Gs=1.0):
    """A normally consolidated soil whose compression line passes through
    (s0, e0), with permeability k0 at e0; kPa, m, days."""
    return dict(Cc=Cc, Cr=Cc / 10, sigvref=s0, esigvref=e0, Gs=Gs, kref=k0, ekref=e0, Ck=Ck,
                Ca=Ca, tref=tref, ocrvoidratiotype=0, ocrvoidratio=1.0)


def step_load(times):
    """The whole load from time 0 on, results at `times`."""
    times = np.asarray(times, float)
    return dict(time=times, loadfactor=np.ones_like(times))


def layered(keywords, depth):
    """The same soil given node by node (input option 2) on the node depths
    `depth`."""
    out = dict(keywords)
    n = len(depth)
    for name in ("Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref",
                 "ocrvoidratio", "dsigv"):
        out[name] = np.full(n, float(keywords[name]))
    out["ocrvoidratiotype"] = np.full(n, int(keywords["ocrvoidratiotype"]), dtype=np.int32)
    out["depth"] = np.asarray(depth, float)
    out["N"] = n - 1
    out.pop("H", None)
    return out


def later(ds):
    """The results after time 0."""
    return ds.isel(time=slice(1, None))


def pressure_error(ds, expected, load):
    """Largest |u - expected| over the nodes and the times after 0, over the load."""
    u = later(ds)["u"].transpose("node", "time").values
    return float(np.max(np.abs(u - expected)) / load)


def time_factors(lo, hi, per_decade=10):
    """Log-spaced time factors from lo to hi."""
    return np.logspace(math.log10(lo), math.log10(hi), int(round(per_decade * math.log10(hi / lo))) + 1)


# --- cases ----------------------------------------------------------------------

@dataclass(frozen=True)
class Case:
    """One acceptance case: `measure(solver)` returns the measured error of
    each quantity named in `tolerances`."""
    name: str
    tolerances: Dict[str, float]
    measure: Callable = field(repr=False)


# Terzaghi: no self-weight, a 0.1 % load increment on a normally consolidated
# clay (cv then varies by 0.1 % over the step; with the secant a_v the series
# is within 1e-4 of the exact model), permeability practically constant,
# no creep.  Time factors from TV_START = 0.02, when the pressure front has
# moved 0.28 Hd into the layer (6 elements of a doubly drained N = 40):
# earlier the front lies within a few elements, where any second-order
# scheme misses the series by its spatial error alone (the exact module,
# right on this mesh: 3.2e-3 of the load and 1.8e-3 in degree at Tv = 0.01,
# 1.7e-3 and 1.3e-3 at 0.02).
TZ = dict(qo=100.0, dq=0.1, e0=1.0, Cc=0.2, H=1.0)
TV_START, TV_END = 0.02, 2.0


def terzaghi_case(drainage, *, N=40, graded=False, tolerances):
    qo, dq, e0, Cc, H = (TZ[k] for k in ("qo", "dq", "e0", "Cc", "H"))

    def measure(solver):
        kw = dict(soil(Cc, e0, qo), qo=qo, dsigv=dq, N=N, H=H, drainagetype=drainage)
        if graded:
            kw = layered(kw, H * np.linspace(0.0, 1.0, N + 1) ** 1.5)
        cv = ref.consolidation_coefficient(1e-3, e0, ref.secant_compressibility(Cc, qo, qo + dq))
        Hd = ref.drainage_path(H, drainage)
        Tv = time_factors(TV_START, TV_END)
        ds = solver(**kw, **step_load(Tv * Hd**2 / cv))
        s_inf = H / (1 + e0) * Cc * math.log10((qo + dq) / qo)
        Z = ref.drained_distance(ds["depth"].values, H, drainage)
        expected = dq * ref.terzaghi_pressure(Z[:, None], Tv[None, :])
        degree = later(ds)["settlement"].values / s_inf
        return {"pore pressure / load": pressure_error(ds, expected, dq),
                "average degree": float(np.max(np.abs(degree - ref.terzaghi_degree(Tv))))}

    mesh = f"graded mesh (depth = H s^1.5), N = {N}" if graded else f"N = {N}"
    return Case(f"Terzaghi, drainage {drainage}, {mesh}", tolerances, measure)


# Davis & Raymond: Ck = Cc makes k proportional to 1/s' and cv constant.  At
# Cc/(1+e0) = 0.01 the strain of a tenfold load (1 %) alone moves the pore
# pressures 4.5e-3 of the increment away from the small-strain closed form
# (measured on a fine solution of the finite-strain equation); at 0.001 it is
# 4.5e-4, so the closed form is a fair reference for a finite-strain engine.
# Near a drained end the pressure is steeper than Terzaghi's by up to
# ln(ratio) ratio/(ratio - 1) (2.6 at ratio 10), hence N = 100: at N = 40
# a sound uniform-mesh scheme misses by 1e-2 at Tv = 0.02 (the exact module:
# 1.0e-2 at N = 40, 3.3e-3 at N = 80, 2.3e-3 at N = 100).
DR = dict(qo=100.0, e0=1.0, strain_index=0.001, H=1.0, N=100, drainage=0)


def davis_raymond_case(ratio):
    qo, e0, H, N, drainage = (DR[k] for k in ("qo", "e0", "H", "N", "drainage"))
    Cc = DR["strain_index"] * (1 + e0)

    def measure(solver):
        sf = ratio * qo
        kw = dict(soil(Cc, e0, qo, Ck=Cc), qo=qo, dsigv=sf - qo, N=N, H=H, drainagetype=drainage)
        cv = ref.davis_raymond_cv(1e-3, qo, e0, Cc)
        Hd = ref.drainage_path(H, drainage)
        Tv = time_factors(TV_START, TV_END)
        ds = solver(**kw, **step_load(Tv * Hd**2 / cv))
        Z = ref.drained_distance(ds["depth"].values, H, drainage)
        expected = ref.davis_raymond_pressure(Z[:, None], Tv[None, :], qo, sf)
        return {"pore pressure / load increment": pressure_error(ds, expected, sf - qo)}

    return Case(f"Davis & Raymond, load ratio {ratio}, Cc/(1+e0) = {DR['strain_index']}",
                {"pore pressure / load increment": 5e-3}, measure)


# Gibson, England & Hussey: a tenfold load on Cc/(1 + e0) = 0.3 (e from 2.0 to
# 1.1), Ck chosen so that g is the same at both ends; g then stays within
# 1.1 % of its mean over [ef, e0].  With that mean, Terzaghi's series is
# within 4.5e-4 in degree and 0.015 % in t50 of a fine numerical solution of
# the finite-strain equation with the true g(e).
GEH = dict(qo=10.0, ratio=10.0, e0=2.0, Cc=0.9, H=1.0, N=40, drainage=1)


def geh_case():
    qo, ratio, e0, Cc, H, N, drainage = (GEH[k] for k in
                                         ("qo", "ratio", "e0", "Cc", "H", "N", "drainage"))

    def measure(solver):
        ef = e0 - Cc * math.log10(ratio)
        Ck = ref.geh_permeability_index(Cc, e0, ef)
        g, _ = ref.geh_mean_coefficient(e0, ef, qo, 1e-3, Cc, Ck)
        Hs = H / (1 + e0)                       # height of solids
        Hd = ref.drainage_path(Hs, drainage)
        Tv = time_factors(1e-3, 2.0, per_decade=30)
        kw = dict(soil(Cc, e0, qo, Ck=Ck), qo=qo, dsigv=(ratio - 1) * qo, N=N, H=H,
                  drainagetype=drainage)
        ds = solver(**kw, **step_load(Tv * Hd**2 / g))
        degree = later(ds)["settlement"].values / (Hs * (e0 - ef))
        t = later(ds)["time"].values
        t50 = math.exp(np.interp(0.5, degree, np.log(t)))
        t50_ref = ref.terzaghi_time_factor(0.5) * Hd**2 / g
        return {"average degree": float(np.max(np.abs(degree - ref.terzaghi_degree(Tv)))),
                "t50, relative": abs(t50 / t50_ref - 1)}

    return Case(f"Gibson, England & Hussey, Cc/(1+e0) = {Cc / (1 + e0):.1f}, load ratio 10, "
                f"drainage {drainage}, N = {N}", {"average degree": 1e-2, "t50, relative": 3e-2},
                measure)


def single_double_case(drainage, N=20):
    """Single drainage of H against the matching half of double drainage of
    2H: the sealed end is a plane of symmetry."""
    qo, dq, e0, Cc, H = (TZ[k] for k in ("qo", "dq", "e0", "Cc", "H"))

    def measure(solver):
        base = dict(soil(Cc, e0, qo), qo=qo, dsigv=dq)
        cv = ref.consolidation_coefficient(1e-3, e0, ref.secant_compressibility(Cc, qo, qo + dq))
        times = time_factors(TV_START, TV_END) * H**2 / cv
        one = solver(**base, N=N, H=H, drainagetype=drainage, **step_load(times))
        two = solver(**base, N=2 * N, H=2 * H, drainagetype=0, **step_load(times))
        half = slice(0, N + 1) if drainage == 1 else slice(N, 2 * N + 1)
        u1 = later(one)["u"].transpose("node", "time").values
        u2 = later(two)["u"].transpose("node", "time").values[half]
        return {"pore pressure / load": float(np.max(np.abs(u1 - u2)) / dq)}

    return Case(f"drainage {drainage} of H against drainage 0 of 2H, N = {N}",
                {"pore pressure / load": 1e-3}, measure)


# Final settlement with self-weight: Gs = 2.7, Cc/(1 + e) = 0.3 at the top,
# normally consolidated, effective stress from 10 kPa at the top (plus the
# weight of the layer below) to 90 kPa more everywhere.
SW = dict(qo=10.0, dq=90.0, Cc=0.9, e0=2.0, Gs=2.7, H=10.0, N=40, Ck=0.5)


def self_weight_case():
    qo, dq, Cc, e0, Gs, H, N, Ck = (SW[k] for k in ("qo", "dq", "Cc", "e0", "Gs", "H", "N", "Ck"))

    def measure(solver):
        s_inf, _ = ref.self_weight_final_settlement(H, qo, dq, Cc, e0, qo, Gs)
        # Slowest cv: the least permeable state, at the bottom under the load.
        sb = qo + (Gs - 1) * GAMMAW * H / (1 + e0) + dq
        e_low = e0 - Cc * math.log10(sb / qo)
        k_low = 1e-3 * 10 ** ((e_low - e0) / Ck)
        cv = k_low * (1 + e_low) * LN10 * sb / (Cc * GAMMAW)
        t_end = 20 * (H / 2) ** 2 / cv
        kw = dict(soil(Cc, e0, qo, Ck=Ck, Gs=Gs), qo=qo, dsigv=dq, N=N, H=H, drainagetype=0)
        ds = solver(**kw, **step_load(t_end * np.logspace(-6, 0, 13)))
        residual = float(np.max(np.abs(ds["u"].isel(time=-1).values)) / dq)
        assert residual < 1e-6, f"not yet consolidated: u/load = {residual:.2e}"
        return {"final settlement, relative": abs(float(ds["settlement"][-1]) / s_inf - 1)}

    return Case(f"final settlement with self-weight, Gs = {Gs}, Cc/(1+e0) = {Cc / (1 + e0):.1f}, "
                f"{qo:g} to {qo + dq:g} kPa, N = {N}", {"final settlement, relative": 2e-3},
                measure)


# Creep: a normally consolidated clay (OCR 1), 50 to 100 kPa, Gs = 1.  Primary
# consolidation ends at t_p (Terzaghi's Tv = 2 with the final cv); the cycles
# are counted from there, the third is [100 t_p, 1000 t_p].
CREEP = dict(qo=50.0, dq=50.0, Cc=0.5, e0=1.5, Ca=0.02, tref=1.0, H=1.0, N=40, k0=1e-4)


def creep_case():
    qo, dq, Cc, e0, Ca, tref, H, N, k0 = (CREEP[k] for k in
                                          ("qo", "dq", "Cc", "e0", "Ca", "tref", "H", "N", "k0"))

    def measure(solver):
        sf = qo + dq
        ef = e0 - Cc * math.log10(sf / qo)
        cv = k0 * (1 + ef) * LN10 * sf / (Cc * GAMMAW)          # k at e0: Ck large
        tp = 2.0 * (H / 2) ** 2 / cv
        times = np.concatenate([np.logspace(math.log10(0.1 * tref), math.log10(tp), 40)[:-1],
                                tp * np.logspace(0, 3, 31)])
        kw = dict(soil(Cc, e0, qo, k0=k0, Ca=Ca, tref=tref), qo=qo, dsigv=dq, N=N, H=H,
                  drainagetype=0)
        ds = solver(**kw, **step_load(times))
        late = later(ds)
        s = np.interp(np.log([100 * tp, 1000 * tp]), np.log(late["time"].values),
                      late["settlement"].values)
        slope = ref.creep_settlement_per_cycle(Ca, H / (1 + e0))
        return {"third-cycle settlement / (Ca Hs), relative": abs((s[1] - s[0]) / slope - 1)}

    return Case(f"creep after primary consolidation, Ca = {Ca}, drainage 0, N = {N}",
                {"third-cycle settlement / (Ca Hs), relative": 1e-2}, measure)


def agreement_case(Ca, N=100):
    """pelorin.run against Pelorin.compute where the latter is right: uniform
    mesh, small strain, double drainage, a fine grid (16 steps of the exact
    module per output interval; 32 change its settlement by 1.7e-4 of the
    final).  Times from Tv = 0.01, when the front spans ten elements; with
    creep, tref is a tenth of the first output time so that creep acts
    through the whole run.  Measured: the largest settlement difference over
    the final settlement."""
    qo, e0 = 100.0, 1.0
    Cc = 0.002                                  # Cc/(1 + e0) = 0.001

    def measure(solver):
        cv = ref.davis_raymond_cv(1e-3, qo, e0, Cc)
        times = time_factors(0.01, 20.0, per_decade=20) * 0.25 / cv
        kw = dict(soil(Cc, e0, qo, Ck=Cc, Ca=Ca, tref=times[0] / 10), qo=qo, dsigv=4 * qo,
                  N=N, H=1.0, drainagetype=0, **step_load(times))
        ours, exact = solver(**kw), compute_dataset(substeps=16, **kw)
        s, s_exact = (later(d)["settlement"].values for d in (ours, exact))
        return {"settlement / final settlement": float(np.max(np.abs(s - s_exact)) / s_exact[-1])}

    return Case(f"pelorin.run against Pelorin.compute, Ca = {Ca:g}, uniform mesh, small strain, "
                f"drainage 0, N = {N}", {"settlement / final settlement": 5e-3}, measure)


TERZAGHI = {"pore pressure / load": 5e-3, "average degree": 2e-3}
GRADED = {"pore pressure / load": 1e-2, "average degree": 1e-2}

CASES = (
    [terzaghi_case(d, tolerances=TERZAGHI) for d in (0, 1, 2)]
    + [davis_raymond_case(r) for r in (2, 5, 10)]
    + [geh_case()]
    + [terzaghi_case(d, N=80, graded=True, tolerances=GRADED) for d in (0, 1, 2)]
    + [single_double_case(d) for d in (1, 2)]
    + [self_weight_case(), creep_case()]
    + [agreement_case(Ca) for Ca in (0.0, 8e-5)]
)


def loads_case(name, tolerances, measure):
    """A case of loads of finite size: `measure()` gives its errors (one number: the
    case's one quantity); the solver is not used."""
    def run(solver):
        out = measure()
        return out if isinstance(out, dict) else {next(iter(tolerances)): out}
    return Case(name, tolerances, run)


REL = "relative, against the kernel integrated numerically"
LOAD_CASES = [
    loads_case("stress: rectangle (Holl), 0.01 B to 10 B", {REL: 1e-6}, site.rectangle_error),
    loads_case("stress: circle, on and off its axis", {REL: 1e-6}, site.circle_error),
    loads_case("stress: strip and embankment section", {REL: 1e-6}, site.strip_error),
    loads_case("stress: embankment of finite length", {REL: 1e-6}, site.hipped_error),
    loads_case("stress: Osterberg", {"chart, I at B1/z = 0, B2/z = 3": 5e-4,
                                     "form, relative": 1e-12}, site.osterberg),
    # The pieces' sums lose digits to cancellation at a point outside near the surface.
    loads_case("stress: L-shaped polygon", {"against the kernel over it": 1e-6,
                                            "sum of its rectangles": 1e-8,
                                            "sum of its triangles": 1e-8}, site.polygon_errors),
    loads_case("stress: Westergaard", {"against the formulas": 1e-12,
                                       "against the kernel": 1e-6}, site.westergaard_errors),
    loads_case("stress: 2:1", {"load kept at every depth (plan summed on a 5 cm grid)": 1e-3,
                               "under the centre": 1e-12}, site.two_to_one_error),
    loads_case("site: footprint 100 x the clay's thickness, centre against 1-D",
               {"settlement, relative to the largest": 5e-3}, site.wide_error),
    loads_case("site: symmetry", {"mirrored points": 1e-9, "rotated footprint": 1e-9},
               site.symmetry_errors),
    loads_case("site: 50 x 50 grid, three boreholes", {"failed points": 0.0},
               site.grid_failures),
]
# Vertical drains (validation/drain_cases.py): like the loads of finite size, each
# case runs the engine's binding itself, with its `drains` keyword.
DRAIN_CASES = (
    [loads_case("drains: Hansbo's mu in full, n = 5 to 40, smear s = 1 to 3",
                {"against the cell average integrated numerically, relative": 1e-4},
                drains.mu_errors)]
    + [loads_case(f"drains: radial flow only (Hansbo), linear soil, n = {n}, N = 40",
                  {drains.smear_label(s, k): 2e-3 for s, k in drains.SMEAR},
                  lambda n=n: drains.radial_errors(n)) for n in (10, 20, 40)]
    + [loads_case("drains: well resistance (Hansbo), pi l^2 kh/qw = 2 mu, N = 40",
                  {"local degree at z/l = 0.25": 3e-3, "local degree at z/l = 0.5": 3e-3,
                   "local degree at z/l = 1": 3e-3, "average degree over the depth": 5e-3},
                  drains.well_errors),
       loads_case("drains: radial and vertical flow (Carrillo), linear soil, N = 40",
                  {"average degree": 2e-3}, drains.carrillo_error),
       loads_case("drains: to half the depth, finite strain, N = 40",
                  {"settlement outside no drains and full drains / final": 1e-4},
                  drains.partial_bound_error),
       loads_case("drains far apart against none, finite strain, N = 40",
                  {"100 m: settlement difference / final": 1e-3,
                   "1000 m: settlement difference / final": 1e-4},
                  drains.far_spacing_errors)]
)
CASES = CASES + LOAD_CASES + DRAIN_CASES

# Loads placed over time, heads at the drained ends and fills that submerge, through
# pelorin.simulate (validation/loading_cases.py has each closed form and its source).
TIME_CASES = (
    [loads_case(f"ramp to Tc = {Tc:g} (Olson 1977), linear soil, drainage 0, N = 40",
                {"average degree": 2e-3, "degree from pore pressure": 2e-3},
                (lambda Tc=Tc: loading.olson_errors(Tc)))
     for Tc in (0.1, 1.0, 5.0)]
    + [loads_case("head dropped 2 m at both drained ends against 19.62 kPa at once, "
                  "self-weight, N = 40", {"pore pressure / load": 1e-3,
                                          "settlement / final settlement": 1e-3},
                  loading.both_ends_errors),
       loads_case("head dropped at the base only (series about the linear final state), "
                  "linear soil, drainage 0, N = 40",
                  {"pore pressure / head drop": 2e-3, "final effective stress, relative": 1e-6},
                  loading.base_head_errors),
       loads_case("steady seepage through three layers, k 1e-9, 1e-10, 2e-9 m/s, 3 m artesian "
                  "head", {"pore pressure / base pressure": 1e-9}, loading.seepage_errors),
       loads_case("submerging fill, s = S(q - gammaw s), self-weight, 90 kPa, N = 40",
                  {"final settlement, relative": 2e-3,
                   "submergence off against the load in kPa": 0.0},
                  loading.submergence_errors)]
)
CASES = CASES + TIME_CASES


def named(fragment):
    """The one case whose name contains `fragment`."""
    found = [c for c in CASES if fragment in c.name]
    if len(found) != 1:
        raise KeyError(f"{len(found)} cases named like {fragment!r}")
    return found[0]


def exact_solver(**keywords):
    """Pelorin.compute on a grid refined 16 times (`compute_dataset`)."""
    return compute_dataset(substeps=16, **keywords)


# --- the table ------------------------------------------------------------------

def table(solver, cases=CASES, out=sys.stdout):
    """Runs every case and prints one row per quantity; returns the rows."""
    rows = []
    print("| case | quantity | tolerance | measured error | result |", file=out)
    print("|---|---|---|---|---|", file=out)
    for case in cases:
        start = clock.perf_counter()
        try:
            errors = case.measure(solver)
        except Exception as exc:                      # a failed run is a failed row
            errors = {q: math.nan for q in case.tolerances}
            note = f"{type(exc).__name__}: {exc}"
        else:
            note = ""
        seconds = clock.perf_counter() - start
        for quantity, tol in case.tolerances.items():
            error = errors[quantity]
            ok = error <= tol
            rows.append((case.name, quantity, tol, error, ok))
            shown = f"{error:.2e}" if not math.isnan(error) else note or "n/a"
            print(f"| {case.name} | {quantity} | {tol:g} | {shown} | "
                  f"{'pass' if ok else '**FAIL**'} |", file=out, flush=True)
        print(f"  {case.name}: {seconds:.2f} s", file=sys.stderr)
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--compute", action="store_true",
                        help="run the cases through Pelorin.compute instead of pelorin.run")
    parser.add_argument("--substeps", type=int, default=16,
                        help="with --compute: steps of Pelorin.compute per output interval")
    parser.add_argument("--case", default="", help="only the cases whose name contains this")
    args = parser.parse_args(argv)
    if args.compute:
        def solver(**keywords):
            return compute_dataset(substeps=args.substeps, **keywords)
    else:
        solver = engine_solver()
    rows = table(solver, [c for c in CASES if args.case in c.name])
    return 0 if all(ok for *_, ok in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
