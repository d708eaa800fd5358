"""One self-contained HTML file for a design report: inputs, profile, results, figures.

Everything is in the file (figures as inline SVG, styles inline), so it reads
offline, travels as one attachment and prints to PDF from a browser; every input
and result comes from the Result's Dataset, so a saved result gives the same
report as the run that made it.
"""
from __future__ import annotations

import datetime
import html
import io
import json
import os
import re
from importlib import resources
from importlib.metadata import PackageNotFoundError, version
from typing import Any, Iterable, Optional, Sequence

import numpy as np

from . import plots
from ._column import GAMMA_W
from ._files import replacing
from ._quantities import calendar_date
from .model import DRAINAGE_WORDS

__all__ = ["write_report", "report_html", "package_version", "validation_table"]

_STYLE = """
body { font-family: "DejaVu Sans", Arial, sans-serif; font-size: 10.5pt; color: #111;
       margin: 2em auto; max-width: 60em; padding: 0 1em; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; border-bottom: 1px solid #888; margin-top: 1.6em; }
table { border-collapse: collapse; margin: 0.6em 0; font-size: 0.92em; }
th, td { border: 1px solid #bbb; padding: 0.15em 0.5em; }
th { background: #eee; text-align: left; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
p.meta { color: #444; margin: 0.1em 0; }
figure { margin: 1em 0; break-inside: avoid; page-break-inside: avoid; }
figure svg { width: 100%; height: auto; }
figcaption { font-size: 0.9em; color: #333; }
section { break-inside: auto; }
table, tr { break-inside: avoid; page-break-inside: avoid; }
@page { size: A4; margin: 15mm; }
@media print { body { margin: 0; max-width: none; } h2 { break-after: avoid; } }
"""


def package_version() -> str:
    """The version of the installed package (or of the source tree's VERSION file)."""
    try:
        text = resources.files("pelorin").joinpath("VERSION").read_text().strip()
        if text:
            return text
    except (OSError, ModuleNotFoundError, TypeError):
        pass
    try:
        return version("pelorin")
    except PackageNotFoundError:
        return "unknown"


def validation_table() -> list[list[str]]:
    """The rows of the validation table shipped with this version (the table of
    `make validate`, as in the README): case, quantity, tolerance, error, result."""
    text = resources.files("pelorin").joinpath("validation.md").read_text()
    rows = [[c.strip() for c in line.strip().strip("|").split("|")]
            for line in text.splitlines() if line.startswith("|")]
    return [r for r in rows if not all(set(c) <= set("-: ") for c in r)]


def _e(x: Any) -> str:
    return html.escape(str(x), quote=True)


def _cell(x: Any, spec: str) -> str:
    if isinstance(x, (float, np.floating)):
        return '<td class="n">' + ("-" if not np.isfinite(x) else format(float(x), spec)) \
            + "</td>"
    if isinstance(x, (int, np.integer)):
        return f'<td class="n">{int(x)}</td>'
    return f"<td>{_e(x)}</td>"


def _table(head: Sequence[str], rows: Iterable[Sequence[Any]], spec: str = ".4g",
           caption: Optional[str] = None) -> str:
    out = ["<table>"]
    if caption:
        out.append(f"<caption>{_e(caption)}</caption>")
    out.append("<thead><tr>" + "".join(f"<th>{_e(h)}</th>" for h in head) + "</tr></thead>")
    out.append("<tbody>")
    for row in rows:
        out.append("<tr>" + "".join(_cell(x, spec) for x in row) + "</tr>")
    out.append("</tbody></table>")
    return "\n".join(out)


def _svg(fig: Any, prefix: str) -> str:
    """A matplotlib figure as inline SVG, its ids made unique in the page."""
    buf = io.StringIO()
    fig.savefig(buf, format="svg")
    text = buf.getvalue()
    text = text[text.index("<svg"):]
    ids = set(re.findall(r'\bid="([^"]+)"', text))
    for old in sorted(ids, key=len, reverse=True):
        new = f"{prefix}-{old}"
        text = text.replace(f'id="{old}"', f'id="{new}"')
        text = text.replace(f"url(#{old})", f"url(#{new})")
        text = text.replace(f'href="#{old}"', f'href="#{new}"')
    return text


def _layers(ds: Any) -> list[dict]:
    return json.loads(ds.attrs.get("soils", "[]"))


def _history(h: Sequence[Any]) -> str:
    key, value = h
    if key == "pc_top/pc_bottom":
        return f"pc {value[0]:g} to {value[1]:g} kPa"
    unit = {"pc": " kPa", "pop": " kPa"}.get(key, "")
    name = {"ocr": "OCR", "pop": "POP", "pc": "pc", "e0": "e0"}.get(key, key)
    return f"{name} {value:g}{unit}"


def _profile_figure(ds: Any) -> Any:
    """The soil profile: the layers drawn to scale with their names, beside the
    initial effective and preconsolidation stresses (and su when there is one)."""
    fig = plots._figure(figsize=(8.0, 5.0))
    left, right = fig.subplots(1, 2, sharey=True, gridspec_kw=dict(width_ratios=(1, 2)))
    top, bottom = ds["layer_top"].values, ds["layer_bottom"].values
    colours = ["#c9b38a", "#8fa6bf", "#e3d27a", "#9bb98f", "#c79999", "#a5a5c9"]
    names = [str(n) for n in ds["layer_name"].values]
    for i, (a, b) in enumerate(zip(top, bottom)):
        left.axhspan(a, b, color=colours[i % len(colours)], ec="k", lw=0.6)
        left.text(0.5, 0.5 * (a + b), names[i], ha="center", va="center", fontsize=8)
    left.set_xlim(0, 1)
    left.set_xticks([])
    left.set_ylim(bottom[-1], 0.0)
    left.set_ylabel("depth [m]")
    left.set_title("layers", fontsize=9)
    d = ds["element_depth"].values if "element_depth" in ds else \
        0.5 * (ds["depth"].values[:-1] + ds["depth"].values[1:])
    right.plot(ds["sigv0"].values, d, label="initial effective stress σ′v0")
    right.plot(ds["pc0"].values, d, "--", label="preconsolidation stress σ′p")
    if "su" in ds:
        right.plot(ds["su"].values[:, 0], d, ":", label="su at t = 0")
        right.plot(ds["su"].values[:, -1], d, "-.", label="su at the end")
    right.set_xlabel("stress [kPa]")
    right.set_xlim(left=0.0)
    right.grid(True, lw=0.3)
    right.legend(fontsize=8, loc="lower left")
    right.set_title("initial state", fontsize=9)
    fig.tight_layout()
    return fig


def _derived_rows(ds: Any) -> list[list[Any]]:
    """Per layer, from its initial state at mid-depth: e0, the lab ratios and the
    bulk unit weight."""
    rows = []
    layer = ds["layer_index"].values
    for i, spec in enumerate(_layers(ds)):
        w = np.flatnonzero(layer == i)
        c = int(w[len(w) // 2])
        e0 = float(ds["e0"].values[c])
        one = 1.0 + e0
        rows.append([spec["name"], float(ds["sigv0"].values[c]), float(ds["pc0"].values[c]),
                     e0, spec["Cc"] / one, spec["Cr"] / one, spec["Ca"] / one,
                     (spec["Gs"] + e0) * GAMMA_W / one, float(ds["cv"].values[c])])
    return rows


def report_html(result: Any, *, source: str = "") -> str:
    """The report of a Result as one HTML document (text)."""
    ds = result.dataset
    title = ds.attrs.get("title") or "Consolidation analysis"
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    parts = [f"<h1>{_e(title)}</h1>",
             f'<p class="meta">pelorin {_e(package_version())}; written {stamp}</p>']
    if source or ds.attrs.get("case_file"):
        parts.append(f'<p class="meta">case file {_e(source or ds.attrs.get("case_file"))}'
                     + (f"; SHA-256 {_e(ds.attrs['case_sha256'])}"
                        if ds.attrs.get("case_sha256") else "") + "</p>")

    # inputs
    nl = ds.sizes["layer"]
    parts.append("<h2>Inputs</h2>")
    parts.append(f"<p>{float(ds['layer_bottom'][-1]):.2f} m in {nl} layer"
                 f"{'s' if nl > 1 else ''}, {ds.sizes['element']} elements; drained "
                 f"{_e(DRAINAGE_WORDS.get(ds.attrs['drainage'], ds.attrs['drainage']))}; "
                 f"surcharge {float(ds.attrs['surcharge']):g} kPa; groundwater at the top.</p>")
    if ds.attrs.get("drains"):
        parts.append(f"<p>{_e(ds.attrs['drains'])}.</p>")
    specs = _layers(ds)
    parts.append(_table(
        ["layer", "top [m]", "bottom [m]", "elements", "stress history", "Cc", "Cr",
         "esigvref", "sigvref [kPa]", "kref [m/s]", "ekref", "Ck", "Gs", "Ca", "tref [d]",
         "S", "m"],
        [[s["name"], float(ds["layer_top"][i]), float(ds["layer_bottom"][i]),
          int(ds["layer_elements"][i]), _history(s["history"]), s["Cc"], s["Cr"],
          s["esigvref"], s["sigvref"], s["kref"], s["ekref"], s["Ck"], s["Gs"], s["Ca"],
          s["tref"], np.nan if s.get("S") is None else s["S"],
          np.nan if s.get("m") is None else s["m"]] for i, s in enumerate(specs)],
        caption="Layers and soils"))
    parts.append(_table(["layer", "σ′v0 [kPa]", "σ′p [kPa]", "e0", "CR = Cc/(1+e0)",
                         "RR = Cr/(1+e0)", "Cαε = Ca/(1+e0)", "bulk unit weight [kN/m³]",
                         "cv [m²/day]"], _derived_rows(ds),
                        caption="Derived at the middle of each layer, before loading"))
    start = ds.attrs.get("start_date")
    on = (lambda t: [calendar_date(start, t)]) if start else (lambda t: [])  # noqa: E731
    parts.append(_table(["stage", "start [d]"] + (["on"] if start else []) + ["load [kPa]"],
                        [[k + 1, float(ds["stage_time"][k]), *on(float(ds["stage_time"][k])),
                          float(ds["stage_load"][k])]
                         for k in range(ds.sizes["stage"])],
                        caption="Load stages" + (f" (day 0 is {start})" if start else "")))
    parts.append("<h2>Soil profile</h2>")
    parts.append(_figure(_profile_figure(ds), "profile",
                         "The layers to scale; initial effective and preconsolidation "
                         "stress at the element centres."))

    # results
    mm = 1000.0
    parts.append("<h2>Results</h2>")
    g = lambda key, k: float(ds[key][k])  # noqa: E731
    parts.append(_table(
        ["stage", "start [d]", "load [kPa]", "t50 [d]", "t90 [d]", "end of primary [d]",
         "primary [mm]", "at EOP [mm]", "at end [mm]", "creep [mm]"],
        [[k + 1, g("stage_time", k), g("stage_load", k), g("t50", k), g("t90", k),
          g("t_eop", k), g("primary", k) * mm, g("settlement_eop", k) * mm,
          g("settlement_end", k) * mm, g("creep", k) * mm]
         for k in range(ds.sizes["stage"])], caption="Stages"))
    parts.append(_table(["layer", "top [m]", "bottom [m]", "compression at end [mm]"],
                        [[str(ds["layer_name"].values[i]), float(ds["layer_top"][i]),
                          float(ds["layer_bottom"][i]),
                          float(ds["layer_settlement"][i, -1]) * mm] for i in range(nl)],
                        caption="Layers"))
    t_end = float(ds["time"][-1])
    line = (f"Settlement of the surface at {t_end:g} days"
            + (f" ({calendar_date(start, t_end)})" if start else "")
            + f": {float(ds['settlement'][-1]) * mm:.1f} mm")
    if "settlement_net" in ds:
        line += (f"; caused by the load (net of {float(ds['settlement_background'][-1]) * mm:.1f}"
                 f" mm background creep): {float(ds['settlement_net'][-1]) * mm:.1f} mm")
    parts.append(f"<p>{_e(line)}.</p>")
    if "date" in ds.coords:
        net = "settlement_net_at_date" in ds
        life = ds.attrs.get("design_life", "design life")
        head = ["date"] + (["on"] if start else []) + ["time [d]", "load [kPa]",
                                                       "settlement [mm]"] \
            + (["net of background [mm]"] if net else []) \
            + ["U from pore pressure", "U from settlement", f"residual to {life} [mm]"]
        rows = []
        for i, label in enumerate(ds["date"].values):
            row = [str(label), *on(float(ds["date_time"][i])), float(ds["date_time"][i]),
                   float(ds["date_load"][i]), float(ds["settlement_at_date"][i]) * mm]
            if net:
                row.append(float(ds["settlement_net_at_date"][i]) * mm)
            row += [float(ds["U_pore_at_date"][i]), float(ds["U_settlement_at_date"][i]),
                    float(ds["residual_settlement"][i]) * mm]
            rows.append(row)
        parts.append(_table(head, rows, caption="At the report dates"))
    if "su" in ds:
        layer = ds["layer_index"].values
        h = np.diff(ds["depth"].values)
        ns = ds.sizes["stage"]
        rows = []
        for i, name in enumerate(ds["layer_name"].values):
            w = layer == i
            if not np.all(np.isfinite(ds["su_S"].values[w])):
                continue
            mean = lambda v: float(np.sum(v[w] * h[w]) / np.sum(h[w]))  # noqa: E731
            rows.append([str(name), float(ds["su_S"].values[w][0]),
                         float(ds["su_m"].values[w][0]), mean(ds["su"].values[:, 0])]
                        + [mean(ds["su_stage"].values[k]) for k in range(ns)]
                        + [mean(ds["su"].values[:, -1])])
        parts.append(_table(["layer", "S", "m", "at t = 0 [kPa]"]
                            + [f"at start of stage {k + 1} [kPa]" for k in range(ns)]
                            + ["at the end [kPa]"], rows, spec=".3g",
                            caption="Undrained strength su = S·σ′v·OCR^m, mean over the "
                            "layer"))

    # figures
    parts.append("<h2>Figures</h2>")
    figures: list[tuple[str, Any, str]] = [("settlement", plots.plot_settlement, "Settlement of the surface against time "
                "with the load above it."),
               ("isochrones", plots.plot_isochrones, "Isochrones of excess pore pressure."),
               ("compression", plots.plot_compression, "e–log σ′ paths of the middle element "
                "of every layer.")]
    if nl == 1:
        figures.append(("consolidation", plots.plot_consolidation, "Degree of consolidation "
                        "of the first stage against the time factor, with Terzaghi's curve."))
    for name, draw, caption in figures:
        parts.append(_figure(draw(result), name, caption))

    parts.append("<h2>Validation</h2>")
    parts.append("<p>The engine of this version against closed-form solutions "
                 "(<code>make validate</code>).</p>")
    checks = validation_table()
    parts.append(_table(checks[0], checks[1:]))
    body = "\n".join(parts)
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            f"<title>{_e(title)}</title>\n<style>{_STYLE}</style>\n</head>\n<body>\n"
            f"{body}\n</body>\n</html>\n")


def _figure(fig: Any, name: str, caption: str) -> str:
    svg = _svg(fig, name)
    return (f'<figure id="figure-{name}">\n{svg}\n<figcaption>{_e(caption)}</figcaption>'
            "\n</figure>")


def write_report(result: Any, path: str | os.PathLike, *, source: str = "") -> str:
    """Write the report of `result` to `path` (HTML); the path."""
    text = report_html(result, source=source)
    path = os.fspath(path)
    # whole or not at all: a failed or interrupted write leaves an older report as it was
    with replacing(path) as tmp, open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    return path
