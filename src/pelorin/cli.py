"""The `pelorin` command: run a case file, redraw a result's figures.

    pelorin run CASE.toml [--out DIR] [--no-plots]
    pelorin plot DIR/results.nc [--out DIR]

Exit status: 0 done, 1 the run failed (partial results are written),
2 a bad case file or argument (one line on stderr naming the file and key).
"""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Optional, Sequence

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
            from tqdm import tqdm
            self.bar = tqdm(total=total, file=sys.stderr, delay=1.0, unit="day",
                            unit_scale=False, dynamic_ncols=True, leave=False,
                            bar_format="{l_bar}{bar}| {n:.4g}/{total:.4g} days "
                                       "[{elapsed}<{remaining}]")
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _write(result, out: str, plots: bool) -> list[str]:
    os.makedirs(out, exist_ok=True)
    paths = [os.path.join(out, name) for name in ("results.nc", "settlement.csv", "summary.txt")]
    result.to_netcdf(paths[0])
    result.to_csv(paths[1])
    with open(paths[2], "w") as f:
        f.write(result.summary() + "\n")
    if plots:
        from .plots import plot_all
        paths += plot_all(result, out)
    return paths


def _run(args: argparse.Namespace) -> int:
    import pelorin
    from .casefile import CaseError, read_case
    from .model import ParameterError

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
    except pelorin.ConvergenceError as err:
        partial = getattr(err, "result", None)
        message = f"{args.case}: the run stopped: {err}"
        if partial is not None:
            paths = _write(partial, out, plots=False)
            message += f"; results up to then in {paths[0]}"
        return _fail(message, 1)
    finally:
        progress.close()
    paths = _write(result, out, plots=not args.no_plots)
    print(result.summary())
    print()
    print(f"results: {', '.join(p for p in paths if not p.endswith('.png'))}")
    figures = [p for p in paths if p.endswith(".png")]
    if figures:
        print(f"figures: {', '.join(figures)}")
    return 0


def _plot(args: argparse.Namespace) -> int:
    from .plots import plot_all
    from .result import open_result

    try:
        result = open_result(args.result)
    except (OSError, ValueError) as err:
        msg = str(err) if str(err).startswith(args.result) else f"{args.result}: {err}"
        return _fail(f"{msg}")
    out = args.out or os.path.dirname(os.path.abspath(args.result))
    paths = plot_all(result, out)
    print("figures: " + ", ".join(paths))
    return 0


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version
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
    q = sub.add_parser("plot", help="redraw the figures of a results.nc",
                       description="Redraw the figures of a saved result.")
    q.add_argument("result", help="a results.nc written by `pelorin run`")
    q.add_argument("--out", metavar="DIR", help="where to write (default: next to the file)")
    q.set_defaults(func=_plot)
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
