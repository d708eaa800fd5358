"""get_initial as Python sees it: arguments read through Python indexing, the
result dict, the printed reports of a bad stress history or a fixed point that
is not reached, and the interpreter's own errors."""
import fractions
import math
import traceback
import types

import numpy as np
import pytest

import Pelorin

KEYS = ["eo", "sigvo", "sigvo2", "sigvf"]
PA = 101.325
GAMMAW = 9.81


def layered(n=6):
    """A layered column with every kind of stress history: node values vary,
    so a swapped or misread argument shows in the result."""
    j = np.arange(n, dtype=float)
    return dict(
        depth=np.cumsum(np.r_[0.0, 0.5 + 0.1 * j[1:]]),
        Cc=0.4 + 0.03 * j, Cr=0.04 + 0.002 * j, sigvref=100.0 + 5 * j, esigvref=1.2 + 0.05 * j,
        Gs=2.6 + 0.02 * j,
        kref=object(), ekref="not read", Ck=None, Ca=1j, tref=[],   # never read
        qo=12.0, dsigv=30.0 + 2 * j,
        ocrvoidratiotype=np.array([0, 2, 1, 0, 2, 0][:n], dtype=np.int32),
        ocrvoidratio=np.array([1.0, 80.0, 1.6, 2.5, 150.0, 1.0][:n]),
        ru=0.1 + 0.05 * j, time=None, loadfactor=[0.4, 1.0, 9.0], gammaw=GAMMAW,
        tol=object(), pa=PA, drainagetype="any")


def call(args):
    return Pelorin.get_initial(**args)


def formatted(excinfo):
    return "".join(traceback.format_exception(excinfo.value))


def void_ratio(args, i, s):
    """Void ratio of node i at stress s by its stress history (codes 0 and 2)."""
    code, v = args["ocrvoidratiotype"][i], args["ocrvoidratio"][i]
    er, Cc, Cr, sr = (args[k][i] for k in ("esigvref", "Cc", "Cr", "sigvref"))
    if code == 0:
        return er - Cc * math.log10(v * s / sr) + Cr * math.log10(v)
    return er - Cc * math.log10(v / sr) + Cr * math.log10(v / s)


def test_result_is_a_consistent_initial_state(capsys):
    args = layered()
    before = {k: np.array(v) for k, v in args.items() if isinstance(v, np.ndarray)}
    out = call(args)
    assert list(out) == KEYS
    n = args["depth"].size
    for k in KEYS:
        a = np.asarray(out[k])
        assert a.dtype == np.float64 and a.shape == (n,)
        assert not any(np.shares_memory(a, v) for v in before.values())
    eo, s, s2, sf = (np.asarray(out[k]) for k in KEYS)
    assert s[0] == args["qo"]
    for i in range(n):
        if args["ocrvoidratiotype"][i] == 1:
            assert eo[i] == args["ocrvoidratio"][i]
        else:
            assert eo[i] == pytest.approx(void_ratio(args, i, s[i]), abs=1e-12)
        if i:
            # each element carries its submerged weight at the mean void ratio
            weight = ((args["Gs"][i] - 1) * GAMMAW * (args["depth"][i] - args["depth"][i - 1])
                      / (1 + 0.5 * (eo[i] + eo[i - 1])))
            assert abs(s[i] - s[i - 1] - weight) <= 2e-10 * PA
    np.testing.assert_allclose(s2, s * (1 - args["ru"]), rtol=1e-15)
    np.testing.assert_allclose(sf, s + args["dsigv"] * 0.4, rtol=1e-15)   # loadfactor[0] only
    for k, v in before.items():
        np.testing.assert_array_equal(args[k], v)
    assert capsys.readouterr().out == ""


class Seq:
    """Indexing only: no length, no buffer, no iteration."""

    def __init__(self, values, size=None):
        self._v = list(values)
        if size is not None:
            self.size = size

    def __getitem__(self, i):
        return self._v[i]


@pytest.mark.parametrize("form", ["list", "tuple", "fractions", "indexing only"])
def test_arguments_are_read_through_indexing(form):
    base = layered()
    ref = {k: np.asarray(v).copy() for k, v in call(base).items()}
    args = dict(base)
    for k, v in base.items():
        if not isinstance(v, np.ndarray):
            continue
        vals = v.tolist()
        if form == "tuple":
            vals = tuple(vals)
        elif form == "fractions":
            vals = [fractions.Fraction(x) if isinstance(x, float) else x for x in vals]
        elif form == "indexing only":
            vals = Seq(vals, size=v.size if k == "depth" else None)
        if k == "depth" and form != "indexing only":
            continue   # depth also has to tell its size
        args[k] = vals
    args["qo"] = fractions.Fraction(12)
    args["loadfactor"] = np.array([0.4])
    out = call(args)
    for k in KEYS:
        np.testing.assert_array_equal(out[k], ref[k])


@pytest.mark.parametrize("depth, exc", [
    ([0.0, 1.0, 2.0], AttributeError),
    (Seq([0.0, 1.0, 2.0]), AttributeError),
    (Seq([0.0, 1.0, 2.0], size="3"), TypeError),
])
def test_depth_must_tell_its_size(depth, exc):
    args = layered(3)
    args["depth"] = depth
    with pytest.raises(exc) as ei:
        call(args)
    assert "Pelorin.get_initial" in formatted(ei)


def test_single_node_reads_nothing_below_the_top():
    args = layered(1)
    for k in ("Gs", "depth"):
        args[k] = Seq([args[k][0]], size=1) if k == "depth" else []
    out = call(args)
    assert [len(out[k]) for k in KEYS] == [1] * 4
    assert out["sigvo"][0] == 12.0
    assert out["eo"][0] == pytest.approx(1.2 - 0.4 * math.log10(12.0 / 100.0))


@pytest.mark.parametrize("codes, shown", [
    ([3, 1, 1], "3"),
    ([1, 0, 5, 1], "5"),
    ([1, 1, 3.0], "3.0"),
    ([1, 2.5], "2.5"),
    (np.array([1, 2, -4], np.int32), "-4"),
    ([0, float("nan")], "nan"),
    ([1, fractions.Fraction(7, 2)], "7/2"),        # as str shows it, not repr
])
def test_invalid_code_prints_one_line_and_returns_none(capsys, codes, shown):
    n = len(codes)
    args = layered(n)
    args["ocrvoidratiotype"] = codes
    args["ocrvoidratio"] = [1.0] * n
    assert call(args) is None
    assert capsys.readouterr().out == f"Invalid ocrvoidratiotype: {shown}\n"


def repelling():
    # A compression index far beyond any soil's: the fixed point repels.
    args = layered(2)
    args.update(qo=173.68417988580237, Gs=[2.7, 1.1449744329693017],
                Cc=[0.5, 215.08202012534156], Cr=[0.05, 0.0], esigvref=[1.0, 46.24978437257671],
                sigvref=[100.0, 100.0], ocrvoidratiotype=[1, 0], ocrvoidratio=[1.0, 1.0],
                depth=np.array([0.0, 1.0]))
    return args


def unreachable_bound(node):
    # A negative pa makes the bound unreachable at the first node that iterates.
    args = layered()
    codes = [1] * 6
    codes[node] = 0
    args.update(ocrvoidratiotype=codes, ocrvoidratio=[1.0] * 6, pa=-PA)
    return args


@pytest.mark.parametrize("args, node", [
    (unreachable_bound(1), 1), (unreachable_bound(4), 4), (repelling(), 1),
])
def test_fixed_point_guard_reports_the_node(capsys, args, node):
    assert call(args) is None
    assert capsys.readouterr().out == f"Initial stress did not converge at node {node}\n"


@pytest.mark.parametrize("change", [
    dict(sigvref=[100.0, 100.0, 0.0, 100.0]),                           # code 0 at node 2
    dict(ocrvoidratiotype=[2, 1, 2, 1], sigvref=[100.0, 1.0, 0.0, 1.0]),  # code 2 at node 2
    dict(ocrvoidratiotype=[2, 1, 1, 1], qo=0.0),                        # code 2 at the top
    dict(ocrvoidratiotype=[1, 1, 1, 1], ocrvoidratio=[-1.0, 1.0, 1.0, 1.0]),   # first trial
    dict(ocrvoidratiotype=[1, 1, 1, 1], ocrvoidratio=[0.0, -2.0, 1.0, 1.0]),   # mean void ratio
])
def test_zero_divisors_raise_the_interpreters_error(change):
    args = layered(4)
    args.update(ocrvoidratiotype=[0] * 4, ocrvoidratio=[1.0] * 4)
    args.update(change)
    with pytest.raises(ZeroDivisionError) as ei:
        call(args)
    assert str(ei.value) == "float division by zero"
    assert "Pelorin.get_initial" in formatted(ei)


@pytest.mark.parametrize("change, exc, message", [
    (dict(ru=[0.0, 0.0, 0.0]), IndexError, "list index out of range"),
    (dict(Gs=np.full(3, 2.7)), IndexError, None),
    (dict(loadfactor=[]), IndexError, "list index out of range"),
    (dict(depth=np.zeros(0)), IndexError, "Out of bounds on buffer access (axis 0)"),
    (dict(Gs=[2.7, 2.7, "2.7", 2.7]), TypeError, None),
    (dict(qo="10"), TypeError, None),
])
def test_missing_or_foreign_elements(change, exc, message):
    args = layered(4)
    args.update(change)
    with pytest.raises(exc) as ei:
        call(args)
    if message:
        assert str(ei.value) == message
    assert "Pelorin.get_initial" in formatted(ei)


def test_result_arrays_come_from_np_zeros_at_the_call(monkeypatch):
    made = []

    def zeros(n):
        a = np.zeros(n)
        made.append(a)
        return a

    monkeypatch.setattr(Pelorin, "np", types.SimpleNamespace(zeros=zeros))
    out = call(layered(5))
    assert [len(a) for a in made] == [5] * 4
    # made in the order sigvo, sigvo2, sigvf, eo; returned under their keys
    for key, a in zip(["sigvo", "sigvo2", "sigvf", "eo"], made):
        assert np.shares_memory(np.asarray(out[key]), a)
    monkeypatch.undo()
    assert Pelorin.np is np
