"""Acceptance of the engine against closed-form solutions: every case of
validation/validate.py, with its tolerance, through pelorin.run.  The same
cases through Pelorin.compute check the references themselves: they pass
where the exact module is right (uniform mesh, double drainage, small strain)
and measure its known faults (a sealed end with a whole control volume,
elements shortened by their upper node's strain) at their known size."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, "validation"))
import validate as V  # noqa: E402


def within(errors, case):
    return {q: errors[q] for q, tol in case.tolerances.items() if not errors[q] <= tol}


@pytest.fixture(scope="module")
def engine():
    return V.engine_solver()


@pytest.mark.parametrize("case", V.CASES, ids=[c.name for c in V.CASES])
def test_engine_meets_its_acceptance_tolerance(engine, case):
    assert within(case.measure(engine), case) == {}


@pytest.mark.parametrize("fragment, quantity, low, high", [
    ("Terzaghi, drainage 0, N = 40", None, 0, 0),
    ("Davis & Raymond, load ratio 10", None, 0, 0),
    ("creep", None, 0, 0),
    ("final settlement", "final settlement, relative", 1.0e-2, 1.1e-2),
    ("drainage 1 of H", "pore pressure / load", 2.0e-2, 2.6e-2),
])
def test_references_against_the_exact_module(fragment, quantity, low, high):
    case = V.named(fragment)
    errors = case.measure(V.exact_solver)
    if quantity is None:
        assert within(errors, case) == {}
    else:
        assert low <= errors[quantity] <= high
