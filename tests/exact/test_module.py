"""The module as Python sees it: import and initialisation, namespace,
argument binding, the double / int / node-array conversions with their
messages, and how failures are raised and traced."""
import builtins
import ctypes
import decimal
import fractions
import importlib
import json
import os
import subprocess
import sys
import textwrap
import traceback
import types
import warnings

import numpy as np
import pytest

import Pelorin

FUNCTIONS = ["get_inputs", "Logspace", "get_ktest", "get_avtest", "get_etest", "get_residual",
             "get_utest2", "get_utest", "Max", "get_initial", "compute"]

# Parameter lists of the fixed-form functions, in binding order.
PARAMS = {
    "Logspace": ["tmin", "tmax", "Ntime", "tstart"],
    "get_ktest": ["etest", "ekref", "kref", "Ck"],
    "get_avtest": ["elast", "sigvlast", "sigvtest", "eref", "sigvref", "Cc", "Cr"],
    "get_etest": ["etest", "elast", "eref", "alpha", "tref", "sigvtest", "sigvlast", "sigvref",
                  "Cc", "avtest", "utest", "ulast", "dt"],
    "get_residual": ["ulast", "utest", "elast", "etest", "klast", "ktest", "avtest", "zlast",
                     "ztest", "sigvlast", "sigvtest", "gammaw", "Ca", "Cc", "sigvref",
                     "esigvref", "dt", "tref", "drainagetype", "N"],
    "get_utest2": ["N", "klast", "ktest", "zlast", "ztest", "avtest", "elast", "etest", "ulast",
                   "utest", "sigvlast", "sigvtest", "Res", "dt", "Cc", "Cr", "Ca", "gammaw",
                   "ekref", "kref", "Ck", "tref", "esigvref", "sigvref", "dsigv",
                   "drainagetype", "pa"],
    "get_utest": ["klast", "ktest", "avtest", "zlast", "ztest", "ulast", "sigvlast", "sigvtest",
                  "elast", "etest", "Ca", "Cc", "sigvref", "esigvref", "dt", "tref",
                  "drainagetype", "N", "gammaw"],
    "get_initial": ["depth", "Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck",
                    "Ca", "tref", "qo", "dsigv", "ocrvoidratiotype", "ocrvoidratio", "ru",
                    "time", "loadfactor", "gammaw", "tol", "pa", "drainagetype"],
}

KTEST = (1.0, 0.8, 1e-9, 0.5)  # etest, ekref, kref, Ck: an ordinary permeability


def entries(excinfo):
    return [f.name for f in traceback.extract_tb(excinfo.tb)]


def assert_traced(excinfo, name, innermost=True):
    """Exactly one entry for the failing function; it is the innermost one
    unless the failure came from Python code that the function called."""
    names = entries(excinfo)
    assert names.count("Pelorin." + name) == 1, names
    if innermost:
        assert names[-1] == "Pelorin." + name, names


def count_message(name, given):
    return f"{name}() takes exactly {len(PARAMS[name])} positional arguments ({given} given)"


def residual_args(n=4, N=None):
    """A well-formed get_residual argument list for n nodes."""
    arr = lambda v: np.full(n, v)
    args = [arr(0.0), arr(1.0), arr(1.0), arr(0.99), arr(1e-9), arr(1e-9), arr(1e-3),
            np.linspace(0, 1, n), np.linspace(0, 1, n), arr(100.0), arr(101.0), 9.81,
            arr(0.0), arr(0.3), arr(100.0), arr(1.0), 1.0, arr(1.0), 0,
            n - 1 if N is None else N]
    assert len(args) == len(PARAMS["get_residual"])
    return args


# --- import, initialisation and namespace ------------------------------------

def test_namespace_in_order():
    own = [k for k in vars(Pelorin) if not k.startswith("__") or k == "__test__"]
    assert own == ["np"] + FUNCTIONS + ["__test__"]
    assert Pelorin.np is np
    assert Pelorin.__test__ == {} and type(Pelorin.__test__) is dict
    assert Pelorin.__builtins__ is builtins
    assert Pelorin.__doc__ is None


def test_spec_attributes():
    spec = Pelorin.__spec__
    assert Pelorin.__name__ == "Pelorin"
    assert Pelorin.__file__ == spec.origin
    assert type(Pelorin.__loader__) is type(spec.loader)
    assert (Pelorin.__loader__.name, Pelorin.__loader__.path) == ("Pelorin", spec.origin)
    assert Pelorin.__package__ == spec.parent == ""
    assert not hasattr(Pelorin, "__path__")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    f = getattr(Pelorin, name)
    assert callable(f)
    assert f.__name__ == name
    assert f.__module__ == "Pelorin"
    assert f.__doc__ is None


@pytest.fixture
def namespace():
    """Puts the module namespace back exactly, insertion order included."""
    d = vars(Pelorin)
    saved = dict(d)
    yield d
    d.clear()
    d.update(saved)


def test_second_import_is_the_same_module_not_executed_again(monkeypatch, namespace):
    marker = object()
    namespace["get_ktest"] = marker
    test_dict = Pelorin.__test__
    assert importlib.import_module("Pelorin") is Pelorin
    # Dropped from the registry, the import machinery creates and executes
    # again: the same object comes back untouched.
    monkeypatch.delitem(sys.modules, "Pelorin")
    again = importlib.import_module("Pelorin")
    assert again is Pelorin
    assert Pelorin.get_ktest is marker
    assert Pelorin.__test__ is test_dict
    assert sys.modules["Pelorin"] is Pelorin


def run_child(code):
    """Runs code in a fresh interpreter that finds the module under test."""
    where = os.path.dirname(Pelorin.__file__)
    prelude = f"import sys\nsys.path.insert(0, {where!r})\n"
    proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_failed_initialisation_is_traced_and_can_be_retried():
    res = run_child("""
        import json, traceback, warnings
        warnings.simplefilter("error")       # a clean import warns nothing
        sys.modules["numpy"] = None          # NumPy cannot be imported
        out = {}
        try:
            import Pelorin
        except ImportError as e:
            out["msg"] = str(e)
            out["entries"] = [f.name for f in traceback.extract_tb(e.__traceback__)]
        out["registered"] = "Pelorin" in sys.modules
        del sys.modules["numpy"]
        import Pelorin, numpy
        out["np"] = Pelorin.np is numpy
        out["names"] = [k for k in vars(Pelorin) if not k.startswith("__")]
        out["t"] = list(Pelorin.Logspace(5, 105, 3, 1))
        print(json.dumps(out))
        """)
    assert "numpy" in res["msg"]
    assert "init Pelorin" in res["entries"]
    assert res["registered"] is False
    assert res["np"] is True
    assert res["names"] == ["np"] + FUNCTIONS
    assert res["t"] == pytest.approx([6.0, 15.0, 105.0])


def test_import_in_a_second_interpreter_is_refused(tmp_path):
    si = pytest.importorskip("_xxsubinterpreters")
    out = tmp_path / "result.json"
    where = os.path.dirname(Pelorin.__file__)
    # NumPy is blocked inside the sub-interpreter: NumPy's own refusal of
    # sub-interpreters carries the same sentence, so a refusal that still
    # appears must come from the module's creation, before it imports NumPy.
    code = textwrap.dedent(f"""
        import sys, json, traceback
        sys.path.insert(0, {where!r})
        sys.modules["numpy"] = None
        res = {{}}
        try:
            import Pelorin
        except BaseException as e:
            res = {{"type": type(e).__name__, "msg": str(e)}}
        with open({str(out)!r}, "w") as fh:
            json.dump(res, fh)
        """)
    interp = si.create()
    try:
        si.run_string(interp, code)
    finally:
        si.destroy(interp)
    res = json.loads(out.read_text())
    assert res == {"type": "ImportError",
                   "msg": "Interpreter change detected - this module can only be loaded into "
                          "one interpreter per process."}
    # The first interpreter is unaffected.
    assert list(Pelorin.Logspace(5, 105, 3, 1)) == pytest.approx([6.0, 15.0, 105.0])


# --- binding of fixed-form calls -------------------------------------------

@pytest.mark.parametrize("name", sorted(PARAMS))
@pytest.mark.parametrize("delta", [-1, +1])
def test_wrong_positional_count(name, delta):
    given = len(PARAMS[name]) + delta
    with pytest.raises(TypeError) as ei:
        getattr(Pelorin, name)(*([1.0] * given))
    assert str(ei.value) == count_message(name, given)
    assert_traced(ei, name)


@pytest.mark.parametrize("args, kwargs, given", [
    ((), {}, 0),
    ((1.0, 2.0, 3.0), {}, 3),
    ((1.0, 2.0, 3.0, 4.0, 5.0), {}, 5),
    ((1.0,), {"ekref": 2.0, "Ck": 3.0}, 2),           # first missing: kref at position 2
    ((), {"etest": 1.0, "bogus": 2.0}, 1),             # missing ekref beats the stray keyword
    ((), {"Ck": 1.0}, 0),
    ((1.0, 2.0, 3.0, 4.0, 5.0), {"Ck": 1.0}, 5),       # too many positional with keywords
])
def test_count_error_fills(args, kwargs, given):
    with pytest.raises(TypeError) as ei:
        Pelorin.get_ktest(*args, **kwargs)
    assert str(ei.value) == count_message("get_ktest", given)


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_first_missing_keyword_reports_its_position(name):
    params = PARAMS[name]
    k = len(params) // 2
    kwargs = {p: 1.0 for p in params[k + 1:]}
    with pytest.raises(TypeError) as ei:
        getattr(Pelorin, name)(*([1.0] * (k - 1)), **{params[k - 1]: 1.0}, **kwargs)
    assert str(ei.value) == count_message(name, k)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1.0, 2.0, 3.0, 4.0), {"Ck": 5.0}, "get_ktest() got multiple values for keyword argument 'Ck'"),
    ((1.0, 2.0, 3.0), {"Ck": 5.0, "etest": 1.0},
     "get_ktest() got multiple values for keyword argument 'etest'"),
    ((), {"etest": 1.0, "ekref": 2.0, "kref": 3.0, "Ck": 4.0, "ck": 5.0},
     "get_ktest() got an unexpected keyword argument 'ck'"),
    # Examined in the keyword order: the first offending key is reported.
    ((1.0, 2.0, 3.0, 4.0), {"zz": 1.0, "Ck": 5.0},
     "get_ktest() got an unexpected keyword argument 'zz'"),
    ((1.0, 2.0, 3.0, 4.0), {"Ck": 5.0, "zz": 1.0},
     "get_ktest() got multiple values for keyword argument 'Ck'"),
])
def test_keyword_errors(args, kwargs, message):
    with pytest.raises(TypeError) as ei:
        Pelorin.get_ktest(*args, **kwargs)
    assert str(ei.value) == message
    assert_traced(ei, "get_ktest")


class Str(str):
    pass


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_every_parameter_binds_by_keyword(name):
    # Objects that no parameter kind converts: positional and keyword calls
    # must get past binding and fail identically in the same conversion.
    f = getattr(Pelorin, name)
    args = [object()] * len(PARAMS[name])
    outcomes = []
    for call in (lambda: f(*args), lambda: f(**dict(reversed(list(zip(PARAMS[name], args)))))):
        with pytest.raises(Exception) as ei:
            call()
        outcomes.append((type(ei.value), str(ei.value)))
    assert outcomes[0] == outcomes[1]
    assert "positional argument" not in outcomes[0][1]


@pytest.mark.parametrize("split", [0, 3, 6])
def test_keywords_in_any_order_equal_positional(split):
    args = (1.0, 100.0, 150.0, 1.0, 100.0, 0.3, 0.03)
    kwargs = {Str(p) if i % 2 else p: v
              for i, (p, v) in enumerate(zip(PARAMS["get_avtest"], args))}
    kwargs = dict(reversed(list(kwargs.items())[split:]))
    assert Pelorin.get_avtest(*args[:split], **kwargs) == Pelorin.get_avtest(*args)


def test_binding_errors_come_before_conversion():
    with pytest.raises(TypeError) as ei:
        Pelorin.get_ktest("a", "b", "c")
    assert str(ei.value) == count_message("get_ktest", 3)


@pytest.mark.parametrize("name", ["get_inputs", "compute"])
def test_collecting_functions_refuse_non_string_keywords(name):
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    kwargs = {1: 2.0, "Cc": 0.3}
    with pytest.raises(TypeError) as ei:
        call(getattr(Pelorin, name), (), kwargs)
    assert str(ei.value) == f"{name}() keywords must be strings"
    assert_traced(ei, name)
    assert kwargs == {1: 2.0, "Cc": 0.3}


@pytest.mark.parametrize("call, message", [
    (lambda: Pelorin.Max(v=np.ones(2)), "Pelorin.Max() takes no keyword arguments"),
    (lambda: Pelorin.Max(), "Pelorin.Max() takes exactly one argument (0 given)"),
    (lambda: Pelorin.Max(np.ones(2), np.ones(2)), "Pelorin.Max() takes exactly one argument (2 given)"),
])
def test_max_takes_one_positional_argument(call, message):
    with pytest.raises(TypeError) as ei:
        call()
    assert str(ei.value) == message
    assert "Pelorin.Max" not in entries(ei)  # refused before the module is entered


# --- double conversion ------------------------------------------------------

class Floaty:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


class Indexy:
    def __index__(self):
        return 2


class MyFloat(float):
    pass


@pytest.mark.parametrize("value, as_float", [
    (3, 3.0), (True, 1.0), (np.float64(0.5), 0.5), (np.float32(0.25), 0.25), (np.int64(3), 3.0),
    (fractions.Fraction(1, 4), 0.25), (decimal.Decimal("0.75"), 0.75), (Floaty(2.5), 2.5),
    (MyFloat(1.5), 1.5), (2 ** 53 + 1, float(2 ** 53 + 1)),
])
def test_double_conversion_accepts(value, as_float):
    expected = Pelorin.get_ktest(as_float, *KTEST[1:])
    assert Pelorin.get_ktest(value, *KTEST[1:]) == expected
    assert Pelorin.Logspace(0.0, 1000.0, 3, value) == pytest.approx(
        Pelorin.Logspace(0.0, 1000.0, 3, as_float), nan_ok=True)


@pytest.mark.parametrize("value, exc, message", [
    ("1.0", TypeError, "must be real number, not str"),
    (None, TypeError, "must be real number, not NoneType"),
    ([1.0], TypeError, "must be real number, not list"),
    (Indexy(), TypeError, "must be real number, not Indexy"),   # __index__ alone is not enough
    (1j, TypeError, None),
    (2 ** 1024, OverflowError, None),
    (Floaty(ValueError("bad float")), ValueError, "bad float"),
    (Floaty(3), TypeError, "Floaty.__float__ returned non-float (type int)"),
    (Floaty("x"), TypeError, "Floaty.__float__ returned non-float (type str)"),
])
def test_double_conversion_errors(value, exc, message):
    with pytest.raises(exc) as ei:
        Pelorin.get_ktest(*KTEST[:3], value)
    if message is not None:
        assert str(ei.value) == message
    assert_traced(ei, "get_ktest", innermost=not isinstance(value, Floaty))


def test_double_from_float_subclass_returned_by_float_warns():
    with pytest.warns(DeprecationWarning, match="returned non-float"):
        got = Pelorin.get_ktest(Floaty(MyFloat(1.0)), *KTEST[1:])
    assert got == Pelorin.get_ktest(*KTEST)


# --- int conversion -----------------------------------------------------------

class Inty:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise type(self.result)(*self.result.args)
        return self.result


class MyInt(int):
    pass


def grid_length(Ntime):
    return len(Pelorin.Logspace(0.0, 1000.0, Ntime, 0.01))


@pytest.mark.parametrize("value, expected", [
    (6, 6), (2.7, 2), (-0.9, 0), (np.int64(5), 5), (np.float64(3.99), 3), (MyInt(4), 4),
    (fractions.Fraction(7, 2), 3), (decimal.Decimal("4.5"), 4), (Inty(4), 4),
])
def test_int_conversion_accepts(value, expected):
    assert grid_length(value) == expected


@pytest.mark.parametrize("value, exc, message", [
    ("2", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (Indexy(), TypeError, "an integer is required"),
    (Inty(2.0), TypeError, "__int__ returned non-int (type float)"),
    (Inty("3"), TypeError, "__int__ returned non-int (type str)"),
    (Inty(KeyError("own")), KeyError, "'own'"),
    (2 ** 31, OverflowError, None),
    (-2 ** 31 - 1, OverflowError, None),
    (Inty(2 ** 40), OverflowError, None),
    (float("nan"), ValueError, None),
    (float("inf"), OverflowError, None),
])
def test_int_conversion_errors(value, exc, message):
    with pytest.raises(exc) as ei:
        Pelorin.Logspace(0.0, 1000.0, value, 0.01)
    if message is not None:
        assert str(ei.value) == message
    assert_traced(ei, "Logspace", innermost=not isinstance(value, Inty))


def test_int_from_int_subclass_returned_by_int_warns():
    with pytest.warns(DeprecationWarning) as record:
        assert grid_length(Inty(MyInt(5))) == 5
    assert str(record[0].message) == (
        "__int__ returned non-int (type MyInt).  The ability to return an instance of a strict "
        "subclass of int is deprecated, and may be removed in a future version of Python.")
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            grid_length(Inty(MyInt(5)))


# --- node arrays ----------------------------------------------------------------

def readonly(a):
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("value, exc, message", [
    (np.arange(3), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long long'"),
    (np.ones(3, np.float32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (np.ones(3, np.int32), ValueError, "Buffer dtype mismatch, expected 'double' but got 'int'"),
    (np.ones(3, np.uint8), ValueError, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (np.ones(3, complex), ValueError, None),
    (np.ones(3, bool), ValueError, None),
    (np.ones((2, 3)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.ones((2, 3), np.int64), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (np.array(1.0), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (np.ones((1, 1, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 3)"),
    (np.ones(3, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (readonly(np.ones(3)), ValueError, "buffer source array is read-only"),   # NumPy's own
    (bytes(16), BufferError, None),
    (bytearray(16), ValueError, "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    ([1.0, 2.0], TypeError, None),
    (2.0, TypeError, None),
    ("ab", TypeError, None),
])
def test_node_array_rejects(value, exc, message):
    with pytest.raises(exc) as ei:
        Pelorin.Max(value)
    if message is not None:
        assert str(ei.value) == message
    assert_traced(ei, "Max")


@pytest.mark.parametrize("make", [
    lambda a: a,
    lambda a: a[::2],                       # every second element, not copied
    lambda a: a[::-1],
    lambda a: memoryview(a),
    lambda a: np.asfortranarray(a.reshape(2, 3))[:, 1],
    lambda a: a.astype("<f8"),
])
def test_node_array_accepts_strided_buffers(make):
    a = np.array([1.0, -7.0, 3.0, 2.0, -5.0, 4.0])
    v = make(a)
    assert Pelorin.Max(v) == np.max(np.abs(np.asarray(v)))


def test_none_binds_as_empty_array():
    # None passes binding; the empty array then fails in Max's own reduction.
    with pytest.raises(ValueError, match="zero-size array"):
        Pelorin.Max(None)


def test_conversions_run_in_parameter_order():
    args = residual_args()
    args[3] = np.arange(4)                  # etest: wrong element type
    args[11] = "x"                          # gammaw: not a number
    args[18] = "y"                          # drainagetype: not an int
    with pytest.raises(ValueError, match="long long"):
        Pelorin.get_residual(*args)
    args[3] = np.ones(4)
    with pytest.raises(TypeError, match="real number, not str"):
        Pelorin.get_residual(*args)
    args[11] = 9.81
    with pytest.raises(TypeError, match="an integer is required"):
        Pelorin.get_residual(*args)


@pytest.mark.parametrize("spoil", ["none", "late", "core"])
def test_buffers_are_released_on_every_exit(spoil):
    args = residual_args()
    if spoil == "late":
        args[17] = np.ones(4, np.float32)   # tref fails after sixteen arrays were viewed
    elif spoil == "core":
        args[19] = 40                       # N far beyond the arrays: the body fails
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(3):
        try:
            Pelorin.get_residual(*args)
        except (ValueError, IndexError):
            assert spoil != "none"
    assert [sys.getrefcount(a) for a in arrays] == before


# --- element bounds, division and name lookup ------------------------------------

@pytest.mark.parametrize("n, N, empty", [(3, 10, None), (1, 2, np.zeros(0)), (1, 2, None)])
def test_access_beyond_the_array_raises_index_error(n, N, empty):
    args = residual_args(n, N)
    if n == 1:   # every node array empty (None binds as an empty array)
        args = [empty if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(IndexError) as ei:
        Pelorin.get_residual(*args)
    assert str(ei.value) == "Out of bounds on buffer access (axis 0)"
    assert_traced(ei, "get_residual")


@pytest.mark.parametrize("name, args", [
    ("get_ktest", (1.0, 0.8, 1e-9, 0.0)),
    ("get_ktest", (1.0, 0.8, 1e-9, -0.0)),
    ("Logspace", (0.0, 1000.0, 6, 0.0)),
    ("Logspace", (0.0, 1000.0, 1, 0.0)),
    ("Logspace", (0.0, 1000.0, 1, 0.01)),
])
def test_zero_divisor_raises(name, args):
    with pytest.raises(ZeroDivisionError) as ei:
        getattr(Pelorin, name)(*args)
    assert str(ei.value) == "float division"
    assert_traced(ei, name)


def test_nan_divisor_divides():
    assert np.isnan(Pelorin.get_ktest(1.0, 0.8, 1e-9, float("nan")))


def test_np_is_looked_up_at_each_use(namespace):
    made = []

    def zeros(n):
        made.append(n)
        return np.zeros(n)

    namespace["np"] = types.SimpleNamespace(zeros=zeros)
    assert len(Pelorin.Logspace(0.0, 1.0, 3, 0.1)) == 3
    assert made == [3]
    namespace["np"] = types.SimpleNamespace(zeros=lambda n: np.zeros(n, np.float32))
    with pytest.raises(ValueError, match="'float'"):
        Pelorin.Logspace(0.0, 1.0, 3, 0.1)


def test_np_falls_back_on_builtins_then_name_error(monkeypatch, namespace):
    del namespace["np"]
    with pytest.raises(NameError) as ei:
        Pelorin.Logspace(0.0, 1.0, 3, 0.1)
    assert str(ei.value) == "name 'np' is not defined"
    assert_traced(ei, "Logspace")
    monkeypatch.setattr(builtins, "np", np, raising=False)
    assert len(Pelorin.Logspace(0.0, 1.0, 3, 0.1)) == 3
