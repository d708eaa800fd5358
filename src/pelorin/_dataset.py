"""The labelled Datasets of a run and of an analysis, each built in one call.

One table holds the units and long names of every variable.  A run of `run`
or `run_elements` is in the engine's own units (time in the unit of tref,
permeability per that unit); an analysis of `simulate` in days and m/s.
"""
from __future__ import annotations

import json
from dataclasses import asdict
from typing import Any, Mapping, Optional

import numpy as np
import xarray as xr

from . import __version__
from ._column import SECONDS_PER_DAY
from ._stages import U_EOP
from .model import DRAINAGE_CODES, Loading, Profile

__all__ = ["LABELS", "SECONDS_PER_DAY", "run_dataset", "analysis_dataset", "run_columns"]

# name: (units, long name) in an analysis; a run's own units and long names where they
# differ follow as a second pair (None: the same).  An empty entry: no attributes.
_ = None
LABELS: dict[str, tuple] = {
    "time": ("days", "time", "time unit of tref", _),
    "node": ("1", "node number (0 at the top)"),
    "depth": ("m", "initial node depth"),
    "element": ("1", "element number (element c between nodes c and c + 1)"),
    "element_depth": ("m", "initial depth of the element centre"),
    "z": ("m", "node position below the original top", _,
          "node position (depth below the original top)"),
    "u": ("kPa", "excess pore-water pressure"),
    "sigv": ("kPa", "vertical effective stress"),
    "e": ("1", "void ratio"),
    "k": ("m/s", "permeability", "m/time unit", _),
    "settlement": ("m", "settlement of the surface", _,
                   "settlement of the top (positive downward)"),
    "loadfactor": ("1", "load factor in force"),
    "u_element": ("kPa", "excess pore-water pressure at the element centre"),
    "sigv_element": ("kPa", "vertical effective stress at the element centre"),
    "e_element": ("1", "void ratio of the element"),
    "k_element": ("m/s", "permeability of the element", "m/time unit", _),
    "solids": ("m", "height of solids of the element"),
    "load": ("kPa", "load applied on the surface (beyond the surcharge)"),
    "layer_index": ("1", "layer of the element (0 at the top)"),
    "e0": ("1", "initial void ratio"),
    "sigv0": ("kPa", "initial effective stress"),
    "pc0": ("kPa", "initial preconsolidation stress"),
    "Cc": ("1", "compression index of the element's soil"),
    "Cr": ("1", "recompression index of the element's soil"),
    "esigvref": ("1", "void ratio on the normal compression line at sigvref"),
    "sigvref": ("kPa", "reference effective stress of the normal compression line"),
    "Ca": ("1", "secondary compression index of the element's soil"),
    "cv": ("m2/day", "coefficient of consolidation under the largest load"),
    "layer": ("1", "layer number (0 at the top)"), "stage": ("1", "stage number (1 first)"),
    "layer_name": (_, "name of the layer"),
    "layer_elements": ("1", "elements of the layer"),
    "layer_top": ("m", "initial depth of the top of the layer"),
    "layer_bottom": ("m", "initial depth of the bottom of the layer"),
    "layer_settlement": ("m", "compression of each layer"),
    "U_pore": ("1", "average degree of consolidation of the current stage from excess pore "
                    "pressure"),
    "U_settlement": ("1", "average degree of consolidation of the current stage from "
                          "settlement"),
    "stage_time": ("day", "start of the stage"),
    "stage_load": ("kPa", "load applied on the surface from the stage's start"),
    "primary": ("m", "final primary settlement under the stage's load (compression law, "
                     "no creep)"),
    "stage_time_scale": ("day", "time at time factor 1 under the stage's load, from the "
                                "initial state"),
    "t50": ("day", "time from the stage start to 50 % consolidation (pore pressure)"),
    "t90": ("day", "time from the stage start to 90 % consolidation (pore pressure)"),
    "t_eop": ("day", f"time from the stage start to the end of primary ({U_EOP:.0%} "
                     "dissipated)"),
    "settlement_start": ("m", "settlement at the start of the stage"),
    "settlement_eop": ("m", "settlement at the end of primary"),
    "settlement_end": ("m", "settlement at the end of the stage"),
    "creep": ("m", "settlement from the end of primary to the end of the stage (with creep "
                   "only)"),
    "settlement_background": ("m", "settlement without the load (background creep)"),
    "settlement_net": ("m", "settlement caused by the load, net of background creep"),
}
del _
# The CF conventions' other attributes: depths and settlements grow downward, and the
# standard names that exist for these quantities.
DOWN = ("depth", "element_depth", "z", "layer_top", "layer_bottom", "settlement",
        "settlement_start", "settlement_eop", "settlement_end", "settlement_background",
        "settlement_net", "primary", "creep", "layer_settlement")
STANDARD_NAMES = {"time": "time", "depth": "depth", "element_depth": "depth"}
CONVENTIONS = "CF-1.8"


def _attrs(name: str, run: bool) -> dict:
    label = LABELS[name]
    units, long_name = label[:2] if label else (None, None)
    if run and len(label) == 4:
        units = label[2] if label[2] is not None else units
        long_name = label[3] if label[3] is not None else long_name
    out = {}
    if units is not None:
        out["units"] = units
    if long_name is not None:
        out["long_name"] = long_name
    if name in STANDARD_NAMES and not (run and name == "time"):
        out["standard_name"] = STANDARD_NAMES[name]
    if name in DOWN:
        out["positive"] = "down"
    return out


def _var(name: str, dims: Any, data: Any, run: bool = False) -> xr.Variable:
    return xr.Variable(dims, data, _attrs(name, run))


NODE_ROWS = ("z", "u", "sigv", "e", "k")
ELEMENT_ROWS = ("u_element", "sigv_element", "e_element", "k_element")
ENGINE_STATS = {"substeps": "substeps", "newton_iterations": "newton",
                "evaluations": "evaluations", "rejected_steps": "rejected"}


def run_columns(res: Mapping[str, Any]) -> int:
    """Output columns a run reached (t = 0 first)."""
    return int(res["columns"])


def _histories(res: Mapping[str, Any], depth: np.ndarray, time: np.ndarray,
               lf: np.ndarray, run: bool) -> tuple[dict, dict]:
    """The engine's histories as labelled Variables and the coordinates, up to the
    output times reached; permeabilities in m/s for an analysis."""
    columns = run_columns(res)
    n = depth.size - 1
    node, element = ("node", "time"), ("element", "time")
    data = {}
    for name in (n for n in NODE_ROWS if n in res):  # those kept
        values = res[name][:, :columns]
        data[name] = _var(name, node, values if run or name != "k" else values / SECONDS_PER_DAY,
                          run)
    data["settlement"] = _var("settlement", "time", res["settlement"][:columns], run)
    data["loadfactor"] = _var("loadfactor", "time", np.r_[lf[0], lf][:columns], run)
    for name in (n for n in ELEMENT_ROWS if n in res):
        values = res[name][:, :columns]
        data[name] = _var(name, element,
                          values if run or name != "k_element" else values / SECONDS_PER_DAY,
                          run)
    data["solids"] = _var("solids", "element", res["solids"], run)
    coords = {"time": _var("time", "time", np.r_[0.0, time][:columns], run),
              "node": _var("node", "node", np.arange(n + 1), run),
              "depth": _var("depth", "node", depth, run),
              "element": _var("element", "element", np.arange(n), run),
              "element_depth": _var("element_depth", "element", 0.5 * (depth[:-1] + depth[1:]),
                                    run)}
    return data, coords


def _stats(res: Mapping[str, Any]) -> dict:
    return {key: int(res[name]) for key, name in ENGINE_STATS.items()}


def run_dataset(res: Mapping[str, Any], depth: np.ndarray, time: np.ndarray, lf: np.ndarray,
                gammaw: float, drainage: int, rtol: float) -> xr.Dataset:
    """The Dataset of `run` and `run_elements`: dims node and time (t = 0 first)."""
    data, coords = _histories(res, depth, time, lf, run=True)
    return xr.Dataset(data, coords=coords, attrs=dict(
        drainagetype=drainage, drainage=DRAINAGE_CODES[drainage], gammaw=gammaw, rtol=rtol,
        **_stats(res)))


def analysis_dataset(res: Mapping[str, Any], background: Optional[Mapping[str, Any]],
                     col: Any, profile: Profile, loading: Loading, ref: float,
                     time: np.ndarray, lf: np.ndarray, gammaw: float, rtol: float,
                     analysis: Mapping[str, Any], title: str = "") -> xr.Dataset:
    """The Dataset of `simulate`: the engine's histories (in days and m/s) with the
    analysis: loads, per-element soil and initial state, layers, stages, degrees of
    consolidation, and the background run's settlement.

    `col` is the column from the engine's own initial state; `analysis` the stage
    analysis (`_stages.analyse`)."""
    data, coords = _histories(res, col.depth, time, lf, run=False)
    data["load"] = _var("load", "time", data["loadfactor"].values * ref)
    data["layer_index"] = _var("layer_index", "element", col.layer)
    for name in ("e0", "sigv0", "pc0"):
        data[name] = _var(name, "element", getattr(col, name))
    for name in ("Cc", "Cr", "esigvref", "sigvref", "Ca"):
        data[name] = _var(name, "element", col.soil[name])
    data["cv"] = _var("cv", "element", col.cv(analysis["biggest"]))
    coords["layer"] = _var("layer", "layer", np.arange(len(profile.layers)))
    coords["stage"] = _var("stage", "stage", np.arange(1, len(loading.stages) + 1))

    b = col.boundaries
    z = data["z"].values
    thick0 = col.depth[b[1:]] - col.depth[b[:-1]]
    data["layer_name"] = _var("layer_name", "layer", np.array(
        [layer.name or f"layer {i + 1}" for i, layer in enumerate(profile.layers)],
        dtype=object))
    data["layer_top"] = _var("layer_top", "layer", col.depth[b[:-1]])
    data["layer_bottom"] = _var("layer_bottom", "layer", col.depth[b[1:]])
    data["layer_elements"] = _var("layer_elements", "layer", np.diff(b))
    data["layer_settlement"] = _var("layer_settlement", ("layer", "time"),
                                    thick0[:, None] - (z[b[1:]] - z[b[:-1]]))
    data["U_pore"] = _var("U_pore", "time", analysis["U_pore"])
    data["U_settlement"] = _var("U_settlement", "time", analysis["U_settlement"])
    data["stage_time"] = _var("stage_time", "stage", np.array(loading.times))
    data["stage_load"] = _var("stage_load", "stage", np.array(loading.loads))
    data["primary"] = _var("primary", "stage", analysis["primary"])
    data["stage_time_scale"] = _var("stage_time_scale", "stage", analysis["time_scales"])
    for key, values in analysis["rows"].items():
        data[key] = _var(key, "stage", np.array(values, dtype=np.float64))
    if background is not None:
        settlement = data["settlement"].values
        bg = background["settlement"][:settlement.size]
        data["settlement_background"] = _var("settlement_background", "time", bg)
        data["settlement_net"] = _var("settlement_net", "time", settlement - bg)
    attrs = dict(
        gammaw=gammaw, rtol=rtol, **_stats(res), title=title, drainage=profile.drainage,
        surcharge=profile.surcharge, time_scale=analysis["time_scale"], reference_load=ref,
        creep=int(profile.creep),
        soils=json.dumps([dict(name=layer.name, thickness=layer.thickness,
                               history=list(layer.history), **_soil_dict(layer.soil))
                          for layer in profile.layers]),
        stages=json.dumps([dict(time=s.time, load=q) for s, q in zip(loading.stages,
                                                                     loading.loads)]),
        source="pelorin", pelorin_version=__version__, Conventions=CONVENTIONS,
        history=f"pelorin {__version__}: simulate")
    return xr.Dataset(data, coords=coords, attrs=attrs)


def _soil_dict(soil: Any) -> dict:
    d = asdict(soil)
    d.pop("name")
    return d


# The pore pressure's parts and the heads of an analysis (`add_groundwater`).
LABELS.update({
    "u_hydrostatic": ("kPa", "pore-water pressure of water at rest under the water level"),
    "u_seepage": ("kPa", "steady seepage pore-water pressure between the heads at the "
                         "drained ends, above hydrostatic"),
    "pore_pressure": ("kPa", "pore-water pressure (hydrostatic, seepage and excess)"),
    "sigma_total": ("kPa", "vertical total stress (effective stress and pore-water "
                           "pressure)"),
    "water_level": ("m", "water level above the original top of the profile"),
    "base_head": ("m", "head in the aquifer below the profile, above hydrostatic"),
    "load_acting": ("kPa", "load acting on the surface (beyond the surcharge), fills "
                           "submerging"),
})


def add_groundwater(ds: xr.Dataset, seep: np.ndarray, gammaw: float,
                    water_level: np.ndarray, base_head: np.ndarray,
                    load: Optional[np.ndarray] = None,
                    acting: Optional[np.ndarray] = None) -> xr.Dataset:
    """The pore pressure of an analysis in its parts, in place: ``u`` and
    ``u_element`` become the excess over the steady state of the heads at the time
    (the steady seepage between the pressures the engine held at the drained ends,
    by the elements' present resistances dz/k), ``u_seepage`` that steady part,
    ``u_hydrostatic`` the water at rest under the water level (at each node's
    present depth), ``pore_pressure`` their sum and ``sigma_total`` with the
    effective stress; ``water_level`` and ``base_head`` over time; ``load`` the load
    as the stages give it (kPa, when they place it over time) and ``load_acting`` the
    load acting, fills submerging (when the engine reports it)."""
    columns = ds.sizes["time"]
    z = ds["z"].values
    node, element = ("node", "time"), ("element", "time")
    ds["u"] = _var("u", node, ds["u"].values - seep)
    ds["u_element"] = _var("u_element", element,
                           ds["u_element"].values - 0.5 * (seep[:-1] + seep[1:]))
    hydro = gammaw * (z + water_level[None, :columns])
    ds["u_seepage"] = _var("u_seepage", node, seep)
    ds["u_hydrostatic"] = _var("u_hydrostatic", node, hydro)
    pore = hydro + seep + ds["u"].values
    ds["pore_pressure"] = _var("pore_pressure", node, pore)
    ds["sigma_total"] = _var("sigma_total", node, ds["sigv"].values + pore)
    ds["water_level"] = _var("water_level", "time", water_level[:columns])
    ds["base_head"] = _var("base_head", "time", base_head[:columns])
    if load is not None:
        ds["load"] = _var("load", "time", np.asarray(load, dtype=np.float64)[:columns])
        ref = float(ds.attrs.get("reference_load", 1.0)) or 1.0
        ds["loadfactor"] = _var("loadfactor", "time", ds["load"].values / ref)
    if acting is not None:
        ds["load_acting"] = _var("load_acting", "time",
                                 np.asarray(acting, dtype=np.float64)[:columns])
    return ds
