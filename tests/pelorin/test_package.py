"""The pelorin analysis layer: checked inputs, meshing, time grid, and what
simulate reports against closed forms."""
import re
import dataclasses
import pickle

import numpy as np
import pytest

import pelorin
from pelorin import Layer, Loading, ParameterError, Profile, Soil, Stage
from pelorin import _call, _simulate
from pelorin._column import column, load_history

CLAY = dict(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75)


def clay(**kw):
    return Soil(**{**CLAY, **kw})


# --- checked on construction ----------------------------------------------------

@pytest.mark.parametrize("make, parameter, words", [
    (lambda: clay(Cc=-0.5), "Cc", "greater than 0"),
    (lambda: clay(Cc="0.5"), "Cc", "must be a number"),
    (lambda: clay(Cr=0.6), "Cr", "less than Cc = 0.5"),
    (lambda: clay(Cr=0.5), "Cr", "less than Cc = 0.5"),
    (lambda: clay(Cr=float("nan")), "Cr", "greater than 0"),
    (lambda: clay(kref=8.64), "kref", "at most 1"),
    (lambda: clay(Gs=0.9), "Gs", "greater than 1"),
    (lambda: clay(Ca=0.5), "Ca", "less than Cc - Cr = 0.45"),
    (lambda: clay(Ca=-0.01), "Ca", "at least 0"),
    (lambda: clay(tref=0.0), "tref", "greater than 0"),
    (lambda: clay(Ck=True), "Ck", "must be a number"),
    (lambda: Layer(clay(), 2.0), "ocr/pc/e0", "got none"),
    (lambda: Layer(clay(), 2.0, ocr=1.2, pc=80.0), "ocr/pc/e0", "got ocr, pc"),
    (lambda: Layer(clay(), 2.0, ocr=0.8), "ocr", "at least 1"),
    (lambda: Layer(clay(), -2.0, ocr=1.0), "thickness", "greater than 0"),
    (lambda: Layer(clay(), 2.0, ocr=1.0, elements=2.5), "elements", "whole number"),
    (lambda: Layer(CLAY, 2.0, ocr=1.0), "soil", "must be a Soil"),
    (lambda: Profile([], surcharge=10.0), "layers", "at least one"),
    (lambda: Profile([Layer(clay(), 1.0, ocr=1.0)], surcharge=0.0), "surcharge", "greater than 0"),
    (lambda: Profile([Layer(clay(), 1.0, ocr=1.0)], 10.0, drainage=0), "drainage", '"both"'),
    (lambda: Stage(0.0), "load/fill", "exactly once"),
    (lambda: Stage(-1.0, load=10.0), "time", "at least 0"),
    (lambda: Loading([Stage(10.0, load=1.0), Stage(5.0, load=2.0)]), "stages[1].time",
     "later than the stage before it (10 days)"),
    (lambda: Loading([Stage(10.0, load=1.0)], end=10.0), "end", "greater than 10"),
    (lambda: Loading([Stage(0.0, fill=2.0, duration=60.0), Stage(30.0, fill=1.0)]),
     "stages[1].time", "before stage 1 has made its change of the load on the surface (60"),
    (lambda: Loading([Stage(0.0, base_head=-5.0, duration=900.0), Stage(30.0, fill=1.0),
                      Stage(300.0, base_head=-2.0)]), "stages[2].time", "the base head (900"),
    (lambda: Stage(0.0, fill=1.0, saturated_unit_weight=15.0), "saturated_unit_weight",
     "at least the unit_weight (20"),
    (lambda: Stage(0.0, water_level=-1.0), "water_level", "as a load"),
    (lambda: Stage(0.0, fill=1.0, submerged="no"), "submerged", "True or False"),
    (lambda: Profile([Layer(clay(), 1.0, ocr=1.0)], 10.0, drainage="top", base_head=2.0),
     "base_head", "drained at the bottom"),
])
def test_bad_values_are_refused_naming_the_parameter(make, parameter, words):
    with pytest.raises(ParameterError) as info:
        make()
    assert info.value.parameter == parameter
    assert words in str(info.value)
    assert str(info.value).split(":")[0] in ("Soil", "Layer", "Profile", "Stage", "Loading")


def test_values_copy_with_changes_and_pickle():
    soil = clay(Ca=0.02, name="clay")
    assert soil.ekref == soil.esigvref        # defaulted to a concrete value
    profile = Profile([Layer(soil, 4.0, ocr=1.2)], surcharge=10.0)
    assert pickle.loads(pickle.dumps(profile)) == profile
    softer = dataclasses.replace(soil, Cc=0.9)
    assert softer.Cc == 0.9 and softer.Cr == soil.Cr
    with pytest.raises(ParameterError, match="Cr"):
        dataclasses.replace(soil, Cc=0.01)    # checked again
    assert Loading([Stage(0.0, fill=2.5), Stage(10.0, fill=2.5, unit_weight=18.0),
                    Stage(20.0, fill=-1.0), Stage(30.0, load=0.0)]).loads == (50.0, 95.0, 75.0, 0.0)


# --- meshing and the state before loading ---------------------------------------

def layered():
    return Profile([Layer(clay(name="crust", Cc=0.3, Cr=0.03), 2.0, pc=80.0, elements=4),
                    Layer(clay(name="soft", Cc=0.9, Cr=0.09, esigvref=1.9), 3.0, ocr=1.2),
                    Layer(clay(name="dense", Gs=2.65), 1.5, e0=1.1, elements=3)],
                   surcharge=10.0)


def test_nodes_on_every_layer_boundary_and_the_engines_initial_state():
    col = column(layered())
    np.testing.assert_allclose(col.depth[col.boundaries], [0.0, 2.0, 5.0, 6.5])
    assert list(np.diff(col.boundaries)) == [4, 28, 3] and col.N == 35   # 60 * 3/6.5
    # Every element holds one soil.
    assert list(col.layer) == [0] * 4 + [1] * 28 + [2] * 3
    np.testing.assert_array_equal(col.soil["Cc"], np.repeat([0.3, 0.9, 0.5], [4, 28, 3]))
    # The state before loading is the engine's.
    kw = col.engine_keywords()
    ds = pelorin.run_elements(**kw, qo=10.0, dsigv=0.0, time=[1.0], loadfactor=[0.0])
    np.testing.assert_allclose(col.sigv0, ds["sigv_element"][:, 0], rtol=1e-6)
    np.testing.assert_allclose(col.e0, ds["e_element"][:, 0], rtol=1e-6)
    np.testing.assert_allclose(col.pc0[:4], 80.0)
    np.testing.assert_allclose(col.pc0[4:32], 1.2 * col.sigv0[4:32])
    assert np.all(col.e0[32:] == 1.1) and np.all(col.pc0[32:] > col.sigv0[32:])


def test_time_grid_restarts_at_every_stage_and_ends_with_equal_steps():
    t = pelorin.time_grid([0.0, 100.0, 1000.0], 10000.0, first=0.01, points_per_decade=5)
    assert np.all(np.diff(t) > 0) and t[0] == 0.01 and t[-1] == 10000.0
    assert {100.0, 1000.0} <= set(t)
    assert np.isclose(t[t > 100.0][0], 100.01) and np.isclose(t[t > 1000.0][0], 1000.01)
    last = np.diff(t)[-4:]
    np.testing.assert_allclose(last, last[0])
    # Five per decade: two decades take ten steps.
    assert np.sum((t > 0.01) & (t <= 1.0)) == 10
    # A first stage after 0 gets its own run-up from 0; a first step per stage.
    assert 50.0 in set(pelorin.time_grid([50.0], 500.0, first=1.0))
    t = pelorin.time_grid([0.0, 100.0], 1000.0, first=[0.01, 2.0])
    assert t[0] == 0.01 and t[t > 100.0][0] == 102.0


def test_a_stage_acts_from_the_step_that_begins_at_it():
    loading = Loading([Stage(10.0, load=50.0), Stage(30.0, load=100.0), Stage(60.0, load=25.0)])
    time = np.array([5.0, 10.0, 20.0, 30.0, 40.0, 60.0, 80.0])
    ref, lf = load_history(loading, time)
    assert ref == 100.0
    np.testing.assert_array_equal(lf * ref, [0.0, 0.0, 50.0, 50.0, 100.0, 100.0, 25.0])


# --- simulate -----------------------------------------------------------------

@pytest.mark.parametrize("layer, words", [
    (Layer(clay(), 8.0, pc=40.0), "pc must be at least the initial effective stress"),
    (Layer(clay(), 8.0, e0=2.5), "e0 must not lie above the normal compression line"),
])
def test_a_stress_history_the_soil_cannot_have_is_refused(layer, words):
    with pytest.raises(ParameterError, match=words):
        pelorin.simulate(Profile([layer], surcharge=10.0), Loading([Stage(0.0, load=10.0)]))


LOAD10 = Loading([Stage(0.0, load=10.0)], end=100.0)


@pytest.mark.parametrize("call, owner, parameter", [
    (lambda: pelorin.simulate(layered(), LOAD10, rtol=2.0), "simulate", "rtol"),
    (lambda: pelorin.simulate(layered(), LOAD10, max_newton=0), "simulate", "max_newton"),
    (lambda: pelorin.sweep(layered(), LOAD10, vary={"soft.Cc": pelorin.Normal(0.9, cov=0.1)},
                           samples=2, scheduler="synchronous", progress=False, rtol=2.0),
     "sweep", "rtol"),
    (lambda: pelorin.sweep(layered(), LOAD10, vary={"soft.Cc": pelorin.Normal(0.9, cov=0.1)},
                           times=[-1.0], scheduler="synchronous", progress=False),
     "sweep", "times"),
    (lambda: pelorin.Normal(1.0, cov=-0.1), "Normal", "cov"),
    (lambda: pelorin.sweep(layered(), LOAD10, vary={"soft.Cc": pelorin.Normal(0.9, cov=0.1)},
                           correlation=[[1.0, 2.0], [2.0, 1.0]]), "sweep", "correlation"),
])
def test_refusals_name_the_function_or_value_they_were_given_to(call, owner, parameter):
    with pytest.raises(ParameterError) as info:
        call()
    err = pickle.loads(pickle.dumps(info.value))
    assert (err.owner, err.parameter, str(err)) == (owner, parameter, str(info.value))
    assert str(err).startswith(f"{owner}: {parameter} ")


@pytest.mark.parametrize("kwargs, error, words", [
    (dict(background="no"), ParameterError, "simulate: background must be True, False or None"),
    (dict(background=1), ParameterError, "simulate: background must be True, False or None"),
    (dict(progress=5), TypeError, "simulate: progress must be callable"),
    (dict(times="1 10 100"), ParameterError, "simulate: times must be a sequence"),
    (dict(title=3), ParameterError, "simulate: title must be text or None"),
])
def test_simulate_refuses_arguments_of_the_wrong_kind_naming_them(kwargs, error, words):
    with pytest.raises(error, match=re.escape(words)):
        pelorin.simulate(layered(), LOAD10, **kwargs)


def test_the_engines_refusal_names_the_layer_and_its_parameter():
    plan = _simulate.plan(layered(), LOAD10, None, 10, {})
    err = _call.InputError("the void ratio lies above the line in element 5")
    err.parameter, err.index = "ocrvoidratio", 5        # element 5: the second layer
    named = _simulate.refused(err, plan, "simulate")
    assert (named.owner, named.parameter) == ("Layer 'soft'", "ocr")
    assert str(named).endswith("ocr cannot be used: the void ratio lies above the line in "
                               "element 5")
    with pytest.raises(ValueError) as info:    # run_elements keeps the engine's error
        pelorin.run_elements(**ENGINE_CLAY, ru=[0.0, 0.0, 1.5, 0.0])
    assert (info.value.parameter, info.value.index) == ("ru", 2)


ENGINE_CLAY = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=8.64e-5,
                   ekref=1.5, Ck=0.75, Ca=0.0, tref=1.0, qo=10.0, dsigv=100.0,
                   ocrvoidratiotype=0, ocrvoidratio=1.2, depth=[0.0, 0.25, 0.5, 0.75, 1.0],
                   time=[1.0], loadfactor=[1.0])


def one_layer(drainage="both", Ca=0.0, load=10.0, N=40):
    # Ck = Cc makes k proportional to 1/sigma' along the compression line: cv
    # stays constant (Davis and Raymond), so small steps follow Terzaghi.
    soil = Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.5, Ca=Ca)
    profile = Profile([Layer(soil, 1.0, ocr=1.0, elements=N)], surcharge=100.0,
                      drainage=drainage)
    return pelorin.simulate(profile, Loading([Stage(0.0, load=load)]), points_per_decade=20)


@pytest.fixture(scope="module")
def terzaghi():
    return {d: one_layer(d) for d in ("both", "top")}


@pytest.mark.parametrize("drainage", ["both", "top"])
def test_t50_t90_and_final_settlement_of_a_linear_layer(terzaghi, drainage):
    r = terzaghi[drainage]
    ds = r.dataset
    # Terzaghi: Tv = 0.197 at 50 %, 0.848 at 90 %.
    assert float(ds["t50"][0]) / r.time_scale == pytest.approx(0.197, rel=0.05)
    assert float(ds["t90"][0]) / r.time_scale == pytest.approx(0.848, rel=0.05)
    # Without creep the final settlement is the compression law's.
    assert float(r.settlement[-1]) == pytest.approx(r.final_primary, rel=0.01)
    assert float(r.U_settlement[-1]) == pytest.approx(1.0, abs=0.01)
    assert float(r.U_pore[0]) == pytest.approx(0.0, abs=0.03)
    assert "settlement_net" not in ds   # nothing creeps: no companion run
    assert np.isnan(r.creep)


def test_layer_settlements_add_up_to_the_surface():
    loading = Loading([Stage(0.0, fill=2.5), Stage(200.0, fill=2.5), Stage(1000.0, fill=-1.0)],
                      end=5000.0)
    r = pelorin.simulate(layered(), loading)
    np.testing.assert_allclose(r.layer_settlement.sum("layer"), r.settlement, atol=1e-9)
    assert list(r.dataset["stage_load"].values) == [50.0, 100.0, 80.0]
    loads = r.dataset["load"].sel(time=[100.0, 200.0, 201.0, 1000.0, 5000.0], method="nearest")
    np.testing.assert_array_equal(loads, [50.0, 50.0, 100.0, 100.0, 80.0])
    # The soft layer does most of the settling.
    assert int(np.argmax(r.layer_settlement.values[:, -1])) == 1


def test_creep_is_reported_beyond_the_end_of_primary_and_net_of_the_background():
    r = one_layer(Ca=0.02, load=50.0, N=20)
    ds = r.dataset
    assert 0.0 < r.creep < float(r.settlement[-1])
    bg, net = ds["settlement_background"].values, r.settlement_net.values
    assert bg[-1] > 0.0 and np.all(np.diff(bg) >= -1e-12)
    np.testing.assert_allclose(net + bg, r.settlement)
    assert float(ds["settlement_eop"][0]) > 0.9 * r.final_primary


def test_netcdf_round_trip_and_csv(terzaghi, tmp_path):
    r = terzaghi["top"]
    r.to_netcdf(tmp_path / "r.nc")
    back = pelorin.open_result(tmp_path / "r.nc")
    for name in ("z", "u", "sigv", "e", "settlement", "layer_settlement", "t50", "U_pore"):
        np.testing.assert_array_equal(back.dataset[name], r.dataset[name])
        assert back.dataset[name].attrs == r.dataset[name].attrs
    assert back.summary() == r.summary()
    assert back.stages.equals(r.stages) and list(r.stages.index) == [1]
    r.to_csv(tmp_path / "s.csv")
    import pandas as pd
    table = pd.read_csv(tmp_path / "s.csv", comment="#")
    assert list(table.columns[:3]) == ["time [day]", "load [kPa]", "settlement [mm]"]
    np.testing.assert_allclose(table["settlement [mm]"], r.settlement * 1000, rtol=1e-5)
    with pytest.raises(ValueError, match="not a pelorin result"):
        import xarray as xr
        xr.Dataset({"a": ("x", [1.0])}).to_netcdf(tmp_path / "other.nc")
        pelorin.open_result(tmp_path / "other.nc")


def readme_blocks():
    import os
    import re
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                        "README.md")
    with open(path) as f:
        return re.findall(r"```(?:python)?\n(.*?)```", f.read(), re.S)


def test_the_readme_quick_start_prints_what_the_readme_shows(tmp_path, monkeypatch, capsys):
    _, code, shown = readme_blocks()[:3]
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quick start", "exec"), {})
    assert capsys.readouterr().out == shown
    assert pelorin.open_result("clay.nc").summary() + "\n" == shown
    assert sorted(p.name for p in (tmp_path / "figures").iterdir()) == \
        ["compression.png", "consolidation.png", "isochrones.png", "settlement.png"]


@pytest.mark.parametrize("thickness, kref, end", [(2.0, 1e-8, 20000.0), (8.0, 1e-9, 36525.0)])
def test_default_end_with_creep_is_said_and_within_a_century(thickness, kref, end):
    clay = pelorin.Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=kref, ekref=2.3, Ck=1.1, Ca=0.027)
    profile = pelorin.Profile([pelorin.Layer(clay, thickness, ocr=1.2, elements=20)],
                              surcharge=10.0, drainage="top")
    r = pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=50.0)]))
    assert float(r.time[-1]) == end
    assert f"({end:g} days, {end / 365.25:.3g} years: default end: " in r.summary()
    given = pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=50.0)], end=end))
    assert "default end" not in given.summary()


def test_a_result_in_a_notebook(terzaghi):
    import xml.etree.ElementTree as ET
    r = terzaghi["top"]
    page = ET.fromstring(r._repr_html_())
    rows = [[c.text for c in tr] for tr in page.iter("tr")]
    assert len(rows) == 1 + r.dataset.sizes["stage"] and rows[1][0] == "1"
    assert rows[1][6] == f"{r.final_primary * 1000:.1f}"
    assert f"{float(r.settlement[-1]) * 1000:.1f} mm" in ET.tostring(page, encoding="unicode")
    assert repr(r).startswith("<pelorin.Result ") and repr(r).endswith(" mm>")


def test_repeated_layer_names_and_no_title_are_written(tmp_path):
    clay = pelorin.Soil(**CLAY, name="clay")
    profile = pelorin.Profile([pelorin.Layer(clay, 1.0, ocr=1.2, name="clay", elements=4),
                               pelorin.Layer(clay, 1.0, ocr=1.5, name="clay", elements=4)],
                              surcharge=10.0)
    r = pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=50.0)]), title=None)
    r.to_netcdf(tmp_path / "r.nc")
    r.to_csv(tmp_path / "s.csv")
    import pandas as pd
    table = pd.read_csv(tmp_path / "s.csv", comment="#")
    assert ["clay (layer 1) [mm]", "clay (layer 2) [mm]"] == list(table.columns[3:5])
    with pytest.raises(pelorin.ParameterError, match="title must be text"):
        pelorin.simulate(profile, pelorin.Loading([pelorin.Stage(0.0, load=50.0)]), title=3)


@pytest.mark.parametrize("thickness, elements", [(6.0, 60), (300.0, 240), (1000.0, 480)])
def test_the_default_mesh_meets_the_compression_law(thickness, elements):
    from pelorin import _column
    profile = pelorin.Profile([pelorin.Layer(pelorin.Soil(**CLAY), thickness, ocr=1.2)],
                              surcharge=10.0)
    col = _column.column(profile, [100.0])
    fine = _column._mesh(profile, [4000]).primary_settlements([100.0])
    assert col.N == elements
    assert abs(col.primary_settlements([100.0])[0] / fine[0] - 1.0) < 5e-3


def _odd_case(soil=(), layer=(), prof=(), stages=None, end=1000.0):
    s = pelorin.Soil(**{**CLAY, **dict(soil)}, name="clay")
    lay = pelorin.Layer(s, **{**dict(thickness=2.0, ocr=1.2, elements=8), **dict(layer)})
    p = pelorin.Profile([lay], **{**dict(surcharge=10.0), **dict(prof)})
    return pelorin.simulate(p, pelorin.Loading(stages or [pelorin.Stage(0.0, load=50.0)],
                                               end=end))


@pytest.mark.parametrize("build, words", [
    (lambda: _odd_case(soil=dict(Ck=1e-7)), "Ck must be at least"),
    (lambda: _odd_case(soil=dict(Cc=1e5)), "Cc must be"),
    (lambda: _odd_case(soil=dict(esigvref=1e308)), "esigvref must be"),
    (lambda: _odd_case(layer=dict(thickness=1e308)), "thickness must be"),
    (lambda: _odd_case(layer=dict(thickness=1e-308)), "thickness must be"),
    (lambda: _odd_case(end=1e308), "end must be"),
    (lambda: _odd_case(end=5e-324), "end must be"),
    (lambda: pelorin.Stage(5e-324, load=60.0), "time must be 0 or at least"),
    (lambda: pelorin.Stage(0.0, fill=1e308), "fill must be"),
    (lambda: _odd_case(layer=dict(ocr=1e6)), "Layer 'clay': ocr gives no initial state"),
    (lambda: _odd_case(soil=dict(sigvref=1e-9)), "Layer 'clay': ocr gives no initial state"),
    (lambda: _odd_case(prof=dict(surcharge=1e7)), "Layer 'clay': ocr gives no initial state"),
    (lambda: _odd_case(soil=dict(Ck=1e-3, ekref=0.5)), "Layer 'clay': kref with Ck"),
    (lambda: _odd_case(prof=dict(drainage="top"), stages=[pelorin.Stage(0.0, base_head=-2.0)]),
     "stages[0].base_head needs a profile drained at the bottom"),
    (lambda: _odd_case(prof=dict(base_head=50.0)), "Profile: base_head lifts the soil"),
    (lambda: _odd_case(stages=[pelorin.Stage(0.0, load=50.0), pelorin.Stage(10.0, base_head=50.0)]),
     "stages[1].base_head would leave no effective stress"),
])
def test_values_that_would_break_later_are_refused_naming_them(build, words):
    with pytest.raises(pelorin.ParameterError, match=re.escape(words)):
        build()


GAMMAW = _call.DEFAULTS["gammaw"]
TIMES = np.geomspace(1.0, 2000.0, 25)


@pytest.mark.parametrize("levels", [((50.0, 3.0, 100.0),), ((50.0, 0.5, 0.0), (300.0, 4.0, 200.0))])
def test_free_water_raises_pore_pressure_and_total_stress_alike(levels):
    # Water above the top of the profile weighs on the soil and on its pore water
    # alike: the effective stresses and the settlement do not move.
    soil = pelorin.Soil(**CLAY)
    profile = pelorin.Profile([pelorin.Layer(soil, 4.0, ocr=1.2, elements=16)], surcharge=10.0,
                              water_level=1.0)
    load = [pelorin.Stage(0.0, load=40.0)]
    wet = load + [pelorin.Stage(t, water_level=h, duration=d) for t, h, d in levels]
    # The same times of change with the level kept: the sub-steps land alike.
    base = load + [pelorin.Stage(t, water_level=1.0, duration=d) for t, _, d in levels]
    times = np.union1d(TIMES, [x for t, _, d in levels for x in (t, t + d)])
    a, b = (pelorin.simulate(profile, pelorin.Loading(st, end=2000.0), times=times,
                             background=False).dataset for st in (base, wet))
    # (a water level changed over time takes the engine's general path: the same
    # numbers but for rounding)
    np.testing.assert_allclose(b["settlement"], a["settlement"], rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(b["sigv"], a["sigv"], rtol=1e-7)
    rise = GAMMAW * (b["water_level"] - 1.0)
    for name in ("pore_pressure", "sigma_total"):
        np.testing.assert_allclose(b[name] - a[name], rise.broadcast_like(a[name]), atol=1e-6)
    assert float(b["water_level"].sel(time=2000.0)) == levels[-1][1]


@pytest.mark.parametrize("submerged, loss", [(True, GAMMAW + 20.0 - 21.0), (False, 0.0)])
def test_a_fill_placed_in_standing_water_weighs_its_submerged_part_less(submerged, loss):
    soil = pelorin.Soil(**CLAY)
    profile = pelorin.Profile([pelorin.Layer(soil, 4.0, ocr=1.2, elements=16)], surcharge=10.0,
                              water_level=1.0)
    stage = pelorin.Stage(0.0, fill=3.0, saturated_unit_weight=21.0, submerged=submerged)
    ds = pelorin.simulate(profile, pelorin.Loading([stage], end=2000.0), times=TIMES,
                          background=False).dataset
    s = ds["settlement"].values
    acting = ds["load_acting"].values if submerged else ds["load"].values
    np.testing.assert_allclose(acting, 60.0 - loss * np.minimum(1.0 + s, 3.0), atol=1e-9)
