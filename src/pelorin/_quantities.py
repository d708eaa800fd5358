"""What a design report states beyond the histories: settlement and degree of
consolidation at named dates, the residual settlement from each date to the design
life, and the undrained strength the clay gains as it consolidates.

The dates are output times of the run (they are added to the grid), so every value
at a date is a value of the histories, not an interpolation.
"""
from __future__ import annotations

import math
from typing import Any, Mapping, Optional

import numpy as np
import xarray as xr

from ._units import to_unit
from .errors import ParameterError
from .model import Profile

__all__ = ["DESIGN_LIFE", "check_dates", "add_dates", "add_strength"]

#: The date the residual settlement runs to, when the dates name it; else the last.
DESIGN_LIFE = "design life"


def check_dates(dates: Any, caller: str = "simulate",
                name: str = "report_times") -> Optional[dict[str, float]]:
    """`dates` as {label: time in days > 0}, in time order; ParameterError naming
    `caller` and `name` otherwise."""
    if dates is None:
        return None
    if not isinstance(dates, Mapping) or not dates:
        raise ParameterError(caller, name, "must be a mapping of labels to times "
                             "in days, e.g. {\"end of construction\": 400, \"design life\": "
                             f"36500}}; got {dates!r}")
    out = {}
    for label, t in dates.items():
        if not isinstance(label, str) or not label:
            raise ParameterError(caller, name, f"labels must be text; got {label!r}")
        t = to_unit(t, "day", caller, name)
        if isinstance(t, bool) or not isinstance(t, (int, float)) or not math.isfinite(t) \
                or t <= 0:
            raise ParameterError(caller, name, f"{label!r} must be a time in days "
                                 f"greater than 0; got {t!r}")
        out[label] = float(t)
    return dict(sorted(out.items(), key=lambda item: item[1]))


def _design_life(dates: Mapping[str, float]) -> str:
    return DESIGN_LIFE if DESIGN_LIFE in dates else max(dates, key=dates.__getitem__)


def add_dates(ds: xr.Dataset, dates: Mapping[str, float]) -> None:
    """Add the quantities at each date to `ds`: settlement (and net of the
    background), both degrees of consolidation, and the residual settlement
    from the date to the design life, s(design life) - s(date)."""
    time = ds["time"].values
    index = []
    for label, t in dates.items():
        j = int(np.argmin(np.abs(time - t)))
        if not math.isclose(time[j], t, rel_tol=1e-12):
            raise ParameterError("simulate", "report_times", f"{label!r} ({t:g} days) is not "
                                 f"within the analysis (to {time[-1]:g} days)")
        index.append(j)
    idx = np.array(index)
    life = list(dates).index(_design_life(dates))
    labels = np.array(list(dates), dtype=object)
    coords = {"date": xr.Variable("date", labels, attrs={"long_name": "report date"})}
    new = {"date_time": (("date",), time[idx]),
           "date_load": (("date",), ds["load"].values[idx])}
    for key in ("settlement", "settlement_net", "U_pore", "U_settlement"):
        if key in ds:
            new[f"{key}_at_date"] = (("date",), ds[key].values[idx])
    for key in ("settlement", "settlement_net"):
        if key in ds:
            s = ds[key].values[idx]
            new[f"residual_{key}"] = (("date",), s[life] - s)
    ds.coords.update(coords)
    for key, (dims, values) in new.items():
        ds[key] = xr.Variable(dims, values, attrs=_LABELS[key])
    ds.attrs["design_life"] = str(labels[life])


_LABELS = {
    "date_time": dict(units="day", long_name="time of the report date"),
    "date_load": dict(units="kPa", long_name="load acting at the report date"),
    "settlement_at_date": dict(units="m", long_name="settlement of the surface at the date"),
    "settlement_net_at_date": dict(units="m", long_name="settlement caused by the load at "
                                   "the date (net of background creep)"),
    "U_pore_at_date": dict(units="1", long_name="degree of consolidation of the current "
                           "stage from excess pore pressure at the date"),
    "U_settlement_at_date": dict(units="1", long_name="degree of consolidation of the "
                                 "current stage from settlement at the date"),
    "residual_settlement": dict(units="m", long_name="residual settlement from the date to "
                                "the design life"),
    "residual_settlement_net": dict(units="m", long_name="residual settlement caused by the "
                                    "load from the date to the design life"),
    "su": dict(units="kPa", long_name="undrained shear strength at the element centre, "
               "su = S*sigv*OCR**m"),
    "su_stage": dict(units="kPa", long_name="undrained shear strength at the stage start"),
    "su_gain": dict(units="kPa", long_name="gain of undrained shear strength from the start "
                    "of the analysis to the stage start"),
    "su_S": dict(units="1", long_name="undrained strength ratio S of su = S*sigv*OCR**m"),
    "su_m": dict(units="1", long_name="exponent m of su = S*sigv*OCR**m"),
}


def add_strength(ds: xr.Dataset, profile: Profile) -> None:
    """Add su = S*sigv*OCR**m over depth and time (SHANSEP, Ladd & Foott 1974)
    for the elements of soils that give S and m, with OCR = pc/sigv and pc the
    initial preconsolidation stress or the largest effective stress reached
    since, at the output times; and su at every stage start and its gain
    since time 0.  Nothing when no soil gives S."""
    layer = ds["layer_index"].values.astype(int)
    S = np.array([profile.layers[i].soil.S for i in layer], dtype=object)
    if all(v is None for v in S):
        return
    S = np.array([np.nan if v is None else v for v in S], dtype=np.float64)
    m = np.array([np.nan if profile.layers[i].soil.m is None else profile.layers[i].soil.m
                  for i in layer], dtype=np.float64)
    sig = ds["sigv_element"].values
    pc = np.maximum(ds["pc0"].values[:, None], np.maximum.accumulate(sig, axis=1))
    su = S[:, None] * sig * (pc / sig) ** m[:, None]
    time = ds["time"].values
    starts = [int(np.argmin(np.abs(time - t))) for t in ds["stage_time"].values]
    su_stage = su[:, starts].T
    ds["su_S"] = xr.Variable(("element",), S, attrs=_LABELS["su_S"])
    ds["su_m"] = xr.Variable(("element",), m, attrs=_LABELS["su_m"])
    ds["su"] = xr.Variable(("element", "time"), su, attrs=_LABELS["su"])
    ds["su_stage"] = xr.Variable(("stage", "element"), su_stage, attrs=_LABELS["su_stage"])
    ds["su_gain"] = xr.Variable(("stage", "element"), su_stage - su[None, :, 0],
                                attrs=_LABELS["su_gain"])
