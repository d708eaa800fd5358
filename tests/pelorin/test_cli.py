"""The pelorin command, run as a subprocess: the example case, broken case
files, and redrawing a saved result."""
import hashlib
import os
import re
import signal
import shutil
import subprocess
import sys
import sysconfig

import pytest

import pelorin as pelorin_package

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
EXAMPLE = os.path.join(ROOT, "examples", "embankment.toml")
FILES = ["results.nc", "settlement.csv", "summary.txt", "settlement.png", "isochrones.png",
         "compression.png", "loading.png"]


TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
# `python -m pelorin`, with the package the test run imports (conftest sets up
# a development build when PELORIN_BUILD_DIR names one).
MAIN = ("import runpy, sys; sys.path.insert(0, sys.argv.pop(1)); import conftest; "
        "runpy.run_module('pelorin', run_name='__main__', alter_sys=True)")


def pelorin(*args, cwd=None):
    return subprocess.run([sys.executable, "-c", MAIN, TESTS, *args], cwd=cwd,
                          capture_output=True, text=True, timeout=900)


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    out = tmp_path_factory.mktemp("embankment")
    return out, pelorin("run", EXAMPLE, "--out", str(out))


def test_the_example_case_runs_and_writes_everything(example):
    out, proc = example
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(out)) == sorted(FILES)
    summary, version = (out / "summary.txt").read_text().rsplit("\n\n", 1)
    assert proc.stdout.startswith(summary + "\n")   # printed as written, with its writer
    assert version.splitlines()[0] == f"written by pelorin {pelorin_package.__version__}"
    assert summary.count("\n") > 12 and "sand lens" in summary
    assert "net of" in summary                      # creep: the companion run
    assert f"figures: {out / 'settlement.png'}, " in proc.stdout
    assert proc.stderr == ""                         # no bar when stderr is not a terminal
    # The README shows what `make demo` prints.
    from test_package import readme_blocks
    assert readme_blocks()[0].startswith(summary + "\n\nresults: demo-results/results.nc, ")


def test_results_follow_the_cf_conventions(example):
    from test_release import check_cf
    ds = check_cf(example[0] / "results.nc")
    assert ds["settlement"].attrs["positive"] == "down"
    assert ds["depth"].attrs["standard_name"] == "depth"
    assert ds.attrs["case"] == GOOD and ds.attrs["case_file"] == EXAMPLE


@pytest.mark.parametrize("name, lines", [
    ("results.nc", lambda path: [pelorin_package.open_result(path).dataset.attrs["case_sha256"]]),
    ("settlement.csv", lambda path: [x for x in path.read_text().splitlines() if x[:1] == "#"]),
    ("summary.txt", lambda path: path.read_text().splitlines()[-1:]),
])
def test_every_output_names_the_case_by_its_hash(example, name, lines):
    digest = hashlib.sha256(open(EXAMPLE, "rb").read()).hexdigest()
    assert any(digest in line for line in lines(example[0] / name))


def test_plot_redraws_the_figures_of_a_saved_result(example, tmp_path):
    out, _ = example
    proc = pelorin("plot", str(out / "results.nc"), "--out", str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    assert sorted(os.listdir(tmp_path)) == sorted(FILES[3:])


GOOD = open(EXAMPLE).read()


@pytest.mark.parametrize("change, words", [
    (lambda s: s.replace("Cc = 0.90", "Cc = -0.90"),
     '[soils.soft clay]: Cc must be greater than 0 (compression index); got -0.9'),
    (lambda s: s.replace('soil = "sand"', 'soil = "snad"'),
     "[[layers]] #3: soil 'snad' is not defined"),
    (lambda s: s.replace("pc = 80.0", "pc = 80.0\nocr = 2.0"), "[[layers]] #1: ocr/pc/e0 must be given exactly once"),
    (lambda s: s.replace('drainage = "both"', 'drainage = "up"'), "[profile]: drainage must be one of"),
    (lambda s: s.replace("surcharge = 10.0", ""), "[profile]: missing key 'surcharge'"),
    (lambda s: s.replace("time = 365.0", "time = 3650.0"), "[[stages]] #3: time must be later"),
    (lambda s: s.replace("Ck = 0.60", "Ck = 0.60\nCk2 = 1"), "[soils.crust]: unknown key 'Ck2'"),
    (lambda s: s.replace("thickness = 2.0", 'thickness = "2 kPa"'), "thickness must be a number, or a number with a unit of m"),
    (lambda s: s.replace("[run]", "[run\n"), "not a valid TOML file"),
    (lambda s: s.replace("end = 20000.0", "end = 100.0"), "[run] end must be greater than 3650"),
    (lambda s: s.replace("duration = 30.0", "duration = -30.0"),
     "[[stages]] #3: duration must be at least 0"),
    (lambda s: s.replace("time = 365.0", "time = 50.0"),
     "[[stages]] #2: time must not start before stage 1 has made its change"),
    (lambda s: s.replace("saturated_unit_weight = 21.0    #", "saturated_unit_weight = 18.0    #"),
     "[[stages]] #1: saturated_unit_weight must be at least the unit_weight"),
    (lambda s: s.replace('drainage = "both" ', 'base_head = -2.0\ndrainage = "top" '),
     "[profile]: base_head needs a profile drained at the bottom"),
])
def test_a_broken_case_file_gets_one_line_and_status_2(tmp_path, change, words):
    case = tmp_path / "broken.toml"
    assert change(GOOD) != GOOD
    case.write_text(change(GOOD))
    proc = pelorin("run", str(case), "--out", str(tmp_path / "out"))
    assert proc.returncode == 2
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith(f"pelorin: {case}: ")
    assert words in proc.stderr
    assert not (tmp_path / "out").exists()


def test_a_run_that_cannot_go_on_exits_1_with_what_it_reached(tmp_path):
    case = tmp_path / "short.toml"
    case.write_text(GOOD.replace("[run]", "[run]\nmax_substeps = 40"))
    proc = pelorin("run", str(case), "--out", str(tmp_path / "out"))
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.startswith(f"pelorin: {case}: the run stopped: ")
    assert proc.stderr.rstrip().endswith(f"results up to then in {tmp_path / 'out' / 'results.nc'}")
    import pelorin as package
    partial = package.open_result(tmp_path / "out" / "results.nc")
    assert 1 < partial.dataset.sizes["time"] and float(partial.time[-1]) < 365.0


def test_missing_files_are_reported_not_raised(tmp_path):
    for args in (["run", str(tmp_path / "none.toml")], ["plot", str(tmp_path / "none.nc")]):
        proc = pelorin(*args)
        assert proc.returncode == 2 and "Traceback" not in proc.stderr
        assert str(tmp_path / "none") in proc.stderr


def test_the_command_is_installed_as_a_console_script():
    import pelorin as package
    purelib = sysconfig.get_paths()["purelib"]
    if os.environ.get("PELORIN_BUILD_DIR") or not package.__file__.startswith(purelib):
        pytest.skip("not testing an installed package")
    exe = shutil.which("pelorin", path=os.path.dirname(sys.executable))
    assert exe is not None
    proc = subprocess.run([exe, "--help"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and "run" in proc.stdout and "plot" in proc.stdout


def test_example_copies_a_shipped_case_out(tmp_path):
    listed = pelorin("example")
    assert listed.returncode == 0
    names = [line.split()[0] for line in listed.stdout.splitlines()]
    assert names == sorted(names)           # a source checkout lists its own folder too
    assert {"drains", "embankment", "embankment_section", "pumping", "tank"} <= set(names)
    proc = pelorin("example", "embankment", str(tmp_path / "cases"))
    assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "cases" / "embankment.toml").read_text() == GOOD
    again = pelorin("example", "embankment", str(tmp_path / "cases"))
    assert again.returncode == 1 and "not overwritten" in again.stderr
    missing = pelorin("example", "dam")
    assert missing.returncode == 2 and "there are: drains, embankment, embankment_section, " in missing.stderr


def test_the_wheel_ships_the_examples_and_no_sources():
    import pelorin as package
    folder = os.path.dirname(package.__file__)
    if os.environ.get("PELORIN_BUILD_DIR"):
        pytest.skip("not testing an installed package")
    assert sorted(os.listdir(os.path.join(folder, "examples"))) == [
        "drains.toml", "embankment.toml", "embankment_section.toml", "pumping.toml", "tank.toml"]
    assert not [n for n in os.listdir(folder) if n.endswith((".cpp", ".hpp"))]


SLOW = GOOD.split("[[layers]]")[0].split("[soils.")[0] + """
[soils.clay]
Cc = 0.5
Cr = 0.05
esigvref = 1.5
kref = 1e-9
Ck = 0.75
Ca = 0.02

[[layers]]
soil = "clay"
thickness = 10.0
ocr = 1.2
elements = 3000

[[stages]]
time = 0.0
load = 100.0

[run]
end = 100000.0
rtol = 2e-7
"""


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_run_writes_what_it_reached_marked_partial(tmp_path, sig, status):
    import xarray as xr
    case = tmp_path / "slow.toml"
    case.write_text(SLOW)
    out = tmp_path / "out"
    p = subprocess.Popen([sys.executable, "-c", MAIN, TESTS, "run", str(case), "--out",
                          str(out), "--progress"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    assert p.stderr.read(1)     # the progress bar: the run has gone on for a second
    p.send_signal(sig)
    _, err = p.communicate(timeout=120)
    assert p.returncode == status and "Traceback" not in err, err
    assert re.fullmatch(r"pelorin: \S+: interrupted; results up to t = \S+ days in \S+ "
                        r"\(marked partial\)", err.split("\r")[-1].strip()), err
    with xr.open_dataset(out / "results.nc") as ds:
        assert "interrupted" in ds.attrs["partial"] and ds.sizes["time"] > 1
    assert (out / "summary.txt").read_text().startswith("PARTIAL RESULT: ")
    assert "PARTIAL" in (out / "settlement.csv").read_text().splitlines()[0]
    assert sorted(os.listdir(out)) == ["results.nc", "settlement.csv", "summary.txt"]


def test_a_failed_write_leaves_the_old_files_and_says_so(tmp_path):
    import resource
    old = {name: f"old {name}" for name in FILES}
    for name, text in old.items():
        (tmp_path / name).write_text(text)

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
    proc = subprocess.run([sys.executable, "-c", MAIN, TESTS, "run", EXAMPLE, "--out",
                           str(tmp_path)], capture_output=True, text=True, timeout=300,
                          preexec_fn=small_files)
    assert proc.returncode == 1 and proc.stderr.count("\n") == 1, proc.stderr
    assert "cannot write the results into" in proc.stderr and "ulimit -f" in proc.stderr
    assert {n: (tmp_path / n).read_text() for n in os.listdir(tmp_path)} == old
    (tmp_path / "a file").write_text("")
    proc = pelorin("run", EXAMPLE, "--out", str(tmp_path / "a file"))
    assert proc.returncode == 1 and proc.stderr == f"pelorin: cannot write into " \
        f"{tmp_path / 'a file'}: file exists\n"


def test_a_damaged_or_foreign_file_is_refused_in_one_line(example, tmp_path, monkeypatch):
    import numpy as np
    out, _ = example
    good = (out / "results.nc").read_bytes()
    original = pelorin_package.open_result(out / "results.nc").dataset
    rng = np.random.default_rng(7)
    for k in range(30):     # every flipped byte is refused or changes nothing
        damaged = bytearray(good)
        damaged[int(rng.integers(len(good) // 20, len(good)))] ^= 0x5A
        (tmp_path / "d.nc").write_bytes(bytes(damaged))
        try:
            back = pelorin_package.open_result(tmp_path / "d.nc").dataset
        except ValueError as err:
            assert str(err).startswith(str(tmp_path / "d.nc"))
            continue
        for name, var in original.data_vars.items():
            np.testing.assert_array_equal(back[name].values, var.values)
    (tmp_path / "notes.txt").write_text("not a result\n")
    if os.environ.get("PELORIN_BUILD_DIR"):     # the child runs elsewhere
        monkeypatch.setenv("PELORIN_BUILD_DIR", os.path.abspath(os.environ["PELORIN_BUILD_DIR"]))
    proc = pelorin("plot", "notes.txt", cwd=tmp_path)
    assert proc.returncode == 2 and proc.stderr == \
        "pelorin: notes.txt: not a NetCDF file, or a damaged one\n"



@pytest.mark.parametrize("spacing, status, words", [
    ("1.0:2.5:0.5", 0, "widest spacing meeting the target: 2 m"),   # 1 to 2.5 m
    ("2.5,1.0", 0, "widest spacing meeting the target: 1 m"),
    ("2.0:1.0:0.5", 2, "START:STOP:STEP"),
    ("0.1", 2, "spacings"),             # the smear zone beyond the cell
])
def test_drains_writes_the_design_of_each_spacing(tmp_path, spacing, status, words):
    from pelorin._files import read_netcdf
    case = os.path.join(ROOT, "examples", "drains.toml")
    proc = pelorin("drains", case, "--spacing", spacing, "--within", "400", "--scheduler",
                   "synchronous", "--out", str(tmp_path / "o"))
    assert proc.returncode == status, proc.stderr
    assert words in (proc.stdout if status == 0 else proc.stderr)
    if status == 0:
        assert sorted(os.listdir(tmp_path / "o")) == ["drains.csv", "drains.nc", "drains.png",
                                                      "summary.txt"]
        back = read_netcdf(tmp_path / "o" / "drains.nc")
        assert back.sizes["spacing"] == (4 if ":" in spacing else 2)
