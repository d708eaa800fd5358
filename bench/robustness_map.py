#!/usr/bin/env python3
"""Random realistic layered columns through the engine: which complete.

Each column is drawn from a seeded distribution of the soft ground engineers
meet (units m, kPa, days; k in m/s as drawn):
  thickness 2-30 m in 1-6 layers, each a
    clay  Cc 0.2-1.5, e 1-3, k 10^-10.5..10^-8.5, Ck 0.4-1.5, Ca 0 or 0.003-0.05,
    silt  Cc 0.05-0.4, e 0.8-1.6, k 10^-8.5..10^-6.5, Ck 0.4-1.5, Ca 0 or <= 0.01,
    sand  Cc 0.01-0.05, e 0.5-0.9, k 10^-6..10^-3.5, Ck 0.4-1.5, no creep;
  Cr 5-30 % of Cc, tref 0.1, 1 or 10, Gs 2.6-2.75, OCR 1 or 1-3 per layer;
  a mesh of N = 10..2000 elements (log-uniform), uniform or graded toward
  every interface, no element below 5 mm; surcharge qo 0, 1, 5, 10 or 50;
  1-4 stages of 10 to 30 000 days (log-uniform), the first 10-200 kPa, each
  later one reloading (x1.5, x2) or unloading (x0.5, x0.8); output times at
  5-40 per decade from 1e-3 day after each stage start; drainage 0, 1 or 2.
The distribution is of realistic columns: a draw whose soil law would reach a
void ratio <= 0 within its own run (in its initial state, on its compression
line under the largest load, or after creeping from that line over the whole
run, Ca log10(1 + T/tref)) is no soil at all, and no engine can run it; such a
column is drawn again from the next stream of its index (the table counts them).
Every column that completes is run again with each element halved and
rtol / 10: it must complete too.  With --drains every third column (index
divisible by 3) also gets vertical drains, drawn from a stream of its own (the
rest of the column is the same): spacing 0.8-4 m square or triangular, dw 50
or 66 mm, smear rs/rw 1-4 with kh/ks 1-5, kh/kv 1-4, half of them with a
discharge capacity of 20-500 m3/year, a third stopping at 40-100 % of the
depth, a third installed at the start of a later stage or 1-100 days in, a
fifth under a vacuum of 40-80 kPa from the installation to a stage start.  Columns are spread over processes (both
cores by default); the outcome does not depend on how.

  PELORIN_BUILD_DIR=build-dev /usr/bin/python3 bench/robustness_map.py --seeds 1 2
  ... robustness_map.py --seeds 2 --index 640 1116   # single columns, in detail
"""
import argparse
import collections
import multiprocessing
import os
import sys
import time

import numpy as np

_build = os.environ.get("PELORIN_BUILD_DIR")
if _build:  # the package from the source tree with the extension built there
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import conftest  # noqa: F401

import pelorin  # noqa: E402
from pelorin import _engine  # noqa: E402  (the initial state of a drawn column)

DAY = 86400.0
RTOL = 3e-4
H_MIN = 0.005  # smallest element, m


def _soil(rng):
    kind = rng.choice(["clay", "silt", "sand"])
    if kind == "clay":
        Cc, e, lk = rng.uniform(0.2, 1.5), rng.uniform(1.0, 3.0), rng.uniform(-10.5, -8.5)
        Ca = 0.0 if rng.random() < 0.5 else rng.uniform(0.003, 0.05)
    elif kind == "silt":
        Cc, e, lk = rng.uniform(0.05, 0.4), rng.uniform(0.8, 1.6), rng.uniform(-8.5, -6.5)
        Ca = 0.0 if rng.random() < 0.5 else rng.uniform(0.001, 0.01)
    else:
        Cc, e, lk = rng.uniform(0.01, 0.05), rng.uniform(0.5, 0.9), rng.uniform(-6.0, -3.5)
        Ca = 0.0
    return dict(kind=str(kind), Cc=Cc, Cr=rng.uniform(0.05, 0.3) * Cc, esigvref=e, ekref=e,
                sigvref=100.0, kref=10.0 ** lk * DAY, Ck=rng.uniform(0.4, 1.5), Ca=Ca,
                tref=float(rng.choice([0.1, 1.0, 10.0])), Gs=rng.uniform(2.6, 2.75),
                ocr=1.0 if rng.random() < 0.5 else rng.uniform(1.0, 3.0))


def _graded(H, n, hmin):
    """n elements over H, finest (hmin) at both ends: x = (1 + tanh(b(2s - 1))/tanh b)/2."""
    if n < 3 or hmin >= H / n:
        return np.linspace(0.0, H, n + 1)
    s = np.linspace(0.0, 1.0, n + 1)

    def first(b):
        return 0.5 * H * (1.0 + np.tanh(b * (2.0 * s[1] - 1.0)) / np.tanh(b))

    lo, hi = 1e-6, 50.0
    for _ in range(100):  # the first element shrinks as b grows
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if first(mid) > hmin else (lo, mid)
    b = lo
    return 0.5 * H * (1.0 + np.tanh(b * (2.0 * s - 1.0)) / np.tanh(b))


def _drains(seed, index, depth, kref, starts):
    """The engine's drains keyword for a column (k from kref, m/day)."""
    from pelorin.drains import Drains
    rng = np.random.default_rng([seed, index, 23])
    H = float(depth[-1])
    kh_ratio = rng.uniform(1.0, 4.0)
    installed = 0.0
    if rng.random() < 1 / 3:
        later = [s for s in starts if s > 0]
        installed = float(rng.choice(later)) if later else float(10 ** rng.uniform(0, 2))
    vacuum = None
    if rng.random() < 0.2:
        p = rng.uniform(40.0, 80.0)
        off = [s for s in starts if s > installed]
        end = off[0] if off else installed + 100.0
        vacuum = [(installed, 0.0), (installed + 1.0, p), (end, p), (end, 0.0)]
    d = Drains(rng.uniform(0.8, 4.0), str(rng.choice(["square", "triangular"])),
               diameter=float(rng.choice([0.05, 0.066])), smear_ratio=rng.uniform(1.0, 4.0),
               smear_permeability_ratio=rng.uniform(1.0, 5.0),
               discharge_capacity=rng.uniform(20.0, 500.0) if rng.random() < 0.5 else None,
               depth=H * rng.uniform(0.4, 1.0) if rng.random() < 1 / 3 else None,
               installed=installed, vacuum=vacuum)
    kh = np.broadcast_to(kh_ratio * np.asarray(kref) / DAY, (depth.size - 1,))
    return {"eta": d.eta(depth[:-1], depth[1:], kh, H),
            "kh_ratio": np.full(depth.size - 1, kh_ratio),
            "start": installed, "vacuum": d.vacuum_function()}


def column(seed, index, n_max=2000, drains=False):
    """The keywords of `pelorin.run_elements` for column `index` of `seed`, and a
    description (layers, mesh, stages, how many draws were impossible); `n_max`
    caps the elements drawn; with `drains`, columns whose index is divisible by 3
    get drains."""
    for redraw in range(100):
        kw, desc = _draw(np.random.default_rng([seed, index] + ([redraw] if redraw else [])),
                         n_max)
        if _possible(kw):
            starts = desc.pop("starts")
            if drains and index % 3 == 0:
                kw["drains"] = _drains(seed, index, kw["depth"], kw["kref"], starts)
            return kw, dict(desc, seed=seed, index=index, redrawn=redraw, drains="drains" in kw)
    raise RuntimeError(f"no possible column in 100 draws of seed {seed} #{index}")


def _possible(kw):
    """Whether every element keeps a void ratio > 0 over the run (the bound of
    the head of this file), from the engine's own initial state."""
    n = kw["depth"].size - 1
    el = {k: np.ascontiguousarray(kw[k], dtype=np.float64) for k in
          ("Cc", "Cr", "esigvref", "ekref", "sigvref", "kref", "Ck", "Ca", "tref", "Gs",
           "ocrvoidratio")}
    el.update(dsigv=np.zeros(n), ru=np.zeros(n), ocrvoidratiotype=np.zeros(n, np.int32))
    try:
        state = _engine.prepare(np.asarray(kw["depth"], np.float64), el, kw["qo"], 9.81, 0, True)
    except _engine.InputError:  # an initial void ratio <= 0
        return False
    s0, e0 = np.asarray(state["sigma0"]), np.asarray(state["e0"])
    smax = s0 + np.max(kw["loadfactor"]) * kw["dsigv"]
    low = np.minimum(e0 - el["Cr"] * np.log10(smax / s0),
                     el["esigvref"] - el["Cc"] * np.log10(smax / el["sigvref"]))
    low -= el["Ca"] * np.log10(1.0 + kw["time"][-1] / el["tref"])
    return bool(np.all(low > 0.0))


def _draw(rng, n_max):
    H = rng.uniform(2.0, 30.0)
    nl = int(rng.integers(1, 7))
    w = rng.uniform(0.2, 1.0, nl)
    thick = H * w / w.sum()
    soils = [_soil(rng) for _ in range(nl)]
    graded = bool(rng.random() < 0.5)
    N = min(int(round(10.0 ** rng.uniform(1.0, np.log10(2000.0)))), n_max)
    N = max(min(N, int(H / H_MIN)), nl)
    hmin = 10.0 ** rng.uniform(np.log10(H_MIN), np.log10(max(H_MIN, H / N)))
    nodes, layer = [0.0], []
    top = 0.0
    for i, t in enumerate(thick):
        n = max(1, int(round(N * t / H)))
        x = _graded(t, n, max(hmin, H_MIN)) if graded else np.linspace(0.0, t, n + 1)
        x = np.maximum.accumulate(x)
        nodes.extend(top + x[1:])
        layer.extend([i] * n)
        top += t
    depth = np.array(nodes)
    layer = np.array(layer)
    el = {k: np.array([soils[i][k] for i in layer]) for k in
          ("Cc", "Cr", "esigvref", "ekref", "sigvref", "kref", "Ck", "Ca", "tref", "Gs")}
    el["ocrvoidratiotype"] = 0
    el["ocrvoidratio"] = np.array([soils[i]["ocr"] for i in layer])
    qo = float(rng.choice([0.0, 1.0, 5.0, 10.0, 50.0]))
    ns = int(rng.integers(1, 5))
    load = rng.uniform(10.0, 200.0)
    times, lfs, start, stages = [], [], 0.0, []
    for s in range(ns):
        if s > 0:
            load *= float(rng.choice([1.5, 2.0, 0.5, 0.8]))
        dur = 10.0 ** rng.uniform(1.0, np.log10(30000.0))
        ppd = int(rng.integers(5, 41))
        n = max(2, int(np.ceil(ppd * (np.log10(dur) + 3.0))))
        t = start + np.logspace(-3.0, np.log10(dur), n)
        t[-1] = start + dur
        times.append(t)
        lfs.append(np.full(n, load))
        stages.append((start, load))
        start += dur
    kw = dict(depth=depth, qo=qo, time=np.concatenate(times), loadfactor=np.concatenate(lfs),
              drainagetype=int(rng.integers(0, 3)), dsigv=1.0, **el)
    desc = dict(N=depth.size - 1, H=H, graded=graded, starts=[s for s, _ in stages],
                layers="/".join(s["kind"] for s in soils), stages=len(stages), qo=qo,
                drainage=kw["drainagetype"],
                tau=float(np.min(np.diff(depth) ** 2 / (el["kref"] / 9.81 * 1e3))))
    return kw, desc


def halved(kw):
    """The same column with every element split in two."""
    d = kw["depth"]
    fine = np.empty(2 * d.size - 1)
    fine[0::2] = d
    fine[1::2] = 0.5 * (d[:-1] + d[1:])
    out = dict(kw, depth=fine)
    for k, v in kw.items():
        if k not in ("depth", "time", "loadfactor", "drains") and np.ndim(v) == 1:
            out[k] = np.repeat(v, 2)
    if "drains" in kw:
        out["drains"] = dict(kw["drains"], eta=np.repeat(kw["drains"]["eta"], 2),
                             kh_ratio=np.repeat(kw["drains"]["kh_ratio"], 2))
    return out


def attempt(kw, rtol):
    """(outcome, seconds, sub-steps, message) of one run."""
    t0 = time.perf_counter()
    try:
        ds = pelorin.run_elements(rtol=rtol, **kw)
        return "completed", time.perf_counter() - t0, int(ds.attrs.get("substeps", -1)), ""
    except pelorin.ConvergenceError as err:
        return "ConvergenceError", time.perf_counter() - t0, -1, str(err)
    except Exception as err:  # anything else is a fault of the engine or of the map
        return type(err).__name__, time.perf_counter() - t0, -1, str(err)


def one(job):
    seed, index, refine, drains = job
    kw, desc = column(seed, index, drains=drains)
    res = dict(desc, run=attempt(kw, RTOL))
    if refine and res["run"][0] == "completed":
        res["fine"] = attempt(halved(kw), RTOL / 10.0)
    return res


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, nargs="+", default=[1, 2])
    ap.add_argument("--count", type=int, default=2000, help="columns per seed")
    ap.add_argument("--jobs", type=int, default=2, help="processes")
    ap.add_argument("--no-refine", action="store_true", help="skip the halved, rtol/10 reruns")
    ap.add_argument("--start", type=int, default=0, help="first column of each seed")
    ap.add_argument("--index", type=int, nargs="+", help="only these columns, in detail")
    ap.add_argument("--slowest", type=int, default=8)
    ap.add_argument("--drains", action="store_true", help="drains in every third column")
    a = ap.parse_args(argv)
    if a.index:
        return _detail(a)
    span = range(a.start, a.start + a.count)
    jobs = [(s, i, not a.no_refine, a.drains) for s in a.seeds for i in span]
    t0 = time.perf_counter()
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(a.jobs) as pool:
        results = list(pool.imap_unordered(one, jobs, chunksize=4))
    wall = time.perf_counter() - t0
    results.sort(key=lambda r: (r["seed"], r["index"]))

    print(f"{len(results)} columns (seeds {', '.join(map(str, a.seeds))}, #{span.start} to "
          f"#{span.stop - 1} of each), rtol {RTOL:g}; wall time {wall:.1f} s on {a.jobs} "
          "processes\n")
    print("| seed | columns | redrawn (impossible) | completed | stopped | "
          "completed when halved, rtol/10 |")
    print("|---|---|---|---|---|---|")
    for s in a.seeds:
        rs = [r for r in results if r["seed"] == s]
        done = [r for r in rs if r["run"][0] == "completed"]
        fine = [r for r in done if r.get("fine", ("completed",))[0] == "completed"]
        fine_txt = f"{len(fine)} of {len(done)}" if not a.no_refine else "-"
        redrawn = sum(r["redrawn"] > 0 for r in rs)
        print(f"| {s} | {len(rs)} | {redrawn} | {len(done)} ({100 * len(done) / len(rs):.1f} %) "
              f"| {len(rs) - len(done)} | {fine_txt} |")
    times = np.array([r["run"][1] for r in results])
    if a.drains:
        dr = [r for r in results if r["drains"]]
        ok = sum(r["run"][0] == "completed" for r in dr)
        td = np.array([r["run"][1] for r in dr])
        tn = np.array([r["run"][1] for r in results if not r["drains"]])
        print(f"\nwith drains: {len(dr)} columns, {ok} completed; median run time "
              f"{1e3 * np.median(td):.1f} ms (without: {1e3 * np.median(tn):.1f} ms)")
    print(f"\nrun time at rtol {RTOL:g}: median {1e3 * np.median(times):.1f} ms, "
          f"90 % {1e3 * np.quantile(times, 0.9):.0f} ms, worst {1e3 * times.max():.0f} ms")
    if not a.no_refine:
        ft = np.array([r["fine"][1] for r in results if "fine" in r])
        if ft.size:
            print(f"halved, rtol/10: median {1e3 * np.median(ft):.1f} ms, "
                  f"worst {1e3 * ft.max():.0f} ms")
    kinds = collections.Counter()
    for r in results:
        for key in ("run", "fine"):
            if key in r and r[key][0] != "completed":
                msg = r[key][3]
                kinds[(key, r[key][0], _kind(msg))] += 1
    if kinds:
        print("\nstops:")
        for (key, exc, kind), n in kinds.most_common():
            print(f"  {n:5d}  {'' if key == 'run' else '(halved, rtol/10) '}{exc}: {kind}")
        print("\nfirst stops:")
        shown = 0
        for r in results:
            for key in ("run", "fine"):
                if key in r and r[key][0] != "completed" and shown < 10:
                    shown += 1
                    print(f"  seed {r['seed']} #{r['index']} ({key}) N {r['N']} "
                          f"{r['layers']} tau {r['tau']:.2g} d: {r[key][3][:200]}")
    print(f"\nslowest at rtol {RTOL:g}:")
    print("| seed | column | N | layers | stages | graded | time | sub-steps |")
    print("|---|---|---|---|---|---|---|---|")
    for r in sorted(results, key=lambda r: -r["run"][1])[:a.slowest]:
        print(f"| {r['seed']} | {r['index']} | {r['N']} | {r['layers']} | {r['stages']} | "
              f"{'yes' if r['graded'] else 'no'} | {1e3 * r['run'][1]:.0f} ms | {r['run'][2]} |")
    bad = sum(r["run"][0] != "completed" or r.get("fine", ("completed",))[0] != "completed"
              for r in results)
    return 1 if bad else 0


def _detail(a):
    """Each of the columns `a.index` of every seed: its draw and every outcome."""
    bad = 0
    for s in a.seeds:
        for i in a.index:
            res = one((s, i, not a.no_refine, a.drains))
            print(", ".join(f"{k} {v:.3g}" if isinstance(v, float) else f"{k} {v}"
                            for k, v in res.items() if k not in ("run", "fine")))
            for key in ("run", "fine"):
                if key in res:
                    out, sec, steps, msg = res[key]
                    bad += out != "completed"
                    print(f"  {'at rtol' if key == 'run' else 'halved, rtol/10'}: {out} in "
                          f"{1e3 * sec:.0f} ms, {steps} sub-steps{': ' + msg if msg else ''}")
    return 1 if bad else 0


def _kind(msg):
    for k in ("no sub-step longer", "Newton did not converge", "max_substeps",
              "no damped Newton", "not physical", "not finite"):
        if k in msg:
            return k
    return msg[:80]


if __name__ == "__main__":
    sys.exit(main())
