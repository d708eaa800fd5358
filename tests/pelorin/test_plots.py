"""The figures: written as PNG, not blank, and drawing what they should."""
import os

import numpy as np
import pytest

import pelorin
from pelorin import plots

matplotlib = pytest.importorskip("matplotlib")


@pytest.fixture(scope="module")
def result():
    soil = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.5, Ca=0.01, name="clay")
    profile = pelorin.Profile([pelorin.Layer(soil, 2.0, ocr=1.2, elements=16)], surcharge=20.0)
    loading = pelorin.Loading([pelorin.Stage(0.0, load=40.0), pelorin.Stage(300.0, load=80.0)],
                              end=3000.0)
    return pelorin.simulate(profile, loading, points_per_decade=8, title="test")


def drawn(path):
    from matplotlib.image import imread
    image = imread(path)[..., :3]
    ink = np.any(image < 0.9, axis=-1).mean()
    return 0.02 < ink < 0.6


def data_lines(ax):
    """Lines with data, leaving out the horizontal and vertical markers."""
    return [l for l in ax.get_lines() if len(l.get_xdata()) > 2]


def test_settlement_with_load_panel_stage_markers_and_t50_t90(result, tmp_path):
    fig = plots.plot_settlement(result, path=tmp_path / "s.png")
    top, ax = fig.axes
    assert drawn(tmp_path / "s.png")
    assert len(data_lines(top)) == 1 and top.get_lines()[0].get_drawstyle().startswith("steps")
    # Surface, net of background creep, background.
    assert len(data_lines(ax)) == 3
    stage_lines = [l for l in ax.get_lines() if list(l.get_xdata()) == [300.0, 300.0]]
    assert len(stage_lines) == 1
    marks = [l for l in ax.get_lines() if l.get_marker() in ("o", "s") and len(l.get_xdata()) == 1]
    t50 = result.dataset["t50"].values + result.dataset["stage_time"].values
    assert sorted(float(m.get_xdata()[0]) for m in marks if m.get_marker() == "o") == \
        pytest.approx(sorted(t50))
    assert ax.get_xscale() == "log" and ax.yaxis_inverted()


def test_isochrones_against_initial_depth_with_the_load(result, tmp_path):
    times = [1.0, 30.0, 299.0, 400.0, 2000.0]
    fig = plots.plot_isochrones(result, times=times, path=tmp_path / "i.png")
    ax = fig.axes[0]
    assert drawn(tmp_path / "i.png")
    curves = data_lines(ax)
    assert len(curves) == len(times)
    for line in curves:   # plotted against the initial depths, not the moved nodes
        np.testing.assert_array_equal(line.get_ydata(), result.dataset["depth"])
    loads = sorted({float(l.get_xdata()[0]) for l in ax.get_lines()
                    if len(l.get_xdata()) == 2 and l.get_linestyle() == "--"})
    assert loads == [40.0, 80.0]


def test_compression_paths_with_their_normal_compression_lines(result, tmp_path):
    fig = plots.plot_compression(result, elements=[4, 8, 12], path=tmp_path / "c.png")
    ax = fig.axes[0]
    assert drawn(tmp_path / "c.png")
    lines = ax.get_lines()
    assert len(lines) == 6 and [l.get_linestyle() for l in lines[1::2]] == ["--"] * 3
    x, y = lines[1].get_xdata(), lines[1].get_ydata()
    np.testing.assert_allclose(y, 1.5 - 0.5 * np.log10(x / 100.0))


def test_consolidation_against_terzaghi_for_one_layer(result, tmp_path):
    fig = plots.plot_consolidation(result, path=tmp_path / "u.png")
    assert drawn(tmp_path / "u.png") and len(fig.axes[0].get_lines()) == 3
    assert plots.terzaghi_U(np.array([0.197, 0.848])) == pytest.approx([0.5, 0.9], abs=2e-3)
    two = pelorin.Profile([pelorin.Layer(pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9,
                                                      Ck=0.5), 1.0, ocr=1.0)] * 2, surcharge=20.0)
    many = pelorin.simulate(two, pelorin.Loading([pelorin.Stage(0.0, load=10.0)], end=100.0))
    with pytest.raises(ValueError, match="one layer"):
        plots.plot_consolidation(many)
    assert [p.rsplit("/", 1)[1] for p in plots.plot_all(many, tmp_path / "all")] == \
        ["settlement.png", "isochrones.png", "compression.png"]


@pytest.fixture(scope="module")
def staged():
    """Three stages of similar consolidation and a long title: labels that would collide."""
    soil = pelorin.Soil(Cc=0.5, Cr=0.05, esigvref=1.5, kref=1e-9, Ck=0.5, name="clay")
    profile = pelorin.Profile([pelorin.Layer(soil, 2.0, ocr=1.5, elements=16)], surcharge=20.0)
    loading = pelorin.Loading([pelorin.Stage(0.0, load=40.0), pelorin.Stage(100.0, load=60.0),
                               pelorin.Stage(130.0, load=70.0)], end=600.0)
    return pelorin.simulate(profile, loading, points_per_decade=8,
                            title="A rather long title of a case, as engineers write them, "
                                  "with its borehole and its revision")


def test_titles_fit_labels_apart_ticks_and_isochrones_per_stage(staged):
    figures = plots.plot_all(staged)      # no directory: the figures themselves
    assert list(figures) == ["settlement", "isochrones", "compression", "consolidation"]
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    for fig in figures.values():
        renderer = FigureCanvasAgg(fig).get_renderer()
        fig.draw(renderer)
        box = fig.bbox
        for ax in fig.axes:
            title = ax.title.get_window_extent(renderer)
            assert ax.title.get_text() == "" or (box.x0 <= title.x0 and title.x1 <= box.x1
                                                 and title.y1 <= box.y1)
    # The example's t50 (3) and t90 (3) fell on one another.
    example = pelorin.read_case(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir,
                                             "examples",
                                             "embankment.toml")).simulate()
    ax = plots.plot_settlement(example).axes[1]
    renderer = FigureCanvasAgg(ax.figure).get_renderer()
    notes = [t.get_window_extent(renderer) for t in ax.texts]
    inside = ax.get_window_extent(renderer)
    assert len(notes) == 5 and not any(a.overlaps(b) for i, a in enumerate(notes)
                                       for b in notes[i + 1:])
    assert all(inside.y0 <= n.y0 and n.y1 <= inside.y1 for n in notes)
    comp = figures["compression"].axes[0]
    low, high = comp.get_xlim()
    shown = [t for t in comp.get_xticks() if low <= t <= high]
    assert len(shown) >= 3 and all(lab.get_text() for lab in comp.get_xticklabels()
                                   if low <= lab.get_position()[0] <= high)
    t = staged.dataset["time"].values
    picks = plots._pick_times(staged)
    for ts in staged.dataset["stage_time"].values[1:]:
        assert int(np.nonzero(t > ts)[0][0]) in picks       # just after every lift


def test_figures_as_svg_and_pdf(result, tmp_path):
    paths = result.plot(tmp_path, formats=("svg", "pdf"))
    assert len(paths) == 8 and all(os.path.getsize(p) > 5000 for p in paths)
    assert open(paths[0], "rb").read(200).lstrip().startswith(b"<?xml")
    assert open(paths[1], "rb").read(5) == b"%PDF-"
    with pytest.raises(ValueError, match="formats"):
        result.plot(tmp_path, formats="jpg")
