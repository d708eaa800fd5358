"""The run engine's binding (C++): a column given element by element."""
from typing import Any, Callable, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

ArrayLike = npt.ArrayLike

DEFAULTS: dict[str, Any]

class InputError(ValueError):
    parameter: str
    index: Optional[int]

def prepare(depth: ArrayLike, elements: Mapping[str, ArrayLike], qo: float,
            gammaw: float = ..., drainagetype: int = ...,
            check_history: bool = ...,
            initial_boundary: Optional[Mapping[str, float]] = ...) -> dict[str, np.ndarray]: ...

def solve(depth: ArrayLike, elements: Mapping[str, ArrayLike], qo: float, time: ArrayLike,
          loadfactor: ArrayLike, *, gammaw: float = ..., drainagetype: int = ...,
          rtol: float = ..., max_substeps: int = ..., max_newton: int = ...,
          progress: Optional[Callable[[float, float], Any]] = ...,
          node_dsigv: Optional[ArrayLike] = ..., node_ru: Optional[ArrayLike] = ...,
          check_history: bool = ..., loads: Optional[list[Mapping[str, Any]]] = ...,
          boundary: Optional[Mapping[str, Mapping[str, ArrayLike]]] = ...,
          fills: Optional[list[Mapping[str, Any]]] = ...,
          initial_boundary: Optional[Mapping[str, float]] = ...,
          drains: Optional[Mapping[str, Any]] = ...,
          keep: Optional[Sequence[str]] = ...) -> dict[str, Any]: ...

def solve_many(runs: list[Mapping[str, Any]]) -> list[dict[str, Any]]: ...
