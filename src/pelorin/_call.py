"""The one way to the engine: a checked job, its run, or many runs in one call.

Every run of the package, from `run`, `run_elements`, `simulate` or a sweep,
is an `EngineJob` made by `make_job` and run by `solve` (one run, with a
progress callback) or `solve_many` (a batch, without the GIL in between).
The engine's keywords take their defaults from the engine itself
(`DEFAULTS`).  Input the engine refuses raises `InputError`, a ValueError
with the keyword (`.parameter`) and the element or node (`.index`).
"""
from __future__ import annotations

import dataclasses
import numbers
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Callable, Mapping, Optional, Sequence

import numpy as np

from . import _engine
from .model import DRAINAGE_CODES

__all__ = ["DEFAULTS", "InputError", "EngineJob", "make_job", "prepare", "solve",
           "solve_many", "number", "integer"]

#: The engine's defaults of its keywords (gammaw, drainagetype, rtol,
#: max_substeps, max_newton, check_history).
DEFAULTS: Mapping[str, Any] = MappingProxyType(dict(_engine.DEFAULTS))
InputError = _engine.InputError


def number(name: str, value: Any) -> float:
    """`value` as a float; TypeError naming `name` for anything but a real number."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    return float(value)


def integer(name: str, value: Any) -> int:
    """`value` as an int (a float of integral value accepted)."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real) and float(value).is_integer():
        return int(value)
    raise ValueError(f"{name} must be an integer, not {value!r}")


def drainage_code(value: Any) -> int:
    code = integer("drainagetype", value)
    if code not in DRAINAGE_CODES:
        raise ValueError(f"drainagetype must be 0 (both ends), 1 (top) or 2 (bottom), "
                         f"not {code}")
    return code


@dataclass(frozen=True)
class EngineJob:
    """The checked arguments of one engine run (element c between nodes c and c + 1)."""

    depth: np.ndarray
    elements: dict
    qo: float
    time: np.ndarray
    loadfactor: np.ndarray
    gammaw: float
    drainagetype: int
    rtol: float
    max_substeps: int
    max_newton: int
    progress: Optional[Callable[[float, float], Any]] = None
    node_dsigv: Optional[np.ndarray] = None
    node_ru: Optional[np.ndarray] = None
    check_history: bool = True
    drains: Optional[dict] = None   # the engine's `drains` keyword (vertical drains)
    # The general loading (None: only dsigv by the load factors): loads in kPa with
    # their functions of time, fills that submerge, the pore pressure at the drained
    # ends over time and at the start.
    loads: Optional[list] = None
    fills: Optional[list] = None
    boundary: Optional[dict] = None
    initial_boundary: Optional[dict] = None
    # The histories wanted (None: all of them); the engine computes only these.
    keep: Optional[tuple] = None

    def replace(self, **changes: Any) -> "EngineJob":
        return dataclasses.replace(self, **changes)

    def keywords(self) -> dict:
        """The keywords of one run of `solve_many`."""
        return dict(depth=self.depth, elements=self.elements, qo=self.qo, time=self.time,
                    loadfactor=self.loadfactor, gammaw=self.gammaw,
                    drainagetype=self.drainagetype, rtol=self.rtol,
                    max_substeps=self.max_substeps, max_newton=self.max_newton,
                    node_dsigv=self.node_dsigv, node_ru=self.node_ru,
                    check_history=self.check_history, keep=self.keep,
                    **self.loading())

    def loading(self) -> dict:
        """The general loading's keywords that are given."""
        return {name: value for name in LOADING
                if (value := getattr(self, name)) is not None}

    def unloaded(self) -> "EngineJob":
        """The same run without its loads, fills and changes of the heads (its initial
        state, the steady seepage of the initial heads, kept), and without a drains'
        vacuum (a load too; the drains stay): the background."""
        return self.replace(loadfactor=np.zeros_like(self.loadfactor), loads=None,
                            fills=None, boundary=None,
                            drains=self.drains and dict(self.drains, vacuum=None))


#: The keywords of the engine's general loading, and its drains.
LOADING = ("loads", "fills", "boundary", "initial_boundary", "drains")


def make_job(depth: np.ndarray, elements: dict, qo: float, time: np.ndarray,
             loadfactor: np.ndarray, *, gammaw: Any = DEFAULTS["gammaw"],
             drainagetype: Any = DEFAULTS["drainagetype"], rtol: Any = DEFAULTS["rtol"],
             max_substeps: Any = DEFAULTS["max_substeps"],
             max_newton: Any = DEFAULTS["max_newton"],
             progress: Optional[Callable[[float, float], Any]] = None,
             node_dsigv: Optional[np.ndarray] = None, node_ru: Optional[np.ndarray] = None,
             check_history: bool = DEFAULTS["check_history"],
             drains: Optional[dict] = None,
             loading: Optional[Mapping[str, Any]] = None) -> EngineJob:
    """An EngineJob from arrays already in the engine's shapes and the run's options
    (TypeError or ValueError naming an option of the wrong kind; the engine checks
    their ranges)."""
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable (t_reached, t_end) or None")
    drainage = drainage_code(drainagetype)
    extra = dict(loading or {})
    unknown = sorted(set(extra) - set(LOADING))
    if unknown:
        raise TypeError(f"unknown loading keyword {unknown[0]!r}")
    return EngineJob(depth, elements, qo, time, loadfactor, number("gammaw", gammaw),
                     drainage, number("rtol", rtol), integer("max_substeps", max_substeps),
                     integer("max_newton", max_newton), progress, node_dsigv, node_ru,
                     bool(check_history), drains, **extra)


def prepare(depth: np.ndarray, elements: dict, qo: float, gammaw: float, drainagetype: int,
            check_history: bool, initial_boundary: Optional[dict] = None) -> dict:
    """The engine's initial state of a column (solids, stresses, void ratios); with
    `initial_boundary` that of the steady seepage between the pressures it holds at
    the drained ends."""
    if initial_boundary is None:
        return _engine.prepare(depth, elements, qo, gammaw, drainagetype, check_history)
    return _engine.prepare(depth, elements, qo, gammaw, drainagetype, check_history,
                           initial_boundary=initial_boundary)


def solve(job: EngineJob) -> dict:
    """The engine's arrays of one run (node and element rows, one column per time from 0;
    "failed" when it stopped); InputError for input it refuses. Ctrl-C's KeyboardInterrupt
    carries the arrays reached as its `partial_run`."""
    return _engine.solve(job.depth, job.elements, job.qo, job.time, job.loadfactor,
                         gammaw=job.gammaw, drainagetype=job.drainagetype, rtol=job.rtol,
                         max_substeps=job.max_substeps, max_newton=job.max_newton,
                         progress=job.progress, node_dsigv=job.node_dsigv,
                         node_ru=job.node_ru, check_history=job.check_history, keep=job.keep,
                         **job.loading())


def solve_many(jobs: Sequence[EngineJob]) -> list:
    """`solve` of every job in one engine call: per job its arrays, or the InputError
    it raises (the others go on)."""
    if any(job.progress is not None for job in jobs):
        raise TypeError("a run of many takes no progress callback")
    out: list = []
    for res in _engine.solve_many([job.keywords() for job in jobs]):
        if "input_error" in res:
            err = InputError(res["input_error"])
            err.parameter, err.index = res["parameter"], res["index"]
            out.append(err)
        else:
            out.append(res)
    return out
