"""Prefabricated vertical drains: radial consolidation of the soil around them.

Drains in a square or triangular pattern at spacing ``s`` drain the soil of a
cylinder of equivalent diameter ``De`` around each (Barron 1948, Hansbo 1981):
``De = 2 s/sqrt(pi) = 1.128 s`` for a square pattern and
``De = s sqrt(2 sqrt(3)/pi) = 1.050 s`` for a triangular one (the area of the
pattern's cell).  Radial flow is averaged over the cell under equal vertical
strain (Hansbo 1981): the radial outflow per unit volume of soil is

    (kh/gammaw) eta (u - u_drain),   eta = 2/(re^2 (mu + mu_w(z))),

``re = De/2``, ``u`` the excess pore pressure averaged over the cell and ``mu``
Hansbo's factor of the drain's geometry and smear (`hansbo_mu`), and
``mu_w(z) = pi z (2 l - z) kh/qw`` the well resistance of a drain of discharge
capacity ``qw`` and length ``l`` draining at its top, ``z`` the depth below it
(a drain open at both ends: ``z`` from the nearer end and ``l`` half its length).
This is the approach of Walker & Indraratna (2009) for layered soils: each soil
element of a column gains the sink, next to its vertical flow; the engine writes
it in its solids coordinate as ``de/dt`` gaining ``-(1 + e)(kh/gammaw) eta (u -
u_drain)``, with ``kh = kh_ratio k(e)`` (the soil's e-log k law times its ratio of
horizontal to vertical permeability, `Soil.kh_ratio`).

In a linear soil (constant ``ch = kh/(mv gammaw)``) under an instant load the
average degree of radial consolidation is (Hansbo 1981; Barron 1948 for no
smear)

    U_h = 1 - exp(-8 T_h/mu),   T_h = ch t/De^2,

and radial and vertical flow combine as ``1 - (1 - U_v)(1 - U_h)`` (Carrillo
1942), exactly so for the averaged sink above.

References
----------
Barron, R.A. (1948). Consolidation of fine-grained soils by drain wells.
Trans. ASCE 113: 718-742.
Carrillo, N. (1942). Simple two- and three-dimensional cases in the theory of
consolidation of soils. J. Math. Phys. 21: 1-5.
Hansbo, S. (1979). Consolidation of clay by band-shaped prefabricated drains.
Ground Engineering 12(5): 16-25.
Hansbo, S. (1981). Consolidation of fine-grained soils by prefabricated drains.
Proc. 10th ICSMFE, Stockholm, 3: 677-682.
Walker, R. & Indraratna, B. (2009). Consolidation analysis of a stratified soil
with vertical and horizontal drainage using the spectral method.
Geotechnique 59(5): 439-449.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from numbers import Real
from typing import Any, Optional

import numpy as np

from ._units import convert_fields, to_unit
from .errors import ParameterError

__all__ = ["Drains", "hansbo_mu", "equivalent_diameter", "band_drain_diameter",
           "radial_degree", "carrillo", "vertical_degree", "design_spacing", "PATTERNS"]

#: The ratio De/s of each pattern: a circle of the area of the pattern's cell.
PATTERNS = {"square": 2.0 / math.sqrt(math.pi),
            "triangular": math.sqrt(2.0 * math.sqrt(3.0) / math.pi)}

# A vacuum cannot lower the pore pressure by more than the atmosphere's.
MAX_VACUUM = 101.325     # kPa
SECONDS_PER_DAY = 86400.0
# The discharge capacity's year: the Julian year of 365.25 days, as pint's.
SECONDS_PER_YEAR = 365.25 * SECONDS_PER_DAY


def equivalent_diameter(spacing: float, pattern: str = "square") -> float:
    """De of a drain's unit cell, m: ``2 s/sqrt(pi)`` (square, 1.128 s) or
    ``s sqrt(2 sqrt(3)/pi)`` (triangular, 1.050 s): the circle of the cell's area."""
    return PATTERNS[pattern] * spacing


def band_drain_diameter(width: float, thickness: float) -> float:
    """The equivalent diameter of a band drain of `width` a and `thickness` b, m:
    ``dw = 2 (a + b)/pi``, the circle of the same perimeter (Hansbo 1979)."""
    return 2.0 * (width + thickness) / math.pi


def hansbo_mu(n: Any, s: float = 1.0, smear_permeability_ratio: float = 1.0) -> Any:
    """Hansbo's (1981) factor of a drain's geometry and smear, in full:

        mu = n^2/(n^2 - 1) [ln(n/s) + kappa ln s - 3/4]
             + s^2/(n^2 - 1) (1 - s^2/(4 n^2))
             + kappa/(n^2 - 1) ((s^4 - 1)/(4 n^2) - s^2 + 1),

    ``n = re/rw``, ``s = rs/rw`` (1: no smear), ``kappa = kh/ks``.  It is the
    cell average of the equal-strain pore pressure, ``u_bar = gammaw re^2 mu
    (de/dt)/(2 kh (1 + e))``, over the soil between the drain and ``re``; with
    ``s = 1`` Barron's (1948) ``n^2/(n^2 - 1) ln n - (3 n^2 - 1)/(4 n^2)``, for
    ``n >> s`` the familiar ``ln(n/s) + kappa ln s - 3/4``."""
    n = np.asarray(n, dtype=np.float64)
    n2 = n * n
    s2 = s * s
    k = smear_permeability_ratio
    mu = (n2 / (n2 - 1.0) * (np.log(n / s) + k * math.log(s) - 0.75)
          + s2 / (n2 - 1.0) * (1.0 - s2 / (4.0 * n2))
          + k / (n2 - 1.0) * ((s2 * s2 - 1.0) / (4.0 * n2) - s2 + 1.0))
    return float(mu) if mu.ndim == 0 else mu


def _number(name: str, value: Any, meaning: str, *, gt: Optional[float] = None,
            ge: Optional[float] = None, le: Optional[float] = None) -> float:
    if isinstance(value, bool) or not isinstance(value, Real) or not math.isfinite(value):
        raise ParameterError("Drains", name, f"must be a finite number ({meaning}); got "
                             f"{value!r}")
    x = float(value)
    if (gt is not None and not x > gt) or (ge is not None and not x >= ge) \
            or (le is not None and not x <= le):
        bound = " and ".join(b for b in (gt is not None and f"greater than {gt:g}",
                                         ge is not None and f"at least {ge:g}",
                                         le is not None and f"at most {le:g}") if b)
        raise ParameterError("Drains", name, f"must be {bound} ({meaning}); got {value!r}")
    return x


def _vacuum(value: Any, installed: float) -> Optional[tuple[tuple[float, float], ...]]:
    """The vacuum as corners (time in days, kPa), time non-decreasing (a repeated time is
    a jump); a single number: that vacuum from the installation on."""
    if value is None:
        return None
    if not isinstance(value, (str, bytes)) and not hasattr(value, "magnitude") \
            and not isinstance(value, Real):
        try:
            corners = [tuple(c) for c in value]
        except TypeError:
            corners = None
        if corners is None or not corners or any(len(c) != 2 for c in corners):
            raise ParameterError("Drains", "vacuum", "must be a vacuum in kPa or a list of "
                                 "(time in days, vacuum in kPa) corners of a piecewise-linear "
                                 f"history; got {value!r}")
    else:
        corners = [(installed, value)]
    out: list[tuple[float, float]] = []
    for i, (t, p) in enumerate(corners):
        t = _number("vacuum", to_unit(t, "day", "Drains", "vacuum"),
                    f"time of corner {i}, days", ge=0.0)
        p = _number("vacuum", to_unit(p, "kPa", "Drains", "vacuum"),
                    f"vacuum of corner {i}, kPa below the pore pressure before", ge=0.0,
                    le=MAX_VACUUM)
        if out and t < out[-1][0]:
            raise ParameterError("Drains", "vacuum", f"corner {i} ({t:g} days) is earlier "
                                 f"than the corner before it ({out[-1][0]:g} days): times "
                                 "must not decrease")
        out.append((t, p))
    return tuple(out)


@dataclass(frozen=True)
class Drains:
    """Prefabricated vertical drains installed in a profile (`Profile(drains=...)`).

    Parameters
    ----------
    spacing : float
        Centre-to-centre distance of the drains, m, > 0.
    pattern : {"square", "triangular"}, default "square"
        The plan layout: the unit cell's equivalent diameter is 1.128 or
        1.050 times the spacing.
    diameter : float, optional
        The drain's (equivalent) diameter dw = 2 rw, m.  Or give the band
        drain's `width` and `thickness`: ``dw = 2 (width + thickness)/pi``
        (Hansbo 1979).  Less than the spacing.
    width, thickness : float, optional
        Of a band drain, m, given together instead of `diameter`.
    smear_ratio : float, default 1
        rs/rw, the radius of the zone disturbed by the mandrel over the
        drain's; 1: no smear.  At least 1, and the smear zone within the cell.
    smear_permeability_ratio : float, default 1
        kh/ks, the undisturbed over the smeared horizontal permeability, >= 1
        is usual (> 0).
    discharge_capacity : float, optional
        qw, the discharge capacity of one drain, m^3/year as catalogues give
        it (or with a unit: ``"3 m^3/day"``): adds the well resistance
        ``mu_w(z) = pi z (2 l - z) kh/qw``.  None: no well resistance.
    depth : float, optional
        Depth of the drains' base below the top of the profile, m; by default
        the whole profile.  Below it there is no radial flow (a partially
        penetrating drain).
    open_ends : {"top", "both"}, default "top"
        Where the drain discharges: at its top only, or also at its base
        (into a drained layer); sets ``z`` and ``l`` of the well resistance.
    installed : float, default 0
        Time of installation, days: no radial flow before it.
    vacuum : float or list of (time, kPa), optional
        A vacuum applied through the drains: the drains' pore pressure is
        ``u_b(t) - p(t)``, p piecewise linear through the corners (a repeated time
        is a jump; p is the first value before the first corner and the last after
        the last), a single number a constant vacuum from the installation.
        0 <= p <= 101.3 kPa.  ``u_b`` is the pore pressure held at the column's
        drained end the drains discharge into (its top, else its base; 0 unless
        the loading changes it): a vacuum under a membrane at the top belongs
        there, and reaches the drains through it.

    Attributes
    ----------
    De, re, rw : float
        Equivalent diameter of the cell, its radius and the drain's radius, m.
    n, mu : float
        re/rw and Hansbo's factor `hansbo_mu` (without well resistance).
    """

    spacing: float
    pattern: str = "square"
    diameter: Optional[float] = None
    width: Optional[float] = None
    thickness: Optional[float] = None
    smear_ratio: float = 1.0
    smear_permeability_ratio: float = 1.0
    discharge_capacity: Optional[float] = None
    depth: Optional[float] = None
    open_ends: str = "top"
    installed: float = 0.0
    vacuum: Any = None

    def __post_init__(self) -> None:
        convert_fields(self, "Drains", "Drains")
        set_ = object.__setattr__
        if self.pattern not in PATTERNS:
            raise ParameterError("Drains", "pattern", "must be \"square\" or \"triangular\"; "
                                 f"got {self.pattern!r}")
        set_(self, "spacing", _number("spacing", self.spacing, "m between drains", gt=0.0))
        band = [k for k in ("width", "thickness") if getattr(self, k) is not None]
        if not ((self.diameter is None and len(band) == 2)
                or (self.diameter is not None and not band)):
            raise ParameterError("Drains", "diameter", "must be given, or the band drain's "
                                 "width and thickness instead (m); got "
                                 + (", ".join(k for k in ("diameter", "width", "thickness")
                                              if getattr(self, k) is not None) or "none"))
        if band:
            for k in band:
                set_(self, k, _number(k, getattr(self, k), "of the band drain, m", gt=0.0))
            dw = band_drain_diameter(self.width, self.thickness)  # type: ignore[arg-type]
        else:
            dw = _number("diameter", self.diameter, "of the drain, m", gt=0.0)
            set_(self, "diameter", dw)
        if not dw < self.De:
            raise ParameterError("Drains", "diameter", f"({dw:g} m) must be less than the "
                                 f"cell's equivalent diameter {self.De:g} m (the spacing "
                                 f"{self.spacing:g} m, {self.pattern})")
        set_(self, "smear_ratio", _number("smear_ratio", self.smear_ratio,
                                          "rs/rw, 1 for no smear", ge=1.0))
        if not self.smear_ratio * dw / 2.0 < self.re:
            raise ParameterError("Drains", "smear_ratio", f"puts the smear zone (radius "
                                 f"{self.smear_ratio * dw / 2:g} m) beyond the cell (radius "
                                 f"{self.re:g} m); got {self.smear_ratio:g}")
        set_(self, "smear_permeability_ratio",
             _number("smear_permeability_ratio", self.smear_permeability_ratio,
                     "kh/ks of the smear zone", gt=0.0))
        if self.discharge_capacity is not None:
            set_(self, "discharge_capacity", _number("discharge_capacity", self.discharge_capacity,
                                                     "qw of one drain, m^3/year", gt=0.0))
        if self.depth is not None:
            set_(self, "depth", _number("depth", self.depth, "of the drains' base, m",
                                        gt=0.0))
        if self.open_ends not in ("top", "both"):
            raise ParameterError("Drains", "open_ends", "must be \"top\" or \"both\"; got "
                                 f"{self.open_ends!r}")
        set_(self, "installed", _number("installed", self.installed, "time of installation, "
                                        "days", ge=0.0))
        set_(self, "vacuum", _vacuum(self.vacuum, self.installed))

    # --- geometry ---------------------------------------------------------------------

    @property
    def rw(self) -> float:
        if self.diameter is not None:
            return self.diameter / 2.0
        return band_drain_diameter(self.width, self.thickness) / 2.0  # type: ignore[arg-type]

    @property
    def De(self) -> float:
        return equivalent_diameter(self.spacing, self.pattern)

    @property
    def re(self) -> float:
        return self.De / 2.0

    @property
    def n(self) -> float:
        return self.re / self.rw

    @property
    def mu(self) -> float:
        return hansbo_mu(self.n, self.smear_ratio, self.smear_permeability_ratio)

    def length(self, thickness: float) -> float:
        """The drains' length in a profile of `thickness`, m."""
        return thickness if self.depth is None else min(self.depth, thickness)

    def mu_well(self, z: Any, kh: Any, thickness: float) -> Any:
        """Hansbo's (1981) well resistance ``pi z (2 l - z) kh/qw`` at depth `z`
        (m below the top) of a profile of `thickness`, `kh` in m/s: ``z`` from
        the nearer open end and ``l`` half the drain's length when both ends are
        open.  0 without a `discharge_capacity`, and below the drain."""
        z = np.asarray(z, dtype=np.float64)
        if self.discharge_capacity is None:
            return np.zeros_like(z) if z.ndim else 0.0
        L = self.length(thickness)
        if self.open_ends == "both":
            l, zz = L / 2.0, np.minimum(z, L - z)
        else:
            l, zz = L, z
        zz = np.clip(zz, 0.0, l)
        out = (math.pi * zz * (2.0 * l - zz) * np.asarray(kh) * SECONDS_PER_YEAR
               / self.discharge_capacity)
        return float(out) if out.ndim == 0 else out

    def eta(self, top: np.ndarray, bottom: np.ndarray, kh: np.ndarray,
            thickness: float) -> np.ndarray:
        """The engine's factor of every element between depths `top` and `bottom`
        (m, initial), 1/m^2: ``2/(re^2 (mu + mu_w))`` times the share of the
        element above the drains' base, ``mu_w`` at the centre of that share and
        with `kh` (m/s, of the element's initial state)."""
        top = np.asarray(top, dtype=np.float64)
        bottom = np.asarray(bottom, dtype=np.float64)
        L = self.length(thickness)
        share = np.clip((L - top) / (bottom - top), 0.0, 1.0)
        centre = top + 0.5 * share * (bottom - top)
        mu = self.mu + self.mu_well(centre, kh, thickness)
        return share * 2.0 / (self.re * self.re * mu)

    def vacuum_function(self) -> Optional[dict]:
        """The vacuum p(t) >= 0 as the engine's piecewise-linear function (kPa; the
        drains' pore pressure is -p)."""
        if self.vacuum is None:
            return None
        t = np.array([c[0] for c in self.vacuum], dtype=np.float64)
        p = np.array([c[1] for c in self.vacuum], dtype=np.float64)
        return {"time": t, "value": p}

    def describe(self, length: Optional[float] = None,
                 mu_well: Optional[float] = None) -> str:
        """One line for a summary: pattern, spacing, the drain's size, smear, mu, qw,
        the drains' `length` (m) and the well resistance `mu_well` at their far end
        when given, depth, installation and vacuum."""
        size = f"dw = {2 * self.rw * 1000:.1f} mm"
        if self.width is not None:
            size = (f"band {self.width * 1000:g} x {self.thickness * 1000:g} mm "  # type: ignore[operator]
                    f"({size})")
        parts = [f"{self.pattern} pattern at {self.spacing:g} m (De = {self.De:.3f} m)",
                 size, f"n = {self.n:.1f}"]
        if self.smear_ratio > 1.0:
            parts.append(f"smear rs/rw = {self.smear_ratio:g}, "
                         f"kh/ks = {self.smear_permeability_ratio:g}")
        parts.append(f"mu = {self.mu:.3f}")
        if self.discharge_capacity is not None:
            parts.append(f"qw = {self.discharge_capacity:.4g} m3/year ({self.open_ends} open)")
            if mu_well is not None:
                parts.append(f"mu_w = {mu_well:.3g} at the far end")
        if length is not None:
            parts.append(f"{length:g} m long" + ("" if self.depth is None
                                                  else " (partially penetrating)"))
        elif self.depth is not None:
            parts.append(f"to {self.depth:g} m")
        if self.installed:
            parts.append(f"installed at {self.installed:g} d")
        if self.vacuum is not None:
            parts.append(f"vacuum up to {max(p for _, p in self.vacuum):g} kPa")
        return "drains: " + ", ".join(parts)

    # --- closed forms -----------------------------------------------------------------

    def degree(self, time: Any, ch: float, *, cv: Optional[float] = None,
               drainage_path: Optional[float] = None, kh: Optional[float] = None,
               z: Any = None, thickness: Optional[float] = None) -> Any:
        """Average degree of consolidation of a linear soil under an instant load at
        `time` (days since installation), `ch` in m^2/day: Hansbo's radial
        ``1 - exp(-8 T_h/(mu + mu_w))``, with the vertical one (Terzaghi, `cv` in
        m^2/day over `drainage_path` m) by Carrillo's rule.  With well resistance
        (`discharge_capacity`) give `kh` (m/s) and `thickness`; at depth `z`, or averaged over the
        drain's length."""
        Uh = radial_degree(time, ch, self.De, self.mu)
        if self.discharge_capacity is not None:
            if kh is None or thickness is None:
                raise ParameterError("Drains.degree", "kh", "and thickness must be given "
                                     "with a discharge_capacity (the well resistance)")
            L = self.length(thickness)
            if z is None:     # the average over the drain's length (Gauss-Legendre)
                x, w = np.polynomial.legendre.leggauss(48)
                zq = 0.5 * L * (x + 1.0)
                mus = self.mu + self.mu_well(zq, kh, thickness)
                Uh = 0.5 * sum(wi * radial_degree(time, ch, self.De, m)
                               for wi, m in zip(w, mus))
            else:
                Uh = radial_degree(time, ch, self.De,
                                   self.mu + self.mu_well(z, kh, thickness))
        if cv is None:
            return Uh
        if drainage_path is None:
            raise ParameterError("Drains.degree", "drainage_path", "must be given with cv "
                                 "(m, the vertical drainage path)")
        return carrillo(vertical_degree(time, cv, drainage_path), Uh)


def radial_degree(time: Any, ch: float, De: float, mu: Any) -> Any:
    """``U_h = 1 - exp(-8 T_h/mu)``, ``T_h = ch t/De^2`` (Hansbo 1981; Barron 1948):
    the average degree of radial consolidation, equal strain, at `time` days."""
    t = np.asarray(time, dtype=np.float64)
    out = -np.expm1(-8.0 * ch * np.maximum(t, 0.0) / (De * De * np.asarray(mu)))
    return float(out) if out.ndim == 0 else out


def vertical_degree(time: Any, cv: float, drainage_path: float) -> Any:
    """Terzaghi's average degree of vertical consolidation at `time` days,
    ``T_v = cv t/H_d^2``."""
    from .plots import terzaghi_U
    t = np.asarray(time, dtype=np.float64)
    out = terzaghi_U(cv * np.ravel(t) / drainage_path ** 2).reshape(t.shape)
    return float(out) if out.ndim == 0 else out


def carrillo(Uv: Any, Uh: Any) -> Any:
    """Carrillo's (1942) combination ``1 - (1 - U_v)(1 - U_h)``."""
    return 1.0 - (1.0 - np.asarray(Uv)) * (1.0 - np.asarray(Uh))


def design_spacing(drains: Drains, target: float, time: float, ch: float, *,
                   cv: Optional[float] = None, drainage_path: Optional[float] = None,
                   kh: Optional[float] = None, thickness: Optional[float] = None) -> float:
    """The widest spacing of drains like `drains` (pattern, diameter, smear, discharge capacity) at
    which a linear soil reaches the average degree `target` at `time` days after
    installation (`degree`; `cv` and `drainage_path` add the vertical flow), m.

    The degree falls as the spacing grows, so the spacing is found by bisection
    (to 1e-6 of it); ``inf`` when the vertical flow alone reaches the target.
    ParameterError when even drains touching their smear zones cannot reach it
    in that time."""
    if not 0.0 < target < 1.0 or isinstance(target, bool):
        raise ParameterError("design_spacing", "target", f"must lie in (0, 1) (an average "
                             f"degree of consolidation); got {target!r}")
    time = to_unit(time, "day", "design_spacing", "time")
    if isinstance(time, bool) or not isinstance(time, Real) or not time > 0:
        raise ParameterError("design_spacing", "time", f"must be a time in days greater "
                             f"than 0; got {time!r}")
    if isinstance(ch, bool) or not isinstance(ch, Real) or not ch > 0:
        raise ParameterError("design_spacing", "ch", f"must be a coefficient of horizontal "
                             f"consolidation in m^2/day greater than 0; got {ch!r}")
    from dataclasses import replace

    def degree(s: float) -> float:
        d = replace(drains, spacing=s)
        return float(d.degree(time, ch, cv=cv, drainage_path=drainage_path, kh=kh,
                              thickness=thickness))

    lo = 1.01 * drains.smear_ratio * drains.rw * 2.0 / min(PATTERNS.values())
    if degree(lo) < target:
        raise ParameterError("design_spacing", "target", f"{target:g} cannot be reached in "
                             f"{time:g} days with these drains at any spacing (at "
                             f"{lo:.3g} m the degree is {degree(lo):.3f})")
    hi = max(2.0 * lo, drains.spacing)
    while degree(hi) >= target:
        lo, hi = hi, 2.0 * hi
        if hi > 1e4:
            return math.inf     # no drains needed: vertical flow alone suffices
    while hi - lo > 1e-6 * hi:
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if degree(mid) >= target else (lo, mid)
    return lo


def drain_keywords(drains: Optional[Drains], col: Any) -> Optional[dict]:
    """The engine's `drains` keyword for a meshed column (`_column.Column`): eta and
    kh/kv per element (the well resistance with kh of the initial state),
    installation and vacuum; None without drains."""
    if drains is None:
        return None
    soil = col.soil
    k0 = soil["kref"] * 10.0 ** ((col.e0 - soil["ekref"]) / soil["Ck"])   # m/s
    kh_ratio = np.ascontiguousarray(soil["kh_ratio"], dtype=np.float64)
    depth = np.asarray(col.depth, dtype=np.float64)
    eta = drains.eta(depth[:-1], depth[1:], kh_ratio * k0, float(depth[-1] - depth[0]))
    return {"eta": np.ascontiguousarray(eta), "kh_ratio": kh_ratio,
            "start": float(drains.installed), "vacuum": drains.vacuum_function()}


def check_drains(value: Any, thickness: float) -> Optional[Drains]:
    """`value` when it is None or Drains that fit a profile of `thickness` (m);
    ParameterError naming Profile.drains otherwise."""
    if value is None:
        return None
    if not isinstance(value, Drains):
        raise ParameterError("Profile", "drains", f"must be a pelorin.Drains or None; got "
                             f"{type(value).__name__}")
    if value.depth is not None and value.depth > thickness * (1.0 + 1e-12):
        raise ParameterError("Profile", "drains", f"reach {value.depth:g} m, below the base "
                             f"of the profile ({thickness:g} m): give a depth within it, or "
                             "none for drains through the whole profile")
    return value


_LABELS = {
    "drain_eta": dict(units="m-2", long_name="factor of radial flow into the drains, "
                      "2/(re**2*(mu + mu_w))"),
    "radial_outflow": dict(units="day-1", long_name="radial outflow into the drains per "
                           "unit volume of soil, kh*eta*(u - u_drain)/gammaw"),
    "u_drain": dict(units="kPa", long_name="pore pressure in the drains (minus the vacuum)"),
}


def left_value(t: Any, xs: np.ndarray, vs: np.ndarray) -> np.ndarray:
    """The piecewise-linear function through (xs, vs) at times `t` as the engine
    reads it: on the piece (xs[k-1], xs[k]] that holds t (at a jump, the value
    before it), vs[0] before and vs[-1] after the corners."""
    t = np.asarray(t, dtype=np.float64)
    k = np.searchsorted(xs, t, side="left")
    inner = (k > 0) & (k < xs.size)
    kk = np.clip(k, 1, max(xs.size - 1, 1))
    x0, x1 = xs[kk - 1], xs[np.minimum(kk, xs.size - 1)]
    v0, v1 = vs[kk - 1], vs[np.minimum(kk, xs.size - 1)]
    with np.errstate(invalid="ignore", divide="ignore"):
        mid = v0 + (t - x0) / (x1 - x0) * (v1 - v0)
    return np.where(inner, mid, np.where(k == 0, vs[0], vs[-1]))


def add_drains(ds: Any, drains: Optional[Drains], keywords: Optional[dict],
               res: Optional[Any] = None) -> None:
    """Add the drains of a run to its Dataset: their description (attribute
    ``drains``, and ``drains_mu``), eta per element, the drains' pore pressure and
    the radial outflow per unit volume of soil over depth and time (1/day, 0 before
    the installation), from the engine's element histories.  The drains discharge
    into the column's drained end (the top, else the base): their pore pressure is
    the one held there (the engine's ``boundary_top``/``boundary_bottom`` in `res`,
    0 without them) less the vacuum."""
    if drains is None or keywords is None:
        return
    import xarray as xr
    time = ds["time"].values
    vac = drains.vacuum_function()
    if vac is None:
        ud = np.zeros_like(time)
    else:
        ud = -left_value(time, vac["time"], vac["value"])
    end = "boundary_bottom" if ds.attrs.get("drainage") == "bottom" else "boundary_top"
    if res is not None and end in res:
        held = np.asarray(res[end], dtype=np.float64)[:time.size]
        ud = ud + np.where(np.isfinite(held), held, 0.0)
    on = time > drains.installed
    ud = np.where(on, ud, 0.0)
    eta = keywords["eta"]
    kh = keywords["kh_ratio"][:, None] * ds["k_element"].values * SECONDS_PER_DAY   # m/day
    gammaw = float(ds.attrs.get("gammaw", 9.81))
    q = kh * eta[:, None] * (ds["u_element"].values - ud[None, :]) / gammaw
    q = np.where(on[None, :], q, 0.0)
    ds["drain_eta"] = xr.Variable(("element",), eta, attrs=_LABELS["drain_eta"])
    ds["u_drain"] = xr.Variable(("time",), ud, attrs=_LABELS["u_drain"])
    ds["radial_outflow"] = xr.Variable(("element", "time"), q, attrs=_LABELS["radial_outflow"])
    thickness = float(ds["layer_bottom"].values[-1])
    length = drains.length(thickness)
    mu_well = None
    if drains.discharge_capacity is not None:   # at the far end, kh of the initial state
        top = ds["depth"].values[:-1]
        deepest = int(np.nonzero(top < length)[0][-1])
        far = length / 2.0 if drains.open_ends == "both" else length
        mu_well = float(drains.mu_well(far, kh[deepest, 0] / SECONDS_PER_DAY, thickness))
    ds.attrs["drains"] = drains.describe(length, mu_well)
    ds.attrs["drains_mu"] = drains.mu
