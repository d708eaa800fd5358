"""Staged embankment on a layered soft clay: settlement and pore pressures.

A wide embankment (one-dimensional loading: the same stress increment at
every depth) is built in two stages on 12 m of clay, held, and then partly
removed (surcharge removal):

* day 0:     2.5 m of fill, 50 kPa;
* day 365:   raised to 5 m, 100 kPa;
* day 1825:  1 m taken off again, 80 kPa; then followed to day 20000.

The clay column (groundwater at its surface, a 0.5 m sand blanket giving
10 kPa of effective stress at the top) has three layers:

* 0-2 m    stiff, overconsolidated crust: preconsolidation stress 80 kPa;
* 2-9 m    very soft, normally consolidated clay (high Cc and creep);
* 9-12 m   firmer, normally consolidated silty clay.

The normally consolidated layers are given an OCR of 1.2: with creep, a
clay exactly on its reference compression line (OCR 1) is a clay that is
tref old and still creeping at its laboratory rate; a natural clay that has
aged in place sits a little below that line.

The same column is run twice: drained at the top and at the base (a sand
layer under the clay), and drained at the top only (an impermeable base).
A third pair of runs applies the whole fill at once and compares the times to
50 % consolidation of the two drainage cases (t50 grows with the square of
the drainage path, so single drainage should take about four times longer).

Units: kPa, m, days; permeabilities in m/day (1e-9 m/s = 8.64e-5 m/day).

    python3 examples/embankment.py [OUTDIR]

writes its figures to OUTDIR, else to $PELORIN_FIGURES, else to docs/.
"""
from __future__ import annotations

import contextlib
import io
import os
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np

import Pelorin

M_PER_S = 86400.0  # a permeability in m/s times this is in m/day

# Layers from the top down.  sigvref/esigvref fix the normal compression line
# e = esigvref - Cc*log10(sigma'/sigvref); kref is the permeability (m/day)
# at void ratio ekref and Ck the change of e per tenfold change of k.
# code 2: `ocr` is a preconsolidation stress (kPa); code 0: an OCR.
LAYERS = (
    dict(name="crust", bottom=2.0, Cc=0.30, Cr=0.03, Ca=0.006, esigvref=1.20, Gs=2.70,
         kref=1e-8 * M_PER_S, ekref=1.40, Ck=0.60, code=2, ocr=80.0),
    dict(name="soft clay", bottom=9.0, Cc=0.90, Cr=0.09, Ca=0.027, esigvref=1.90, Gs=2.65,
         kref=1e-8 * M_PER_S, ekref=2.30, Ck=1.10, code=0, ocr=1.2),
    dict(name="silty clay", bottom=12.0, Cc=0.45, Cr=0.05, Ca=0.012, esigvref=1.20, Gs=2.68,
         kref=1.5e-8 * M_PER_S, ekref=1.45, Ck=0.70, code=0, ocr=1.2),
)
SIGVREF = 100.0         # kPa: the stress at which esigvref is given
TREF = 1.0              # days: reference time of secondary compression
QO = 10.0               # kPa: effective stress at the top (sand blanket)
FILL_STRESS = 100.0     # kPa: the full embankment, 5 m of fill at 20 kN/m3

# Load history: (time in days, load factor from then on).
STAGES = ((0.0, 0.5),       # stage 1: 2.5 m of fill
          (365.0, 1.0),     # stage 2 after a year: raised to 5 m
          (1825.0, 0.8))    # after five years: 1 m of surcharge removed
T_END = 20000.0             # days
ONE_STAGE = ((0.0, 1.0),)   # the whole fill at once (drainage comparison)

DRAINAGE = (("drained top and base", 0), ("drained top only", 1))


@dataclass(frozen=True)
class Settings:
    """Discretisation.  Every step converges for first steps of 0.01 to 300
    days and 1 to 40 steps per decade (N = 20 and 60).  With the soft layers
    at OCR 1.0 instead of 1.2, first steps of 10 days (10 tref) and more fail."""
    N: int = 60                 # elements (0.2 m each)
    first_step: float = 1.0     # days: first step after each load change (about tref)
    steps_per_decade: int = 12  # steps per tenfold increase of the time since the change


FAST = Settings(N=20, first_step=1.0, steps_per_decade=5)


def column(N: int) -> dict[str, np.ndarray]:
    """Node arrays of the layered column (the layered form of the run's keywords)."""
    depth = np.linspace(0.0, LAYERS[-1]["bottom"], N + 1)
    # A node on a boundary between layers belongs to the layer below it.
    which = np.searchsorted([layer["bottom"] for layer in LAYERS], depth, side="right")
    which = np.minimum(which, len(LAYERS) - 1)
    arrays: dict[str, np.ndarray] = {"depth": depth}
    for key in ("Cc", "Cr", "Ca", "esigvref", "Gs", "kref", "ekref", "Ck"):
        arrays[key] = np.array([LAYERS[w][key] for w in which], dtype=np.float64)
    arrays["ocrvoidratiotype"] = np.array([LAYERS[w]["code"] for w in which], dtype=np.int32)
    arrays["ocrvoidratio"] = np.array([LAYERS[w]["ocr"] for w in which], dtype=np.float64)
    arrays["sigvref"] = np.full(N + 1, SIGVREF)
    arrays["tref"] = np.full(N + 1, TREF)
    arrays["dsigv"] = np.full(N + 1, FILL_STRESS)   # a wide fill: the same increment at depth
    arrays["ru"] = np.zeros(N + 1)                   # hydrostatic pore pressures at the start
    return arrays


def load_factor_at(t: float, stages=STAGES) -> float:
    factor = stages[0][1]
    for ts, lf in stages:
        if t >= ts:
            factor = lf
    return factor


def load_history(stages=STAGES, t_end=T_END, first_step=1.0, steps_per_decade=12):
    """Times and load factors of the run.

    After every load change the steps start at `first_step` and grow
    geometrically (`steps_per_decade` per tenfold time since the change): the
    fast early consolidation near the drains is resolved and the slow late
    creep is not over-resolved.  A step's load factor is the load acting
    during the step, so a change at time ts belongs to the step that begins at
    ts; the first load factor is applied at time 0 (undrained, as the initial
    excess pore pressure).
    """
    ends = [t for t, _ in stages[1:]] + [t_end]
    times: list[float] = []
    for (ts, _), te in zip(stages, ends):
        n = max(int(np.ceil(steps_per_decade * np.log10((te - ts) / first_step))), 1) + 1
        stage = np.array(Pelorin.Logspace(ts, te, n, first_step))
        stage[-1] = te      # exactly: the next load change begins here
        times.extend(stage)
    time = np.array(times, dtype=np.float64)
    begins = np.concatenate(([0.0], time[:-1]))
    loadfactor = np.array([load_factor_at(t, stages) for t in begins], dtype=np.float64)
    return time, loadfactor


def inputs(drainagetype: int, settings: Settings = Settings(), stages=STAGES,
           t_end: float = T_END) -> dict:
    """The keyword arguments of one run."""
    kw: dict[str, Any] = dict(column(settings.N))
    kw["time"], kw["loadfactor"] = load_history(stages, t_end, settings.first_step,
                                                settings.steps_per_decade)
    kw.update(qo=QO, drainagetype=drainagetype)
    return kw


def run(kw: dict) -> dict[str, np.ndarray]:
    """Runs the model.  A step that does not converge ends a run early with a
    printed line; here that is an error."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = Pelorin.compute(**kw)
    message = out.getvalue().strip()
    if message:
        raise RuntimeError(message)
    return {key: np.asarray(value) for key, value in result.items()}


@dataclass
class Summary:
    time: np.ndarray            # days
    settlement: np.ndarray      # mm, of the top of the clay
    U: np.ndarray               # average degree of consolidation
    u_peak: np.ndarray          # kPa: the excess pore pressure of largest magnitude, signed
    stage_starts: list          # index of the first step of every stage


def summarise(kw: dict, result: dict[str, np.ndarray]) -> Summary:
    """Settlement, degree of consolidation and peak pore pressure over time.

    The average degree of consolidation is one less the depth-averaged excess
    pore pressure over the load applied at that time (the usual measure under
    staged loading).  After an unloading it exceeds 1 while the clay still
    draws water in.
    """
    time, lf = kw["time"], kw["loadfactor"]
    z, u = result["z"], result["u"]
    settlement = z[0] * 1000.0          # the top node starts at depth 0 and moves down
    mean_u = np.trapz(u, z, axis=0) / (z[-1] - z[0])
    U = 1.0 - mean_u / (np.mean(kw["dsigv"]) * lf)
    starts = [0] + [j for j in range(1, len(time)) if lf[j] != lf[j - 1]]
    peak = u[np.argmax(np.abs(u), axis=0), np.arange(u.shape[1])]
    return Summary(time, settlement, U, peak, starts)


def time_to(s: Summary, U_target: float) -> float:
    """Time (days) at which U first reaches U_target in the first stage, by
    interpolation in log time; NaN if it does not."""
    end = s.stage_starts[1] if len(s.stage_starts) > 1 else len(s.time)
    t, U = s.time[:end], s.U[:end]
    k = int(np.argmax(U >= U_target))
    if U[k] < U_target:
        return float("nan")
    if k == 0:
        return float(t[0])
    f = (U_target - U[k - 1]) / (U[k] - U[k - 1])
    return float(t[k - 1] * (t[k] / t[k - 1]) ** f)


def unloading(s: Summary) -> dict[str, float]:
    """Settlement before the surcharge removal, the rebound after it (mm)
    and the settlement at the end."""
    j = s.stage_starts[-1]
    before = float(s.settlement[j - 1])
    return {"before": before, "rebound": before - float(np.min(s.settlement[j:])),
            "final": float(s.settlement[-1])}


REPORT_TIMES = (1, 3, 10, 30, 100, 200, 365, 366, 400, 500, 1000, 1825, 1826, 1900, 3000,
                5000, 10000, 20000)


def table(s: Summary, times=REPORT_TIMES) -> str:
    """A readable table at the grid times nearest to `times` (days)."""
    picks = sorted({int(np.argmin(np.abs(s.time - t))) for t in times})
    begins = np.concatenate(([0.0], s.time[:-1]))
    lines = [f"{'time [d]':>9} {'load [kPa]':>10} {'settlement [mm]':>16} {'U':>6} "
             f"{'u peak [kPa]':>13}"]
    for j in picks:
        load = load_factor_at(begins[j]) * FILL_STRESS
        lines.append(f"{s.time[j]:9.1f} {load:10.0f} {s.settlement[j]:16.1f} {s.U[j]:6.3f} "
                     f"{s.u_peak[j]:13.2f}")
    return "\n".join(lines)


def analyse(settings: Settings = Settings()) -> dict:
    """The staged history for both drainage cases: inputs, results, summaries."""
    cases = {}
    for label, drainagetype in DRAINAGE:
        kw = inputs(drainagetype, settings)
        result = run(kw)
        cases[label] = (kw, result, summarise(kw, result))
    return cases


def drainage_check(settings: Settings = Settings()) -> dict[str, float]:
    """Time to 50 % consolidation (days) under the whole fill placed at once,
    for both drainage cases."""
    t50 = {}
    for label, drainagetype in DRAINAGE:
        kw = inputs(drainagetype, settings, stages=ONE_STAGE)
        t50[label] = time_to(summarise(kw, run(kw)), 0.5)
    return t50


def plot_settlement(path: str, cases: dict[str, Summary]) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=100)
    for label, s in cases.items():
        ax.semilogx(s.time, s.settlement, marker=".", markersize=3, label=label)
    # Load changes: dashed lines, labelled where the curves leave room
    # (below the curves before a loading, above them after an unloading).
    previous = STAGES[0][1]
    for ts, lf in STAGES[1:]:
        ax.axvline(ts, color="0.6", lw=0.8, ls="--")
        up = lf < previous
        ax.annotate(f"day {ts:.0f}: load {lf * FILL_STRESS:.0f} kPa", (ts, 0.97 if up else 0.03),
                    xycoords=("data", "axes fraction"), rotation=90, fontsize=8, color="0.35",
                    ha="left" if up else "right", va="top" if up else "bottom")
        previous = lf
    ax.invert_yaxis()
    ax.set_xlabel("time since the first stage [days] (log scale)")
    ax.set_ylabel("settlement of the clay surface [mm]")
    ax.set_title(f"Staged embankment on 12 m of layered clay "
                 f"(first stage {STAGES[0][1] * FILL_STRESS:.0f} kPa)")
    ax.grid(True, which="both", lw=0.3)
    ax.legend(loc="lower left")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def plot_isochrones(path: str, cases: dict,
                    times=(3.0, 30.0, 364.0, 400.0, 1000.0, 1824.0, 1900.0, 5000.0)) -> None:
    """Excess pore pressure against the position of the nodes (depth below
    the original clay surface) at several times, one panel per drainage case."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(cases), figsize=(11.0, 5.6), dpi=100, sharey=True)
    colors = plt.cm.tab10(np.arange(len(times)) % 10)
    for ax, (label, (kw, result, _)) in zip(axes, cases.items()):
        t = kw["time"]
        for c, want in zip(colors, times):
            j = int(np.argmin(np.abs(t - want)))
            ax.plot(result["u"][:, j], result["z"][:, j], color=c, label=f"day {t[j]:.0f}")
        ax.axvline(0.0, color="k", lw=0.6)
        for layer in LAYERS[:-1]:
            ax.axhline(layer["bottom"], color="0.6", lw=0.6, ls=":")
        ax.set_title(label)
        ax.set_xlabel("excess pore pressure [kPa]")
        ax.grid(True, lw=0.3)
    axes[0].invert_yaxis()
    axes[0].set_ylabel("depth below the original clay surface [m]")
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="center right", fontsize=9, title="isochrones")
    fig.suptitle("Excess pore pressure (dotted: initial layer boundaries)", fontsize=11)
    fig.tight_layout(rect=(0.0, 0.0, 0.88, 1.0))
    fig.savefig(path)
    plt.close(fig)


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
    for label, (kw, result, s) in cases.items():
        print(f"\n== {label}: {len(s.time)} steps, {settings.N} elements ==")
        print(table(s))
        numbers["unloading"][label] = unl = unloading(s)
        print(f"surcharge removal: {unl['before']:.0f} mm before, rebound {unl['rebound']:.1f} mm, "
              f"{unl['final']:.0f} mm at day {s.time[-1]:.0f}")
    t50 = numbers["t50"]
    (l0, d0), (l1, d1) = t50.items()
    print(f"\nwhole fill at once, time to 50 % consolidation: {d0:.0f} days ({l0}), "
          f"{d1:.0f} days ({l1}): ratio {d1 / d0:.2f}")

    outdir = output_dir(argv)
    os.makedirs(outdir, exist_ok=True)
    numbers["figures"] = [os.path.join(outdir, "embankment_settlement.png"),
                          os.path.join(outdir, "embankment_isochrones.png")]
    plot_settlement(numbers["figures"][0], {label: c[2] for label, c in cases.items()})
    plot_isochrones(numbers["figures"][1], cases)
    print("\nfigures written:\n  " + "\n  ".join(numbers["figures"]))
    return numbers


if __name__ == "__main__":
    main()
