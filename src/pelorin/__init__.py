"""pelorin: consolidation settlement of soft soils, from Python, by a sound C++ engine.

`run` takes the keywords of `Pelorin.compute` and returns an xarray Dataset;
`run_elements` takes a column element by element; `ConvergenceError` carries
the partial results of a run that cannot go on.
"""
from ._run import ConvergenceError, run, run_elements

__all__ = ["run", "run_elements", "ConvergenceError"]
