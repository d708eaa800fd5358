"""The quantities of a design report: values at named dates, residual settlement,
undrained strength gained."""
import datetime
import re
import tomllib

import numpy as np
import pytest
import xarray as xr

import pelorin
from pelorin import Layer, Loading, ParameterError, Profile, Soil, Stage

CLAY = Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, Ck=1.1, Ca=0.02, name="clay", S=0.22,
            m=0.8)
SAND = Soil(Cc=0.05, Cr=0.01, esigvref=0.6, kref=1e-5, Ck=1.1, name="sand")
DATES = {"opening": 400.0, "end of construction": 200.0, "design life": 20000.0}


PROFILE = Profile([Layer(CLAY, 2.0, pop=30.0), Layer(SAND, 1.0, ocr=1.0),
                   Layer(CLAY, 5.0, ocr=1.2)], surcharge=10.0)
STAGES = [Stage(0.0, fill=2.0), Stage(200.0, fill=2.0)]


@pytest.fixture(scope="module")
def result():
    return pelorin.simulate(PROFILE, Loading(STAGES), report_times=DATES)


def test_dates_are_output_times_and_residual_is_their_difference(result, tmp_path):
    ds = result.dataset
    assert list(ds["date"].values) == ["end of construction", "opening", "design life"]
    for label, t in DATES.items():
        at = ds.sel(date=label)
        s = ds["settlement"].sel(time=t).item()
        assert at["settlement_at_date"].item() == s
        assert at["residual_settlement"].item() == ds["settlement"].sel(time=20000.0).item() - s
        assert at["U_pore_at_date"].item() == ds["U_pore"].sel(time=t).item()
    assert ds["time"].values[-1] >= 20000.0     # the analysis reaches the design life
    assert "residual to design life [mm]" in result.summary()
    result.to_csv(tmp_path / "s.csv")
    rows = [line for line in open(tmp_path / "s.csv") if ",opening," in line]
    assert len(rows) == 1 and rows[0].startswith("400,")
    result.to_netcdf(tmp_path / "r.nc")
    back = pelorin.open_result(tmp_path / "r.nc")
    assert back.summary() == result.summary()


def test_undrained_strength_follows_shansep(result):
    ds = result.dataset
    sig = ds["sigv_element"].values
    pc = np.maximum(ds["pc0"].values[:, None], np.maximum.accumulate(sig, axis=1))
    clay = ds["layer_index"].values != 1
    expected = 0.22 * sig[clay] ** 0.2 * pc[clay] ** 0.8
    np.testing.assert_allclose(ds["su"].values[clay], expected, rtol=1e-13)
    assert np.all(np.isnan(ds["su"].values[~clay]))
    gain = ds["su_gain"].sel(stage=ds["stage"].values[1]).values[clay]
    assert np.all(gain > 0)     # the clay under the first lift has gained strength
    assert "undrained strength su" in result.summary()


@pytest.mark.parametrize("report_times", [None, {**DATES, "design life": "20000 days"}])
def test_the_loadings_dates_give_what_report_times_give(result, report_times):
    ds = pelorin.simulate(PROFILE, Loading(STAGES, dates=DATES),
                          report_times=report_times).dataset
    for key in ("date_time", "settlement_at_date", "residual_settlement", "U_pore_at_date"):
        xr.testing.assert_identical(ds[key], result.dataset[key])


def test_a_case_files_loading_holds_the_dates_as_run_does():
    from test_cli import EXAMPLE
    text = open(EXAMPLE).read()
    line = next(x for x in text.splitlines() if x.startswith("report_times ="))
    moved = text.replace(line, "") + "\n[loading]\n" + line.replace("report_times", "dates")
    a, b = (pelorin.casefile.parse_case(tomllib.loads(t)).simulate().dataset
            for t in (text, moved))
    np.testing.assert_array_equal(a["residual_settlement"], b["residual_settlement"])


@pytest.mark.parametrize("dates, loading_dates, words", [
    ({"design life": -1.0}, None, "simulate: report_times 'design life' must be a time in days "
                                  "greater than 0"),
    ([400.0], None, "must be a mapping"),
    ({"design life": 1e9}, None, "after the end of the analysis"),
    (None, {"design life": 1e9}, "Loading: dates 'design life' (1e+09 days) is after the end"),
    (None, {"opening": "3 kPa"}, "Loading: dates must be a number, or a number with a unit of day"),
    ({"design life": 900.0}, {"design life": 1000.0}, "report_times must agree with the "
                                                      "loading's dates"),
])
def test_bad_report_times(dates, loading_dates, words):
    profile = Profile([Layer(CLAY, 4.0, ocr=1.2)], surcharge=10.0)
    with pytest.raises(ParameterError, match=re.escape(words)):
        pelorin.simulate(profile, Loading([Stage(0.0, load=50.0)], end=1000.0,
                                          dates=loading_dates), report_times=dates)


def test_S_needs_m():
    with pytest.raises(ParameterError) as err:
        Soil(Cc=0.9, Cr=0.09, esigvref=1.9, kref=1e-9, Ck=1.1, S=0.22)
    assert err.value.parameter == "m"


@pytest.mark.parametrize("start, on", [("2027-03-01", "2027-03-01"),
                                       (datetime.date(2027, 3, 1), "2027-03-01"),
                                       ("2027-03-01T12:00", "2027-03-01 12:00:00")])
def test_a_start_date_makes_the_times_dates(result, tmp_path, start, on):
    r = pelorin.simulate(PROFILE, Loading(STAGES), report_times=DATES, start_date=start)
    np.testing.assert_array_equal(r.time, result.time)
    r.to_netcdf(tmp_path / "r.nc")
    with xr.open_dataset(tmp_path / "r.nc") as ds:     # a reader decodes dates
        assert ds["time"].values[0] == np.datetime64(on.replace(" ", "T"))
        days = (ds["time"].values - ds["time"].values[0]) / np.timedelta64(1, "D")
    np.testing.assert_allclose(days, result.time, rtol=0, atol=1e-9)
    assert pelorin.open_result(tmp_path / "r.nc").summary() == r.summary()
    text = r.summary()
    assert "day 0 is " + on + "; the stages start on 2027-03-01, 2027-09-17;" in text
    assert next(x for x in text.splitlines() if x.startswith("opening")).split()[1] \
        == "2028-04-04"                                 # 400 days after day 0


@pytest.mark.parametrize("start, words", [
    ("1 March 2027", "simulate: start_date must be the calendar date of day 0"),
    ("2027-02-30", "simulate: start_date must be the calendar date of day 0"),
    ("2250-01-01", "ends after 2262-04-11, the last date NetCDF readers decode"),
])
def test_a_start_date_that_cannot_be_written_is_refused(start, words):
    with pytest.raises(ParameterError, match=re.escape(words)):
        pelorin.simulate(PROFILE, Loading(STAGES, end=1e4), start_date=start)


def test_a_case_files_start_is_a_date_or_its_text():
    from test_cli import EXAMPLE
    text = open(EXAMPLE).read()
    for start in ("2027-03-01", '"2027-03-01"'):
        case = pelorin.casefile.parse_case(tomllib.loads(text.replace(
            "[run]\n", f"[run]\nstart = {start}\n")))
        assert case.start_date == "2027-03-01"
    with pytest.raises(pelorin.CaseError, match=r"\[run\] start must be the calendar date"):
        pelorin.casefile.parse_case(tomllib.loads(text.replace("[run]\n",
                                                               "[run]\nstart = 2027\n")))
