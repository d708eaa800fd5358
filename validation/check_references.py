"""How far each closed form of reference.py lies from the model it stands
for: a fine numerical solution of the finite-strain equation without
self-weight (Gibson, England & Hussey 1967), in the solids coordinate xi,

    de/dt = d/dxi (g(e) de/dxi),  g = k s' ln10/(gammaw (1 + e) Cc),

on a normally consolidated soil (e = e0 - Cc log10(s'/s0),
k = k0 10^((e - e0)/Ck)), drained at xi = 0 (e = ef) and sealed at the
height of solids.  Finite volumes of equal size in xi, BDF in time (SciPy).

    python validation/check_references.py     # needs python3-scipy

Prints the departures quoted in README.md's Validation section.
"""
import math
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference as ref  # noqa: E402


def finite_strain(e0, ef, s0, k0, Cc, Ck, times, cells=400, Hs=1.0):
    """Void ratio at the cell centres (cells x times) and the centres."""
    from scipy.integrate import solve_ivp

    h = Hs / cells

    def rate(t, e):
        g = ref.geh_coefficient(np.concatenate([[ef], e]), e0, s0, k0, Cc, Ck)
        flux = np.zeros(cells + 1)
        flux[0] = 0.5 * (g[0] + g[1]) * (e[0] - ef) / (h / 2)
        flux[1:cells] = 0.5 * (g[1:cells] + g[2:]) * (e[1:] - e[:-1]) / h
        return (flux[1:] - flux[:-1]) / h

    sol = solve_ivp(rate, (0, times[-1]), np.full(cells, e0), method="BDF", t_eval=times,
                    rtol=1e-10, atol=1e-13)
    return sol.y, (np.arange(cells) + 0.5) * h


def departures(ratio, Cc, e0, Ck, cv, Tv, s0=100.0, k0=1e-3, Hs=1.0):
    """Largest |u - u_ref|/load and |U - U_ref| of the fine solution against
    Davis & Raymond's pressures (Terzaghi's when ratio -> 1) and Terzaghi's
    degree, with time factors Tv = cv t/Hd^2, Hd = (1 + e0) Hs in initial
    lengths."""
    sf = ratio * s0
    ef = e0 - Cc * math.log10(ratio)
    times = Tv * ((1 + e0) * Hs) ** 2 / cv
    e, xi = finite_strain(e0, ef, s0, k0, Cc, Ck, times, Hs=Hs)
    u = sf - s0 * 10 ** ((e0 - e) / Cc)
    expected = ref.davis_raymond_pressure(xi[:, None] / Hs, Tv[None, :], s0, sf)
    U = np.mean(e0 - e, axis=0) / (e0 - ef)
    return (float(np.max(np.abs(u - expected)) / (sf - s0)),
            float(np.max(np.abs(U - ref.terzaghi_degree(Tv)))))


def main():
    Tv = np.logspace(-2, math.log10(2), 60)
    rows = []
    # Terzaghi: 0.1 % and 1 % increments, k constant, secant a_v.
    for ratio in (1.001, 1.01):
        Cc, e0 = 0.2, 1.0
        cv = ref.consolidation_coefficient(1e-3, e0, ref.secant_compressibility(Cc, 100.0,
                                                                               100.0 * ratio))
        du, dU = departures(ratio, Cc, e0, 1e6, cv, Tv)
        rows.append((f"Terzaghi, load increment {100 * (ratio - 1):g} %", du, dU))
    # Davis & Raymond: Ck = Cc, tenfold load, two strain indices.
    for index in (0.001, 0.01):
        e0 = 1.0
        Cc = index * (1 + e0)
        du, dU = departures(10.0, Cc, e0, Cc, ref.davis_raymond_cv(1e-3, 100.0, e0, Cc), Tv)
        rows.append((f"Davis & Raymond, ratio 10, Cc/(1+e0) = {index:g}", du, dU))
    # Gibson, England & Hussey: Cc/(1 + e0) = 0.3, tenfold load, mean g.
    Cc, e0, s0 = 0.9, 2.0, 10.0
    ef = e0 - Cc
    Ck = ref.geh_permeability_index(Cc, e0, ef)
    g, spread = ref.geh_mean_coefficient(e0, ef, s0, 1e-3, Cc, Ck)
    Tv = np.logspace(-3, math.log10(2), 200)
    e, _ = finite_strain(e0, ef, s0, 1e-3, Cc, Ck, Tv / g)
    U = np.mean(e0 - e, axis=0) / (e0 - ef)
    t50 = math.exp(np.interp(0.5, U, np.log(Tv)))
    print(f"g within {100 * spread:.2f} % of its mean over [ef, e0]")
    rows.append(("Gibson, England & Hussey, mean g", math.nan,
                  float(np.max(np.abs(U - ref.terzaghi_degree(Tv))))))
    print(f"t50 of the fine solution over the reference's - 1: "
          f"{t50 / ref.terzaghi_time_factor(0.5) - 1:.2e}")
    print("| reference | largest pressure departure / load | largest degree departure |")
    print("|---|---|---|")
    for name, du, dU in rows:
        print(f"| {name} | {du:.1e} | {dU:.1e} |")


if __name__ == "__main__":
    main()
