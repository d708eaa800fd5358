"""The soil relations through the module: get_ktest, get_avtest, get_etest take
doubles by position or keyword and give a float (get_etest the int -1 when its
iteration gives up); zero divisors raise ZeroDivisionError "float division"
with the function's traceback entry."""
import math
import traceback

import numpy as np
import pytest

import Pelorin

LN10 = math.log(10.0)

# A clay: normal compression line through (sigvref, eref).
EREF, SREF, CC, CR = 1.5, 100.0, 0.5, 0.05


def e_nc(s):
    return EREF - CC * math.log10(s / SREF)


def e_swelling(sigmap, s):
    """Void ratio at s on the recompression line through sigmap."""
    return e_nc(sigmap) + CR * math.log10(sigmap / s)


def formatted(excinfo):
    return "".join(traceback.format_exception(excinfo.value))


def avtest(elast, sigvlast, sigvtest, **kw):
    # keywords in reverse order: the result must not depend on how they are passed
    args = dict(Cr=CR, Cc=CC, sigvref=SREF, eref=EREF, sigvtest=sigvtest, sigvlast=sigvlast,
                elast=elast)
    args.update(kw)
    return Pelorin.get_avtest(**args)


# --- get_ktest -----------------------------------------------------------------

@pytest.mark.parametrize("etest, expected", [
    (0.8, 1e-9), (1.3, 1e-8), (0.3, 1e-10), (1.05, 1e-9 * 10 ** 0.5)])
def test_ktest_is_a_power_of_ten_of_the_void_ratio(etest, expected):
    k = Pelorin.get_ktest(Ck=0.5, kref=1e-9, ekref=0.8, etest=etest)
    assert type(k) is float
    assert k == pytest.approx(expected, rel=1e-14)


def test_ktest_accepts_ints_and_number_objects():
    assert Pelorin.get_ktest(1, 1, 3, 2) == 3.0
    k = Pelorin.get_ktest(np.float64(1.5), np.float32(1.0), 2, np.int64(1))
    assert type(k) is float and k == pytest.approx(2 * 10 ** 0.5)


# --- get_avtest ------------------------------------------------------------------

S = 50.0
AV_CASES = {
    # previous state on the normal compression line, no step: the tangent
    "tangent on the line": (e_nc(S), S, S, CC / (S * LN10)),
    # virgin loading over a decade: the secant, not the tangent
    "virgin decade": (e_nc(S), S, 10 * S, CC / (9 * S)),
    # overconsolidated, no step: the recompression tangent
    "tangent below sigmap": (e_swelling(2 * S, S), S, S, CR / (S * LN10)),
    "unloading a decade": (e_nc(S), S, S / 10, CR / (0.9 * S)),
    "unloading from overconsolidated": (e_swelling(3 * S, S), S, S / 10, CR / (0.9 * S)),
    "recompression": (e_swelling(4 * S, S), S, 2 * S, CR * math.log10(2) / S),
    # from sigmap/2 to 2 sigmap: Cr up to sigmap, Cc beyond
    "crossing sigmap": (e_swelling(2 * S, S), S, 4 * S, (CC + CR) * math.log10(2) / (3 * S)),
}


@pytest.mark.parametrize("case", AV_CASES)
def test_avtest_cases(case):
    elast, sl, st, expected = AV_CASES[case]
    av = avtest(elast, sl, st)
    assert type(av) is float
    assert av == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("args", [
    dict(Cr=CC),                                            # Cc = Cr, before anything else
    dict(Cr=CC, sigvlast=0.0, sigvref=-1.0),
    dict(sigvlast=0.0),
    dict(sigvlast=-0.0, sigvtest=20.0),
    # above the normal compression line: no tangent applies and the step is 0
    dict(elast=e_nc(S) + 0.1),
    # on the line, the zero sigvtest is tested by the tangent's step test
    dict(sigvtest=0.0),
])
def test_avtest_zero_divisors(args):
    base = dict(elast=e_nc(S), sigvlast=S, sigvtest=S)
    base.update(args)
    with pytest.raises(ZeroDivisionError) as ei:
        avtest(**base)
    assert str(ei.value) == "float division"
    assert "Pelorin.get_avtest" in formatted(ei)


# --- get_etest -------------------------------------------------------------------

def etest_args(**kw):
    args = dict(etest=1.4, elast=1.4, eref=EREF, alpha=0.02 / LN10, tref=1.0, sigvtest=130.0,
                sigvlast=110.0, sigvref=SREF, Cc=CC, avtest=2e-3, utest=40.0, ulast=60.0, dt=2.0)
    args.update(kw)
    return args


def creep_balance(e, a):
    """Void-ratio change of the step: pressure part minus the mean creep of
    both ends (trapezoidal in time)."""
    al = a["alpha"]
    def rate(ee, s):
        return math.exp((ee - a["eref"]) / al + (a["Cc"] / al) * math.log10(s / a["sigvref"]))
    creep = (a["dt"] * 0.5 * al / a["tref"]
             * (rate(e, a["sigvtest"]) + rate(a["elast"], a["sigvlast"])))
    return a["avtest"] * (a["utest"] - a["ulast"]) - creep - (e - a["elast"])


@pytest.mark.parametrize("kw", [
    dict(),
    dict(etest=1.0),                       # start far below
    dict(etest=1.43, dt=50.0, alpha=0.05 / LN10),
    dict(sigvtest=90.0, utest=80.0),        # unloading: creep slows down
    dict(Cc=0.3, eref=1.1, elast=0.95, etest=0.95),
])
def test_etest_closes_the_creep_balance(kw):
    a = etest_args(**kw)
    # keywords in reverse order
    e = Pelorin.get_etest(**dict(reversed(list(a.items()))))
    assert type(e) is float
    assert abs(creep_balance(e, a)) <= 1e-12
    assert e < a["elast"] + a["avtest"] * (a["utest"] - a["ulast"])   # creep compresses


@pytest.mark.parametrize("alpha", [0.0, -0.01, float("nan")])
def test_etest_without_creep_is_linear_in_the_pressure(alpha):
    a = etest_args(alpha=alpha, tref=0.0, sigvref=0.0, etest=123.0)
    e = Pelorin.get_etest(**a)
    assert type(e) is float
    assert e == 1.4 + 2e-3 * (40.0 - 60.0)


@pytest.mark.parametrize("distance, converges", [(60, True), (150, False), (600, False)])
def test_etest_gives_up_with_int_minus_one(distance, converges):
    # Far above the solution each Newton update only moves the void ratio by
    # about alpha, so a start `distance` alphas away needs about as many updates.
    alpha = 0.01 / LN10
    a = etest_args(etest=EREF + distance * alpha, elast=EREF, alpha=alpha, tref=1.0, dt=1.0,
                   sigvtest=SREF, sigvlast=SREF, utest=0.0, ulast=0.0)
    e = Pelorin.get_etest(**a)
    if converges:
        assert type(e) is float and abs(creep_balance(e, a)) <= 1e-12
    else:
        assert type(e) is int and e == -1


@pytest.mark.parametrize("kw", [
    dict(tref=0.0),
    dict(tref=-0.0),
    dict(sigvref=0.0),
    # dres/de = (dt*(-0.5)/tref)*A - 1 vanishes for A = 1 and dt = -2 tref
    dict(etest=EREF, eref=EREF, sigvtest=SREF, dt=-2.0, tref=1.0, utest=10.0, ulast=0.0),
])
def test_etest_zero_divisors(kw):
    with pytest.raises(ZeroDivisionError) as ei:
        Pelorin.get_etest(**etest_args(**kw))
    assert str(ei.value) == "float division"
    assert "Pelorin.get_etest" in formatted(ei)
