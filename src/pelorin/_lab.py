"""A soil from the values of a laboratory report, and those values back.

An oedometer report gives the void ratio of the sample at its in-situ
effective stress, the compression and swelling indices (per log cycle of
stress, of void ratio or of strain), the preconsolidation stress, the creep
index, the bulk unit weight and a permeability (measured, or from cv and mv
of a load step).  `from_lab` turns them into a `Soil`; `lab_values` gives
them back for a state (sigv0, pc) so that a report can print both.
"""
from __future__ import annotations

import math
import warnings
from typing import Any, Optional

from ._call import DEFAULTS
from ._units import UNITS, to_unit
from .errors import ParameterError
from .model import Soil, _number, check_plausible

__all__ = ["from_lab", "lab_values", "unit_weight", "GAMMA_W_LAB",
           "LAB_KEYS"]

#: Unit weight of water of the conversions, kN/m^3 (the engine's).
GAMMA_W_LAB = float(DEFAULTS["gammaw"])
_SECONDS_PER_DAY = 86400.0
_LN10 = math.log(10.0)

#: Keys of a case file's soil table that only the laboratory form takes.
LAB_KEYS = ("e0", "sigv0", "pc", "ocr", "CR", "RR", "Cae", "k", "cv", "mv", "gamma")

def unit_weight(Gs: float, e: float, gammaw: float = GAMMA_W_LAB) -> float:
    """Bulk (saturated) unit weight at void ratio e, kN/m^3:
    ``gamma = (Gs + e) * gammaw / (1 + e)``."""
    return (Gs + e) * gammaw / (1.0 + e)


def from_lab(*, e0: float, sigv0: float, Cc: Optional[float] = None,
             CR: Optional[float] = None, Cr: Optional[float] = None,
             RR: Optional[float] = None, pc: Optional[float] = None,
             ocr: Optional[float] = None, Ca: Optional[float] = None,
             Cae: Optional[float] = None, k: Optional[float] = None,
             cv: Optional[float] = None, mv: Optional[float] = None,
             Ck: Optional[float] = None, gamma: Optional[float] = None,
             Gs: Optional[float] = None, tref: float = 1.0, name: str = "",
             S: Optional[float] = None, m: Optional[float] = None,
             kh_ratio: float = 1.0) -> Soil:
    r"""A `Soil` from the values of a laboratory report.

    Parameters (one of each pair)
    -----------------------------
    e0 : float
        Void ratio of the sample at `sigv0`, > 0.
    sigv0 : float
        Effective stress of `e0` (the in-situ vertical stress), kPa, > 0.
    Cc or CR : float
        Compression index, or compression ratio ``CR = Cc/(1 + e0)``:
        ``Cc = CR*(1 + e0)``.
    Cr or RR : float
        Recompression index, or ratio ``RR = Cr/(1 + e0)``:
        ``Cr = RR*(1 + e0)``.
    pc or ocr : float, optional
        Preconsolidation stress of the sample (kPa) or its OCR
        (``pc = ocr*sigv0``); by default normally consolidated (pc = sigv0).
        The sample lies on the swelling line from pc, so the normal
        compression line passes through
        ``esigvref = e0 - Cr*log10(pc/sigv0)`` at ``sigvref = pc``.
    Ca or Cae : float, optional
        Secondary compression index per log cycle of time, or the strain
        rate form ``Cae = Ca/(1 + e0)``: ``Ca = Cae*(1 + e0)``.  0 (no creep)
        by default.
    k or cv (with mv) : float
        Permeability at `e0`, m/s; or the coefficient of consolidation cv
        (m^2/day) and the coefficient of volume compressibility mv (1/kPa)
        of the same step: ``k = cv*mv*gammaw/86400`` (Terzaghi's
        ``cv = k/(mv*gammaw)``, gammaw = 9.81 kN/m^3).  Then ``kref = k`` at
        ``ekref = e0``.
    Ck : float, optional
        Void-ratio change per tenfold change of permeability; by default
        ``Ck = 0.5*e0`` (Tavenas, Jean, Leblond & Leroueil 1983, Can.
        Geotech. J. 20: 645-660, for natural soft clays).
    gamma or Gs : float, optional
        Bulk unit weight of the saturated sample at `e0`, kN/m^3, or the
        specific gravity of the solids (2.7 by default):
        ``Gs = gamma*(1 + e0)/gammaw - e0``, from
        ``gamma = (Gs + e0)*gammaw/(1 + e0)``.
    tref, name, S, m, kh_ratio
        As for `Soil`.

    The indices (Cc, CR, Cr, RR, Ca, Cae, Ck) may carry their unit, per log
    cycle: ``CR="0.3 / log_cycle"``; the stresses, k, cv, mv and gamma any
    unit of their kind.

    Returns
    -------
    Soil
        Its ``lab_values(sigv0, pc)`` gives the lab values back.

    Warns
    -----
    UserWarning
        A permeability outside 1e-13 to 1e-1 m/s, or a CR outside 0.005 to 1:
        the usual sign of a unit slip.
    """
    o = "Soil" + (f" {name!r}" if name else "") + " (lab values)"
    sigv0, pc, k, cv, mv, gamma = (to_unit(v, UNITS["lab"][n], o, n) for v, n in (
        (sigv0, "sigv0"), (pc, "pc"), (k, "k"), (cv, "cv"), (mv, "mv"), (gamma, "gamma")))
    tref = to_unit(tref, UNITS["Soil"]["tref"], o, "tref")
    Cc, CR, Cr, RR, Ca, Cae, Ck = (to_unit(v, UNITS["lab"][n], o, n) for v, n in (
        (Cc, "Cc"), (CR, "CR"), (Cr, "Cr"), (RR, "RR"), (Ca, "Ca"), (Cae, "Cae"), (Ck, "Ck")))
    e0 = _number(o, "e0", e0, "void ratio of the sample at sigv0", gt=0.0)
    sigv0 = _number(o, "sigv0", sigv0, "effective stress of e0, kPa", gt=0.0)
    one = 1.0 + e0

    def pick(a: str, va: Any, b: str, vb: Any, factor: float, required: bool,
             default: Optional[float] = None) -> Optional[float]:
        if va is not None and vb is not None:
            raise ParameterError(o, f"{a}/{b}", f"must be given once: {a} or {b}; got both")
        if va is not None:
            return _number(o, a, va, a, ge=0.0)
        if vb is not None:
            return _number(o, b, vb, b, ge=0.0) * factor
        if required:
            raise ParameterError(o, f"{a}/{b}", f"must be given: {a} or {b}")
        return default

    Cc_ = float(pick("Cc", Cc, "CR", CR, one, True))     # type: ignore[arg-type]
    Cr_ = float(pick("Cr", Cr, "RR", RR, one, True))     # type: ignore[arg-type]
    Ca_ = float(pick("Ca", Ca, "Cae", Cae, one, False, 0.0))   # type: ignore[arg-type]
    if pc is not None and ocr is not None:
        raise ParameterError(o, "pc/ocr", "must be given once: pc or ocr; got both")
    if ocr is not None:
        pc_ = _number(o, "ocr", ocr, "overconsolidation ratio of the sample", ge=1.0) * sigv0
    elif pc is not None:
        pc_ = _number(o, "pc", pc, "preconsolidation stress of the sample, kPa", ge=sigv0)
    else:
        pc_ = sigv0
    if k is not None and (cv is not None or mv is not None):
        raise ParameterError(o, "k/cv", "must be given once: k, or cv with mv; got both")
    if k is not None:
        k_ = _number(o, "k", k, "permeability at e0, m/s", gt=0.0)
    elif cv is not None and mv is not None:
        cv_ = _number(o, "cv", cv, "coefficient of consolidation, m^2/day", gt=0.0)
        mv_ = _number(o, "mv", mv, "coefficient of volume compressibility, 1/kPa", gt=0.0)
        k_ = cv_ * mv_ * GAMMA_W_LAB / _SECONDS_PER_DAY
    else:
        raise ParameterError(o, "k/cv", "must be given: the permeability k at e0 (m/s), or cv "
                             "(m^2/day) with mv (1/kPa)")
    check_plausible(o, "k", k_, "k")
    check_plausible(o, "CR", Cc_ / one, "CR")
    if gamma is not None and Gs is not None:
        raise ParameterError(o, "gamma/Gs", "must be given once: gamma or Gs; got both")
    if gamma is not None:
        g = _number(o, "gamma", gamma, "bulk unit weight, kN/m^3", gt=GAMMA_W_LAB)
        Gs_ = g * one / GAMMA_W_LAB - e0
    else:
        Gs_ = 2.7 if Gs is None else Gs
    Ck_ = 0.5 * e0 if Ck is None else Ck
    esigvref = e0 - Cr_ * math.log10(pc_ / sigv0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")     # already checked in the lab's terms
        return Soil(Cc=Cc_, Cr=Cr_, esigvref=esigvref, kref=k_, Ck=Ck_, sigvref=pc_,
                    ekref=e0, Gs=Gs_, Ca=Ca_, tref=tref, name=name, S=S, m=m,
                    kh_ratio=kh_ratio)


def lab_values(soil: Soil, sigv0: float, pc: Optional[float] = None,
               mv: Optional[float] = None) -> dict[str, float]:
    """The laboratory values of `soil` for a sample at effective stress `sigv0`
    (kPa) with preconsolidation stress `pc` (default: normally consolidated):
    e0, CR, RR, Cae, k at e0 (m/s), the bulk unit weight gamma (kN/m^3), and
    with `mv` (1/kPa) the cv (m^2/day) of that compressibility.  The inverse
    of `from_lab`, formula by formula."""
    o = "Soil" + (f" {soil.name!r}" if soil.name else "")
    sigv0 = _number(o, "sigv0", sigv0, "effective stress of the sample, kPa", gt=0.0)
    pc_ = sigv0 if pc is None else _number(o, "pc", pc, "preconsolidation stress, kPa",
                                           ge=sigv0)
    e_pc = soil.esigvref - soil.Cc * math.log10(pc_ / soil.sigvref)
    e0 = e_pc + soil.Cr * math.log10(pc_ / sigv0)
    one = 1.0 + e0
    k = soil.kref * 10.0 ** ((e0 - soil.ekref) / soil.Ck)   # type: ignore[operator]
    out = dict(e0=e0, sigv0=sigv0, pc=pc_, Cc=soil.Cc, CR=soil.Cc / one, Cr=soil.Cr,
               RR=soil.Cr / one, Ca=soil.Ca, Cae=soil.Ca / one, k=k, Ck=soil.Ck, Gs=soil.Gs,
               gamma=unit_weight(soil.Gs, e0))
    if mv is not None:
        out["mv"] = float(mv)
        out["cv"] = k * _SECONDS_PER_DAY / (float(mv) * GAMMA_W_LAB)
    return out


# help(Soil.from_lab) states every formula.
Soil.from_lab.__func__.__doc__ = from_lab.__doc__   # type: ignore[attr-defined]
