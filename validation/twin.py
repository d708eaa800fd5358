"""Twin experiments of the back-analysis: readings made by the model itself from known
parameters plus noise, fitted again.

One 8 m layer of soft clay (20 elements, drained at both faces) under a fill placed in
two stages (0 and 120 days); the truth kref 1e-9 m/s, Cc 0.9, Ca 0.027; the fit starts
from a design of kref 3e-9, Cc 0.7, Ca 0.02.  Readings every 20 days to 1000 days: a
settlement plate (noise 5 mm) and a piezometer at mid-depth (noise 2 kPa), 100 in
all.  Over 20 seeded noise draws it counts how often each 95 % interval holds the true
value, and how the intervals shrink as the readings of 250, 500 and 1000 days are
used.

    python validation/twin.py [--seeds 20]
"""
import argparse
import time

import numpy as np

import pelorin

TRUE = {"clay.kref": 1e-9, "clay.Cc": 0.9, "clay.Ca": 0.027}
VARY = [("clay.kref", (1e-10, 1e-8), "log"), ("clay.Cc", (0.5, 1.3)), ("clay.Ca", (0.005, 0.05))]
NOISE = {"settlement": 0.005, "pore_pressure": 2.0}
TIMES = np.linspace(20.0, 1000.0, 50)
LOADING = pelorin.Loading([pelorin.Stage(0.0, fill=2.5), pelorin.Stage(120.0, fill=2.5)])


def profile(kref, Cc, Ca):
    clay = pelorin.Soil(Cc=Cc, Cr=0.09, esigvref=1.9, kref=kref, ekref=2.3, Ck=1.1, Ca=Ca,
                        name="clay")
    return pelorin.Profile([pelorin.Layer(clay, 8.0, ocr=1.2, elements=20)], surcharge=10.0)


DESIGN = profile(3e-9, 0.7, 0.02)


def clean_readings():
    """The true model's plate and piezometer readings, without noise."""
    shape = pelorin.Observations.plate(TIMES, 0 * TIMES, name="plate") \
        + pelorin.Observations.piezometer(TIMES, 0 * TIMES, depth=4.0, name="piezometer")
    truth = pelorin.simulate(profile(*TRUE.values()), pelorin.Loading(LOADING.stages, end=TIMES[-1]),
                             times=TIMES, background=False)
    return shape, shape.model_values(truth)


def noisy(seed, shape=None, clean=None):
    if shape is None:
        shape, clean = clean_readings()
    rng = np.random.default_rng(seed)
    return pelorin.Observations([
        pelorin.Series(s.kind, s.name, s.time, c + rng.normal(0.0, NOISE[s.kind], c.size),
                       NOISE[s.kind], s.depth) for s, c in zip(shape, clean)])


def widths(fit):
    """Interval widths: decades for kref, relative to the truth for Cc and Ca."""
    out = {}
    for name, (lo, hi) in fit.interval.items():
        out[name] = np.log10(hi / lo) if name.endswith("kref") else (hi - lo) / TRUE[name]
    return out


def experiment(seeds, until=(250.0, 500.0, 1000.0), **kw):
    shape, clean = clean_readings()
    hits = {k: 0 for k in TRUE}
    width = {u: {k: [] for k in TRUE} for u in until}
    wall = []
    runs = []
    for seed in range(seeds):
        obs = noisy(seed, shape, clean)
        for u in until:
            fit = pelorin.calibrate(DESIGN, LOADING, obs.until(u), VARY, warn=False, **kw)
            for k, v in widths(fit).items():
                width[u][k].append(v)
        wall.append(fit.wall_time)
        runs.append(fit.runs)
        for k, v in TRUE.items():
            lo, hi = fit.interval[k]
            hits[k] += lo <= v <= hi
    return hits, {u: {k: float(np.mean(v)) for k, v in w.items()} for u, w in width.items()}, \
        wall, runs


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=20)
    args = ap.parse_args()
    t = time.perf_counter()
    hits, width, wall, runs = experiment(args.seeds, workers=1)
    print(f"{args.seeds} seeds, {time.perf_counter() - t:.1f} s; a fit of 100 readings "
          f"{np.median(wall):.3f} s, {int(np.median(runs))} engine runs (median)")
    print()
    print("| parameter | truth | 95 % interval holds it | mean width of the 95 % interval, "
          "readings to 250 d | to 500 d | to 1000 d |")
    print("|---|---|---|---|---|---|")
    for k, v in TRUE.items():
        unit = " decades" if k.endswith("kref") else " of the truth"
        cells = " | ".join(f"{width[u][k]:.3g}{unit}" for u in width)
        print(f"| {k} | {v:g} | {hits[k]} of {args.seeds} | {cells} |")


if __name__ == "__main__":
    main()
