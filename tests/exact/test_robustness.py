"""Hostile arguments: every module function, called with random mixes of
numbers, strings, None, NumPy arrays of many kinds and objects with odd
conversions, must either return or raise an ordinary Python exception.
And no call, succeeding or failing, may keep references to its arguments
or leak objects."""
import ctypes
import gc
import math
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import Pelorin

SETTINGS = settings(max_examples=120, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


# --- objects with odd conversions -----------------------------------------------

class MyInt(int):
    pass


class MyFloat(float):
    pass


class Odd:
    """Converts (or refuses to) in a chosen way."""

    def __init__(self, to_float=None, to_int=None):
        self.to_float, self.to_int = to_float, to_int

    @staticmethod
    def _give(v):
        if isinstance(v, BaseException):
            raise type(v)(*v.args)      # a fresh exception: no traceback piles up
        return v

    def __float__(self):
        return self._give(self.to_float)

    def __int__(self):
        return self._give(self.to_int)

    def __repr__(self):
        return f"Odd({self.to_float!r}, {self.to_int!r})"


class IndexOnly:
    def __index__(self):
        return 3


class BadSequence:
    """Has a length and items, but both fail."""

    size = 3

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        raise LookupError(i)


class BadSize:
    @property
    def size(self):
        raise ArithmeticError("no size")


ODD = [
    Odd(ValueError("float")), Odd("1.0"), Odd(3), Odd(MyFloat(1.5)), Odd(2.5, 2),
    Odd(to_int=OverflowError("int")), Odd(to_int=2.0), Odd(to_int="3"), Odd(to_int=MyInt(2)),
    Odd(to_int=True), Odd(to_int=2 ** 40), Odd(1.0, 3), IndexOnly(), BadSequence(), BadSize(),
    MyInt(2), MyFloat(0.5), object(), [1.0, 2.0], (1.0,), {"a": 1}, b"12345678", bytearray(8),
    "1.5", "", 1j, Ellipsis, type,
]

# Floats stay small (or beyond any int range) so that nothing that reads a
# count from them asks for a huge allocation.
floats = st.one_of(st.floats(-10, 10),
                   st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 1e300, -1e300,
                                    5e-324]))
small_ints = st.integers(-3, 8)
huge_ints = st.one_of(st.integers(2 ** 31, 2 ** 70), st.integers(-2 ** 70, -2 ** 31 - 1))

DTYPES = ["f8", ">f8", "f4", "i8", "i4", "u1", "?", "c16", "f2"]


@st.composite
def ndarrays(draw, n=None):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    if n is None:
        shape = draw(st.sampled_from([(), (0,), (1,), (3,), (5,), (2, 3), (1, 1, 2)]))
    else:
        shape = (n,)
    elements = floats if dtype.kind == "f" and dtype.itemsize == 8 else None
    a = draw(hnp.arrays(dtype, shape, elements=elements))
    how = draw(st.sampled_from(["plain", "strided", "reversed", "readonly", "transposed",
                                "unusual"]))
    if how == "unusual":
        return draw(unusual(a))
    if how == "strided":
        a = np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
    elif how == "reversed" and a.ndim:
        a = a[..., ::-1]
    elif how == "readonly":
        a.flags.writeable = False
    elif how == "transposed":
        a = a.T
    return a


junk = st.one_of(floats, small_ints, huge_ints, st.booleans(), st.none(), st.text(max_size=4),
                 ndarrays(), st.sampled_from(ODD))


@st.composite
def unusual(draw, a):
    """The same values in a buffer of a rarer kind: a ctypes array (no
    strides), a misaligned or byte-swapped array, or a zero-stride one."""
    kind = draw(st.sampled_from(["ctypes", "misaligned", "swapped", "zero-stride"]))
    if kind == "swapped":
        return a.byteswap().view(a.dtype.newbyteorder())
    if a.ndim != 1:
        return a
    if kind == "zero-stride":
        return np.lib.stride_tricks.as_strided(a[:1] if a.size else np.zeros(1, a.dtype),
                                               shape=a.shape, strides=(0,))
    if a.dtype != np.float64:
        return a
    if kind == "ctypes":
        return (ctypes.c_double * a.size)(*a)
    b = np.frombuffer(bytearray(a.nbytes + 1), np.float64, a.size, 1)
    b[:] = a
    return b


def node_arrays(n):
    plain = hnp.arrays(np.float64, n, elements=floats)
    return st.one_of(plain, plain, plain, plain.flatmap(unusual))


def plausible(kind, n):
    if kind == "d":
        return floats
    if kind == "i":
        return small_ints
    return node_arrays(n)


KINDS = {
    "Logspace": "ddid",
    "get_ktest": "dddd",
    "get_avtest": "ddddddd",
    "get_etest": "ddddddddddddd",
    "get_residual": "aaaaaaaaaaadaaaadaii",
    "get_utest2": "iaaaaaaaaaaaadaaadaaaaaaaid",
    "get_utest": "aaaaaaaaaaaaaadaiid",
}


@st.composite
def fixed_call(draw, kinds):
    n = draw(st.integers(0, 5))
    # Up to two spoiled arguments, so that many calls get through binding.
    spoiled = draw(st.sets(st.integers(0, len(kinds) - 1), max_size=2))
    args = []
    for k, kind in enumerate(kinds):
        if k in spoiled:
            args.append(draw(junk))
        elif kind == "i":
            # Node counts near the array lengths reach the cores.
            args.append(draw(st.one_of(st.just(n - 1), st.integers(-2, n + 1), small_ints)))
        else:
            args.append(draw(plausible(kind, n)))
    form = draw(st.integers(0, 19))
    if form == 0:
        args.pop(draw(st.integers(0, len(args) - 1)))
    elif form == 1:
        args.append(draw(junk))
    return args


def call_quietly(f, *args, warn="ignore", **kwargs):
    """Calls f; returns the result or the ordinary exception it raised."""
    with warnings.catch_warnings():
        warnings.simplefilter(warn)
        try:
            return f(*args, **kwargs)
        except SystemError:                 # the mark of a broken C-level contract
            raise
        except Exception as e:  # noqa: BLE001 -- any ordinary failure is acceptable
            return e


class Discard:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture(autouse=True)
def quiet_stdout(monkeypatch):
    # The run's messages go nowhere (and pile up in no capture buffer).
    monkeypatch.setattr(sys, "stdout", Discard())


@pytest.mark.parametrize("name", sorted(KINDS))
def test_fixed_functions_survive(name):
    f = getattr(Pelorin, name)

    @SETTINGS
    @given(args=fixed_call(KINDS[name]), warn=st.sampled_from(["ignore", "error"]))
    def check(args, warn):
        call_quietly(f, *args, warn=warn)

    check()


@SETTINGS
@given(v=st.booleans().flatmap(lambda j: junk if j else node_arrays(st.integers(0, 6))),
       warn=st.sampled_from(["ignore", "error"]))
def test_max_survives(v, warn):
    r = call_quietly(Pelorin.Max, v, warn=warn)
    if not isinstance(r, Exception):
        assert isinstance(r, np.float64)


UNIFORM = dict(Cc=0.3, Cr=0.03, sigvref=100.0, esigvref=1.2, Gs=2.7, kref=1e-9, ekref=1.1,
               Ck=0.5, Ca=0.0, tref=1.0, qo=50.0, dsigv=20.0, ocrvoidratiotype=0,
               ocrvoidratio=1.5, N=3, H=2.0, Ntime=3, tmax=100.0, drainagetype=0)
OPTIONAL = ["N", "H", "Ntime", "tmax", "time", "loadfactor", "depth", "ru", "gammaw", "tol",
            "pa", "drainagetype"]


def layered(n):
    kw = {k: np.full(n, float(v)) for k, v in UNIFORM.items() if k not in ("N", "H", "Ntime",
                                                                         "tmax", "qo",
                                                                         "drainagetype")}
    kw.update(qo=50.0, ocrvoidratiotype=np.zeros(n, np.int32), depth=np.linspace(0, 2, n),
              ru=np.zeros(n),
              time=np.array([1.0, 10.0, 100.0]), loadfactor=np.ones(3), drainagetype=0)
    return kw


@st.composite
def run_keywords(draw):
    """A small, mostly sensible set of run keywords with a few spoiled."""
    if draw(st.booleans()):
        kw = dict(UNIFORM, N=draw(st.integers(1, 3)), Ntime=draw(st.integers(1, 3)),
                  drainagetype=draw(st.integers(0, 2)))
    else:
        kw = layered(draw(st.integers(2, 4)))
    names = sorted(set(kw) | set(OPTIONAL))
    for name in draw(st.lists(st.sampled_from(names), max_size=3)):
        if draw(st.integers(0, 3)) == 0:
            kw.pop(name, None)
        else:
            kw[name] = draw(st.one_of(junk, small_ints, node_arrays(st.integers(0, 4))))
    # No long histories: a generated one has Ntime steps.
    if isinstance(kw.get("Ntime"), (int, np.integer)) and kw["Ntime"] > 4:
        kw["Ntime"] = 4
    return kw


@SETTINGS
@given(kw=run_keywords(), positional=st.lists(junk, max_size=2))
def test_get_inputs_survives(kw, positional):
    r = call_quietly(Pelorin.get_inputs, *positional, **kw)
    assert r is None or isinstance(r, (list, Exception))
    if isinstance(r, list):
        assert len(r) == 22


@settings(SETTINGS, max_examples=60)
@given(kw=run_keywords())
def test_compute_survives(kw):
    r = call_quietly(Pelorin.compute, **kw)
    if not isinstance(r, Exception):
        assert sorted(r) == ["e", "sigv", "u", "z"]


@settings(SETTINGS, max_examples=60)
@given(kw=run_keywords(), spoil=st.lists(st.tuples(st.integers(0, 21), junk), max_size=3))
def test_get_initial_survives(kw, spoil):
    params = call_quietly(Pelorin.get_inputs, **kw)
    if not isinstance(params, list):
        params = [np.zeros(3)] * 22
    for k, v in spoil:
        params[k] = v
    call_quietly(Pelorin.get_initial, *params)


# --- references and leaks ------------------------------------------------------

def arrays(n, *values):
    return [np.full(n, float(v)) for v in values]


def residual_args(n=4, N=3):
    return (arrays(n, 0.0, 1.0, 1.0, 0.99, 1e-9, 1e-9, 1e-3)
            + [np.linspace(0, 1, n), np.linspace(0, 1, n)] + arrays(n, 100.0, 101.0)
            + [MyFloat(9.81)] + arrays(n, 0.0, 0.3, 100.0, 1.0) + [MyFloat(1.0)]
            + arrays(n, 1.0) + [MyInt(0), MyInt(N)])


def utest_args(n=4, N=3):
    return (arrays(n, 1e-9, 1e-9, 1e-3) + [np.linspace(0, 1, n), np.linspace(0, 1, n)]
            + arrays(n, 0.0, 100.0, 101.0, 1.0, 0.99, 0.0, 0.3, 100.0, 1.0) + [MyFloat(1.0)]
            + arrays(n, 1.0) + [MyInt(0), MyInt(N), MyFloat(9.81)])


def utest2_args(n=4, N=3):
    return ([MyInt(N)] + arrays(n, 1e-9, 1e-9) + [np.linspace(0, 1, n), np.linspace(0, 1, n)]
            + arrays(n, 1e-3, 1.0, 0.99, 0.0, 1.0, 100.0, 101.0, 1e-6) + [MyFloat(1.0)]
            + arrays(n, 0.3, 0.03, 0.0) + [MyFloat(9.81)]
            + arrays(n, 1.1, 1e-9, 0.5, 1.0, 1.2, 100.0, 20.0) + [MyInt(0), MyFloat(101.325)])


def replaced(args, k, value):
    args = list(args)
    args[k] = value
    return args


def run_kwargs(**changes):
    return dict(UNIFORM, qo=MyFloat(50.0), H=MyFloat(2.0), **changes)


# Each function: succeeding calls and failing ones (binding, late
# conversion, failure inside the body).
CALLS = {
    "Logspace": [
        ((MyFloat(0.0), MyFloat(100.0), MyInt(5), MyFloat(0.1)), {}),
        ((MyFloat(0.0), MyFloat(100.0), MyInt(5)), {}),
        ((MyFloat(0.0), MyFloat(100.0), MyInt(1), MyFloat(0.1)), {}),
        ((MyFloat(0.0), MyFloat(100.0)), {"Ntime": MyInt(5), "tstart": "x"}),
        ((MyFloat(0.0),), {"tmax": MyFloat(1.0), "Ntime": MyInt(5), "tstart": MyFloat(1.0),
                           "zz": MyFloat(1.0)}),
    ],
    "get_ktest": [
        ((MyFloat(1.0), MyFloat(0.8), MyFloat(1e-9), MyFloat(0.5)), {}),
        ((MyFloat(1.0), MyFloat(0.8), MyFloat(1e-9), MyFloat(0.0)), {}),
        ((MyFloat(1.0), MyFloat(0.8), MyFloat(1e-9)), {"Ck": Odd(ValueError("no"))}),
        ((MyFloat(1.0), MyFloat(0.8), MyFloat(1e-9), MyFloat(0.5)), {"Ck": MyFloat(1.0)}),
    ],
    "get_avtest": [
        ((MyFloat(1.0), MyFloat(100.0), MyFloat(150.0), MyFloat(1.0), MyFloat(100.0),
          MyFloat(0.3), MyFloat(0.03)), {}),
        ((MyFloat(1.0), MyFloat(100.0), MyFloat(150.0), MyFloat(1.0), MyFloat(100.0),
          MyFloat(0.3), MyFloat(0.3)), {}),
        ((MyFloat(1.0), MyFloat(100.0)), {}),
    ],
    "get_etest": [
        (tuple(MyFloat(v) for v in (1.0, 1.0, 1.0, 0.004, 1.0, 110.0, 100.0, 100.0, 0.3, 1e-3,
                                    0.0, 10.0, 1.0)), {}),
        (tuple(MyFloat(v) for v in (1.0, 1.0, 1.0, 0.0, 1.0, 110.0, 100.0, 100.0, 0.3, 1e-3,
                                    0.0, 10.0, 1.0)), {}),
        (tuple(MyFloat(1.0) for _ in range(12)) + (None,), {}),
    ],
    "get_residual": [
        (residual_args(), {}),
        (residual_args(N=9), {}),
        (replaced(residual_args(), 17, np.ones(4, np.float32)), {}),
        (replaced(residual_args(), 19, Odd(to_int=2.0)), {}),
    ],
    "get_utest": [
        (utest_args(), {}),
        (utest_args(N=9), {}),
        (replaced(utest_args(), 15, np.ones((4, 1))), {}),
    ],
    "get_utest2": [
        (utest2_args(), {}),
        (utest2_args(N=9), {}),
        (replaced(utest2_args(), 24, np.ones(4, ">f8")), {}),
    ],
    "Max": [
        ((np.array([1.0, -3.0, 2.0]),), {}),
        ((np.array([1.0, -3.0, 2.0])[::2],), {}),
        ((np.arange(3),), {}),
        ((np.zeros(0),), {}),
    ],
    "get_inputs": [
        ((), run_kwargs()),
        ((MyFloat(1.0),), run_kwargs(drainagetype=MyInt(1))),
        ((), layered(4)),
        ((), run_kwargs(N="x")),
        ((), {k: v for k, v in layered(4).items() if k != "depth"}),
        ((), {k: v for k, v in layered(4).items() if k != "ru"}),
        ((), dict(layered(4), Cr=np.ones(3))),
        ((), dict(layered(4), Gs=np.ones(4, np.float32))),
    ],
    "get_initial": [
        (None, run_kwargs()),               # the parameter set of a run
        (None, dict(layered(4), ru=np.zeros(4))),
        ((np.zeros(3),) * 22, {}),
        ((np.zeros(3),) * 21, {}),
    ],
    "compute": [
        ((), run_kwargs()),
        ((), dict(layered(3), ru=np.zeros(3))),
        ((), run_kwargs(Ntime=None)),
        ((), {k: v for k, v in run_kwargs().items() if k != "tmax"}),
        ((), run_kwargs(gammaw=MyFloat(0.0))),
    ],
}


def expand(name, args, kwargs):
    if name == "get_initial" and args is None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return tuple(Pelorin.get_inputs(**kwargs)), {}
    return tuple(args), kwargs


def watched(args, kwargs):
    """Every argument object whose count must not move, with a label."""
    objs = [(f"arg {i}", a) for i, a in enumerate(args)]
    objs += [(f"kw {k}", v) for k, v in kwargs.items()]
    return [(label, o) for label, o in objs
            if not isinstance(o, (bool, str, type(None))) and not (type(o) is int)]


@pytest.mark.parametrize("name", sorted(CALLS))
def test_calls_keep_no_references(name):
    f = getattr(Pelorin, name)
    for args, kwargs in CALLS[name]:
        args, kwargs = expand(name, args, kwargs)
        objs = watched(args, kwargs)
        call_quietly(f, *args, **kwargs)           # warm caches
        before = [sys.getrefcount(o) for _, o in objs]
        for _ in range(50):
            call_quietly(f, *args, **kwargs)
        after = [sys.getrefcount(o) for _, o in objs]
        moved = [(label, b, a) for (label, _), b, a in zip(objs, before, after) if a != b]
        assert moved == [], (name, moved)


@pytest.mark.parametrize("name", sorted(CALLS))
def test_calls_leak_no_objects(name):
    f = getattr(Pelorin, name)
    prepared = [expand(name, a, k) for a, k in CALLS[name]]

    def round_():
        for args, kwargs in prepared:
            r = call_quietly(f, *args, **kwargs)
            del r

    for _ in range(20):
        round_()
    # Caches may grow once; a leak grows in every window.  One object kept
    # per call would leave at least 100 blocks behind in each.
    growth = []
    for _ in range(3):
        gc.collect()
        start = sys.getallocatedblocks()
        for _ in range(100):
            round_()
        gc.collect()
        growth.append(sys.getallocatedblocks() - start)
    assert min(growth) < 50, (name, growth)
