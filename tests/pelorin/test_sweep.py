"""Sweeps: sampling, bit-identical results on any Dask layout, failures kept per run,
lost workers, Ctrl-C."""
import dataclasses
import os
import signal
import threading
import time

import numpy as np
import pytest

import pelorin
from pelorin._distributions import draw

CLAY = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75, Ca=0.02, name="clay")
SAND = pelorin.Soil(Cc=0.02, Cr=0.005, esigvref=0.65, kref=1e-5, Ck=0.3, name="sand")
PROFILE = pelorin.Profile([pelorin.Layer(CLAY, 4.0, ocr=1.2, elements=12),
                           pelorin.Layer(SAND, 1.0, ocr=1.0, elements=2),
                           pelorin.Layer(CLAY, 4.0, ocr=1.2, elements=12, name="lower")],
                          surcharge=10.0, drainage="top")
LOADING = pelorin.Loading([pelorin.Stage(0.0, load=60.0), pelorin.Stage(200.0, load=100.0)],
                          end=5000.0)
VARY = {"clay.kref": pelorin.LogNormal(1e-9, sigma_log10=0.5),
        "lower.Cc": pelorin.Normal(0.5, cov=0.2)}
ARRAYS = ("settlement", "t90", "primary", "final_settlement", "clay.kref", "lower.Cc")


def same(a, b):
    return all(np.array_equal(a.dataset[v].values, b.dataset[v].values, equal_nan=True)
               for v in ARRAYS) and list(a.dataset.status.values) == list(b.dataset.status.values)


@pytest.fixture(scope="module")
def serial():
    return pelorin.sweep(PROFILE, LOADING, vary=VARY, samples=24, seed=3,
                         scheduler="synchronous", progress=False)


@pytest.fixture(scope="module")
def threads():
    from distributed import Client, LocalCluster
    with LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


@pytest.mark.parametrize("dist, check", [
    (pelorin.Normal(0.5, cov=0.2), lambda x: (x.mean(), x.std()) == pytest.approx((0.5, 0.1), rel=0.05)),
    (pelorin.LogNormal(1e-9, sigma_log10=1.0),
     lambda x: (np.median(np.log10(x)), np.log10(x).std()) == pytest.approx((-9.0, 1.0), abs=0.05)),
    (pelorin.Uniform(2.0, 3.0), lambda x: x.min() >= 2.0 and x.max() <= 3.0
     and abs(x.mean() - 2.5) < 0.02),
])
def test_marginals(dist, check):
    assert check(draw({"p": dist}, 4000, seed=1)["p"])


def test_correlation_and_seed():
    d = {"a": pelorin.Normal(0.0, sd=1.0), "b": pelorin.LogNormal(1.0, sigma_log10=0.3)}
    x = draw(d, 5000, seed=7, correlation=[[1.0, -0.7], [-0.7, 1.0]])
    assert np.corrcoef(x["a"], np.log(x["b"]))[0, 1] == pytest.approx(-0.7, abs=0.03)
    y = draw(d, 5000, seed=7, correlation=[[1.0, -0.7], [-0.7, 1.0]])
    assert np.array_equal(x["b"], y["b"])
    d["c"] = pelorin.Uniform(0.0, 1.0)
    with pytest.raises(ValueError, match="positive definite"):
        draw(d, 10, seed=1, correlation=[[1, 0.9, -0.9], [0.9, 1, 0.9], [-0.9, 0.9, 1]])


def test_result_layout_and_percentiles(serial):
    ds = serial.dataset
    assert ds.sizes["sample"] == 24 and ds.sizes["stage"] == 2 and ds.attrs["failed"] == 0
    assert ds.settlement.shape == (24, ds.sizes["time"]) and ds.time[0] == 0.0
    s = ds.final_settlement.values
    assert ds.final_settlement_percentiles.values == pytest.approx(np.percentile(s, [10, 50, 90]))
    # The sampled values reach the runs: primary settlement follows the lower clay's Cc,
    # the settlement reached by the end its permeability.
    assert np.corrcoef(ds["lower.Cc"].values, ds.primary.values[:, -1])[0, 1] > 0.9
    assert np.corrcoef(np.log(ds["clay.kref"].values), s)[0, 1] > 0.5
    assert "24 samples, 24 ran, 0 failed" in serial.summary()
    import xml.etree.ElementTree as ET
    page = ET.fromstring(serial._repr_html_())        # well formed, for a notebook
    rows = [[c.text for c in tr] for tr in page.iter("tr")]
    assert rows[1] == ["final settlement [mm]"] + [
        f"{v * 1000:.1f}" for v in ds.final_settlement_percentiles.values]
    assert repr(serial) == "<pelorin.SweepResult: 24 samples, 0 failed>"


@pytest.mark.parametrize("batch_size", [1, 5, None])
def test_bit_identical_on_threads_any_batch(serial, threads, batch_size):
    out = pelorin.sweep(PROFILE, LOADING, vary=VARY, samples=24, seed=3, client=threads,
                        batch_size=batch_size, progress=False)
    assert same(serial, out)


@pytest.mark.parametrize("items, per_item, workers", [(1000, 0.0035, 2), (7, 1.0, 8),
                                                      (5000, 1e-5, 64)])
def test_batches_cover_the_items_and_shrink_towards_the_end(items, per_item, workers):
    from pelorin._batches import MAX_BATCH_SECONDS, MIN_BATCH_SECONDS, batch_sizes
    sizes = batch_sizes(items, per_item, workers)
    assert sum(sizes) == items and sizes == sorted(sizes, reverse=True)
    assert max(sizes) * per_item <= MAX_BATCH_SECONDS + per_item
    assert all(s * per_item >= MIN_BATCH_SECONDS for s in sizes[:-1])
    # The last round of batches is short: the workers finish close together.
    assert all(s * per_item <= max(MIN_BATCH_SECONDS, per_item) + per_item
               for s in sizes[-workers:])


def _started(i):
    t = time.perf_counter()
    time.sleep(0.002)
    return t


def test_large_batches_run_first(threads):
    from pelorin._batches import batch_sizes, run_batches
    starts = run_batches(_started, range(600), client=threads, progress=False,
                         seconds_per_item=0.002)
    first = np.cumsum([0] + batch_sizes(600, 0.002, 2))[:-1]
    order = np.argsort([starts[i] for i in first])
    assert len(order) > 12 and max(order[:4]) < len(order) - 4


def test_failures_are_recorded_not_fatal(threads):
    # Cr drawn up to 0.9 against Cc 0.5: about half the samples are impossible soils.
    out = pelorin.sweep(PROFILE, LOADING, vary={"clay.Cr": pelorin.Uniform(0.01, 0.9)},
                        samples=16, seed=2, client=threads, progress=False)
    bad = out.dataset.status.values != "ok"
    assert 0 < bad.sum() < 16 and out.dataset.attrs["failed"] == bad.sum()
    assert all("Cr" in s for s in out.dataset.status.values[bad])
    assert np.isnan(out.dataset.settlement.values[bad]).all()
    assert not np.isnan(out.dataset.settlement.values[~bad]).any()
    assert f"{bad.sum()} failed" in out.summary() and "ParameterError" in out.summary()


def test_cases_one_per_borehole(threads):
    thin = pelorin.Profile([pelorin.Layer(CLAY, 5.0, ocr=1.2)], surcharge=10.0)
    thick = pelorin.Profile([pelorin.Layer(CLAY, 12.0, ocr=1.2)], surcharge=10.0)
    out = pelorin.sweep(None, LOADING, cases={"BH1": thin, "BH2": thick}, client=threads,
                        progress=False)
    s = out.dataset.final_settlement.sel(case=["BH1", "BH2"]).values
    assert 0 < s[0] < s[1]


@pytest.mark.parametrize("vary, message", [
    ({"Cc": pelorin.Normal(0.5, cov=0.1)}, "name the layer"),
    ({"peat.Cc": pelorin.Normal(0.5, cov=0.1)}, "no layer 'peat'"),
    ({"clay.colour": pelorin.Normal(0.5, cov=0.1)}, "cannot vary 'colour'"),
    ({"clay.pc": pelorin.Normal(50.0, cov=0.1)}, "given as ocr"),
])
def test_bad_parameter_names(vary, message):
    with pytest.raises(pelorin.ParameterError, match=message):
        pelorin.sweep(PROFILE, LOADING, vary=vary, samples=2, scheduler="synchronous",
                      progress=False)


def test_worker_killed_mid_sweep_loses_nothing():
    from distributed import Client, LocalCluster
    kw = dict(vary=VARY, samples=160, seed=3, progress=False, rtol=1e-5)
    ref = pelorin.sweep(PROFILE, LOADING, scheduler="synchronous", **kw)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        victim = min(client.run(os.getpid).values())
        killed = []
        killer = threading.Timer(0.3, lambda: (os.kill(victim, signal.SIGKILL),
                                               killed.append(time.perf_counter())))
        killer.start()
        out = pelorin.sweep(PROFILE, LOADING, client=client, batch_size=1, **kw)
        done = time.perf_counter()
        killer.join()
    assert killed and killed[0] < done     # the worker died while the sweep ran
    assert same(ref, out)


def test_ctrl_c_cancels_outstanding_runs(threads):
    timer = threading.Timer(0.5, signal.raise_signal, (signal.SIGINT,))
    timer.start()
    with pytest.raises(KeyboardInterrupt) as err:
        pelorin.sweep(PROFILE, LOADING, vary=VARY, samples=2000, seed=1, client=threads,
                      batch_size=1, progress=False)
    part = err.value.result.dataset     # the samples finished before it, marked partial
    done = int((part.status == "ok").sum())
    assert part.attrs["partial"] == f"{done} of 2000 samples finished before the interrupt"
    assert done < 2000 and set(part.status.values) <= {"ok", "Interrupted: not run"}
    deadline = time.time() + 10
    while time.time() < deadline and any(threads.processing().values()):
        time.sleep(0.1)
    assert not any(threads.processing().values())


def test_band_plot(serial, tmp_path):
    fig = serial.plot(tmp_path / "band.png")
    ax = fig.axes[0]
    assert len(ax.collections) == 1 and len(ax.lines) == 2     # band, median, deterministic
    assert (tmp_path / "band.png").stat().st_size > 10_000


def test_command_runs_the_example_sweep(tmp_path):
    from test_cli import EXAMPLE, pelorin as command
    proc = command("sweep", EXAMPLE, "--samples", "6", "--scheduler", "synchronous",
                   "--out", str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path)) == ["percentiles.csv", "settlement_band.png",
                                            "summary.txt", "sweep.nc"]
    summary = (tmp_path / "summary.txt").read_text()
    assert proc.stdout.startswith(summary.rsplit("\n\n", 1)[0] + "\n")
    import xarray as xr
    with xr.open_dataset(tmp_path / "sweep.nc") as ds:
        assert ds.sizes["sample"] == 6 and set(ds.status.values) == {"ok"}
        assert ds["upper_soft_clay__kref"].attrs["parameter"] == "upper soft clay.kref"
    from test_release import check_cf
    check_cf(tmp_path / "sweep.nc")


GOOD_SWEEP = open(os.path.join(os.path.dirname(__file__), "..", "..", "examples",
                               "embankment.toml")).read()


@pytest.mark.parametrize("change, words", [
    (lambda s: s.replace('distribution = "normal"', 'distribution = "gamma"', 1),
     '[[sweep.vary]] #2: distribution must be one of normal, lognormal, uniform; got'),
    (lambda s: s.replace("median = 1e-8 ", "middle = 1e-8 "),
     "[[sweep.vary]] #1: unknown key 'middle'"),
    (lambda s: s.replace("cov = 0.2\n", "", 1), "[[sweep.vary]] #2: normal give exactly one "
     "of sd and cov"),
    (lambda s: s.replace("[0.0, 0.0, 1.0]]", "]"), "[sweep] correlation must be a 3 x 3 list"),
    (lambda s: s.replace("samples = 200", "samples = 0"), "[sweep] samples must be a whole "
     "number of at least 1"),
    (lambda s: s[:s.index("[sweep]")], "no [sweep] section"),
    (lambda s: s.replace('"upper soft clay.Cc"', '"peat.Cc"'), "no layer 'peat'"),
])
def test_bad_sweep_sections_name_the_key(tmp_path, change, words):
    from test_cli import pelorin as command
    case = tmp_path / "case.toml"
    case.write_text(change(GOOD_SWEEP))
    proc = command("sweep", str(case), "--samples", "2", "--scheduler", "synchronous",
                   "--out", str(tmp_path / "out"))
    assert proc.returncode == 2 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith("pelorin: ") and words in proc.stderr, proc.stderr


@pytest.mark.parametrize("processes", [False, True])
def test_local_cluster_listens_on_loopback_only(processes):
    import psutil
    from pelorin._batches import _client
    me = psutil.Process()

    def listening():
        ours = {me.pid} | {p.pid for p in me.children(recursive=True)}
        return {conn.laddr for conn in psutil.net_connections("inet")
                if conn.status == psutil.CONN_LISTEN and conn.pid in ours}
    before = listening()     # other tests' clusters
    with _client(processes=processes, workers=1) as c:
        assert c.submit(os.getpid).result() != me.pid or not processes
        new = listening() - before
    assert new and {address.ip for address in new} == {"127.0.0.1"}


def test_a_scheduler_without_workers_times_out_naming_it(monkeypatch):
    from distributed import LocalCluster
    from pelorin import _batches
    monkeypatch.setattr(_batches, "WORKER_WAIT_SECONDS", 0.5)
    with LocalCluster(n_workers=0, processes=False, dashboard_address=None) as cluster:
        start = time.perf_counter()
        with pytest.raises(_batches.NoWorkersError, match="has no workers") as err:
            pelorin.sweep(PROFILE, LOADING, vary=VARY, samples=2, progress=False,
                          scheduler=cluster.scheduler_address)
        assert time.perf_counter() - start < 30
    assert cluster.scheduler_address in str(err.value)


def test_sweep_help_shows_a_sweep_section_the_reader_accepts(tmp_path):
    from test_cli import pelorin as command
    shown = command("sweep", "--help").stdout
    section = shown[shown.index("  [sweep]"):shown.index("`pelorin example")]
    toml = "\n".join(line[2:] for line in section.splitlines())
    case = tmp_path / "case.toml"
    case.write_text(GOOD_SWEEP[:GOOD_SWEEP.index("[sweep]")]
                    + toml.replace('"soft clay.', '"upper soft clay.'))
    spec = pelorin.read_case(case).sweep_spec
    assert spec.samples == 200 and list(spec.vary) == ["upper soft clay.kref",
                                                       "upper soft clay.Cc"]


@pytest.mark.parametrize("stages", [
    [pelorin.Stage(0.0, fill=3.0, saturated_unit_weight=21.0, duration=60.0),
     pelorin.Stage(300.0, fill=-1.0, duration=20.0)],
    [pelorin.Stage(0.0, load=40.0), pelorin.Stage(100.0, base_head=-4.0, duration=400.0)],
])
def test_a_sweep_reads_stages_placed_over_time_as_simulate_does(stages):
    loading = pelorin.Loading(stages, end=5000.0)
    profile = dataclasses.replace(PROFILE, drainage="both")
    one = pelorin.sweep(None, loading, cases={"BH1": profile}, scheduler="synchronous",
                        progress=False).dataset.sel(case="BH1")
    r = pelorin.simulate(profile, loading, background=False).dataset
    for name in ("primary", "t90"):
        np.testing.assert_allclose(one[name].values, r[name].values, rtol=1e-12)
    assert float(one["final_settlement"]) == pytest.approx(float(r["settlement"][-1]), rel=1e-12)
