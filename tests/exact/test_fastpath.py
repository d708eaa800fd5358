"""compute's inline passes (all functions the module's own) against the run
through the calls (a function rebound to a Python wrapper of itself): the
same histories to the bit, the same printed lines and warnings, the same
exceptions from the same places, with and without the recovery of failed
steps; on one thread and on two."""
import _thread
import contextlib
import io
import os
import threading
import traceback
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import Pelorin


def layered(rng, n, lo, hi, layers, zero=0.0):
    """Values in [lo, hi) in `layers` runs of nodes; a share of the runs 0."""
    cuts = np.sort(rng.integers(0, n, layers - 1))
    vals = rng.uniform(lo, hi, layers)
    vals[rng.random(layers) < zero] = 0.0
    return np.repeat(vals, np.diff(np.concatenate([[0], cuts, [n]])))


@st.composite
def problems(draw):
    N = draw(st.sampled_from([3, 4, 7, 20, 41, 300]))
    layers = draw(st.integers(1, 4))
    creep = draw(st.sampled_from([0.0, 0.5, 1.0]))   # share of creeping layers
    kind = draw(st.integers(0, 2))                    # OCR, void ratio, preconsolidation
    loading = draw(st.sampled_from(["single", "staged", "unload"]))
    spoil = draw(st.sampled_from([None, None, None, "Ck", "tref", "sigvref", "Cr", "tol"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = N + 1
    kw = {k: layered(rng, n, lo, hi, layers) for k, (lo, hi) in dict(
        Cc=(0.2, 0.8), Cr=(0.02, 0.1), sigvref=(50, 150), esigvref=(1.0, 2.0), Gs=(2.6, 2.8),
        kref=(1e-5, 1e-3), ekref=(1.0, 2.0), Ck=(0.3, 1.0), tref=(0.1, 10.0),
        dsigv=(20, 200)).items()}
    kw["Ca"] = layered(rng, n, 0.005, 0.04, layers, zero=1.0 - creep)
    kw["ocrvoidratiotype"] = np.full(n, kind, dtype=np.int32)
    kw["ocrvoidratio"] = layered(rng, n, *[(1.0, 2.0), (1.0, 2.2), (30, 200)][kind], layers)
    kw["depth"] = np.linspace(0.0, rng.uniform(2, 20), n)
    kw["ru"] = np.zeros(n)
    Nt = int(rng.integers(3, 25))
    first = 10 ** rng.uniform(-3, 1)
    kw["time"] = np.logspace(np.log10(first), np.log10(first) + rng.uniform(2, 6), Nt)
    lf = np.ones(Nt)
    if loading == "staged":
        lf[: Nt // 2] = 0.5
    elif loading == "unload":
        lf[Nt // 2:] = rng.uniform(0.3, 0.9)
    kw.update(loadfactor=lf, qo=float(rng.uniform(1, 30)), drainagetype=draw(st.integers(0, 2)))
    # The recovery of failed steps and the split first steps.
    kw.update(draw(st.sampled_from([{}, {}, {"maxsplit": 3}, {"splitfirst": True},
                                    {"maxsplit": 2, "splitfirst": True}])))
    if spoil == "tol":
        kw["tol"] = 1e-14                             # runs that stop
    elif spoil == "Cr":
        kw["Cr"] = kw["Cc"].copy()                    # Cc - Cr = 0
    elif spoil:
        kw[spoil][int(rng.integers(0, n))] = 0.0      # a zero divisor at one node
    return kw


def outcome(kw):
    out, rec = io.StringIO(), {}
    with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(out):
        warnings.simplefilter("always")
        try:
            r = Pelorin.compute(**kw)
            rec["h"] = {k: v.tobytes() for k, v in r.items()}
        except ArithmeticError as e:
            # The module's entries, and where the failing callee failed (the
            # line compute reports a call from differs between the paths).
            entries = [f for f in traceback.extract_tb(e.__traceback__)
                       if f.name.startswith("Pelorin.")]
            rec["exc"] = (type(e).__name__, str(e), [f.name for f in entries],
                          [(f.filename, f.lineno) for f in entries if f.name != "Pelorin.compute"])
    rec["out"] = out.getvalue()
    rec["warn"] = [str(w.message) for w in caught]
    return rec


@contextlib.contextmanager
def threads(n):
    """The inline passes on n threads (the longer columns split in two)."""
    before = os.environ.get("PELORIN_THREADS")
    os.environ["PELORIN_THREADS"] = n
    try:
        yield
    finally:
        if before is None:
            del os.environ["PELORIN_THREADS"]
        else:
            os.environ["PELORIN_THREADS"] = before


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(kw=problems(), rebind=st.sampled_from(["get_ktest", "get_residual", "Max"]),
       n=st.sampled_from(["1", "2"]))
def test_inline_passes_match_the_calls(kw, rebind, n):
    with threads(n):
        fast = outcome(kw)
    real = getattr(Pelorin, rebind)
    setattr(Pelorin, rebind, lambda *a: real(*a))
    try:
        slow = outcome(kw)
    finally:
        setattr(Pelorin, rebind, real)
    assert fast == slow


def test_ctrl_c_leaves_no_thread_behind():
    """A run on two threads stopped by Ctrl-C (here raised by a timer) ends
    with its worker."""
    def tasks():
        return len(os.listdir("/proc/self/task"))
    kw = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
              Ck=0.75, Ca=0.02, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0,
              ocrvoidratio=1.0, H=10.0, tmax=1e5, drainagetype=0, N=20000, Ntime=200)
    before = tasks()
    timer = threading.Timer(0.3, _thread.interrupt_main)
    with threads("2"), pytest.raises(KeyboardInterrupt):
        timer.start()
        Pelorin.compute(**kw)
    timer.join()
    assert tasks() == before
