"""The column solver through the module: get_residual, get_utest and get_utest2
on the state of a real clay column, as a run strings them together (trial
solve, derived state, residual, Newton corrections), and as single calls:
result arrays, untouched inputs, mirror symmetry, degenerate columns and the
errors they raise."""
import math
import traceback
import types

import numpy as np
import pytest

import Pelorin

LN10 = math.log(10.0)
GAMMAW, PA = 9.81, 101.325

RESIDUAL = ["ulast", "utest", "elast", "etest", "klast", "ktest", "avtest", "zlast", "ztest",
            "sigvlast", "sigvtest", "gammaw", "Ca", "Cc", "sigvref", "esigvref", "dt", "tref",
            "drainagetype", "N"]
UTEST = ["klast", "ktest", "avtest", "zlast", "ztest", "ulast", "sigvlast", "sigvtest", "elast",
         "etest", "Ca", "Cc", "sigvref", "esigvref", "dt", "tref", "drainagetype", "N", "gammaw"]
UTEST2 = ["N", "klast", "ktest", "zlast", "ztest", "avtest", "elast", "etest", "ulast", "utest",
          "sigvlast", "sigvtest", "Res", "dt", "Cc", "Cr", "Ca", "gammaw", "ekref", "kref", "Ck",
          "tref", "esigvref", "sigvref", "dsigv", "drainagetype", "pa"]
PARAMS = {"get_residual": RESIDUAL, "get_utest": UTEST, "get_utest2": UTEST2}
SCALARS = {"gammaw", "dt", "drainagetype", "N", "pa"}


def call(name, s, **changes):
    """Calls a solver function positionally with the state's entries."""
    s = dict(s, **changes)
    return getattr(Pelorin, name)(*[s[k] for k in PARAMS[name]])


def formatted(excinfo):
    return "".join(traceback.format_exception(excinfo.value))


def solved_nodes(dtype, N):
    return {0: range(1, N), 1: range(1, N + 1), 2: range(0, N)}[dtype]


def drained_nodes(dtype, N):
    return {0: [0, N], 1: [0], 2: [N]}[dtype]


# --- a normally consolidated clay column and the derived state of a run ----------

def clay(N=20, H=10.0, Ca=0.0, dtype=0, dt=1.0, load=100.0):
    """Accepted state at the start of a load step of `load` kPa, carried at
    first by the pore water (time in days, permeability in m/day)."""
    n = N + 1
    full = lambda v: np.full(n, float(v))
    s = dict(N=N, drainagetype=dtype, dt=dt, gammaw=GAMMAW, pa=PA,
             Cc=full(0.5), Cr=full(0.05), sigvref=full(100.0), esigvref=full(1.5),
             kref=full(1e-4), ekref=full(1.5), Ck=full(0.5), Ca=full(Ca), tref=full(1.0),
             dsigv=full(load))
    depth = np.linspace(0.0, H, n)
    init = Pelorin.get_initial(depth, s["Cc"], s["Cr"], s["sigvref"], s["esigvref"], full(2.7),
                               s["kref"], s["ekref"], s["Ck"], s["Ca"], s["tref"], 10.0, s["dsigv"],
                               np.zeros(n, np.int32), full(1.0), full(0.0), None, [1.0], GAMMAW,
                               None, PA, dtype)
    s["ulast"] = np.asarray(init["sigvf"]) - np.asarray(init["sigvo2"])
    s["sigvlast"] = np.asarray(init["sigvf"]) - s["ulast"]
    s["elast"] = np.array(init["eo"])
    s["klast"] = np.array([Pelorin.get_ktest(e, 1.5, 1e-4, 0.5) for e in s["elast"]])
    s["zlast"] = depth
    return s


def derive(s, utest, etest_start):
    """Trial state of the pressures `utest`, as a run derives it, and its residual."""
    N = s["N"]
    t = dict(s, utest=np.array(utest, dtype=float))
    t["sigvtest"] = s["ulast"] + s["sigvlast"] - t["utest"]
    nodes = range(N + 1)
    t["avtest"] = np.array([Pelorin.get_avtest(s["elast"][i], s["sigvlast"][i], t["sigvtest"][i],
                                               s["esigvref"][i], s["sigvref"][i], s["Cc"][i],
                                               s["Cr"][i]) for i in nodes])
    t["etest"] = np.array([Pelorin.get_etest(etest_start[i], s["elast"][i], s["esigvref"][i],
                                             s["Ca"][i] / LN10, s["tref"][i], t["sigvtest"][i],
                                             s["sigvlast"][i], s["sigvref"][i], s["Cc"][i],
                                             t["avtest"][i], t["utest"][i], s["ulast"][i], s["dt"])
                           for i in nodes])
    assert -1 not in t["etest"]
    epsv = (s["elast"] - t["etest"]) / (s["elast"] + 1)
    t["ktest"] = np.array([Pelorin.get_ktest(t["etest"][i], s["ekref"][i], s["kref"][i],
                                             s["Ck"][i]) for i in nodes])
    z = s["zlast"]
    zt = np.zeros(N + 1)
    zt[N] = z[N]
    for i in range(N - 1, -1, -1):
        zt[i] = zt[i + 1] - ((z[i + 1] - z[i]) - (z[i + 1] - z[i]) * epsv[i])
    t["ztest"] = zt
    t["Res"] = np.asarray(call("get_residual", t))
    return t


def first_trial(s):
    """Trial pressures of the step from the accepted state, as a run makes them."""
    n = s["N"] + 1
    av = [Pelorin.get_avtest(s["elast"][i], s["sigvlast"][i], s["sigvlast"][i], s["esigvref"][i],
                             s["sigvref"][i], s["Cc"][i], s["Cr"][i]) for i in range(n)]
    u = call("get_utest", s, ktest=s["klast"], ztest=s["zlast"], avtest=np.array(av),
             sigvtest=s["sigvlast"], etest=s["elast"])
    return derive(s, u, s["elast"])


def trial(dtype=1, Ca=0.03, N=20):
    """A realistic trial state: pressures off the solution, creep on."""
    return first_trial(clay(N=N, Ca=Ca, dtype=dtype))


def worst(t):
    return float(np.max(np.abs(t["Res"])))


def correct(t, limit):
    """Newton corrections until the residual is below 1e-8 (or `limit` of them)."""
    history = [worst(t)]
    while history[-1] >= 1e-8 and len(history) <= limit:
        t = derive(t, call("get_utest2", t), t["etest"])
        history.append(worst(t))
    return t, history


# --- the pieces fit together as a solver ------------------------------------------

# (Ca, dt, most corrections allowed), tref being one day: without creep a short
# and a long step; with creep steps of a few tref (much longer first steps
# overshoot to negative effective stresses near the drains).
STEPS = [(0.0, 2.0, 10), (0.0, 10.0, 10), (0.03, 1.0, 40), (0.02, 2.0, 40), (0.02, 5.0, 40)]


@pytest.mark.parametrize("dtype", [0, 1, 2])
@pytest.mark.parametrize("Ca, dt, limit", STEPS)
def test_newton_corrections_drive_the_residual_to_zero(dtype, Ca, dt, limit):
    t = first_trial(clay(Ca=Ca, dtype=dtype, dt=dt))
    assert worst(t) > 1e-4          # the trial solve alone does not satisfy the step
    t, history = correct(t, limit)
    assert history[-1] < 1e-8, history
    assert len(history) - 1 <= limit
    if Ca == 0.0:
        # the full derivative contracts strongly at every correction
        assert all(b < 0.2 * a for a, b in zip(history, history[1:])), history
    u = t["utest"]
    assert np.all(np.isfinite(u))
    assert all(u[j] == 0.0 for j in drained_nodes(dtype, t["N"]))
    if Ca == 0.0:
        # consolidation without creep only dissipates the load's pressure
        assert u.min() >= 0.0 and u.max() <= 100.0 + 1e-9


@pytest.mark.parametrize("dtype", [0, 1, 2])
@pytest.mark.parametrize("Ca, dt, limit", [STEPS[1], STEPS[2]])
def test_newton_returns_to_the_solution_from_a_perturbed_state(dtype, Ca, dt, limit):
    t, _ = correct(first_trial(clay(Ca=Ca, dtype=dtype, dt=dt)), limit)
    solution = t["utest"].copy()
    N = t["N"]
    bump = np.zeros(N + 1)
    for j in solved_nodes(dtype, N):
        bump[j] = 4.0 * math.sin(0.7 * j + 0.3)
    p = derive(t, solution + bump, t["etest"])
    assert worst(p) > 1e-3
    p, history = correct(p, limit)
    assert history[-1] < 1e-8, history
    assert len(history) - 1 <= limit
    np.testing.assert_allclose(p["utest"], solution, rtol=0, atol=1e-4)


@pytest.mark.parametrize("dtype", [0, 1, 2])
@pytest.mark.parametrize("Ca", [0.0, 0.03])
def test_trial_solve_zeroes_the_residual_of_its_frozen_state(dtype, Ca):
    # get_utest solves the residual's equation with everything but the
    # pressures held: put back into get_residual, its pressures satisfy it.
    t = trial(dtype, Ca)
    t["ulast"] = t["ulast"] + 5.0 * np.sin(np.arange(t["N"] + 1))   # flow in the previous state
    # At a sealed end the one-sided gradient product is left out of the
    # diagonal of the trial solve; with equal permeabilities there it is 0.
    N = t["N"]
    t["ktest"] = t["ktest"].copy()
    if dtype == 1:
        t["ktest"][N] = t["ktest"][N - 1]
    elif dtype == 2:
        t["ktest"][0] = t["ktest"][1]
    u = call("get_utest", t)
    r = np.asarray(call("get_residual", t, utest=u))
    scale = np.max(np.abs(t["Res"]))
    assert np.max(np.abs(r)) <= 1e-9 * scale
    assert all(np.asarray(u)[j] == 0.0 for j in drained_nodes(dtype, t["N"]))


@pytest.mark.parametrize("dtype", [0, 1, 2])
def test_residual_without_flow_is_the_void_ratio_change_of_get_etest(dtype):
    # Uniform pressures and permeabilities: no water flows, and what is left
    # of a node's equation, storage plus creep, is the void-ratio change that
    # get_etest finds for the node's step, over 1 + elast.
    t = clay(N=6, Ca=0.03, dtype=dtype, dt=3.0)
    j = np.arange(7.0)
    t["Ca"] = 0.01 + 0.005 * j
    t["Cc"] = 0.4 + 0.02 * j
    t["tref"] = 0.5 + 0.25 * j
    t["ulast"] = np.full(7, 100.0)
    u = np.full(7, 70.0)
    d = derive(t, u, t["elast"])
    d["ktest"] = np.full(7, 2e-4)
    d["klast"] = np.full(7, 1e-4)
    r = np.asarray(call("get_residual", d))
    expected = -(d["etest"] - d["elast"]) / (1 + d["elast"])
    for i in range(7):
        if i in drained_nodes(dtype, 6):
            assert r[i] == 0.0
        else:
            assert r[i] == pytest.approx(expected[i], rel=1e-9, abs=1e-15)
    assert np.all(d["etest"] < d["elast"] + d["avtest"] * (u - t["ulast"]) - 1e-6)   # creep acts


# --- results and inputs ----------------------------------------------------------

CALLS = [("get_residual", 0), ("get_residual", 1), ("get_utest", 0), ("get_utest", 1),
         ("get_utest", 2), ("get_utest2", 0), ("get_utest2", 2)]


def expected_zeros(name, dtype, N, nu):
    rows = N - 1 if dtype == 0 else N
    return {"get_residual": [N + 1], "get_utest": [rows] * 4 + [N + 1],
            "get_utest2": [rows] * 4 + [nu]}[name]


@pytest.mark.parametrize("name, dtype", CALLS)
@pytest.mark.parametrize("N", [20, 7])
def test_arrays_are_made_by_np_zeros_at_the_call(monkeypatch, name, dtype, N):
    t = trial(dtype)
    if N != t["N"]:
        # a shorter column read from the front of longer arrays
        t = dict(t, N=N, utest=t["utest"][:N + 1])
    made = []

    def zeros(n):
        made.append(np.zeros(n))
        return made[-1]

    monkeypatch.setattr(Pelorin, "np", types.SimpleNamespace(zeros=zeros))
    out = call(name, t)
    assert [len(a) for a in made] == expected_zeros(name, dtype, N, len(t["utest"]))
    assert np.shares_memory(np.asarray(out), made[-1])
    monkeypatch.undo()
    assert Pelorin.np is np
    assert np.asarray(out).dtype == np.float64 and np.asarray(out).shape == (N + 1,)


@pytest.mark.parametrize("dtype", [0, 1, 2])
def test_newton_update_is_as_long_as_utest(monkeypatch, dtype):
    # a longer utest gets a longer update, whose extra residual entries then
    # have no row to go to
    t = trial(dtype)
    t["utest"] = np.r_[t["utest"], 5.0]
    t["Res"] = np.r_[t["Res"], 0.0]
    made = []
    monkeypatch.setattr(Pelorin, "np",
                        types.SimpleNamespace(zeros=lambda n: made.append(n) or np.zeros(n)))
    with pytest.raises(IndexError) as ei:
        call("get_utest2", t)
    assert str(ei.value) == "Out of bounds on buffer access (axis 0)"
    assert "Pelorin.get_utest2" in formatted(ei)
    assert made == expected_zeros("get_utest2", dtype, t["N"], t["N"] + 2)


@pytest.mark.parametrize("name, dtype", CALLS)
def test_inputs_are_not_written(name, dtype):
    t = trial(dtype)
    arrays = {k: t[k] for k in PARAMS[name] if k not in SCALARS}
    before = {k: v.copy() for k, v in arrays.items()}
    out = np.asarray(call(name, t))
    for k, v in arrays.items():
        np.testing.assert_array_equal(v, before[k], err_msg=k)
        assert not np.shares_memory(out, v)


def mirror(t):
    """The same column upside down: node j becomes node N - j."""
    m = dict(t)
    L = 10.0
    for k, v in t.items():
        if isinstance(v, np.ndarray):
            m[k] = v[::-1].copy()
    m["zlast"] = L - t["zlast"][::-1]
    m["ztest"] = L - t["ztest"][::-1]
    return m


@pytest.mark.parametrize("name", ["get_residual", "get_utest", "get_utest2"])
@pytest.mark.parametrize("Ca", [0.0, 0.03])
def test_sealed_bottom_and_sealed_top_are_mirror_images(name, Ca):
    t = trial(1, Ca)
    # a curved pressure profile, unequal at the sealed end and its neighbour
    t["utest"] = t["utest"] + 3.0 * np.sin(np.arange(t["N"] + 1))
    t["utest"][0] = 0.0
    t["Res"] = np.asarray(call("get_residual", t))
    down = np.asarray(call(name, t))
    up = np.asarray(call(name, dict(mirror(t), drainagetype=2)))
    assert len(up) == len(down) == t["N"] + 1
    np.testing.assert_allclose(up[::-1], down, rtol=1e-10, atol=1e-12 * np.max(np.abs(down)))
    # and not by accident: sealing the other end changes the result
    other = np.asarray(call(name, dict(mirror(t), drainagetype=1)))
    assert np.max(np.abs(other[::-1] - down)) > 1e-6 * np.max(np.abs(down))


@pytest.mark.parametrize("name", ["get_residual", "get_utest", "get_utest2"])
@pytest.mark.parametrize("dtype", [0, 1, 2])
def test_results_do_not_depend_on_the_unit_of_time(name, dtype):
    # Days to seconds: steps and creep reference times grow, permeabilities
    # (length per unit of time) shrink by the same factor.
    t = trial(dtype)
    f = 86400.0
    seconds = dict(t, dt=t["dt"] * f, tref=t["tref"] * f, klast=t["klast"] / f,
                   ktest=t["ktest"] / f, kref=t["kref"] / f)
    np.testing.assert_allclose(call(name, seconds), call(name, t), rtol=1e-9, atol=1e-15)


@pytest.mark.parametrize("dtype", [0, 1, 2])
@pytest.mark.parametrize("replace", [
    lambda v: None,
    lambda v: np.zeros(0),
    lambda v: np.full(3, np.nan),
    lambda v: np.linspace(-1e9, 1e9, 101)[::-2],
    lambda v: -v,
], ids=["None", "empty", "nan", "strided", "negated"])
def test_klast_and_dsigv_do_not_enter_the_newton_step(dtype, replace):
    t = trial(dtype)
    ref = np.asarray(call("get_utest2", t))
    out = call("get_utest2", t, klast=replace(t["klast"]), dsigv=replace(t["dsigv"]))
    np.testing.assert_array_equal(out, ref)


# --- degenerate columns and failures -----------------------------------------------

def short_cases():
    for name, params in PARAMS.items():
        for k in params:
            if k not in SCALARS:
                yield name, k


@pytest.mark.parametrize("name, short", list(short_cases()))
def test_an_array_one_node_short(name, short):
    # Sealed bottom and creep everywhere: every array is read up to node N,
    # except the two the Newton step never reads.
    t = trial(1)
    args = dict(t, **{short: t[short][:-1]})
    if name == "get_utest2" and short in ("klast", "dsigv"):
        np.testing.assert_array_equal(call(name, args), call(name, t))
        return
    with pytest.raises(IndexError) as ei:
        call(name, args)
    assert str(ei.value) == "Out of bounds on buffer access (axis 0)"
    assert f"Pelorin.{name}" in formatted(ei)


def tiny(n):
    """State arrays of n nodes, one metre apart, for columns of zero or one element."""
    full = lambda v: np.full(n, float(v))
    s = dict(ulast=full(50.0), utest=full(40.0), elast=full(1.2), etest=full(1.19),
             klast=full(1e-4), ktest=full(1e-4), avtest=full(1e-3), zlast=np.arange(float(n)),
             ztest=np.arange(float(n)) * 0.99, sigvlast=full(100.0), sigvtest=full(110.0),
             Ca=full(0.02), Cc=full(0.5), Cr=full(0.05), sigvref=full(100.0), esigvref=full(1.5),
             tref=full(1.0), ekref=full(1.5), kref=full(1e-4), Ck=full(0.5), dsigv=full(10.0),
             Res=full(1e-3), gammaw=GAMMAW, dt=1.0, pa=PA)
    s["utest"][0] = 0.0
    return s


@pytest.mark.parametrize("name, N, dtype, exc, outcome", [
    # no interior node and both ends drained: nothing to compute
    ("get_residual", 0, 0, None, [0.0]),
    ("get_residual", 1, 0, None, [0.0, 0.0]),
    # the neighbour N - 1 = -1 of a single node wraps onto the node itself
    ("get_residual", 0, 1, ZeroDivisionError, "float division"),
    ("get_residual", 0, 2, IndexError, "Out of bounds on buffer access (axis 0)"),
    ("get_utest", 1, 0, IndexError, "Out of bounds on buffer access (axis 0)"),
    ("get_utest", 0, 0, ValueError, None),            # the array library refuses length -1
    # the link of node 0 to node 1 spans ztest[1] - ztest[-1] = 0
    ("get_utest", 1, 1, ZeroDivisionError, "float division by zero"),
    ("get_utest", 1, 2, IndexError, "Out of bounds on buffer access (axis 0)"),
    ("get_utest", 1, 7, ZeroDivisionError, "float division"),
    ("get_utest", 0, -1, ZeroDivisionError, "float division"),
    ("get_utest2", 1, 0, IndexError, "Out of bounds on buffer access (axis 0)"),
    ("get_utest2", 0, 0, ValueError, None),
    ("get_utest2", 1, 1, ZeroDivisionError, "float division"),
    ("get_utest2", 1, 2, IndexError, "Out of bounds on buffer access (axis 0)"),
    ("get_utest2", 1, 7, ZeroDivisionError, "float division"),
    ("get_utest2", 0, 3, IndexError, "Out of bounds on buffer access (axis 0)"),
])
def test_columns_of_zero_or_one_element(name, N, dtype, exc, outcome):
    s = dict(tiny(N + 1), N=N, drainagetype=dtype)
    if exc is None:
        assert np.asarray(call(name, s)).tolist() == outcome
        return
    with pytest.raises(exc) as ei:
        call(name, s)
    if outcome:
        assert str(ei.value) == outcome
    assert f"Pelorin.{name}" in formatted(ei)


def test_single_element_sealed_bottom_has_its_boundary_equation():
    s = dict(tiny(2), N=1, drainagetype=1)
    r = np.asarray(call("get_residual", s))
    assert r[0] == 0.0 and r[1] != 0.0
    # the same element sealed at the top, upside down
    m = dict(mirror(s), N=1, drainagetype=2)
    np.testing.assert_allclose(np.asarray(call("get_residual", m))[::-1], r, rtol=1e-12)


def node(key, j, v):
    def change(t):
        t[key] = t[key].copy()
        t[key][j] = v
    return change


def closes(key, j, k):
    """Moves node j of the positions `key` onto node k."""
    def change(t):
        t[key] = t[key].copy()
        t[key][j] = t[key][k]
    return change


def scalar(key, v):
    return lambda t: t.__setitem__(key, v)


ZERO_DIVISORS = [
    # creep term: tref on the interpreter's floats in the residual, a double elsewhere
    ("get_residual", 0, node("tref", 5, 0.0), "float division by zero"),
    ("get_residual", 1, node("tref", 20, -0.0), "float division by zero"),
    ("get_utest", 0, node("tref", 5, 0.0), "float division"),
    ("get_utest2", 0, node("tref", 5, 0.0), "float division"),
    ("get_residual", 0, node("sigvref", 5, 0.0), "float division"),
    ("get_residual", 0, node("elast", 5, -1.0), "float division"),
    ("get_utest", 2, node("elast", 0, -1.0), "float division"),
    ("get_utest2", 1, node("elast", 20, -1.0), "float division"),
    # node spacings: the trial spacing of get_utest on the interpreter's floats
    ("get_residual", 0, closes("ztest", 7, 5), "float division"),
    ("get_residual", 2, closes("ztest", 0, 1), "float division"),
    ("get_residual", 0, closes("zlast", 7, 5), "float division"),
    ("get_utest", 0, closes("ztest", 7, 5), "float division by zero"),
    ("get_utest", 1, closes("ztest", 20, 19), "float division by zero"),
    ("get_utest", 0, closes("zlast", 7, 5), "float division"),
    ("get_utest2", 0, closes("ztest", 7, 5), "float division"),
    ("get_utest2", 2, closes("ztest", 0, 1), "float division"),
    ("get_residual", 0, scalar("gammaw", 0.0), "float division"),
    ("get_utest", 0, scalar("gammaw", -0.0), "float division"),
    ("get_utest2", 0, scalar("gammaw", 0.0), "float division"),
    # the compressibility slope needs Cc != Cr wherever a row is built
    ("get_utest2", 2, node("Cr", 0, 0.5), "float division"),
    # an unknown boundary builds no boundary row: the sweep meets b = 0
    ("get_utest", 0, scalar("drainagetype", 3), "float division"),
    ("get_utest2", 0, scalar("drainagetype", -2), "float division"),
]


@pytest.mark.parametrize("name, dtype, change, message", ZERO_DIVISORS)
def test_zero_divisors(name, dtype, change, message):
    t = trial(dtype)
    change(t)
    with pytest.raises(ZeroDivisionError) as ei:
        call(name, t)
    assert str(ei.value) == message
    assert f"Pelorin.{name}" in formatted(ei)


@pytest.mark.parametrize("name", list(PARAMS))
def test_creep_divisors_are_not_tested_without_creep(name):
    t = trial(1, Ca=0.0)
    zero = np.zeros(t["N"] + 1)
    ref = np.asarray(call(name, t))
    out = call(name, t, tref=zero, **({} if name == "get_utest2" else {"sigvref": zero}))
    np.testing.assert_array_equal(out, ref)
