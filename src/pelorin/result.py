"""The result of an analysis: labelled histories and what engineers read off them."""
from __future__ import annotations

import contextlib
import json
import math
import os
import tempfile
from typing import Any, Iterator, Optional

import numpy as np
import xarray as xr

from . import __version__
from .mesh import SECONDS_PER_DAY, Column
from .model import Loading, Profile

__all__ = ["Result", "open_result", "U_EOP"]

U_EOP = 0.98    # end of primary: 98 % of the stage's excess pore pressure dissipated

UNITS = {
    "time": "day", "depth": "m", "z": "m", "u": "kPa", "sigv": "kPa", "e": "1", "k": "m/s",
    "settlement": "m", "loadfactor": "1", "load": "kPa", "U_pore": "1", "U_settlement": "1",
    "layer_settlement": "m", "layer_top": "m", "layer_bottom": "m", "e0": "1", "sigv0": "kPa",
    "pc0": "kPa", "cv": "m2/day", "stage_time": "day", "stage_load": "kPa", "t50": "day",
    "t90": "day", "t_eop": "day", "stage_time_scale": "day", "primary": "m", "settlement_start": "m",
    "settlement_eop": "m", "settlement_end": "m", "creep": "m", "settlement_background": "m",
    "settlement_net": "m", "sigvref": "kPa", "u_element": "kPa", "sigv_element": "kPa",
    "e_element": "1", "k_element": "m/s", "solids": "m", "element_depth": "m", "Cc": "1", "Cr": "1", "esigvref": "1", "Ca": "1",
}
NAMES = {
    "z": "node position below the original top",
    "u": "excess pore-water pressure",
    "sigv": "vertical effective stress",
    "e": "void ratio",
    "k": "permeability",
    "u_element": "excess pore-water pressure at the element centre",
    "sigv_element": "vertical effective stress at the element centre",
    "e_element": "void ratio of the element", "k_element": "permeability of the element",
    "solids": "height of solids of the element", "element_depth": "initial depth of the element centre",
    "depth": "initial node depth",
    "settlement": "settlement of the surface",
    "load": "load applied on the surface (beyond the surcharge)",
    "U_pore": "average degree of consolidation of the current stage from excess pore pressure",
    "U_settlement": "average degree of consolidation of the current stage from settlement",
    "layer_settlement": "compression of each layer",
    "e0": "initial void ratio", "sigv0": "initial effective stress",
    "pc0": "initial preconsolidation stress",
    "cv": "coefficient of consolidation under the largest load",
    "stage_time_scale": "time at time factor 1 under the stage's load, from the initial state",
    "t50": "time from the stage start to 50 % consolidation (pore pressure)",
    "t90": "time from the stage start to 90 % consolidation (pore pressure)",
    "t_eop": f"time from the stage start to the end of primary ({U_EOP:.0%} dissipated)",
    "primary": "final primary settlement under the stage's load (compression law, no creep)",
    "settlement_start": "settlement at the start of the stage",
    "settlement_eop": "settlement at the end of primary",
    "settlement_end": "settlement at the end of the stage",
    "creep": "settlement from the end of primary to the end of the stage (with creep only)",
    "settlement_background": "settlement without the load (background creep)",
    "settlement_net": "settlement caused by the load, net of background creep",
}


def _mean_u(u_element: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Excess pore pressure averaged over the present column, per time."""
    h = np.diff(z, axis=0)
    return np.sum(u_element * h, axis=0) / np.sum(h, axis=0)


def _first_reach(t: np.ndarray, U: np.ndarray, target: float) -> float:
    """Time (from the stage start, t[0] = 0) at which U first reaches target;
    interpolated linearly in sqrt(t), NaN when never reached."""
    hit = np.nonzero(U >= target)[0]
    if hit.size == 0:
        return math.nan
    k = int(hit[0])
    if k == 0:
        return float(t[0])
    a, b = math.sqrt(t[k - 1]), math.sqrt(t[k])
    f = (target - U[k - 1]) / (U[k] - U[k - 1])
    return float((a + f * (b - a)) ** 2)


def _stage_analysis(time: np.ndarray, z: np.ndarray, s: np.ndarray, u_element: np.ndarray,
                    loading: Loading, primary: np.ndarray,
                    creeps: bool) -> tuple[dict, np.ndarray, np.ndarray]:
    """Per-stage t50, t90, end of primary, settlements and creep (NaN when
    no soil creeps); the stage-relative degrees of consolidation over time.
    From the histories of a run: times (0 first), node positions, settlement
    and the elements' excess pore pressures."""
    ubar = _mean_u(u_element, z)
    U_p = np.full(time.size, np.nan)
    U_s = np.full(time.size, np.nan)
    loads = loading.loads
    rows: dict[str, list[float]] = {k: [] for k in ("t50", "t90", "t_eop", "settlement_start",
                                                    "settlement_eop", "settlement_end", "creep")}
    for k, stage in enumerate(loading.stages):
        ts = stage.time
        te = loading.stages[k + 1].time if k + 1 < len(loading.stages) else time[-1]
        j0 = int(np.argmin(np.abs(time - ts)))
        j1 = int(np.argmin(np.abs(time - te)))
        if ts == 0.0:
            u_start = float(ubar[0])    # the state just after the first load
        else:   # the stage's load change is carried at once by the pore water
            u_start = float(ubar[j0]) + loads[k] - (loads[k - 1] if k else 0.0)
        tt = np.concatenate((np.zeros(1), time[j0 + 1:j1 + 1] - ts))
        ub = np.concatenate((np.full(1, u_start), ubar[j0 + 1:j1 + 1]))
        scale = max(abs(loads[k]), abs(loads[k - 1]) if k else 0.0, 1e-12)
        if abs(u_start) > 1e-6 * scale:
            Up = 1.0 - ub / u_start
        else:
            Up = np.full(tt.size, np.nan)
        sk = s[j0:j1 + 1]
        denom = primary[k] - s[j0]
        Us = (sk - s[j0]) / denom if abs(denom) > 1e-9 else np.full(tt.size, np.nan)
        U_p[j0 + 1:j1 + 1], U_s[j0 + 1:j1 + 1] = Up[1:], Us[1:]
        if j0 == 0 and ts == 0.0:
            U_p[0], U_s[0] = Up[0], Us[0]
        teop = _first_reach(tt, Up, U_EOP)
        s_eop = float(np.interp(teop, tt, sk)) if math.isfinite(teop) else math.nan
        rows["t50"].append(_first_reach(tt, Up, 0.5))
        rows["t90"].append(_first_reach(tt, Up, 0.9))
        rows["t_eop"].append(teop)
        rows["settlement_start"].append(float(s[j0]))
        rows["settlement_eop"].append(s_eop)
        rows["settlement_end"].append(float(s[j1]))
        rows["creep"].append(float(s[j1]) - s_eop if creeps else math.nan)
    return rows, U_p, U_s


def build_dataset(ds: xr.Dataset, background: Optional[xr.Dataset], col: Column,
                  profile: Profile, loading: Loading, ref: float, title: str = "") -> xr.Dataset:
    """The engine's histories with the analysis added: loads, per-element soil,
    layers, stages, degrees of consolidation, and the background run."""
    out = ds.copy()
    for key in ("k", "k_element"):
        if key in out:
            out[key] = out[key] / SECONDS_PER_DAY
    out["load"] = out["loadfactor"] * ref
    out["layer_index"] = ("element", col.layer)
    out["e0"] = ("element", col.e0)
    out["sigv0"] = ("element", col.sigv0)
    out["pc0"] = ("element", col.pc0)
    for key in ("Cc", "Cr", "esigvref", "sigvref", "Ca"):
        out[key] = ("element", col.soil[key])
    biggest = max(loading.loads, key=abs)
    out["cv"] = ("element", col.cv(biggest))

    b = col.boundaries
    z = out["z"].values
    thick0 = col.depth[b[1:]] - col.depth[b[:-1]]
    out = out.assign_coords(layer=np.arange(len(profile.layers)), stage=np.arange(1, len(loading.stages) + 1))
    out["layer_name"] = ("layer", np.array([layer.name or f"layer {i + 1}"
                                            for i, layer in enumerate(profile.layers)], dtype=object))
    out["layer_top"] = ("layer", col.depth[b[:-1]])
    out["layer_bottom"] = ("layer", col.depth[b[1:]])
    out["layer_elements"] = ("layer", np.diff(b))
    out["layer_settlement"] = (("layer", "time"), thick0[:, None] - (z[b[1:]] - z[b[:-1]]))

    primary = col.primary_settlements(loading.loads)
    rows, U_p, U_s = _stage_analysis(out["time"].values, z, out["settlement"].values,
                                     out["u_element"].values, loading, primary, profile.creep)
    out["U_pore"] = ("time", U_p)
    out["U_settlement"] = ("time", U_s)
    out["stage_time"] = ("stage", np.array(loading.times))
    out["stage_load"] = ("stage", np.array(loading.loads))
    out["primary"] = ("stage", primary)
    out["stage_time_scale"] = ("stage", np.array([col.time_scale(q, profile.drainage)
                                                  for q in loading.loads]))
    for key, values in rows.items():
        out[key] = ("stage", np.array(values, dtype=np.float64))
    if background is not None:
        out["settlement_background"] = ("time", background["settlement"].values)
        out["settlement_net"] = out["settlement"] - out["settlement_background"]

    engine_attrs = {k: v for k, v in ds.attrs.items()
                    if isinstance(v, (int, float, str)) and k not in ("drainage", "drainagetype")}
    for name, var in out.variables.items():
        key = str(name)
        if key in UNITS:
            var.attrs["units"] = UNITS[key]
        if key in NAMES:
            var.attrs["long_name"] = NAMES[key]
    out.attrs = {
        **engine_attrs,
        "title": title,
        "drainage": profile.drainage,
        "surcharge": profile.surcharge,
        "time_scale": col.time_scale(biggest, profile.drainage),
        "reference_load": ref,
        "creep": int(profile.creep),
        "soils": json.dumps([dict(name=layer.name, thickness=layer.thickness,
                                  history=list(layer.history), **_soil_dict(layer.soil))
                             for layer in profile.layers]),
        "source": "pelorin",
        "pelorin_version": __version__,
    }
    return out


def _soil_dict(soil: Any) -> dict:
    from dataclasses import asdict
    d = asdict(soil)
    d.pop("name")
    return d


class Result:
    """The histories of an analysis and the quantities read off them.

    Everything lives in one `xarray.Dataset` (`dataset`) with the
    dimensions ``node`` (N + 1, node 0 at the top), ``element`` (N, element
    c between nodes c and c + 1), ``time`` (days, t = 0 is the state just
    after the first load), ``layer`` and ``stage``:

    - node x time: ``z`` (node position, m), ``u`` (excess pore pressure,
      kPa), ``sigv`` (effective stress, kPa), ``e`` (void ratio), ``k``
      (permeability, m/s); the coordinate ``depth`` is the initial depth;
    - element x time: ``u_element``, ``sigv_element``, ``e_element``,
      ``k_element`` (the engine's unknowns, at the element centres);
    - time: ``settlement`` (of the surface, m, positive down), ``load``
      (kPa), ``U_pore``, ``U_settlement`` (degree of consolidation of the
      current stage), and with creep ``settlement_background`` and
      ``settlement_net``;
    - layer x time: ``layer_settlement`` (compression of each layer, m);
    - stage: ``stage_time``, ``stage_load``, ``t50``, ``t90``, ``t_eop``
      (days from the stage start), ``primary`` (final primary settlement
      under the stage's load, m), ``creep`` (settlement after the end of
      primary, m) and the settlements at the start, end of primary and end;
    - element: initial state ``e0``, ``sigv0``, ``pc0``, the soil
      (``Cc``, ``Cr``, ``esigvref``, ``sigvref``, ``Ca``), ``cv`` and
      ``layer_index``.

    Every variable carries its ``units``.  Open a saved result with
    `pelorin.open_result`.
    """

    def __init__(self, dataset: xr.Dataset):
        self.dataset = dataset

    def __repr__(self) -> str:
        ds = self.dataset
        return (f"<pelorin.Result {ds.attrs.get('title', '')!r}: {ds.sizes['node']} nodes, "
                f"{ds.sizes['time']} times to {float(ds['time'][-1]):g} days, "
                f"settlement {float(ds['settlement'][-1]) * 1000:.0f} mm>")

    # -- the quantities -------------------------------------------------------
    @property
    def time(self) -> xr.DataArray:
        """Output times, days."""
        return self.dataset["time"]

    @property
    def settlement(self) -> xr.DataArray:
        """Settlement of the surface over time, m (positive down)."""
        return self.dataset["settlement"]

    @property
    def settlement_net(self) -> xr.DataArray:
        """Settlement caused by the load, net of background creep, m (the
        settlement itself when nothing creeps)."""
        ds = self.dataset
        return ds["settlement_net"] if "settlement_net" in ds else ds["settlement"]

    @property
    def layer_settlement(self) -> xr.DataArray:
        """Compression of each layer over time, m (layer x time)."""
        return self.dataset["layer_settlement"]

    @property
    def U_pore(self) -> xr.DataArray:
        """Degree of consolidation of the current stage from excess pore
        pressure: 1 - (mean excess pressure)/(mean excess pressure at the
        stage start)."""
        return self.dataset["U_pore"]

    @property
    def U_settlement(self) -> xr.DataArray:
        """Degree of consolidation of the current stage from settlement: the
        part of the way from the settlement at the stage start to the final
        primary settlement of the stage; above 1 with creep."""
        return self.dataset["U_settlement"]

    @property
    def stages(self):
        """One row per stage (pandas.DataFrame): start, load, t50, t90,
        end of primary, final primary settlement, settlements, creep."""
        keys = ["stage_time", "stage_load", "t50", "t90", "t_eop", "primary",
                "settlement_start", "settlement_eop", "settlement_end", "creep"]
        return self.dataset[keys].to_dataframe()

    @property
    def final_primary(self) -> float:
        """Final primary settlement under the last stage's load, m."""
        return float(self.dataset["primary"][-1])

    @property
    def creep(self) -> float:
        """Settlement from the end of primary to the end of the analysis in
        the last stage, m (NaN when primary consolidation does not end)."""
        return float(self.dataset["creep"][-1])

    @property
    def time_scale(self) -> float:
        """Time at time factor 1 of the profile (days), from the
        coefficient of consolidation under the largest load."""
        return float(self.dataset.attrs["time_scale"])

    # -- files ------------------------------------------------------------------
    def to_netcdf(self, path: str | os.PathLike) -> None:
        """Write the result to a NetCDF-4 file (read it back with
        `pelorin.open_result`): into a temporary file beside it, renamed over
        `path` once complete, so that a failed write leaves an old file whole."""
        with replacing(path) as tmp:
            self.dataset.to_netcdf(tmp, engine="netcdf4")

    def to_csv(self, path: str | os.PathLike) -> None:
        """Write the settlement-time table: time, load, settlement of the
        surface and of each layer (mm), degrees of consolidation."""
        ds = self.dataset
        cols: dict[str, np.ndarray] = {
            "time [day]": ds["time"].values,
            "load [kPa]": ds["load"].values,
            "settlement [mm]": ds["settlement"].values * 1000.0,
        }
        if "settlement_net" in ds:
            cols["settlement net of background creep [mm]"] = ds["settlement_net"].values * 1000.0
        for i, name in enumerate(ds["layer_name"].values):
            cols[f"{name} [mm]"] = ds["layer_settlement"].values[i] * 1000.0
        cols["U from pore pressure"] = ds["U_pore"].values
        cols["U from settlement"] = ds["U_settlement"].values
        import pandas as pd
        partial = ds.attrs.get("partial")
        with replacing(path) as tmp, open(tmp, "w", newline="") as f:
            # the program that wrote it, as a comment line (pandas: read_csv(comment="#"))
            f.write(f"# pelorin {__version__}" + (f"; PARTIAL: {partial}" if partial else "")
                    + "\n")
            pd.DataFrame(cols).to_csv(f, index=False, float_format="%.6g")

    def plot(self, outdir: Optional[str | os.PathLike] = None,
             formats: Any = "png") -> Any:
        """The figures (see `pelorin.plots.plot_all`): written into `outdir` in
        `formats` ("png", "svg", "pdf"), their paths returned; without `outdir`,
        a dict of the matplotlib Figures by name."""
        from .plots import plot_all
        return plot_all(self, outdir, formats)

    # -- reading ------------------------------------------------------------------
    def summary(self) -> str:
        """A text table: the profile, the stages (t50, t90, end of primary,
        primary settlement, creep), the layers, and the final settlement."""
        ds = self.dataset
        mm = 1000.0
        t_end = float(ds["time"][-1])
        lines = []
        if ds.attrs.get("title"):
            lines += [str(ds.attrs["title"]), ""]
        nl = ds.sizes["layer"]
        lines.append(f"{float(ds['layer_bottom'][-1]):.2f} m in {nl} layer{'s' if nl > 1 else ''}, "
                     f"{ds.sizes['node'] - 1} elements; drained "
                     f"{_drain_words(ds.attrs['drainage'])}; surcharge "
                     f"{float(ds.attrs['surcharge']):g} kPa; {ds.sizes['time']} output times "
                     f"to {t_end:g} days")
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
        lines.append(f"final primary settlement under {float(ds['stage_load'][-1]):g} kPa: "
                     f"{float(ds['primary'][-1]) * mm:.1f} mm")
        return "\n".join(lines)


@contextlib.contextmanager
def replacing(path: str | os.PathLike) -> Iterator[str]:
    """A temporary path beside `path`, to write in full; then flushed to the disk and
    renamed over `path`. On any failure the temporary file goes and `path` stays."""
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                               dir=os.path.dirname(os.path.abspath(path)))
    os.close(fd)
    try:
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, 0o666 & ~mask)     # as an ordinary new file would be
        yield tmp
        with open(tmp, "rb") as f:
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _fmt(x: float, spec: str = ".4g") -> str:
    return "-" if not math.isfinite(x) else format(x, spec)


def _drain_words(drainage: str) -> str:
    return {"both": "at top and bottom", "top": "at the top only",
            "bottom": "at the bottom only"}[drainage]


def open_result(path: str | os.PathLike) -> Result:
    """Read a result written by `Result.to_netcdf`.

    Parameters
    ----------
    path : str or path-like
        A NetCDF file.

    Returns
    -------
    Result
    """
    with xr.open_dataset(path, engine="netcdf4") as ds:
        loaded = ds.load()
    if loaded.attrs.get("source") != "pelorin" or "settlement" not in loaded:
        raise ValueError(f"{os.fspath(path)}: not a pelorin result (no settlement history)")
    if "layer_name" in loaded:
        loaded["layer_name"] = loaded["layer_name"].astype(object)
    return Result(loaded)

