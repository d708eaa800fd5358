"""The `pelorin` command: run a case file, redraw a result's figures.

    pelorin run CASE.toml [--out DIR] [--no-plots]
    pelorin report CASE.toml [--out FILE]
    pelorin plot DIR/results.nc [--out DIR]
    pelorin sweep CASE.toml [--samples N] [--seed S] [--scheduler tcp://HOST:PORT] [--out DIR]
    pelorin drains CASE.toml --spacing 1.0:2.5:0.25 --within DAYS [--target 0.9] [--out DIR]
    pelorin example [NAME [DIR]]
    pelorin fit CASE.toml [--samples N] [--method mcmc] [--workers N] [--out DIR]
    pelorin site CASE.toml [--scheduler tcp://HOST:PORT] [--out DIR]

Exit status: 0 done, 1 the run failed (partial results are written),
2 a bad case file or argument (one line on stderr naming the file and key).
"""
from __future__ import annotations

import argparse
import hashlib
import math
import os
import resource
import shutil
import signal
import sys
import tempfile
import threading
from typing import Any, Callable, Optional, Sequence

from tqdm import tqdm

from . import __version__
from ._batches import NoWorkersError
from ._report import write_report
from ._text import csv_header, written_by
from .casefile import Case, SiteCase, read_case
from .errors import CaseError, ConvergenceError, ParameterError
from .plots import plot_all
from .result import open_result

__all__ = ["main"]


def _fail(message: str, status: int = 2) -> int:
    print(f"pelorin: {message}", file=sys.stderr)
    return status


class _Progress:
    """A tqdm bar on stderr that appears only when a run takes a while."""

    def __init__(self, enabled: bool):
        self.bar: Any = None
        self.enabled = enabled

    def __call__(self, done: float, total: float) -> None:
        if not self.enabled:
            return
        if self.bar is None:
            self.bar = tqdm(total=total, file=sys.stderr, delay=1.0, unit="day",
                            unit_scale=False, dynamic_ncols=True, leave=False,
                            bar_format="{l_bar}{bar}| {n:.4g}/{total:.4g} days "
                                       "[{elapsed}<{remaining}]")
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


_FIGURES = (".png", ".svg", ".pdf")


def _formats(value: str) -> list[str]:
    kinds = [k.strip().lower() for k in value.split(",") if k.strip()]
    if not kinds or any(k not in ("png", "svg", "pdf") for k in kinds):
        raise argparse.ArgumentTypeError(f"a list of png, svg, pdf; got {value!r}")
    return kinds


class _WriteFailed(Exception):
    """The outputs could not be written; the files already there are as they were.
    `library`: the NetCDF library failed, and may crash the interpreter's exit."""

    def __init__(self, message: str, library: bool = False) -> None:
        super().__init__(message)
        self.library = library


class _Terminated(KeyboardInterrupt):
    """SIGTERM, handled as Ctrl-C is (what was reached is written), exit status 143."""


def _on_sigterm(*_: Any) -> None:
    raise _Terminated()


def _reason(err: BaseException) -> str:
    if isinstance(err, OSError) and err.strerror:
        return err.strerror[0].lower() + err.strerror[1:]
    return str(err) or type(err).__name__


def _staged(out: str, write: Callable[[str], list[str]]) -> list[str]:
    """`write(folder)` into a temporary folder inside `out`, then its files moved over
    those of `out`, one rename each: a write that fails or is interrupted leaves the
    files already in `out` as they were (and none of the new ones)."""
    try:
        os.makedirs(out, exist_ok=True)
        tmp = tempfile.mkdtemp(prefix=".pelorin-", dir=out)
    except OSError as err:
        raise _WriteFailed(f"cannot write into {out}: {_reason(err)}") from None
    try:
        try:
            written = write(tmp)
            for path in written:
                with open(path, "rb") as f:
                    os.fsync(f.fileno())
        except (OSError, RuntimeError, MemoryError) as err:
            # RuntimeError: the NetCDF library's ("NetCDF: HDF error" on a full disk)
            why = _reason(err)
            if shutil.disk_usage(tmp).free < 16 << 20:
                why += "; the disk is full"
            limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
            if limit != resource.RLIM_INFINITY:
                why += f"; files are limited to {limit} bytes (ulimit -f)"
            raise _WriteFailed(f"cannot write the results into {out}: {why}; the files "
                               "there are left as they were",
                               library=isinstance(err, RuntimeError)) from None
        paths = []
        for path in written:
            final = os.path.join(out, os.path.basename(path))
            os.replace(path, final)
            paths.append(final)
        return paths
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def _case_attrs(case: str) -> dict[str, str]:
    """The case file by name, in full and by the SHA-256 of its bytes."""
    with open(case, "rb") as f:
        raw = f.read()
    return {"case_file": case, "case": raw.decode("utf-8"),
            "case_sha256": hashlib.sha256(raw).hexdigest()}


def _with_case(ds: Any, case: str) -> None:
    """The case file, by name, in full and by its SHA-256, in the global attributes of a
    result (the hash of the file as it was read for the run when the run recorded it)."""
    attrs = _case_attrs(case)
    if ds.attrs.get("case_sha256"):
        del attrs["case_sha256"]
    ds.attrs.update(attrs)


def _write(result, out: str, plots: bool, formats: Sequence[str] = ("png",),
           partial: Optional[str] = None, case: str = "") -> list[str]:
    """results.nc, settlement.csv, summary.txt and the figures, all or none. A `partial`
    result says why in each file."""
    if partial:
        result.dataset.attrs["partial"] = partial
    if case:
        _with_case(result.dataset, case)

    def write(folder: str) -> list[str]:
        paths = [os.path.join(folder, n) for n in ("results.nc", "settlement.csv", "summary.txt")]
        result.to_netcdf(paths[0])
        result.to_csv(paths[1])
        with open(paths[2], "w") as f:
            if partial:
                f.write(f"PARTIAL RESULT: {partial}\n\n")
            f.write(result.summary() + "\n\n" + written_by(result.dataset.attrs) + "\n")
        if plots:
            paths += plot_all(result, folder, formats)
        return paths
    return _staged(out, write)


def _profile_case(path: str) -> Case | int:
    """The case file of one profile, or the exit status after one line saying why not."""
    try:
        case = read_case(path)
    except CaseError as err:
        return _fail(str(err))
    if not isinstance(case, Case):
        return _fail(f"{path}: a site's case file ([[footprints]]): run it with `pelorin site`")
    return case


def _run(args: argparse.Namespace) -> int:
    case = _profile_case(args.case)
    if isinstance(case, int):
        return case
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-results"
    progress = _Progress(not args.quiet and (sys.stderr.isatty() or args.progress))
    try:
        result = case.simulate(progress=progress)
    except ParameterError as err:
        return _fail(f"{args.case}: {err}")
    except (ConvergenceError, KeyboardInterrupt) as err:
        progress.close()
        partial = getattr(err, "result", None)
        if isinstance(err, KeyboardInterrupt):
            status = 143 if isinstance(err, _Terminated) else 130
            message = f"{args.case}: interrupted"
        else:
            status, message = 1, f"{args.case}: the run stopped: {err}"
        if partial is not None:
            t = float(partial.dataset["time"][-1])
            why = partial.dataset.attrs.get("partial") or (
                f"{'interrupted' if status != 1 else 'the run stopped'} after t = {t:g} days")
            paths = _write(partial, out, plots=False, partial=why, case=args.case)
            message += (f"; results up to then in {paths[0]}" if status == 1 else
                        f"; results up to t = {t:g} days in {paths[0]} (marked partial)")
        return _fail(message, status)
    finally:
        progress.close()
    paths = _write(result, out, plots=not args.no_plots, formats=args.formats, case=args.case)
    print(result.summary())
    print()
    print(f"results: {', '.join(p for p in paths if not p.endswith(_FIGURES))}")
    figures = [p for p in paths if p.endswith(_FIGURES)]
    if figures:
        print(f"figures: {', '.join(figures)}")
    return 0


def _report(args: argparse.Namespace) -> int:
    case = _profile_case(args.case)
    if isinstance(case, int):
        return case
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-report.html"
    progress = _Progress(not args.quiet and (sys.stderr.isatty() or args.progress))
    try:
        result = case.simulate(progress=progress)
    except ParameterError as err:
        return _fail(f"{args.case}: {err}")
    except ConvergenceError as err:
        return _fail(f"{args.case}: the run stopped: {err}; no report written", 1)
    finally:
        progress.close()
    path = write_report(result, out, source=args.case)
    print(f"report: {path}")
    return 0


def _plot(args: argparse.Namespace) -> int:
    try:
        result = open_result(args.result)
    except (OSError, ValueError) as err:
        msg = str(err) if str(err).startswith(args.result) else f"{args.result}: {_reason(err)}"
        return _fail(f"{msg}")
    out = args.out or os.path.dirname(os.path.abspath(args.result))
    def figures(folder: str) -> list[str]:
        return list(plot_all(result, folder, args.formats))
    paths = _staged(out, figures)
    print("figures: " + ", ".join(paths))
    return 0


def _sweep(args: argparse.Namespace) -> int:
    case = _profile_case(args.case)
    if isinstance(case, int):
        return case
    if case.sweep_spec is None:
        return _fail(f"{args.case}: no [sweep] section: add one with [[sweep.vary]] tables "
                     "naming the uncertain parameters (`pelorin sweep --help` shows one)")
    kw: dict[str, Any] = {}
    for option, key, low in (("--samples", "samples", 1), ("--seed", "seed", 0),
                             ("--batch-size", "batch_size", 1), ("--workers", "workers", 1)):
        value = getattr(args, key)
        if value is not None:
            if value < low:
                return _fail(f"{option} must be at least {low}; got {value}")
            kw[key] = value
    kw["processes"] = True if args.processes else False if args.threads else None
    kw["scheduler"] = args.scheduler
    kw["progress"] = not args.quiet and (sys.stderr.isatty() or args.progress)
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-sweep"
    status, message = 0, ""
    try:
        result = case.sweep(**kw)
    except (ParameterError, CaseError) as err:
        return _fail(f"{args.case}: {err}")
    except KeyboardInterrupt as err:
        status = 143 if isinstance(err, _Terminated) else 130
        message = f"{args.case}: interrupted"
        result = getattr(err, "result", None)
        if result is None:
            return _fail(message, status)
    except NoWorkersError as err:
        return _fail(str(err), 1)
    except ImportError as err:
        return _fail(str(err), 1)
    except (OSError, TimeoutError) as err:
        return _fail(f"cannot reach the Dask scheduler {args.scheduler}: {err}", 1)
    partial = result.dataset.attrs.get("partial")
    _with_case(result.dataset, args.case)

    def write(folder: str) -> list[str]:
        paths = [os.path.join(folder, n) for n in ("sweep.nc", "percentiles.csv",
                                                   "summary.txt", "settlement_band.png")]
        result.to_netcdf(paths[0])
        with open(paths[1], "w") as f:
            f.write(csv_header(result.dataset.attrs))
            result.percentiles_frame().to_csv(f)
        with open(paths[2], "w") as f:
            if partial:
                f.write(f"PARTIAL RESULT: {partial}\n\n")
            f.write(result.summary() + "\n\n" + written_by(result.dataset.attrs) + "\n")
        result.plot(paths[3])
        return paths
    paths = _staged(out, write)
    if status:
        return _fail(f"{message}; {partial}: in {paths[0]} (marked partial)", status)
    print(result.summary())
    print()
    print(f"results: {', '.join(paths[:3])}")
    print(f"figure: {paths[3]}")
    return 0


def _spacing_list(value: str) -> list[float]:
    """Spacings as START:STOP:STEP (STOP included) or a comma-separated list, m."""
    try:
        if ":" in value:
            parts = [float(x) for x in value.split(":")]
            if len(parts) != 3:
                raise ValueError
            start, stop, step = parts
            if not (0.0 < start <= stop and step > 0.0) or not all(map(math.isfinite, parts)):
                raise ValueError
            n = int(math.floor((stop - start) / step + 1e-9))
            if n > 10000:
                raise ValueError
            return [round(start + k * step, 12) for k in range(n + 1)]
        out = [float(x) for x in value.split(",") if x.strip()]
        if not out or not all(math.isfinite(x) and x > 0.0 for x in out):
            raise ValueError
        return out
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"spacings in m as START:STOP:STEP (0 < START <= STOP, STEP > 0) or a list "
            f"1.0,1.5,2.0; got {value!r}") from None


def _drains(args: argparse.Namespace) -> int:
    from ._drain_design import design_drains
    case = _profile_case(args.case)
    if isinstance(case, int):
        return case
    if case.profile.drains is None:
        return _fail(f"{args.case}: no [drains] table: add one with the drains to space "
                     "(`pelorin example drains` shows one)")
    if args.workers is not None and args.workers < 1:
        return _fail(f"--workers must be at least 1; got {args.workers}")
    kw: dict[str, Any] = dict(case.options)
    kw.update(times=case.times, title=case.title, scheduler=args.scheduler,
              workers=args.workers,
              processes=True if args.processes else False if args.threads else None,
              progress=not args.quiet and (sys.stderr.isatty() or args.progress))
    if case.times is None:
        kw["points_per_decade"] = max(case.points_per_decade, 20)
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-drains"
    try:
        design = design_drains(case.profile, case.loading, args.spacing, target=args.target,
                               within=args.within, **kw)
    except (ParameterError, CaseError) as err:
        return _fail(f"{args.case}: {err}")
    except KeyboardInterrupt as err:
        return _fail(f"{args.case}: interrupted", 143 if isinstance(err, _Terminated) else 130)
    except (NoWorkersError, ImportError) as err:
        return _fail(str(err), 1)
    except (OSError, TimeoutError) as err:
        return _fail(f"cannot reach the Dask scheduler {args.scheduler}: {err}", 1)
    _with_case(design.dataset, args.case)

    def write(folder: str) -> list[str]:
        paths = [os.path.join(folder, n) for n in ("drains.nc", "drains.csv", "summary.txt",
                                                   "drains.png")]
        design.to_netcdf(paths[0])
        design.to_csv(paths[1])
        with open(paths[2], "w") as f:
            f.write(design.summary() + f"\n\nwritten by pelorin {__version__}\n")
        design.plot(paths[3])
        return paths
    paths = _staged(out, write)
    print(design.summary())
    print()
    print(f"results: {', '.join(paths[:3])}")
    print(f"figure: {paths[3]}")
    failed = int((design.dataset["status"].values != "ok").sum())
    if failed:
        return _fail(f"{failed} of {design.dataset.sizes['spacing']} runs failed (in "
                     f"{paths[2]})", 1)
    return 0


def _site(args: argparse.Namespace) -> int:
    try:
        case = read_case(args.case)
    except CaseError as err:
        return _fail(str(err))
    if not isinstance(case, SiteCase):
        return _fail(f"{args.case}: not a site: add [[footprints]] and [points] (see "
                     "`pelorin site --help`)")
    kw: dict[str, Any] = {}
    for option, key, low in (("--batch-size", "batch_size", 1), ("--workers", "workers", 1)):
        value = getattr(args, key)
        if value is not None:
            if value < low:
                return _fail(f"{option} must be at least {low}; got {value}")
            kw[key] = value
    kw["processes"] = True if args.processes else False if args.threads else None
    kw["scheduler"] = args.scheduler
    kw["progress"] = not args.quiet and (sys.stderr.isatty() or args.progress)
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-site"
    try:
        result = case.site(**kw)
    except (ParameterError, CaseError) as err:
        return _fail(f"{args.case}: {err}")
    except (OSError, TimeoutError) as err:
        return _fail(f"cannot reach the Dask scheduler {args.scheduler}: {err}", 1)
    _with_case(result.dataset, args.case)
    def write(folder: str) -> list[str]:
        paths = [os.path.join(folder, "site.nc"), os.path.join(folder, "summary.txt")]
        result.to_netcdf(paths[0])
        _text(result.summary() + "\n\n" + written_by(result.dataset.attrs))(paths[1])
        paths += result.to_csv(folder)
        if not args.no_plots:
            paths += result.plot_all(folder, case.maps)
        return paths
    written = _staged(out, write)
    figures = [p for p in written if p.endswith(".png")]
    paths = [p for p in written if not p.endswith(".png")]
    print(result.summary())
    print()
    print(f"results: {', '.join(paths)}")
    if figures:
        print(f"figures: {', '.join(figures)}")
    failed = int(result.dataset.attrs.get("failed", 0))
    return 1 if failed else 0


def _text(text: str) -> Callable[[str], None]:
    def write(path: str) -> None:
        with open(path, "w") as f:
            f.write(text + "\n")
    return write


def _fit(args: argparse.Namespace) -> int:
    try:
        case = read_case(args.case)
    except CaseError as err:
        return _fail(str(err))
    spec = case.fit_spec
    if spec is None:
        return _fail(f"{args.case}: no [fit] section: add one naming the observations file, "
                     "with [[fit.vary]] tables naming the parameters (see `pelorin fit --help`)")
    for option, value, low in (("--samples", args.samples, 0), ("--seed", args.seed, 0),
                               ("--workers", args.workers, 1)):
        if value is not None and value < low:
            return _fail(f"{option} must be at least {low}; got {value}")
    kw: dict[str, Any] = {}
    if args.method:
        kw["method"] = args.method
    if args.workers is not None:
        kw["workers"] = args.workers
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-fit"
    try:
        fit = case.calibrate(**kw)
        end = spec.end if spec.end is not None else case.loading.end
        samples = spec.samples if args.samples is None else args.samples
        seed = spec.seed if args.seed is None else args.seed
        progress = not args.quiet and (sys.stderr.isatty() or args.progress)
        prediction = fit.predict(end, samples=samples, seed=seed, times=case.times,
                                 progress=progress)
    except (ParameterError, CaseError) as err:
        return _fail(f"{args.case}: {err}")
    except (CalibrationError, ConvergenceError) as err:
        return _fail(f"{args.case}: the fit failed: {err}", 1)
    text = fit.summary()
    if prediction.band is not None:
        pct = prediction.band.dataset["final_settlement_percentiles"].values * 1000.0
        text += (f"\n\nsettlement at {float(prediction.fitted.time[-1]):g} days: fitted "
                 f"{float(prediction.fitted.settlement[-1]) * 1000:.1f} mm, P10/P50/P90 "
                 f"{pct[0]:.1f} / {pct[1]:.1f} / {pct[2]:.1f} mm of "
                 f"{prediction.band.dataset.sizes['sample']} parameter sets")
        if prediction.design is not None:
            text += (f"; design {float(prediction.design.settlement[-1]) * 1000:.1f} mm")
    files = [("fit.nc", prediction.to_netcdf),
             ("parameters.csv", lambda path: fit.table().to_csv(path, float_format="%.6g")),
             ("prediction.csv", lambda path: prediction.percentiles().to_csv(
                 path, float_format="%.6g")),
             ("summary.txt", _text(text + "\n\n" + written_by(_case_attrs(args.case))))]
    if not args.no_plots:
        files.append(("fit.png", prediction.plot))
    def write(folder: str) -> list[str]:
        paths = []
        for name, writer in files:
            paths.append(os.path.join(folder, name))
            writer(paths[-1])
        return paths
    paths = _staged(out, write)
    print(text)
    print()
    print(f"results: {', '.join(p for p in paths if not p.endswith('.png'))}")
    if not args.no_plots:
        print(f"figure: {paths[-1]}")
    return 0


def _examples() -> dict[str, str]:
    """The example case files by name: shipped with the package, or a source checkout's."""
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (os.path.join(here, "examples"), os.path.join(here, os.pardir, os.pardir,
                                                                "examples")):
        if os.path.isdir(folder):
            return {os.path.splitext(n)[0]: os.path.join(folder, n)
                    for n in sorted(os.listdir(folder)) if n.endswith(".toml")}
    return {}


def _example(args: argparse.Namespace) -> int:
    found = _examples()
    if args.name is None:
        for name, path in found.items():
            with open(path, encoding="utf-8") as f:
                first = f.readline().lstrip("# ").strip()
            print(f"{name:16s} {first}")
        return 0
    if args.name not in found:
        return _fail(f"no example case {args.name!r}; there are: {', '.join(found) or 'none'}")
    target = os.path.join(args.dir, args.name + ".toml")
    if os.path.exists(target):
        return _fail(f"{target} exists already: not overwritten", 1)
    try:
        os.makedirs(args.dir, exist_ok=True)
        shutil.copyfile(found[args.name], target)
    except OSError as err:
        return _fail(f"cannot write {target}: {err.strerror or err}", 1)
    print(f"{target}: run it with `pelorin run {target}`")
    return 0


_SWEEP_SECTION = """\
the case file's [sweep] section:
  [sweep]
  samples = 200                # number of runs (--samples overrides it)
  seed = 1                     # the same seed gives the same samples (--seed)
  correlation = [[1.0, -0.5], [-0.5, 1.0]]   # optional, in the order of the tables below

  [[sweep.vary]]               # one table per uncertain parameter
  parameter = "soft clay.kref" # "<layer>.<parameter>": layer by name, or "layer 2"
  distribution = "lognormal"   # with median and sigma_log10 (or cov)
  median = 1e-8
  sigma_log10 = 0.5

  [[sweep.vary]]
  parameter = "soft clay.Cc"   # a Soil's Cc, Cr, kref, Ca ... or a Layer's thickness, ocr, pc, e0
  distribution = "normal"      # with mean and sd (or cov); "uniform" with low and high
  mean = 0.9
  cov = 0.2

`pelorin example embankment` writes a complete case with one.
"""


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="pelorin", description="Consolidation settlement of soft "
                                "soils: run a case file, redraw its figures, sweep its uncertain "
                                "parameters, fit it to monitoring readings, copy an example out.")
    p.add_argument("--version", action="version", version=f"pelorin {__version__}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    r = sub.add_parser("run", help="run a TOML case file",
                       description="Run a TOML case file and write results.nc, settlement.csv, "
                       "summary.txt and the figures (PNG, or --formats) into the output "
                       "directory.")
    r.add_argument("case", help="the case file (TOML)")
    r.add_argument("--out", metavar="DIR", help="output directory (default: CASE-results)")
    r.add_argument("--no-plots", action="store_true", help="write no figures")
    r.add_argument("--formats", type=_formats, default=["png"], metavar="png,svg,pdf",
                   help="the figures' file formats (default: png)")
    r.add_argument("--quiet", action="store_true", help="no progress bar")
    r.add_argument("--progress", action="store_true",
                   help="show the progress bar even when stderr is not a terminal")
    r.set_defaults(func=_run)
    rp = sub.add_parser("report", help="run a case file and write its design report (HTML)",
                        description="Run a TOML case file and write one self-contained HTML "
                        "report: inputs, soil profile, results, report dates, figures, "
                        "validation.")
    rp.add_argument("case", help="the case file (TOML)")
    rp.add_argument("--out", metavar="FILE", help="the report (default: CASE-report.html)")
    rp.add_argument("--quiet", action="store_true", help="no progress bar")
    rp.add_argument("--progress", action="store_true",
                    help="show the progress bar even when stderr is not a terminal")
    rp.set_defaults(func=_report)
    q = sub.add_parser("plot", help="redraw the figures of a results.nc",
                       description="Redraw the figures of a saved result.")
    q.add_argument("result", help="a results.nc written by `pelorin run`")
    q.add_argument("--out", metavar="DIR", help="where to write (default: next to the file)")
    q.add_argument("--formats", type=_formats, default=["png"], metavar="png,svg,pdf",
                   help="the figures' file formats (default: png)")
    q.set_defaults(func=_plot)
    w = sub.add_parser("sweep", help="run a case many times with uncertain parameters on Dask",
                       description="Run the case's [sweep]: the uncertain parameters of its "
                       "[[sweep.vary]] tables drawn from their distributions, every sample an "
                       "independent run on Dask (a local cluster over this machine's cores, "
                       "or --scheduler). Writes sweep.nc, percentiles.csv, summary.txt and "
                       "settlement_band.png.",
                       epilog=_SWEEP_SECTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    w.add_argument("case", help="the case file (TOML) with a [sweep] section")
    w.add_argument("--samples", type=int, help="number of samples (default: the file's)")
    w.add_argument("--seed", type=int, help="seed of the sampling (default: the file's)")
    w.add_argument("--scheduler", metavar="ADDRESS",
                   help="a Dask scheduler to use, e.g. tcp://10.0.0.5:8786 (default: a local "
                   "cluster); 'synchronous' runs here without Dask")
    w.add_argument("--workers", type=int, help="workers of the local cluster (default: cores)")
    kind = w.add_mutually_exclusive_group()
    kind.add_argument("--threads", action="store_true",
                      help="local cluster of threads (default for short sweeps)")
    kind.add_argument("--processes", action="store_true",
                      help="local cluster of processes (default for long sweeps)")
    w.add_argument("--batch-size", type=int, help="runs per Dask task (default: from ~0.4 s of work down to ~0.025 s)")
    w.add_argument("--out", metavar="DIR", help="output directory (default: CASE-sweep)")
    w.add_argument("--quiet", action="store_true", help="no progress bar")
    w.add_argument("--progress", action="store_true",
                   help="show the progress bar even when stderr is not a terminal")
    w.set_defaults(func=_sweep)
    d = sub.add_parser("drains", help="run a case on its drains at several spacings",
                       description="Run the case on its [drains] at each spacing (on Dask: "
                       "a local cluster over this machine's cores, or --scheduler) and find "
                       "the widest at which the average degree of consolidation under the "
                       "largest load reaches --target by --within days. Writes drains.nc, "
                       "drains.csv (per spacing: time to the target, settlement at the "
                       "date), summary.txt and drains.png (the degree against time).")
    d.add_argument("case", help="the case file (TOML) with a [drains] table")
    d.add_argument("--spacing", type=_spacing_list, required=True, metavar="START:STOP:STEP",
                   help="the spacings, m: START:STOP:STEP (STOP included) or a list 1,1.5,2")
    d.add_argument("--within", type=float, required=True, metavar="DAYS",
                   help="the date the target is to be reached by, days")
    d.add_argument("--target", type=float, default=0.9,
                   help="average degree of consolidation to reach (default: 0.9)")
    d.add_argument("--scheduler", metavar="ADDRESS",
                   help="a Dask scheduler to use, e.g. tcp://10.0.0.5:8786 (default: a local "
                   "cluster); 'synchronous' runs here without Dask")
    d.add_argument("--workers", type=int, help="workers of the local cluster (default: cores)")
    kind = d.add_mutually_exclusive_group()
    kind.add_argument("--threads", action="store_true", help="local cluster of threads")
    kind.add_argument("--processes", action="store_true", help="local cluster of processes")
    d.add_argument("--out", metavar="DIR", help="output directory (default: CASE-drains)")
    d.add_argument("--quiet", action="store_true", help="no progress bar")
    d.add_argument("--progress", action="store_true",
                   help="show the progress bar even when stderr is not a terminal")
    d.set_defaults(func=_drains)
    x = sub.add_parser("example", help="copy an example case file out",
                       description="Copy the example case NAME (a commented TOML case file) "
                       "to DIR/NAME.toml; without NAME, list the examples.")
    x.add_argument("name", nargs="?", metavar="NAME", help="the example (e.g. embankment)")
    x.add_argument("dir", nargs="?", default=".", metavar="DIR",
                   help="where to write it (default: the current directory)")
    x.set_defaults(func=_example)
    f = sub.add_parser("fit", help="fit the case's parameters to monitoring readings",
                       description="Run the case's [fit]: the parameters of its [[fit.vary]] "
                       "tables fitted to the readings of its observations file (weighted "
                       "least squares, or also a Bayesian posterior with --method mcmc), "
                       "then the fitted model run on with a band of parameter sets drawn "
                       "from the fit. Writes fit.nc, parameters.csv, prediction.csv, "
                       "summary.txt and fit.png.")
    f.add_argument("case", help="the case file (TOML) with a [fit] section")
    f.add_argument("--method", choices=("least_squares", "mcmc"),
                   help="the fit (default: the file's, else least_squares)")
    f.add_argument("--samples", type=int,
                   help="parameter sets of the prediction band (default: the file's; 0: none)")
    f.add_argument("--seed", type=int, help="seed of the band's sampling (default: the file's)")
    f.add_argument("--workers", type=int,
                   help="threads for the Jacobian's columns (default: cores; 1: serial)")
    f.add_argument("--out", metavar="DIR", help="output directory (default: CASE-fit)")
    f.add_argument("--no-plots", action="store_true", help="write no figure")
    f.add_argument("--quiet", action="store_true", help="no progress bar")
    f.add_argument("--progress", action="store_true",
                   help="show the progress bar even when stderr is not a terminal")
    f.set_defaults(func=_fit)
    s = sub.add_parser("site", help="settlement over a site: footprints, boreholes, points",
                       description="Run a site's case file ([[boreholes]], [[footprints]], "
                       "[points]): every point a run under the footprints' stress, on Dask. "
                       "Writes site.nc, summary.txt, a CSV per section and the figures (a "
                       "contour map, every section, histories).")
    s.add_argument("case", help="the case file (TOML) of a site")
    s.add_argument("--scheduler", metavar="ADDRESS",
                   help="a Dask scheduler to use, e.g. tcp://10.0.0.5:8786 (default: a local "
                   "cluster); 'synchronous' runs here without Dask")
    s.add_argument("--workers", type=int, help="workers of the local cluster (default: cores)")
    kind = s.add_mutually_exclusive_group()
    kind.add_argument("--threads", action="store_true", help="local cluster of threads")
    kind.add_argument("--processes", action="store_true", help="local cluster of processes")
    s.add_argument("--batch-size", type=int, help="runs per Dask task (default: automatic)")
    s.add_argument("--out", metavar="DIR", help="output directory (default: CASE-site)")
    s.add_argument("--no-plots", action="store_true", help="write no figures")
    s.add_argument("--quiet", action="store_true", help="no progress bar")
    s.add_argument("--progress", action="store_true",
                   help="show the progress bar even when stderr is not a terminal")
    s.set_defaults(func=_site)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the `pelorin` command; returns the exit status."""
    args = parser().parse_args(argv)
    handlers = {}
    if threading.current_thread() is threading.main_thread():
        if hasattr(signal, "SIGXFSZ"):    # a file size limit: an error to report, not a kill
            handlers[signal.SIGXFSZ] = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        handlers[signal.SIGTERM] = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        return int(args.func(args))
    except _WriteFailed as err:
        status = _fail(str(err), 1)
        if err.library:   # the HDF5 library's state after a failed write crashes the exit
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)
        return status
    except KeyboardInterrupt as err:  # between the steps that report it themselves
        return _fail("interrupted", 143 if isinstance(err, _Terminated) else 130)
    except BrokenPipeError:     # output piped into a pager or head that closed
        sys.stdout = open(os.devnull, "w")
        return 0
    finally:
        for sig, handler in handlers.items():
            signal.signal(sig, handler)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
