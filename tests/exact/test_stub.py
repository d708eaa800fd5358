"""The typing stub package src/Pelorin-stubs: it names the module's eleven functions in
namespace order with the parameter names that the module binds, a type
checker accepts correct use of the module, and it flags wrong calls."""
import ast
import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import Pelorin

STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "src",
                    "Pelorin-stubs", "__init__.pyi")
FUNCTIONS = ["get_inputs", "Logspace", "get_ktest", "get_avtest", "get_etest", "get_residual",
             "get_utest2", "get_utest", "Max", "get_initial", "compute"]
RUN = dict(Cc=0.5, Cr=0.05, sigvref=100.0, esigvref=1.5, Gs=2.7, kref=1e-4, ekref=1.5, Ck=0.5,
           Ca=0.0, tref=1.0, qo=10.0, dsigv=100.0, ocrvoidratiotype=0, ocrvoidratio=1.0, N=4,
           H=1.0, Ntime=5, tmax=1.0, drainagetype=0)


def stub_functions():
    with open(STUB) as f:
        tree = ast.parse(f.read(), filename=STUB)
    return [node for node in tree.body if isinstance(node, ast.FunctionDef)]


def test_stub_names_the_eleven_functions_in_namespace_order():
    assert [f.name for f in stub_functions()] == FUNCTIONS
    assert [name for name in vars(Pelorin) if name in FUNCTIONS] == FUNCTIONS


def _value(annotation, n):
    text = ast.unparse(annotation)
    if text == "int":
        return n - 1            # N (and Ntime); drainagetype is set to 0 below
    if text == "float":
        return 1.0
    return np.ones(n)


@pytest.mark.parametrize("func", [f for f in stub_functions() if f.args.args],
                         ids=lambda f: f.name)
def test_stub_parameter_names_bind_as_keywords(func):
    # Every parameter named in the stub is accepted by that name: a call with
    # all of them as keywords may fail in the numerics, never in the binding.
    n = 5
    if func.name == "get_initial":
        kwargs = dict(zip([a.arg for a in func.args.args], Pelorin.get_inputs(**RUN)))
    else:
        kwargs = {a.arg: _value(a.annotation, n) for a in func.args.args}
        if "drainagetype" in kwargs:
            kwargs["drainagetype"] = 0
    try:
        getattr(Pelorin, func.name)(**kwargs)
    except (ZeroDivisionError, IndexError, ValueError):
        pass


def test_max_takes_its_argument_by_position_only():
    (v,) = next(f for f in stub_functions() if f.name == "Max").args.posonlyargs
    assert v.arg == "v"
    with pytest.raises(TypeError):
        Pelorin.Max(v=np.ones(2))


GOOD = """
    import numpy as np
    from numpy.typing import NDArray
    import Pelorin

    params = Pelorin.get_inputs(Cc=0.5, Cr=0.05, N=4, H=1.0)
    if params is not None:
        depth = params[0]
    t: NDArray[np.float64] = Pelorin.Logspace(0.0, 1000.0, 6, 0.01)
    k: float = Pelorin.get_ktest(1.0, 0.8, 1e-9, 0.5)
    av: float = Pelorin.get_avtest(1.0, 100.0, 200.0, 1.0, 100.0, 0.5, 0.05)
    e = Pelorin.get_etest(etest=1.0, elast=1.0, eref=1.0, alpha=0.01, tref=1.0, sigvtest=200.0,
                          sigvlast=100.0, sigvref=100.0, Cc=0.5, avtest=1e-3, utest=0.0,
                          ulast=50.0, dt=1.0)
    if isinstance(e, float):
        e_ok: float = e
    a = np.zeros(5)
    res: NDArray[np.float64] = Pelorin.get_residual(
        a, a, a, a, a, a, a, a, a, a, a, 9.81, a, a, a, a, 1.0, a, 0, 4)
    u2 = Pelorin.get_utest2(4, a, a, a, a, a, a, a, a, a, a, a, res, 1.0, a, a, a, 9.81, a, a, a,
                            a, a, a, a, 0, 101.325)
    u = Pelorin.get_utest(a, a, a, a, a, a, a, a, a, a, a, a, a, a, 1.0, a, 1, 4, 9.81)
    u = Pelorin.get_utest(None, None, None, None, None, None, None, None, None, None, None,
                          None, None, None, 1.0, None, drainagetype=1, N=0, gammaw=9.81)
    m: np.float64 = Pelorin.Max(u)
    worst = float(Pelorin.Max(u2))
    if params is not None:
        init = Pelorin.get_initial(*params)
        if init is not None:
            eo: NDArray[np.float64] = init["eo"]
    result = Pelorin.compute(Cc=0.5, N=4, H=1.0, time=t, loadfactor=np.ones(6))
    z: NDArray[np.float64] = result["z"]
    settlement = float(z[0, -1])
"""

# Each line is a wrong use of the module that a type checker must flag.
BAD = [
    "Pelorin.get_ktest(1.0, 0.8, 1e-9)",                        # a parameter missing
    "Pelorin.get_ktest(1.0, 0.8, 1e-9, Ck='0.5')",              # a string for a double
    "Pelorin.get_ktest(1.0, 0.8, 1e-9, 0.5, 2.0)",              # one argument too many
    "Pelorin.get_ktest(etest=1.0, ekref=0.8, kref=1e-9, ck=0.5)",  # a misspelt name
    "Pelorin.Logspace(0.0, 1000.0, 6.0, 0.01)",                 # a float for Ntime
    "Pelorin.Max(v=np.zeros(3))",                               # positional only
    "Pelorin.Max([1.0, 2.0])",                                  # a list is not a node array
    "Pelorin.get_inputs(Cc=0.5)[0]",                            # may be None
    "Pelorin.get_initial(*range(22))['eo']",                    # may be None
    "x: str = Pelorin.compute(Cc=0.5)['z']",                    # histories are arrays
    "Pelorin.get_utest(*[np.zeros(3)] * 14, 1.0, None, 0.5, 2, 9.81)",  # a float for an int
    "Pelorin.get_stress(1.0)",                                  # no such function
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    root = tmp_path_factory.mktemp("stub")
    stubs = root / "stubs" / "Pelorin-stubs"
    stubs.mkdir(parents=True)
    shutil.copy(STUB, stubs / "__init__.pyi")
    (root / "good.py").write_text(textwrap.dedent(GOOD))
    (root / "bad.py").write_text("import numpy as np\nimport Pelorin\n" + "\n".join(BAD) + "\n")
    env = dict(os.environ, MYPYPATH=str(stubs.parent))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(root / "cache"), "--python-version", "3.11",
         "good.py", "bad.py"],
        cwd=root, env=env, capture_output=True, text=True, timeout=600)
    lines = proc.stdout.splitlines()
    # A crash or a stub that does not parse is no report at all.
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    assert not any("__init__.pyi" in line and ": error" in line for line in lines), proc.stdout
    return lines


def test_correct_use_type_checks(mypy_report):
    assert [line for line in mypy_report if line.startswith("good.py")] == []


@pytest.mark.parametrize("n", range(len(BAD)), ids=[b.split("#")[0].strip() for b in BAD])
def test_wrong_use_is_flagged(mypy_report, n):
    line = n + 3
    assert any(entry.startswith(f"bad.py:{line}: error") for entry in mypy_report), \
        f"not flagged: {BAD[n]}\n" + "\n".join(mypy_report)


def test_installed_stub_package_is_found_by_mypy(tmp_path):
    # After pip install the stub package sits in site-packages, where mypy
    # finds it with no search path set; the pelorin package is typed too.
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    import sysconfig
    installed = os.path.join(sysconfig.get_paths()["purelib"], "Pelorin-stubs", "__init__.pyi")
    if os.environ.get("PELORIN_BUILD_DIR") or not os.path.exists(installed):
        pytest.skip("not testing an installed package")
    (tmp_path / "use.py").write_text(
        "import Pelorin\nimport pelorin\n"
        "k: str = Pelorin.get_ktest(1.0, 0.8, 1e-9, 0.5)\n"
        "s: str = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.75).Cc\n")
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--cache-dir",
                           str(tmp_path / "cache"), "use.py"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=600)
    errors = [line for line in proc.stdout.splitlines() if ": error" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4"], proc.stdout
    assert all("has type \"float\"" in line for line in errors), proc.stdout
