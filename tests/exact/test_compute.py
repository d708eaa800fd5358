"""A whole consolidation run: physical checks against closed-form solutions,
failure and non-convergence behaviour, the result dict, and how compute
reaches the module's functions through the namespace.  Also `Max`."""
import traceback

import numpy as np
import pytest

import Pelorin

LN10 = np.log(10.0)

# A normally consolidated clay (kPa, m, days): permeability 1e-9 m/s.
CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
            Ck=0.75, Ca=0.0, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0,
            ocrvoidratio=1.0)


def run(**kw):
    kw.setdefault("drainagetype", 0)
    return Pelorin.compute(**kw)


def history(times, **kw):
    times = np.asarray(times, dtype=float)
    return run(time=times, loadfactor=np.ones_like(times), **kw)


def terzaghi(Tv, Z, terms=400):
    """Average degree of consolidation and u/u0 at Z = z/Hdr, by the series."""
    U = np.ones_like(Tv)
    u = np.zeros_like(Tv)
    for m in range(terms):
        M = np.pi * (2 * m + 1) / 2
        U -= 2 / M**2 * np.exp(-M * M * Tv)
        u += 2 / M * np.sin(M * Z) * np.exp(-M * M * Tv)
    return U, u


def initial_state(**kw):
    kw.setdefault("drainagetype", 0)
    params = Pelorin.get_inputs(**kw)
    init = Pelorin.get_initial(*params)
    return {k: np.asarray(v) for k, v in init.items()}


def assert_same(a, b):
    assert list(a) == list(b)
    for k in a:
        assert np.array_equal(a[k], b[k]), k


# --- physics -----------------------------------------------------------------

@pytest.mark.parametrize("drainagetype", [0, 1, 2])
def test_small_load_follows_terzaghi(drainagetype):
    # Near-linear: no self-weight (Gs = 1), a 1 % load step, permeability
    # practically constant (Ck large), no creep.
    N, H, qo, dq, e0 = 40, 1.0, 100.0, 1.0, 1.0
    soil = dict(Cc=0.2, Cr=0.02, sigvref=qo, esigvref=e0, Gs=1.0, kref=1e-3, ekref=e0, Ck=1e3,
                Ca=0.0, tref=1.0, qo=qo, dsigv=dq, ocrvoidratiotype=0, ocrvoidratio=1.0)
    av = Pelorin.get_avtest(e0, qo, qo + dq, e0, qo, soil["Cc"], soil["Cr"])
    k = Pelorin.get_ktest(e0, e0, soil["kref"], soil["Ck"])
    cv = k * (1 + e0) / (av * 9.81)
    Hdr = H / 2 if drainagetype == 0 else H
    # First step a quarter of dz^2/cv: the jump at the drained ends is
    # resolved, then the steps grow geometrically up to Tv = 3.
    Tv = np.logspace(np.log10(0.25 * (H / N / Hdr) ** 2), np.log10(3.0), 40)
    r = history(Tv * Hdr**2 / cv, N=N, H=H, drainagetype=drainagetype, **soil)
    z, u = r["z"], r["u"]

    U_ref, u_ref = terzaghi(Tv, 1.0 if drainagetype == 0 else 0.5)
    U_settlement = z[0] / (H * av * dq / (1 + e0))
    U_pressure = 1 - np.trapz(u, z, axis=0) / (z[-1] - z[0]) / dq
    assert np.abs(U_settlement - U_ref).max() <= 0.02
    assert np.abs(U_pressure - U_ref).max() <= 0.02
    assert np.abs(u[N // 2] / dq - u_ref).max() <= 0.0125
    assert U_ref[-1] > 0.999 and U_pressure[-1] > 0.999


@pytest.mark.parametrize("drainagetype", [0, 1])
def test_normally_consolidated_layer_reaches_the_log_final_settlement(drainagetype):
    N, H, dq = 10, 10.0, 100.0
    soil = dict(CLAY, N=N, H=H, dsigv=dq)
    # Log steps to well past the end of consolidation, then a few equal
    # steps so that the small leftover pressure is damped, not flipped.
    t = np.logspace(-2, 5, 40)
    t = np.concatenate([t, t[-1] + 1e3 * np.arange(1, 6)])
    r = history(t, drainagetype=drainagetype, **soil)

    init = initial_state(Ntime=2, tmax=1.0, **soil)
    e0, s0 = init["eo"], init["sigvo"]
    e_final = e0 - soil["Cc"] * np.log10((s0 + dq) / s0)
    z0 = np.linspace(0, H, N + 1)
    expected = np.sum(np.diff(z0) * (e0 - e_final)[:-1] / (1 + e0[:-1]))
    assert np.abs(r["u"][:, -1]).max() < 1e-3 * dq
    assert r["z"][0, -1] == pytest.approx(expected, rel=1e-3)
    assert r["z"][-1, -1] == H


@pytest.mark.parametrize("drainagetype", [0, 1])
def test_creep_settles_Ca_times_solids_height_per_log_cycle(drainagetype):
    N, H, per_decade = 20, 1.0, 10
    soil = dict(CLAY, Gs=1.0, Ca=0.02, N=N, H=H)
    t = np.logspace(0, 7, 7 * per_decade + 1)
    r = history(t, drainagetype=drainagetype, **soil)
    e0 = initial_state(Ntime=2, tmax=1.0, **soil)["eo"]
    solids = np.sum(np.diff(np.linspace(0, H, N + 1)) / (1 + e0[:-1]))

    z, u = r["z"], r["u"]
    mean_u = np.trapz(u, z, axis=0) / (z[-1] - z[0])
    # End of primary consolidation: 99 % of the load carried by the soil.
    p = int(np.argmax(mean_u <= 0.01 * soil["dsigv"]))
    assert 0 < p < len(t) - 4 * per_decade
    ends = z[0, p::per_decade]
    ratio = np.diff(ends) / (soil["Ca"] * solids)
    # The soil's creep clock starts while the pressures dissipate, after the
    # load: the rate is Ca per cycle of (t - ts), so the excess over Ca per
    # cycle of t falls about tenfold from one cycle to the next.
    assert np.all(ratio >= 1.0)
    assert np.all(np.diff(ratio) < 0)
    assert ratio[1] - 1 <= 0.04
    assert np.all(np.abs(ratio[2:] - 1) <= 0.02)
    assert abs(ratio[-1] - 1) <= 2e-3


# --- non-convergence and the mended faults -------------------------------------

SMALL = dict(CLAY, N=6, H=10.0)
GOOD_TIMES = [1.0, 10.0, 100.0, 200.0, 400.0, 800.0]


def assert_stopped_at(r, j, reference=None):
    for k in r:
        assert r[k].shape == (SMALL["N"] + 1, len(GOOD_TIMES))
        assert not r[k][:, j:].any(), k
        if reference is not None:
            assert np.array_equal(r[k][:, :j], reference[k][:, :j]), k
            assert j == 0 or r[k][:, :j].any()


@pytest.mark.parametrize("times, tol, j", [
    (GOOD_TIMES, 1e-30, 0),                                   # unreachable tolerance
    ([1.0, 10.0, 100.0, 50.0, 200.0, 400.0], 1e-8, 3),        # time running backwards
    ([1.0, 10.0, 100.0, np.inf, 200.0, 400.0], 1e-8, 3),      # infinite step
    ([1.0, 10.0, 100.0, np.nan, 200.0, 400.0], 1e-8, 3),      # NaN step: NaN residual
])
def test_non_convergence_prints_and_returns_what_was_accepted(capsys, times, tol, j):
    reference = history(GOOD_TIMES, **SMALL)
    capsys.readouterr()
    r = history(times, tol=tol, **SMALL)
    assert capsys.readouterr().out == f"ERROR! Increment {j} did not converge in 100 iterations.\n"
    assert_stopped_at(r, j, reference)


class Counter:
    """Counts calls of a module function and delegates to it."""

    def __init__(self, name, hook=None):
        self.name, self.hook, self.calls = name, hook, 0
        self.real = getattr(Pelorin, name)

    def __call__(self, *args, **kwargs):
        self.calls += 1
        result = self.real(*args, **kwargs)
        return self.hook(self, result) if self.hook else result


def spoil_max(step):
    def hook(counter, result):
        return np.float64(np.nan) if steps.calls == step + 1 else result
    steps = Counter("get_utest")
    return steps, Counter("Max", hook)


def spoil_residual(step):
    def hook(counter, result):
        if steps.calls == step + 1:
            result[2] = np.nan
        return result
    steps = Counter("get_utest")
    return steps, Counter("get_residual", hook)


@pytest.mark.parametrize("spoil", [spoil_max, spoil_residual])
@pytest.mark.parametrize("step", [0, 2])
def test_nan_measure_is_never_converged(monkeypatch, capsys, spoil, step):
    reference = history(GOOD_TIMES, **SMALL)
    capsys.readouterr()
    steps, spoiler = spoil(step)
    in_step = []
    corrections = Counter("get_utest2", lambda c, r: in_step.append(steps.calls) or r)
    for c in (steps, spoiler, corrections):
        monkeypatch.setattr(Pelorin, c.name, c)
    r = history(GOOD_TIMES, **SMALL)
    out = capsys.readouterr().out
    assert out == f"ERROR! Increment {step} did not converge in 100 iterations.\n"
    # Every correction of the poisoned step was made and failed; the step
    # was neither skipped nor accepted.
    assert steps.calls == step + 1
    assert in_step.count(step + 1) == 100
    assert_stopped_at(r, step, reference)


def test_nodes_start_at_the_given_depths_of_a_layered_column():
    depth = np.array([0.0, 1.0, 5.0])
    n = len(depth)
    layers = {k: np.full(n, float(v)) for k, v in CLAY.items() if k not in ("qo",)}
    layers["ocrvoidratiotype"] = np.zeros(n, dtype=np.int32)
    layers["Ca"] = np.full(n, 0.02)
    layers["dsigv"] = np.full(n, 1.0)  # small: the drained top settles little
    r = history([1e-4, 1e-3, 1e-2], depth=depth, qo=CLAY["qo"], N=2, **layers)
    z = r["z"]
    assert z[-1].tolist() == [5.0] * 3
    assert np.abs(z[:, 0] - depth).max() < 0.01
    assert np.all(np.diff(z, axis=1) >= 0)  # the column only shortens


# --- result and rejected inputs -------------------------------------------------

@pytest.mark.parametrize("N, Ntime", [(3, 3), (4, 1), (5, 7)])
def test_result_is_four_float_histories(N, Ntime):
    r = run(N=N, H=2.0, Ntime=Ntime, tmax=100.0, **CLAY)
    assert type(r) is dict and list(r) == ["z", "u", "sigv", "e"]
    for v in r.values():
        a = np.asarray(v)
        assert a.dtype == np.float64 and a.shape == (N + 1, Ntime)
    assert np.all(r["z"][-1] == 2.0)
    assert np.all(r["e"] > 0) and np.all(r["sigv"] > 0)


@pytest.mark.parametrize("change, line", [
    (dict(Cc=None), "You must specify Cc"),
    (dict(H=None), "you must specify H when using input option 1, uniform soil"),
    (dict(tmax=None), "You must specify tmax if you specify Ntime"),
])
def test_rejected_inputs_fail_on_unpacking_after_the_line(capsys, change, line):
    kw = dict(CLAY, N=4, H=2.0, Ntime=3, tmax=10.0, drainagetype=0)
    for k, v in change.items():
        del kw[k]
    with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
        Pelorin.compute(**kw)
    assert capsys.readouterr().out == line + "\n"


@pytest.mark.parametrize("v, expected", [
    ([-3.0, 2.0], 3.0), ([1.0, 2.0], 2.0), ([-1.0, -2.0], 2.0), ([0.0], 0.0),
    ([-np.inf, 1.0], np.inf), ([1.0, np.nan, -5.0], np.nan),
])
def test_max(v, expected):
    m = Pelorin.Max(np.array(v))
    assert type(m) is np.float64
    assert m == expected or (np.isnan(expected) and np.isnan(m))


def test_max_of_nothing_raises_value_error():
    with pytest.raises(ValueError, match="zero-size array"):
        Pelorin.Max(np.zeros(0))


# --- the namespace ------------------------------------------------------------

# Creep and a sealed bottom: corrections, get_etest and every path run.
BUSY = dict(CLAY, Ca=0.02, N=8, H=10.0, Ntime=12, tmax=1e5, drainagetype=1)
CALLED = ["get_inputs", "get_initial", "get_avtest", "get_etest", "get_ktest", "get_utest",
          "get_residual", "Max", "get_utest2"]


@pytest.fixture(scope="module")
def busy_reference():
    return Pelorin.compute(**BUSY)


@pytest.mark.parametrize("names", [[n] for n in CALLED] + [CALLED])
def test_python_wrappers_give_identical_histories(monkeypatch, busy_reference, names):
    wrappers = [Counter(n) for n in names]
    for w in wrappers:
        monkeypatch.setattr(Pelorin, w.name, w)
    assert_same(Pelorin.compute(**BUSY), busy_reference)
    assert all(w.calls > 0 for w in wrappers)


def test_run_counts_of_the_busy_case(monkeypatch):
    counts = {n: Counter(n) for n in CALLED}
    for c in counts.values():
        monkeypatch.setattr(Pelorin, c.name, c)
    Pelorin.compute(**BUSY)
    n = {k: c.calls for k, c in counts.items()}
    nodes, steps = BUSY["N"] + 1, BUSY["Ntime"]
    passes = n["get_utest"] + n["get_utest2"]
    assert n["get_inputs"] == n["get_initial"] == 1
    assert n["get_utest"] == steps and n["get_utest2"] > 0
    assert n["get_residual"] == passes
    assert n["get_ktest"] == nodes * (1 + passes)
    assert n["get_avtest"] == nodes * (1 + steps + passes)
    assert n["get_etest"] == nodes * passes  # Ca > 0: every pass
    # Once after each trial, and after each correction twice (its own test
    # and the loop head); the loop head also follows the first trial.
    corrected_steps = n["Max"] - steps - 2 * n["get_utest2"]
    assert 0 < corrected_steps <= steps


def test_np_is_used_through_the_namespace(monkeypatch, busy_reference):
    made = []

    class Proxy:
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, *a, **k):
            made.append(a[0])
            return np.zeros(*a, **k)

    monkeypatch.setattr(Pelorin, "np", Proxy())
    assert_same(Pelorin.compute(**BUSY), busy_reference)
    shape = (BUSY["N"] + 1, BUSY["Ntime"])
    assert made.count(shape) == 4
    assert made.count(BUSY["N"] + 1) >= 13


@pytest.mark.parametrize("name", CALLED + ["np"])
def test_a_failing_rebinding_propagates(monkeypatch, name):
    class Boom(Exception):
        pass

    def fail(*a, **k):
        raise Boom(name)

    class FailingNp:
        def __getattr__(self, attr):
            raise Boom(name)

    monkeypatch.setattr(Pelorin, name, FailingNp() if name == "np" else fail)
    with pytest.raises(Boom, match=name) as ei:
        Pelorin.compute(**BUSY)
    names = [f.name for f in traceback.extract_tb(ei.tb)]
    assert "Pelorin.compute" in names


@pytest.mark.parametrize("change, callee", [
    (dict(Ck=0.0), "get_ktest"),
    (dict(Cr=0.5), "get_avtest"),
    (dict(gammaw=0.0), "get_utest"),
])
@pytest.mark.parametrize("wrapped", [False, True])
def test_callee_errors_are_traced_through_compute(monkeypatch, change, callee, wrapped):
    if wrapped:
        monkeypatch.setattr(Pelorin, callee, Counter(callee))
    with pytest.raises(ZeroDivisionError) as ei:
        Pelorin.compute(**dict(BUSY, **change))
    assert str(ei.value) == "float division"
    names = [f.name for f in traceback.extract_tb(ei.tb)]
    assert names[-1] == "Pelorin." + callee
    assert names.count("Pelorin.compute") == 1
    between = names[names.index("Pelorin.compute") + 1:-1]
    assert between == (["__call__"] if wrapped else [])
    text = "".join(traceback.format_exception(ei.value))
    assert text.index("Pelorin.compute") < text.index("Pelorin." + callee)


@pytest.mark.parametrize("measure, corrections", [
    (lambda tol: tol, 0),                          # exactly at the tolerance: accepted
    (lambda tol: np.nextafter(tol, np.inf), None),  # just above: never accepted
])
def test_tolerance_is_inclusive(monkeypatch, capsys, measure, corrections):
    kw = dict(SMALL, Ntime=4, tmax=100.0, tol=1e-6)
    steps, fixes = Counter("get_utest"), Counter("get_utest2")
    for c in (steps, fixes):
        monkeypatch.setattr(Pelorin, c.name, c)
    monkeypatch.setattr(Pelorin, "Max", lambda v: np.float64(measure(kw["tol"])))
    r = run(**kw)
    if corrections == 0:
        assert fixes.calls == 0 and steps.calls == 4
        assert np.all(r["z"][-1] == kw["H"]) and r["u"][1:-1].all()
    else:
        assert capsys.readouterr().out.startswith("ERROR! Increment 0 did not converge")
        assert fixes.calls == 100
