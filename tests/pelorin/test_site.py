"""Loads of finite size and sites: refusals, the stress at the surface, runs shared
between points, staged footprints against one-dimensional runs, Dask, the command."""
import os
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

import pelorin
from pelorin.loads import Circle, Embankment, Polygon, Rectangle, Strip, vertical_stress

CLAY = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, name="clay")
PROFILE = pelorin.Profile([pelorin.Layer(CLAY, 8.0, ocr=1.2, elements=24)], surcharge=10.0)
THIN = pelorin.Profile([pelorin.Layer(CLAY, 4.0, ocr=1.2, elements=12)], surcharge=10.0)
SYNC = dict(scheduler="synchronous", progress=False)
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
# The command with the package this test run imports (conftest: a development build).
MAIN = ("import runpy, sys; sys.path.insert(0, sys.argv.pop(1)); import conftest; "
        "runpy.run_module('pelorin', run_name='__main__', alter_sys=True)")


def command(*args):
    return subprocess.run([sys.executable, "-c", MAIN, os.path.join(ROOT, "tests"), *args],
                          capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("make, owner, parameter", [
    (lambda: Rectangle((0, 0), 0.0, 5.0, pressure=50.0), "Rectangle", "width"),
    (lambda: Circle((0, 0), 5.0, pressure=50.0, fill=2.0), "Circle", "pressure/fill"),
    (lambda: Strip((0, "a"), 5.0, pressure=50.0), "Strip", "center"),
    (lambda: Embankment((0, 0), crest=30.0, base=20.0, fill=2.0), "Embankment", "base"),
    (lambda: Polygon([(0, 0), (1, 1), (2, 2)], pressure=50.0), "Polygon", "vertices"),
    (lambda: Rectangle((0, 0), 5.0, 5.0, pressure=50.0, duration=0.0), "Rectangle", "duration"),
    (lambda: vertical_stress(Circle((0, 0), 5.0, pressure=1.0), 0.0, 0.0, -1.0),
     "vertical_stress", "z"),
    (lambda: vertical_stress(Circle((0, 0), 5.0, pressure=1.0), 0.0, 0.0, 1.0, "elastic"),
     "vertical_stress", "method"),
    (lambda: vertical_stress(Polygon([(0, 0), (1, 0), (0, 1)], pressure=1.0), 0, 0, 1, "2:1"),
     "vertical_stress", "method"),
    (lambda: pelorin.site([((0, 0), PROFILE)], [Rectangle((0, 0), 5, 5, pressure=50.0),
                                                (90.0, Circle((9, 0), 3, pressure=50.0))],
                          [(0, 0)], **SYNC), "site", "footprints"),
    (lambda: pelorin.site([((0, 0), PROFILE)], [Circle((0, 0), 5, pressure=50.0)],
                          [(0, 0, "BH9")], **SYNC), "site", "points"),
    (lambda: pelorin.Line((0, 0), (10, 0), count=1), "Line", "count"),
])
def test_bad_input_names_its_parameter(make, owner, parameter):
    with pytest.raises(pelorin.ParameterError) as err:
        make()
    assert (err.value.owner, err.value.parameter) == (owner, parameter)


@pytest.mark.parametrize("fp, inside, outside", [
    (Rectangle((5, 5), 10.0, 4.0, pressure=80.0, angle=30.0), (5.0, 5.0), (12.0, 5.0)),
    (Circle((0, 0), 10.0, pressure=80.0), (6.0, -6.0), (8.0, 8.0)),
    (Strip((0, 0), 6.0, pressure=80.0, angle=90.0), (100.0, 2.0), (0.0, 4.0)),
    (Embankment((0, 0), crest=10.0, base=30.0, pressure=80.0, length=20.0), (4.0, 9.0),
     (4.0, 26.0)),
    # Clockwise and not convex: the winding decides what is inside.
    (Polygon([(0, 0), (0, 10), (4, 10), (4, 4), (10, 4), (10, 0)], pressure=80.0),
     (2.0, 8.0), (7.0, 7.0)),
])
@pytest.mark.parametrize("method", ["boussinesq", "westergaard"])
def test_just_below_the_surface_the_footprint_carries_its_pressure(fp, inside, outside,
                                                                   method):
    got = vertical_stress(fp, np.array([inside[0], outside[0]]),
                          np.array([inside[1], outside[1]]), 1e-4, method)
    assert got == pytest.approx([80.0, 0.0], abs=0.05)


def test_points_alike_share_a_run_and_lines_give_their_distortion():
    raft = Rectangle((0, 0), 20.0, 10.0, pressure=60.0)
    line = pelorin.Line((-20.0, 0.0), (20.0, 0.0), count=9, name="A")
    r = pelorin.site([((0, 0), PROFILE)], [raft], [line, [(0.0, 3.0), (0.0, -3.0)]],
                     end=3000.0, **SYNC)
    ds = r.dataset
    assert ds["settlement"].dims == ("point", "time") and ds.attrs["failed"] == 0
    run = ds["run"].values
    assert run[0] == run[8] and run[9] == run[10] and ds.attrs["runs"] == 5 + 1
    s = ds["settlement"].values
    assert np.array_equal(s[1], s[7])
    assert ds["angular_distortion"].values[3] == pytest.approx((s[4] - s[3]) / 5.0)
    assert np.all(np.isnan(ds["differential_settlement"].values[8:]))
    assert 0.0 < ds["final_settlement"].values[0] < ds["final_settlement"].values[4]
    assert list(r.section_frame("A")["chainage_m"]) == pytest.approx(np.arange(0, 41, 5))


def test_each_point_takes_its_nearest_borehole_or_the_one_it_names():
    wide = Rectangle((0, 0), 2000.0, 2000.0, pressure=50.0)
    r = pelorin.site({"deep": ((-50, 0), PROFILE), "thin": ((50, 0), THIN)}, [wide],
                     [(-10.0, 0.0), (10.0, 0.0), (10.0, 0.0, "deep")], end=3000.0, **SYNC)
    ds = r.dataset
    assert list(ds["borehole"].values) == ["deep", "thin", "deep"]
    s = ds["final_settlement"].values
    assert s[0] == pytest.approx(s[2], rel=1e-6) and s[1] < 0.7 * s[0]


def test_one_footprint_raised_in_stages_settles_as_the_staged_one_dimensional_run():
    stages = [Rectangle((0, 0), 3000.0, 3000.0, fill=2.0, time=0.0),
              (200.0, Rectangle((0, 0), 3000.0, 3000.0, fill=2.0)),
              Rectangle((0, 0), 3000.0, 3000.0, pressure=-30.0, time=1000.0)]
    r = pelorin.site([((0, 0), PROFILE)], stages, [(0.0, 0.0)], end=5000.0, **SYNC)
    times = r.dataset["time"].values[1:]
    loading = pelorin.Loading([pelorin.Stage(0.0, load=40.0), pelorin.Stage(200.0, load=80.0),
                               pelorin.Stage(1000.0, load=50.0)], end=5000.0)
    one = pelorin.simulate(PROFILE, loading, times=times)
    late = times > 1.0
    s = r.dataset["settlement"].values[0, 1:]
    assert np.max(np.abs(s[late] - one.settlement.values[1:][late])) < 1e-3 * s.max()
    assert r.dataset["primary"].values[0] == pytest.approx(one.dataset["primary"].values,
                                                           rel=1e-4)


@pytest.mark.parametrize("batch_size, chunk", [(3, 256), (None, 5)])
def test_a_cluster_gives_the_serial_numbers(monkeypatch, batch_size, chunk):
    from distributed import Client, LocalCluster
    grid = pelorin.Grid(np.linspace(-30, 30, 7), np.linspace(-30, 30, 7))
    loads = [Circle((0, 0), 15.0, pressure=70.0), Strip((25, 0), 8.0, pressure=30.0)]
    holes = [((-20, 0), PROFILE), ((20, 0), THIN)]
    serial = pelorin.site(holes, loads, grid, end=2000.0, **SYNC)
    # the runs are made a few points at a time while the first ones run
    monkeypatch.setattr(pelorin._site, "STRESS_CHUNK", chunk)
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        par = pelorin.site(holes, loads, grid, end=2000.0, client=client,
                           batch_size=batch_size, progress=False)
    for key in ("settlement", "run", "primary", "stress_mean"):
        assert np.array_equal(serial.dataset[key].values, par.dataset[key].values)


def test_the_site_command_writes_its_files_and_refuses_a_bad_case(tmp_path):
    case = os.path.join(ROOT, "examples", "embankment_section.toml")
    proc = command("site", case, "--out", str(tmp_path), "--scheduler", "synchronous")
    assert proc.returncode == 0, proc.stderr
    assert {"site.nc", "summary.txt", "section_toe_to_toe.csv", "map.png",
            "section_toe_to_toe.png", "histories.png"} <= set(os.listdir(tmp_path))
    with xr.open_dataset(tmp_path / "site.nc") as ds:
        assert ds["settlement"].dims == ("point", "time") and ds.sizes["point"] == 33
        s = ds["final_settlement"].values
    assert s[16] == s.max() and s[0] < 0.2 * s[16]        # the centre, and a toe's 10 m out
    bad = tmp_path / "bad.toml"
    bad.write_text(open(case).read().replace('type = "embankment"', 'type = "pyramid"', 1))
    proc = command("site", str(bad))
    assert proc.returncode == 2 and "[[footprints]] #1: type must be one of" in proc.stderr
    proc = command("run", case)
    assert proc.returncode == 2 and "run it with `pelorin site`" in proc.stderr
