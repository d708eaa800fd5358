"""Wall time of a back-analysis: three parameters of the demo's upper soft clay fitted
to the 100 readings of examples/monitoring.csv (examples/fit.toml), with the
Jacobian's columns run one after the other and on threads.

    .venv/bin/python bench/bench_fit.py [--repeat 5]

Prints, per layout, the best and median wall time of the fit, its engine runs and
least-squares evaluations, and the time of one engine run of the model.
"""
import argparse
import os
import statistics
import time

import pelorin
from pelorin._calibrate import _Forward, parse_vary

HERE = os.path.dirname(os.path.abspath(__file__))
CASE = os.path.join(HERE, os.pardir, "examples", "fit.toml")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    case = pelorin.read_case(CASE)
    spec = case.fit_spec
    obs = pelorin.Observations.from_csv(spec.observations)
    params = parse_vary(list(spec.vary))
    fwd = _Forward(case.profile, case.loading, obs, params, {}, 1, None)
    x = [p.x(v) for p, v in zip(params, (1e-8, 0.9, 0.027))]
    per_run = min(_timed(lambda: fwd([x] * 10)) / 10 for _ in range(5))
    print(f"{len(obs)} readings, {len(params)} parameters; one engine run of the model "
          f"(to {obs.times[-1]:g} days, {case.profile.thickness:g} m, "
          f"{sum(layer.elements or 0 for layer in case.profile.layers)} elements): "
          f"{per_run * 1000:.2f} ms")
    print()
    print("| Jacobian columns | best | median | engine runs | evaluations | fitted kref, Cc, Ca |")
    print("|---|---|---|---|---|---|")
    for label, workers in (("serial", 1), ("2 threads", 2)):
        walls = []
        for _ in range(args.repeat):
            fit = case.calibrate(workers=workers)
            walls.append(fit.wall_time)
        vals = ", ".join(f"{v:.4g}" for v in fit.values.values())
        print(f"| {label} | {min(walls):.3f} s | {statistics.median(walls):.3f} s | "
              f"{fit.runs} | {fit.iterations} | {vals} |")


def _timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


if __name__ == "__main__":
    main()
