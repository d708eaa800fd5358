"""Loads of finite size and the vertical stress they add below the ground.

Footprints, each with a uniform pressure (or a fill height and unit weight), a time
it is placed and an optional duration:

- `Rectangle(center, width, length, pressure, angle=0)`: a raft, a building;
- `Circle(center, radius, pressure)`: a tank;
- `Strip(center, width, pressure, angle=0)`: infinitely long (plane strain);
- `Embankment(center, crest, base, fill=..., length=None, angle=0)`: trapezoidal in
  section, its pressure falling linearly over the side slopes; in plan a strip
  (`length` None) or a rectangle with slopes on all four sides (a hipped fill);
- `Polygon(vertices, pressure)`: any simple polygon.

`vertical_stress(footprint, x, y, z, method="boussinesq")` gives the vertical stress
change (kPa) at plan positions (x, y) and depths z below the loaded surface, broadcast
over arrays.  Methods:

- ``"boussinesq"``: the elastic, homogeneous, isotropic half-space (Boussinesq 1885),
  integrated over the footprint in closed form: the rectangle's corner by Holl (1940)
  (the form of Newmark 1935, free of its branch of the arctangent) superposed for any
  point; the circle on its axis; the strip and the linearly varying strip (Jürgenson
  1934, Gray 1936), whose sum under an embankment's centre is Osterberg's (1957) form;
  polygons, uniform or with linearly varying pressure, from an exact integral along
  their edges (below).  The circle away from its axis is integrated numerically.
- ``"westergaard"``: the half-space reinforced by rigid horizontal sheets (Westergaard
  1938), with Poisson's ratio `poisson` (0 by default, the usual choice), in the same
  closed forms; a hipped embankment is integrated numerically along its edges.
- ``"2:1"``: the load spread at 2 vertical to 1 horizontal, uniform over the widened
  footprint at each depth and zero outside it (rectangles, circles, strips and
  embankments).

The edge integral of a polygon.  With the point load's stress integrated along a ray
from the point's projection P, a region's stress is a sum over its edges of integrals
in the angle θ seen from P (positive where the edge turns anticlockwise about P; the
winding takes care of P outside).  For Boussinesq's kernel, along a ray of length R:
``(1/2π)[1 - z³/(z² + R²)^{3/2}] dθ`` for a unit pressure, and for a pressure rising
by g·e_θ per metre along the ray ``(z/2π) R³/(z² + R²)^{3/2} (g·e_θ) dθ``.  Along an
edge at distance d from P, with s the distance from the foot of the perpendicular,
``dθ = d ds/(d² + s²)`` and both integrate in closed form (partial fractions in s²):
``atan(s/d) - atan(s z/(d ρ)) + z d s/((z² + d²) ρ)`` and
``z d [g·(F - P) s/((d² + z²) ρ) - (g·t)/ρ]`` with ``ρ = √(z² + d² + s²)``, F the foot
and t the edge's direction.  Westergaard's kernel gives ``atan(s/d) - atan(s c/(d ρc))``
with ``c = η z``, ``η² = (1 - 2ν)/(2 - 2ν)``, ``ρc = √(c² + d² + s²)``.

Units: kPa, m; angles in degrees anticlockwise from the x axis.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from numbers import Real
from typing import Any, Optional, Sequence

import numpy as np

from .errors import ParameterError

__all__ = ["Footprint", "Rectangle", "Circle", "Strip", "Embankment", "Polygon",
           "vertical_stress", "METHODS"]

METHODS = ("boussinesq", "westergaard", "2:1")
_TWO_PI = 2.0 * math.pi


# ------------------------------------------------------------------ checks ----------

def _num(owner: str, name: str, value: Any, meaning: str, *, positive: bool = False,
         nonneg: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, Real) or not math.isfinite(value):
        raise ParameterError(owner, name, f"must be a finite number ({meaning}); got {value!r}")
    x = float(value)
    if positive and not x > 0.0:
        raise ParameterError(owner, name, f"must be greater than 0 ({meaning}); got {value!r}")
    if nonneg and x < 0.0:
        raise ParameterError(owner, name, f"must be at least 0 ({meaning}); got {value!r}")
    return x


def _point(owner: str, name: str, value: Any) -> tuple[float, float]:
    try:
        x, y = value
    except (TypeError, ValueError):
        raise ParameterError(owner, name, f"must be a plan position (x, y) in m; got "
                             f"{value!r}") from None
    return (_num(owner, name, x, "x, m"), _num(owner, name, y, "y, m"))


def _set(obj: Any, name: str, value: Any) -> None:
    object.__setattr__(obj, name, value)


# ------------------------------------------------------------- footprints ----------

class Footprint:
    """What every footprint has: its pressure on the ground and when it acts.

    Give `pressure` (kPa) or `fill` (m of fill, with `unit_weight` in kN/m³; the
    pressure is their product).  The load is placed at `time` (days) and, with a
    `duration`, taken away again at ``time + duration``.
    """

    # Fields of every footprint (each footprint's dataclass declares them in its order).
    pressure: Optional[float]
    fill: Optional[float]
    unit_weight: float
    time: float
    duration: Optional[float]

    def _common(self) -> None:
        o = type(self).__name__
        p, fill = getattr(self, "pressure"), getattr(self, "fill")
        if (p is None) == (fill is None):
            raise ParameterError(o, "pressure/fill", "must be given exactly once: the "
                                 "pressure on the ground in kPa (pressure), or the height of "
                                 "fill in m (fill) with its unit_weight")
        _set(self, "unit_weight", _num(o, "unit_weight", self.unit_weight,
                                       "unit weight of the fill, kN/m^3", positive=True))
        if fill is not None:
            _set(self, "fill", _num(o, "fill", fill, "height of fill, m", positive=True))
        else:
            _set(self, "pressure", _num(o, "pressure", p, "pressure on the ground, kPa"))
        _set(self, "time", _num(o, "time", self.time, "time the load is placed, days",
                                nonneg=True))
        if self.duration is not None:
            _set(self, "duration", _num(o, "duration", self.duration, "days the load stays "
                                        "before it is taken away", positive=True))
        if hasattr(self, "angle"):
            _set(self, "angle", _num(o, "angle", self.angle, "degrees anticlockwise from the "
                                     "x axis"))
        if hasattr(self, "center"):
            _set(self, "center", _point(o, "center", self.center))

    @property
    def q(self) -> float:
        """The pressure on the ground (at the crest of an embankment), kPa."""
        if self.pressure is not None:
            return float(self.pressure)
        return float(self.fill) * float(self.unit_weight)  # type: ignore[arg-type]

    @property
    def removed(self) -> Optional[float]:
        """When the load is taken away (days), None if it stays."""
        d = self.duration
        return None if d is None else float(self.time) + float(d)

    def outline(self) -> np.ndarray:
        """The footprint's outline in plan, (n, 2), for drawing (a strip's over
        ±`STRIP_DRAWN` m along its axis)."""
        raise NotImplementedError

    def _local(self, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Coordinates along the footprint's own axes (width along u, length along v)."""
        cx, cy = self.center                    # type: ignore[attr-defined]
        a = math.radians(getattr(self, "angle", 0.0))
        c, s = math.cos(a), math.sin(a)
        dx, dy = x - cx, y - cy
        return c * dx + s * dy, -s * dx + c * dy

    def _to_plan(self, u: np.ndarray, v: np.ndarray) -> np.ndarray:
        cx, cy = self.center                    # type: ignore[attr-defined]
        a = math.radians(getattr(self, "angle", 0.0))
        c, s = math.cos(a), math.sin(a)
        return np.column_stack((cx + c * u - s * v, cy + s * u + c * v))


STRIP_DRAWN = 1000.0    # m: half the length drawn of an infinitely long footprint


@dataclass(frozen=True)
class Rectangle(Footprint):
    """A uniformly loaded rectangle: `width` along the direction `angle`, `length`
    across it, centred on `center`."""

    center: tuple
    width: float
    length: float
    pressure: Optional[float] = None
    angle: float = 0.0
    fill: Optional[float] = None
    unit_weight: float = 20.0
    time: float = 0.0
    duration: Optional[float] = None

    def __post_init__(self) -> None:
        self._common()
        _set(self, "width", _num("Rectangle", "width", self.width, "m", positive=True))
        _set(self, "length", _num("Rectangle", "length", self.length, "m", positive=True))

    def outline(self) -> np.ndarray:
        u, v = 0.5 * self.width, 0.5 * self.length
        return self._to_plan(np.array([-u, u, u, -u]), np.array([-v, -v, v, v]))

    def _stress(self, x, y, z, method, eta):
        u, v = self._local(x, y)
        b, l = 0.5 * self.width, 0.5 * self.length
        if method == "2:1":
            inside = (np.abs(u) <= b + 0.5 * z) & (np.abs(v) <= l + 0.5 * z)
            return np.where(inside, self.q * self.width * self.length
                            / ((self.width + z) * (self.length + z)), 0.0)
        corner = _holl if method == "boussinesq" else _westergaard_corner
        return self.q * (corner(b - u, l - v, z, eta) - corner(-b - u, l - v, z, eta)
                         - corner(b - u, -l - v, z, eta) + corner(-b - u, -l - v, z, eta))


@dataclass(frozen=True)
class Circle(Footprint):
    """A uniformly loaded circle (a tank's base)."""

    center: tuple
    radius: float
    pressure: Optional[float] = None
    fill: Optional[float] = None
    unit_weight: float = 20.0
    time: float = 0.0
    duration: Optional[float] = None

    def __post_init__(self) -> None:
        self._common()
        _set(self, "radius", _num("Circle", "radius", self.radius, "m", positive=True))

    def outline(self) -> np.ndarray:
        t = np.linspace(0.0, _TWO_PI, 181)[:-1]
        cx, cy = self.center
        return np.column_stack((cx + self.radius * np.cos(t), cy + self.radius * np.sin(t)))

    def _stress(self, x, y, z, method, eta):
        cx, cy = self.center
        r = np.hypot(x - cx, y - cy)
        a = self.radius
        if method == "2:1":
            return np.where(r <= a + 0.5 * z, self.q * a * a / (a + 0.5 * z) ** 2, 0.0)
        return self.q * _circle(r, a, z, method, eta)


@dataclass(frozen=True)
class Strip(Footprint):
    """A uniformly loaded strip of `width`, infinitely long; `angle` is the direction
    across it (its width), the strip runs at right angles to it through `center`."""

    center: tuple
    width: float
    pressure: Optional[float] = None
    angle: float = 0.0
    fill: Optional[float] = None
    unit_weight: float = 20.0
    time: float = 0.0
    duration: Optional[float] = None

    def __post_init__(self) -> None:
        self._common()
        _set(self, "width", _num("Strip", "width", self.width, "m", positive=True))

    def outline(self) -> np.ndarray:
        u, v = 0.5 * self.width, STRIP_DRAWN
        return self._to_plan(np.array([-u, u, u, -u]), np.array([-v, -v, v, v]))

    def _stress(self, x, y, z, method, eta):
        u, _ = self._local(x, y)
        b = 0.5 * self.width
        if method == "2:1":
            return np.where(np.abs(u) <= b + 0.5 * z, self.q * self.width / (self.width + z),
                            0.0)
        return self.q * _section(np.array([[-b, b, 1.0, 1.0]]), u, z, method, eta)


@dataclass(frozen=True)
class Embankment(Footprint):
    """A fill trapezoidal in section: `crest` and `base` widths across its axis (the
    direction `angle`), the pressure `q` (the fill's height times its unit weight, or
    `pressure`) under the crest falling linearly to 0 at the toes.  In plan a strip
    (`length` None) or a rectangle: a crest of `length` along the axis, with end
    slopes as steep as the side slopes (the base is ``length + base - crest`` long).
    """

    center: tuple
    crest: float
    base: float
    fill: Optional[float] = None
    unit_weight: float = 20.0
    pressure: Optional[float] = None
    length: Optional[float] = None
    angle: float = 0.0
    time: float = 0.0
    duration: Optional[float] = None

    def __post_init__(self) -> None:
        self._common()
        _set(self, "crest", _num("Embankment", "crest", self.crest, "width of the crest, m",
                                 nonneg=True))
        _set(self, "base", _num("Embankment", "base", self.base, "width of the base, m",
                                positive=True))
        if self.base <= self.crest:
            raise ParameterError("Embankment", "base", f"must be wider than the crest "
                                 f"({self.crest:g} m; side slopes need room); got {self.base:g}")
        if self.length is not None:
            _set(self, "length", _num("Embankment", "length", self.length,
                                      "length of the crest along the axis, m", positive=True))

    @property
    def slope_width(self) -> float:
        """Horizontal extent of each side slope, m."""
        return 0.5 * (self.base - self.crest)

    def outline(self) -> np.ndarray:
        u = 0.5 * self.base
        v = STRIP_DRAWN if self.length is None else 0.5 * self.length + self.slope_width
        return self._to_plan(np.array([-u, u, u, -u]), np.array([-v, -v, v, v]))

    def _pieces(self) -> np.ndarray:
        """The section as linear pieces (start, end, pressure factor at each)."""
        c, b = 0.5 * self.crest, 0.5 * self.base
        rows = [[-b, -c, 0.0, 1.0], [c, b, 1.0, 0.0]]
        if c > 0.0:
            rows.insert(1, [-c, c, 1.0, 1.0])
        return np.array(rows)

    def _faces(self) -> list:
        """The hipped fill in the embankment's own axes: (vertices, p at a point, gradient
        of p, point) per face, the pressure as a fraction of q."""
        c, b, w = 0.5 * self.crest, 0.5 * self.base, self.slope_width
        lc = 0.5 * float(self.length)       # type: ignore[arg-type]
        lb = lc + w
        faces = []
        if c > 0.0:
            faces.append((np.array([[-c, -lc], [c, -lc], [c, lc], [-c, lc]]), 1.0, (0.0, 0.0),
                          (0.0, 0.0)))
        faces += [
            (np.array([[c, -lc], [b, -lb], [b, lb], [c, lc]]), 1.0, (-1.0 / w, 0.0), (c, 0.0)),
            (np.array([[-b, -lb], [-c, -lc], [-c, lc], [-b, lb]]), 1.0, (1.0 / w, 0.0),
             (-c, 0.0)),
            (np.array([[-b, lb], [-c, lc], [c, lc], [b, lb]]), 1.0, (0.0, -1.0 / w),
             (0.0, lc)),
            (np.array([[-b, -lb], [b, -lb], [c, -lc], [-c, -lc]]), 1.0, (0.0, 1.0 / w),
             (0.0, -lc)),
        ]
        return faces

    def _stress(self, x, y, z, method, eta):
        u, v = self._local(x, y)
        q = self.q
        if self.length is None:
            if method == "2:1":
                spread = 0.5 * (self.crest + self.base) / (self.base + z)
                return np.where(np.abs(u) <= 0.5 * (self.base + z), q * spread, 0.0)
            return q * _section(self._pieces(), u, z, method, eta)
        if method == "2:1":
            lc = float(self.length)
            lb = lc + 2.0 * self.slope_width
            # Volume of the hipped fill per unit height (a prismatoid: Simpson's rule is exact).
            mid = 0.25 * (self.crest + self.base) * (lc + lb)
            area = (self.crest * lc + 4.0 * mid + self.base * lb) / 6.0
            inside = (np.abs(u) <= 0.5 * (self.base + z)) & (np.abs(v) <= 0.5 * (lb + z))
            return np.where(inside, q * area / ((self.base + z) * (lb + z)), 0.0)
        total = np.zeros(np.broadcast(u, v, z).shape)
        for verts, p0, grad, at in self._faces():
            total += _polygon_linear(verts, p0, np.array(grad), np.array(at), u, v, z,
                                     method, eta)
        return q * total


@dataclass(frozen=True)
class Polygon(Footprint):
    """A uniformly loaded simple polygon (vertices in plan, in either order)."""

    vertices: Sequence
    pressure: Optional[float] = None
    fill: Optional[float] = None
    unit_weight: float = 20.0
    time: float = 0.0
    duration: Optional[float] = None
    center: tuple = field(init=False)

    def __post_init__(self) -> None:
        try:
            v = np.array(self.vertices, dtype=np.float64)
        except (TypeError, ValueError):
            raise ParameterError("Polygon", "vertices", "must be a list of plan positions "
                                 "(x, y) in m") from None
        if v.ndim != 2 or v.shape[1] != 2 or v.shape[0] < 3 or not np.all(np.isfinite(v)):
            raise ParameterError("Polygon", "vertices", f"must be at least 3 finite plan "
                                 f"positions (x, y) in m; got shape {v.shape}")
        if np.allclose(v[0], v[-1]):
            v = v[:-1]
        area = _area(v)
        if not abs(area) > 0.0:
            raise ParameterError("Polygon", "vertices", "enclose no area")
        if area < 0.0:
            v = v[::-1].copy()
        v.setflags(write=False)
        _set(self, "vertices", v)
        _set(self, "center", tuple(float(c) for c in v.mean(axis=0)))
        self._common()

    @property
    def area(self) -> float:
        return _area(self.vertices)          # type: ignore[arg-type]

    def outline(self) -> np.ndarray:
        return np.asarray(self.vertices)

    def _stress(self, x, y, z, method, eta):
        if method == "2:1":
            raise ParameterError("vertical_stress", "method", "'2:1' spreads rectangles, "
                                 "circles, strips and embankments, not polygons; use "
                                 "'boussinesq' or 'westergaard'")
        return self.q * _polygon_uniform(np.asarray(self.vertices), x, y, z, method, eta)


def _area(v: np.ndarray) -> float:
    x, y = v[:, 0], v[:, 1]
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


# -------------------------------------------------------------- closed forms ----------

def _holl(L, B, z, eta=None):
    """Boussinesq: stress under the corner of a unit-pressure rectangle L x B (signed:
    odd in L and in B), Holl (1940):
    (1/2π)[atan(LB/(zR3)) + LBz/R3 (1/R1² + 1/R2²)]."""
    R1s, R2s = L * L + z * z, B * B + z * z
    R3 = np.sqrt(L * L + B * B + z * z)
    with np.errstate(invalid="ignore", divide="ignore"):
        second = np.where(z > 0.0, L * B * z / R3 * (1.0 / R1s + 1.0 / R2s), 0.0)
    return (np.arctan2(L * B, z * R3) + np.nan_to_num(second)) / _TWO_PI


def _westergaard_corner(L, B, z, eta):
    """Westergaard: the corner of a unit-pressure rectangle, (1/2π) atan(LB/(ηz R)),
    R = √(L² + B² + η²z²)."""
    c = eta * z
    return np.arctan2(L * B, c * np.sqrt(L * L + B * B + c * c)) / _TWO_PI


def _circle_axis(a, z, method, eta):
    with np.errstate(invalid="ignore", divide="ignore"):
        if method == "boussinesq":
            return 1.0 - (z / np.sqrt(z * z + a * a)) ** 3
        c = eta * z
        return 1.0 - c / np.sqrt(c * c + a * a)


def _ray_f(R, z, method, eta):
    """Stress of a unit-pressure sector of radius R per radian, times 2π."""
    if method == "boussinesq":
        return 1.0 - (z / np.sqrt(z * z + R * R)) ** 3
    c = eta * z
    return 1.0 - c / np.sqrt(c * c + R * R)


def _gauss(n: int) -> tuple[np.ndarray, np.ndarray]:
    """Gauss-Legendre nodes and weights on [0, 1]."""
    x, w = np.polynomial.legendre.leggauss(n)
    return 0.5 * (x + 1.0), 0.5 * w


_CIRCLE_X, _CIRCLE_W = _gauss(96)


def _circle(r, a, z, method, eta):
    """A unit-pressure circle of radius a at plan distance b = r from its centre: the
    closed form on the axis; elsewhere the edge integral (1/2π)∮ f(R) dθ along the rim,
    parametrised by the angle ψ about the centre from the point's side:
    R² = a² + b² - 2ab cos ψ, dθ/dψ = a(a - b cos ψ)/R² (negative on the far side of a
    point outside, as the winding needs).  The rim's nearest part, where the integrand
    changes over ψ ~ |a - b|/a, is resolved by ψ = ε sinh τ, ε = |a - b|/a, and
    Gauss-Legendre in τ."""
    r, z = np.broadcast_arrays(np.asarray(r, np.float64), np.asarray(z, np.float64))
    out = np.empty(r.shape)
    axis = r <= 1e-12 * a
    out[axis] = _circle_axis(a, z[axis], method, eta)
    off = ~axis
    if np.any(off):
        b, zz = r[off][:, None], z[off][:, None]
        eps = np.maximum(np.abs(a - b) / a, 1e-12)
        top = np.arcsinh(math.pi / eps)
        tau = top * _CIRCLE_X[None, :]
        psi = eps * np.sinh(tau)
        R2 = a * a + b * b - 2.0 * a * b * np.cos(psi)
        with np.errstate(invalid="ignore", divide="ignore"):
            dtheta = np.where(R2 > 0.0, a * (a - b * np.cos(psi)) / R2, 0.5)
        f = _ray_f(np.sqrt(np.maximum(R2, 0.0)), zz, method, eta) * dtheta \
            * eps * np.cosh(tau) * top
        out[off] = (f @ _CIRCLE_W) / math.pi
    return out


def _section(pieces: np.ndarray, u, z, method, eta):
    """Plane strain: a load varying linearly over each piece [a, b] of the section
    (pressure factors pa at a, pb at b) at offset u and depth z.  The line load's
    kernel K(s) and its moments in closed form: Boussinesq K = 2z³/(π(s² + z²)²),
    ∫K = (1/π)[atan(s/z) + sz/(s² + z²)], ∫sK = -(1/π) z³/(s² + z²); Westergaard
    K = c/(π(c² + s²)), c = ηz, ∫K = (1/π) atan(s/c), ∫sK = (c/2π) ln(c² + s²)."""
    u, z = np.broadcast_arrays(np.asarray(u, np.float64), np.asarray(z, np.float64))
    total = np.zeros(u.shape)
    c = z if method == "boussinesq" else eta * z
    with np.errstate(invalid="ignore", divide="ignore"):
        for a, b, pa, pb in pieces:
            m = (pb - pa) / (b - a)
            c0 = pa + m * (u - a)
            s1, s2 = a - u, b - u
            if method == "boussinesq":
                zz = z * z

                def G(s):
                    d = s * s + zz
                    return np.arctan2(s, z) + np.where(d > 0.0, s * z / d, 0.0)

                def H(s):
                    d = s * s + zz
                    return np.where(d > 0.0, -z * zz / d, 0.0)
            else:
                def G(s):
                    return np.arctan2(s, c)

                def H(s):
                    d = s * s + c * c
                    return 0.5 * c * np.log(np.where(d > 0.0, d, 1.0))
            part = c0 * (G(s2) - G(s1))
            if m != 0.0:
                part = part + m * (H(s2) - H(s1))
            total += part
    return total / math.pi


def _g0(s, d, z, method, eta):
    """The edge integral of a unit pressure (module docstring), at s."""
    with np.errstate(invalid="ignore", divide="ignore"):
        if method == "boussinesq":
            rho = np.sqrt(z * z + d * d + s * s)
            B = z * z + d * d
            third = np.where(B * rho > 0.0, z * d * s / (B * rho), 0.0)
            return np.arctan2(s, d) - np.arctan2(s * z, d * rho) + np.nan_to_num(third)
        c = eta * z
        rho = np.sqrt(c * c + d * d + s * s)
        return np.arctan2(s, d) - np.arctan2(s * c, d * rho)


def _polygon_uniform(verts: np.ndarray, x, y, z, method, eta):
    """A unit-pressure polygon, exactly (edge integrals of the module docstring)."""
    x, y, z = np.broadcast_arrays(np.asarray(x, np.float64), np.asarray(y, np.float64),
                                  np.asarray(z, np.float64))
    total = np.zeros(x.shape)
    # Edge by edge keeps the temporaries at the points' size.
    for k in range(len(verts)):
        pair = verts[[k, (k + 1) % len(verts)]]
        if np.all(pair[0] == pair[1]):
            continue
        d, s1, s2, side, _, _ = _edges_one(pair[0], pair[1], x, y)
        total += side * (_g0(s2, d, z, method, eta) - _g0(s1, d, z, method, eta))
    return total / _TWO_PI


def _edges_one(v1, v2, x, y):
    e = v2 - v1
    length = math.hypot(e[0], e[1])
    tx, ty = e[0] / length, e[1] / length
    ax, ay = v1[0] - x, v1[1] - y
    h = ty * ax - tx * ay        # t x (P - V1): > 0 when P lies left of the edge
    s1 = ax * tx + ay * ty
    return np.abs(h), s1, s1 + length, np.sign(h), (tx, ty), (ax - s1 * tx, ay - s1 * ty)


def _polygon_linear(verts, p0, grad, at, x, y, z, method, eta):
    """A polygon whose pressure is p0 + grad·(X - at): Boussinesq exactly (edge
    integrals of the module docstring); Westergaard's linear part numerically, by
    Gauss-Legendre in the angle seen from the point."""
    x, y, z = np.broadcast_arrays(np.asarray(x, np.float64), np.asarray(y, np.float64),
                                  np.asarray(z, np.float64))
    pP = p0 + grad[0] * (x - at[0]) + grad[1] * (y - at[1])
    total = np.zeros(x.shape)
    for k in range(len(verts)):
        v1, v2 = verts[k], verts[(k + 1) % len(verts)]
        if np.all(v1 == v2):
            continue
        d, s1, s2, side, (tx, ty), (fx, fy) = _edges_one(v1, v2, x, y)
        part = pP * (_g0(s2, d, z, method, eta) - _g0(s1, d, z, method, eta))
        gt = grad[0] * tx + grad[1] * ty
        gf = grad[0] * fx + grad[1] * fy
        with np.errstate(invalid="ignore", divide="ignore"):
            if method == "boussinesq":
                B = d * d + z * z

                def g1(s):
                    rho = np.sqrt(B + s * s)
                    val = z * d * (gf * s / (B * rho) - gt / rho)
                    return np.where(B > 0.0, val, 0.0)
                part = part + np.nan_to_num(g1(s2) - g1(s1))
            else:
                part = part + _westergaard_linear(d, s1, s2, gt, gf, z, eta)
        total += side * part
    return total / _TWO_PI


_WL_X, _WL_W = _gauss(48)


def _westergaard_linear(d, s1, s2, gt, gf, z, eta):
    """Westergaard's kernel times a pressure rising along the rays, over one edge:
    ∫ (g·e_θ) 2π·(c/2π)[asinh(R/c) - R/√(c² + R²)] dθ by Gauss-Legendre in θ."""
    c = eta * z
    u1, u2 = np.arctan2(s1, d), np.arctan2(s2, d)
    th = u1[..., None] + (u2 - u1)[..., None] * _WL_X
    s = d[..., None] * np.tan(th)
    R = np.sqrt(d[..., None] ** 2 + s * s)
    cc = c[..., None]
    with np.errstate(invalid="ignore", divide="ignore"):
        ge = np.where(R > 0.0, (gf[..., None] + gt * s) / R, 0.0)
        F = np.where(cc > 0.0, cc * (np.arcsinh(R / np.where(cc > 0, cc, 1.0))
                                     - R / np.sqrt(cc * cc + R * R)), 0.0)
    return np.nan_to_num((ge * F) @ _WL_W * (u2 - u1))


# ------------------------------------------------------------------ the call ----------

def _eta(poisson: float) -> float:
    nu = _num("vertical_stress", "poisson", poisson, "Poisson's ratio of Westergaard's "
              "medium")
    if not 0.0 <= nu < 0.5:
        raise ParameterError("vertical_stress", "poisson", f"must lie in [0, 0.5) (Poisson's "
                             f"ratio of Westergaard's medium); got {poisson!r}")
    return math.sqrt((1.0 - 2.0 * nu) / (2.0 - 2.0 * nu))


def vertical_stress(footprint: Footprint, x: Any, y: Any, z: Any,
                    method: str = "boussinesq", *, poisson: float = 0.0) -> Any:
    """The vertical stress change under a footprint, kPa (compression positive).

    Parameters
    ----------
    footprint : Rectangle, Circle, Strip, Embankment or Polygon
    x, y : array_like
        Plan positions, m.
    z : array_like
        Depths below the loaded surface, m, >= 0.  `x`, `y` and `z` broadcast
        against each other (e.g. points as a column, depths as a row).
    method : {"boussinesq", "westergaard", "2:1"}
        The elastic half-space (default), Westergaard's layered medium, or the load
        spread at 2 vertical to 1 horizontal (uniform over the widened footprint).
    poisson : float, default 0
        Poisson's ratio of Westergaard's medium (with ``method="westergaard"``).

    Returns
    -------
    ndarray (a float for scalar input)

    Examples
    --------
    >>> tank = Circle((0.0, 0.0), radius=20.0, pressure=150.0)
    >>> round(float(vertical_stress(tank, 0.0, 0.0, 20.0)), 2)   # 1 - 2^(-3/2) of q
    96.97
    """
    if not isinstance(footprint, Footprint):
        raise ParameterError("vertical_stress", "footprint", "must be a Rectangle, Circle, "
                             f"Strip, Embankment or Polygon; got {type(footprint).__name__}")
    if method not in METHODS:
        raise ParameterError("vertical_stress", "method", f"must be one of "
                             f"{', '.join(repr(m) for m in METHODS)}; got {method!r}")
    eta = _eta(poisson) if method == "westergaard" else 1.0
    try:
        xa, ya, za = np.broadcast_arrays(np.asarray(x, dtype=np.float64),
                                         np.asarray(y, dtype=np.float64),
                                         np.asarray(z, dtype=np.float64))
    except ValueError as err:
        raise ParameterError("vertical_stress", "x, y, z", f"must broadcast against each "
                             f"other: {err}") from None
    for name, a in (("x", xa), ("y", ya), ("z", za)):
        if not np.all(np.isfinite(a)):
            raise ParameterError("vertical_stress", name, "must be finite")
    if np.any(za < 0.0):
        raise ParameterError("vertical_stress", "z", "must be depths below the loaded "
                             "surface, at least 0 m")
    # In blocks, so that the temporaries of the forms stay in the cache.
    xf, yf, zf = (np.ascontiguousarray(a).ravel() for a in (xa, ya, za))
    out = np.empty(xf.size)
    for at in range(0, xf.size, _BLOCK):
        part = slice(at, at + _BLOCK)
        out[part] = footprint._stress(xf[part], yf[part], zf[part], method, eta)  # type: ignore[attr-defined]
    out = out.reshape(xa.shape)
    return float(out) if out.ndim == 0 else out


_BLOCK = 4096   # points per block of `vertical_stress`
