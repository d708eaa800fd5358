#!/usr/bin/env python3
"""Timing of whole consolidation runs through the module.

Problems: a uniform normally consolidated clay with creep under a step load
(the figures of bench_core.cpp: Cc 0.5, Cr 0.05, Ca 0.02, sigvref 100 kPa,
esigvref 1.5, Gs 2.7, kref 8.64e-5 m/day, ekref 1.5, Ck 0.75, tref 1 day,
qo 10 kPa, dsigv 100 kPa, H 10 m, OCR 1), Ntime log-spaced times up to
tmax = 1e5 days (Ntime = 50 at N >= 1e5), drainage types 0 and 1,
N = 40, 100, 1000, 10000, 100000.

Per problem (times per node per pass: wall time / (passes * (N + 1))):
  fast 1t   compute as it is (the module's own functions: the inline passes),
            on one thread (PELORIN_THREADS=1)
  fast 2t   the same with the node loops on two threads (PELORIN_THREADS=2);
            it must give the same histories.  Without the variable compute
            takes two threads from 1000 elements on.
  per-call  every module function rebound to a thin counting Python wrapper
            of itself, so that every call goes through Python; the counts
            give the solver passes (get_utest + get_utest2 calls)
  peak mem  tracemalloc peak over one fast run, less what was traced before
            it: NumPy's array data (NumPy reports it to tracemalloc) plus
            the Python objects made during the run
  (--native, from bench_core for the same problem)
  calls     the run as a plain C++ loop of the relations' and solvers' calls
            (what the module's fast path ran before its inline passes)
  inline    the inline passes in C++, without the module (1t, 2t: threads)
  floor     only the transcendental functions the inline passes evaluate
            (one thread)
  rest      (bench_rest) the inline passes on one thread with those
            functions' results replayed from a recorded run: the rest

Timings are the best of --repeat runs (the per-call runs at N >= 10000: one
run; --skip-slow leaves them out).  Both paths must give the same
histories; the script checks that they are bit-identical.

  PELORIN_BUILD_DIR=build-dev /usr/bin/python3 bench/bench_compute.py --native \
      --native-dir build-native
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))

CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
            Ck=0.75, Ca=0.02, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0,
            ocrvoidratio=1.0, H=10.0, tmax=1e5)

FUNCTIONS = ["get_inputs", "get_initial", "get_avtest", "get_etest", "get_ktest", "get_utest",
             "get_residual", "Max", "get_utest2"]


def problem(N, drainagetype, Ntime=None):
    if Ntime is None:
        Ntime = 50 if N >= 100000 else 100
    return dict(CLAY, N=N, drainagetype=drainagetype, Ntime=Ntime)


def best_of(repeat, fn):
    best, result = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


class Wrapped:
    """Every module function rebound to a counting Python wrapper of itself."""

    def __init__(self, module):
        self.module = module
        self.counts = dict.fromkeys(FUNCTIONS, 0)
        self.saved = {}

    def _wrapper(self, name):
        real, counts = getattr(self.module, name), self.counts

        def wrapper(*args, **kwargs):
            counts[name] += 1
            return real(*args, **kwargs)
        return wrapper

    def __enter__(self):
        for name in FUNCTIONS:
            self.saved[name] = getattr(self.module, name)
            setattr(self.module, name, self._wrapper(name))
        return self

    def __exit__(self, *exc):
        for name, f in self.saved.items():
            setattr(self.module, name, f)


def same(a, b):
    import numpy as np
    return list(a) == list(b) and all(np.array_equal(a[k], b[k]) for k in a)


def peak_memory(Pelorin, kw):
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    r = Pelorin.compute(**kw)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del r
    return peak - before


def per_call_run(Pelorin, kw, repeat):
    """Best time of the per-call path and the counts of one of its runs."""
    best, counts, result = float("inf"), None, None
    for _ in range(repeat):
        with Wrapped(Pelorin) as w:
            gc.collect()
            t0 = time.perf_counter()
            result = Pelorin.compute(**kw)
            best = min(best, time.perf_counter() - t0)
        counts = dict(w.counts)
    return best, counts, result


def native_floor(build_dir, repeat, sizes):
    """bench_core's ns/node/pass per (drainage, N) of the loop of calls
    ('calls'), the inline passes ('inline1', 'inline2') and the floor
    ('floor'), and bench_rest's of the passes without the transcendental
    functions ('rest'), best of `repeat`."""
    floor = {}
    for name, kinds in (("bench_core", ("BM_Run", "BM_Floor")), ("bench_rest", ("BM_Rest",))):
        exe = os.path.join(build_dir, name)
        if not os.path.exists(exe):
            sys.exit(f"no {exe}: configure the build with -Dnative=true")
        sizes_re = "|".join(str(n) for n in sizes)
        out = subprocess.run([exe, "--benchmark_format=json",
                              f"--benchmark_repetitions={repeat}",
                              "--benchmark_report_aggregates_only=false",
                              f"--benchmark_filter=^({'|'.join(kinds)})/.*/N:({sizes_re})/"],
                             check=True, capture_output=True, text=True).stdout
        for b in json.loads(out)["benchmarks"]:
            if b.get("run_type") != "iteration" or "ns_per_node_pass" not in b:
                continue
            name = b["run_name"].split("/")
            parts = dict(p.split(":") for p in name[1:] if ":" in p)
            what = {"BM_Floor": "floor", "BM_Rest": "rest"}.get(name[0]) or (
                "inline" + parts.get("threads", "1") if parts["path"] == "1" else "calls")
            key = (int(parts["drainage"]), int(parts["N"]))
            rec = floor.setdefault(key, {"passes": b["passes"]})
            rec[what] = min(rec.get(what, float("inf")), b["ns_per_node_pass"])
    return floor


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.environ.get("PELORIN_BUILD_DIR"),
                    help="meson build dir to import the module from (default: "
                         "$PELORIN_BUILD_DIR, else the installed module)")
    ap.add_argument("--native-dir", default=None,
                    help="build dir holding bench_core (default: the build dir, "
                         "else build-native)")
    ap.add_argument("--sizes", type=int, nargs="+", default=[40, 100, 1000, 10000, 100000])
    ap.add_argument("--drainage", type=int, nargs="+", default=[0, 1])
    ap.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    ap.add_argument("--skip-slow", action="store_true",
                    help="skip the per-call runs at N >= 10000 (minutes each)")
    ap.add_argument("--native", action="store_true", help="compare with bench_core")
    ap.add_argument("--no-linearity", action="store_true")
    ap.add_argument("--linearity-N", type=int, default=1000)
    ap.add_argument("--threads", type=int, nargs="*", default=None,
                    help="also time the same run on this many threads at once "
                         "(e.g. --threads 1 2 4; N = the largest --sizes below 10000)")
    ap.add_argument("--maxsplit", type=int, default=None,
                    help="also time the runs with compute(maxsplit=...) (the recovery of "
                         "failed steps), which must give the same histories")
    args = ap.parse_args()

    if args.build_dir:
        sys.path.insert(0, os.path.abspath(args.build_dir))
    import Pelorin
    native_dir = args.native_dir or args.build_dir or os.path.join(HERE, "..", "build-native")
    print(f"module: {Pelorin.__file__}")
    print(f"load average: {' '.join('%.2f' % x for x in os.getloadavg())}; best of {args.repeat}")

    floor = (native_floor(os.path.abspath(native_dir), args.repeat, args.sizes)
             if args.native else {})
    Pelorin.compute(**problem(50, 0, 10))  # warm-up: first-call costs stay out of the table
    if not args.skip_slow and max(args.sizes) >= 10000:
        print("per-call runs at N >= 10000: one run, not the best of several")

    print()
    print("| drain | N | passes | fast s 1t | 2t | per-call s | speed-up | ns per node per pass: "
          "fast 1t | fast 2t | per-call | calls | inline 1t | inline 2t | floor | rest | calls/fast | "
          "fast/floor 1t | 2t | peak MiB |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    rows = []
    for dr in args.drainage:
        for N in args.sizes:
            kw = problem(N, dr)
            with threads_env("1"):
                fast, r_fast = best_of(args.repeat, lambda: Pelorin.compute(**kw))
            with threads_env("2"):
                fast2, r_fast2 = best_of(args.repeat, lambda: Pelorin.compute(**kw))
            if not same(r_fast, r_fast2):
                sys.exit(f"histories differ between one and two threads (N={N}, drainage={dr})")
            # The default (kThreadsFrom): two threads from 1000 elements on.
            best = fast2 if N >= 1000 else fast
            if args.skip_slow and N >= 10000:
                slow = None
                counts = count_passes(Pelorin, kw)
            else:
                slow, counts, r_slow = per_call_run(Pelorin, kw,
                                                    1 if N >= 10000 else args.repeat)
                if not same(r_fast, r_slow):
                    sys.exit(f"histories differ between the paths (N={N}, drainage={dr})")
            passes = counts["get_utest"] + counts["get_utest2"]
            ns = fast * 1e9 / (passes * (N + 1))
            ns2 = fast2 * 1e9 / (passes * (N + 1))
            mem = peak_memory(Pelorin, kw) / 2**20
            fl = floor.get((dr, N))
            if fl and fl["passes"] != passes:
                print(f"  note: bench_core made {fl['passes']:.0f} passes, the module {passes}")
            rows.append((dr, N, passes, fast, slow, ns, fl, mem, fast2, ns2))
            fl = fl or {}

            def col(v):
                return "-" if v is None else "%.1f" % v
            ratio = (lambda a, b: "-" if a is None or b is None else "%.2f" % (a / b))
            slow_ns = None if slow is None else slow * 1e9 / (passes * (N + 1))
            print(f"| {dr} | {N} | {passes} | {fast:.4f} | {fast2:.4f} | "
                  f"{'-' if slow is None else '%.3f' % slow} | "
                  f"{'-' if slow is None else '%.1fx' % (slow / best)} | {ns:.1f} | {ns2:.1f} | "
                  f"{col(slow_ns)} | {col(fl.get('calls'))} | {col(fl.get('inline1'))} | "
                  f"{col(fl.get('inline2'))} | {col(fl.get('floor'))} | {col(fl.get('rest'))} | "
                  f"{ratio(fl.get('calls'), ns)} | {ratio(ns, fl.get('floor'))} | "
                  f"{ratio(ns2, fl.get('floor'))} | {mem:.2f} |", flush=True)

    if not args.no_linearity:
        linearity(Pelorin, rows, args)
    if args.maxsplit is not None:
        recovery_cost(Pelorin, args)
    if args.threads:
        threads(Pelorin, args)


class threads_env:
    """PELORIN_THREADS set for the block."""

    def __init__(self, n):
        self.n = n

    def __enter__(self):
        self.before = os.environ.get("PELORIN_THREADS")
        os.environ["PELORIN_THREADS"] = self.n

    def __exit__(self, *exc):
        if self.before is None:
            del os.environ["PELORIN_THREADS"]
        else:
            os.environ["PELORIN_THREADS"] = self.before


def recovery_cost(Pelorin, args):
    """The recovery leaves runs that pass unchanged; what it costs them."""
    print()
    print(f"Runs that pass, with maxsplit={args.maxsplit} (best of {args.repeat}):")
    for dr in args.drainage:
        for N in args.sizes:
            kw = problem(N, dr)
            plain, r0 = best_of(args.repeat, lambda: Pelorin.compute(**kw))
            rec, r1 = best_of(args.repeat, lambda: Pelorin.compute(maxsplit=args.maxsplit, **kw))
            if not same(r0, r1):
                sys.exit(f"maxsplit changed a run that passes (N={N}, drainage={dr})")
            print(f"  drainage {dr}, N={N}: {plain:.4f} s plain, {rec:.4f} s with the recovery "
                  f"({rec / plain:.3f}x)")


def threads(Pelorin, args):
    """Runs at once on several threads: the run releases the GIL."""
    import threading
    N = max([n for n in args.sizes if n < 10000] or [1000])
    kw = problem(N, args.drainage[0])
    ref = Pelorin.compute(**kw)
    print()
    print(f"Threads (N = {N}, drainage {args.drainage[0]}, best of {args.repeat}; "
          f"{os.cpu_count()} cores):")
    one = None
    for n in args.threads:
        def batch():
            out = [None] * n
            ts = [threading.Thread(target=lambda k=k: out.__setitem__(k, Pelorin.compute(**kw)))
                  for k in range(n)]
            for t in ts:
                t.start()
            for t in ts:
                t.join()
            return out
        t, outs = best_of(args.repeat, batch)
        if not all(same(ref, o) for o in outs):
            sys.exit("a run on a thread differs from the same run alone")
        per_run = t / n
        one = one or per_run * 1.0 if n == 1 else one
        speed = (one / per_run) if one else float("nan")
        print(f"  {n} thread(s): {t:.3f} s for {n} runs, {per_run:.3f} s per run"
              + (f", throughput {speed:.2f}x one thread" if one else ""))


def count_passes(Pelorin, kw):
    """Solver passes of a run with only the two step functions wrapped (the
    node functions stay on the fast path)."""
    counts = {"get_utest": 0, "get_utest2": 0}
    saved = {n: getattr(Pelorin, n) for n in counts}

    def wrap(name):
        real = saved[name]

        def wrapper(*a):
            counts[name] += 1
            return real(*a)
        return wrapper
    try:
        for n in counts:
            setattr(Pelorin, n, wrap(n))
        Pelorin.compute(**kw)
    finally:
        for n, f in saved.items():
            setattr(Pelorin, n, f)
    return counts


def linearity(Pelorin, rows, args):
    print()
    print("Cost in N (fast path, Ntime = 100): time per node per pass relative to the smallest N")
    for dr in args.drainage:
        mine = sorted((r for r in rows if r[0] == dr), key=lambda r: r[1])
        if len(mine) < 2:
            continue
        base = mine[0]
        parts = []
        for r in mine:
            parts.append(f"N={r[1]}: {r[5]:.1f} ns ({r[5] / base[5]:.2f}x), "
                         f"time {r[3] / base[3]:.1f}x for {(r[1] + 1) * r[2] / ((base[1] + 1) * base[2]):.1f}x node-passes")
        print(f"  drainage {dr}: " + "; ".join(parts))

    N = args.linearity_N
    print(f"Cost in Ntime (fast path, N = {N}, tmax fixed):")
    for dr in args.drainage:
        res = []
        for Ntime in (50, 100, 200):
            kw = problem(N, dr, Ntime)
            t, _ = best_of(args.repeat, lambda: Pelorin.compute(**kw))
            c = count_passes(Pelorin, kw)
            res.append((Ntime, t, c["get_utest"] + c["get_utest2"]))
        b = res[0]
        line = []
        for Ntime, t, p in res:
            line.append(f"Ntime={Ntime}: {t:.3f} s, {p} passes, {t / p * 1e6:.0f} us/pass, "
                        f"time {t / b[1]:.2f}x for steps {Ntime / b[0]:.0f}x / passes {p / b[2]:.2f}x")
        print(f"  drainage {dr}: " + "; ".join(line))


if __name__ == "__main__":
    main()
