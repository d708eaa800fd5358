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
from typing import Any, Callable, Mapping, Optional

import numpy as np
import xarray as xr

from . import _engine

__all__ = ["run", "run_elements", "ConvergenceError"]

# The soil keywords of a run, in the order in which they are checked.
SOIL = ("Cc", "Cr", "sigvref", "esigvref", "Gs", "kref", "ekref", "Ck", "Ca", "tref",
        "qo", "dsigv", "ocrvoidratiotype", "ocrvoidratio")
ELEMENT = tuple(name for name in SOIL if name != "qo") + ("ru",)
GEOMETRIC = ("sigvref", "kref", "tref")
OPTIONS = ("rtol", "max_substeps", "max_newton", "progress")
KEYWORDS = frozenset(SOIL + ("N", "H", "depth", "ru", "Ntime", "tmax", "time", "loadfactor",
                             "gammaw", "tol", "pa", "drainagetype") + OPTIONS)

DRAINAGE = {0: "both ends drained", 1: "top drained, bottom sealed",
            2: "top sealed, bottom drained"}


class ConvergenceError(RuntimeError):
    """A run that cannot go on.

    `partial` is the Dataset up to the last output time reached, `time` the
    time at which no sub-step could be accepted.
    """

    def __init__(self, message: str, partial: Optional[xr.Dataset], time: float):
        super().__init__(message)
        self.partial = partial
        self.time = time


def _number(name: str, value: Any) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def _positive(name: str, value: Any) -> float:
    """A finite number above 0."""
    x = _number(name, value)
    if not x > 0 or not math.isfinite(x):
        raise ValueError(f"{name} must be positive, not {x}")
    return x


def _integer(name: str, value: Any) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real) and float(value).is_integer():
        return int(value)
    raise ValueError(f"{name} must be an integer, not {value!r}")


def _time_history(kw: Mapping[str, Any]) -> tuple[np.ndarray, np.ndarray]:
    if "Ntime" in kw:
        if "tmax" not in kw:
            raise TypeError("give tmax with Ntime")
        ntime = _integer("Ntime", kw["Ntime"])
        tmax = _positive("tmax", kw["tmax"])
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
    qo = _number("qo", kw["qo"])
    cc = kw["Cc"]
    nodes: dict[str, np.ndarray] = {}
    if isinstance(cc, numbers.Real) and not isinstance(cc, (bool, np.bool_)):
        for name in ("N", "H"):
            if name not in kw:
                raise TypeError(f"give {name} with uniform soil (Cc a number)")
        n = _integer("N", kw["N"])
        h = _positive("H", kw["H"])
        if n < 1:
            raise ValueError(f"N must be at least 1, not {n}")
        for name in SOIL:
            if name != "qo":
                nodes[name] = np.full(n + 1, _number(name, kw[name]))
        depth = np.linspace(0.0, h, n + 1)
        ru = kw.get("ru", 0.0)
        nodes["ru"] = np.full(n + 1, _number("ru", ru)) if np.ndim(ru) == 0 \
            else np.array(ru, dtype=np.float64)
    elif isinstance(cc, (list, tuple, np.ndarray)):
        n1 = len(cc)
        for name in SOIL:
            if name == "qo":
                continue
            value = np.array(kw[name], dtype=np.float64, ndmin=1)
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
    for name in ("sigvref", "kref", "Ck", "tref", "Gs"):
        first(name, nodes[name] <= 0, "must be positive")
    first("Ca", nodes["Ca"] < 0, "must be >= 0")
    first("ru", nodes["ru"] >= 1, "must be below 1")
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


def _check_history(nodes: Mapping[str, np.ndarray], sigma: np.ndarray) -> None:
    """Void ratios and preconsolidation stresses at the nodes' initial stresses."""
    types, value = nodes["ocrvoidratiotype"], nodes["ocrvoidratio"]
    bad = (types == 2) & (value < sigma * (1 - 1e-9))
    with np.errstate(divide="ignore"):
        ncl = nodes["esigvref"] - nodes["Cc"] * np.log10(sigma / nodes["sigvref"])
    bad_e = (types == 1) & (sigma > 0) & (value > ncl + 1e-9 * (1 + np.abs(ncl)))
    for mask, what in ((bad, "is a preconsolidation stress below the initial effective stress"),
                       (bad_e, "is a void ratio above the normal compression line")):
        idx = np.flatnonzero(mask)
        if idx.size:
            i = int(idx[0])
            raise ValueError(f"ocrvoidratio {what} at node {i} (got {value[i]!r}, initial "
                             f"effective stress {sigma[i]:.6g})")


# Units and long names of the Dataset's variables and coordinates.
_LABELS = {
    "time": ("time unit of tref", "time"),
    "node": ("1", "node number (0 at the top)"),
    "depth": ("m", "initial node depth"),
    "element": ("1", "element number (element c between nodes c and c + 1)"),
    "element_depth": ("m", "initial depth of the element centre"),
    "z": ("m", "node position (depth below the original top)"),
    "u": ("kPa", "excess pore-water pressure"),
    "sigv": ("kPa", "vertical effective stress"),
    "e": ("1", "void ratio"),
    "k": ("m/time unit", "permeability"),
    "settlement": ("m", "settlement of the top (positive downward)"),
    "loadfactor": ("1", "load factor in force"),
    "u_element": ("kPa", "excess pore-water pressure at the element centre"),
    "sigv_element": ("kPa", "vertical effective stress at the element centre"),
    "e_element": ("1", "void ratio of the element"),
    "k_element": ("m/time unit", "permeability of the element"),
    "solids": ("m", "height of solids of the element"),
}


def _var(name: str, dims: Any, data: Any) -> xr.Variable:
    units, long_name = _LABELS[name]
    return xr.Variable(dims, data, {"units": units, "long_name": long_name})


def _dataset(res: Mapping[str, Any], depth: np.ndarray, time: np.ndarray, lf: np.ndarray,
             gammaw: float, drainage: int, rtol: float, columns: int) -> xr.Dataset:
    # Built from labelled Variables in one go: a run's Dataset costs about as much as
    # a short run itself when assembled variable by variable.
    n = depth.size - 1
    node = ("node", "time")
    element = ("element", "time")
    data = {name: _var(name, node, res[name][:, :columns]) for name in ("z", "u", "sigv", "e", "k")}
    data["settlement"] = _var("settlement", "time", res["settlement"][:columns])
    data["loadfactor"] = _var("loadfactor", "time", np.r_[lf[0], lf][:columns])
    for name in ("u_element", "sigv_element", "e_element", "k_element"):
        data[name] = _var(name, element, res[name][:, :columns])
    data["solids"] = _var("solids", "element", res["solids"])
    coords = {"time": _var("time", "time", np.r_[0.0, time][:columns]),
              "node": _var("node", "node", np.arange(n + 1)),
              "depth": _var("depth", "node", depth),
              "element": _var("element", "element", np.arange(n)),
              "element_depth": _var("element_depth", "element", 0.5 * (depth[:-1] + depth[1:]))}
    ds = xr.Dataset(data, coords=coords)
    ds.attrs.update(
        drainagetype=drainage, drainage=DRAINAGE[drainage], gammaw=gammaw, rtol=rtol,
        substeps=int(res["substeps"]), newton_iterations=int(res["newton"]),
        evaluations=int(res["evaluations"]), rejected_steps=int(res["rejected"]))
    return ds


def _solve_arrays(depth: np.ndarray, elements: dict[str, np.ndarray], qo: float,
                  time: np.ndarray, lf: np.ndarray, *, gammaw: float, drainage: int,
                  rtol: float, max_substeps: int, max_newton: int,
                  progress: Optional[Callable[[float, float], Any]],
                  node_dsigv: Optional[np.ndarray], node_ru: Optional[np.ndarray],
                  check_history: bool) -> dict:
    """The engine's arrays of a run (node and element rows, one column per time from 0);
    ConvergenceError with the partial Dataset when the run cannot go on."""
    try:
        res = _engine.solve(depth, elements, qo, time, lf, gammaw=gammaw,
                            drainagetype=drainage, rtol=rtol, max_substeps=max_substeps,
                            max_newton=max_newton, progress=progress, node_dsigv=node_dsigv,
                            node_ru=node_ru, check_history=check_history)
    except KeyboardInterrupt as err:
        # Ctrl-C: the Dataset up to the last output time reached, as `partial`
        reached = getattr(err, "partial_run", None)
        if reached is not None:
            err.partial = _dataset(reached, depth, time, lf, gammaw, drainage, rtol,
                                   int(reached["columns"]))
            del err.partial_run
        raise
    return _reached(res, depth, time, lf, gammaw, drainage, rtol)


def _reached(res: dict, depth: np.ndarray, time: np.ndarray, lf: np.ndarray, gammaw: float,
             drainage: int, rtol: float) -> dict:
    """The engine's result of a run, or ConvergenceError (with the partial Dataset) when
    the run stopped."""
    if res["failed"]:
        ds = _dataset(res, depth, time, lf, gammaw, drainage, rtol, int(res["columns"]))
        t_fail = float(res["failure_time"])
        raise ConvergenceError(
            f"the run could not go on at t = {t_fail:.6g}: {res['message']}; results up to "
            f"t = {float(ds.time[-1]):.6g} are in .partial", ds, t_fail)
    return res


def _solve(depth: np.ndarray, elements: dict[str, np.ndarray], qo: float, time: np.ndarray,
           lf: np.ndarray, *, gammaw: float, drainage: int, rtol: float,
           **options: Any) -> xr.Dataset:
    res = _solve_arrays(depth, elements, qo, time, lf, gammaw=gammaw, drainage=drainage,
                        rtol=rtol, **options)
    return _dataset(res, depth, time, lf, gammaw, drainage, rtol, int(res["columns"]))


def _options(kw: Mapping[str, Any]) -> dict[str, Any]:
    progress = kw.get("progress")
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable (t_reached, t_end) or None")
    return dict(rtol=_number("rtol", kw.get("rtol", 3e-4)),
                max_substeps=_integer("max_substeps", kw.get("max_substeps", 1_000_000)),
                max_newton=_integer("max_newton", kw.get("max_newton", 12)),
                progress=progress)


def _drainage(kw: Mapping[str, Any]) -> int:
    drainage = _integer("drainagetype", kw.get("drainagetype", 0))
    if drainage not in DRAINAGE:
        raise ValueError(f"drainagetype must be 0 (both ends), 1 (top) or 2 (bottom), "
                         f"not {drainage}")
    return drainage


def run(**keywords: Any) -> xr.Dataset:
    """Consolidation run from the keywords of `Pelorin.compute` (same meaning and units).

    Extra keyword-only options: rtol (local time error relative to the load,
    default 3e-4), max_substeps, max_newton, progress (callable
    progress(t_reached, t_end), called at each output time).  Returns an
    xarray Dataset with dims node (N + 1) and time (t = 0, then the given
    times).  Raises ValueError for impossible input and ConvergenceError
    (with .partial and .time) for a run that cannot go on.
    """
    unknown = sorted(set(keywords) - KEYWORDS)
    if unknown:
        raise TypeError(f"run() got an unexpected keyword argument {unknown[0]!r}")
    nodes, qo, depth = _node_arrays(keywords)
    time, lf = _time_history(keywords)
    gammaw = _positive("gammaw", keywords.get("gammaw", 9.81))
    for name in ("tol", "pa"):
        if name in keywords:
            _number(name, keywords[name])
    if not qo >= 0 or not math.isfinite(qo):
        raise ValueError(f"qo must be >= 0, not {qo}")
    drainage = _drainage(keywords)
    options = _options(keywords)
    _check_nodes(nodes, depth)
    elements = _to_elements(nodes)
    initial = _engine.prepare(depth, elements, qo, gammaw, drainage, False)
    _check_history(nodes, np.asarray(initial["sigma0_node"]))
    return _solve(depth, elements, qo, time, lf, gammaw=gammaw, drainage=drainage,
                  node_dsigv=nodes["dsigv"], node_ru=nodes["ru"], check_history=False, **options)


def run_elements(*, depth: Any, qo: float, time: Any, loadfactor: Any, gammaw: float = 9.81,
                 drainagetype: int = 0, rtol: float = 3e-4, max_substeps: int = 1_000_000,
                 max_newton: int = 12, progress: Optional[Callable[[float, float], Any]] = None,
                 **elements: Any) -> xr.Dataset:
    """A run of a column given element by element (exact layer interfaces).

    depth: the N + 1 node depths; every property of `ELEMENT` (Cc, Cr,
    sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv, ocrvoidratiotype,
    ocrvoidratio, ru) as N values or one number, element c between nodes c and
    c + 1.  The same Dataset and errors as `run`; impossible input names the
    element.
    """
    args, options = _element_arguments(depth, qo, time, loadfactor, gammaw, drainagetype,
                                       rtol, max_substeps, max_newton, progress, elements)
    return _solve(*args, **options)


def _element_arguments(depth: Any, qo: Any, time: Any, loadfactor: Any, gammaw: Any,
                       drainagetype: Any, rtol: Any, max_substeps: Any, max_newton: Any,
                       progress: Any, elements: dict) -> tuple[tuple, dict]:
    """The checked engine arguments of `run_elements` (positional, keyword)."""
    depth = np.array(depth, dtype=np.float64, ndmin=1)
    n = depth.size - 1
    unknown = sorted(set(elements) - set(ELEMENT))
    if unknown:
        raise TypeError(f"run_elements() got an unexpected keyword argument {unknown[0]!r}")
    el: dict[str, np.ndarray] = {}
    for name in ELEMENT:
        if name not in elements:
            if name != "ru":
                raise TypeError(f"run_elements() missing required keyword {name!r}")
            elements[name] = 0.0
        dtype = np.int32 if name == "ocrvoidratiotype" else np.float64
        value = np.array(elements[name], dtype=dtype, ndmin=1)
        if value.size == 1:
            value = np.full(n, value[0], dtype=dtype)
        if value.shape != (n,):
            raise ValueError(f"{name} must have one value per element ({n})")
        el[name] = value
    time_a, lf = _time_history({"time": time, "loadfactor": loadfactor})
    drainage = _drainage({"drainagetype": drainagetype})
    opts = _options(dict(rtol=rtol, max_substeps=max_substeps, max_newton=max_newton,
                         progress=progress))
    return ((depth, el, _number("qo", qo), time_a, lf),
            dict(gammaw=_number("gammaw", gammaw), drainage=drainage, node_dsigv=None,
                 node_ru=None, check_history=True, **opts))


def element_job(keywords: Mapping[str, Any]) -> dict:
    """The checked engine keywords of a run of `run_element_arrays` (no progress
    callback), for `_engine.solve_many`: many runs in one engine call."""
    kw = dict(keywords)
    fixed = [kw.pop(k) for k in ("depth", "qo", "time", "loadfactor")]
    if kw.get("progress") is not None:
        raise TypeError("a run of many takes no progress callback")
    (depth, el, qo, time, lf), options = _element_arguments(
        *fixed, kw.pop("gammaw", 9.81), kw.pop("drainagetype", 0), kw.pop("rtol", 3e-4),
        kw.pop("max_substeps", 1_000_000), kw.pop("max_newton", 12), kw.pop("progress", None),
        kw)
    return dict(depth=depth, elements=el, qo=qo, time=time, loadfactor=lf,
                gammaw=options["gammaw"], drainagetype=options["drainage"],
                rtol=options["rtol"], max_substeps=options["max_substeps"],
                max_newton=options["max_newton"], check_history=True)


def element_result(job: Mapping[str, Any], res: Mapping[str, Any]) -> dict:
    """A run's arrays from its entry of `_engine.solve_many`, as `run_element_arrays`
    gives them; ValueError or ConvergenceError as it raises them."""
    if "input_error" in res:
        raise ValueError(res["input_error"])
    return _reached(dict(res), job["depth"], job["time"], job["loadfactor"], job["gammaw"],
                    job["drainagetype"], job["rtol"])


def run_element_arrays(*, depth: Any, qo: float, time: Any, loadfactor: Any,
                       gammaw: float = 9.81, drainagetype: int = 0, rtol: float = 3e-4,
                       max_substeps: int = 1_000_000, max_newton: int = 12,
                       progress: Optional[Callable[[float, float], Any]] = None,
                       **elements: Any) -> dict:
    """`run_elements` without the Dataset, for many runs at once: the engine's arrays
    ("z", "u", "sigv", "e", "k" of the nodes and "u_element" ... of the elements, one
    column per time from 0; "settlement"; "solids"; run statistics)."""
    args, options = _element_arguments(depth, qo, time, loadfactor, gammaw, drainagetype,
                                       rtol, max_substeps, max_newton, progress, elements)
    return _solve_arrays(*args, **options)
