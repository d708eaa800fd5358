"""Realistic layered columns complete: a seeded sample of the distribution of
bench/robustness_map.py (sand, silt and clay layers, graded meshes, load
changes; drains in every third), the soft clay with sand layers through `simulate`, and a run that
cannot go on names the element, its depth and its layer."""
import importlib.util
import os

import numpy as np
import pytest

import pelorin
from pelorin.model import Layer, Loading, Profile, Soil, Stage

_spec = importlib.util.spec_from_file_location(
    "robustness_map", os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                   os.pardir, "bench", "robustness_map.py"))
MAP = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(MAP)


@pytest.mark.parametrize("index, drains", [(i, False) for i in range(36)]
                         + [(i, True) for i in range(0, 36, 3)])
def test_sampled_column_completes(index, drains):
    kw, desc = MAP.column(7, index, n_max=400, drains=drains)
    assert ("drains" in kw) == drains
    ds = pelorin.run_elements(**kw)
    s = ds.settlement.values
    assert np.all(np.isfinite(s)) and np.all(ds.e_element.values > 0), desc


# Columns of the map that once stopped: creep under a sealed top without
# surcharge drives the effective stress of the top elements to the floor
# (1415, 640; 535 halved at rtol/10, where a whole block sits at the floor);
# draws whose soil reaches e <= 0, drawn again (947, 1116).
@pytest.mark.parametrize("seed, index, fine", [(1, 1415, False), (2, 640, False),
                                               (2, 947, False), (2, 1116, False),
                                               (2, 535, True)])
def test_mapped_column_that_stopped_completes(seed, index, fine):
    kw, desc = MAP.column(seed, index)
    if fine:
        kw = dict(MAP.halved(kw), rtol=MAP.RTOL / 10.0)
    ds = pelorin.run_elements(**kw)
    assert ds.sizes["time"] == kw["time"].size + 1, desc
    assert np.all(np.isfinite(ds.settlement.values)) and np.all(ds.e_element.values > 0), desc


CLAY = Soil(Cc=0.9, Cr=0.09, esigvref=2.0, kref=1e-9, Ck=0.9, Ca=0.02, name="soft clay")


def sand(k):
    return Soil(Cc=0.02, Cr=0.004, esigvref=0.7, kref=k, Ck=0.5, name="sand")


def sand_profile(k, thick=1.0, above=False):
    layers = [Layer(CLAY, 15.0, ocr=1.0), Layer(sand(k), thick, ocr=1.0)]
    if above:
        layers.insert(0, Layer(sand(k), thick, ocr=1.0))
    return Profile(layers, surcharge=10.0, drainage="both")


@pytest.mark.parametrize("k, thick, above", [(1e-4, 1.0, False), (1e-3, 1.0, True),
                                             (1e-5, 0.2, False)])
def test_soft_clay_with_sand_layers_under_fill(k, thick, above):
    r = pelorin.simulate(sand_profile(k, thick, above), Loading([Stage(0.0, fill=3.0)]))
    s = r.dataset.settlement.values
    assert s[-1] > 1.0 and np.all(np.diff(s) > -1e-9)


def test_a_run_that_cannot_go_on_names_element_depth_and_layer():
    with pytest.raises(pelorin.ConvergenceError) as info:
        pelorin.simulate(sand_profile(1e-4), Loading([Stage(0.0, fill=3.0)]), max_newton=1,
                         max_substeps=40)
    err = info.value
    top, bottom = err.partial.depth.values[[err.element, err.element + 1]]
    assert err.quantity in ("pore pressure", "settlement", "Newton correction")
    words = (f"the {err.quantity} of element {err.element}", f"{top:.4g} to {bottom:.4g} m",
             "layer ")
    assert all(w in str(err) for w in words), str(err)


@pytest.mark.parametrize("drainage, load, element", [(0, 600.0, 0), (1, 460.0, 0), (2, 2000.0, 9)])
def test_a_load_the_compression_line_cannot_carry_stops_before_it(drainage, load, element):
    # e = 1 - 1.5 log10(s'/100) reaches 0 at 464 kPa; a drained end carries the
    # whole load at once.
    el = {k: np.full(10, v) for k, v in dict(
        Cc=1.5, Cr=0.15, esigvref=1.0, ekref=1.0, sigvref=100.0, kref=1e-4, Ck=0.5, Ca=0.02,
        tref=1.0, Gs=2.7, ocrvoidratiotype=0, ocrvoidratio=1.0).items()}
    t = np.logspace(-3, 4, 50)
    with pytest.raises(pelorin.ConvergenceError, match="void ratio at the") as info:
        pelorin.run_elements(depth=np.linspace(0.0, 2.0, 11), qo=10.0, time=t, dsigv=1.0,
                             loadfactor=np.full(t.size, load), drainagetype=drainage, **el)
    err, part = info.value, info.value.partial
    assert err.quantity == "void ratio" and err.element == element
    assert np.all(part.e.values > 0) and np.all(part.e_element.values > 0)
