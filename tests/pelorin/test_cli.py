"""The pelorin command, run as a subprocess: the example case, broken case
files, and redrawing a saved result."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir)
EXAMPLE = os.path.join(ROOT, "examples", "embankment.toml")
FILES = ["results.nc", "settlement.csv", "summary.txt", "settlement.png", "isochrones.png",
         "compression.png"]


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
    summary = (out / "summary.txt").read_text()
    assert proc.stdout.startswith(summary)          # printed as written
    assert summary.count("\n") > 12 and "sand lens" in summary
    assert "net of" in summary                      # creep: the companion run
    assert f"figures: {out / 'settlement.png'}, " in proc.stdout
    assert proc.stderr == ""                         # no bar when stderr is not a terminal
    # The README shows what `make demo` prints.
    from test_package import readme_blocks
    assert readme_blocks()[0].startswith(summary + "\nresults: demo-results/results.nc, ")


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
    case.write_text(GOOD.replace("[run]", "[run]\nmax_substeps = 80"))
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
