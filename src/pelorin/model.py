"""The soil profile and the loading of a consolidation analysis.

Four small immutable values describe a case: a `Soil` (the material), a
`Layer` (a thickness of one soil with its stress history), a `Profile`
(layers from the top down, drainage, surcharge) and a `Loading` (stages in
time).  Each one checks itself when it is made, so a mistake is reported
where it is written, naming the parameter, what is wrong and what is
expected.  They are frozen dataclasses: copy one with a changed parameter
with ``dataclasses.replace(soil, Cc=0.6)`` (the copy is checked again); they
pickle, so they can be shipped to worker processes.

Units throughout: kPa, m, days; permeability in m/s; unit weights in kN/m^3.
A dimensioned parameter may also be a text or a pint Quantity with its unit
("1e-9 m/s", "8.6e-5 m/day", "100 kN/m^2", "6 months"): it is converted to
these units where it is checked.
"""
from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field, fields
from numbers import Real
from typing import Any, Mapping, Optional, Sequence

import numpy as np

from ._units import convert_fields
from .drains import Drains, check_drains
from .errors import ParameterError

__all__ = ["ParameterError", "Soil", "Layer", "Profile", "Stage", "Loading", "DRAINAGE",
           "SOIL_PARAMETERS", "LAYER_PARAMETERS"]

# The drainage of a column: the profile's word, the engine's code, how a run's
# Dataset describes it and how a summary says where the column drains.
_DRAINAGES = (("both", 0, "both ends drained", "at top and bottom"),
              ("top", 1, "top drained, bottom sealed", "at the top only"),
              ("bottom", 2, "top sealed, bottom drained", "at the bottom only"))
#: The drainage words of a profile and the engine's codes for them.
DRAINAGE = {word: code for word, code, _, _ in _DRAINAGES}
#: A run's description of each drainage code.
DRAINAGE_CODES = {code: text for _, code, text, _ in _DRAINAGES}
#: Where a profile drains, in words, by its drainage word.
DRAINAGE_WORDS = {word: words for word, _, _, words in _DRAINAGES}


def _describe(value: Any) -> str:
    return f"{value!r} (a {type(value).__name__})" if not isinstance(value, Real) else repr(value)


def _number(owner: str, name: str, value: Any, meaning: str, *, gt: float | None = None,
            ge: float | None = None, lt: float | None = None, le: float | None = None,
            lt_name: str | None = None, most: float | None = None) -> float:
    """`value` as a float, or ParameterError saying which bound it breaks; `most`, a
    bound on its size beyond which no analysis can follow it, is said on its own."""
    if isinstance(value, bool) or not isinstance(value, Real):
        raise ParameterError(owner, name, f"must be a number ({meaning}); got {_describe(value)}")
    x = float(value)
    bounds = []
    if gt is not None:
        bounds.append(f"greater than {gt:g}")
    if ge is not None:
        bounds.append(f"at least {ge:g}")
    if lt is not None:
        bounds.append(f"less than {lt_name or f'{lt:g}'}")
    if le is not None:
        bounds.append(f"at most {le:g}")
    ok = (math.isfinite(x) and (gt is None or x > gt) and (ge is None or x >= ge)
          and (lt is None or x < lt) and (le is None or x <= le))
    if not ok:
        expected = " and ".join(bounds) if bounds else "a finite number"
        raise ParameterError(owner, name, f"must be {expected} ({meaning}); got {value!r}")
    if most is not None and abs(x) > most:
        size = f"at most {most:g}" if (gt is not None and gt >= 0) or (ge is not None and ge >= 0) \
            else f"between {-most:g} and {most:g}"
        raise ParameterError(owner, name, f"must be {size} ({meaning}); got {value!r}")
    return x


# Plausible ranges: outside them a value is almost always a unit slip
# (a permeability in m/day or cm/s entered as m/s, Cc entered for CR).
_K_RANGE = (1e-13, 1e-1)
_CR_RANGE = (0.005, 1.0)


def check_plausible(owner: str, name: str, value: float, kind: str) -> None:
    """Warn (UserWarning naming the parameter) when `value` lies outside the
    usual range of a permeability in m/s ('k') or of a compression ratio
    Cc/(1 + e) ('CR')."""
    low, high = _K_RANGE if kind == "k" else _CR_RANGE
    if not low <= value <= high:
        what = ("a permeability in m/s" if kind == "k"
                else "a compression ratio Cc/(1 + e)")
        warnings.warn(f"{owner}: {name} = {value:g} is outside {low:g} to {high:g}, the usual "
                      f"range of {what}: check its unit", UserWarning, stacklevel=4)


def _items(obj: Any, owner: str, name: str, cls: type, what: str) -> tuple:
    """The field `name` of a frozen value as a non-empty tuple of `cls` (a single one
    accepted), stored back."""
    value = getattr(obj, name)
    if isinstance(value, cls):
        value = (value,)
    try:
        items = tuple(value)
    except TypeError:
        raise ParameterError(owner, name, f"must be {what}; got {_describe(value)}") from None
    if not items:
        raise ParameterError(owner, name, f"must hold at least one {cls.__name__}; got none")
    for i, item in enumerate(items):
        if not isinstance(item, cls):
            raise ParameterError(owner, f"{name}[{i}]",
                                 f"must be a {cls.__name__}; got {_describe(item)}")
    _set(obj, name, items)
    return items


def _set(obj: Any, name: str, value: Any) -> None:
    object.__setattr__(obj, name, value)


# Bounds of what an analysis can follow: stage times and its end within 10 million days
# (27 000 years) and a stage after the first at least a tenth of a second in; loads up to
# 100 MPa (far beyond any fill), so that every time and stress stays a number the time
# grid and the engine can use.
MAX_DAYS = 1e7
MIN_DAYS = 1e-6
MAX_LOAD = 1e5
MAX_HEAD = 1e4      # m of water: 100 MPa


@dataclass(frozen=True)
class Soil:
    """A soil: compressibility, permeability and creep.

    The void ratio follows the normal compression line
    ``e = esigvref - Cc*log10(s/sigvref)`` at effective stresses ``s`` above
    the preconsolidation stress, and lines of slope `Cr` below it; the
    permeability is ``k = kref*10**((e - ekref)/Ck)``.

    Parameters
    ----------
    Cc : float
        Compression index (void-ratio change per log cycle of stress on the
        normal compression line), > 0.
    Cr : float
        Recompression / swelling index, > 0 and at most `Cc`.
    esigvref : float
        Void ratio on the normal compression line at `sigvref`, > 0.
    kref : float
        Permeability at void ratio `ekref`, in m/s (0 < kref <= 1).
    Ck : float
        Void-ratio change per tenfold change of permeability, > 0.
    sigvref : float, default 100
        Reference effective stress of `esigvref`, kPa.
    ekref : float, optional
        Void ratio at which the permeability is `kref`; `esigvref` when not
        given.
    Gs : float, default 2.7
        Specific gravity of the solids, between 1 and 5.
    Ca : float, default 0
        Secondary compression index per log cycle of time; 0 turns creep
        off.  Below ``Cc - Cr``.  Like `Cc`, `Cr` and `Ck` it may carry its
        unit: ``"0.02 / log_cycle"``.
    tref : float, default 1
        Reference time of secondary compression (the age of the normal
        compression line), days, > 0.
    name : str, default ""
        A label for tables and plots.
    S, m : float, optional
        The undrained strength ratio and exponent of ``su = S*sigv*OCR**m``
        (Ladd & Foott 1974, J. Geotech. Eng. Div. ASCE 100(GT7): 763-786):
        given together, S > 0 and 0 <= m <= 1.  A run then reports su over
        depth and time and its gain at every stage start.
    kh_ratio : float, default 1
        Horizontal over vertical permeability: the radial flow into vertical
        drains (`Profile(drains=...)`) takes ``kh = kh_ratio*k(e)``.

    Examples
    --------
    >>> clay = Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, Ck=1.1, Ca=0.027)
    >>> import dataclasses
    >>> stiffer = dataclasses.replace(clay, Cc=0.6)
    """

    Cc: float
    Cr: float
    esigvref: float
    kref: float
    Ck: float
    sigvref: float = 100.0
    ekref: Optional[float] = None
    Gs: float = 2.7
    Ca: float = 0.0
    tref: float = 1.0
    name: str = ""
    S: Optional[float] = None
    m: Optional[float] = None
    kh_ratio: float = 1.0

    def __post_init__(self) -> None:
        o = "Soil" + (f" {self.name!r}" if self.name else "")
        if not isinstance(self.name, str):
            raise ParameterError("Soil", "name", f"must be a text label; got {_describe(self.name)}")
        convert_fields(self, o, "Soil")
        _set(self, "Cc", _number(o, "Cc", self.Cc, "compression index", gt=0.0, most=50.0))
        _set(self, "Cr", _number(o, "Cr", self.Cr, "recompression index", gt=0.0))
        if self.Cr >= self.Cc:
            raise ParameterError(o, "Cr", f"must be less than Cc = {self.Cc:g} (recompression "
                                 f"is stiffer than virgin compression); got {self.Cr:g}")
        _set(self, "esigvref", _number(o, "esigvref", self.esigvref,
                                       "void ratio on the normal compression line at sigvref",
                                       gt=0.0, most=50.0))
        _set(self, "sigvref", _number(o, "sigvref", self.sigvref,
                                      "reference effective stress, kPa", gt=0.0))
        _set(self, "kref", _number(o, "kref", self.kref, "permeability at ekref, m/s",
                                   gt=0.0, le=1.0))
        ekref = self.esigvref if self.ekref is None else self.ekref
        _set(self, "ekref", _number(o, "ekref", ekref, "void ratio of kref", gt=0.0))
        _set(self, "Ck", _number(o, "Ck", self.Ck,
                                 "void-ratio change per tenfold change of permeability",
                                 gt=0.0, most=100.0))
        if self.Ck < 1e-3:
            raise ParameterError(o, "Ck", f"must be at least 0.001 (void-ratio change per "
                                 f"tenfold change of permeability); got {self.Ck!r}")
        _set(self, "Gs", _number(o, "Gs", self.Gs, "specific gravity of the solids, "
                                 "typically 2.6 to 2.8", gt=1.0, le=5.0))
        _set(self, "tref", _number(o, "tref", self.tref,
                                   "reference time of secondary compression, days", gt=0.0))
        _set(self, "Ca", _number(o, "Ca", self.Ca, "secondary compression index, 0 for no "
                                 "creep", ge=0.0, lt=self.Cc - self.Cr,
                                 lt_name=f"Cc - Cr = {self.Cc - self.Cr:g}"))
        if (self.S is None) != (self.m is None):
            missing = "m" if self.m is None else "S"
            raise ParameterError(o, missing, "must be given with "
                                 f"{'S' if missing == 'm' else 'm'} (su = S*sigv*OCR**m)")
        if self.S is not None:
            _set(self, "S", _number(o, "S", self.S, "undrained strength ratio of su = "
                                    "S*sigv*OCR**m", gt=0.0))
            _set(self, "m", _number(o, "m", self.m, "exponent of su = S*sigv*OCR**m",
                                    ge=0.0, le=1.0))
        _set(self, "kh_ratio", _number(o, "kh_ratio", self.kh_ratio, "horizontal over "
                                       "vertical permeability, for drains", gt=0.0,
                                       most=1e4))
        check_plausible(o, "kref", self.kref, "k")
        check_plausible(o, "Cc", self.Cc / (1.0 + self.esigvref), "CR")

    @classmethod
    def from_lab(cls, **values: Any) -> "Soil":
        """A Soil from the values of a laboratory report (e0 at sigv0, Cc or
        CR, Cr or RR, pc or ocr, Ca or Cae, k or cv with mv, gamma or Gs);
        see help(pelorin.Soil.from_lab) for every formula."""
        from ._lab import from_lab
        return from_lab(**values)

    def lab_values(self, sigv0: float, pc: Optional[float] = None,
                   mv: Optional[float] = None) -> dict:
        """The laboratory values of this soil for a sample at effective stress
        `sigv0` (kPa) with preconsolidation stress `pc` (default sigv0): e0,
        CR, RR, Cae, k at e0 (m/s), the bulk unit weight gamma (kN/m^3), and
        cv (m^2/day) when `mv` (1/kPa) is given.  The inverse of `from_lab`."""
        from ._lab import lab_values
        return lab_values(self, sigv0, pc, mv)

    def unit_weight(self, e: float) -> float:
        """Bulk (saturated) unit weight at void ratio `e`, kN/m^3:
        ``(Gs + e)*gammaw/(1 + e)``."""
        from ._lab import unit_weight
        return unit_weight(self.Gs, e)


@dataclass(frozen=True)
class Layer:
    """A thickness of one soil with its stress history.

    Give exactly one of `ocr`, `pc`, `e0`, `pop`, or `pc_top` with
    `pc_bottom`.

    Parameters
    ----------
    soil : Soil
        The material.
    thickness : float
        Thickness, m, > 0.
    ocr : float, optional
        Overconsolidation ratio (preconsolidation over present effective
        stress), at least 1, the same at every depth of the layer.
    pc : float, optional
        Preconsolidation stress, kPa, the same at every depth of the layer;
        at least the initial effective stress at the layer's base.
    e0 : float, optional
        Initial void ratio, the same at every depth of the layer; on or
        below the normal compression line.
    elements : int, optional
        Number of elements in the layer; by default the layers share about
        60 elements in proportion to their thickness, at least 4 each.
    name : str, optional
        A label for tables and plots; the soil's name by default.
    pop : float, optional
        Pre-overburden pressure, kPa, >= 0: the preconsolidation stress of
        every element is its initial effective stress plus `pop` (a
        desiccated or eroded crust).
    pc_top, pc_bottom : float, optional
        Preconsolidation stress at the top and at the base of the layer,
        kPa, given together: linear with depth in between, read at every
        element's centre; at least the initial effective stress there.
    """

    soil: Soil
    thickness: float
    ocr: Optional[float] = None
    pc: Optional[float] = None
    e0: Optional[float] = None
    elements: Optional[int] = None
    name: str = ""
    pop: Optional[float] = None
    pc_top: Optional[float] = None
    pc_bottom: Optional[float] = None

    def __post_init__(self) -> None:
        o = "Layer" + (f" {self.name!r}" if self.name else "")
        if not isinstance(self.soil, Soil):
            raise ParameterError(o, "soil", f"must be a Soil; got {_describe(self.soil)}")
        convert_fields(self, o, "Layer")
        if not isinstance(self.name, str):
            raise ParameterError(o, "name", f"must be a text label; got {_describe(self.name)}")
        if not self.name and self.soil.name:
            _set(self, "name", self.soil.name)
        _set(self, "thickness", _number(o, "thickness", self.thickness, "m", gt=0.0,
                                        most=1e4))
        if self.thickness < 1e-6:
            raise ParameterError(o, "thickness", f"must be at least 1e-06 (m); got "
                                 f"{self.thickness!r}")
        given = [k for k in ("ocr", "pc", "e0", "pop") if getattr(self, k) is not None]
        linear = [k for k in ("pc_top", "pc_bottom") if getattr(self, k) is not None]
        if len(linear) == 1:
            other = "pc_bottom" if linear[0] == "pc_top" else "pc_top"
            raise ParameterError(o, other, f"must be given with {linear[0]} (the "
                                 "preconsolidation stress at the top and at the base of the "
                                 "layer, kPa)")
        if linear:
            given.append("pc_top/pc_bottom")
        if len(given) != 1:
            got = ", ".join(given) if given else "none"
            raise ParameterError(o, "ocr/pc/e0", "must be given exactly once: the stress history "
                                 "as an overconsolidation ratio (ocr), a preconsolidation stress "
                                 "in kPa (pc), an initial void ratio (e0), a pre-overburden "
                                 "pressure in kPa (pop) or a preconsolidation stress linear "
                                 f"with depth (pc_top and pc_bottom, kPa); got {got}")
        meaning = {"ocr": "overconsolidation ratio", "pc": "preconsolidation stress, kPa",
                   "e0": "initial void ratio", "pop": "pre-overburden pressure, kPa",
                   "pc_top": "preconsolidation stress at the top of the layer, kPa",
                   "pc_bottom": "preconsolidation stress at the base of the layer, kPa"}
        for key in (linear or given):
            if key == "ocr":
                value = _number(o, key, self.ocr, meaning[key], ge=1.0)
            elif key == "pop":
                value = _number(o, key, self.pop, meaning[key], ge=0.0)
            else:
                value = _number(o, key, getattr(self, key), meaning[key], gt=0.0)
            _set(self, key, value)
        if self.elements is not None:
            if isinstance(self.elements, bool) or not isinstance(self.elements, int) \
                    or self.elements < 1:
                raise ParameterError(o, "elements", "must be a whole number of at least 1 "
                                     f"(elements in the layer); got {_describe(self.elements)}")

    @property
    def history(self) -> tuple[str, Any]:
        """The stress history as given: ("ocr" | "pc" | "e0" | "pop", value), or
        ("pc_top/pc_bottom", (top, bottom))."""
        for key in ("ocr", "pc", "e0", "pop"):
            value = getattr(self, key)
            if value is not None:
                return key, value
        if self.pc_top is not None:
            return "pc_top/pc_bottom", (self.pc_top, self.pc_bottom)
        raise AssertionError("a checked layer has a stress history")


@dataclass(frozen=True)
class Profile:
    """Layers of soil from the top down, their drainage and the surcharge.

    Parameters
    ----------
    layers : sequence of Layer
        From the top down; at least one.
    surcharge : float
        Effective stress already acting at the top before the loading (a
        sand blanket or working platform), kPa, > 0.
    drainage : {"both", "top", "bottom"}, default "both"
        Which boundaries drain.
    drains : Drains, optional
        Prefabricated vertical drains installed in the profile: radial flow
        into them next to the vertical flow (`pelorin.Drains`).
    water_level : float, default 0
        The groundwater level (or free water) above the top of the profile at
        the start, m, >= 0.  Free water has no effect on the effective
        stresses; the level decides how much of a fill lies below the water
        (submergence).  A water table inside an overlying stratum that is not
        modelled (below the top of the profile's soils but above the
        surcharge's) is not a level here: its change acts as a `load`.
    base_head : float, default 0
        The head in the aquifer below the profile at the start, m of water
        above hydrostatic at the base (positive: artesian, negative: drawn
        down); only for a profile drained at the bottom.  The initial state
        is then the steady seepage between the top and the base (pore
        pressure piecewise linear by each layer's resistance), and the
        initial effective stress is the submerged weight above less that
        seepage pressure: the stress history (``ocr``, ``pop``) is given
        against it.
    """

    layers: Sequence[Layer]
    surcharge: float
    drainage: str = "both"
    drains: Optional[Drains] = None
    water_level: float = 0.0
    base_head: float = 0.0

    def __post_init__(self) -> None:
        layers = _items(self, "Profile", "layers", Layer, "a list of Layer from the top down")
        convert_fields(self, "Profile", "Profile")
        _set(self, "surcharge", _number("Profile", "surcharge", self.surcharge,
                                        "effective stress at the top, kPa", gt=0.0))
        if self.drainage not in DRAINAGE:
            raise ParameterError("Profile", "drainage", "must be one of \"both\", \"top\", "
                                 f"\"bottom\"; got {self.drainage!r}")
        check_drains(self.drains, self.thickness)
        _set(self, "water_level", _water_level("Profile", self.water_level))
        _set(self, "base_head", _number("Profile", "base_head", self.base_head,
                                        "head in the aquifer below, m of water above "
                                        "hydrostatic at the base", most=MAX_HEAD))
        if self.base_head != 0.0 and self.drainage == "top":
            raise ParameterError("Profile", "base_head", "needs a profile drained at the "
                                 "bottom (drainage \"both\" or \"bottom\"): a sealed base "
                                 f"holds no head of an aquifer; got {self.base_head:g}")

    @property
    def thickness(self) -> float:
        """Total thickness of the layers, m."""
        return float(sum(layer.thickness for layer in self.layers))

    @property
    def creep(self) -> bool:
        """Whether any layer creeps (Ca > 0)."""
        return any(layer.soil.Ca > 0.0 for layer in self.layers)


def _water_level(owner: str, value: Any) -> float:
    level = _number(owner, "water_level", value, "m above the top of the profile", most=1000.0)
    if level < 0.0:
        raise ParameterError(owner, "water_level", "must be at least 0 (m above the top of "
                             "the profile): a water table below it lies in a stratum above "
                             "the profile that is not modelled; give the effect of lowering "
                             f"it as a load (kPa); got {level:g}")
    return level


@dataclass(frozen=True)
class Stage:
    """A stage: from `time` on, a total `load` or a `fill` placed, and/or a change
    of the groundwater (`water_level`, `base_head`), at once or over `duration`.

    Parameters
    ----------
    time : float
        Start of the stage, days since the start of the analysis, >= 0.
    load : float, optional
        The total load on the surface from this time on, kPa (on top of the
        profile's surcharge).  A smaller load than before unloads.  It takes
        the place of the fills of the stages before (they are removed).  A
        load in kPa is never submerged.
    fill : float, optional
        Thickness of fill placed at this time, m (negative: removed from the
        top); it adds ``fill * unit_weight`` to the load before the stage.
    unit_weight : float, default 20
        Unit weight of the fill, kN/m^3, > 0.
    duration : float, default 0
        Days over which the stage's change is made, at a constant rate from
        `time` (0: at once).  Another stage may start while it lasts when it
        changes something else (a fill while the base head is drawn down),
        not when it changes the same (ParameterError naming the stage).
    saturated_unit_weight : float, optional
        Unit weight of the fill below the water, kN/m^3, at least
        `unit_weight` (its default).  The part of a fill below the water
        level weighs ``saturated_unit_weight - gammaw`` on the soil: as the
        fill settles into the water the load falls.
    submerged : bool, default True
        Whether the fill submerges; False keeps its whole weight
        ``fill * unit_weight`` as a load in kPa, as if the water stayed
        below it.
    water_level : float, optional
        The water level above the top of the profile reached by the stage,
        m, >= 0 (see `Profile`).  Free water does not change the effective
        stress: its change raises the pore pressure at a drained top and the
        total stress alike by ``gammaw * change``; it decides how much of a
        fill lies below the water.
    base_head : float, optional
        The head in the aquifer below the profile reached by the stage, m of
        water above hydrostatic at the base under the water level (negative:
        drawn down by pumping); only for a profile drained at the bottom.
    """

    time: float
    load: Optional[float] = None
    fill: Optional[float] = None
    unit_weight: float = 20.0
    duration: float = 0.0
    saturated_unit_weight: Optional[float] = None
    submerged: bool = True
    water_level: Optional[float] = None
    base_head: Optional[float] = None

    def __post_init__(self) -> None:
        convert_fields(self, "Stage", "Stage")
        _set(self, "time", _number("Stage", "time", self.time, "start of the stage, days",
                                   ge=0.0, most=MAX_DAYS))
        if 0.0 < self.time < MIN_DAYS:
            raise ParameterError("Stage", "time", f"must be 0 or at least {MIN_DAYS:g} days "
                                 f"(start of the stage); got {self.time!r}")
        heads = self.water_level is not None or self.base_head is not None
        if self.load is not None and self.fill is not None or \
                self.load is None and self.fill is None and not heads:
            raise ParameterError("Stage", "load/fill", "must be given exactly once: the total "
                                 "load from this time on in kPa (load), or the thickness of "
                                 "fill placed in m (fill); or neither for a stage that only "
                                 "changes the water_level or the base_head")
        if self.load is not None:
            _set(self, "load", _number("Stage", "load", self.load, "total load from this "
                                       "time on, kPa", most=MAX_LOAD))
        elif self.fill is not None:
            _set(self, "fill", _number("Stage", "fill", self.fill,
                                       "thickness of fill placed, m; negative removes",
                                       most=1000.0))
        _set(self, "unit_weight", _number("Stage", "unit_weight", self.unit_weight,
                                          "unit weight of the fill, kN/m^3", gt=0.0, most=100.0))
        _set(self, "duration", _number("Stage", "duration", self.duration, "days over which "
                                       "the stage's change is made, 0 at once", ge=0.0,
                                       most=MAX_DAYS))
        if 0.0 < self.duration < MIN_DAYS:
            raise ParameterError("Stage", "duration", f"must be 0 or at least {MIN_DAYS:g} "
                                 f"days; got {self.duration!r}")
        if self.saturated_unit_weight is None:
            _set(self, "saturated_unit_weight", self.unit_weight)
        else:
            _set(self, "saturated_unit_weight", _number(
                "Stage", "saturated_unit_weight", self.saturated_unit_weight,
                "unit weight of the fill below the water, kN/m^3", gt=0.0, most=100.0))
            if self.saturated_unit_weight < self.unit_weight:
                raise ParameterError("Stage", "saturated_unit_weight", "must be at least the "
                                     f"unit_weight ({self.unit_weight:g} kN/m^3): below the "
                                     "water the fill's pores fill with water; got "
                                     f"{self.saturated_unit_weight:g}")
        if not isinstance(self.submerged, (bool, np.bool_)):
            raise ParameterError("Stage", "submerged", "must be True or False (whether the "
                                 f"fill submerges); got {_describe(self.submerged)}")
        _set(self, "submerged", bool(self.submerged))
        if self.water_level is not None:
            _set(self, "water_level", _water_level("Stage", self.water_level))
        if self.base_head is not None:
            _set(self, "base_head", _number("Stage", "base_head", self.base_head,
                                            "head in the aquifer below, m of water above "
                                            "hydrostatic at the base", most=MAX_HEAD))

    @property
    def surface(self) -> bool:
        """Whether the stage changes the load on the surface (a load or a fill)."""
        return self.load is not None or self.fill is not None

    @property
    def end(self) -> float:
        """When the stage's change is complete, days."""
        return self.time + self.duration

    def changes(self) -> tuple[str, ...]:
        """What the stage changes: "surface", "water_level", "base_head"."""
        return tuple(name for name, given in (("surface", self.surface),
                                              ("water_level", self.water_level is not None),
                                              ("base_head", self.base_head is not None))
                     if given)


_CHANGED = {"surface": "the load on the surface", "water_level": "the water level",
            "base_head": "the base head"}


@dataclass(frozen=True)
class Loading:
    """Load stages in time order, followed to `end`.

    Parameters
    ----------
    stages : sequence of Stage
        In increasing order of time; at least one.  Before the first stage
        the load is 0.  A stage may start while another makes its change
        over a duration only when the two change different things (the load
        on the surface, the water level, the base head).
    end : float, optional
        The last time of the analysis, days, after the last stage.  By
        default `simulate` picks one from the consolidation time of the
        profile.
    dates : mapping of str to float, optional
        Named dates of the design report in days (or with a unit, "30
        years"), e.g. ``{"end of construction": 400, "opening": 450,
        "design life": 36500}``: what `simulate`'s `report_times` gives
        (the settlement and degrees of consolidation at each date, the
        residual settlement to the design life), held with the loading.
        Given to both, they must agree.  Kept in time order.

    Examples
    --------
    A fill raised in two stages and partly removed:

    >>> Loading([Stage(0, fill=2.5), Stage(365, fill=2.5), Stage(1825, fill=-1.0)], end=20000)

    Placed at 0.75 m a month, then the aquifer below drawn down 5 m over ten years:

    >>> staged = Loading([Stage(0, fill=2.5, duration=100), Stage(365, fill=2.5, duration=100),
    ...                   Stage(400, base_head=-5.0, duration=3652.5)], end=20000)
    """

    stages: Sequence[Stage]
    end: Optional[float] = None
    dates: Optional[Mapping[str, float]] = field(default=None, hash=False)

    def __post_init__(self) -> None:
        stages = _items(self, "Loading", "stages", Stage, "a list of Stage in time order")
        convert_fields(self, "Loading", "Loading")
        for i, stage in enumerate(stages):
            if i and stage.time <= stages[i - 1].time:
                raise ParameterError("Loading", f"stages[{i}].time", "must be later than the "
                                     f"stage before it ({stages[i - 1].time:g} days); got "
                                     f"{stage.time:g}", index=i, key="time")
        busy: dict[str, int] = {}      # what is changing: the stage changing it
        for i, stage in enumerate(stages):
            for what in stage.changes():
                j = busy.get(what)
                if j is not None and stage.time < stages[j].end:
                    raise ParameterError(
                        "Loading", f"stages[{i}].time", f"must not start before stage {j + 1} "
                        f"has made its change of {_CHANGED[what]} ({stages[j].end:g} days, "
                        f"{stages[j].time:g} plus its duration): two changes of the same at "
                        f"once are not defined; got {stage.time:g}", index=i, key="time")
                busy[what] = i
        _set(self, "stages", stages)
        if self.end is not None:
            _set(self, "end", _number("Loading", "end", self.end, "last time of the analysis, "
                                      "days, after the last stage", gt=stages[-1].time,
                                      most=MAX_DAYS))
            least = stages[-1].time + max(MIN_DAYS, stages[-1].time * 1e-9)
            if self.end < least:
                raise ParameterError("Loading", "end", f"must be at least {least:g} days (after "
                                     f"the last stage); got {self.end!r}")
        if self.dates is not None:
            from ._quantities import check_dates
            dates = check_dates(self.dates, "Loading", "dates")
            last = max(dates, key=dates.__getitem__)   # type: ignore[union-attr]
            if self.end is not None and dates[last] > self.end * (1 + 1e-12):  # type: ignore[index]
                raise ParameterError("Loading", "dates", f"{last!r} ({dates[last]:g} days) "  # type: ignore[index]
                                     f"is after the end of the analysis ({self.end:g} days)")
            _set(self, "dates", dates)
        if max(abs(q) for q in self.loads) > MAX_LOAD:
            raise ParameterError("Loading", "stages", f"must not load the surface with more "
                                 f"than {MAX_LOAD:g} kPa in total; the fills reach "
                                 f"{max(self.loads, key=abs):g}")

    @property
    def loads(self) -> tuple[float, ...]:
        """The total load acting during each stage, kPa."""
        out: list[float] = []
        for stage in self.stages:
            before = out[-1] if out else 0.0
            if stage.load is not None:
                out.append(stage.load)
            elif stage.fill is not None:
                out.append(before + float(stage.fill) * stage.unit_weight)
            else:
                out.append(before)
        return tuple(out)

    @property
    def heads(self) -> bool:
        """Whether a stage changes the groundwater (water level or base head)."""
        return any(s.water_level is not None or s.base_head is not None for s in self.stages)

    @property
    def times(self) -> tuple[float, ...]:
        """The start times of the stages, days."""
        return tuple(stage.time for stage in self.stages)


def field_names(cls: type) -> list[str]:
    """The parameters of one of the model's classes, in order."""
    return [f.name for f in fields(cls)]


#: The numeric parameters of a Soil, in order.
SOIL_PARAMETERS = tuple(name for name in field_names(Soil) if name not in ("name", "S", "m"))
#: The parameters of a Layer a value can be given for, besides its soil's.
LAYER_PARAMETERS = ("thickness", "ocr", "pc", "e0", "pop", "pc_top", "pc_bottom")
