"""What a design report states beyond the histories: settlement and degree of
consolidation at named dates, the residual settlement from each date to the design
life, and the undrained strength the clay gains as it consolidates.

The dates are output times of the run (they are added to the grid), so every value
at a date is a value of the histories, not an interpolation.
"""
from __future__ import annotations

import datetime
import math
from typing import Any, Mapping, Optional

import numpy as np
import xarray as xr

from ._units import to_unit
from .errors import ParameterError
from .model import Profile

__all__ = ["DESIGN_LIFE", "check_dates", "add_dates", "add_strength", "check_start",
           "check_end", "set_start", "calendar_date", "LAST_DATE"]

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


#: The last date the results' readers decode as a date (NumPy's datetime64 in
#: nanoseconds, which xarray and pandas use, ends on 2262-04-11).
LAST_DATE = datetime.datetime(2262, 4, 11)


def check_start(value: Any, caller: str = "simulate",
                name: str = "start_date") -> Optional[str]:
    """The calendar date of day 0 as CF writes it after "days since": "2027-03-01", or
    "2027-03-01 08:30:00" for a time of day; from an ISO text, a `datetime.date` or a
    naive `datetime.datetime`.  None stays None; ParameterError otherwise."""
    if value is None:
        return None
    when = value
    if isinstance(value, str):
        try:
            when = (datetime.date.fromisoformat(value.strip()) if len(value.strip()) == 10
                    else datetime.datetime.fromisoformat(value.strip()))
        except ValueError:
            when = None
    if isinstance(when, datetime.datetime):
        if when.tzinfo is not None:
            raise ParameterError(caller, name, "must be a date and time without a time zone "
                                 f"(the local time of the site); got {value!r}")
        if when.time() == datetime.time(0):
            return when.date().isoformat()
        return when.isoformat(sep=" ")
    if isinstance(when, datetime.date):
        return when.isoformat()
    raise ParameterError(caller, name, "must be the calendar date of day 0 of the analysis, "
                         f"as text \"2027-03-01\" (or a datetime.date); got {value!r}")


def _start(start: str) -> datetime.datetime:
    return datetime.datetime.fromisoformat(start)


def calendar_date(start: str, days: float) -> str:
    """The calendar date `days` after day 0 at `start`, "YYYY-MM-DD"."""
    return (_start(start) + datetime.timedelta(days=float(days))).date().isoformat()


def check_end(start: str, end: float, caller: str = "simulate",
              name: str = "start_date") -> None:
    """ParameterError when an analysis of `end` days from `start` ends after LAST_DATE."""
    if float(end) > (LAST_DATE - _start(start)) / datetime.timedelta(days=1):
        raise ParameterError(caller, name, f"{start} with an analysis of {end:g} days ends "
                             f"after {LAST_DATE.date()}, the last date NetCDF readers decode; "
                             "leave the start date out, or shorten the analysis")


def set_start(ds: xr.Dataset, start: str) -> None:
    """Give the time coordinate of `ds` (days since day 0) the CF units "days since
    START", so that readers decode it as dates."""
    ds["time"].attrs.update(units=f"days since {start}", calendar="standard")
    ds.attrs["start_date"] = start
