"""Numbers with units: "1e-9 m/s", "8.6e-5 m/day", "120 kN/m^2", "6 months".

A parameter of the model may be given as a text or a pint Quantity carrying a
unit; it is converted to the package's own unit of that parameter (kPa, m, days,
m/s, kN/m^3) once, where it is checked.  A bare number is already in the
package's unit and is passed through untouched, so a case written in other
units runs on the same floats as one written in the package's.
"""
from __future__ import annotations

from typing import Any

from .errors import ParameterError

__all__ = ["UNITS", "to_unit", "convert_fields"]

#: The unit every dimensioned parameter is held in, by owner and name.
UNITS = {
    "Soil": {"kref": "m/s", "sigvref": "kPa", "tref": "day"},
    "Layer": {"thickness": "m", "pc": "kPa", "pop": "kPa", "pc_top": "kPa",
              "pc_bottom": "kPa"},
    "Profile": {"surcharge": "kPa"},
    "Stage": {"time": "day", "load": "kPa", "fill": "m", "unit_weight": "kN/m^3"},
    "Loading": {"end": "day"},
    "lab": {"sigv0": "kPa", "pc": "kPa", "k": "m/s", "cv": "m^2/day", "mv": "1/kPa",
            "gamma": "kN/m^3"},
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
