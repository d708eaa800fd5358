"""Probability distributions of uncertain soil parameters, and correlated sampling.

Each distribution maps a standard normal variate to a parameter value through its
quantile function, so that correlation between parameters is imposed once, on the
normal variates (a Gaussian copula), whatever the marginal distributions are.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Mapping, Optional, Sequence, Union

import numpy as np

from .errors import ParameterError

__all__ = ["Normal", "LogNormal", "Uniform", "Distribution", "draw"]


def _phi(z: np.ndarray) -> np.ndarray:
    """Standard normal cumulative distribution function."""
    erf = np.vectorize(math.erf, otypes=[float])
    return 0.5 * (1.0 + erf(np.asarray(z, dtype=float) / math.sqrt(2.0)))


@dataclass(frozen=True)
class Normal:
    """Normal distribution of a parameter.

    Parameters
    ----------
    mean : float
        Mean value.
    sd : float, optional
        Standard deviation (> 0). Give either `sd` or `cov`.
    cov : float, optional
        Coefficient of variation, sd / |mean| (> 0): ``Normal(0.5, cov=0.2)`` is Cc = 0.5 ± 20 %.
    """

    mean: float
    sd: Optional[float] = None
    cov: Optional[float] = None

    def __post_init__(self) -> None:
        if (self.sd is None) == (self.cov is None):
            raise ParameterError("Normal", "sd", "or cov: give exactly one",
                                 phrase="give exactly one of sd and cov")
        if self.cov is not None:
            if not self.cov > 0:
                raise ParameterError("Normal", "cov", f"must be > 0, got {self.cov!r}")
            object.__setattr__(self, "sd", abs(self.mean) * self.cov)
        if not self.sd > 0:  # type: ignore[operator]
            raise ParameterError("Normal", "sd", f"must be > 0, got {self.sd!r}")

    def quantile(self, z: np.ndarray) -> np.ndarray:
        return self.mean + self.sd * np.asarray(z, dtype=float)  # type: ignore[operator]


@dataclass(frozen=True)
class LogNormal:
    """Lognormal distribution of a positive parameter (permeability, typically).

    Parameters
    ----------
    median : float
        Median value (> 0).
    sigma_log10 : float, optional
        Standard deviation of log10 of the parameter: 0.5 puts 68 % of the values within a
        factor of about 3.2 of the median, 1.0 within an order of magnitude.
    cov : float, optional
        Coefficient of variation of the parameter itself, as an alternative to `sigma_log10`.
    """

    median: float
    sigma_log10: Optional[float] = None
    cov: Optional[float] = None

    def __post_init__(self) -> None:
        if not self.median > 0:
            raise ParameterError("LogNormal", "median", f"must be > 0, got {self.median!r}")
        if (self.sigma_log10 is None) == (self.cov is None):
            raise ParameterError("LogNormal", "sigma_log10", "or cov: give exactly one",
                                 phrase="give exactly one of sigma_log10 and cov")
        if self.cov is not None:
            if not self.cov > 0:
                raise ParameterError("LogNormal", "cov", f"must be > 0, got {self.cov!r}")
            object.__setattr__(self, "sigma_log10",
                               math.sqrt(math.log1p(self.cov ** 2)) / math.log(10.0))
        if not self.sigma_log10 > 0:  # type: ignore[operator]
            raise ParameterError("LogNormal", "sigma_log10",
                                 f"must be > 0, got {self.sigma_log10!r}")

    def quantile(self, z: np.ndarray) -> np.ndarray:
        return self.median * 10.0 ** (self.sigma_log10 * np.asarray(z, dtype=float))  # type: ignore[operator]


@dataclass(frozen=True)
class Uniform:
    """Uniform distribution between `low` and `high` (low < high)."""

    low: float
    high: float

    def __post_init__(self) -> None:
        if not self.low < self.high:
            raise ParameterError("Uniform", "low", f"must be below high, got {self.low!r} and "
                                 f"{self.high!r}")

    def quantile(self, z: np.ndarray) -> np.ndarray:
        return self.low + (self.high - self.low) * _phi(z)


Distribution = Union[Normal, LogNormal, Uniform]


def draw(distributions: Mapping[str, Distribution], samples: int, seed: int,
         correlation: Optional[Union[Sequence[Sequence[float]], np.ndarray]] = None
         ) -> dict:
    """Draw `samples` values of every parameter.

    Parameters
    ----------
    distributions : mapping of name to distribution
        The uncertain parameters, in a fixed order (the order of the correlation matrix).
    samples : int
        Number of samples (>= 1).
    seed : int
        Seed of NumPy's default generator: the same seed gives the same samples.
    correlation : (n, n) array, optional
        Correlation matrix of the parameters' underlying standard normal variates
        (symmetric, unit diagonal, positive definite). Independent when omitted.

    Returns
    -------
    dict of name to float64 array of `samples` values.
    """
    names = list(distributions)
    if int(samples) != samples or samples < 1:
        raise ParameterError("sweep", "samples", f"must be a positive integer, got {samples!r}")
    samples = int(samples)
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((samples, len(names)))
    if correlation is not None:
        c = np.asarray(correlation, dtype=float)
        if c.shape != (len(names), len(names)):
            raise ParameterError("sweep", "correlation", f"must be a {len(names)} x {len(names)} "
                                 f"matrix (one row per uncertain parameter: {names}), got "
                                 f"shape {c.shape}")
        if not np.allclose(c, c.T) or not np.allclose(np.diag(c), 1.0) or np.any(np.abs(c) > 1):
            raise ParameterError("sweep", "correlation", "must be symmetric with a unit diagonal "
                                 "and entries within [-1, 1]")
        try:
            chol = np.linalg.cholesky(c)
        except np.linalg.LinAlgError:
            raise ParameterError("sweep", "correlation", "must be positive definite") from None
        z = z @ chol.T
    return {name: distributions[name].quantile(z[:, k]) for k, name in enumerate(names)}
