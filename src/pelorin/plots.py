"""Figures of a result, drawn as engineers draw them.

Each function takes a `Result` (`plot_band` a `SweepResult`) and returns a
matplotlib `Figure` (made without pyplot, so nothing is shown and no backend
is needed); pass `path` to save it as well.  `plot_all` writes the set into a
directory.  Matplotlib is imported when the first figure is drawn.
"""
from __future__ import annotations

import math
import os
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence

import numpy as np

if TYPE_CHECKING:   # result.py imports this module
    from matplotlib.figure import Figure

    from ._site import SiteResult
    from ._sweep import SweepResult
    from .result import Result

__all__ = ["plot_settlement", "plot_isochrones", "plot_compression", "plot_consolidation",
           "plot_all", "plot_band", "terzaghi_U", "plot_site_map", "plot_section",
           "plot_point_histories", "plot_site_all"]

DPI = 110


def _figure(**kw: Any) -> Figure:
    from matplotlib.figure import Figure   # deferred: importing pelorin needs no matplotlib
    return Figure(**kw)


def terzaghi_U(Tv: np.ndarray | float) -> np.ndarray:
    """Terzaghi's average degree of consolidation at time factor Tv
    (uniform initial excess pressure, series solution)."""
    T = np.atleast_1d(np.asarray(Tv, dtype=np.float64))
    U = np.ones_like(T)
    m = np.arange(200)
    M = np.pi * (2 * m + 1) / 2.0
    for i, t in enumerate(T):
        if t <= 0.0:
            U[i] = 0.0
        elif t < 1e-3:
            U[i] = math.sqrt(4.0 * t / math.pi)
        else:
            U[i] = 1.0 - np.sum(2.0 / M ** 2 * np.exp(-M ** 2 * t))
    return U


def _save(fig: Figure, path: Optional[str | os.PathLike]) -> Figure:
    if path is not None:
        fig.savefig(path, dpi=DPI)
    return fig


def _title(result: Result, what: str) -> str:
    title = result.dataset.attrs.get("title", "")
    return f"{title}: {what}" if title else what


def _stage_rows(result: Result):
    ds = result.dataset
    for k in range(ds.sizes["stage"]):
        yield (k + 1, float(ds["stage_time"][k]), float(ds["stage_load"][k]),
               float(ds["t50"][k]), float(ds["t90"][k]))


def plot_settlement(result: Result, path: Optional[str | os.PathLike] = None) -> Figure:
    """Settlement of the surface against log time, with the load above it.

    Stage starts are dashed vertical lines; t50 and t90 of every stage are
    marked on the curve.  With creep the settlement caused by the load (net
    of the background creep) is drawn too.
    """
    ds = result.dataset
    t = ds["time"].values
    pos = t > 0.0
    fig = _figure(figsize=(8.0, 6.0), constrained_layout=True)
    top, ax = fig.subplots(2, 1, sharex=True, gridspec_kw=dict(height_ratios=(1, 3)))
    # The load acts from the start of each step: a step line through the grid.
    load = ds["load"].values
    top.step(t[pos], load[pos], where="pre", color="C3")
    top.set_ylabel("load [kPa]")
    top.set_ylim(min(0.0, load.min()) * 1.1, max(load.max(), 1e-9) * 1.15)
    top.set_title(_title(result, "settlement"))
    mm = 1000.0
    ax.plot(t[pos], ds["settlement"].values[pos] * mm, color="C0", label="surface")
    if "settlement_net" in ds:
        ax.plot(t[pos], ds["settlement_net"].values[pos] * mm, color="C0", ls="--",
                label="caused by the load (net of background creep)")
        ax.plot(t[pos], ds["settlement_background"].values[pos] * mm, color="0.5", ls=":",
                label="background creep (no load)")
    s = ds["settlement"].values
    several = ds.sizes["stage"] > 1
    labelled = set()
    for k, ts, q, t50, t90 in _stage_rows(result):
        if ts > 0.0:
            for a in (top, ax):
                a.axvline(ts, color="0.55", lw=0.8, ls="--")
        for frac, tx, marker in ((0.5, t50, "o"), (0.9, t90, "s")):
            if math.isfinite(tx) and ts + tx > 0.0:
                y = np.interp(ts + tx, t, s) * mm
                name = f"t{int(frac * 100)}"
                ax.plot([ts + tx], [y], marker=marker, color="k", ms=5, ls="none",
                        label=None if name in labelled else f"{name} of a stage")
                labelled.add(name)
                ax.annotate(f"{name} ({k})" if several else name, (ts + tx, y),
                            xytext=(4, -8), textcoords="offset points", fontsize=7)
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("time [days]")
    ax.set_ylabel("settlement [mm]")
    ax.grid(True, which="both", lw=0.3)
    top.grid(True, which="both", lw=0.3)
    ax.legend(loc="lower left", fontsize=8)
    return _save(fig, path)


def _pick_times(result: Result, count: int = 7) -> list[int]:
    """Indices of `count` output times spread evenly in log time."""
    t = result.dataset["time"].values
    idx = np.nonzero(t > 0.0)[0]
    if idx.size <= count:
        return [int(i) for i in idx]
    want = np.geomspace(t[idx[0]], t[idx[-1]], count)
    return sorted({int(idx[np.argmin(np.abs(np.log(t[idx]) - np.log(w)))]) for w in want})


def plot_isochrones(result: Result, times: Optional[Sequence[float]] = None,
                    path: Optional[str | os.PathLike] = None) -> Figure:
    """Excess pore pressure against the initial depth of the nodes at
    several times, with the applied load at each of them (dashed).

    Parameters
    ----------
    times : sequence of float, optional
        Days; the nearest output times are drawn.  By default seven times
        spread evenly in log time.
    """
    ds = result.dataset
    t = ds["time"].values
    picks = (_pick_times(result) if times is None
             else sorted({int(np.argmin(np.abs(t - w))) for w in times}))
    depth = ds["depth"].values
    fig = _figure(figsize=(7.0, 6.0), constrained_layout=True)
    ax = fig.subplots()
    loads_drawn = set()
    for n, j in enumerate(picks):
        color = f"C{n % 10}"
        ax.plot(ds["u"].values[:, j], depth, color=color, label=f"{t[j]:.4g} d")
        q = round(float(ds["load"].values[j]), 9)
        if q not in loads_drawn:
            loads_drawn.add(q)
            ax.axvline(q, color="0.3", lw=1.0, ls="--")
            ax.annotate(f"load {q:g} kPa", (q, 0.02), xycoords=("data", "axes fraction"),
                        rotation=90, fontsize=8, ha="right", va="bottom", color="0.3")
    for b in ds["layer_bottom"].values[:-1]:
        ax.axhline(b, color="0.6", lw=0.6, ls=":")
    ax.axvline(0.0, color="k", lw=0.6)
    ax.set_ylim(depth[-1], depth[0])
    ax.set_xlabel("excess pore pressure [kPa]")
    ax.set_ylabel("initial depth [m] (dotted: layer boundaries)")
    ax.set_title(_title(result, "isochrones"))
    ax.grid(True, lw=0.3)
    ax.legend(title="time", fontsize=8, loc="best")
    return _save(fig, path)


def _default_elements(result: Result) -> list[int]:
    """The middle element of every layer."""
    ds = result.dataset
    layer = ds["layer_index"].values
    chosen = []
    for i in range(ds.sizes["layer"]):
        idx = np.nonzero(layer == i)[0]
        if idx.size:
            chosen.append(int(idx[idx.size // 2]))
    return chosen


def plot_compression(result: Result, elements: Optional[Sequence[int]] = None,
                     path: Optional[str | os.PathLike] = None) -> Figure:
    """Void ratio against log effective stress of chosen elements over the
    analysis, each with its soil's normal compression line (dashed).

    Parameters
    ----------
    elements : sequence of int, optional
        Element numbers (0 at the top); by default the middle element of
        every layer.
    """
    ds = result.dataset
    chosen = _default_elements(result) if elements is None else [int(n) for n in elements]
    fig = _figure(figsize=(7.0, 5.5), constrained_layout=True)
    ax = fig.subplots()
    names = ds["layer_name"].values
    for n, i in enumerate(chosen):
        color = f"C{n % 10}"
        sig, e = ds["sigv_element"].values[i], ds["e_element"].values[i]
        # The path starts from the state before loading.
        sig = np.concatenate((ds["sigv0"].values[i:i + 1], sig))
        e = np.concatenate((ds["e0"].values[i:i + 1], e))
        label = (f"{names[int(ds['layer_index'][i])]} at "
                 f"{float(ds['element_depth'][i]):.2f} m")
        ax.plot(sig, e, color=color, marker=".", ms=3, label=label)
        lo, hi = 0.5 * sig.min(), 2.0 * sig.max()
        s = np.geomspace(lo, hi, 50)
        ncl = float(ds["esigvref"][i]) - float(ds["Cc"][i]) * np.log10(s / float(ds["sigvref"][i]))
        ax.plot(s, ncl, color=color, ls="--", lw=0.9)
    ax.set_xscale("log")
    ax.set_xlabel("vertical effective stress [kPa]")
    ax.set_ylabel("void ratio (dashed: normal compression lines)")
    ax.set_title(_title(result, "e–log σ′ paths"))
    ax.grid(True, which="both", lw=0.3)
    ax.legend(fontsize=8)
    return _save(fig, path)


def plot_consolidation(result: Result, path: Optional[str | os.PathLike] = None) -> Figure:
    """Degree of consolidation of the first stage against the time factor,
    with Terzaghi's curve.

    Tv = t/T, T the time scale of the first stage (``stage_time_scale``:
    drainage path squared over the coefficient of consolidation under the
    stage's load, half the layer when both ends drain).  Only for profiles
    of one layer.

    Raises
    ------
    ValueError
        The profile has more than one layer.
    """
    ds = result.dataset
    if ds.sizes["layer"] != 1:
        raise ValueError("the comparison with Terzaghi's curve needs a profile of one layer; "
                         f"this one has {ds.sizes['layer']}")
    t = ds["time"].values
    t0 = float(ds["stage_time"][0])
    t1 = float(ds["stage_time"][1]) if ds.sizes["stage"] > 1 else np.inf
    keep = (t > t0) & (t <= t1)
    scale = float(ds["stage_time_scale"][0])
    Tv = (t[keep] - t0) / scale
    fig = _figure(figsize=(7.0, 5.0), constrained_layout=True)
    ax = fig.subplots()
    T = np.geomspace(min(Tv.min(), 1e-4), max(Tv.max(), 3.0), 200)
    ax.plot(T, terzaghi_U(T), color="k", lw=1.2, label="Terzaghi")
    ax.plot(Tv, ds["U_pore"].values[keep], color="C0", marker=".", ms=3,
            label="from excess pore pressure")
    ax.plot(Tv, ds["U_settlement"].values[keep], color="C1", marker=".", ms=3,
            label="from settlement")
    ax.set_xscale("log")
    ax.set_ylim(1.1, -0.02)
    ax.set_xlabel(f"time factor Tv = t / {scale:.4g} days")
    ax.set_ylabel("average degree of consolidation U")
    ax.set_title(_title(result, "degree of consolidation"))
    ax.grid(True, which="both", lw=0.3)
    ax.legend(fontsize=8)
    return _save(fig, path)


def plot_all(result: Result, outdir: str | os.PathLike) -> list[str]:
    """Write every figure that applies as PNG into `outdir`; return the paths.

    settlement.png, isochrones.png, compression.png, and consolidation.png
    for a profile of one layer.
    """
    os.makedirs(outdir, exist_ok=True)
    jobs: list[tuple[str, Callable[..., Figure]]] = [
        ("settlement.png", plot_settlement), ("isochrones.png", plot_isochrones),
        ("compression.png", plot_compression)]
    if result.dataset.sizes["layer"] == 1:
        jobs.append(("consolidation.png", plot_consolidation))
    paths = []
    for name, draw in jobs:
        path = os.path.join(os.fspath(outdir), name)
        draw(result, path=path)
        paths.append(path)
    return paths


def plot_band(sweep: SweepResult, path: Optional[str | os.PathLike] = None) -> Figure:
    """Settlement against log time of a sweep: the P10-P90 band and the median of the
    runs, with the deterministic run drawn over it."""
    ds = sweep.dataset
    t = ds["time"].values[1:]
    pct = ds["settlement_percentiles"].values[:, 1:] * 1000.0
    fig = _figure(figsize=(8.0, 4.8))
    ax = fig.add_subplot()
    p = [f"P{q:g}" for q in ds["percentile"].values]
    ax.fill_between(t, pct[0], pct[-1], color="tab:blue", alpha=0.25,
                    label=f"{p[0]}-{p[-1]} of {ds.sizes[sweep.dim] - ds.attrs['failed']} runs")
    ax.plot(t, pct[len(p) // 2], color="tab:blue", lw=1.5, label=f"{p[len(p) // 2]}")
    if "settlement_deterministic" in ds:
        ax.plot(t, ds["settlement_deterministic"].values[1:] * 1000.0, color="k",
                lw=1.2, ls="--", label="deterministic")
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("time (days)")
    ax.set_ylabel("settlement (mm)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(loc="lower left")
    ax.set_title(ds.attrs.get("title") or "Settlement: spread of the runs")
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=DPI)
    return fig


# ------------------------------------------------------------------ a site ----------

def _time_index(ds: Any, t: Optional[float]) -> int:
    times = ds["time"].values
    return times.size - 1 if t is None else int(np.argmin(np.abs(times - float(t))))


def _draw_outlines(ax: Any, ds: Any) -> None:
    ax.plot(ds["footprint_x"].values, ds["footprint_y"].values, color="k", lw=1.2)
    ax.plot(ds["borehole_x"].values, ds["borehole_y"].values, ls="none", marker="^",
            color="tab:red", ms=6, label="boreholes")
    for name, x, y in zip(ds["hole"].values, ds["borehole_x"].values,
                          ds["borehole_y"].values):
        ax.annotate(str(name), (x, y), xytext=(4, 4), textcoords="offset points", fontsize=7)


def plot_site_map(site: SiteResult, time: Optional[float] = None,
                  path: Optional[str | os.PathLike] = None) -> Figure:
    """Plan of the site: contours of settlement at `time` (days, the nearest output
    time; the end by default) over the points, with the footprints' outlines, the
    boreholes and the points."""
    import matplotlib.tri as mtri

    ds = site.dataset
    j = _time_index(ds, time)
    s = ds["settlement"].values[:, j] * 1000.0
    x, y = ds["x"].values, ds["y"].values
    ok = np.isfinite(s)
    fig = _figure(figsize=(7.5, 6.5), constrained_layout=True)
    ax = fig.add_subplot()
    # Contours need an area: a triangulation of three or more points not on one line.
    area = ok.sum() >= 3 and np.linalg.matrix_rank(
        np.column_stack((x[ok] - x[ok].mean(), y[ok] - y[ok].mean())), tol=1e-9) == 2
    if area:
        tri = mtri.Triangulation(x[ok], y[ok])
        levels = np.linspace(np.nanmin(s), np.nanmax(s), 12) if np.ptp(s[ok]) > 0 else 12
        cs = ax.tricontourf(tri, s[ok], levels=levels, cmap="viridis_r")
        lines = ax.tricontour(tri, s[ok], levels=levels, colors="k", linewidths=0.3)
        ax.clabel(lines, fontsize=6, fmt="%.0f")
        fig.colorbar(cs, ax=ax, label="settlement [mm]")
    else:
        sc = ax.scatter(x[ok], y[ok], c=s[ok], cmap="viridis_r")
        fig.colorbar(sc, ax=ax, label="settlement [mm]")
    ax.plot(x, y, ls="none", marker=".", color="0.3", ms=2)
    _draw_outlines(ax, ds)
    pad = 0.05 * max(np.ptp(x), np.ptp(y), 1.0)
    ax.set_xlim(x.min() - pad, x.max() + pad)
    ax.set_ylim(y.min() - pad, y.max() + pad)
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    t = float(ds["time"].values[j])
    title = ds.attrs.get("title") or "Settlement"
    ax.set_title(f"{title}: settlement at {t:g} days")
    return _save(fig, path)


def plot_section(site: SiteResult, section: Optional[str] = None,
                 times: Optional[Sequence[float]] = None,
                 path: Optional[str | os.PathLike] = None) -> Figure:
    """Settlement along a section (a `Line` of the points) at several times (days; by
    default six spread evenly in log time), with the pressure under the footprints
    along it above."""
    from .loads import vertical_stress

    ds = site.dataset
    sections = site.sections()
    if not sections:
        raise ValueError("the site has no line of points (a cross-section) to draw")
    name = sections[0] if section is None else section
    sel = ds["group"].values == name
    if not np.any(sel):
        raise ValueError(f"no section {name!r}; sections: {', '.join(sections)}")
    chain = ds["chainage"].values[sel]
    t = ds["time"].values
    if times is None:
        pos = np.flatnonzero(t > 0.0)
        want = np.geomspace(t[pos[0]], t[pos[-1]], 6)
        idx = sorted({int(pos[np.argmin(np.abs(np.log(t[pos] / w)))]) for w in want})
    else:
        idx = [_time_index(ds, v) for v in times]
    fig = _figure(figsize=(8.0, 6.0), constrained_layout=True)
    top, ax = fig.subplots(2, 1, sharex=True, gridspec_kw=dict(height_ratios=(1, 3)))
    if site.footprints:
        # The pressure on the ground along the line, finely sampled (just below it).
        fine = np.linspace(chain[0], chain[-1], 400)
        fx = np.interp(fine, chain, ds["x"].values[sel])
        fy = np.interp(fine, chain, ds["y"].values[sel])
        near = sum(vertical_stress(f, fx, fy, 1e-6) for f in site.footprints)
        top.fill_between(fine, 0.0, near, color="0.85")
        top.plot(fine, near, color="C3")
    top.set_ylabel("load [kPa]")
    top.set_title(f"{ds.attrs.get('title') or 'Settlement'}: section {name}")
    s = ds["settlement"].values[sel]
    colours = [f"C{k % 10}" for k in range(len(idx))]
    for j, c in zip(idx, colours):
        ax.plot(chain, s[:, j] * 1000.0, marker=".", color=c, label=f"{t[j]:.4g} days")
    ax.invert_yaxis()
    ax.set_xlabel("distance along the section [m]")
    ax.set_ylabel("settlement [mm]")
    ax.grid(True, lw=0.3)
    top.grid(True, lw=0.3)
    ax.legend(fontsize=8, loc="lower right")
    return _save(fig, path)


def plot_point_histories(site: SiteResult, points: Optional[Sequence[Any]] = None,
                         path: Optional[str | os.PathLike] = None) -> Figure:
    """Settlement against log time at chosen points (indices or names; by default the
    named points of lists, else the ends and the middle of the first section, else the
    first few points)."""
    ds = site.dataset
    names = [str(v) for v in ds["name"].values]
    if points is None:
        chosen = [i for i, k in enumerate(ds["kind"].values) if k == "point"][:8]
        if not chosen:
            sections = site.sections()
            if sections:
                sel = np.flatnonzero(ds["group"].values == sections[0])
                chosen = sorted({int(sel[0]), int(sel[len(sel) // 2]), int(sel[-1])})
            else:
                chosen = list(range(min(4, len(names))))
    else:
        chosen = []
        for p in points:
            if isinstance(p, str):
                if p not in names:
                    raise ValueError(f"no point named {p!r}")
                chosen.append(names.index(p))
            else:
                chosen.append(int(p))
    t = ds["time"].values
    pos = t > 0.0
    fig = _figure(figsize=(8.0, 5.0), constrained_layout=True)
    ax = fig.add_subplot()
    for k, i in enumerate(chosen):
        ax.plot(t[pos], ds["settlement"].values[i, pos] * 1000.0, color=f"C{k % 10}",
                label=f"{names[i]} ({float(ds['x'][i]):g}, {float(ds['y'][i]):g})")
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("time [days]")
    ax.set_ylabel("settlement [mm]")
    ax.grid(True, which="both", lw=0.3)
    ax.legend(fontsize=8, loc="lower left")
    ax.set_title(f"{ds.attrs.get('title') or 'Settlement'}: histories")
    return _save(fig, path)


def plot_site_all(site: SiteResult, outdir: str | os.PathLike,
                  map_times: Optional[Sequence[float]] = None) -> list[str]:
    """The site's figures as PNG into `outdir`: a map at the end (and at every time of
    `map_times`), every section, the histories of chosen points; the paths."""
    os.makedirs(outdir, exist_ok=True)
    out = os.fspath(outdir)
    paths = []
    for t in [None, *(map_times or [])]:
        name = "map.png" if t is None else f"map_{float(t):g}d.png"
        plot_site_map(site, t, path=os.path.join(out, name))
        paths.append(os.path.join(out, name))
    for name in site.sections():
        safe = "".join(c if c.isalnum() or c in "-_" else "_" for c in name)
        p = os.path.join(out, f"section_{safe}.png")
        plot_section(site, name, path=p)
        paths.append(p)
    p = os.path.join(out, "histories.png")
    plot_point_histories(site, path=p)
    paths.append(p)
    return paths
