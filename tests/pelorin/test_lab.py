"""Soil input in lab terms and stress histories that vary with depth."""
import math
import warnings

import numpy as np
import pytest
from scipy.integrate import solve_ivp

import pelorin
from pelorin import Layer, Loading, ParameterError, Profile, Soil, Stage
from pelorin._column import GAMMA_W, column

CLAY = Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, Ck=1.1, name="clay")


@pytest.mark.parametrize("lab, mv", [
    (dict(e0=2.1, sigv0=40.0, CR=0.3, RR=0.03, ocr=1.3, Cae=0.01, cv=0.05, mv=2e-3,
          gamma=15.5), 2e-3),
    (dict(e0=1.37, sigv0=85.0, Cc=0.61, Cr=0.07, pc=85.0, Ca=0.02, k=3.3e-10, Gs=2.65,
          Ck=0.8), None),
])
def test_lab_values_round_trip(lab, mv):
    soil = Soil.from_lab(**lab)
    pc = lab.get("pc", lab.get("ocr", 1.0) * lab["sigv0"])
    back = soil.lab_values(lab["sigv0"], pc=pc, mv=mv)
    for key, value in lab.items():
        if key != "ocr":
            assert back[key] == pytest.approx(value, rel=1e-12, abs=0), key
    assert soil.unit_weight(lab["e0"]) == pytest.approx(back["gamma"], rel=1e-15)


@pytest.mark.parametrize("lab, parameter", [
    (dict(e0=2.0, sigv0=40.0, CR=0.3, Cc=0.9, RR=0.03, k=1e-9), "Cc/CR"),
    (dict(e0=2.0, sigv0=40.0, CR=0.3, k=1e-9), "Cr/RR"),
    (dict(e0=2.0, sigv0=40.0, CR=0.3, RR=0.03), "k/cv"),
    (dict(e0=2.0, sigv0=40.0, CR=0.3, RR=0.03, k=1e-9, pc=20.0), "pc"),
    (dict(e0=2.0, sigv0=40.0, CR=0.3, RR=0.03, k=1e-9, gamma=9.0), "gamma"),
])
def test_lab_values_refused(lab, parameter):
    with pytest.raises(ParameterError) as err:
        Soil.from_lab(**lab)
    assert err.value.parameter == parameter


@pytest.mark.parametrize("make, name", [
    (lambda: Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=0.3, Ck=1.1), "kref"),
    (lambda: Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-14, Ck=1.1), "kref"),
    (lambda: Soil.from_lab(e0=2.0, sigv0=40.0, CR=0.002, RR=0.001, k=1e-9), "CR"),
])
def test_unit_slips_warn(make, name):
    with pytest.warns(UserWarning, match=f"{name} = .* check its unit"):
        make()


def _integral(profile, load, pc_of):
    """Settlement of the Cc law integrated over depth, the effective stress from
    the submerged weight (dsigma'/dz = (Gs - 1)*gammaw/(1 + e)), one soil."""
    s = profile.layers[0].soil

    def e_at(sig, pc):
        return s.esigvref - s.Cc * np.log10(pc / s.sigvref) + s.Cr * np.log10(pc / sig)

    def rhs(z, y):
        sig = y[0]
        pc = pc_of(z, sig)
        e0 = e_at(sig, pc)
        e1 = e_at(sig + load, max(pc, sig + load))
        return [(s.Gs - 1) * GAMMA_W / (1 + e0), (e0 - e1) / (1 + e0)]

    sol = solve_ivp(rhs, (0.0, profile.thickness), [profile.surcharge, 0.0], rtol=1e-10,
                    atol=1e-12)
    return sol.y[1, -1]


@pytest.mark.parametrize("history, pc_of", [
    (dict(pop=30.0), lambda z, sig: sig + 30.0),
    (dict(pc_top=60.0, pc_bottom=150.0), lambda z, sig: 60.0 + 90.0 * z / 8.0),
])
def test_stress_history_with_depth(history, pc_of):
    profile = Profile([Layer(CLAY, 8.0, elements=40, **history)], surcharge=10.0)
    col = column(profile)
    centre = 0.5 * (col.depth[:-1] + col.depth[1:])
    pc = np.array([pc_of(z, s) for z, s in zip(centre, col.sigv0)])
    np.testing.assert_allclose(col.pc0, pc, rtol=1e-13)
    e0 = (CLAY.esigvref - CLAY.Cc * np.log10(pc / CLAY.sigvref)
          + CLAY.Cr * np.log10(pc / col.sigv0))
    np.testing.assert_allclose(col.e0, e0, rtol=1e-13)
    weight = (CLAY.Gs - 1) * GAMMA_W * col.thickness / (1 + col.e0)
    np.testing.assert_allclose(col.sigv0, 10.0 + np.cumsum(weight) - weight / 2, rtol=1e-13)
    result = pelorin.simulate(profile, Loading([Stage(0.0, load=80.0)], end=1e5))
    final = float(result.dataset.settlement[-1])
    assert final == pytest.approx(_integral(profile, 80.0, pc_of), rel=2e-3)


@pytest.mark.parametrize("kw, parameter", [
    (dict(pc_top=60.0), "pc_bottom"),
    (dict(pop=10.0, ocr=1.2), "ocr/pc/e0"),
    (dict(pop=-1.0), "pop"),
])
def test_stress_history_refused(kw, parameter):
    with pytest.raises(ParameterError) as err:
        Layer(CLAY, 4.0, **kw)
    assert err.value.parameter == parameter


def test_linear_pc_below_the_present_stress():
    profile = Profile([Layer(CLAY, 8.0, pc_top=60.0, pc_bottom=20.0)], surcharge=10.0)
    with pytest.raises(ParameterError, match="pc_top/pc_bottom must give"):
        pelorin.simulate(profile, Loading([Stage(0.0, load=80.0)]))


def test_case_file_soil_in_lab_terms():
    lab = dict(e0=1.4, sigv0=20.0, CR=0.25, RR=0.025, ocr=2.0, cv=0.1, mv=1e-3, gamma=16.5)
    data = {"soils": {"crust": lab}, "layers": [{"soil": "crust", "thickness": 2.0, "pop": 20.0}],
            "stages": [{"time": 0.0, "load": 50.0}], "profile": {"surcharge": 5.0}}
    case = pelorin.casefile.parse_case(data)
    assert case.profile.layers[0].soil == Soil.from_lab(**lab, name="crust")
    data["soils"]["crust"] = {**lab, "kref": 1e-9}
    with pytest.raises(pelorin.CaseError, match=r"\[soils.crust\]: unknown key 'kref'"):
        pelorin.casefile.parse_case(data)


def _case(**units):
    soil = {"Cc": 0.9, "Cr": 0.09, "esigvref": 1.9, "kref": 1e-9, "Ck": 1.1, "tref": 7.0,
            "sigvref": 100.0, "Ca": 0.02}
    layer = {"soil": "clay", "thickness": 4.0, "pc": 60.0, "elements": 12}
    stage = {"time": 14.0, "load": 50.0, "unit_weight": 20.0}
    for table in (soil, layer, stage):
        table.update({k: v for k, v in units.items() if k in table})
    data = {"soils": {"clay": soil}, "layers": [layer], "stages": [{"time": 0.0, "fill": 1.0},
                                                                     stage],
            "profile": {"surcharge": units.get("surcharge", 10.0)},
            "run": {"end": units.get("end", 1400.0)}}
    return pelorin.casefile.parse_case(data)


def test_other_units_give_the_same_run_bit_for_bit():
    plain = _case()
    other = _case(kref="1e-7 cm/s", tref="1 week", sigvref="100 kN/m^2", thickness="400 cm",
                  pc="0.06 MPa", time="2 weeks", load="50 kN/m^2", unit_weight="20 kN/m^3",
                  surcharge="10 kN/m^2", end="200 weeks", Cc="0.9 / log_cycle",
                  Cr="0.09 per log_cycle", Ck="1.1 / log_cycle", Ca="0.02 / log_cycle")
    assert (other.profile, other.loading) == (plain.profile, plain.loading)
    a, b = plain.simulate().dataset, other.simulate().dataset
    np.testing.assert_array_equal(a["settlement"].values, b["settlement"].values)


@pytest.mark.parametrize("name, value, words", [
    ("kref", "3 kPa", "a unit of m/s; got '3 kPa'"),
    ("kref", "fast", "a unit of m/s; got 'fast'"),
    ("kref", "5", "(no unit)"),
    ("Ca", "0.02 / day", "a unit of 1/log_cycle; got '0.02 / day'"),
    ("Cc", "0.9 m", "a unit of 1/log_cycle; got '0.9 m'"),
])
def test_a_quantity_of_the_wrong_kind_names_the_parameter(name, value, words):
    with pytest.raises(ParameterError) as err:
        Soil(**{**dict(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, Ck=1.1), name: value})
    assert err.value.parameter == name and words in str(err.value)
