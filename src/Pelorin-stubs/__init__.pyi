"""One-dimensional large-strain consolidation of a saturated soil layer.

Node arrays are one-dimensional float64 arrays with one entry per node, node 0
at the top of the layer.  They are read and written in place as buffers (no
copy); None stands for an empty array.  Stresses are in kPa, lengths in m,
the unit weight of water in kN/m3, and time in any unit used consistently.
"""
from typing import Any

import numpy as np
from numpy.typing import NDArray

_Nodes = NDArray[np.float64] | None

def get_inputs(*args: Any, **kwargs: Any) -> list[Any] | None:
    """Checks and completes the keywords of a run and returns the 22-entry
    parameter set, or prints why it cannot and returns None.  Positional
    arguments are ignored."""

def Logspace(tmin: float, tmax: float, Ntime: int, tstart: float) -> NDArray[np.float64]:
    """Ntime times crowding towards tmin: tmin plus a geometric sequence from
    tstart to tmax - tmin (so the first is tmin + tstart, the last tmax)."""

def get_ktest(etest: float, ekref: float, kref: float, Ck: float) -> float:
    """Permeability at void ratio etest: kref*10**((etest - ekref)/Ck)."""

def get_avtest(
    elast: float, sigvlast: float, sigvtest: float, eref: float, sigvref: float, Cc: float,
    Cr: float,
) -> float:
    """Coefficient of compressibility over a step from sigvlast to sigvtest."""

def get_etest(
    etest: float, elast: float, eref: float, alpha: float, tref: float, sigvtest: float,
    sigvlast: float, sigvref: float, Cc: float, avtest: float, utest: float, ulast: float,
    dt: float,
) -> float | int:
    """Void ratio at the end of a step with creep (alpha = Ca/ln 10), starting the
    iteration at etest; the int -1 when the iteration does not converge."""

def get_residual(
    ulast: _Nodes, utest: _Nodes, elast: _Nodes, etest: _Nodes, klast: _Nodes, ktest: _Nodes,
    avtest: _Nodes, zlast: _Nodes, ztest: _Nodes, sigvlast: _Nodes, sigvtest: _Nodes,
    gammaw: float, Ca: _Nodes, Cc: _Nodes, sigvref: _Nodes, esigvref: _Nodes, dt: float,
    tref: _Nodes, drainagetype: int, N: int,
) -> NDArray[np.float64]:
    """Residual of the discretised consolidation equation at the N + 1 nodes."""

def get_utest2(
    N: int, klast: _Nodes, ktest: _Nodes, zlast: _Nodes, ztest: _Nodes, avtest: _Nodes,
    elast: _Nodes, etest: _Nodes, ulast: _Nodes, utest: _Nodes, sigvlast: _Nodes,
    sigvtest: _Nodes, Res: _Nodes, dt: float, Cc: _Nodes, Cr: _Nodes, Ca: _Nodes, gammaw: float,
    ekref: _Nodes, kref: _Nodes, Ck: _Nodes, tref: _Nodes, esigvref: _Nodes, sigvref: _Nodes,
    dsigv: _Nodes, drainagetype: int, pa: float,
) -> NDArray[np.float64]:
    """Trial excess pore pressures corrected by one Newton step."""

def get_utest(
    klast: _Nodes, ktest: _Nodes, avtest: _Nodes, zlast: _Nodes, ztest: _Nodes, ulast: _Nodes,
    sigvlast: _Nodes, sigvtest: _Nodes, elast: _Nodes, etest: _Nodes, Ca: _Nodes, Cc: _Nodes,
    sigvref: _Nodes, esigvref: _Nodes, dt: float, tref: _Nodes, drainagetype: int, N: int,
    gammaw: float,
) -> NDArray[np.float64]:
    """Trial excess pore pressures of a step from the linearised equation."""

def Max(v: _Nodes, /) -> np.float64:
    """Largest absolute value of a node array (NaN if it holds a NaN)."""

def get_initial(
    depth: Any, Cc: Any, Cr: Any, sigvref: Any, esigvref: Any, Gs: Any, kref: Any, ekref: Any,
    Ck: Any, Ca: Any, tref: Any, qo: Any, dsigv: Any, ocrvoidratiotype: Any, ocrvoidratio: Any,
    ru: Any, time: Any, loadfactor: Any, gammaw: Any, tol: Any, pa: Any, drainagetype: Any,
) -> dict[str, NDArray[np.float64]] | None:
    """Initial state of the column: "eo", "sigvo", "sigvo2" and "sigvf" node
    arrays, or None after printing an invalid stress-history code."""

def compute(*args: Any, **kwargs: Any) -> dict[str, NDArray[np.float64]]:
    """Runs a consolidation; returns the (N + 1) x Ntime histories "z" (node
    positions), "u" (excess pore pressures), "sigv" (effective stresses) and
    "e" (void ratios).  Besides the keywords of get_inputs: maxsplit=k (int,
    default 0) redoes a step that fails, damped and halved into up to 2**k
    pieces; splitfirst=True splits each first step after a load change
    geometrically from 0.1 tref.  A run that still fails prints its ERROR
    line and issues a RuntimeWarning."""
