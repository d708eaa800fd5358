"""The `pelorin` command: run a case file, redraw a result's figures.

    pelorin run CASE.toml [--out DIR] [--no-plots]
    pelorin report CASE.toml [--out FILE]
    pelorin plot DIR/results.nc [--out DIR]
    pelorin sweep CASE.toml [--samples N] [--seed S] [--scheduler tcp://HOST:PORT] [--out DIR]

Exit status: 0 done, 1 the run failed (partial results are written),
2 a bad case file or argument (one line on stderr naming the file and key).
"""
from __future__ import annotations

import argparse
import os
import sys
from importlib.metadata import PackageNotFoundError, version
from typing import Any, Callable, Optional, Sequence

from tqdm import tqdm

from ._report import write_report
from .casefile import read_case
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


def _write(out: str, files: Sequence[tuple[str, Callable[[str], Any]]]) -> list[str]:
    """Write every (name, writer) of `files` into the directory `out`; the paths."""
    os.makedirs(out, exist_ok=True)
    paths = []
    for name, write in files:
        path = os.path.join(out, name)
        write(path)
        paths.append(path)
    return paths


def _text(text: str) -> Callable[[str], None]:
    def write(path: str) -> None:
        with open(path, "w") as f:
            f.write(text + "\n")
    return write


def _result_files(result: Any, out: str, plots: bool) -> list[str]:
    paths = _write(out, [("results.nc", result.to_netcdf), ("settlement.csv", result.to_csv),
                         ("summary.txt", _text(result.summary()))])
    return paths + (plot_all(result, out) if plots else [])


def _run(args: argparse.Namespace) -> int:
    try:
        case = read_case(args.case)
    except CaseError as err:
        return _fail(str(err))
    out = args.out or os.path.splitext(os.path.basename(args.case))[0] + "-results"
    progress = _Progress(not args.quiet and (sys.stderr.isatty() or args.progress))
    try:
        result = case.simulate(progress=progress)
    except ParameterError as err:
        return _fail(f"{args.case}: {err}")
    except ConvergenceError as err:
        partial = getattr(err, "result", None)
        message = f"{args.case}: the run stopped: {err}"
        if partial is not None:
            paths = _result_files(partial, out, plots=False)
            message += f"; results up to then in {paths[0]}"
        return _fail(message, 1)
    finally:
        progress.close()
    paths = _result_files(result, out, plots=not args.no_plots)
    print(result.summary())
    print()
    print(f"results: {', '.join(p for p in paths if not p.endswith('.png'))}")
    figures = [p for p in paths if p.endswith(".png")]
    if figures:
        print(f"figures: {', '.join(figures)}")
    return 0


def _report(args: argparse.Namespace) -> int:
    try:
        case = read_case(args.case)
    except CaseError as err:
        return _fail(str(err))
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
        msg = str(err) if str(err).startswith(args.result) else f"{args.result}: {err}"
        return _fail(f"{msg}")
    out = args.out or os.path.dirname(os.path.abspath(args.result))
    paths = plot_all(result, out)
    print("figures: " + ", ".join(paths))
    return 0


def _sweep(args: argparse.Namespace) -> int:
    try:
        case = read_case(args.case)
    except CaseError as err:
        return _fail(str(err))
    if case.sweep_spec is None:
        return _fail(f"{args.case}: no [sweep] section: add one with [[sweep.vary]] tables "
                     "naming the uncertain parameters (see `pelorin sweep --help`)")
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
    try:
        result = case.sweep(**kw)
    except (ParameterError, CaseError) as err:
        return _fail(f"{args.case}: {err}")
    except (OSError, TimeoutError) as err:
        return _fail(f"cannot reach the Dask scheduler {args.scheduler}: {err}", 1)
    paths = _write(out, [("sweep.nc", result.to_netcdf),
                         ("percentiles.csv", result.percentiles_frame().to_csv),
                         ("summary.txt", _text(result.summary())),
                         ("settlement_band.png", result.plot)])
    print(result.summary())
    print()
    print(f"results: {', '.join(paths[:3])}")
    print(f"figure: {paths[3]}")
    return 0


def _version() -> str:
    try:
        return version("pelorin")
    except PackageNotFoundError:
        return "(not installed)"


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="pelorin", description="Consolidation settlement of soft "
                                "soils: run a case file, redraw its figures.")
    p.add_argument("--version", action="version", version=f"pelorin {_version()}")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    r = sub.add_parser("run", help="run a TOML case file",
                       description="Run a TOML case file and write results.nc, settlement.csv, "
                       "summary.txt and the figures (PNG) into the output directory.")
    r.add_argument("case", help="the case file (TOML)")
    r.add_argument("--out", metavar="DIR", help="output directory (default: CASE-results)")
    r.add_argument("--no-plots", action="store_true", help="write no figures")
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
    q.set_defaults(func=_plot)
    w = sub.add_parser("sweep", help="run a case many times with uncertain parameters on Dask",
                       description="Run the case's [sweep]: the uncertain parameters of its "
                       "[[sweep.vary]] tables drawn from their distributions, every sample an "
                       "independent run on Dask (a local cluster over this machine's cores, "
                       "or --scheduler). Writes sweep.nc, percentiles.csv, summary.txt and "
                       "settlement_band.png.")
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
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Entry point of the `pelorin` command; returns the exit status."""
    args = parser().parse_args(argv)
    try:
        return int(args.func(args))
    except BrokenPipeError:     # output piped into a pager or head that closed
        sys.stdout = open(os.devnull, "w")
        return 0


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
