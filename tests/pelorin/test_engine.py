"""pelorin.run: closed forms, refinement, error paths, interruption and threads."""
import math
import re
import os
import signal
import threading
import time

import numpy as np
import pytest

import pelorin

CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
            Ck=0.75, Ca=0.02, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0,
            ocrvoidratio=1.0, H=10.0)
TLOG = np.logspace(-1, 5, 25)


def terzaghi(zeta, tv):
    """Terzaghi (1925): u/du0 at zeta = z/Hd from the drained end, and the degree U."""
    m = np.arange(400)[:, None]
    big_m = np.pi * (2 * m + 1) / 2
    decay = np.exp(-big_m**2 * tv)
    u = (2 / big_m * np.sin(big_m * np.asarray(zeta)[None, :]) * decay).sum(axis=0)
    return u, 1 - (2 / big_m**2 * decay).sum()


# Small strain, linear: Gs = 1, a load of 0.1 % of the stress, k constant.
LINEAR = dict(Cc=0.1, Cr=0.01, sigvref=100.0, esigvref=1.0, Gs=1.0, kref=1e-3, ekref=1.0,
              Ck=1e6, Ca=0.0, tref=1.0, qo=100.0, dsigv=0.1, ocrvoidratiotype=0,
              ocrvoidratio=1.0)
CV = 1e-3 * 2.0 / (0.1 / (math.log(10) * 100.0) * 9.81)  # k (1 + e) / (av gammaw)


@pytest.mark.parametrize("drainage, mesh, N, utol", [
    (0, "uniform", 40, 5e-3), (1, "uniform", 40, 5e-3), (2, "uniform", 40, 5e-3),
    (1, "graded", 80, 1e-2)])
def test_terzaghi(drainage, mesh, N, utol):
    H = 1.0
    s = np.linspace(0, 1, N + 1)
    depth = H * (s if mesh == "uniform" else s**1.5)
    hd = H / 2 if drainage == 0 else H
    tv = np.array([0.02, 0.1, 0.3, 0.8])
    nodes = {k: np.full(N + 1, float(v)) for k, v in LINEAR.items() if k != "qo"}
    ds = pelorin.run(**nodes, qo=100.0, depth=depth, drainagetype=drainage,
                     time=tv * hd**2 / CV, loadfactor=np.ones(4), rtol=1e-4)
    final = H / 2.0 * 0.1 * math.log10(100.1 / 100.0)
    zeta = (H - depth if drainage == 2 else depth) / hd
    for j, t in enumerate(tv):
        u, degree = terzaghi(zeta, t)
        assert abs(float(ds.settlement[j + 1]) / final - degree) < 2e-3
        assert np.abs(ds.u.values[:, j + 1] / 0.1 - u).max() < utol


def test_single_drainage_is_half_of_double():
    # A sealed end is a plane of symmetry: H single-drained = 2H double-drained.
    t = np.array([20.0, 100.0, 400.0])
    one = pelorin.run(**LINEAR, N=20, H=1.0, drainagetype=1, time=t, loadfactor=np.ones(3))
    two = pelorin.run(**LINEAR, N=40, H=2.0, drainagetype=0, time=t, loadfactor=np.ones(3))
    assert np.abs(one.u.values - two.u.values[:21]).max() < 1e-3 * 0.1


def test_final_settlement_with_self_weight():
    # Exact: s = integral over the solids of Cc log10((s0 + dq) / s0), s0 = qo + (Gs-1) gw xi,
    # with the solids height fixed by H = integral of (1 + e0(s0(xi))) dxi.
    p = dict(CLAY, Cc=0.6, Cr=0.06, esigvref=1.0, sigvref=10.0, Ca=0.0, qo=10.0, dsigv=90.0,
             kref=1e-2)
    ds = pelorin.run(**p, N=40, time=[1e6], loadfactor=[1.0])
    w = 1.7 * 9.81

    def e0(xi):
        return 1.0 - 0.6 * np.log10((10.0 + w * xi) / 10.0)

    lo, hi = 0.0, 10.0
    for _ in range(60):
        solids = 0.5 * (lo + hi)
        xi = np.linspace(0, solids, 20001)
        lo, hi = (solids, hi) if np.trapz(1 + e0(xi), xi) < 10.0 else (lo, solids)
    xi = np.linspace(0, solids, 20001)
    exact = np.trapz(0.6 * np.log10((100.0 + w * xi) / (10.0 + w * xi)), xi)
    assert abs(float(ds.settlement[-1]) / exact - 1) < 2e-3


def test_dataset_layout_and_start_state():
    t = np.array([1.0, 10.0, 100.0])
    ds = pelorin.run(**dict(CLAY, ru=0.2), N=10, time=t, loadfactor=[0.5, 0.5, 1.0],
                     drainagetype=1)
    assert dict(ds.sizes) == {"node": 11, "time": 4, "element": 10}
    assert list(ds.time.values) == [0.0, 1.0, 10.0, 100.0]
    assert list(ds.loadfactor.values) == [0.5, 0.5, 0.5, 1.0]
    np.testing.assert_array_equal(ds.z[:, 0], ds.depth)
    np.testing.assert_allclose(ds.settlement, ds.z[0] - ds.z[0, 0])
    sig0 = ds.sigv[:, 0] / 0.8
    np.testing.assert_allclose(ds.u[:, 0], 50.0 + 0.2 * sig0)
    assert float(ds.u[0, 1]) == 0.0 and float(ds.u[-1, 1]) > 0  # drained top, sealed bottom
    for name in ("z", "u", "sigv", "e", "k", "settlement", "time", "depth"):
        assert ds[name].attrs["units"] and ds[name].attrs["long_name"]
    assert ds.attrs["substeps"] > 0 and ds.attrs["drainagetype"] == 1


def _lens(N, ratio):
    depth = np.linspace(0, 15.0, N + 1)
    nodes = {k: np.full(N + 1, float(v)) for k, v in CLAY.items() if k not in ("qo", "H")}
    nodes["kref"] = np.where((depth >= 7.0) & (depth <= 8.0), 8.64e-5 * ratio, 8.64e-5)
    return dict(nodes, depth=depth, qo=10.0)


ROBUST = {
    "lens10": lambda N: dict(_lens(N, 10), time=TLOG, loadfactor=np.ones(25)),
    "lens1e4": lambda N: dict(_lens(N, 1e4), time=TLOG, loadfactor=np.ones(25)),
    "qo0": lambda N: dict(CLAY, qo=0.0, N=N, time=TLOG, loadfactor=np.ones(25)),
    "first1000tref": lambda N: dict(CLAY, Ca=0.04, N=N, time=[1e3, 1e4, 1e5],
                                    loadfactor=np.ones(3)),
    "5decades10out": lambda N: dict(CLAY, N=N, time=np.logspace(0, 5, 10),
                                    loadfactor=np.ones(10)),
    "unloading": lambda N: dict(CLAY, N=N, time=TLOG, loadfactor=np.where(TLOG > 1e3, 0.2, 1.0)),
    "twostage": lambda N: dict(CLAY, N=N, time=TLOG, loadfactor=np.where(TLOG > 300, 1.0, 0.5),
                               drainagetype=1),
}


@pytest.mark.parametrize("case", sorted(ROBUST))
def test_robust_against_finer_run(case):
    coarse = pelorin.run(**ROBUST[case](40))
    fine = pelorin.run(**ROBUST[case](160), rtol=1e-4)
    a, b = coarse.settlement.values, fine.settlement.values
    assert np.abs(a - b).max() < 0.01 * np.abs(b).max()
    assert np.all(np.isfinite(coarse.u)) and np.all(coarse.e > 0)


def test_n1000_late_pressures_do_not_oscillate():
    ds = pelorin.run(**CLAY, N=1000, time=TLOG, loadfactor=np.ones(25))
    assert ds.u.values[:, 1:].min() > -1e-3 * 100.0


@pytest.mark.parametrize("change, exc, words", [
    (dict(Cr=0.6), ValueError, ("Cr", "node 0")),
    (dict(Cr=0.0), ValueError, ("Cr", "node 0")),
    (dict(ocrvoidratio=0.8), ValueError, ("ocrvoidratio", "node 0")),
    (dict(tref=0.0), ValueError, ("tref", "node 0")),
    (dict(kref=-1.0), ValueError, ("kref", "node 0", "m per time unit of tref")),
    (dict(drainagetype=3), ValueError, ("drainagetype",)),
    (dict(ocrvoidratiotype=1, ocrvoidratio=3.0), ValueError, ("ocrvoidratio", "node")),
    (dict(ocrvoidratiotype=2, ocrvoidratio=5.0), ValueError, ("ocrvoidratio", "node 0")),
    (dict(qo=0.0, Gs=1.0), ValueError, ("qo", "element 0")),
    (dict(Tol=1.0), TypeError, ("Tol",)),
    (dict(time=[2.0, 1.0]), ValueError, ("time", "entry 1")),
    (dict(loadfactor=[1.0, -0.5]), ValueError, ("loadfactor", "entry 1", "element 0")),
])
def test_impossible_input_names_parameter_and_place(change, exc, words):
    kw = dict(CLAY, N=10, time=[1.0, 2.0], loadfactor=[1.0, 1.0])
    kw.update(change)
    with pytest.raises(exc) as info:
        pelorin.run(**kw)
    assert all(w in str(info.value) for w in words), str(info.value)


def test_depth_must_increase():
    nodes = {k: np.full(4, float(v)) for k, v in CLAY.items() if k not in ("qo", "H")}
    with pytest.raises(ValueError, match="depth.*node 2"):
        pelorin.run(**nodes, qo=10.0, depth=[0.0, 1.0, 1.0, 2.0], time=[1.0], loadfactor=[1.0])


def test_convergence_error_carries_partial_results():
    with pytest.raises(pelorin.ConvergenceError) as info:
        pelorin.run(**CLAY, N=20, time=TLOG, loadfactor=np.ones(25), max_substeps=30)
    err = info.value
    assert isinstance(err, RuntimeError) and err.time > 0
    assert 1 <= err.partial.sizes["time"] < 26
    assert float(err.partial.time[-1]) <= err.time
    assert np.all(np.isfinite(err.partial.u))


def test_progress_called_at_each_output_and_its_errors_propagate():
    seen = []
    pelorin.run(**CLAY, N=10, time=TLOG[:5], loadfactor=np.ones(5),
                progress=lambda t, end: seen.append((t, end)))
    assert [t for t, _ in seen] == [0.0] + list(TLOG[:5])
    assert {end for _, end in seen} == {TLOG[4]}

    def stop(t, end):
        if t > 0:
            raise RuntimeError("stop here")
    with pytest.raises(RuntimeError, match="stop here"):
        pelorin.run(**CLAY, N=10, time=TLOG, loadfactor=np.ones(25), progress=stop)


LONG = dict(CLAY, N=5000, time=TLOG, loadfactor=np.ones(25), rtol=1e-7)


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signals reach the main thread only")
def test_ctrl_c_interrupts_within_a_tenth_of_a_second():
    sent = []

    def interrupt():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Timer(0.3, interrupt)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        pelorin.run(**LONG)
    assert time.perf_counter() - sent[0] < 0.1
    timer.join()


def test_runs_release_the_gil_and_do_not_depend_on_threads():
    kw = dict(CLAY, N=1000, time=TLOG, loadfactor=np.ones(25))
    serial = pelorin.run(**kw)
    ticks = [0]
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0.001)
    counter = threading.Thread(target=count)
    counter.start()
    results = [None, None]

    def work(i):
        results[i] = pelorin.run(**kw)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - t0
    done.set()
    counter.join()
    assert ticks[0] > 0.3 * elapsed / 0.001  # the counter kept running meanwhile
    for r in results:
        np.testing.assert_array_equal(r.u.values, serial.u.values)
        np.testing.assert_array_equal(r.settlement.values, serial.settlement.values)


def test_many_runs_in_one_call_are_the_single_runs():
    from pelorin import _engine
    n = 10
    el = {k: np.full(n, float(v)) for k, v in CLAY.items() if k not in ("qo", "H")}
    el.update(ocrvoidratiotype=np.zeros(n, np.int32), ru=np.zeros(n))
    ok = dict(depth=np.linspace(0.0, 10.0, n + 1), elements=el, qo=10.0, time=TLOG,
              loadfactor=np.ones(25))
    stuck = dict(ok, max_substeps=30)
    bad = dict(ok, elements=dict(el, Cr=np.full(n, 0.9)))
    many = _engine.solve_many([ok, bad, stuck])
    for kw, res in ((ok, many[0]), (stuck, many[2])):
        one = _engine.solve(**kw)
        assert res["failed"] == one["failed"] and res["columns"] == one["columns"]
        assert all(np.array_equal(res[k], one[k], equal_nan=True)
                   for k in ("z", "u", "e_element", "settlement", "solids"))
    assert many[2]["failed"] and not many[0]["failed"]
    with pytest.raises(ValueError) as info:
        _engine.solve(**bad)
    err = info.value
    assert err.parameter in str(err) and err.index == 0     # names the keyword and element
    assert many[1] == {"input_error": str(err), "parameter": err.parameter, "index": 0}


@pytest.mark.parametrize("kref, warned", [(1e-9, True), (8.64e-5, False)])
def test_a_kref_that_looks_like_m_per_s_is_warned_about(kref, warned, recwarn):
    pelorin.run(**dict(CLAY, kref=kref, N=4, time=TLOG[:3], loadfactor=np.ones(3)))
    said = [w for w in recwarn.list if "m per time unit of tref" in str(w.message)]
    assert len(said) == int(warned)


@pytest.mark.parametrize("change, exc, words", [
    (dict(Cc="0.5"), TypeError, "Cc must be a number"),
    (dict(kref=True), TypeError, "kref must be a number"),
    (dict(ocrvoidratiotype=2 ** 32), ValueError, "ocrvoidratiotype must be 0 (OCR)"),
    (dict(ru=-0.1), ValueError, "ru must be at least 0"),
])
def test_run_elements_refuses_what_run_refuses(change, exc, words):
    el = {k: v for k, v in CLAY.items() if k not in ("qo", "H", "N", "drainagetype")}
    el.update(ocrvoidratio=1.2)
    el.update(change)
    with pytest.raises(exc, match=re.escape(words)):
        pelorin.run_elements(depth=np.linspace(0.0, 1.0, 5), qo=10.0, time=[1.0, 10.0],
                             loadfactor=[1.0, 1.0], **el)


@pytest.mark.parametrize("row, value, words", [("e_element", -0.01, "void ratio of element 2"),
                                               ("k_element", np.inf, "permeability")])
def test_no_state_a_soil_cannot_have_is_accepted(row, value, words):
    from pelorin import _call, _run
    good = pelorin.run(**dict(CLAY, N=4, time=TLOG[:6], loadfactor=np.ones(6)))
    job = _call.make_job(good.depth.values, _run._to_elements(
        {k: np.full(5, float(v)) for k, v in CLAY.items() if k in _run.ELEMENT} |
        {"ocrvoidratiotype": np.zeros(5), "ru": np.zeros(5)}), 10.0, TLOG[:6], np.ones(6))
    res = _call.solve(job)
    res[row][2, 4] = value       # as if the engine had gone on past a physical state
    with pytest.raises(pelorin.ConvergenceError, match=words) as err:
        _run.reached(res, job)
    assert err.value.partial.sizes["time"] == 4 and float(err.value.partial.e.min()) > 0


def _clay_run(n, time, rtol, loadfactor=None, **kw):
    from pelorin import _engine
    el = {k: np.full(n, float(v)) for k, v in CLAY.items() if k not in ("qo", "H")}
    el.update(ocrvoidratiotype=np.zeros(n, np.int32), ru=np.zeros(n))
    if "loads" in kw or "fills" in kw:  # the load is theirs
        el["dsigv"] = np.zeros(n)
    lf = np.ones(len(time)) if loadfactor is None else loadfactor(time)
    return _engine.solve(np.linspace(0.0, 10.0, n + 1), el, 10.0, time, lf, rtol=rtol, **kw)


LOADINGS = {
    "step": {},
    "two stages": dict(loadfactor=lambda t: np.where(t <= 300.0, 0.5, 1.0)),
    "ramp": dict(loads=[dict(dsigv=np.full(40, 100.0), time=[0.0, 60.0], value=[0.0, 1.0])]),
}


@pytest.mark.parametrize("loading", sorted(LOADINGS))
@pytest.mark.parametrize("rtol", [1e-3, 1e-4])
def test_output_times_do_not_end_sub_steps(loading, rtol):
    # Output times between the sub-steps come from the interpolating polynomial
    # of the steps around them: more of them change neither the steps nor the
    # values at the others, and they are as accurate as the steps themselves
    # (global errors here: settlement 1.6-4 rtol of the final, u 5-12 rtol of
    # the load in RMS, at the steps themselves too).
    sparse = np.array([3.0, 30.0, 300.0, 3000.0, 1e4])
    dense = np.union1d(sparse, np.logspace(-1, 4, 400))
    kw = LOADINGS[loading]
    few, many = _clay_run(40, sparse, rtol, **kw), _clay_run(40, dense, rtol, **kw)
    assert few["substeps"] == many["substeps"] and few["evaluations"] == many["evaluations"]
    at = np.searchsorted(dense, sparse) + 1
    for name in ("settlement", "u", "e_element", "z"):
        np.testing.assert_array_equal(many[name][..., at], few[name][..., 1:])
    ref = _clay_run(40, dense, 1e-7, **kw)
    final = ref["settlement"][-1]
    assert np.abs(many["settlement"] - ref["settlement"]).max() < 5 * rtol * final
    rms = np.sqrt(((many["u_element"] - ref["u_element"]) ** 2).mean(axis=0))
    assert rms.max() < 15 * rtol * 100.0


@pytest.mark.parametrize("n", [100, 1000])
def test_a_stage_starts_from_its_own_scales(n):
    # 200 load increments, one a day: each stage's first step from trials at
    # the stage's own error, not the finest element's relaxation time.
    t = np.concatenate([np.arange(1.0, 201.0), np.logspace(2.4, 5, 20)])
    one = _clay_run(n, t, 3e-4)
    staged = _clay_run(n, t, 3e-4, loadfactor=lambda t: np.minimum(np.arange(1, len(t) + 1) / 200, 1))
    assert not staged["failed"] and staged["substeps"] < 10 * one["substeps"]
    assert abs(staged["settlement"][-1] / one["settlement"][-1] - 1) < 1e-3


@pytest.mark.parametrize("keep", [("settlement",), ("u", "e_element"), ("z", "k", "sigv_element")])
def test_keep_makes_only_the_histories_asked_for(keep):
    full = pelorin.run(**CLAY, N=20, time=TLOG, loadfactor=np.ones(25))
    ds = pelorin.run(**CLAY, N=20, time=TLOG, loadfactor=np.ones(25), keep=keep)
    histories = {"z", "u", "sigv", "e", "k", "u_element", "sigv_element", "e_element",
                 "k_element", "settlement"}
    assert histories & set(ds.data_vars) == set(keep) | {"settlement"}
    for name in set(keep) | {"settlement"}:
        np.testing.assert_array_equal(ds[name].values, full[name].values)


@pytest.mark.parametrize("keep, exc", [(("settlement", "pressure"), ValueError), ("u", TypeError)])
def test_keep_refuses_what_is_no_history(keep, exc):
    with pytest.raises(exc, match="keep"):
        pelorin.run(**CLAY, N=20, time=TLOG, loadfactor=np.ones(25), keep=keep)


@pytest.mark.parametrize("loading", ["step", "ramp", "fill"])
def test_each_history_kept_alone_is_the_one_of_the_whole_run(loading):
    from pelorin import _engine
    names = ("z", "u", "sigv", "e", "k", "u_element", "sigv_element", "e_element",
             "k_element", "settlement", "load", "fill_load", "boundary_top", "boundary_bottom")
    fill = dict(fills=[dict(time=[0.0, 60.0], height=[0.0, 5.0], unit_weight=20.0,
                            water_level={"time": [0.0], "value": [0.0]})])
    kw = dict(LOADINGS, fill=fill)[loading]
    dense = np.logspace(-1, 4, 300)  # most of them between sub-steps
    full = _clay_run(40, dense, 1e-3, **kw)
    for name in names:
        alone = _clay_run(40, dense, 1e-3, keep=(name,), **kw)
        assert set(alone) & set(names) == {name}
        np.testing.assert_array_equal(alone[name], full[name], err_msg=name)
    with pytest.raises(_engine.InputError, match="keep: unknown history 'pressure'"):
        _clay_run(40, dense, 1e-3, keep=("pressure",))
