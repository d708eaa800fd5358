"""compute(maxsplit=k): failed steps redone from their start, damped and
halved; compute(splitfirst=True): first steps after a load change split
geometrically.  Cells of a map of realistic runs on the README's clay
(bench/recovery_map.cpp samples the whole map)."""
import warnings

import numpy as np
import pytest

import Pelorin

CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5, ekref=1.5,
            Ck=0.75, dsigv=100.0, ocrvoidratiotype=0, H=10.0)


def grid(first, Ntime, loading):
    """Log-spaced times to 1e5 days from `first`; two stages (50 then
    100 kPa) or an unloading (100 then 60 kPa) change the load at 1e4."""
    if loading == "single":
        return np.logspace(np.log10(first), 5, Ntime), np.ones(Ntime)
    half = Ntime // 2
    t = np.concatenate([np.logspace(np.log10(first), 4, half),
                        1e4 + np.logspace(np.log10(first), np.log10(9e4), Ntime - half)])
    lf = [0.5, 1.0] if loading == "staged" else [1.0, 0.6]
    return t, np.repeat(lf, [half, Ntime - half])


def cell(Ca, tref, first, Ntime, N, qo, drainagetype, ocr, loading):
    time, loadfactor = grid(first * tref, Ntime, loading)
    return dict(CLAY, Ca=Ca, tref=tref, N=N, qo=qo, drainagetype=drainagetype,
                ocrvoidratio=ocr, time=time, loadfactor=loadfactor)


def plain_outcome(capsys, kw):
    """How the plain run ends: 'pass', 'error' (the printed line) or the
    exception's type name."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            Pelorin.compute(**kw)
        except ArithmeticError as e:
            return type(e).__name__
    return "error" if "did not converge" in capsys.readouterr().out else "pass"


# Failing cells of each kind: a NaN residual at the first step, a finite
# residual that does not fall (two-cycles at a kink), a ZeroDivisionError
# after a void-ratio iteration gave up; single, staged and unloading runs.
FAILING = [
    ((0.04, 1, 10, 50, 10, 0.1, 1, 1.2, "staged"), "error"),
    ((0.04, 0.01, 100, 50, 10, 10, 1, 1.2, "single"), "error"),
    ((0.03, 0.01, 100, 50, 10, 1, 0, 1, "unload"), "error"),
    ((0.01, 0.01, 10, 20, 10, 10, 1, 1, "staged"), "error"),
    ((0, 0.01, 100, 50, 20, 10, 1, 1.2, "unload"), "error"),
    ((0.01, 0.01, 100, 20, 10, 1, 1, 1.2, "unload"), "error"),
    ((0.01, 1, 100, 50, 20, 1, 1, 1, "single"), "ZeroDivisionError"),
    ((0.01, 1, 100, 20, 20, 0.1, 0, 1, "unload"), "ZeroDivisionError"),
    ((0.02, 1, 1000, 20, 100, 1, 0, 1, "single"), "ZeroDivisionError"),
]


@pytest.mark.parametrize("args, how", FAILING, ids=[str(a) for a, _ in FAILING])
def test_failing_runs_complete_with_the_recovery(capsys, args, how):
    kw = cell(*args)
    assert plain_outcome(capsys, kw) == how
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        r = Pelorin.compute(maxsplit=8, **kw)
    assert "did not converge" not in capsys.readouterr().out
    # Every column was accepted: the top settles and the stresses stay positive.
    assert np.all(r["sigv"] > 0) and np.all(np.isfinite(r["e"]))
    assert np.all(r["z"][0] != 0) and np.all(r["e"] > 0)


PASSING = [
    (0.02, 1, 1, 100, 20, 10, 0, 1.2, "single"),
    (0.0, 1, 10, 50, 40, 10, 1, 1, "staged"),
    (0.01, 0.01, 1, 100, 20, 1, 0, 1.2, "unload"),
    (0.04, 1, 0.1, 100, 10, 10, 1, 1.2, "single"),
]


class Counter:
    def __init__(self, f):
        self.f, self.calls = f, 0

    def __call__(self, *args):
        self.calls += 1
        return self.f(*args)


def test_a_seeded_sample_of_the_map_completes(capsys):
    # Small columns and histories of the map, drawn with a fixed seed: every
    # run completes with the recovery, and those that pass plainly are
    # unchanged by it.
    rng = np.random.default_rng(14)
    outcomes = []
    for _ in range(40):
        args = (rng.choice([0.0, 0.01, 0.02, 0.03, 0.04]), rng.choice([1.0, 0.01]),
                rng.choice([0.1, 1, 10, 100, 1000]), int(rng.choice([20, 50])),
                int(rng.choice([10, 20])), rng.choice([0.1, 1.0, 10.0]), int(rng.integers(2)),
                rng.choice([1.0, 1.2]), rng.choice(["single", "staged", "unload"]))
        kw = cell(*args)
        how = plain_outcome(capsys, kw)
        outcomes.append(how)
        with warnings.catch_warnings():
            warnings.simplefilter("error", RuntimeWarning)
            r = Pelorin.compute(maxsplit=8, **kw)
        assert "did not converge" not in capsys.readouterr().out, args
        assert np.all(r["sigv"] > 0) and np.all(r["z"][0] != 0), args
        if how == "pass":
            plain = Pelorin.compute(**kw)
            assert all(np.array_equal(plain[k], r[k]) for k in r), args
    # The sample holds runs that pass and runs that fail in both ways.
    assert {"pass", "error", "ZeroDivisionError"} <= set(outcomes)


@pytest.mark.parametrize("args", PASSING, ids=str)
def test_runs_that_pass_are_untouched(capsys, monkeypatch, args):
    kw = cell(*args)
    assert plain_outcome(capsys, kw) == "pass"
    plain = Pelorin.compute(**kw)
    recovered = Pelorin.compute(maxsplit=8, **kw)
    assert all(np.array_equal(plain[k], recovered[k]) for k in plain)
    # The same corrections, counted through the namespace.
    counts = []
    for extra in ({}, {"maxsplit": 8}):
        counter = Counter(Pelorin.get_utest2)
        monkeypatch.setattr(Pelorin, "get_utest2", counter)
        again = Pelorin.compute(**kw, **extra)
        monkeypatch.undo()
        counts.append(counter.calls)
        assert all(np.array_equal(plain[k], again[k]) for k in plain)
    assert counts[0] == counts[1] > 0


def test_recovery_through_rebound_functions_gives_the_same_run(monkeypatch):
    # A rebound name keeps the GIL and goes through Python; the recovered
    # steps must be the very same.  (Not get_utest2: its parameters cannot
    # ask for the exact slope that the recovery's own corrections take.)
    kw = cell(*FAILING[0][0])
    fast = Pelorin.compute(maxsplit=8, **kw)
    for name in ("get_utest", "get_residual", "get_etest", "get_ktest", "Max"):
        monkeypatch.setattr(Pelorin, name, Counter(getattr(Pelorin, name)))
    slow = Pelorin.compute(maxsplit=8, **kw)
    assert Pelorin.get_utest.calls > kw["time"].size
    assert all(np.array_equal(fast[k], slow[k]) for k in fast)


def test_recovery_that_runs_out_of_pieces_keeps_the_failure(capsys):
    kw = cell(*FAILING[6][0])
    with pytest.warns(RuntimeWarning, match="step 0"):
        r = Pelorin.compute(maxsplit=1, tol=1e-30, **kw)
    assert capsys.readouterr().out.endswith(
        "ERROR! Increment 0 did not converge in 100 iterations.\n")
    assert not r["u"].any()


def test_a_zero_division_from_the_inputs_is_still_raised():
    # A zero tref with creep divides by zero in every try: not a failure to
    # converge, an error in the inputs.
    kw = dict(cell(*PASSING[0]), tref=0.0)
    for extra in ({}, {"maxsplit": 4}):
        with pytest.raises(ZeroDivisionError):
            Pelorin.compute(**kw, **extra)


def settlement(kw, **extra):
    return Pelorin.compute(**kw, **extra)["z"][0, -1]


@pytest.mark.parametrize("Ca, qo", [(0.02, 1.0), (0.04, 1.0), (0.02, 0.1)])
def test_split_first_step_follows_a_fine_grid(Ca, qo):
    # With creep, one first step of 100 tref overstates the creep of the
    # step; pieces growing from 0.1 tref follow a fine grid from 0.1 tref.
    soil = dict(CLAY, Ca=Ca, tref=0.01, N=20, qo=qo, drainagetype=0, ocrvoidratio=1.0)
    coarse = np.logspace(0, 5, 26)
    fine = np.logspace(-3, 5, 321)
    ref = settlement(dict(soil, time=fine, loadfactor=np.ones(fine.size)), maxsplit=8)
    kw = dict(soil, time=coarse, loadfactor=np.ones(coarse.size))
    plain = settlement(kw, maxsplit=8)
    split = settlement(kw, maxsplit=8, splitfirst=True)
    assert abs(split / ref - 1) < 0.004
    assert abs(plain / ref - 1) > 0.012


@pytest.mark.parametrize("value, error", [(-1, ValueError), (31, ValueError),
                                          ("2", TypeError), (2 ** 40, OverflowError)])
def test_maxsplit_is_checked(value, error):
    kw = cell(*PASSING[0])
    with pytest.raises(error):
        Pelorin.compute(maxsplit=value, **kw)
    assert len(Pelorin.get_inputs(maxsplit=value, splitfirst=True, **kw)) == 22
