"""Staged embankment on a layered soft clay, from Python with `pelorin`.

The same column as examples/embankment.toml, without the sand lens, built
with pelorin's objects and run for two drainage cases:

* day 0:     2.5 m of fill, 50 kPa;
* day 365:   raised to 5 m, 100 kPa;
* day 1825:  1 m taken off again, 80 kPa; then followed to day 20000.

The clay (groundwater at its surface, a sand blanket giving 10 kPa of
effective stress at the top) has three layers: a stiff overconsolidated
crust (0-2 m, preconsolidation stress 80 kPa), a very soft normally
consolidated clay with creep (2-9 m) and a firmer silty clay (9-12 m).  The
normally consolidated layers have an OCR of 1.2: with creep, a clay exactly
on its reference line is only tref old; a natural clay has aged below it.

It is run drained at the top and at the base (a sand layer under the clay)
and drained at the top only (an impermeable base); then the whole fill is
placed at once for both, to compare the times to 50 % consolidation (t50
grows with the square of the drainage path: about four times longer).

Units: kPa, m, days; permeability in m/s.

    python3 examples/embankment.py [OUTDIR]

writes its figures to OUTDIR, else to $PELORIN_FIGURES, else to docs/.
"""
from __future__ import annotations

import os
import sys
from dataclasses import dataclass

import numpy as np

import pelorin
from pelorin import Layer, Loading, Profile, Soil, Stage
from pelorin.plots import plot_isochrones

SOILS = {
    "crust": Soil(name="crust", Cc=0.30, Cr=0.03, Ca=0.006, esigvref=1.20, Gs=2.70,
                  kref=1e-8, ekref=1.40, Ck=0.60),
    "soft clay": Soil(name="soft clay", Cc=0.90, Cr=0.09, Ca=0.027, esigvref=1.90, Gs=2.65,
                      kref=1e-8, ekref=2.30, Ck=1.10),
    "silty clay": Soil(name="silty clay", Cc=0.45, Cr=0.05, Ca=0.012, esigvref=1.20,
                       Gs=2.68, kref=1.5e-8, ekref=1.45, Ck=0.70),
}
QO = 10.0               # kPa: effective stress at the top (sand blanket)
FILL = 20.0             # kN/m3: unit weight of the fill
STAGES = (Stage(0.0, fill=2.5, unit_weight=FILL),       # 50 kPa
          Stage(365.0, fill=2.5, unit_weight=FILL),     # raised to 100 kPa
          Stage(1825.0, fill=-1.0, unit_weight=FILL))   # 1 m removed: 80 kPa
T_END = 20000.0
FILL_STRESS = 100.0     # kPa: the full embankment
DRAINAGE = (("drained top and base", "both"), ("drained top only", "top"))


@dataclass(frozen=True)
class Settings:
    """Discretisation: elements of the column, output times per decade."""
    N: int = 60
    points_per_decade: int = 12


FAST = Settings(N=24, points_per_decade=6)


def profile(drainage: str, settings: Settings = Settings()) -> Profile:
    """The three layers, their elements in proportion to their thickness."""
    n = settings.N
    return Profile([Layer(SOILS["crust"], 2.0, pc=80.0, elements=max(2, n // 6)),
                    Layer(SOILS["soft clay"], 7.0, ocr=1.2, elements=n - n // 6 - n // 4),
                    Layer(SOILS["silty clay"], 3.0, ocr=1.2, elements=n // 4)],
                   surcharge=QO, drainage=drainage)


def analyse(settings: Settings = Settings(), stages=STAGES) -> dict[str, pelorin.Result]:
    """The staged history for both drainage cases."""
    loading = Loading(stages, end=T_END)
    return {label: pelorin.simulate(profile(d, settings), loading,
                                    points_per_decade=settings.points_per_decade, title=label)
            for label, d in DRAINAGE}


def drainage_check(settings: Settings = Settings()) -> dict[str, float]:
    """Time to 50 % consolidation (days) under the whole fill placed at once."""
    cases = analyse(settings, stages=(Stage(0.0, load=FILL_STRESS),))
    return {label: float(r.dataset["t50"][0]) for label, r in cases.items()}


def unloading(result: pelorin.Result) -> dict[str, float]:
    """Settlement before the surcharge removal, the rebound after it and the
    settlement at the end (mm)."""
    s = result.settlement
    t = float(result.dataset["stage_time"][-1])
    before = float(s.sel(time=t))
    after = s.sel(time=slice(t, None))
    return {"before": before * 1000.0, "rebound": (before - float(after.min())) * 1000.0,
            "final": float(s[-1]) * 1000.0}


REPORT_TIMES = (1, 3, 10, 30, 100, 200, 365, 366, 400, 500, 1000, 1825, 1826, 1900, 3000,
                5000, 10000, 20000)


def table(result: pelorin.Result, times=REPORT_TIMES) -> str:
    """Settlement and degree of consolidation at the output times nearest to `times`."""
    ds = result.dataset
    t = ds["time"].values
    picks = sorted({int(np.argmin(np.abs(t - w))) for w in times})
    lines = [f"{'time [d]':>9} {'load [kPa]':>10} {'settlement [mm]':>16} {'U':>6} "
             f"{'u peak [kPa]':>13}"]
    u = ds["u"].values
    for j in picks:
        peak = u[np.argmax(np.abs(u[:, j])), j]
        lines.append(f"{t[j]:9.1f} {float(ds['load'][j]):10.0f} "
                     f"{float(ds['settlement'][j]) * 1000:16.1f} {float(ds['U_pore'][j]):6.3f} "
                     f"{peak:13.2f}")
    return "\n".join(lines)


def plot_settlement(path: str, cases: dict[str, pelorin.Result]) -> None:
    """Both drainage cases on one settlement-log time plot."""
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7.5, 4.8), dpi=100, constrained_layout=True)
    ax = fig.subplots()
    for label, r in cases.items():
        t = r.time.values
        ax.semilogx(t[1:], r.settlement.values[1:] * 1000, marker=".", markersize=3, label=label)
    for stage in STAGES[1:]:
        ax.axvline(stage.time, color="0.6", lw=0.8, ls="--")
    ax.invert_yaxis()
    ax.set_xlabel("time since the first stage [days] (log scale; dashed: load changes)")
    ax.set_ylabel("settlement of the clay surface [mm]")
    ax.set_title("Staged embankment on 12 m of layered clay: 50, 100, then 80 kPa")
    ax.grid(True, which="both", lw=0.3)
    ax.legend(loc="lower left")
    fig.savefig(path)


def output_dir(argv: list[str]) -> str:
    if len(argv) > 1:
        return argv[1]
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs")
    return os.path.normpath(os.environ.get("PELORIN_FIGURES", default))


def main(argv: list[str] | None = None, settings: Settings = Settings()) -> dict:
    """Runs everything, prints the tables, writes the figures; returns the
    numbers it printed."""
    argv = sys.argv if argv is None else argv
    cases = analyse(settings)
    numbers: dict = {"unloading": {}, "t50": drainage_check(settings)}
    for label, r in cases.items():
        print(f"\n== {label}: {r.dataset.sizes['time']} output times, "
              f"{r.dataset.sizes['node'] - 1} elements ==")
        print(table(r))
        numbers["unloading"][label] = unl = unloading(r)
        print(f"surcharge removal: {unl['before']:.0f} mm before, rebound {unl['rebound']:.1f} mm, "
              f"{unl['final']:.0f} mm at day {float(r.time[-1]):.0f}")
    (l0, d0), (l1, d1) = numbers["t50"].items()
    print(f"\nwhole fill at once, time to 50 % consolidation: {d0:.0f} days ({l0}), "
          f"{d1:.0f} days ({l1}): ratio {d1 / d0:.2f}")

    outdir = output_dir(argv)
    os.makedirs(outdir, exist_ok=True)
    numbers["figures"] = [os.path.join(outdir, "embankment_settlement.png"),
                          os.path.join(outdir, "embankment_isochrones.png")]
    plot_settlement(numbers["figures"][0], cases)
    plot_isochrones(cases["drained top only"],
                    times=(3.0, 30.0, 364.0, 400.0, 1000.0, 1824.0, 1900.0, 5000.0),
                    path=numbers["figures"][1])
    print("\nfigures written:\n  " + "\n  ".join(numbers["figures"]))
    return numbers


if __name__ == "__main__":
    main()
