"""The design report: one self-contained, valid HTML file that a browser renders."""
import os
import re
import shutil
import subprocess

import html5lib
import numpy as np
import pytest
from matplotlib.image import imread

from pelorin._report import validation_table
from test_cli import EXAMPLE, ROOT, pelorin

FIGURES = ("profile", "settlement", "isochrones", "compression")


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "embankment.html"
    proc = pelorin("report", EXAMPLE, "--out", str(path), "--quiet")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"report: {path}"
    return path


def test_the_report_is_valid_self_contained_html(report):
    text = report.read_text(encoding="utf-8")
    parser = html5lib.HTMLParser(strict=True)
    parser.parse(text)                              # raises on any parse error
    ids = re.findall(r'\bid="([^"]+)"', text)
    assert len(ids) == len(set(ids))                # figures' ids kept apart
    assert not re.search(r'(src|href)="(https?:|file:|//)', text)   # nothing fetched
    for name in FIGURES:
        assert f'<figure id="figure-{name}">\n<svg' in text
    for words in ("Staged embankment on layered clay", "SHA-256", "residual to design life",
                  "Undrained strength", "upper soft clay", "Terzaghi"):
        assert words in text


def test_validation_table_is_the_readme_s():
    readme = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    rows = validation_table()
    assert rows[0] == ["case", "quantity", "tolerance", "measured error", "result"]
    for row in rows[1:]:
        assert "| " + " | ".join(row) + " |" in readme


@pytest.mark.skipif(shutil.which("chromium") is None, reason="needs Debian's chromium")
def test_chromium_renders_the_report(report, tmp_path):
    shot = tmp_path / "shot.png"
    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
               f"--user-data-dir={tmp_path / 'profile'}", "--window-size=1200,3000"]
    # The browser is not ours: under the sanitizer suite it must not inherit
    # the preloaded runtimes (with them it hangs until the timeout).
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    subprocess.run(browser + [f"--screenshot={shot}", report.as_uri()], capture_output=True,
                   timeout=120, check=True, env=env)
    pixels = imread(shot)[..., :3]
    dark = np.mean(pixels.mean(axis=2) < 0.5)
    assert 0.01 < dark < 0.5                        # text and lines, not a blank page
    assert pixels.std() > 0.05
    dom = subprocess.run(browser + ["--dump-dom", report.as_uri()], capture_output=True,
                         text=True, timeout=120, check=True, env=env).stdout
    for name in FIGURES:
        assert re.search(f'<figure id="figure-{name}">\\s*<svg', dom)


def _no_space(fd):
    raise OSError(28, "No space left on device")


@pytest.mark.parametrize("text, fsync", [
    ("<!DOCTYPE html><p>\ud800</p>", None),      # fails while the text is written
    ("<!DOCTYPE html><p>new</p>", _no_space),     # fails as it is flushed to the disk
], ids=["encoding", "disk full"])
def test_a_failed_report_write_leaves_the_old_report(tmp_path, monkeypatch, text, fsync):
    import pelorin._files
    import pelorin._report
    path = tmp_path / "report.html"
    path.write_text("old report")
    monkeypatch.setattr(pelorin._report, "report_html", lambda result, source="": text)
    if fsync:
        monkeypatch.setattr(pelorin._files.os, "fsync", fsync)
    with pytest.raises((OSError, UnicodeError)):
        pelorin._report.write_report(None, path)
    assert path.read_text() == "old report"
    assert os.listdir(tmp_path) == ["report.html"]
