"""Vertical drains: their checks, Hansbo's factor, the design spacing, and runs with
drains (installation, partial penetration, a vacuum, case files, the engine's keyword).
The closed forms against the engine are rows of validation/validate.py."""
import dataclasses
import math

import numpy as np
import pytest

import pelorin
from pelorin import _engine
from pelorin.drains import Drains, hansbo_mu

CLAY = pelorin.Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, ekref=2.3, Ck=1.1, kh_ratio=2.0,
                    name="clay")
BAND = dict(spacing=1.2, pattern="triangular", width=0.1, thickness=0.004)


@pytest.mark.parametrize("changes, parameter", [
    (dict(spacing=-1.0), "spacing"),
    (dict(pattern="hexagonal"), "pattern"),
    (dict(width=None), "diameter"),                   # thickness without width
    (dict(diameter=0.05), "diameter"),                # both ways at once
    (dict(width=1.5, thickness=0.5), "diameter"),     # wider than the cell
    (dict(smear_ratio=0.5), "smear_ratio"),
    (dict(smear_ratio=30.0), "smear_ratio"),          # beyond the cell
    (dict(smear_permeability_ratio=0.0), "smear_permeability_ratio"),
    (dict(discharge_capacity="100 m/year"), "discharge_capacity"),   # not a discharge
    (dict(open_ends="bottom"), "open_ends"),
    (dict(installed=-1.0), "installed"),
    (dict(vacuum=150.0), "vacuum"),                   # beyond the atmosphere
    (dict(vacuum=[(10.0, 50.0), (5.0, 50.0)]), "vacuum"),
    (dict(vacuum=[(10.0,)]), "vacuum"),
])
def test_drains_refuse_what_cannot_be_built_naming_the_parameter(changes, parameter):
    with pytest.raises(pelorin.ParameterError) as info:
        Drains(**dict(BAND, **changes))
    assert info.value.parameter == parameter and info.value.owner == "Drains"


@pytest.mark.parametrize("n, s, kappa", [(5.0, 1.0, 1.0), (20.0, 2.0, 3.0), (40.0, 3.0, 5.0)])
def test_hansbo_mu_limits(n, s, kappa):
    # Without smear it is Barron's (1948) equal-strain factor; with n >> s it tends to
    # ln(n/s) + kappa ln s - 3/4, the full form's difference falling as ln(n)/n^2.
    barron = n * n / (n * n - 1) * math.log(n) - (3 * n * n - 1) / (4 * n * n)
    assert hansbo_mu(n, 1.0, kappa) == pytest.approx(barron, rel=1e-13)
    far = [hansbo_mu(m * n, s, kappa) - (math.log(m * n / s) + kappa * math.log(s) - 0.75)
           for m in (10.0, 100.0)]
    assert abs(far[1]) < abs(far[0]) / 20


@pytest.mark.parametrize("target, days, cv", [(0.9, 180.0, None), (0.8, 90.0, 0.01)])
def test_design_spacing_reaches_the_target_and_no_wider(target, days, cv):
    drains = Drains(**BAND, smear_ratio=2.0, smear_permeability_ratio=2.0,
                    discharge_capacity=100.0)
    kw = dict(cv=cv, drainage_path=None if cv is None else 7.5, kh=2e-9, thickness=15.0)
    s = pelorin.design_spacing(drains, target, days, 0.02, **kw)
    at = lambda x: Drains(**dict(BAND, spacing=x), smear_ratio=2.0,  # noqa: E731
                          smear_permeability_ratio=2.0, discharge_capacity=100.0).degree(days, 0.02, **kw)
    assert at(s) == pytest.approx(target, abs=1e-5) and at(1.01 * s) < target


def run(drains, times=None, **profile):
    p = pelorin.Profile([pelorin.Layer(CLAY, 10.0, ocr=1.2)], surcharge=10.0, drains=drains,
                        **profile)
    return pelorin.simulate(p, pelorin.Loading([pelorin.Stage(0.0, fill=3.0)], end=3000.0),
                            times)


TIMES = np.geomspace(1.0, 3000.0, 25)


def test_drains_act_from_installation_and_above_their_base_only():
    none = run(None, TIMES).dataset
    late = run(Drains(**BAND, installed=float(TIMES[10])), TIMES).dataset
    half = run(Drains(**BAND, depth=5.0), TIMES).dataset
    full = run(Drains(**BAND), TIMES).dataset
    # Before the installation the run is the run without drains, digit for digit; at it
    # (where the run without drains interpolates between its steps) within rtol.
    np.testing.assert_array_equal(late.settlement[:11], none.settlement[:11])
    np.testing.assert_allclose(late.settlement[11], none.settlement[11], rtol=3e-4)
    assert late.settlement[13] > none.settlement[13]
    # Radial flow above the base of a partially penetrating drain only.
    below = half.depth.values[1:] > 5.0 + 1e-9
    assert np.all(half.radial_outflow.values[below] == 0.0)
    assert np.all(half.radial_outflow.values[~below, 1:5] > 0.0)
    s = [d.settlement.values[1:] for d in (none, half, full)]
    assert np.all(s[0] <= s[1]) and np.all(s[1] <= s[2]) and s[2][5] > 2 * s[0][5]
    on = run(Drains(**BAND, smear_ratio=2.0, discharge_capacity=100.0))
    line = f"mu = {on.dataset.drains_mu:.3f}, qw = 100 m3/year (top open), mu_w = "
    for text in (on.summary(), on._repr_html_(), half.attrs["drains"]):
        assert "drains: triangular pattern at 1.2 m (De = 1.260 m), band 100 x 4 mm" in text
    assert line in on.summary() and line in on._repr_html_()
    assert on.dataset.drains_mu == pytest.approx(hansbo_mu(0.6 * math.sqrt(2 * math.sqrt(3) / math.pi)
                                                           / (0.104 / math.pi), 2.0), rel=1e-12)
    assert "10 m long" in on.summary() and "5 m long (partially penetrating)" in half.drains


def test_vacuum_consolidates_and_releases():
    vac = [(0.0, 0.0), (5.0, 60.0), (300.0, 60.0), (300.0, 0.0)]
    plain = run(Drains(**BAND), TIMES).dataset
    with_vacuum = run(Drains(**BAND, vacuum=vac), TIMES).dataset
    t = with_vacuum.time.values
    held = (t > 5.0) & (t <= 300.0)
    assert np.all(with_vacuum.u_drain.values[held] == -60.0)
    assert with_vacuum.u_drain.values[-1] == 0.0
    gain = (with_vacuum.settlement - plain.settlement).values
    assert gain[np.searchsorted(t, 300.0)] > 0.05     # tens of mm more under the vacuum


def test_case_file_drains_table(tmp_path):
    text = """
[profile]
surcharge = 10.0
[soils.clay]
Cc = 0.9
Cr = 0.09
esigvref = 1.9
kref = 1e-9
ekref = 2.3
Ck = 1.1
kh_ratio = 2.0
[[layers]]
soil = "clay"
thickness = 10.0
ocr = 1.2
[[stages]]
time = 0.0
fill = 3.0
[drains]
spacing = 1.2
pattern = "triangular"
width = 0.1
thickness = 0.004
discharge_capacity = 100.0
"""
    path = tmp_path / "case.toml"
    path.write_text(text)
    case = pelorin.read_case(path)
    assert case.profile.drains == Drains(**BAND, discharge_capacity=100.0)   # m3/year
    per_day = Drains(**BAND, discharge_capacity="3 m^3/day").discharge_capacity
    assert per_day == pytest.approx(3.0 * 365.25, rel=1e-12)
    assert case.profile.layers[0].soil.kh_ratio == 2.0
    path.write_text(text.replace("spacing = 1.2", "spacing = 1.2\nsmear = 2"))
    with pytest.raises(pelorin.CaseError, match=r"\[drains\]: unknown key 'smear'"):
        pelorin.read_case(path)
    path.write_text(text.replace("discharge_capacity = 100.0", "depth = 12.0"))
    with pytest.raises(pelorin.CaseError, match=r"\[profile\]: drains reach 12 m"):
        pelorin.read_case(path)


@pytest.mark.parametrize("drains, words", [
    ({"eta": np.ones(3), "kh_ratio": np.ones(4)}, "one-dimensional with 4"),
    ({"eta": np.ones(4)}, "needs 'kh_ratio'"),
    ({"eta": -np.ones(4), "kh_ratio": np.ones(4)}, "eta must be finite and >= 0"),
    ({"eta": np.ones(4), "kh_ratio": np.zeros(4)}, "kh_ratio must be finite and > 0"),
    ({"eta": np.ones(4), "kh_ratio": np.ones(4), "vacuum": {"time": [2.0, 1.0],
                                                           "value": [0.0, 1.0]}},
     "non-decreasing"),
    ({"eta": np.ones(4), "kh_ratio": np.ones(4), "spacing": 1.0}, "unknown key 'spacing'"),
])
def test_engine_refuses_drains_naming_the_keyword(drains, words):
    col = pelorin.Profile([pelorin.Layer(CLAY, 4.0, ocr=1.2, elements=4)], surcharge=10.0)
    from pelorin._column import column
    kw = column(col).engine_keywords()
    depth = kw.pop("depth")
    kw.update(dsigv=np.full(4, 50.0), ru=np.zeros(4))
    with pytest.raises(_engine.InputError, match=words) as info:
        _engine.solve(depth, kw, 10.0, np.array([1.0]), np.array([1.0]), drains=drains)
    assert info.value.parameter == "drains"



@pytest.mark.parametrize("drainage, end", [(1, "top"), (2, "bottom")])
def test_drains_discharge_at_the_drained_end_and_follow_its_pore_pressure(drainage, end):
    # The water held 10 kPa lower at the drained end from day 1 on: in the long run the
    # whole column follows it, through the drains as well as through the soil.
    from pelorin._column import column
    from pelorin.drains import drain_keywords
    profile = pelorin.Profile([pelorin.Layer(CLAY, 10.0, ocr=1.2)], surcharge=10.0,
                              drainage=end, drains=Drains(**BAND))
    col = column(profile)
    kw = col.engine_keywords()
    depth = kw.pop("depth")
    kw.update(dsigv=np.zeros(col.N), ru=np.zeros(col.N))
    times = np.array([1.0, 30.0, 3000.0])
    res = _engine.solve(depth, kw, 10.0, times, np.zeros(3), drainagetype=drainage,
                        boundary={end: {"time": [0.0, 1.0], "value": [0.0, -10.0]}},
                        drains=drain_keywords(profile.drains, col))
    u = res["u_element"]
    assert np.all(np.abs(u[:, -1] + 10.0) < 0.05)
    assert np.mean(u[:, 2]) < -5.0     # within a month, through the drains (vertically: decades)


ONE_LIFT = pelorin.Loading([pelorin.Stage(0.0, fill=3.0)], end=3000.0)
DESIGN = pelorin.Profile([pelorin.Layer(CLAY, 10.0, ocr=1.2)], surcharge=10.0,
                         drainage="top", drains=Drains(**BAND, smear_ratio=2.0))


@pytest.mark.parametrize("how", [dict(scheduler="synchronous"), dict(workers=1),
                                 dict(workers=2, processes=False)])
def test_design_drains_is_each_spacing_run_whatever_the_workers(how):
    spacings = [0.9, 1.3, 1.8, 2.5]
    design = pelorin.design_drains(DESIGN, ONE_LIFT, spacings, target=0.9, within=200.0,
                                   progress=False, **how)
    ds = design.dataset
    for i, s in enumerate(spacings):   # each row is the analysis of the profile at s
        profile = DESIGN.__class__(DESIGN.layers, surcharge=10.0, drainage="top",
                                   drains=Drains(**dict(BAND, spacing=s), smear_ratio=2.0))
        alone = pelorin.simulate(profile, ONE_LIFT, ds.time.values[1:]).dataset
        np.testing.assert_array_equal(ds.settlement.values[i], alone.settlement.values)
        assert ds.time_to_target.values[i] == pytest.approx(float(alone.t90[0]), rel=1e-12)
        assert ds.settlement_within.values[i] == pytest.approx(
            np.interp(200.0, alone.time.values, alone.settlement.values), rel=1e-12)
    meets = ds.time_to_target.values <= 200.0
    assert meets.any() and not meets.all()
    assert design.widest_spacing == max(np.array(spacings)[meets])
    assert list(ds.meets_target.values) == list(meets)
    assert np.all(np.diff(ds.time_to_target.values) > 0)   # wider drains, slower


@pytest.mark.parametrize("changes, parameter", [
    (dict(profile=dataclasses.replace(DESIGN, drains=None)), "profile"),
    (dict(target=1.0), "target"),
    (dict(within=None), "within"),
    (dict(within=5000.0), "within"),                   # after the analysis's end
    (dict(spacings=[1.0, -1.0]), "spacings"),
    (dict(spacings=[1.0, 1.0]), "spacings"),
    (dict(spacings=[0.1]), "spacings"),               # the smear zone beyond the cell
])
def test_design_drains_refuses_naming_the_parameter(changes, parameter):
    kw = dict(profile=DESIGN, loading=ONE_LIFT, spacings=[1.0, 2.0], within=200.0,
              scheduler="synchronous", progress=False)
    kw.update(changes)
    with pytest.raises(pelorin.ParameterError) as info:
        pelorin.design_drains(**kw)
    assert info.value.parameter == parameter
