"""Faults that used to crash the interpreter, fill memory or hide a failure:
buffers without strides or alignment, counts past 2**31, runs that cannot
fit in memory, Ctrl-C during a long call, a failed run, deep re-entry, and
runs on several threads.  Anything that could crash runs in a child
interpreter, so that a crash fails one test, not the session."""
import array
import ctypes
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pytest

import Pelorin

CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
            Ck=0.75, Ca=0.02, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0,
            ocrvoidratio=1.0, H=10.0, tmax=1e5, drainagetype=0)
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def child(code, timeout=120):
    """Runs code in a fresh interpreter that imports this same module."""
    head = (f"import sys\nsys.path.insert(0, {os.path.dirname(Pelorin.__file__)!r})\n"
            "import numpy as np, Pelorin\n")
    return subprocess.Popen([sys.executable, "-c", head + textwrap.dedent(code)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finished(code, timeout=120):
    p = child(code)
    out, err = p.communicate(timeout=timeout)
    assert p.returncode == 0, err[-3000:]
    return out


# --- buffers ---------------------------------------------------------------------

BUFFERS = {
    # ctypes exports no strides: the buffer is contiguous.
    "ctypes": "def make(a):\n    return (ctypes.c_double * len(a))(*a)",
    # A float64 array one byte past an aligned address.
    "misaligned": "def make(a):\n"
                  "    b = np.frombuffer(bytearray(8 * len(a) + 1), np.float64, len(a), 1)\n"
                  "    b[:] = a\n    return b",
}


@pytest.mark.parametrize("kind", sorted(BUFFERS))
def test_unusual_buffers_read_like_arrays(kind):
    # Every function that takes node arrays, on one kind of buffer, against
    # the same call on plain arrays.
    out = finished("import ctypes\n" + BUFFERS[kind] + textwrap.dedent("""
        n = 6
        base = [np.linspace(1.0, 2.0, n) + k for k in range(27)]
        same = lambda x, y: np.array_equal(np.asarray(x), np.asarray(y), equal_nan=True)
        assert Pelorin.Max(make([1.0, -3.0, 2.0])) == 3.0
        def both(f, kinds):
            plain = [b if k == "a" else (n - 1 if k == "i" else 1.0 if k == "d" else 0)
                     for b, k in zip(base, kinds)]
            odd = [make(a) if k == "a" else a for a, k in zip(plain, kinds)]
            assert same(f(*plain), f(*odd)), f.__name__
        both(Pelorin.get_residual, "aaaaaaaaaaadaaaadaii".replace("i", "z", 1))
        both(Pelorin.get_utest, "aaaaaaaaaaaaaadazid")
        both(Pelorin.get_utest2, "iaaaaaaaaaaaadaaadaaaaaaazd")
        soil = {k: v for k, v in dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7,
                kref=1e-4, ekref=1.5, Ck=0.75, Ca=0.0, tref=1.0, dsigv=100.0,
                ocrvoidratio=1.0, ru=0.0).items()}
        plain = {k: np.full(n, v) for k, v in soil.items()}
        plain.update(depth=np.linspace(0.0, 1.0, n), time=np.array([0.1, 1.0, 10.0]),
                     loadfactor=np.ones(3))
        # Cc and ru are taken in the layered form only as a list or ndarray.
        odd = {k: v if k in ("Cc", "ru") else make(v) for k, v in plain.items()}
        common = dict(qo=10.0, ocrvoidratiotype=np.zeros(n, np.int32), drainagetype=1)
        r1 = Pelorin.compute(**plain, **common)
        r2 = Pelorin.compute(**odd, **common)
        assert all(same(r1[k], r2[k]) for k in r1) and r1["u"].any()
        print("ok")
    """))
    assert out.endswith("ok\n")


LAYERED = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=1e-4, ekref=1.5,
               Ck=0.75, Ca=0.0, tref=1.0, dsigv=100.0, ocrvoidratio=1.0, ru=0.0, depth=1.0)


@pytest.mark.parametrize("name, value, accepted", [
    ("Cr", array.array("d", [0.05] * 4), True),
    ("Cr", (ctypes.c_double * 4)(*[0.05] * 4), True),
    ("Cc", [0.5] * 4, False),
    ("Cr", [0.05] * 4, False),
    ("ru", [0.0] * 4, False),
])
def test_layered_form_takes_buffers_not_lists(name, value, accepted):
    kw = {k: np.full(4, v) for k, v in LAYERED.items()}
    kw.update({name: value}, qo=10.0, ocrvoidratiotype=np.zeros(4, np.int32),
              time=np.ones(2), loadfactor=np.ones(2), drainagetype=0)
    if accepted:
        params = Pelorin.get_inputs(**kw)
        assert np.array_equal(params[2], np.full(4, 0.05))
    else:
        with pytest.raises(TypeError, match="bytes-like object is required, not 'list'"):
            Pelorin.get_inputs(**kw)


def test_qo_is_a_stress_in_place_not_a_load():
    r = Pelorin.compute(**dict(CLAY, Ca=0.0, qo=50.0, dsigv=0.0, N=10, Ntime=5, tmax=100.0))
    assert not r["u"].any() and not r["z"][0].any()
    assert np.all(r["sigv"][0] == 50.0)


# --- counts and memory -----------------------------------------------------------

def test_counts_past_int_raise_overflow_error():
    # A zero-stride column of 2**31 + 2 nodes, or a history of 2**31 steps,
    # costs no memory until the run allocates for it.
    out = finished("""
        from numpy.lib.stride_tricks import as_strided
        def wide(n, v=1.0):
            return as_strided(np.full(1, v), shape=(n,), strides=(0,))
        n = 2 ** 31 + 2
        soil = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=1e-4,
                    ekref=1.5, Ck=0.75, Ca=0.0, tref=1.0, dsigv=100.0, ocrvoidratio=1.0)
        small = {k: np.full(3, v) for k, v in soil.items()}
        column = dict({k: wide(n, v) for k, v in soil.items()}, depth=wide(n), ru=wide(n, 0.0),
                      ocrvoidratiotype=as_strided(np.zeros(1, np.int32), (n,), (0,)),
                      time=np.ones(2), loadfactor=np.ones(2))
        history = dict(small, depth=np.linspace(0, 1, 3), ru=np.zeros(3),
                       ocrvoidratiotype=np.zeros(3, np.int32),
                       time=wide(2 ** 31), loadfactor=wide(2 ** 31))
        for kw in (column, history):
            try:
                Pelorin.compute(qo=10.0, drainagetype=0, **kw)
            except OverflowError as e:
                print(e)
    """)
    assert out.splitlines() == ["compute: N = 2147483649 elements do not fit a 32-bit int",
                                "compute: Ntime = 2147483648 steps do not fit a 32-bit int"]


@pytest.mark.parametrize("call", [
    "Pelorin.get_inputs(**dict(CLAY, N=10**9, Ntime=5))",
    "Pelorin.compute(**dict(CLAY, N=10**9, Ntime=5))",
    "Pelorin.compute(**dict(CLAY, N=10, Ntime=2**31 - 1))",
    "Pelorin.compute(**dict(CLAY, N=10**6, Ntime=10**4))",        # the histories alone
    "Pelorin.get_inputs(**dict(CLAY, N=10, Ntime=np.int64(2**40)))",
])
def test_what_cannot_fit_raises_memory_error_at_once(call):
    limit = "" if SANITIZED else (
        # Should the estimate fail, the address space limit (not the kernel)
        # stops the child, with NumPy's message instead of ours.
        "import resource\nresource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))\n")
    out = finished(limit + f"CLAY = {CLAY!r}\n" + textwrap.dedent(f"""
        import time
        t = time.perf_counter()
        try:
            {call}
        except MemoryError as e:
            print(time.perf_counter() - t, e)
    """), timeout=60)
    seconds, message = out.split(" ", 1)
    assert "GiB of memory is available" in message
    assert float(seconds) < 1.0


# --- Ctrl-C ------------------------------------------------------------------------

@pytest.mark.parametrize("call", [
    "Pelorin.compute(**dict(CLAY, N=20000, Ntime=200))",
    # Python functions in the run: the lock is held throughout.
    "Pelorin.get_ktest = lambda *a: real(*a)\nPelorin.compute(**dict(CLAY, N=20000, Ntime=200))",
    "Pelorin.Logspace(0.0, 1e9, 10**8, 1.0)",
    "Pelorin.Max(np.lib.stride_tricks.as_strided(np.ones(1), (2**40,), (0,)))",
])
def test_ctrl_c_interrupts_a_long_call(call):
    # The child notes when the exception reached it, on the clock the parent
    # notes the signal on (CLOCK_MONOTONIC, one for the whole system): the
    # time the call takes to give up, without the child's exit, which is slow
    # under the sanitizers and on a loaded host.
    body = textwrap.indent(call, "    ")
    p = child(f"import time\nCLAY = {CLAY!r}\nreal = Pelorin.get_ktest\n"
              f"print('go', flush=True)\ntry:\n{body}\nexcept KeyboardInterrupt:\n"
              "    print(time.monotonic(), flush=True)\n    raise\n")
    assert p.stdout.readline() == "go\n"
    time.sleep(0.5)
    sent = time.monotonic()
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=60)
    assert "KeyboardInterrupt" in err, err[-2000:]
    # Measured here: 0.001-0.04 s quiet, 0.01-0.17 s under the sanitizers,
    # and at most 0.56 s under the sanitizers with three busy loops on the
    # two cores (the exit took another 0.1-0.4 s on top).
    assert 0.0 < float(out) - sent < 1.0


# --- a failed run ------------------------------------------------------------------

SMALL = dict(CLAY, Ca=0.0, N=6, time=np.array([1.0, 10.0, 100.0]), loadfactor=np.ones(3))


def test_failed_run_warns_besides_its_line_and_histories(capsys):
    with pytest.warns(RuntimeWarning, match=r"step 0 \(time 1\) did not converge in 100"):
        r = Pelorin.compute(**dict(SMALL, tol=1e-30))
    assert capsys.readouterr().out == "ERROR! Increment 0 did not converge in 100 iterations.\n"
    assert sorted(r) == ["e", "sigv", "u", "z"] and not r["z"].any()
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="step 0"):
            Pelorin.compute(**dict(SMALL, tol=1e-30))
        Pelorin.compute(**SMALL)        # a run that works does not warn


# --- re-entry ----------------------------------------------------------------------

@pytest.mark.parametrize("limit", [None, 10**6])
def test_deep_reentry_raises_recursion_error(limit):
    out = finished(f"""
        CLAY = {dict(CLAY, N=3, Ntime=3, Ca=0.0)!r}
        if {limit!r}:
            sys.setrecursionlimit({limit!r})
        real = Pelorin.get_ktest
        def ktest(*a):
            Pelorin.compute(**CLAY)
            return real(*a)
        Pelorin.get_ktest = ktest
        try:
            Pelorin.compute(**CLAY)
        except RecursionError:
            print("RecursionError")
    """)
    assert out == "RecursionError\n"


# --- threads -----------------------------------------------------------------------

def test_run_lets_other_threads_go_on():
    kw = dict(CLAY, N=2000, Ntime=100)
    reference = Pelorin.compute(**kw)
    result = {}
    worker = threading.Thread(target=lambda: result.update(Pelorin.compute(**kw)))
    t0 = time.perf_counter()
    worker.start()
    gaps, last = [], time.perf_counter()
    while worker.is_alive():
        now = time.perf_counter()
        gaps.append(now - last)
        last = now
    run = time.perf_counter() - t0
    # Holding the lock for the whole run would stall this loop for all of it.
    assert max(gaps) < 0.3 * run
    assert all(np.array_equal(result[k], reference[k]) for k in reference)


def test_names_rebound_during_a_run_take_effect_mid_run():
    # The run (on the main thread) lets another thread rebind the names it
    # calls, back and forth; it must follow without a fault or a changed bit.
    kw = dict(CLAY, N=1000, Ntime=100)
    reference = Pelorin.compute(**kw)
    real = {n: getattr(Pelorin, n) for n in ("get_residual", "get_utest2", "get_ktest")}
    calls, done = [], threading.Event()

    def wrap(f):
        return lambda *a: calls.append(1) or f(*a)

    def toggle():
        while not done.is_set():
            for name, f in real.items():
                setattr(Pelorin, name, wrap(f))
            time.sleep(0.03)
            for name, f in real.items():
                setattr(Pelorin, name, f)
            time.sleep(0.03)

    other = threading.Thread(target=toggle)
    other.start()
    try:
        result = Pelorin.compute(**kw)
    finally:
        done.set()
        other.join()
        for name, f in real.items():
            setattr(Pelorin, name, f)
    assert calls
    assert all(np.array_equal(result[k], reference[k]) for k in reference)
