"""Numbers with units: "1e-9 m/s", "8.6e-5 m/day", "120 kN/m^2", "6 months".

A parameter of the model may be given as a text or a pint Quantity carrying a
unit; it is converted to the package's own unit of that parameter (kPa, m, days,
m/s, kN/m^3) once, where it is checked.  A bare number is already in the
package's unit and is passed through untouched, so a case written in other
units runs on the same floats as one written in the package's.

The indices of the compression, swelling, creep and permeability lines are
changes per log cycle (a tenfold change of stress, time or permeability): they
may say so, "0.02 / log_cycle" or "0.02 per log_cycle", with the unit
`log_cycle` this module adds to pint's.  It is a dimension of its own, so that
an index given with any other unit is refused rather than read as a number.
"""
from __future__ import annotations

from typing import Any

from .errors import ParameterError

__all__ = ["UNITS", "PER_LOG_CYCLE", "to_unit", "convert_fields"]

#: The unit every dimensioned parameter is held in, by owner and name.
PER_LOG_CYCLE = "1/log_cycle"
UNITS = {
    "Soil": {"kref": "m/s", "sigvref": "kPa", "tref": "day", "Cc": PER_LOG_CYCLE,
             "Cr": PER_LOG_CYCLE, "Ca": PER_LOG_CYCLE, "Ck": PER_LOG_CYCLE},
    "Layer": {"thickness": "m", "pc": "kPa", "pop": "kPa", "pc_top": "kPa",
              "pc_bottom": "kPa"},
    "Profile": {"surcharge": "kPa", "water_level": "m", "base_head": "m"},
    "Stage": {"time": "day", "load": "kPa", "fill": "m", "unit_weight": "kN/m^3",
              "duration": "day", "saturated_unit_weight": "kN/m^3", "water_level": "m",
              "base_head": "m"},
    "Loading": {"end": "day"},
    "lab": {"sigv0": "kPa", "pc": "kPa", "k": "m/s", "cv": "m^2/day", "mv": "1/kPa",
            "gamma": "kN/m^3", "Cc": PER_LOG_CYCLE, "CR": PER_LOG_CYCLE, "Cr": PER_LOG_CYCLE,
            "RR": PER_LOG_CYCLE, "Ca": PER_LOG_CYCLE, "Cae": PER_LOG_CYCLE,
            "Ck": PER_LOG_CYCLE},
    "dates": {"time": "day"},
    "Drains": {"spacing": "m", "diameter": "m", "width": "m", "thickness": "m",
               "discharge_capacity": "m^3/year", "depth": "m", "installed": "day"},
}

_registry: Any = None


def _ureg() -> Any:
    global _registry
    if _registry is None:
        import pint
        _registry = pint.UnitRegistry()
        # a tenfold change of stress, time or permeability, what the indices count in
        _registry.define("log_cycle = [log_cycle]")
    return _registry


def _is_quantity(value: Any) -> bool:
    return hasattr(value, "magnitude") and hasattr(value, "units") and hasattr(value, "to")


def to_unit(value: Any, unit: str, owner: str, name: str) -> Any:
    """`value` in `unit` as a float when it is a text or a Quantity with a unit;
    anything else unchanged (the checks that follow judge it).  ParameterError
    naming the parameter for a text that is no quantity or a wrong dimension."""
    if not isinstance(value, str) and not _is_quantity(value):
        return value
    ureg = _ureg()
    if isinstance(value, str):
        try:
            q = ureg.Quantity(value.strip())
        except Exception:
            raise ParameterError(owner, name, f"must be a number, or a number with a unit of "
                                 f"{unit}; got {value!r}") from None
    else:
        q = ureg.Quantity(value.magnitude, str(value.units))
    if isinstance(q, (int, float)) or q.dimensionless and not ureg.Quantity(1, unit).dimensionless:
        raise ParameterError(owner, name, f"must be a number, or a number with a unit of "
                             f"{unit}; got {value!r} (no unit)")
    try:
        return float(q.to(unit).magnitude)
    except Exception:
        raise ParameterError(owner, name, f"must be a number, or a number with a unit of "
                             f"{unit}; got {value!r} (a unit of "
                             f"{q.dimensionality})") from None


def convert_fields(obj: Any, owner: str, kind: str) -> None:
    """Convert the dimensioned fields of a frozen value in place."""
    for name, unit in UNITS[kind].items():
        value = getattr(obj, name)
        if value is not None:
            object.__setattr__(obj, name, to_unit(value, unit, owner, name))
