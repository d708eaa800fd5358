"""Loads of finite size and sites: the stress distribution for 10^4 points x 100 depths,
and a 50 x 50 site serial and on the local cluster.

The site is validation/site_cases.py's grid: three boreholes (6, 10 and 14 m of clay, one
creeping), a rotated raft and an embankment of finite length.  Serial and cluster runs
alternate and the best of each is compared; the cluster is started before the clock
(its start-up is reported apart) and configured as `site` configures its own.  The
scheduling overhead is the time the same batches take on the same cluster with a
function that does nothing, over the site's wall time.

    .venv/bin/python bench/bench_site.py [--repeat 3] [--skip-stress] [--skip-site]
"""
from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

import pelorin
from pelorin import loads

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "validation"))
import site_cases  # noqa: E402


def best(fn, repeat):
    out = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        out = min(out, time.perf_counter() - t0)
    return out


def stress(repeat: int) -> None:
    rng = np.random.default_rng(1)
    x = rng.uniform(-60.0, 60.0, (10_000, 1))
    y = rng.uniform(-60.0, 60.0, (10_000, 1))
    z = np.linspace(0.1, 30.0, 100)[None, :]
    q = 100.0
    cases = [
        ("rectangle (Holl)", loads.Rectangle((0, 0), 20.0, 40.0, pressure=q, angle=20.0), "boussinesq"),
        ("strip", loads.Strip((0, 0), 20.0, pressure=q), "boussinesq"),
        ("embankment section", loads.Embankment((0, 0), crest=30.0, base=60.0, pressure=q),
         "boussinesq"),
        ("circle, on its axis", loads.Circle((0, 0), 20.0, pressure=q), "axis"),
        ("circle, anywhere (rim integral)", loads.Circle((0, 0), 20.0, pressure=q), "boussinesq"),
        ("polygon of 6 edges", loads.Polygon([(0, 0), (30, 0), (30, 12), (12, 12), (12, 30),
                                              (0, 30)], pressure=q), "boussinesq"),
        ("embankment, finite (hipped)", loads.Embankment((0, 0), crest=10.0, base=30.0,
                                                         pressure=q, length=60.0),
         "boussinesq"),
        ("rectangle, Westergaard", loads.Rectangle((0, 0), 20.0, 40.0, pressure=q),
         "westergaard"),
        ("rectangle, 2:1", loads.Rectangle((0, 0), 20.0, 40.0, pressure=q), "2:1"),
    ]
    print("| footprint | method | 10^4 points x 100 depths |")
    print("|---|---|---|")
    for name, fp, method in cases:
        if method == "axis":
            zero = np.zeros((10_000, 1))
            t = best(lambda: loads.vertical_stress(fp, zero, zero, z), repeat)
            method = "boussinesq"
        else:
            t = best(lambda: loads.vertical_stress(fp, x, y, z, method), repeat)
        print(f"| {name} | {method} | {t:.3f} s |", flush=True)


def _nothing(tasks):
    return [None] * len(tasks)


class _Phases:
    """The site's own serial parts around its runs: from the call to the first batch
    sent (the stresses of the first points, the plans, the runs that measure the cost),
    and from the last result to the Dataset; and the CPU time of this process (the
    stresses of the other points, sending and receiving) while the workers run."""

    def __init__(self):
        import pelorin._site as site_module
        self.module, self.inner = site_module, site_module.run_batches
        self.before = self.after = self.parent_cpu = 0.0

    def __enter__(self):
        self.t0 = time.perf_counter()
        outer = self

        def wrapped(*args, **kwargs):
            outer.before = time.perf_counter() - outer.t0
            c0 = time.process_time()
            out = outer.inner(*args, **kwargs)
            outer.parent_cpu = time.process_time() - c0
            outer.t1 = time.perf_counter()
            return out
        self.module.run_batches = wrapped
        return self

    def __exit__(self, *exc):
        self.after = time.perf_counter() - self.t1
        self.module.run_batches = self.inner


def site_bench(repeat: int) -> None:
    import dask
    from distributed import Client, LocalCluster

    from pelorin._batches import batch_sizes, run_batches

    def serial():
        return site_cases.grid_site(scheduler="synchronous", progress=False)

    t0 = time.perf_counter()
    ref = serial()
    ds = ref.dataset
    print(f"\n50 x 50 site: {ds.sizes['point']} points, {ds.attrs['runs']} runs "
          f"(shared between identical points; plus background runs), "
          f"{ds.attrs['failed']} failed; first serial {time.perf_counter() - t0:.2f} s; "
          f"{ds.attrs['seconds_per_run'] * 1000:.2f} ms for the first run")
    for kind, processes in (("threads", False), ("processes", True)):
        t0 = time.perf_counter()
        with dask.config.set(pelorin.EMBEDDED_CLUSTER_CONFIG):
            cluster = LocalCluster(n_workers=2 if processes else 1,
                                   threads_per_worker=1 if processes else 2,
                                   processes=processes, dashboard_address=None,
                                   silence_logs=40)
            client = Client(cluster)
        start = time.perf_counter() - t0
        try:
            s_best = p_best = float("inf")
            out = phases = None
            for _ in range(repeat):
                t0 = time.perf_counter()
                serial()
                s_best = min(s_best, time.perf_counter() - t0)
                t0 = time.perf_counter()
                with _Phases() as ph:
                    out = site_cases.grid_site(client=client, progress=False)
                wall = time.perf_counter() - t0
                if wall < p_best:
                    p_best, phases = wall, ph
            same = np.array_equal(out.dataset["settlement"].values, ds["settlement"].values,
                                  equal_nan=True)
            runs = int(ds.attrs["runs"])
            sizes = batch_sizes(runs, float(ds.attrs["seconds_per_run"]), 2)
            # as the site sends them: made one after the other, each batch sent once full
            empty = best(lambda: run_batches(_nothing, iter(range(runs)), client=client,
                                             seconds_per_item=float(ds.attrs["seconds_per_run"]),
                                             progress=False, batched=True, expected=runs),
                         repeat)
            print(f"2 {kind}: serial {s_best:.2f} s, cluster {p_best:.2f} s, "
                  f"speed-up {s_best / p_best:.2f}x; {len(sizes)} batches; the same batches "
                  f"doing nothing {empty * 1000:.0f} ms ({100 * empty / p_best:.1f} % of the "
                  f"wall); bit-identical: {same}; cluster start {start:.2f} s; serial part "
                  f"{phases.before * 1000:.0f} ms before the first batch, "
                  f"{phases.after * 1000:.0f} ms after the last, this process's CPU while "
                  f"the workers run {phases.parent_cpu:.2f} s", flush=True)
        finally:
            client.close()
            cluster.close()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-stress", action="store_true")
    ap.add_argument("--skip-site", action="store_true")
    args = ap.parse_args()
    if not args.skip_stress:
        stress(args.repeat)
    if not args.skip_site:
        site_bench(args.repeat)


if __name__ == "__main__":
    main()
