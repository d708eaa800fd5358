"""One load stage of an oedometer test: settlement against log time.

A 20 mm clay specimen, drained at the top only (a porous stone above, a
sealed base with the pore-pressure gauge), has been left for 24 hours under
100 kPa.  At time 0 the load is doubled to 200 kPa and held for a week.

Secondary compression is on.  The compression line of the soil parameters is
taken as the end-of-primary line, with tref = 60 min, about the time primary
consolidation takes in this specimen.  The 24 hours under the previous load
have aged the specimen to a little below that line: creep at constant stress
from the line for a time t moves the void ratio down by Ca*log10(1 + t/tref),
which is the same as an overconsolidation ratio of
(1 + t/tref)**(Ca/(Cc - Cr)), here 1.15.

The run shows the familiar curve: primary consolidation while the base
pressure dissipates, then a straight line in log time whose slope, per log
cycle, is Ca*H/(1 + e) (secondary compression index, specimen height and
void ratio).  The end of primary consolidation is read two ways: when the
base pressure has fallen below 2 % of the load step, and by Casagrande's
construction (tangent at the inflection meets the secondary line).

The stage is run with `pelorin` (which works in days; the tables and the
figure are in minutes) and, for comparison, with the exact `Pelorin` module
on the same output times.

Units: kPa, m (printed as mm), minutes; k in m/s.

    python3 examples/oedometer.py [OUTDIR]

writes its figure to OUTDIR, else to $PELORIN_FIGURES, else to docs/.
"""
from __future__ import annotations

import contextlib
import io
import os
import sys
from dataclasses import dataclass

import numpy as np

import Pelorin
import pelorin

H = 0.020               # m: specimen height at the start of the stage
SIGMA0 = 100.0          # kPa: effective stress before the step
STEP = 100.0            # kPa: the load increment
TREF = 60.0             # min: reference time of the compression line (end of primary)
AGE = 1440.0            # min under the previous load
T_END = 7 * 1440.0      # min: one week
MIN_PER_DAY = 1440.0
SOIL = dict(Cc=0.50, Cr=0.05, Ca=0.020, sigvref=100.0, esigvref=1.50, Gs=2.70,
            kref=1e-9, ekref=1.50, Ck=0.75)     # kref in m/s
U_EOP = 0.02            # end of primary: base pressure below this fraction of the step


@dataclass(frozen=True)
class Settings:
    N: int = 20                 # elements (1 mm each)
    first_step: float = 0.01    # min
    steps_per_decade: int = 40


FAST = Settings(N=10, first_step=0.01, steps_per_decade=20)


def ageing_ocr(age: float = AGE) -> float:
    """The overconsolidation ratio that `age` minutes of creep at constant
    stress give a specimen that started on the compression line."""
    return (1.0 + age / TREF) ** (SOIL["Ca"] / (SOIL["Cc"] - SOIL["Cr"]))


def times(settings: Settings = Settings()) -> np.ndarray:
    """Output times of the stage, minutes: log-spaced from the first step."""
    n = int(np.ceil(settings.steps_per_decade * np.log10(T_END / settings.first_step)))
    return np.array(Pelorin.Logspace(0.0, T_END, n + 1, settings.first_step))


def simulate(settings: Settings = Settings()) -> pelorin.Result:
    """The stage with pelorin: a uniform specimen aged to `ageing_ocr()`."""
    soil = pelorin.Soil(**SOIL, tref=TREF / MIN_PER_DAY)
    specimen = pelorin.Profile([pelorin.Layer(soil, H, ocr=ageing_ocr(), elements=settings.N)],
                               surcharge=SIGMA0, drainage="top")
    loading = pelorin.Loading([pelorin.Stage(0.0, load=STEP)])
    return pelorin.simulate(specimen, loading, times=times(settings) / MIN_PER_DAY,
                            background=False)


def exact_inputs(settings: Settings = Settings()) -> dict:
    """Keyword arguments of the same stage for the exact module (minutes, m/min)."""
    t = times(settings)
    return dict(SOIL, kref=SOIL["kref"] * 60.0, tref=TREF, qo=SIGMA0, dsigv=STEP,
                ocrvoidratiotype=0, ocrvoidratio=ageing_ocr(), N=settings.N, H=H, time=t,
                loadfactor=np.ones_like(t), drainagetype=1)


def run_exact(kw: dict) -> dict[str, np.ndarray]:
    """Runs the exact module; a step that does not converge is an error here."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = Pelorin.compute(**kw)
    message = out.getvalue().strip()
    if message:
        raise RuntimeError(message)
    return {key: np.asarray(value) for key, value in result.items()}


@dataclass
class Stage:
    time: np.ndarray        # min
    settlement: np.ndarray  # mm
    u_base: np.ndarray      # kPa, excess pore pressure at the sealed base
    e0: float               # void ratio at the start of the stage
    t_eop: float            # min: base pressure below U_EOP of the step
    t50: float              # min: half the primary settlement (Casagrande)
    t100: float             # min: end of primary by Casagrande's construction
    slope: float            # mm per log cycle of time, fitted after 3 * t100
    expected_slope: float   # Ca * H / (1 + e) at the end of primary, mm per log cycle


def _interp_log(t: np.ndarray, y: np.ndarray, target: float) -> float:
    """Time at which the (monotone) series y first reaches target, linear in log t."""
    k = int(np.argmax(y >= target))
    if y[k] < target:
        return float("nan")
    if k == 0:
        return float(t[0])
    f = (target - y[k - 1]) / (y[k] - y[k - 1])
    return float(t[k - 1] * (t[k] / t[k - 1]) ** f)


def analyse(result: pelorin.Result) -> Stage:
    ds = result.dataset.isel(time=slice(1, None))    # the output times after the step
    t = ds["time"].values * MIN_PER_DAY
    s = ds["settlement"].values * 1000.0             # mm
    u_base = ds["u"].values[-1]
    e_start = float(ds["e0"][0])

    t_eop = _interp_log(t, -u_base, -U_EOP * STEP)

    # Casagrande: secondary line fitted over the last log cycle, tangent at the
    # steepest point of the curve in log time, meeting at t100.
    logt = np.log10(t)
    late = t >= t[-1] / 10.0
    b_sec, a_sec = np.polyfit(logt[late], s[late], 1)
    grad = np.gradient(s, logt)
    k = int(np.argmax(grad))
    b_tan, a_tan = grad[k], s[k] - grad[k] * logt[k]
    t100 = 10.0 ** ((a_sec - a_tan) / (b_tan - b_sec))
    s100 = a_sec + b_sec * np.log10(t100)
    # d0 from the parabolic start: s(t1) - s0 = s(4 t1) - s(t1) for small t1.
    t1 = t[0] * 10.0
    s0 = 2.0 * np.interp(np.log10(t1), logt, s) - np.interp(np.log10(4.0 * t1), logt, s)
    t50 = _interp_log(t, s, 0.5 * (s0 + s100))

    # The slope after primary, between 3 * t100 and the end of the stage.
    after = t >= 3.0 * t100
    slope = float(np.polyfit(logt[after], s[after], 1)[0])
    j100 = int(np.argmin(np.abs(t - t100)))
    e100 = float(np.mean(ds["e"].values[:, j100]))
    height = (H - ds["settlement"].values[j100]) * 1000.0
    expected = SOIL["Ca"] * height / (1.0 + e100)
    return Stage(t, s, u_base, e_start, t_eop, float(t50), float(t100), slope, expected)


def table(st: Stage, times=(0.01, 0.1, 0.25, 1, 2, 4, 8, 15, 30, 60, 120, 240, 480, 1440,
                            2880, 5760, 10080)) -> str:
    picks = sorted({int(np.argmin(np.abs(st.time - t))) for t in times})
    lines = [f"{'time [min]':>10} {'settlement [mm]':>16} {'u base [kPa]':>13}"]
    for j in picks:
        lines.append(f"{st.time[j]:10.2f} {st.settlement[j]:16.4f} {st.u_base[j]:13.2f}")
    return "\n".join(lines)


def plot(path: str, st: Stage) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=100)
    ax.semilogx(st.time, st.settlement, color="C0", lw=1.8, label="settlement (left axis)")
    ax.axvline(st.t_eop, color="C2", ls="--", lw=1.0,
               label=f"base pressure < {U_EOP:.0%}: {st.t_eop:.0f} min")
    ax.axvline(st.t100, color="C3", ls=":", lw=1.2, label=f"Casagrande t100: {st.t100:.0f} min")
    ax.axvline(st.t50, color="C1", ls=":", lw=1.2, label=f"Casagrande t50: {st.t50:.1f} min")
    # The secondary line through the end of the stage.
    tl = np.array([st.t100, st.time[-1]])
    ax.plot(tl, st.settlement[-1] + st.slope * np.log10(tl / st.time[-1]), color="k", lw=0.8,
            ls="-.", label=f"secondary: {st.slope:.3f} mm per log cycle\n"
                           f"(Ca·H/(1+e) = {st.expected_slope:.3f} mm)")
    ax.invert_yaxis()
    ax.set_xlabel("time since the load step [min] (log scale)")
    ax.set_ylabel("settlement [mm]")
    ax.set_title(f"Oedometer stage {SIGMA0:.0f} → {SIGMA0 + STEP:.0f} kPa, "
                 f"{H * 1000:.0f} mm specimen drained at the top")
    ax.grid(True, which="both", lw=0.3)
    ax2 = ax.twinx()
    ax2.semilogx(st.time, st.u_base, color="C4", lw=1.0, alpha=0.8)
    ax2.set_ylabel("excess pore pressure at the base [kPa]", color="C4")
    ax2.tick_params(axis="y", colors="C4")
    ax2.set_ylim(0.0, STEP * 1.05)
    lines, labels = ax.get_legend_handles_labels()
    lines.append(ax2.get_lines()[0])
    labels.append("base pressure (right axis)")
    ax.legend(lines, labels, loc="lower left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def output_dir(argv: list[str]) -> str:
    if len(argv) > 1:
        return argv[1]
    default = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "docs")
    return os.path.normpath(os.environ.get("PELORIN_FIGURES", default))


def main(argv: list[str] | None = None, settings: Settings = Settings()) -> Stage:
    argv = sys.argv if argv is None else argv
    st = analyse(simulate(settings))
    exact = run_exact(exact_inputs(settings))["z"][0, -1] * 1000.0
    print(f"Oedometer stage {SIGMA0:.0f} -> {SIGMA0 + STEP:.0f} kPa, H = {H * 1000:.0f} mm, "
          f"e0 = {st.e0:.3f}, drained at the top; {len(st.time)} steps, {settings.N} elements")
    print(table(st))
    print(f"end of primary: base pressure < {U_EOP:.0%} of the step at {st.t_eop:.1f} min; "
          f"Casagrande t100 = {st.t100:.1f} min, t50 = {st.t50:.2f} min")
    print(f"secondary compression: {st.slope:.4f} mm per log cycle; "
          f"Ca*H/(1+e) = {st.expected_slope:.4f} mm (ratio {st.slope / st.expected_slope:.3f})")
    print(f"settlement after a week: {st.settlement[-1]:.4f} mm; exact module on the same "
          f"output times: {exact:.4f} mm")
    outdir = output_dir(argv)
    os.makedirs(outdir, exist_ok=True)
    path = os.path.join(outdir, "oedometer.png")
    plot(path, st)
    print(f"figure written: {path}")
    return st


if __name__ == "__main__":
    main()
