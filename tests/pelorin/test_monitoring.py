"""Monitoring and back-analysis: readings, the graphical methods on Terzaghi's series,
twin experiments of the fit, identifiability, prediction bands, case files and the
command."""
import importlib.util
import os
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

import pelorin
from pelorin._graphical import HYPERBOLIC_BIAS
from pelorin.observations import Observations, Series

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
sys.path.insert(0, os.path.join(ROOT, "validation"))
import graphical  # noqa: E402
import twin  # noqa: E402


def _load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def readings():
    return twin.clean_readings()


# --- readings -------------------------------------------------------------------

def test_readings_survive_a_csv_file_and_a_plate_file_reads_alone(tmp_path):
    obs = (Observations.plate([10, 20], [0.1, 0.2], sd=0.005, name="SP1")
           + Observations.piezometer([10, 30], [50.0, 40.0], depth=3.0)
           + Observations.extensometer([15], [0.05], top=1.0, bottom=4.0))
    obs.to_csv(tmp_path / "r.csv")
    back = Observations.from_csv(tmp_path / "r.csv")
    assert [(s.kind, s.name, s.depth, s.bottom, s.sd is None) for s in back] == \
        [(s.kind, s.name, s.depth, s.bottom, s.sd is None) for s in obs]
    assert all(np.array_equal(a.value, b.value) for a, b in zip(obs, back))
    (tmp_path / "p.csv").write_text("time,settlement\n5,0.01\n10,0.02\n")
    (plate,) = Observations.from_csv(tmp_path / "p.csv")
    assert plate.kind == "settlement" and plate.sd is None and len(plate) == 2


@pytest.mark.parametrize("text, fragment", [
    ("time,kind,value\n1,inclinometer,2\n", "kind must be one of"),
    ("time,kind,value\n1,piezometer,2\n", "depth must be given"),
    ("time,kind,value,sd\n1,plate,0.1,0\n", "sd must be positive"),
    ("time,kind,value\n2,plate,0.1\n", None),
    ("time,kind,value,depth\n1,piezometer,2,3\n2,piezometer,2,4\n", None),
    ("time,value\n1,2\n", "kind is a required column"),
    ("time,kind,value,instrument\n1,plate,0.1,A\n1,piezometer,3,A\n", "several kinds"),
    ("time,kind,value,depth,bottom\n1,extensometer,0.1,4,2\n", "must lie below"),
])
def test_bad_readings_are_refused_naming_what_is_wrong(tmp_path, text, fragment):
    (tmp_path / "r.csv").write_text(text)
    if fragment is None:
        assert len(Observations.from_csv(tmp_path / "r.csv")) >= 1
        return
    with pytest.raises(pelorin.ParameterError, match=fragment):
        Observations.from_csv(tmp_path / "r.csv")


def test_readings_map_onto_the_model_at_their_depths():
    clay = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, name="clay")
    prof = pelorin.Profile([pelorin.Layer(clay, 6.0, ocr=1.2, elements=12)], surcharge=10.0)
    res = pelorin.simulate(prof, pelorin.Loading([pelorin.Stage(0.0, load=80.0)], end=400.0),
                           times=[50.0, 100.0, 400.0])
    ds = res.dataset
    t = np.array([50.0, 75.0, 400.0])
    piezo, ext, plate = Observations.piezometer(t, 0 * t, depth=2.5) \
        + Observations.extensometer(t, 0 * t, top=0.0, bottom=6.0) + Observations.plate(t, 0 * t)
    u, comp, s = Observations([piezo, ext, plate]).model_values(res)
    node = int(np.argmin(abs(ds.depth.values - 2.5)))       # a node at 2.5 m
    assert u[0] == pytest.approx(float(ds.u[node].sel(time=50.0)), rel=1e-12)
    assert u[1] == pytest.approx(0.5 * float(ds.u[node].sel(time=50.0) + ds.u[node].sel(time=100.0)))
    assert comp == pytest.approx(s, abs=1e-12)               # the base does not move
    with pytest.raises(pelorin.ParameterError, match="below the base"):
        pelorin.calibrate(prof, pelorin.Loading([pelorin.Stage(0.0, load=80.0)]),
                          Observations.piezometer([10.0], [1.0], depth=7.0, sd=1.0),
                          [("clay.Cc", (0.3, 0.8))])


# --- graphical methods ------------------------------------------------------------

@pytest.mark.parametrize("quantity, target, tolerance", [
    ("Asaoka: ultimate settlement, relative error", 0.0, 0.01),
    ("Asaoka: cv, relative error", 0.0, 0.01),
    ("hyperbolic: ultimate over the final settlement", HYPERBOLIC_BIAS, 0.005),
    ("hyperbolic, corrected: relative error", 0.0, 0.005),
    ("bias of the hyperbola, U 60-90 % (computed)", 1.218, 0.0005),
])
def test_graphical_methods_on_exact_terzaghi_settlements(quantity, target, tolerance):
    assert graphical.cases()[quantity] == pytest.approx(target, abs=tolerance)


@pytest.mark.parametrize("call, fragment", [
    (lambda: pelorin.asaoka([1, 2, 3, 4, 5], [1, 4, 9, 16, 25], 1.0), "do not approach"),
    (lambda: pelorin.asaoka([1, 2, 3], [1, 2, 2.5], 1.0), "at least 4"),
    (lambda: pelorin.asaoka([1, 2, 3, 4], [1, 2, 2.5, 2.7], 0.0), "interval must be"),
    (lambda: pelorin.hyperbolic([1, 2, 3], [1, 2], since=0), "one value per time"),
])
def test_graphical_methods_refuse_what_they_cannot_read(call, fragment):
    with pytest.raises(pelorin.ParameterError, match=fragment):
        call()


# --- the fit ---------------------------------------------------------------------------

def test_twin_experiments_recover_the_truth_and_intervals_shrink_with_readings():
    hits, width, _, _ = twin.experiment(3, until=(400.0, 1000.0), workers=1)
    assert hits == {k: 3 for k in twin.TRUE}
    assert all(width[1000.0][k] < 0.7 * width[400.0][k] for k in twin.TRUE)


def test_threads_give_the_serial_fit_and_an_unknown_error_is_estimated(readings):
    obs = twin.noisy(5, *readings)
    serial = pelorin.calibrate(twin.DESIGN, twin.LOADING, obs, twin.VARY, workers=1)
    threads = pelorin.calibrate(twin.DESIGN, twin.LOADING, obs, twin.VARY, workers=2)
    assert serial.values == threads.values and serial.interval == threads.interval
    assert serial.reduced_chi2 == pytest.approx(1.0, abs=0.35)
    plate, piezo = obs
    unknown = Observations([Series(plate.kind, plate.name, plate.time, plate.value),
                            piezo])
    fit = pelorin.calibrate(twin.DESIGN, twin.LOADING, unknown, twin.VARY, workers=1)
    assert fit.sd_estimated["plate"] == pytest.approx(0.005, rel=0.3)
    for k, v in twin.TRUE.items():
        assert fit.interval[k][0] <= v <= fit.interval[k][1]


def test_a_parameter_the_readings_do_not_feel_is_not_identifiable():
    clay = pelorin.Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, ekref=2.3, Ck=1.1,
                        Ca=0.027, name="clay")
    crust = pelorin.Soil(Cc=0.3, Cr=0.03, esigvref=1.2, kref=1e-8, ekref=1.4, Ck=0.6,
                         Ca=0.006, name="crust")     # far below its line: it does not creep
    prof = pelorin.Profile([pelorin.Layer(crust, 2.0, pc=150.0, elements=6),
                            pelorin.Layer(clay, 6.0, ocr=1.2, elements=16)], surcharge=10.0)
    ld = pelorin.Loading([pelorin.Stage(0.0, fill=2.5)])
    t = np.linspace(10, 600, 30)
    truth = pelorin.simulate(prof, pelorin.Loading(ld.stages, end=600.0), times=t,
                             background=False)
    shape = Observations.plate(t, 0 * t) + Observations.piezometer(t, 0 * t, depth=5.0)
    rng = np.random.default_rng(1)
    obs = Observations([Series(s.kind, s.name, s.time, c + rng.normal(0, sd, c.size), sd,
                               s.depth) for s, c, sd in zip(shape, shape.model_values(truth),
                                                            (0.005, 2.0))])
    with pytest.warns(pelorin.IdentifiabilityWarning, match="crust.Ca") as record:
        fit = pelorin.calibrate(prof, ld, obs, [("clay.kref", (1e-10, 1e-8)),
                                                ("clay.Cc", (0.5, 1.3)),
                                                ("crust.Ca", (0.001, 0.02))])
    assert "clay" not in str(record[0].message).replace("crust", "")
    assert fit.identifiable == {"clay.kref": True, "clay.Cc": True, "crust.Ca": False}
    assert fit.interval["crust.Ca"] == (0.001, 0.02)
    assert "not identifiable" in fit.summary()


@pytest.mark.parametrize("kwargs, fragment", [
    (dict(vary=[("clay.Cc", (1.3, 0.5))]), "low < high"),
    (dict(vary=[("clay.kref", (-1.0, 1e-8), "log")]), "must be positive"),
    (dict(vary=[("clay.Cq", (0.5, 1.3))]), "cannot vary 'Cq'"),
    (dict(vary=[("sand.Cc", (0.5, 1.3))]), "no layer 'sand'"),
    (dict(vary=[("clay.Cc", (0.5, 1.3), "cubic")]), "\"log\" or \"linear\""),
    (dict(method="annealing"), "method must be"),
    (dict(workers=0), "workers must be"),
])
def test_calibrate_refuses_what_it_cannot_fit(readings, kwargs, fragment):
    kw = dict(vary=twin.VARY)
    kw.update(kwargs)
    vary = kw.pop("vary")
    with pytest.raises(pelorin.ParameterError, match=fragment):
        pelorin.calibrate(twin.DESIGN, twin.LOADING, twin.noisy(0, *readings), vary, **kw)


def test_readings_after_the_loadings_end_are_refused(readings):
    with pytest.raises(pelorin.ParameterError, match="beyond the loading's end"):
        pelorin.calibrate(twin.DESIGN, pelorin.Loading(twin.LOADING.stages, end=500.0),
                          twin.noisy(0, *readings), twin.VARY)


# --- prediction, posterior ---------------------------------------------------------

@pytest.fixture(scope="module")
def fit(readings):
    return pelorin.calibrate(twin.DESIGN, twin.LOADING, twin.noisy(2, *readings), twin.VARY,
                             workers=1)


def test_a_prediction_carries_the_fit_its_band_and_the_design(fit, tmp_path):
    stages = twin.LOADING.stages + (pelorin.Stage(1500.0, fill=-1.0),)
    pred = fit.predict(4000.0, loading=pelorin.Loading(stages), samples=24, seed=1,
                       scheduler="synchronous")
    frame = pred.percentiles()
    assert np.all(frame["P10_m"] <= frame["P50_m"]) and np.all(frame["P50_m"] <= frame["P90_m"])
    at = frame.iloc[int(np.argmin(abs(frame.index - 1000.0)))]
    assert at["P10_m"] < at["fitted_m"] < at["P90_m"]
    assert not at["P10_m"] - 0.05 < at["design_m"] < at["P90_m"] + 0.05   # the design is off
    # The readings' own times: the fitted run there is the fit's model.
    assert np.interp(twin.TIMES, frame.index, frame["fitted_m"]) == pytest.approx(
        fit.model[:twin.TIMES.size], abs=2e-3)
    pred.to_netcdf(tmp_path / "fit.nc")
    with xr.open_dataset(tmp_path / "fit.nc") as ds:
        assert list(ds.parameter.values) == fit.names
        assert ds.settlement_percentiles.shape == (3, frame.shape[0])
    fig = pred.plot(tmp_path / "fit.png")
    assert len(fig.axes) == 2 and (tmp_path / "fit.png").stat().st_size > 10_000


def test_the_posterior_agrees_with_the_least_squares_fit(readings, fit):
    post = pelorin.calibrate(twin.DESIGN, twin.LOADING, twin.noisy(2, *readings), twin.VARY,
                             method="mcmc", walkers=8, steps=150, seed=3)
    assert post.samples.shape == (8 * 100, 3)
    for j, name in enumerate(fit.names):
        assert abs(post.x[j] - fit.x[j]) < 1.5 * fit.sd_x[j], name
        assert 0.5 < post.sd_x[j] / fit.sd_x[j] < 2.0, name


# --- case files, the command, the example -------------------------------------------

EXAMPLE = os.path.join(ROOT, "examples", "fit.toml")


@pytest.mark.parametrize("fit_table, fragment", [
    ('[fit]\n[[fit.vary]]\nparameter = "upper soft clay.Cc"\nlow = 0.5\nhigh = 1.5\n',
     "observations must name"),
    ('[fit]\nobservations = "monitoring.csv"\n', "needs \\[\\[fit.vary\\]\\]"),
    ('[fit]\nobservations = "monitoring.csv"\n[[fit.vary]]\nparameter = "upper soft clay.Cc"'
     '\nlow = 1.5\nhigh = 0.5\n', "low < high"),
    ('[fit]\nobservations = "monitoring.csv"\nmethod = "guess"\n', "method must be"),
])
def test_a_bad_fit_table_names_the_key(tmp_path, fit_table, fragment):
    text = open(EXAMPLE).read()
    path = tmp_path / "case.toml"
    path.write_text(text[:text.index("[fit]")] + fit_table)
    with pytest.raises(pelorin.CaseError, match=fragment):
        pelorin.read_case(path)


def test_the_example_readings_are_what_their_script_makes():
    make = _load(os.path.join(ROOT, "examples", "make_monitoring.py"), "make_monitoring")
    case = pelorin.read_case(EXAMPLE)
    made = make.readings(case)
    kept = Observations.from_csv(case.fit_spec.observations)
    assert [s.name for s in made] == [s.name for s in kept]
    assert all(np.allclose(a.value, b.value, atol=1e-9) for a, b in zip(made, kept))


def test_pelorin_fit_writes_the_fit_the_table_and_the_figure(tmp_path):
    tests = os.path.join(ROOT, "tests")
    main = ("import runpy, sys; sys.path.insert(0, sys.argv.pop(1)); import conftest; "
            "runpy.run_module('pelorin', run_name='__main__', alter_sys=True)")
    proc = subprocess.run([sys.executable, "-c", main, tests, "fit", EXAMPLE, "--samples",
                           "16", "--out", str(tmp_path)], capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path)) == ["fit.nc", "fit.png", "parameters.csv",
                                            "prediction.csv", "summary.txt"]
    table = (tmp_path / "parameters.csv").read_text()
    assert table.splitlines()[0].startswith("parameter,scale,design,fitted")
    assert "upper soft clay.Ca" in proc.stdout and "P10/P50/P90" in proc.stdout
    bad = tmp_path / "nofit.toml"
    text = open(EXAMPLE).read()
    bad.write_text(text[:text.index("[fit]")])
    proc = subprocess.run([sys.executable, "-c", main, tests, "fit", str(bad)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 2 and "no [fit] section" in proc.stderr
