"""`run`: a consolidation run from the keywords of `Pelorin.compute`, by the engine.

The engine works on elements (cells): element c lies between nodes c and c + 1.
Node-wise soil properties are carried to the elements as the mean of the two
nodes (the geometric mean for the scale parameters sigvref, kref, tref and for
an OCR or a preconsolidation stress); `run_elements` takes element properties
directly (layered profiles with exact interfaces).
"""
from __future__ import annotations

import math
import numbers
import warnings
from typing import Any, Callable, Mapping, Optional

import numpy as np
import xarray as xr

from ._call import DEFAULTS, EngineJob, InputError, integer, make_job, number, prepare, solve
from ._column import check_node_history
from ._dataset import run_dataset
from .errors import ConvergenceError

__all__ = ["run", "run_elements", "ConvergenceError"]

# The soil keywords of a run, in the order in which they are checked.
SOIL = ("Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref",
        "qo", "dsigv", "ocrvoidratiotype", "ocrvoidratio")
ELEMENT = tuple(name for name in SOIL if name != "qo") + ("ru",)
GEOMETRIC = ("sigvref", "kref", "tref")
OPTIONS = ("rtol", "max_substeps", "max_newton", "progress")
KEYWORDS = frozenset(SOIL + ("N", "H", "depth", "ru", "Ntime", "tmax", "time", "loadfactor",
                             "gammaw", "tol", "pa", "drainagetype", "keep") + OPTIONS)
# The histories a run can keep (keep=...); the settlement always is.
HISTORIES = ("z", "u", "sigv", "e", "k", "u_element", "sigv_element", "e_element",
             "k_element", "settlement")


def kept(keep: Any) -> Optional[tuple]:
    """The histories `keep` names (None: all), checked."""
    if keep is None:
        return None
    if isinstance(keep, str):
        raise TypeError("keep must be a sequence of history names, not one string")
    names = tuple(keep)
    unknown = [name for name in names if name not in HISTORIES]
    if unknown:
        raise ValueError(f"keep: unknown history {unknown[0]!r} (one of {', '.join(HISTORIES)})")
    return tuple(name for name in HISTORIES if name in names or name == "settlement")


def engine_keep(keep: Optional[tuple]) -> Optional[tuple]:
    """What the engine makes for `keep`: also the element void ratios and
    permeabilities that `physical` checks."""
    return None if keep is None else tuple(set(keep) | {"e_element", "k_element"})


def positive(name: str, value: Any) -> float:
    """A finite number above 0."""
    x = number(name, value)
    if not x > 0 or not math.isfinite(x):
        raise ValueError(f"{name} must be positive, not {x}")
    return x


def _time_history(kw: Mapping[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    if "Ntime" in kw:
        if "tmax" not in kw:
            raise TypeError("give tmax with Ntime")
        ntime = integer("Ntime", kw["Ntime"])
        tmax = positive("tmax", kw["tmax"])
        if ntime < 1:
            raise ValueError(f"Ntime must be at least 1, not {ntime}")
        time = np.logspace(math.log10(tmax) - 5, math.log10(tmax), num=ntime)
        return time, np.ones(ntime)
    if "time" in kw:
        if "loadfactor" not in kw:
            raise TypeError("give loadfactor with time")
        time = np.array(kw["time"], dtype=np.float64, ndmin=1)
        lf = np.array(kw["loadfactor"], dtype=np.float64, ndmin=1)
        if time.ndim != 1 or lf.shape != time.shape:
            raise ValueError(f"time and loadfactor must be 1-D of the same length, not "
                             f"{time.shape} and {lf.shape}")
        if time.size == 0:
            raise ValueError("time is empty")
        bad = np.flatnonzero(~np.isfinite(time) | (time < 0)
                             | np.r_[False, np.diff(time) < 0])
        if bad.size:
            raise ValueError(f"time must be finite, >= 0 and non-decreasing: entry {bad[0]} "
                             f"is {time[bad[0]]}")
        bad = np.flatnonzero(~np.isfinite(lf))
        if bad.size:
            raise ValueError(f"loadfactor is not finite at entry {bad[0]}")
        return time, lf
    raise TypeError("give either Ntime and tmax, or time and loadfactor")


def _node_arrays(kw: Mapping[str, Any]) -> tuple[dict[str, np.ndarray], float, np.ndarray]:
    """The soil keywords as node arrays, the surcharge qo and the node depths."""
    missing = [name for name in SOIL if name not in kw]
    if missing:
        raise TypeError(f"run() missing required keyword {missing[0]!r}")
    qo = number("qo", kw["qo"])
    cc = kw["Cc"]
    nodes: dict[str, np.ndarray] = {}
    if isinstance(cc, numbers.Real) and not isinstance(cc, (bool, np.bool_)):
        for name in ("N", "H"):
            if name not in kw:
                raise TypeError(f"give {name} with uniform soil (Cc a number)")
        n = integer("N", kw["N"])
        h = positive("H", kw["H"])
        if n < 1:
            raise ValueError(f"N must be at least 1, not {n}")
        for name in SOIL:
            if name != "qo":
                nodes[name] = np.full(n + 1, number(name, kw[name]))
        depth = np.linspace(0.0, h, n + 1)
        ru = kw.get("ru", 0.0)
        nodes["ru"] = np.full(n + 1, number("ru", ru)) if np.ndim(ru) == 0 \
            else np.array(ru, dtype=np.float64)
    elif isinstance(cc, (list, tuple, np.ndarray)):
        n1 = len(cc)
        for name in SOIL:
            if name == "qo":
                continue
            value = _numbers(name, kw[name])
            if value.shape != (n1,):
                raise ValueError(f"{name} must have one value per node ({n1}), "
                                 f"not shape {value.shape}")
            nodes[name] = value
        if "depth" not in kw:
            raise TypeError("give depth with layered soil (Cc an array)")
        depth = np.array(kw["depth"], dtype=np.float64, ndmin=1)
        if depth.shape != (n1,):
            raise ValueError(f"depth must have one value per node ({n1}), not shape {depth.shape}")
        ru = kw.get("ru", 0.0)
        nodes["ru"] = np.full(n1, float(ru)) if np.ndim(ru) == 0 \
            else np.array(ru, dtype=np.float64)
    else:
        raise TypeError(f"Cc must be a number, a list or an array, not {type(cc).__name__}")
    if nodes["ru"].shape != depth.shape:
        raise ValueError(f"ru must have one value per node ({depth.size}), "
                         f"not shape {nodes['ru'].shape}")
    if depth.size < 2:
        raise ValueError("the column needs at least two nodes")
    return nodes, qo, depth


def _check_nodes(nodes: Mapping[str, np.ndarray], depth: np.ndarray) -> None:
    """ValueError naming the parameter and the first node where the input is impossible."""
    def first(name: str, bad: np.ndarray, what: str) -> None:
        idx = np.flatnonzero(bad)
        if idx.size:
            i = int(idx[0])
            raise ValueError(f"{name} {what} at node {i} (got {nodes.get(name, depth)[i]!r})")

    for name, values in nodes.items():
        first(name, ~np.isfinite(values), "is not finite")
    first("depth", ~np.isfinite(depth), "is not finite")
    first("depth", np.r_[False, np.diff(depth) <= 0], "must increase strictly from node to node")
    first("Cr", nodes["Cr"] <= 0, "must be positive")
    first("Cr", nodes["Cr"] >= nodes["Cc"], "must be smaller than Cc")
    for name in ("sigvref", "Ck", "tref", "Gs"):
        first(name, nodes[name] <= 0, "must be positive")
    first("kref", nodes["kref"] <= 0, f"must be positive ({KREF_UNIT})")
    first("Ca", nodes["Ca"] < 0, "must be >= 0")
    first("ru", nodes["ru"] >= 1, "must be below 1")
    first("ru", nodes["ru"] < 0, "must be at least 0 (excess pore pressure over the load, "
          "before any drainage)")
    types = nodes["ocrvoidratiotype"]
    first("ocrvoidratiotype", ~np.isin(types, (0, 1, 2)), "must be 0 (OCR), 1 (void ratio) "
          "or 2 (preconsolidation stress)")
    first("ocrvoidratio", nodes["ocrvoidratio"] <= 0, "must be positive")
    first("ocrvoidratio", (types == 0) & (nodes["ocrvoidratio"] < 1),
          "is an OCR below 1 (the soil would lie above its normal compression line)")


def _to_elements(nodes: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
    el: dict[str, np.ndarray] = {}
    for name in ELEMENT:
        v = nodes[name]
        if name == "ocrvoidratiotype":
            continue
        el[name] = np.sqrt(v[:-1] * v[1:]) if name in GEOMETRIC else 0.5 * (v[:-1] + v[1:])
    types = nodes["ocrvoidratiotype"].astype(np.int32)
    value = nodes["ocrvoidratio"]
    same = types[:-1] == types[1:]
    upper_t, upper_v = types[:-1], value[:-1]
    mean = np.where(upper_t == 1, 0.5 * (value[:-1] + value[1:]), np.sqrt(value[:-1] * value[1:]))
    # An element whose two nodes read the history differently takes its upper node's.
    el["ocrvoidratiotype"] = upper_t.copy()
    el["ocrvoidratio"] = np.where(same, mean, upper_v)
    return el


def physical(res: dict, time: np.ndarray) -> dict:
    """`res` cut, in place, before the first output time with a state no soil can have:
    a void ratio at or below 0 (a load the compression line cannot carry) or a
    permeability that is not a positive number. The run is then one that stopped."""
    columns = int(res["columns"])
    e = np.asarray(res["e_element"])[:, :columns]
    k = np.asarray(res["k_element"])[:, :columns]
    with np.errstate(invalid="ignore"):
        bad_e = ~(e > 0.0)
        bad_k = ~(np.isfinite(k) & (k > 0.0))
    bad = np.flatnonzero(np.any(bad_e | bad_k, axis=0))
    if bad.size:
        j = int(bad[0])
        i = int(np.flatnonzero(bad_e[:, j] | bad_k[:, j])[0])
        what = (f"the void ratio of element {i} would be {e[i, j]:.4g} (not above 0: the "
                "compression line cannot carry the load)" if bad_e[i, j] else
                f"the permeability of element {i} would be {k[i, j]:.4g}")
        res["columns"] = j
        if not res["failed"] or float(res["failure_time"]) > float(np.r_[0.0, time][j]):
            res["failed"] = True
            res["failure_time"] = float(np.r_[0.0, time][j])
            res["message"] = what
    return res


def reached(res: dict, job: EngineJob) -> dict:
    """The engine's result of a run, or ConvergenceError (with the partial Dataset of
    `run`) when the run stopped or would reach a state no soil can have (`physical`)."""
    physical(res, job.time)
    if res["failed"]:
        ds = run_dataset(res, job.depth, job.time, job.loadfactor, job.gammaw,
                         job.drainagetype, job.rtol)
        t_fail = float(res["failure_time"])
        i, what, depth = int(res["failure_element"]), str(res["failure_quantity"]), job.depth
        where = (f"; held back by the {what} of element {i}, {depth[i]:.4g} to "
                 f"{depth[i + 1]:.4g} m deep" if 0 <= i < depth.size - 1 else "")
        raise ConvergenceError(
            f"the run could not go on at t = {t_fail:.6g}: {res['message']}{where}; results up "
            f"to t = {float(ds.time[-1]):.6g} are in .partial", ds, t_fail,
            i if where else None, what)
    return res


# The exact module's permeability unit, which `run` and `run_elements` keep (a Soil's is m/s).
KREF_UNIT = "m per time unit of tref: m/day with tref in days"
# Below this (in m per time unit, here about 1e-13 m/s with tref in days) no soil is so
# tight: a kref this small was most likely given in m/s.
KREF_TIGHTEST = 1e-8


def _check_kref(kref: np.ndarray) -> None:
    """A warning when every kref is below any soil's permeability in m/day."""
    if kref.size and 0.0 < float(np.max(kref)) < KREF_TIGHTEST:
        warnings.warn(f"kref {float(np.max(kref)):.3g} is in {KREF_UNIT}, not m/s: "
                      f"below {KREF_TIGHTEST:g}, tighter than any soil; a value in m/s "
                      "times 86400 gives m/day", UserWarning, stacklevel=3)


def _dataset(job: EngineJob, keep: Optional[tuple] = None) -> xr.Dataset:
    try:
        res = reached(solve(job), job)
    except InputError as err:
        if err.parameter != "kref":
            raise
        named = InputError(f"{err} (kref is in {KREF_UNIT})")
        named.parameter, named.index = err.parameter, err.index
        raise named from None
    except KeyboardInterrupt as err:   # Ctrl-C: the Dataset reached, as `partial`
        part = getattr(err, "partial_run", None)
        if part is not None:
            physical(part, job.time)
            err.partial = run_dataset(part, job.depth, job.time,  # type: ignore[attr-defined]
                                      job.loadfactor, job.gammaw, job.drainagetype, job.rtol)
        raise
    ds = run_dataset(res, job.depth, job.time, job.loadfactor, job.gammaw,
                     job.drainagetype, job.rtol)
    return ds if keep is None else ds.drop_vars([n for n in HISTORIES if n not in keep], errors="ignore")


def run(**keywords: Any) -> xr.Dataset:
    """Consolidation run from the keywords of `Pelorin.compute` (same meaning and units).

    Times are in the time unit of tref, and so is the permeability: kref is in
    m per time unit of tref (m/day with tref and the times in days), unlike a
    `Soil`'s kref in m/s; a kref below 1e-8 (tighter than any soil in m/day)
    is warned about as a value probably given in m/s.

    Extra keyword-only options: rtol (local time error relative to the load,
    default 3e-4), max_substeps, max_newton, progress (callable
    progress(t_reached, t_end), called at each output time), keep (the
    histories wanted, e.g. ("settlement", "u"); default all).  Returns an
    xarray Dataset with dims node (N + 1) and time (t = 0, then the given
    times).  Raises ValueError for impossible input and ConvergenceError
    (with .partial and .time) for a run that cannot go on.
    """
    unknown = sorted(set(keywords) - KEYWORDS)
    if unknown:
        raise TypeError(f"run() got an unexpected keyword argument {unknown[0]!r}")
    nodes, qo, depth = _node_arrays(keywords)
    time, lf = _time_history(keywords)
    gammaw = positive("gammaw", keywords.get("gammaw", DEFAULTS["gammaw"]))
    for name in ("tol", "pa"):
        if name in keywords:
            number(name, keywords[name])
    if not qo >= 0 or not math.isfinite(qo):
        raise ValueError(f"qo must be >= 0, not {qo}")
    options = {name: keywords[name] for name in OPTIONS if name in keywords}
    keep = kept(keywords.get("keep"))
    job = make_job(depth, {}, qo, time, lf, gammaw=gammaw,
                   drainagetype=keywords.get("drainagetype", DEFAULTS["drainagetype"]),
                   node_dsigv=nodes["dsigv"], node_ru=nodes["ru"], check_history=False,
                   **options)
    _check_nodes(nodes, depth)
    _check_kref(nodes["kref"])
    elements = _to_elements(nodes)
    initial = prepare(depth, elements, qo, gammaw, job.drainagetype, False)
    check_node_history(nodes, np.asarray(initial["sigma0_node"]))
    return _dataset(job.replace(elements=elements, keep=engine_keep(keep)), keep)


def run_elements(*, depth: Any, qo: float, time: Any, loadfactor: Any,
                 gammaw: float = DEFAULTS["gammaw"],
                 drainagetype: int = DEFAULTS["drainagetype"], rtol: float = DEFAULTS["rtol"],
                 max_substeps: int = DEFAULTS["max_substeps"],
                 max_newton: int = DEFAULTS["max_newton"],
                 progress: Optional[Callable[[float, float], Any]] = None,
                 drains: Optional[Mapping[str, Any]] = None,
                 **elements: Any) -> xr.Dataset:
    """A run of a column given element by element (exact layer interfaces).

    depth: the N + 1 node depths; every property of `ELEMENT` (Cc, Cr,
    sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv, ocrvoidratiotype,
    ocrvoidratio, ru) as N values or one number, element c between nodes c and
    c + 1.  The same units (kref in m per time unit of tref), Dataset and errors
    as `run`; impossible input names the element.  `drains`: the engine's
    keyword of vertical drains, {"eta": (N,) 1/m^2, "kh_ratio": (N,), "start":
    time, "vacuum": None or {"time", "value"}} (`pelorin.Drains.eta` gives eta).
    """
    depth = np.array(depth, dtype=np.float64, ndmin=1)
    el = element_arrays(depth.size - 1, elements)
    _check_kref(el["kref"])
    time_a, lf = _time_history({"time": time, "loadfactor": loadfactor})
    return _dataset(make_job(depth, el, number("qo", qo), time_a, lf, gammaw=gammaw,
                             drainagetype=drainagetype, rtol=rtol, max_substeps=max_substeps,
                             max_newton=max_newton, progress=progress,
                             drains=None if drains is None else dict(drains)))


def element_arrays(n: int, elements: Mapping[str, Any]) -> dict[str, np.ndarray]:
    """The element properties of `run_elements` as arrays of n values."""
    unknown = sorted(set(elements) - set(ELEMENT))
    if unknown:
        raise TypeError(f"run_elements() got an unexpected keyword argument {unknown[0]!r}")
    el: dict[str, np.ndarray] = {}
    for name in ELEMENT:
        if name not in elements:
            if name != "ru":
                raise TypeError(f"run_elements() missing required keyword {name!r}")
            given: Any = 0.0
        else:
            given = elements[name]
        value = _numbers(name, given)
        if value.size == 1:
            value = np.full(n, value[0])
        if value.shape != (n,):
            raise ValueError(f"{name} must have one value per element ({n})")
        el[name] = value
    def refuse(name: str, bad: np.ndarray, what: str) -> None:
        # as the engine refuses an element: InputError with the parameter and the element
        idx = np.flatnonzero(bad)
        if idx.size:
            i = int(idx[0])
            err = InputError(f"{name} {what} in element {i} (got {el[name][i]!r})")
            err.parameter, err.index = name, i
            raise err

    # the history codes before the conversion to the engine's integers (2**32 would wrap)
    refuse("ocrvoidratiotype", ~np.isin(el["ocrvoidratiotype"], (0.0, 1.0, 2.0)),
           "must be 0 (OCR), 1 (void ratio) or 2 (preconsolidation stress)")
    el["ocrvoidratiotype"] = el["ocrvoidratiotype"].astype(np.int32)
    refuse("ru", el["ru"] < 0.0, "must be at least 0 (excess pore pressure over the load, "
           "before any drainage)")
    return el


def _numbers(name: str, given: Any) -> np.ndarray:
    """`given` as float64 values: numbers only (no text or booleans, which NumPy would
    convert)."""
    raw = np.asarray(given)
    if raw.dtype.kind not in "fiu":
        raise TypeError(f"{name} must be a number or an array of numbers; got "
                        f"{type(given).__name__} of {raw.dtype.name}" if raw.ndim else
                        f"{name} must be a number; got {type(given).__name__}")
    return np.array(raw, dtype=np.float64, ndmin=1)
