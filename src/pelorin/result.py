"""The result of an analysis: labelled histories and what engineers read off them."""
from __future__ import annotations

import os
from typing import Any, Optional

import numpy as np
import pandas as pd
import xarray as xr

from . import plots
from ._files import read_netcdf, replacing, write_netcdf
from ._stages import U_EOP
from ._text import csv_header, result_html, result_summary

__all__ = ["Result", "open_result", "U_EOP"]


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
      (kPa, as the stages give it), ``U_pore``, ``U_settlement`` (degree of
      consolidation of the current stage), ``water_level`` (m above the top
      of the profile) and ``base_head`` (m above hydrostatic in the aquifer
      below), with creep ``settlement_background`` and ``settlement_net``,
      and ``load_acting`` (kPa, with the fills' submergence) for stages
      placed over time, submerging or changing the heads;
    - node x time, the pore pressure in its parts: ``u`` the excess (what
      consolidation dissipates), ``u_seepage`` the steady seepage between
      the heads at the drained ends, ``u_hydrostatic`` the water at rest
      under the water level, ``pore_pressure`` their sum and
      ``sigma_total`` the total stress (``sigv`` + ``pore_pressure``);
    - layer x time: ``layer_settlement`` (compression of each layer, m);
    - stage: ``stage_time``, ``stage_duration``, ``stage_load``, ``t50``,
      ``t90``, ``t_eop``
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
        partial = ", partial" if ds.attrs.get("partial") else ""
        return (f"<pelorin.Result {ds.attrs.get('title', '')!r}: {ds.sizes['node']} nodes, "
                f"{ds.sizes['time']} times to {float(ds['time'][-1]):g} days, "
                f"settlement {float(ds['settlement'][-1]) * 1000:.0f} mm{partial}>")

    def _repr_html_(self) -> str:
        """The summary for a notebook: the profile, the stage table and the final
        settlements."""
        return result_html(self.dataset)

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
        """One row per stage (pandas.DataFrame): start, duration, load, t50,
        t90, end of primary, final primary settlement, settlements, creep."""
        keys = ["stage_time", "stage_load", "t50", "t90", "t_eop", "primary",
                "settlement_start", "settlement_eop", "settlement_end", "creep"]
        if "stage_duration" in self.dataset:      # results written before had none
            keys.insert(1, "stage_duration")
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
        write_netcdf(self.dataset, path)

    def to_csv(self, path: str | os.PathLike) -> None:
        """Write the settlement-time table: time, load, settlement of the
        surface and of each layer (mm), degrees of consolidation; after comment
        lines naming the program's version and the case file with its SHA-256."""
        ds = self.dataset
        cols: dict[str, np.ndarray] = {
            "time [day]": ds["time"].values,
            "load [kPa]": ds["load"].values,
        }
        if "load_acting" in ds:
            cols["load acting [kPa]"] = ds["load_acting"].values
        cols["settlement [mm]"] = ds["settlement"].values * 1000.0
        if "settlement_net" in ds:
            cols["settlement net of background creep [mm]"] = ds["settlement_net"].values * 1000.0
        names = [str(name) for name in ds["layer_name"].values]
        for i, name in enumerate(names):   # a name that repeats: the layer's number too
            label = name if names.count(name) == 1 else f"{name} (layer {i + 1})"
            cols[f"{label} [mm]"] = ds["layer_settlement"].values[i] * 1000.0
        cols["U from pore pressure"] = ds["U_pore"].values
        cols["U from settlement"] = ds["U_settlement"].values
        if "date" in ds.coords:
            labels = np.full(ds.sizes["time"], "", dtype=object)
            for label, t in zip(ds["date"].values, ds["date_time"].values):
                labels[int(np.argmin(np.abs(ds["time"].values - t)))] = str(label)
            cols["report date"] = labels
            residual = np.full(ds.sizes["time"], np.nan)
            residual[labels != ""] = ds["residual_settlement"].values * 1000.0
            cols[f"residual to {ds.attrs['design_life']} [mm]"] = residual
        with replacing(path) as tmp, open(tmp, "w", newline="") as f:
            # the program that wrote it and the case, as comment lines
            f.write(csv_header(ds.attrs))
            pd.DataFrame(cols).to_csv(f, index=False, float_format="%.6g")

    def plot(self, outdir: Optional[str | os.PathLike] = None, formats: Any = "png") -> Any:
        """The figures (see `pelorin.plots.plot_all`): written into `outdir` in
        `formats` ("png", "svg", "pdf"), their paths returned; without `outdir`,
        a dict of the matplotlib Figures by name."""
        return plots.plot_all(self, outdir, formats)

    def report(self, path: str | os.PathLike) -> str:
        """Write the design report as one self-contained HTML file: title,
        version, the inputs as tables, the soil profile drawn, the summary
        tables, the report dates and su when there are any, every figure as
        inline SVG, and the validation table of this version.  Readable
        offline, prints to PDF from a browser.  Returns the path."""
        from ._report import write_report
        return write_report(self, path)

    # -- reading ------------------------------------------------------------------
    def summary(self) -> str:
        """A text table: the profile, the stages (t50, t90, end of primary,
        primary settlement, creep), the layers, and the final settlement."""
        return result_summary(self.dataset)


def open_result(path: str | os.PathLike) -> Result:
    """Read a result written by `Result.to_netcdf`.

    Parameters
    ----------
    path : str or path-like
        A NetCDF file.

    Returns
    -------
    Result

    Raises
    ------
    FileNotFoundError
        There is no such file.
    ValueError
        The file is not a result written by pelorin, or it is damaged (its
        checksums do not match).
    """
    loaded = read_netcdf(path)
    if loaded.attrs.get("source") != "pelorin" or "settlement" not in loaded:
        raise ValueError(f"{os.fspath(path)}: not a pelorin result (no settlement history)")
    for key in ("layer_name", "date"):
        if key in loaded:
            loaded[key] = loaded[key].astype(object)
    return Result(loaded)

