"""Figures of a result, drawn as engineers draw them.

Each function takes a `Result` (`plot_band` a `SweepResult`) and returns a
matplotlib `Figure` (made without pyplot, so nothing is shown and no backend
is needed); pass `path` to save it as well (PNG, SVG or PDF, from the
suffix).  `plot_all` writes the set into a directory, or returns it.
Matplotlib is imported when the first figure is drawn.
"""
from __future__ import annotations

import math
import os
import textwrap
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence, Union

import numpy as np

from . import __version__

if TYPE_CHECKING:   # result.py imports this module
    from matplotlib.figure import Figure

    from ._calibrate import Fit, Prediction
    from ._drain_design import DrainDesign
    from ._graphical import AsaokaFit, HyperbolicFit
    from ._site import SiteResult
    from ._sweep import SweepResult
    from .result import Result

__all__ = ["plot_settlement", "plot_isochrones", "plot_compression", "plot_consolidation",
           "plot_all", "plot_band", "terzaghi_U", "plot_fit", "plot_asaoka", "plot_hyperbolic",
           "plot_site_map", "plot_section", "plot_point_histories", "plot_site_all",
           "plot_drain_design"]

DPI = 110
FORMATS = ("png", "svg", "pdf")


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
        kind = os.path.splitext(os.fspath(path))[1].lstrip(".").lower() or "png"
        key = {"png": "Software", "svg": "Creator", "pdf": "Creator"}.get(kind)
        fig.savefig(path, dpi=DPI, format=kind,
                    metadata={key: f"pelorin {__version__}"} if key else None)
    return fig


def _title(result: Result, what: str, width: float = 7.0) -> str:
    """The case's title and what the figure shows, wrapped to the figure's width
    (inches) at the axes title's size."""
    title = str(result.dataset.attrs.get("title") or "")
    text = f"{title}: {what}" if title else what
    return "\n".join(textwrap.wrap(text, max(20, int(width * 10.5))))


def _apart(fig: Figure, texts: list) -> None:
    """Move labels, one by one, off those placed before them: the nearest free
    place below or above, inside the axes where there is one."""
    if len(texts) < 2:
        return
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    renderer = FigureCanvasAgg(fig).get_renderer()
    placed: list = []
    for text in texts:
        x, y = text.xyann
        step = text.get_window_extent(renderer).height * 72.0 / fig.dpi + 1.0
        inside = text.axes.get_window_extent(renderer)
        for k in range(2 * len(texts) + 1):
            text.xyann = (x, y + (-1) ** k * ((k + 1) // 2) * step)
            box = text.get_window_extent(renderer)
            if (not any(b.overlaps(box) for b in placed) and inside.y0 <= box.y0
                    and box.y1 <= inside.y1):
                break
        else:
            text.xyann = (x, y)
        placed.append(text.get_window_extent(renderer))


def _log_ticks(axis, low: float, high: float) -> None:
    """Enough labelled ticks on a log axis that spans less than a few decades:
    1-2-5 in every decade, as plain numbers."""
    if not (low > 0.0 and high > low) or math.log10(high / low) > 3.0:
        return
    from matplotlib.ticker import LogLocator, NullFormatter, ScalarFormatter
    axis.set_major_locator(LogLocator(subs=(1.0, 2.0, 5.0)))
    axis.set_major_formatter(ScalarFormatter())
    axis.set_minor_formatter(NullFormatter())


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
    if "load_acting" in ds:     # placed over time, submerging: as given and as it acts
        top.plot(t[pos], load[pos], color="0.5", ls="--", lw=0.9, label="as given")
        top.plot(t[pos], ds["load_acting"].values[pos], color="C3", label="acting")
        top.legend(loc="best", fontsize=7)
    else:
        top.step(t[pos], load[pos], where="pre", color="C3")
    top.set_ylabel("load [kPa]")
    top.set_ylim(min(0.0, load.min()) * 1.1, max(load.max(), 1e-9) * 1.15)
    top.set_title(_title(result, "settlement", 8.0))
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
    notes = []
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
                notes.append(ax.annotate(f"{name} ({k})" if several else name, (ts + tx, y),
                                         xytext=(4, -8), textcoords="offset points",
                                         fontsize=7))
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_xlabel("time [days]")
    ax.set_ylabel("settlement [mm]")
    ax.grid(True, which="both", lw=0.3)
    top.grid(True, which="both", lw=0.3)
    ax.legend(loc="lower left", fontsize=8)
    _apart(fig, notes)
    return _save(fig, path)


def _pick_times(result: Result, count: int = 7) -> list[int]:
    """Indices of output times to draw isochrones at: in every stage the first
    output time after its start (the pressure the load has just set up), then
    times spread evenly in log time since the start, `count` in all (at least
    three per stage)."""
    ds = result.dataset
    t = ds["time"].values
    starts = [float(s) for s in ds["stage_time"].values]
    per = max(3, math.ceil(count / len(starts)))
    picks: set[int] = set()
    for k, ts in enumerate(starts):
        te = starts[k + 1] if k + 1 < len(starts) else math.inf
        idx = np.nonzero((t > ts) & (t <= te))[0] if ts > 0.0 else np.nonzero(
            (t > 0.0) & (t <= te))[0]
        if idx.size <= per:
            picks.update(int(i) for i in idx)
            continue
        since = t[idx] - ts
        want = np.geomspace(since[0], since[-1], per)
        picks.update(int(idx[np.argmin(np.abs(np.log(since) - np.log(w)))]) for w in want)
    return sorted(picks)


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
    _log_ticks(ax.xaxis, *ax.get_xlim())
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


def plot_loading(result: Result, path: Optional[str | os.PathLike] = None) -> Figure:
    """The load on the surface and the heads against time: the load as given by the
    stages and as it acts (a fill's falls as it settles into the water), and below it
    the water level above the profile and the head in the aquifer below it."""
    ds = result.dataset
    t = ds["time"].values
    fig = _figure(figsize=(8.0, 5.5), constrained_layout=True)
    top, ax = fig.subplots(2, 1, sharex=True)
    top.plot(t, ds["load"].values, color="0.5", ls="--", label="as given")
    if "load_acting" in ds:
        top.plot(t, ds["load_acting"].values, color="C3", label="acting")
    top.set_ylabel("load [kPa]")
    top.legend(loc="best", fontsize=8)
    top.set_title(_title(result, "load and heads", 8.0))
    ax.plot(t, ds["water_level"].values, color="C0", label="water level above the profile")
    ax.plot(t, ds["base_head"].values, color="C2", label="head below the profile, above "
            "hydrostatic")
    ax.set_ylabel("m of water")
    ax.set_xlabel("time [days]")
    ax.legend(loc="best", fontsize=8)
    for a in (top, ax):
        a.grid(True, lw=0.3)
        for ts in ds["stage_time"].values:
            if ts > 0.0:
                a.axvline(float(ts), color="0.55", lw=0.8, ls="--")
    return _save(fig, path)


def _over_time(ds: Any) -> bool:
    """Whether a stage is placed over time or the heads change."""
    return ("stage_duration" in ds and bool(np.any(ds["stage_duration"].values > 0.0))) or \
        any(k in ds and np.ptp(ds[k].values) > 0.0 for k in ("water_level", "base_head"))


def plot_all(result: Result, outdir: Optional[str | os.PathLike] = None,
             formats: Union[str, Sequence[str]] = "png") -> Union[list[str], dict[str, Figure]]:
    """Every figure that applies: settlement, isochrones, compression,
    consolidation for a profile of one layer, and the load and heads against
    time (loading) for stages placed over time or changing the heads.

    Parameters
    ----------
    outdir : str or path-like, optional
        Write them into this directory (settlement.png ...) and return the
        paths; without it, return the figures by name.
    formats : str or sequence of str, default "png"
        Any of "png" (110 dpi), "svg", "pdf"; every figure in each of them.
    """
    kinds = [formats] if isinstance(formats, str) else list(formats)
    bad = [k for k in kinds if k not in FORMATS]
    if bad or not kinds:
        raise ValueError(f"formats must be some of {', '.join(FORMATS)}; got {formats!r}")
    jobs: list[tuple[str, Callable[..., Figure]]] = [
        ("settlement", plot_settlement), ("isochrones", plot_isochrones),
        ("compression", plot_compression)]
    if result.dataset.sizes["layer"] == 1:
        jobs.append(("consolidation", plot_consolidation))
    if _over_time(result.dataset):
        jobs.append(("loading", plot_loading))
    if outdir is None:
        return {name: draw(result) for name, draw in jobs}
    os.makedirs(outdir, exist_ok=True)
    paths = []
    for name, draw in jobs:
        fig = draw(result)
        for kind in kinds:
            path = os.path.join(os.fspath(outdir), f"{name}.{kind}")
            _save(fig, path)
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
    return _save(fig, path)


def plot_drain_design(design: DrainDesign, path: Optional[str | os.PathLike] = None) -> Figure:
    """The degree of consolidation under the design load against log time, one line per
    spacing of a drain design (`pelorin.design_drains`), the target and its date
    marked; the spacings that meet it drawn solid, the others dashed."""
    ds = design.dataset
    t = ds["time"].values[1:]
    target, within = float(ds.attrs["target"]), float(ds.attrs["within"])
    fig = _figure(figsize=(8.0, 4.8))
    ax = fig.add_subplot()
    from matplotlib import colormaps
    colours = colormaps["viridis"](np.linspace(0.0, 0.9, max(ds.sizes["spacing"], 2)))
    for i, s in enumerate(ds["spacing"].values):
        if str(ds["status"].values[i]) != "ok":
            continue
        meets = bool(ds["meets_target"].values[i])
        ax.plot(t, ds["degree"].values[i, 1:], color=colours[i], lw=1.4,
                ls="-" if meets else "--", label=f"{s:g} m")
    ax.axhline(target, color="k", lw=0.8, ls=":")
    ax.axvline(within, color="k", lw=0.8, ls=":")
    ax.annotate(f"U = {target:g} by {within:g} d", (within, target), xytext=(4, 4),
                textcoords="offset points", fontsize=8)
    ax.set_xscale("log")
    top = np.nanmax(ds["degree"].values[:, 1:], initial=1.0)    # above 1 under a vacuum
    ax.set_ylim(0.0, max(1.02, float(top) + 0.02))
    ax.set_xlabel("time (days)")
    ax.set_ylabel("average degree of consolidation U under the design load")
    ax.grid(True, which="both", alpha=0.3)
    widest = float(ds.attrs["widest_spacing"])
    ax.legend(title="spacing (solid: meets)", fontsize=8, loc="upper left")
    what = (f"widest spacing meeting the target {widest:g} m" if math.isfinite(widest)
            else "no spacing meets the target")
    title = str(ds.attrs.get("title") or "Drain design")
    ax.set_title("\n".join(textwrap.wrap(f"{title}: {what}", 80)))
    fig.tight_layout()
    return _save(fig, path)


def _model_history(result: Result, series: Any) -> np.ndarray:
    """A run's history of what an instrument reads (m or kPa), at every output time."""
    from .observations import Observations, model_values

    ds = result.dataset
    t = ds["time"].values
    probe = Observations([type(series)(series.kind, series.name, t, np.zeros_like(t), None,
                                       series.depth, series.bottom)])
    return model_values(probe, t, ds["depth"].values, ds["z"].values, ds["u"].values,
                        ds["settlement"].values)[0]


def plot_fit(fit: Fit, prediction: Optional[Prediction] = None,
             path: Optional[str | os.PathLike] = None) -> Figure:
    """Readings against time with the fitted model, one panel per kind of reading; with
    a prediction also the design run and the P10-P90 band of settlement."""
    obs = fit.observations
    kinds = [k for k in ("settlement", "compression", "pore_pressure")
             if any(s.kind == k for s in obs)]
    fig = _figure(figsize=(8.0, 3.2 + 2.6 * len(kinds)), constrained_layout=True)
    axes = fig.subplots(len(kinds), 1, sharex=True, squeeze=False)[:, 0]
    colours = ["tab:red", "tab:green", "tab:purple", "tab:orange", "tab:brown", "tab:olive"]
    at = 0
    model_at = {}
    for s in obs:
        model_at[s.name] = fit.model[at:at + len(s)]
        at += len(s)
    for ax, kind in zip(axes, kinds):
        scale = 1000.0 if kind != "pore_pressure" else 1.0
        unit = "mm" if kind != "pore_pressure" else "kPa"
        label = {"settlement": "settlement", "compression": "compression",
                 "pore_pressure": "excess pore pressure"}[kind]
        if kind == "settlement" and prediction is not None and prediction.band is not None:
            b = prediction.band.dataset
            t = b["time"].values
            pct = b["settlement_percentiles"].values * scale
            pos = t > 0
            ax.fill_between(t[pos], pct[0][pos], pct[-1][pos], color="tab:blue", alpha=0.3,
                            label=f"P{b['percentile'].values[0]:g}-"
                                  f"P{b['percentile'].values[-1]:g} of the fit")
            ax.plot(t[pos], pct[len(pct) // 2][pos], color="tab:blue", lw=0.8, ls=":",
                    label=f"P{b['percentile'].values[len(pct) // 2]:g}")
        for i, s in enumerate(x for x in obs if x.kind == kind):
            c = colours[i % len(colours)]
            err = None if s.sd is None else s.sd * scale
            ax.errorbar(s.time, s.value * scale, yerr=err, fmt="o", ms=3, color=c, lw=0.8,
                        alpha=0.8, label=f"{s.name} (readings)")
            if prediction is not None:
                t = prediction.fitted.time.values
                pos = t > 0
                ax.plot(t[pos], _model_history(prediction.fitted, s)[pos] * scale, color=c,
                        lw=1.4, label=f"{s.name}: fitted model")
                if prediction.design is not None:
                    ax.plot(t[pos], _model_history(prediction.design, s)[pos] * scale,
                            color=c, lw=1.0, ls="--", label=f"{s.name}: design")
            else:
                ax.plot(s.time, model_at[s.name] * scale, color=c, lw=1.4,
                        label=f"{s.name}: fitted model")
        if kind != "pore_pressure":
            ax.invert_yaxis()
        ax.set_ylabel(f"{label} ({unit})")
        ax.set_xscale("log")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7, loc="best")
    axes[-1].set_xlabel("time (days)")
    firsts = [float(s.time[s.time > 0].min()) for s in obs if np.any(s.time > 0)]
    if firsts:
        axes[-1].set_xlim(left=min(firsts) / 3.0)
    names = ", ".join(f"{k} = {v:.3g}" for k, v in fit.values.items())
    axes[0].set_title(f"Back-analysis: {names}", fontsize=9)
    return _save(fig, path)


def plot_asaoka(fit: AsaokaFit, path: Optional[str | os.PathLike] = None) -> Figure:
    """Asaoka's plot: s_k against s_(k-1), the fitted line and the 45-degree line."""
    fig = _figure(figsize=(5.5, 5.0), constrained_layout=True)
    ax = fig.add_subplot()
    ax.plot(fit.previous, fit.current, "o", ms=4, label=f"readings every {fit.interval:g} d")
    top = max(fit.ultimate, float(np.max(fit.current))) * 1.05
    low = float(np.min(fit.previous))
    x = np.array([low, top])
    ax.plot(x, fit.beta0 + fit.beta1 * x, "-", lw=1.2,
            label=f"s_k = {fit.beta0:.4g} + {fit.beta1:.4f} s_(k-1)")
    ax.plot(x, x, "k:", lw=1.0, label="s_k = s_(k-1)")
    ax.plot([fit.ultimate], [fit.ultimate], "kx", ms=9, label=f"ultimate {fit.ultimate:.4g}")
    ax.set_xlabel("s_(k-1)")
    ax.set_ylabel("s_k")
    title = "Asaoka's construction"
    if math.isfinite(fit.cv):
        title += f": cv = {fit.cv:.3g} m2/day"
    ax.set_title(title)
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    return _save(fig, path)


def plot_hyperbolic(fit: HyperbolicFit, path: Optional[str | os.PathLike] = None) -> Figure:
    """The hyperbolic method: (t - t0)/(s - s0) against t - t0 with its straight line."""
    fig = _figure(figsize=(6.0, 4.5), constrained_layout=True)
    ax = fig.add_subplot()
    ax.plot(fit.time, fit.ratio, "o", ms=4, label="readings")
    x = np.array([0.0, float(np.max(fit.time))])
    ax.plot(x, fit.intercept + fit.slope * x, "-", lw=1.2,
            label=f"slope {fit.slope:.4g}: ultimate {fit.ultimate:.4g} "
                  f"(corrected {fit.corrected:.4g})")
    ax.set_xlabel("t - t0 (days)")
    ax.set_ylabel("(t - t0)/(s - s0)")
    ax.set_title("Hyperbolic method")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=8)
    return _save(fig, path)


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
