"""Loads of finite size: the stress closed forms of pelorin.loads against an independent
numerical integration of the point load's kernel over the footprint (SciPy's adaptive
Gauss-Kronrod in two dimensions, here, against the closed forms and the edge integrals
there), and sites against one-dimensional runs and their own symmetry.

Kernels of a point load P at plan distance r and depth z:
- Boussinesq (1885): 3 P z^3 / (2 pi (r^2 + z^2)^(5/2));
- Westergaard (1938): P eta z / (2 pi (eta^2 z^2 + r^2)^(3/2)), eta^2 = (1 - 2 nu)/(2 - 2 nu).
Osterberg (1957): under the centre line of an embankment of half-crest B1 and slopes of
horizontal extent B2, q I with I = (1/pi)[((B1 + B2)/B2)(a1 + a2) - (B1/B2) a2],
a1 = atan((B1 + B2)/z) - atan(B1/z), a2 = atan(B1/z), for each half; the chart gives
I = 0.398 at B1/z = 0, B2/z = 3.
"""
import math
import warnings

import numpy as np

ETA0 = 1.0 / math.sqrt(2.0)     # Westergaard with Poisson's ratio 0


def kernel_b(r2, z):
    return 3.0 * z ** 3 / (2.0 * math.pi * (r2 + z * z) ** 2.5)


def kernel_w(r2, z, eta=ETA0):
    c = eta * z
    return c / (2.0 * math.pi * (c * c + r2) ** 1.5)


def _dblquad(f, xa, xb, ya, yb, epsrel=1e-11):
    from scipy import integrate
    with warnings.catch_warnings():   # the rule's own doubts near 1e-13 absolute
        warnings.simplefilter("ignore")
        return integrate.dblquad(f, xa, xb, ya, yb, epsabs=1e-13, epsrel=epsrel)[0]


def numerical(pressure, x, y, z, xs, ys, kernel=kernel_b, epsrel=1e-11):
    """The kernel times `pressure(x, y)` integrated over the boxes of the breaks `xs`
    and `ys` (kinks of the pressure lie on them)."""
    total = 0.0
    for xa, xb in zip(xs[:-1], xs[1:]):
        for ya, yb in zip(ys[:-1], ys[1:]):
            total += _dblquad(lambda v, u: pressure(u, v) * kernel((u - x) ** 2 + (v - y) ** 2,
                                                                  z), xa, xb, ya, yb, epsrel)
    return total


def _rel(a, b):
    return abs(a - b) / abs(b)


# Depths from 0.01 B to 10 B; points under the centre, inside, on an edge, at a corner
# and outside.
def _depths(B):
    return B * np.array([0.01, 0.1, 1.0, 10.0])


def rectangle_error():
    from pelorin.loads import Rectangle, vertical_stress
    B, L, q = 10.0, 20.0, 100.0
    fp = Rectangle((0.0, 0.0), B, L, pressure=q)
    worst = 0.0
    for z in _depths(B):
        for x, y in ((0.0, 0.0), (3.0, 4.0), (5.0, 0.0), (5.0, 10.0), (12.0, -3.0)):
            ref = numerical(lambda u, v: q, x, y, z, [-5.0, x, 5.0] if -5 < x < 5 else
                            [-5.0, 5.0], [-10.0, y, 10.0] if -10 < y < 10 else [-10.0, 10.0])
            worst = max(worst, _rel(vertical_stress(fp, x, y, z), ref))
    return worst


def circle_error():
    """On the axis (the closed form) and off it (the rim integral), against polar
    integration about the circle's centre."""
    from pelorin.loads import Circle, vertical_stress
    a, q = 20.0, 100.0
    fp = Circle((0.0, 0.0), a, pressure=q)
    worst = 0.0
    for z in _depths(2 * a):
        for b in (0.0, 10.0, 19.0, 20.0, 21.0, 40.0):
            ref = 2.0 * _dblquad(lambda r, t: q * kernel_b(r * r + b * b - 2 * r * b
                                                           * math.cos(t), z) * r,
                                 0.0, math.pi, 0.0, a)
            worst = max(worst, _rel(vertical_stress(fp, b, 0.0, z), ref))
    return worst


def _strip_numeric(pressure, breaks, x, z, kernel=kernel_b):
    """A load constant along y: the kernel integrated over y in closed form would be the
    line load's; here both directions numerically (y out to ±1e4 B with the breaks)."""
    from scipy import integrate
    total = 0.0
    far = 1e5
    for xa, xb in zip(breaks[:-1], breaks[1:]):
        for ya, yb in ((-far, -50.0), (-50.0, 0.0), (0.0, 50.0), (50.0, far)):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                total += integrate.dblquad(
                    lambda v, u: pressure(u) * kernel((u - x) ** 2 + v * v, z),
                    xa, xb, ya, yb, epsabs=1e-13, epsrel=1e-11)[0]
    return total


def strip_error():
    from pelorin.loads import Embankment, Strip, vertical_stress
    q = 100.0
    worst = 0.0
    strip = Strip((0.0, 0.0), 10.0, pressure=q)
    emb = Embankment((0.0, 0.0), crest=30.0, base=60.0, pressure=q)
    for fp, pressure, breaks, B in (
            (strip, lambda u: q, [-5.0, 5.0], 10.0),
            (emb, lambda u: q * min(1.0, max(0.0, (30.0 - abs(u)) / 15.0)),
             [-30.0, -15.0, 15.0, 30.0], 60.0)):
        for z in _depths(B):
            for x in (0.4 * B, B):
                pts = sorted(set(breaks) | ({x} if breaks[0] < x < breaks[-1] else set()))
                ref = _strip_numeric(pressure, pts, x, z)
                worst = max(worst, _rel(vertical_stress(fp, x, 0.0, z), ref))
    return worst


def hipped_error():
    """An embankment of finite length (slopes on all four sides) against the kernel over
    its faces."""
    from pelorin.loads import Embankment, vertical_stress
    q = 100.0
    fp = Embankment((0.0, 0.0), crest=10.0, base=30.0, pressure=q, length=40.0)

    def p(u, v):
        return q * max(0.0, min(1.0, (15.0 - abs(u)) / 10.0, (30.0 - abs(v)) / 10.0))
    worst = 0.0
    # The hip lines are kinks inside the boxes: the adaptive rule gets 1e-9 slowly.
    for z in (3.0, 30.0):
        for x, y in ((7.0, 25.0), (20.0, 5.0)):
            ref = numerical(p, x, y, z, [-15.0, -5.0, 5.0, 15.0], [-30.0, -20.0, 20.0, 30.0],
                            epsrel=1e-9)
            worst = max(worst, _rel(vertical_stress(fp, x, y, z), ref))
    return worst


def osterberg():
    """Osterberg's chart value, and his form against the embankment's closed form."""
    from pelorin.loads import Embankment, vertical_stress

    def I(B1, B2, z):
        a2 = math.atan(B1 / z)
        a1 = math.atan((B1 + B2) / z) - a2
        return ((B1 + B2) / B2 * (a1 + a2) - B1 / B2 * a2) / math.pi
    chart = abs(vertical_stress(Embankment((0, 0), crest=0.0, base=6.0, pressure=1.0),
                                0.0, 0.0, 1.0) / 2.0 - 0.398)
    form = 0.0
    for B1, B2, z in ((5.0, 10.0, 1.0), (15.0, 15.0, 6.0), (1.0, 20.0, 40.0)):
        fp = Embankment((0, 0), crest=2 * B1, base=2 * (B1 + B2), pressure=1.0)
        form = max(form, _rel(vertical_stress(fp, 0.0, 0.0, z), 2.0 * I(B1, B2, z)))
    return {"chart, I at B1/z = 0, B2/z = 3": chart, "form, relative": form}


def polygon_errors():
    """An L-shaped polygon: against the kernel over it, and against the sum of its two
    rectangles and of its triangles."""
    from pelorin.loads import Polygon, Rectangle, vertical_stress
    q = 100.0
    L = Polygon([(0, 0), (20, 0), (20, 8), (8, 8), (8, 20), (0, 20)], pressure=q)
    parts = [Rectangle((10.0, 4.0), 20.0, 8.0, pressure=q),
             Rectangle((4.0, 14.0), 8.0, 12.0, pressure=q)]
    tris = [Polygon(t, pressure=q) for t in ([(0, 0), (20, 0), (20, 8)], [(0, 0), (20, 8),
                                                                         (8, 8)],
                                             [(0, 0), (8, 8), (8, 20)], [(0, 0), (8, 20),
                                                                         (0, 20)])]
    x = np.array([4.0, 10.0, 14.0, 30.0, 8.0])
    y = np.array([4.0, 4.0, 14.0, 10.0, 8.0])
    whole = np.concatenate([vertical_stress(L, x, y, z) for z in _depths(8.0)])
    pieces = np.concatenate([sum(vertical_stress(p, x, y, z) for p in parts)
                             for z in _depths(8.0)])
    triangles = np.concatenate([sum(vertical_stress(p, x, y, z) for p in tris)
                                for z in _depths(8.0)])
    numeric = 0.0
    for z in (0.8, 8.0):
        for xi, yi in ((4.0, 4.0), (14.0, 14.0)):
            ref = (numerical(lambda u, v: q, xi, yi, z, [0.0, 8.0, 20.0], [0.0, 8.0])
                   + numerical(lambda u, v: q, xi, yi, z, [0.0, 8.0], [8.0, 20.0]))
            numeric = max(numeric, _rel(vertical_stress(L, xi, yi, z), ref))
    return {"against the kernel over it": numeric,
            "sum of its rectangles": float(np.max(np.abs(whole - pieces) / np.abs(pieces))),
            "sum of its triangles": float(np.max(np.abs(whole - triangles) / np.abs(pieces)))}


def westergaard_errors():
    """The corner against Westergaard's chart formula for Poisson's ratio 0,
    q/(2 pi) acot sqrt(1/(2m^2) + 1/(2n^2) + 1/(4 m^2 n^2)); the circle's axis against
    q[1 - 1/sqrt(1 + 2 (a/z)^2)]; both against the kernel integrated numerically."""
    from pelorin.loads import Circle, Rectangle, vertical_stress
    q = 100.0
    formula = 0.0
    numeric = 0.0
    corner = Rectangle((5.0, 10.0), 10.0, 20.0, pressure=q)
    circle = Circle((0.0, 0.0), 20.0, pressure=q)
    for z in _depths(10.0):
        m, n = 10.0 / z, 20.0 / z
        chart = q / (2 * math.pi) * math.atan(1.0 / math.sqrt(1 / (2 * m * m) + 1 / (2 * n * n)
                                                              + 1 / (4 * m * m * n * n)))
        got = vertical_stress(corner, 0.0, 0.0, z, method="westergaard")
        formula = max(formula, _rel(got, chart))
        axis = q * (1.0 - 1.0 / math.sqrt(1.0 + 2.0 * (20.0 / z) ** 2))
        formula = max(formula, _rel(vertical_stress(circle, 0.0, 0.0, z,
                                                    method="westergaard"), axis))
        ref = numerical(lambda u, v: q, 0.0, 0.0, z, [0.0, 10.0], [0.0, 20.0], kernel_w)
        numeric = max(numeric, _rel(got, ref))
        for b in (10.0, 30.0):
            ref = 2.0 * _dblquad(lambda r, t: q * kernel_w(r * r + b * b - 2 * r * b
                                                           * math.cos(t), z) * r,
                                 0.0, math.pi, 0.0, 20.0)
            numeric = max(numeric, _rel(vertical_stress(circle, b, 0.0, z,
                                                        method="westergaard"), ref))
    return {"against the formulas": formula, "against the kernel": numeric}


def two_to_one_error():
    """The 2:1 method spreads the load: its stress summed over the plan at any depth is
    the footprint's whole load (per metre of a strip), and under the centre it is
    q B L/((B + z)(L + z)) for a rectangle, q a^2/(a + z/2)^2 for a circle and
    q B/(B + z) for a strip."""
    from pelorin.loads import Circle, Embankment, Rectangle, Strip, vertical_stress
    q = 100.0
    worst = 0.0
    # The hipped fill per metre of height: the crest's prism, the wedges along the sides
    # and ends, and four corner pyramids (1/3 of their 10 x 10 base).
    hipped = 10.0 * 40.0 + 2 * 40.0 * 10.0 / 2 + 2 * 10.0 * 10.0 / 2 + 4 * 100.0 / 3
    cases = [(Rectangle((0, 0), 10.0, 20.0, pressure=q, angle=30.0), q * 200.0, 2),
             (Circle((0, 0), 10.0, pressure=q), q * math.pi * 100.0, 2),
             (Embankment((0, 0), crest=10.0, base=30.0, pressure=q, length=40.0),
              q * hipped, 2),
             (Strip((0, 0), 10.0, pressure=q), q * 10.0, 1),
             (Embankment((0, 0), crest=30.0, base=60.0, pressure=q), q * 45.0, 1)]
    d = 0.05
    for fp, total, dims in cases:
        for z in (1.0, 10.0, 40.0):
            reach = np.max(np.abs(fp.outline()[:, 0] if dims == 1 else fp.outline())) \
                if dims == 2 else 0.5 * getattr(fp, "base", getattr(fp, "width", 0.0))
            half = reach * 1.5 + 0.5 * z + 1.0
            u = np.arange(-half, half + d, d)
            if dims == 2:
                got = sum(vertical_stress(fp, x, u[:, None], z, method="2:1").sum()
                          for x in np.array_split(u, 8) for x in [x[None, :]]) * d * d
            else:
                got = vertical_stress(fp, u, 0.0, z, method="2:1").sum() * d
            worst = max(worst, _rel(got, total))
    centre = 0.0
    for z in (1.0, 5.0, 50.0):
        for fp, expected in ((Rectangle((0, 0), 10.0, 20.0, pressure=q),
                              q * 200.0 / ((10.0 + z) * (20.0 + z))),
                             (Circle((0, 0), 10.0, pressure=q), q * 100.0 / (10.0 + z / 2) ** 2),
                             (Strip((0, 0), 10.0, pressure=q), q * 10.0 / (10.0 + z))):
            centre = max(centre, _rel(vertical_stress(fp, 0.0, 0.0, z, method="2:1"),
                                      expected))
    return {"load kept at every depth (plan summed on a 5 cm grid)": worst,
            "under the centre": centre}


# ------------------------------------------------------------------- sites ----------

def _clay_profile(thickness=10.0, Ca=0.0, name="clay", elements=40):
    import pelorin
    clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, Ca=Ca, name=name)
    return pelorin.Profile([pelorin.Layer(clay, thickness, ocr=1.2, elements=elements)],
                           surcharge=10.0)


def wide_error():
    """A footprint 100 times wider than the clay is thick: its centre settles as the
    one-dimensional run of the same load."""
    import pelorin
    from pelorin.loads import Rectangle
    profile = _clay_profile(Ca=0.02)
    raft = Rectangle((0.0, 0.0), 1000.0, 1000.0, pressure=80.0)
    site = pelorin.site([((0.0, 0.0), profile)], [raft], [(0.0, 0.0)], end=10000.0,
                        scheduler="synchronous", progress=False)
    times = site.dataset["time"].values[1:]
    one = pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=80.0)],
                                                    end=10000.0), times=times)
    s, s1 = site.dataset["settlement"].values[0, 1:], one.settlement.values[1:]
    late = times >= 1.0
    return float(np.max(np.abs(s[late] - s1[late])) / np.max(np.abs(s1)))


def symmetry_errors():
    """Points mirrored about a rectangle's axes settle alike (no runs shared); a rotated
    rectangle gives the same settlements at the rotated points."""
    import pelorin
    from pelorin.loads import Rectangle
    profile = _clay_profile()
    pts = [(6.0, 3.0), (-6.0, 3.0), (6.0, -3.0), (-6.0, -3.0), (12.0, 9.0), (-12.0, -9.0)]
    kw = dict(end=5000.0, scheduler="synchronous", progress=False, share=False)
    a = pelorin.site([((0.0, 0.0), profile)], [Rectangle((0, 0), 16.0, 10.0, pressure=90.0)],
                     pts, **kw).dataset["settlement"].values
    mirror = max(float(np.max(np.abs(a[k] - a[0]) / np.max(np.abs(a[0])))) for k in (1, 2, 3))
    mirror = max(mirror, float(np.max(np.abs(a[5] - a[4]) / np.max(np.abs(a[4])))))
    ang = math.radians(35.0)
    c, s = math.cos(ang), math.sin(ang)
    rotated = [(c * x - s * y, s * x + c * y) for x, y in pts]
    b = pelorin.site([((0.0, 0.0), profile)],
                     [Rectangle((0, 0), 16.0, 10.0, pressure=90.0, angle=35.0)], rotated,
                     **kw).dataset["settlement"].values
    return {"mirrored points": mirror,
            "rotated footprint": float(np.max(np.abs(b - a)) / np.max(np.abs(a)))}


def grid_site(n=50, **kw):
    """A 50 x 50 grid over a site of three boreholes (the soft clay thickening from 6 to
    14 m, one with creep) under a raft and an embankment beside it."""
    import pelorin
    from pelorin.loads import Embankment, Rectangle
    holes = {"BH1": ((-40.0, -30.0), _clay_profile(6.0, elements=24)),
             "BH2": ((40.0, -20.0), _clay_profile(10.0, Ca=0.015, elements=30)),
             "BH3": ((0.0, 45.0), _clay_profile(14.0, elements=36))}
    loads = [Rectangle((-15.0, 0.0), 30.0, 20.0, pressure=60.0, angle=20.0),
             Embankment((35.0, 0.0), crest=10.0, base=34.0, fill=3.0, length=60.0)]
    grid = pelorin.Grid(np.linspace(-60.0, 60.0, n), np.linspace(-60.0, 60.0, n))
    return pelorin.site(holes, loads, grid, end=5000.0, **kw)


def grid_failures():
    r = grid_site(scheduler="synchronous", progress=False)
    return float(r.dataset.attrs["failed"])
