"""The text tables of an analysis and of a sweep."""
from __future__ import annotations

import html
import math
import warnings
from collections import Counter
from typing import Any, Mapping

import numpy as np
import xarray as xr

from . import __version__
from ._quantities import calendar_date
from .model import DRAINAGE_WORDS

__all__ = ["result_summary", "sweep_summary", "result_html", "sweep_html", "site_summary",
           "written_by", "csv_header"]


def written_by(attrs: Mapping[str, Any]) -> str:
    """The last lines of a summary file: the program's version and, for a result of a
    case file, the file and the SHA-256 of its bytes."""
    text = f"written by pelorin {__version__}"
    if attrs.get("case_sha256"):
        text += f"\ncase file {attrs.get('case_file', '')}, SHA-256 {attrs['case_sha256']}"
    return text


def csv_header(attrs: Mapping[str, Any]) -> str:
    """The comment lines that open a CSV file (``pandas.read_csv(path, comment="#")``):
    the program's version, PARTIAL and why for a partial result, the case file and its
    SHA-256."""
    partial = attrs.get("partial")
    text = f"# pelorin {__version__}" + (f"; PARTIAL: {partial}" if partial else "") + "\n"
    if attrs.get("case_sha256"):
        text += f"# case file {attrs.get('case_file', '')}, SHA-256 {attrs['case_sha256']}\n"
    return text


def result_summary(ds: xr.Dataset) -> str:
    """The profile, the stages (t50, t90, end of primary, primary settlement, creep), the
    layers, and the final settlement of an analysis's Dataset."""
    mm = 1000.0
    t_end = float(ds["time"][-1])
    lines = []
    if ds.attrs.get("title"):
        lines += [str(ds.attrs["title"]), ""]
    nl = ds.sizes["layer"]
    lines.append(f"{float(ds['layer_bottom'][-1]):.2f} m in {nl} layer{'s' if nl > 1 else ''}, "
                 f"{ds.sizes['node'] - 1} elements; drained "
                 f"{DRAINAGE_WORDS[ds.attrs['drainage']]}; surcharge "
                 f"{float(ds.attrs['surcharge']):g} kPa; {ds.sizes['time']} output times "
                 f"to {t_end:g} days")
    if ds.attrs.get("drains"):
        lines.append(str(ds.attrs["drains"]))
    if ds.attrs.get("end_note"):
        lines.append(f"({t_end:g} days, {t_end / 365.25:.3g} years: {ds.attrs['end_note']})")
    start = ds.attrs.get("start_date")
    if start:
        lines.append(f"day 0 is {start}; the stages start on "
                     + ", ".join(calendar_date(start, t) for t in ds["stage_time"].values)
                     + f"; the analysis ends on {calendar_date(start, t_end)}")
    lines.append("")
    lines.append("stage  start [d]  load [kPa]  t50 [d]  t90 [d]  end of primary [d]  "
                 "primary [mm]  at EOP [mm]  at end [mm]  creep [mm]")
    for k in range(ds.sizes["stage"]):
        g = lambda key: float(ds[key][k])  # noqa: E731
        lines.append(f"{k + 1:5d} {g('stage_time'):10g} {g('stage_load'):11.1f} "
                     f"{_fmt(g('t50')):>8} {_fmt(g('t90')):>8} {_fmt(g('t_eop')):>19} "
                     f"{g('primary') * mm:13.1f} {_fmt(g('settlement_eop') * mm, '.1f'):>12} "
                     f"{g('settlement_end') * mm:12.1f} "
                     f"{_fmt(g('creep') * mm, '.1f'):>11}")
    lines.append("")
    lines.append(f"{'layer':<16} {'top [m]':>8} {'bottom [m]':>11} {'elements':>9} "
                 f"{'compression at end [mm]':>24}")
    for i in range(ds.sizes["layer"]):
        lines.append(f"{str(ds['layer_name'].values[i]):<16} "
                     f"{float(ds['layer_top'][i]):8.2f} {float(ds['layer_bottom'][i]):11.2f} "
                     f"{int(ds['layer_elements'][i]):9d} "
                     f"{float(ds['layer_settlement'][i, -1]) * mm:24.1f}")
    lines.append("")
    s_end = float(ds["settlement"][-1]) * mm
    line = f"settlement of the surface at {t_end:g} days: {s_end:.1f} mm"
    if "settlement_net" in ds:
        line += (f"; caused by the load (net of {float(ds['settlement_background'][-1]) * mm:.1f}"
                 f" mm background creep): {float(ds['settlement_net'][-1]) * mm:.1f} mm")
    lines.append(line)
    if ds.attrs.get("general_loading"):
        lines.append(f"final primary settlement after stage {ds.sizes['stage']} (under "
                     f"{float(ds['stage_load'][-1]):g} kPa as given, the fills submerging, "
                     f"the heads' steady seepage): {float(ds['primary'][-1]) * mm:.1f} mm")
    else:
        lines.append(f"final primary settlement under {float(ds['stage_load'][-1]):g} kPa: "
                     f"{float(ds['primary'][-1]) * mm:.1f} mm")
    lines += acting_lines(ds) + date_lines(ds) + strength_lines(ds)
    return "\n".join(lines)


def acting_lines(ds: xr.Dataset) -> list[str]:
    """The load acting, the water level and the base head at the end of each stage's
    change and at the end, for a loading placed over time, submerging or changing the
    heads (none otherwise)."""
    if not ds.attrs.get("general_loading"):
        return []
    t = ds["time"].values
    load, level, head = (ds[k].values for k in ("load_acting", "water_level", "base_head"))
    lines = ["", "the load acting (fills submerging), the water level and the base head",
             f"{'':14} {'time [d]':>9} {'as given [kPa]':>15} {'acting [kPa]':>13} "
             f"{'water level [m]':>16} {'base head [m]':>14}"]
    rows = [(f"stage {k + 1} placed", float(ds["stage_time"][k] + ds["stage_duration"][k]),
             float(ds["stage_load"][k]), float(ds["stage_duration"][k]) == 0.0)
            for k in range(ds.sizes["stage"])]
    rows.append(("end", float(t[-1]), float(ds["stage_load"][-1]), False))
    for label, when, given, at_once in rows:
        if when > t[-1]:
            continue
        j = int(np.argmin(np.abs(t - when)))
        if at_once and when > 0.0 and j + 1 < t.size:   # an output time shows the load
            j += 1                                       # before a change made there
        lines.append(f"{label:<14} {t[j]:9g} {given:15.1f} {load[j]:13.1f} {level[j]:16.2f} "
                     f"{head[j]:14.2f}")
    return lines


def date_lines(ds: xr.Dataset) -> list[str]:
    """The table of the report dates (none without dates)."""
    if "date" not in ds.coords:
        return []
    mm = 1000.0
    net = "settlement_net_at_date" in ds
    life = ds.attrs.get("design_life", "")
    width = max(16, max(len(str(d)) for d in ds["date"].values))
    start = ds.attrs.get("start_date")
    head = (f"{'date':<{width}} " + (f"{'on':<10} " if start else "")
            + f"{'time [d]':>9} {'load [kPa]':>10} {'settlement [mm]':>15} "
            + (f"{'net [mm]':>9} " if net else "")
            + f"{'U pore':>7} {'U settlement':>12} {'residual to ' + life + ' [mm]':>24}")
    lines = ["", head]
    for i, label in enumerate(ds["date"].values):
        g = lambda key: float(ds[key][i])  # noqa: E731
        line = (f"{str(label):<{width}} "
                + (f"{calendar_date(start, g('date_time')):<10} " if start else "")
                + f"{g('date_time'):9g} {g('date_load'):10.1f} "
                f"{g('settlement_at_date') * mm:15.1f} ")
        if net:
            line += f"{g('settlement_net_at_date') * mm:9.1f} "
        line += (f"{_fmt(g('U_pore_at_date'), '.3f'):>7} "
                 f"{_fmt(g('U_settlement_at_date'), '.3f'):>12} "
                 f"{g('residual_settlement') * mm:24.1f}")
        lines.append(line)
    return lines


def strength_lines(ds: xr.Dataset) -> list[str]:
    """Mean undrained strength of each layer with S and m at time 0 and at every
    stage start (none when no soil gives S)."""
    if "su" not in ds:
        return []
    ns = ds.sizes["stage"]
    lines = ["", "undrained strength su = S*sigv*OCR^m, mean over the layer, at t = 0, at "
             "each stage start and at the end [kPa]",
             f"{'layer':<16} {'S':>6} {'m':>5} {'at t = 0':>9}"
             + "".join(f"{'stage ' + str(k + 1):>9}" for k in range(ns))
             + f"{'at end':>9}"]
    layer = ds["layer_index"].values
    h = np.diff(ds["depth"].values)
    for i, name in enumerate(ds["layer_name"].values):
        w = layer == i
        S = ds["su_S"].values[w]
        if not np.all(np.isfinite(S)):
            continue
        mean = lambda v: float(np.sum(v[w] * h[w]) / np.sum(h[w]))  # noqa: E731
        su = ds["su"].values
        cells = [mean(su[:, 0])] + [mean(ds["su_stage"].values[k]) for k in range(ns)] \
            + [mean(su[:, -1])]
        lines.append(f"{str(name):<16} {S[0]:6.3g} {float(ds['su_m'].values[w][0]):5.3g} "
                     + "".join(f"{c:9.1f}" for c in cells))
    return lines


def _fmt(x: float, spec: str = ".4g") -> str:
    return "-" if not math.isfinite(x) else format(x, spec)


def sweep_summary(ds: xr.Dataset, dim: str, failures: Counter) -> str:
    """Counts, failures and their reasons, and percentiles of a sweep's Dataset."""
    n = ds.sizes[dim]
    failed = sum(failures.values())
    lines = [f"{ds.attrs.get('title') or 'Sweep'}: {n} {dim}s, {n - failed} ran, "
             f"{failed} failed"]
    for reason, count in failures.most_common():
        lines.append(f"  {count:6d} x {reason}")
    if n - failed:
        pct = ds["percentile"].values
        lines.append("")
        lines.append(f"{'':34s}" + "".join(f"{'P%g' % p:>12s}" for p in pct))
        rows = [("final settlement (m)", ds["final_settlement_percentiles"].values)]
        for k, st in enumerate(ds["stage"].values):
            rows.append((f"t90 of stage {st} (days)", ds["t90_percentiles"].values[:, k]))
            rows.append((f"primary, stage {st} (m)", ds["primary_percentiles"].values[:, k]))
        for label, values in rows:
            lines.append(f"{label:34s}" + "".join(
                f"{v:12.4g}" if math.isfinite(v) else f"{'-':>12s}" for v in values))
        if "settlement_deterministic" in ds:
            lines.append(f"{'deterministic final settlement (m)':34s}"
                         f"{float(ds['settlement_deterministic'][-1]):12.4g}")
    return "\n".join(lines)

def _cell(x: float, spec: str) -> str:
    return "-" if not math.isfinite(x) else format(x, spec)


def _table(head: list[str], rows: list[list[str]]) -> str:
    cells = "".join(f"<th>{html.escape(h)}</th>" for h in head)
    body = "".join("<tr>" + "".join(f"<td>{html.escape(c)}</td>" for c in row) + "</tr>"
                   for row in rows)
    return f"<table><thead><tr>{cells}</tr></thead><tbody>{body}</tbody></table>"


def result_html(ds: xr.Dataset) -> str:
    """An analysis for a notebook: the title, the profile, the stage table and the
    settlements at the end."""
    mm = 1000.0
    t_end = float(ds["time"][-1])
    title = html.escape(str(ds.attrs.get("title") or "pelorin result"))
    partial = (f"<p><b>partial result:</b> {html.escape(str(ds.attrs['partial']))}</p>"
               if ds.attrs.get("partial") else "")
    nl = ds.sizes["layer"]
    head = (f"<p>{float(ds['layer_bottom'][-1]):.2f} m in {nl} layer{'s' if nl > 1 else ''}, "
            f"{ds.sizes['node'] - 1} elements; drained "
            f"{html.escape(DRAINAGE_WORDS[ds.attrs['drainage']])}; {ds.sizes['time']} output "
            f"times to {t_end:g} days</p>")
    if ds.attrs.get("drains"):
        head += f"<p>{html.escape(str(ds.attrs['drains']))}</p>"
    rows = []
    for k in range(ds.sizes["stage"]):
        g = lambda key: float(ds[key][k])  # noqa: E731
        rows.append([str(k + 1), f"{g('stage_time'):g}", f"{g('stage_load'):.1f}",
                     _cell(g("t50"), ".4g"), _cell(g("t90"), ".4g"), _cell(g("t_eop"), ".4g"),
                     f"{g('primary') * mm:.1f}", f"{g('settlement_end') * mm:.1f}",
                     _cell(g("creep") * mm, ".1f")])
    stages = _table(["stage", "start [d]", "load [kPa]", "t50 [d]", "t90 [d]",
                     "end of primary [d]", "primary [mm]", "at end [mm]", "creep [mm]"], rows)
    end = (f"<p>settlement of the surface at {t_end:g} days: "
           f"<b>{float(ds['settlement'][-1]) * mm:.1f} mm</b>")
    if "settlement_net" in ds:
        end += f"; caused by the load: {float(ds['settlement_net'][-1]) * mm:.1f} mm"
    end += (f"; final primary settlement under {float(ds['stage_load'][-1]):g} kPa: "
            f"{float(ds['primary'][-1]) * mm:.1f} mm</p>")
    return f"<div><h4>{title}</h4>{partial}{head}{stages}{end}</div>"


def sweep_html(ds: xr.Dataset, dim: str, failures: Counter) -> str:
    """A sweep for a notebook: counts, the failures' reasons and the percentiles."""
    n = ds.sizes[dim]
    failed = sum(failures.values())
    title = html.escape(str(ds.attrs.get("title") or "pelorin sweep"))
    parts = [f"<div><h4>{title}</h4><p>{n} {dim}s, {n - failed} ran, {failed} failed</p>"]
    if ds.attrs.get("partial"):
        parts.append(f"<p><b>partial:</b> {html.escape(str(ds.attrs['partial']))}</p>")
    if failures:
        parts.append(_table(["runs", "failed because"],
                            [[str(c), r] for r, c in failures.most_common()]))
    if n - failed:
        pct = [f"P{p:g}" for p in ds["percentile"].values]
        rows = [["final settlement [mm]"] + [_cell(v * 1000.0, ".1f") for v in
                                              ds["final_settlement_percentiles"].values]]
        for k, st in enumerate(ds["stage"].values):
            rows.append([f"t90 of stage {st} [d]"] + [_cell(v, ".4g") for v in
                                                      ds["t90_percentiles"].values[:, k]])
            rows.append([f"primary, stage {st} [mm]"] + [
                _cell(v * 1000.0, ".1f") for v in ds["primary_percentiles"].values[:, k]])
        parts.append(_table([""] + pct, rows))
    parts.append("</div>")
    return "".join(parts)


def site_summary(ds: xr.Dataset) -> str:
    """Points, shared runs and failures of a site; per group of points the largest
    settlement at the end, and along every line the largest differential settlement and
    angular distortion; the named points of a list one by one."""
    mm = 1000.0
    n = ds.sizes["point"]
    failed = int(ds.attrs.get("failed", 0))
    t_end = float(ds["time"][-1])
    lines = [f"{ds.attrs.get('title') or 'Site'}: {n} points, {ds.attrs.get('runs')} runs "
             f"(points with the same column and stress share one), {failed} failed; "
             f"stress by {ds.attrs.get('method')}; {ds.sizes['time']} output times to "
             f"{t_end:g} days"]
    reasons = Counter(str(s) for s in ds["status"].values if str(s) != "ok")
    for reason, count in reasons.most_common():
        lines.append(f"  {count:6d} x {reason}")
    lines.append("")
    lines.append(f"{'group':<16} {'points':>6}  {'largest settlement at end [mm]':>31}  "
                 f"{'at (x, y) [m]':>16}  {'largest |diff.| [mm]':>20}  "
                 f"{'largest distortion':>18}")
    groups = list(dict.fromkeys(str(g) for g in ds["group"].values))
    final = ds["final_settlement"].values
    for g in groups:
        sel = ds["group"].values == g
        f = np.where(sel & np.isfinite(final), final, -np.inf)
        i = int(np.argmax(f))
        where = f"({float(ds['x'][i]):g}, {float(ds['y'][i]):g})" if np.isfinite(f[i]) else "-"
        big = final[i] * mm if np.isfinite(f[i]) else math.nan
        diff = np.abs(ds["differential_settlement"].values[sel])
        dist = np.abs(ds["angular_distortion"].values[sel])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            dmax = float(np.nanmax(diff)) * mm if np.isfinite(diff).any() else math.nan
            amax = float(np.nanmax(dist)) if np.isfinite(dist).any() else math.nan
        amax_txt = f"1/{1.0 / amax:.0f}" if math.isfinite(amax) and amax > 0 else "-"
        lines.append(f"{g:<16} {int(sel.sum()):6d}  {_fmt(big, '.1f'):>31}  {where:>16}  "
                     f"{_fmt(dmax, '.1f'):>20}  {amax_txt:>18}")
    named = [i for i in range(n) if str(ds["kind"].values[i]) == "point"]
    net = "settlement_net" in ds
    if named:
        lines.append("")
        lines.append(f"{'point':<16} {'x [m]':>9} {'y [m]':>9} {'borehole':>9} "
                     f"{'primary [mm]':>13} {'t90 [d]':>9} {'at end [mm]':>12} "
                     f"{'creep [mm]':>11}" + (f" {'net at end [mm]':>16}" if net else ""))
        for i in named:
            lines.append(f"{str(ds['name'].values[i]):<16} {float(ds['x'][i]):9.2f} "
                         f"{float(ds['y'][i]):9.2f} {str(ds['borehole'].values[i]):>9} "
                         f"{float(ds['final_primary'][i]) * mm:13.1f} "
                         f"{_fmt(float(ds['t90'][i, 0])):>9} {final[i] * mm:12.1f} "
                         f"{_fmt(float(ds['creep'][i, -1]) * mm, '.1f'):>11}"
                         + (f" {float(ds['settlement_net'][i, -1]) * mm:16.1f}" if net else ""))
    return "\n".join(lines)
