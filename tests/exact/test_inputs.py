"""Input collection of a run (get_inputs) and the logarithmic time grid
(Logspace): printed diagnostics, the two soil descriptions, the loading
history, defaults and conversions."""
import array
import math
import traceback

import numpy as np
import pytest

import Pelorin

REQUIRED = ["Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref", "qo",
            "dsigv", "ocrvoidratiotype", "ocrvoidratio"]
ENTRIES = ["depth"] + REQUIRED + ["ru", "time", "loadfactor", "gammaw", "tol", "pa",
                                  "drainagetype"]
NOTICE = "drainagetype not specified. Assuming double drainage.\n"

UNIFORM = dict(Cc=0.3, Cr=0.03, sigvref=100.0, esigvref=1.2, Gs=2.7, kref=1e-9, ekref=1.1,
               Ck=0.5, Ca=0.01, tref=1.0, qo=50.0, dsigv=20.0, ocrvoidratiotype=0,
               ocrvoidratio=1.5, N=10, H=5.0, Ntime=6, tmax=1000.0, drainagetype=1)


def layered(n=4):
    """Keywords of a layered soil of n nodes, each array a distinct object."""
    kw = {name: np.linspace(1.0, 2.0, n) + k for k, name in enumerate(REQUIRED)}
    kw["qo"] = 50.0
    kw["ocrvoidratiotype"] = np.zeros(n, np.int32)
    kw["depth"] = np.linspace(0.0, 3.0, n)
    kw["ru"] = np.full(n, 0.1)
    kw["time"] = np.array([1.0, 10.0, 100.0])
    kw["loadfactor"] = np.array([0.5, 1.0, 1.0])
    kw["drainagetype"] = 0
    return kw


def silent(capsys, **kwargs):
    """get_inputs that must succeed without printing anything."""
    r = Pelorin.get_inputs(**kwargs)
    assert capsys.readouterr().out == ""
    assert isinstance(r, list) and len(r) == 22
    return dict(zip(ENTRIES, r))


def says(capsys, line, *args, **kwargs):
    """get_inputs that must print exactly `line` and return None."""
    assert Pelorin.get_inputs(*args, **kwargs) is None
    assert capsys.readouterr().out == line + "\n"


def without(kw, *names):
    return {k: v for k, v in kw.items() if k not in names}


# --- presence and choice of the soil description -----------------------------

@pytest.mark.parametrize("k", range(len(REQUIRED)))
@pytest.mark.parametrize("base", [UNIFORM, layered()], ids=["uniform", "layered"])
def test_first_missing_required_is_named(capsys, base, k):
    # Every later required name is missing as well: only the first is named.
    says(capsys, "You must specify " + REQUIRED[k], **without(base, *REQUIRED[k:]))
    says(capsys, "You must specify " + REQUIRED[k], **without(base, REQUIRED[k]))


def test_no_keywords_names_cc(capsys):
    says(capsys, "You must specify Cc")
    says(capsys, "You must specify Cc", 1, "two", None)


def test_positional_arguments_are_ignored(capsys):
    a = silent(capsys, **UNIFORM)
    r = Pelorin.get_inputs(1, "x", None, **UNIFORM)
    b = dict(zip(ENTRIES, r))
    for name in ENTRIES:
        np.testing.assert_array_equal(a[name], b[name])


@pytest.mark.parametrize("Cc", [True, np.float64(0.3), 1, 0.3])
def test_numbers_select_uniform_soil(capsys, Cc):
    r = silent(capsys, **dict(UNIFORM, Cc=Cc))
    assert r["Cc"].shape == (11,)
    assert np.all(r["Cc"] == float(Cc))


@pytest.mark.parametrize("Cc", [np.int64(1), (0.3, 0.3), "0.3", None, {"a": 1}, 1j])
def test_other_cc_is_refused(capsys, Cc):
    says(capsys, "Cc must be either a scalar, list, or np.ndarray", **dict(UNIFORM, Cc=Cc))


# --- uniform soil -------------------------------------------------------------

@pytest.mark.parametrize("name", REQUIRED[1:])
@pytest.mark.parametrize("bad", ["1", np.int64(1), None, [1.0], np.ones(11)])
def test_uniform_requires_numbers(capsys, name, bad):
    says(capsys, f"If Cc is a number, {name} must also be a number", **dict(UNIFORM, **{name: bad}))


def test_uniform_names_first_non_number(capsys):
    says(capsys, "If Cc is a number, Gs must also be a number",
         **dict(UNIFORM, ocrvoidratio="x", Gs="y"))
    # The number checks come before the N / H checks.
    says(capsys, "If Cc is a number, tref must also be a number",
         **without(dict(UNIFORM, tref="x"), "N", "H"))


@pytest.mark.parametrize("missing, line", [
    (("N",), "you must specify N when using input option 1, uniform soil"),
    (("H",), "you must specify H when using input option 1, uniform soil"),
    (("N", "H"), "you must specify N when using input option 1, uniform soil"),
])
def test_uniform_requires_n_and_h(capsys, missing, line):
    says(capsys, line, **without(UNIFORM, *missing))


def test_uniform_arrays(capsys):
    r = silent(capsys, **UNIFORM)
    np.testing.assert_allclose(r["depth"], np.arange(11) * 0.5, rtol=0, atol=1e-15)
    assert r["depth"][0] == 0.0 and r["depth"][-1] == 5.0
    for name in REQUIRED:
        if name == "qo":
            assert type(r["qo"]) is float and r["qo"] == 50.0
            continue
        a = r[name]
        assert type(a) is np.ndarray and a.ndim == 1 and a.shape == (11,)
        assert a.dtype == (np.int32 if name == "ocrvoidratiotype" else np.float64), name
        assert np.all(a == UNIFORM[name]), name
        assert a.flags.writeable and a.flags.owndata
    assert r["ru"].dtype == np.float64 and np.all(r["ru"] == 0.0) and r["ru"].shape == (11,)
    # Each parameter has its own array.
    ids = {id(r[name]) for name in ENTRIES if isinstance(r[name], np.ndarray)}
    assert len(ids) == 17


@pytest.mark.parametrize("N, nodes", [
    ("10", 11), (10.9, 11), (np.int64(4), 5), (True, 2), (0, 1), (-1, 0), (-0.5, 1),
])
def test_uniform_node_count_through_int(capsys, N, nodes):
    r = silent(capsys, **dict(UNIFORM, N=N))
    for name in ENTRIES:
        if isinstance(r[name], np.ndarray) and name not in ("time", "loadfactor"):
            assert r[name].shape == (nodes,), name
    if nodes == 1:
        assert list(r["depth"]) == [0.0]


@pytest.mark.parametrize("changes, exc", [
    ({"N": "x"}, ValueError),
    ({"N": "2.5"}, ValueError),
    ({"N": None}, TypeError),
    ({"N": 2 ** 31}, OverflowError),
    ({"N": -2}, ValueError),             # NumPy refuses a negative node count
    ({"N": float("nan")}, ValueError),
    ({"H": "5"}, TypeError),
    ({"H": None}, TypeError),
    ({"ocrvoidratiotype": 2.0 ** 40}, OverflowError),
    ({"ru": "abc"}, ValueError),         # ru is not among the number checks: NumPy fails
])
def test_uniform_conversion_errors(capsys, changes, exc):
    with pytest.raises(exc) as ei:
        Pelorin.get_inputs(**dict(UNIFORM, **changes))
    assert capsys.readouterr().out == ""
    assert "Pelorin.get_inputs" in [f.name for f in traceback.extract_tb(ei.tb)]


@pytest.mark.parametrize("code, stored", [(1.7, 1), (2, 2), (True, 1), (-1.9, -1)])
def test_uniform_code_is_truncated_to_int32(capsys, code, stored):
    r = silent(capsys, **dict(UNIFORM, ocrvoidratiotype=code))
    assert r["ocrvoidratiotype"].dtype == np.int32
    assert r["ocrvoidratiotype"].tolist() == [stored] * 11


def test_uniform_ru_and_h_conversions(capsys):
    r = silent(capsys, **dict(UNIFORM, ru=0.25, H=np.float32(2.0), N=4, qo=7))
    assert r["ru"].tolist() == [0.25] * 5
    assert r["depth"].tolist() == [0.0, 0.5, 1.0, 1.5, 2.0]
    assert type(r["qo"]) is float and r["qo"] == 7.0


# --- layered soil ---------------------------------------------------------------

def test_layered_returns_the_callers_arrays(capsys):
    kw = layered()
    r = silent(capsys, **kw)
    for name in ENTRIES:
        if name in ("qo", "gammaw", "tol", "pa", "drainagetype"):
            continue
        assert r[name] is kw[name], name
    assert type(r["qo"]) is float and r["qo"] == 50.0


@pytest.mark.parametrize("make", [
    lambda a: array.array("d", a),
    lambda a: memoryview(np.ascontiguousarray(a)),
    lambda a: np.repeat(a, 2)[::2],      # strided, not contiguous
])
def test_layered_shares_memory_of_other_buffers(capsys, make):
    kw = layered()
    for name in ("Cr", "Gs", "dsigv", "depth", "time"):
        kw[name] = make(kw[name])
    r = silent(capsys, **kw)
    for name in ("Cr", "Gs", "dsigv", "depth", "time"):
        before = float(np.asarray(kw[name])[1])
        r[name][1] = -123.0              # a write through the result reaches the caller
        assert np.asarray(kw[name])[1] == -123.0 != before, name


@pytest.mark.parametrize("name", [n for n in REQUIRED if n not in ("Cc", "qo")])
def test_layered_length_mismatch_line(capsys, name):
    kw = layered(11)
    kw[name] = kw[name][:10]
    says(capsys, "('All vectors must have the same length using input option 2, layered soil. "
                 f"Cc has length = 11', ' while {name} has length = 10')", **kw)


def test_layered_length_check_details(capsys):
    kw = layered(3)
    # Lists pass the length check; the first mismatch in order is named.
    kw.update(Cc=[0.3, 0.3, 0.3], Ck=np.ones(5), ekref=[1.0], ocrvoidratio=np.ones(1))
    says(capsys, "('All vectors must have the same length using input option 2, layered soil. "
                 "Cc has length = 3', ' while ekref has length = 1')", **kw)
    # depth, ru, N and the time history are not part of the comparison.
    kw = layered(3)
    kw.update(depth=np.zeros(7), ru=np.zeros(2))
    assert silent(capsys, **kw)["depth"] is kw["depth"]


@pytest.mark.parametrize("changes, exc, match", [
    ({"Cc": [1.0, 2.0, 3.0, 4.0]}, TypeError, None),                 # a list has no buffer
    ({"Cr": [1.0, 2.0, 3.0, 4.0]}, TypeError, None),
    ({"Gs": np.ones(4, np.float32)}, ValueError, "'float'"),
    ({"kref": np.ones((4, 2))}, ValueError, "dimensions"),
    ({"dsigv": np.ones(4, ">f8")}, ValueError, "Big-endian"),
    ({"ocrvoidratiotype": np.zeros(4)}, ValueError, "expected 'int' but got 'double'"),
    ({"ocrvoidratiotype": np.zeros(4, np.int64)}, ValueError, "expected 'int'"),
    ({"qo": "50"}, TypeError, None),
    ({"qo": None}, TypeError, None),
    ({"tref": 5.0}, TypeError, "has no len"),
    ({"depth": np.arange(4)}, ValueError, "long long"),
    ({"depth": [0.0, 1.0, 2.0, 3.0]}, TypeError, None),
    ({"ru": [0.0] * 4}, TypeError, None),
    ({"time": [1.0, 2.0, 3.0]}, TypeError, None),
    ({"loadfactor": np.ones(3, np.float32)}, ValueError, "'float'"),
    ({"time": 5.0}, TypeError, "has no len"),
])
def test_layered_conversion_errors(capsys, changes, exc, match):
    kw = layered()
    kw.update(changes)
    with pytest.raises(exc, match=match) as ei:
        Pelorin.get_inputs(**kw)
    assert capsys.readouterr().out == ""
    assert "Pelorin.get_inputs" in [f.name for f in traceback.extract_tb(ei.tb)]


def test_layered_read_only_array_is_refused(capsys):
    kw = layered()
    kw["Ca"].flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        Pelorin.get_inputs(**kw)


def test_layered_conversions_before_depth_check(capsys):
    kw = without(layered(), "depth")
    says(capsys, "You must specify depth if you specify Cc as a list or array.", **kw)
    kw["Cr"] = list(kw["Cr"])
    with pytest.raises(TypeError):
        Pelorin.get_inputs(**kw)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("ru", [0.1, 1, None, "0.1", (0.1, 0.1, 0.1, 0.1)])
def test_layered_ru_must_be_list_or_array(capsys, ru):
    says(capsys, "If Cc is a number, ru must also be a number", **dict(layered(), ru=ru))


@pytest.mark.parametrize("N, nodes", [(4, 5), (0, 1), (np.int64(2), 3), (True, 2)])
def test_layered_ru_defaults_to_zeros_from_n(capsys, N, nodes):
    r = silent(capsys, **dict(without(layered(), "ru"), N=N))
    assert r["ru"].dtype == np.float64 and r["ru"].tolist() == [0.0] * nodes


def test_layered_without_ru_and_n(capsys):
    kw = without(layered(), "ru")
    with pytest.raises(KeyError) as ei:
        Pelorin.get_inputs(**kw)
    assert ei.value.args == ("N",)
    assert capsys.readouterr().out == ""
    assert [f.name for f in traceback.extract_tb(ei.tb)][-1] == "Pelorin.get_inputs"
    # The depth check comes first.
    says(capsys, "You must specify depth if you specify Cc as a list or array.",
         **without(kw, "depth"))
    with pytest.raises(TypeError):
        Pelorin.get_inputs(**dict(kw, N="4"))


def test_layered_list_cc_subclass_of_ndarray(capsys):
    class Sub(np.ndarray):
        pass

    kw = layered()
    kw["Cc"] = kw["Cc"].view(Sub)
    r = silent(capsys, **kw)
    assert r["Cc"] is kw["Cc"]


# --- loading history --------------------------------------------------------------

@pytest.mark.parametrize("base", [UNIFORM, layered()], ids=["uniform", "layered"])
def test_generated_history(capsys, base):
    kw = dict(without(base, "time", "loadfactor"), Ntime=6, tmax=1000.0)
    r = silent(capsys, **kw)
    np.testing.assert_allclose(r["time"], [0.01, 0.1, 1.0, 10.0, 100.0, 1000.0], rtol=1e-14)
    assert r["time"].dtype == np.float64 and r["loadfactor"].dtype == np.float64
    assert r["loadfactor"].tolist() == [1.0] * 6


@pytest.mark.parametrize("Ntime, tmax", [(1, 1000.0), (2, 50.0), (7, 3.7), (13, 2e6), (0, 10.0)])
def test_generated_history_is_log_even(capsys, Ntime, tmax):
    r = silent(capsys, **dict(UNIFORM, Ntime=Ntime, tmax=tmax))
    lo = math.log10(tmax) - 5
    step = 5 / (Ntime - 1) if Ntime > 1 else 0.0
    expected = [10 ** (lo + step * j) for j in range(Ntime)]
    np.testing.assert_allclose(r["time"], expected, rtol=1e-13)
    assert r["loadfactor"].shape == (Ntime,)


def test_ntime_takes_precedence(capsys):
    kw = layered()
    r = silent(capsys, **dict(kw, Ntime=3, tmax=100.0))
    assert r["time"] is not kw["time"] and r["time"].shape == (3,)
    says(capsys, "You must specify tmax if you specify Ntime", **dict(kw, Ntime=3))


def test_history_messages(capsys):
    kw = without(UNIFORM, "Ntime", "tmax")
    says(capsys, "You must specify either Ntime and tmax, or time and loadfactor", **kw)
    says(capsys, "You must specify loadfactor if you specify time", **dict(kw, time=np.ones(2)))
    says(capsys, "You must specify either Ntime and tmax, or time and loadfactor",
         **dict(kw, tmax=10.0, loadfactor=np.ones(2)))


def test_history_length_mismatch(capsys):
    kw = dict(without(UNIFORM, "Ntime", "tmax"), time=np.ones(5), loadfactor=np.ones(4))
    says(capsys, "time and loadfactor must have the same length. Currently time has length = "
                 "5and loadfactor has length = 4", **kw)


def test_given_history_is_the_callers(capsys):
    time, lf = np.array([1.0, 2.0]), np.array([0.5, 1.0])
    r = silent(capsys, **dict(without(UNIFORM, "Ntime", "tmax"), time=time, loadfactor=lf))
    assert r["time"] is time and r["loadfactor"] is lf


# --- optional scalars ------------------------------------------------------------

def test_defaults_and_drainage_notice(capsys):
    r = Pelorin.get_inputs(**without(UNIFORM, "drainagetype"))
    assert capsys.readouterr().out == NOTICE
    assert r is not None
    assert (r[18], r[19], r[20], r[21]) == (9.81, 1e-8, 101.325, 0)
    assert [type(x) for x in r[18:]] == [float, float, float, int]


@pytest.mark.parametrize("given, expected", [
    ({"gammaw": 10, "tol": np.float32(0.5), "pa": True, "drainagetype": 2.9}, (10.0, 0.5, 1.0, 2)),
    ({"drainagetype": 2 ** 31 - 1}, (9.81, 1e-8, 101.325, 2 ** 31 - 1)),
    ({"drainagetype": -2 ** 31}, (9.81, 1e-8, 101.325, -2 ** 31)),
])
def test_optional_scalars_converted(capsys, given, expected):
    r = Pelorin.get_inputs(**dict(UNIFORM, **given))
    assert capsys.readouterr().out == ""
    assert tuple(r[18:]) == expected
    assert [type(x) for x in r[18:]] == [float, float, float, int]


@pytest.mark.parametrize("given, exc", [
    ({"gammaw": "9.81"}, TypeError),
    ({"tol": None}, TypeError),
    ({"pa": [1.0]}, TypeError),
    ({"drainagetype": "1"}, TypeError),
    ({"drainagetype": 2 ** 31}, OverflowError),
])
def test_optional_scalar_errors(capsys, given, exc):
    with pytest.raises(exc):
        Pelorin.get_inputs(**dict(UNIFORM, **given))
    assert capsys.readouterr().out == ""


def test_callers_keywords_untouched(capsys):
    kw = layered()
    snapshot = dict(kw)
    Pelorin.get_inputs(**kw)
    assert kw.keys() == snapshot.keys() and all(kw[k] is snapshot[k] for k in kw)


# --- Logspace ----------------------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((0, 1000, 6, 0.01), [0.01, 0.1, 1.0, 10.0, 100.0, 1000.0]),
    ((5, 105, 3, 1), [6.0, 15.0, 105.0]),
    ((2.0, 12.0, 2, 0.5), [2.5, 12.0]),
    ((0.0, 1.0, 0, 0.1), []),
])
def test_logspace_values(args, expected):
    t = Pelorin.Logspace(*args)
    assert type(t) is np.ndarray and t.dtype == np.float64 and t.ndim == 1
    np.testing.assert_allclose(t, expected, rtol=1e-13)


@pytest.mark.parametrize("tmin, tmax, Ntime, tstart", [
    (0.0, 1000.0, 6, 0.01), (1.5, 86400.0, 50, 0.001), (-3.0, 7.0, 17, 2.5),
])
def test_logspace_accumulates_the_exponent(tmin, tmax, Ntime, tstart):
    # The exponent is summed step by step, so the last time carries the
    # rounding of that sum: the result must match that recipe bit for bit.
    dlogt = math.log10((tmax - tmin) / tstart) / (Ntime - 1)
    logt, expected = math.log10(tstart), []
    for _ in range(Ntime):
        expected.append(10.0 ** logt + tmin)
        logt = logt + dlogt
    assert Pelorin.Logspace(tmin, tmax, Ntime, tstart).tolist() == expected


def test_logspace_out_of_range_arguments_follow_ieee():
    t = Pelorin.Logspace(3.0, 3.0, 4, 0.5)        # zero ratio
    assert t.tolist() == [3.5, 3.0, 3.0, 3.0]
    t = Pelorin.Logspace(10.0, 5.0, 4, 0.5)       # negative ratio
    assert t[0] == 10.5 and np.all(np.isnan(t[1:]))
    assert np.all(np.isnan(Pelorin.Logspace(0.0, 5.0, 4, -0.5)))


@pytest.mark.parametrize("args, exc, message", [
    ((0.0, 1000.0, 6, 0.0), ZeroDivisionError, "float division"),
    ((0.0, 1000.0, 1, -0.0), ZeroDivisionError, "float division"),
    ((0.0, 1000.0, 1, 0.01), ZeroDivisionError, "float division"),
    ((0.0, 1000.0, -1, 0.01), ValueError, None),   # NumPy refuses the negative length
])
def test_logspace_errors(args, exc, message):
    with pytest.raises(exc) as ei:
        Pelorin.Logspace(*args)
    if message:
        assert str(ei.value) == message
    assert [f.name for f in traceback.extract_tb(ei.tb)][-1] == "Pelorin.Logspace"
