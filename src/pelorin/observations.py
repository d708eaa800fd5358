"""Monitoring readings: settlement plates, extensometers and piezometers.

An `Observations` holds time series of readings, each of one instrument:

- ``settlement``: a settlement plate, the settlement of the surface (m, down positive);
- ``compression``: an extensometer, the shortening between two anchors at initial
  depths ``depth`` and ``bottom`` (m);
- ``pore_pressure``: a piezometer, the excess pore pressure at the initial depth
  ``depth`` (kPa; the reading less the hydrostatic pressure).

Depths are initial depths below the original top, as the ``depth`` coordinate of a
result: an instrument moves with the soil it is set in.  Each series may carry the
standard error of its readings (``sd``, in the unit of the readings); without one a fit
estimates it from the scatter of the series about the model.  Time is in days from
the start of the first stage, as in the analysis.

A CSV file holds one reading per row (columns, in any order; a header row):

==============  ======================================================================
``time``        days (required)
``kind``        ``settlement`` (or ``plate``), ``compression`` (``extensometer``),
                ``pore_pressure`` (``piezometer``) (required)
``value``       m (settlement, compression) or kPa (excess pore pressure) (required)
``sd``          standard error of the reading, same unit (optional, empty: unknown)
``depth``       piezometer depth, or an extensometer's upper anchor, m
``bottom``      an extensometer's lower anchor, m
``instrument``  a name; rows of one name form one series (default: kind and depth)
==============  ======================================================================

A file with the columns ``time`` and ``settlement`` (and optionally ``sd``) is read as
the readings of one settlement plate.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Iterable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np

from .errors import ParameterError

__all__ = ["Series", "Observations", "KINDS", "UNITS"]

#: The kinds of reading and the unit of each.
UNITS = {"settlement": "m", "compression": "m", "pore_pressure": "kPa"}
KINDS = tuple(UNITS)
_ALIASES = {"plate": "settlement", "extensometer": "compression", "piezometer": "pore_pressure",
            "u": "pore_pressure", **{k: k for k in KINDS}}


def _array(owner: str, name: str, value: Any) -> np.ndarray:
    try:
        a = np.array(value, dtype=np.float64, ndmin=1)
    except (TypeError, ValueError):
        raise ParameterError(owner, name, f"must be numbers; got {value!r}") from None
    if a.ndim != 1:
        raise ParameterError(owner, name, f"must be one-dimensional; got shape {a.shape}")
    return a


@dataclass(frozen=True)
class Series:
    """The readings of one instrument.

    Attributes
    ----------
    kind : {"settlement", "compression", "pore_pressure"}
    name : str
    time : ndarray
        Days, >= 0, non-decreasing.
    value : ndarray
        m (settlement, compression) or kPa (excess pore pressure).
    sd : ndarray or None
        Standard error of every reading (None: unknown, estimated by a fit).
    depth, bottom : float or None
        Initial depths, m: a piezometer's (`depth`), an extensometer's anchors.
    """

    kind: str
    name: str
    time: np.ndarray
    value: np.ndarray
    sd: Optional[np.ndarray] = None
    depth: Optional[float] = None
    bottom: Optional[float] = None

    def __post_init__(self) -> None:
        kind = _ALIASES.get(str(self.kind).strip().lower()) if isinstance(self.kind, str) else None
        if kind is None:
            raise ParameterError("Observations", "kind", f"must be one of {', '.join(KINDS)}; "
                                 f"got {self.kind!r}")
        o = f"Observations {self.name!r}" if self.name else "Observations"
        object.__setattr__(self, "kind", kind)
        t = _array(o, "time", self.time)
        v = _array(o, "value", self.value)
        if t.size == 0:
            raise ParameterError(o, "time", "must hold at least one reading")
        if v.shape != t.shape:
            raise ParameterError(o, "value", f"must have one value per time ({t.size}); got "
                                 f"{v.size}")
        bad = np.flatnonzero(~np.isfinite(t) | (t < 0) | np.r_[False, np.diff(t) < 0])
        if bad.size:
            raise ParameterError(o, "time", "must be finite, >= 0 and in order (days); reading "
                                 f"{bad[0]} is {t[bad[0]]!r}")
        bad = np.flatnonzero(~np.isfinite(v))
        if bad.size:
            raise ParameterError(o, "value", f"must be finite; reading {bad[0]} is {v[bad[0]]!r}")
        object.__setattr__(self, "time", t)
        object.__setattr__(self, "value", v)
        if self.sd is not None:
            sd = _array(o, "sd", self.sd)
            if sd.size == 1:
                sd = np.full(t.size, sd[0])
            if sd.shape != t.shape:
                raise ParameterError(o, "sd", f"must be one number or one per reading "
                                     f"({t.size}); got {sd.size}")
            if not np.all(np.isfinite(sd) & (sd > 0)):
                raise ParameterError(o, "sd", "must be positive (standard error of the "
                                     f"readings, {UNITS[kind]}); got {sd.min()!r}")
            object.__setattr__(self, "sd", sd)
        need = {"settlement": (), "compression": ("depth", "bottom"),
                "pore_pressure": ("depth",)}[kind]
        for key in ("depth", "bottom"):
            value = getattr(self, key)
            if key not in need:
                if value is not None:
                    raise ParameterError(o, key, f"is not a property of a {kind} reading")
                continue
            if value is None:
                raise ParameterError(o, key, f"must be given for a {kind} reading "
                                     "(initial depth below the original top, m)")
            x = float(value)
            if not math.isfinite(x) or x < 0:
                raise ParameterError(o, key, f"must be a depth >= 0, m; got {value!r}")
            object.__setattr__(self, key, x)
        if kind == "compression" and not self.bottom > self.depth:  # type: ignore[operator]
            raise ParameterError(o, "bottom", f"must lie below the upper anchor "
                                 f"({self.depth:g} m); got {self.bottom:g}")
        if not self.name:
            object.__setattr__(self, "name", _default_name(kind, self.depth,  # type: ignore[arg-type]
                                                           self.bottom))  # type: ignore[arg-type]

    @property
    def unit(self) -> str:
        return UNITS[self.kind]

    def __len__(self) -> int:
        return int(self.time.size)

    def until(self, time: float) -> Optional["Series"]:
        """The readings up to `time` (None when there are none)."""
        keep = self.time <= time
        if not keep.any():
            return None
        return Series(self.kind, self.name, self.time[keep], self.value[keep],
                      None if self.sd is None else self.sd[keep], self.depth, self.bottom)


class Observations:
    """Readings of settlement plates, extensometers and piezometers.

    Make one from arrays with `plate`, `extensometer` and `piezometer` (added
    together with ``+``), from a CSV file with `from_csv`, or from `Series`.

    Examples
    --------
    >>> obs = (Observations.plate([30, 60, 90], [0.21, 0.33, 0.41], sd=0.005)
    ...        + Observations.piezometer([30, 60, 90], [61.0, 44.0, 33.0], depth=4.0, sd=2.0))
    >>> len(obs)
    6
    """

    def __init__(self, series: Iterable[Series] = ()) -> None:
        self.series: tuple[Series, ...] = tuple(series)
        for s in self.series:
            if not isinstance(s, Series):
                raise ParameterError("Observations", "series", f"must be Series; got "
                                     f"{type(s).__name__}")
        names = [s.name for s in self.series]
        dup = sorted({n for n in names if names.count(n) > 1})
        if dup:
            raise ParameterError("Observations", "name", f"{dup[0]!r} names two series; give "
                                 "every instrument its own name")

    # -- making ------------------------------------------------------------------
    @classmethod
    def plate(cls, time: Any, settlement: Any, sd: Any = None, name: str = "") -> "Observations":
        """Readings of a settlement plate: settlement of the surface, m."""
        return cls([Series("settlement", name, time, settlement, sd)])

    @classmethod
    def extensometer(cls, time: Any, compression: Any, top: float, bottom: float,
                     sd: Any = None, name: str = "") -> "Observations":
        """Readings of an extensometer: shortening between anchors at initial depths
        `top` and `bottom` (m), m."""
        return cls([Series("compression", name, time, compression, sd, top, bottom)])

    @classmethod
    def piezometer(cls, time: Any, pore_pressure: Any, depth: float, sd: Any = None,
                   name: str = "") -> "Observations":
        """Readings of a piezometer at initial depth `depth` (m): excess pore pressure,
        kPa."""
        return cls([Series("pore_pressure", name, time, pore_pressure, sd, depth)])

    def __add__(self, other: "Observations") -> "Observations":
        if not isinstance(other, Observations):
            return NotImplemented
        return Observations(self.series + other.series)

    @classmethod
    def from_csv(cls, path: Union[str, os.PathLike]) -> "Observations":
        """Read readings from a CSV file (the module's docstring lists the columns)."""
        import pandas as pd

        source = os.fspath(path)
        try:
            frame = pd.read_csv(source, skipinitialspace=True, comment="#")
        except (OSError, pd.errors.ParserError, pd.errors.EmptyDataError,
                UnicodeDecodeError) as err:
            raise ParameterError("Observations", "path", f"{source}: cannot be read as CSV: "
                                 f"{err}") from None
        frame.columns = [str(c).strip().lower() for c in frame.columns]
        try:
            return cls.from_frame(frame)
        except ParameterError as err:
            raise ParameterError(f"{source}", err.parameter, err.problem) from None

    @classmethod
    def from_frame(cls, frame: Any) -> "Observations":
        """Readings from a pandas DataFrame with the columns of a CSV file."""
        cols = set(frame.columns)
        if "kind" not in cols and {"time", "settlement"} <= cols:
            sd = frame["sd"].to_numpy(float) if "sd" in cols else None
            return cls.plate(frame["time"].to_numpy(float), frame["settlement"].to_numpy(float),
                             sd=sd, name="plate")
        missing = [c for c in ("time", "kind", "value") if c not in cols]
        if missing:
            raise ParameterError("Observations", missing[0], "is a required column (time, "
                                 "kind, value; optional sd, depth, bottom, instrument); or give "
                                 "the columns time and settlement of one plate")
        extra = sorted(cols - {"time", "kind", "value", "sd", "depth", "bottom", "instrument"})
        if extra:
            raise ParameterError("Observations", extra[0], "is not a column of readings (time, "
                                 "kind, value, sd, depth, bottom, instrument)")
        frame = frame.copy()
        for c in ("depth", "bottom", "sd"):
            if c not in cols:
                frame[c] = np.nan
        kinds = frame["kind"].astype(str).str.strip().str.lower()
        unknown = sorted(set(kinds) - set(_ALIASES))
        if unknown:
            raise ParameterError("Observations", "kind", f"must be one of {', '.join(KINDS)} "
                                 f"(or plate, extensometer, piezometer); got {unknown[0]!r}")
        frame["kind"] = kinds.map(_ALIASES)
        if "instrument" not in cols:
            frame["instrument"] = [_default_name(k, d, b) for k, d, b in
                                   zip(frame["kind"], frame["depth"], frame["bottom"])]
        frame["instrument"] = frame["instrument"].astype(str).str.strip()
        series = []
        for name, rows in frame.groupby("instrument", sort=False):
            kinds_here = set(rows["kind"])
            if len(kinds_here) > 1:
                raise ParameterError("Observations", "kind", f"instrument {name!r} has readings "
                                     f"of several kinds ({', '.join(sorted(kinds_here))})")
            kind = rows["kind"].iloc[0]
            rows = rows.sort_values("time", kind="stable")
            sd = rows["sd"].to_numpy(float)
            if np.isnan(sd).all():
                sd_arg = None
            elif np.isnan(sd).any():
                raise ParameterError(f"Observations {name!r}", "sd", "must be given for every "
                                     "reading of the instrument or for none")
            else:
                sd_arg = sd
            place = {}
            for key in ("depth", "bottom"):
                values = rows[key].to_numpy(float)
                if not np.isnan(values).all():
                    if np.isnan(values).any() or np.ptp(values) > 0:
                        raise ParameterError(f"Observations {name!r}", key, "must be the same "
                                             "for every reading of the instrument")
                    place[key] = float(values[0])
            series.append(Series(kind, str(name), rows["time"].to_numpy(float),
                                 rows["value"].to_numpy(float), sd_arg, **place))
        return cls(series)

    # -- reading -------------------------------------------------------------------
    def __len__(self) -> int:
        return sum(len(s) for s in self.series)

    def __iter__(self) -> Iterator[Series]:
        return iter(self.series)

    def __repr__(self) -> str:
        parts = ", ".join(f"{s.name} ({len(s)})" for s in self.series)
        return f"<pelorin.Observations: {len(self)} readings: {parts}>"

    @property
    def times(self) -> np.ndarray:
        """Every reading time, sorted, without repeats (days)."""
        return np.unique(np.concatenate([s.time for s in self.series])) if self.series \
            else np.zeros(0)

    def until(self, time: float) -> "Observations":
        """The readings up to `time` (days)."""
        return Observations(s for s in (s.until(time) for s in self.series) if s is not None)

    def to_frame(self) -> Any:
        """The readings as a pandas DataFrame with the columns of a CSV file."""
        import pandas as pd

        frames = [pd.DataFrame({"instrument": s.name, "kind": s.kind, "time": s.time,
                                "value": s.value,
                                "sd": s.sd if s.sd is not None else np.nan,
                                "depth": np.nan if s.depth is None else s.depth,
                                "bottom": np.nan if s.bottom is None else s.bottom})
                  for s in self.series]
        return pd.concat(frames, ignore_index=True) if frames else pd.DataFrame(
            columns=["instrument", "kind", "time", "value", "sd", "depth", "bottom"])

    def to_csv(self, path: Union[str, os.PathLike]) -> None:
        """Write the readings as a CSV file that `from_csv` reads back."""
        self.to_frame().to_csv(path, index=False, float_format="%.8g")

    def model_values(self, result: Any) -> list[np.ndarray]:
        """The model's value of every reading, series by series, from a `Result` or the
        Dataset of an analysis (interpolated linearly in time and in initial depth)."""
        ds = getattr(result, "dataset", result)
        # A piezometer reads the pore pressure above hydrostatic: the excess and, under
        # heads that differ at the ends, the steady seepage (as the engine's u in a fit).
        u = ds["u"].values + (ds["u_seepage"].values if "u_seepage" in ds else 0.0)
        return model_values(self, ds["time"].values, ds["depth"].values, ds["z"].values,
                            u, ds["settlement"].values)


def _default_name(kind: str, depth: float, bottom: float) -> str:
    if kind == "compression":
        return f"compression {depth:g}-{bottom:g} m"
    if kind == "pore_pressure":
        return f"pore_pressure {depth:g} m"
    return "settlement"


def check_depths(obs: Observations, thickness: float, owner: str = "calibrate") -> None:
    """ParameterError for an instrument set outside the profile."""
    for s in obs:
        for key in ("depth", "bottom"):
            d = getattr(s, key)
            if d is not None and d > thickness * (1 + 1e-12):
                raise ParameterError(owner, "observations", f"{s.name!r}: {key} {d:g} m lies "
                                     f"below the base of the profile ({thickness:g} m)")


def _at_depth(depth: np.ndarray, rows: np.ndarray, d: float) -> np.ndarray:
    """A node quantity (node x time) at initial depth d, linear between nodes."""
    i = int(np.clip(np.searchsorted(depth, d, side="right") - 1, 0, depth.size - 2))
    w = (d - depth[i]) / (depth[i + 1] - depth[i])
    return (1.0 - w) * rows[i] + w * rows[i + 1]


def model_values(obs: Observations, time: np.ndarray, depth: np.ndarray, z: np.ndarray,
                 u: np.ndarray, settlement: np.ndarray) -> list[np.ndarray]:
    """The model's value of every reading from a run's histories (node x time rows, time
    from 0 first), linear in time between output times and in initial depth between
    nodes."""
    out = []
    for s in obs:
        if s.kind == "settlement":
            hist = settlement
        elif s.kind == "pore_pressure":
            hist = _at_depth(depth, u, s.depth)  # type: ignore[arg-type]
        else:
            top = _at_depth(depth, z, s.depth)  # type: ignore[arg-type]
            bottom = _at_depth(depth, z, s.bottom)  # type: ignore[arg-type]
            hist = (s.bottom - s.depth) - (bottom - top)  # type: ignore[operator]
        out.append(np.interp(s.time, time, hist))
    return out


def as_observations(value: Any, owner: str = "calibrate") -> Observations:
    """An Observations, a CSV path or a mapping of arrays (the columns of a file)."""
    if isinstance(value, Observations):
        return value
    if isinstance(value, (str, os.PathLike)):
        return Observations.from_csv(value)
    if isinstance(value, Mapping):
        import pandas as pd
        return Observations.from_frame(pd.DataFrame({str(k).lower(): v for k, v in value.items()}))
    if isinstance(value, Sequence) and all(isinstance(s, Series) for s in value):
        return Observations(value)
    raise ParameterError(owner, "observations", "must be Observations, a CSV file or a mapping "
                         f"of columns; got {type(value).__name__}")
