"""Throughput of `pelorin.sweep`: serial, threads and processes, and the batch size.

A realistic creep column (N = 40, 100 output times, Ca 0.02) with three uncertain
parameters. Every configuration runs the same samples; the result must be bit-identical
to the serial one. Clusters are started before the clock starts (their start-up is a
one-off cost, reported apart).

    .venv/bin/python bench/bench_sweep.py [--samples 1000] [--repeat 3]
"""
from __future__ import annotations

import argparse
import os
import time

import numpy as np

import pelorin

CLAY = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, Ca=0.02, name="clay")
PROFILE = pelorin.Profile([pelorin.Layer(CLAY, thickness=10.0, ocr=1.2, elements=40)],
                          surcharge=10.0, drainage="both")
LOADING = pelorin.Loading([pelorin.Stage(0.0, load=100.0)], end=1.0e4)
TIMES = np.logspace(-1, 4, 100)
VARY = {"clay.kref": pelorin.LogNormal(1e-9, sigma_log10=0.5),
        "clay.Cc": pelorin.Normal(0.5, cov=0.2), "clay.Ca": pelorin.Normal(0.02, cov=0.25)}


def sweep(**kw):
    return pelorin.sweep(PROFILE, LOADING, vary=VARY, times=TIMES, progress=False, **kw)


def paired(repeat: int, n: int, **kw):
    """Best serial and best parallel wall time of `repeat` alternating pairs: on a
    shared machine a serial figure taken apart from the parallel ones flatters or harms
    every ratio."""
    serial = parallel = float("inf")
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        sweep(samples=n, scheduler="synchronous")
        serial = min(serial, time.perf_counter() - t0)
        t0 = time.perf_counter()
        out = sweep(samples=n, **kw)
        parallel = min(parallel, time.perf_counter() - t0)
    return serial, parallel, out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=1000)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--batches", type=int, nargs="+", default=[1, 4, 16, 0],
                    help="batch sizes to time (0: automatic)")
    args = ap.parse_args()
    import dask
    from distributed import Client, LocalCluster
    EMBEDDED_CLUSTER_CONFIG = pelorin.EMBEDDED_CLUSTER_CONFIG

    n = args.samples
    cores = os.cpu_count() or 1
    ref = sweep(samples=n, scheduler="synchronous")
    best_serial = float("inf")
    print("| workers | batch | wall | runs/s | speed-up | overhead | identical |")
    print("|---|---|---|---|---|---|---|")
    for processes in (False, True):  # threads first, then processes
        t0 = time.perf_counter()
        with dask.config.set(EMBEDDED_CLUSTER_CONFIG):   # the cluster sweep() would start
            cluster = LocalCluster(n_workers=cores if processes else 1,
                                   threads_per_worker=1 if processes else cores,
                                   processes=processes, dashboard_address=None,
                                   silence_logs=40)
            client = Client(cluster, set_as_default=False)
        if processes:   # worker start-up (imports) is part of the cluster's one-off cost
            client.run(lambda: __import__("pelorin") and None)
        startup = time.perf_counter() - t0
        kind = f"{cores} processes" if processes else f"{cores} threads"
        for batch in [b or None for b in args.batches]:
            serial, wall, out = paired(args.repeat, n, client=client, batch_size=batch)
            best_serial = min(best_serial, serial)
            same = all(np.array_equal(ref.dataset[v].values, out.dataset[v].values,
                                      equal_nan=True) for v in ("settlement", "t90", "primary"))
            # Overhead: wall time beyond the serial work shared perfectly by the cores.
            over = wall / (serial / cores) - 1.0
            label = batch if batch else "auto"
            print(f"| {kind} | {label} | {wall:.2f} s | {n / wall:.0f} | {serial / wall:.2f}x "
                  f"| {over * 100:+.0f} % | {'yes' if same else 'NO'} |")
        # Scheduling cost of one task: empty batches, no work.
        from pelorin._batches import run_batches
        t0 = time.perf_counter()
        run_batches(int, range(400), client=client, batch_size=1, progress=False)
        per_task = (time.perf_counter() - t0) / 400
        client.close()
        cluster.close()
        print(f"| {kind}: cluster start-up {startup:.1f} s (once); scheduling "
              f"{per_task * 1e3:.2f} ms per task | | | | | | |")
    print(f"\n{n} runs, {cores} cores; serial (best): {best_serial:.2f} s, "
          f"{n / best_serial:.0f} runs/s, {best_serial / n * 1e3:.2f} ms per run")


if __name__ == "__main__":
    main()
