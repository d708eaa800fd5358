"""Back-analysis: fit a profile's parameters to monitoring readings, and predict on.

`calibrate` minimises the weighted squared misfit of the model's settlement, layer
compression and excess pore pressure to the readings (each divided by its standard
error) with `scipy.optimize.least_squares` (trust-region reflective, bounded), the
engine as the forward model.  Parameters are fitted in the unit interval of their
range (on log10 for the ones given as "log"), so that one finite-difference step
fits all of them; the Jacobian's columns are independent runs and go to threads
(the engine runs without the GIL) or to a Dask client.  At the optimum the
linearised covariance (J^T J)^-1 gives standard errors and 95 % intervals
(Bard 1974, Nonlinear parameter estimation, ch. 7); a parameter whose interval
would be wider than its range, or that lies along a near-null direction of J, is
reported as not identifiable from the readings.  `method="mcmc"` samples the
posterior with emcee's affine-invariant ensemble (Foreman-Mackey et al. 2013, PASP
125) under uniform priors over the ranges, started about the least-squares optimum.

`Fit.predict` runs the fitted model on and draws parameter sets from the fitted
distribution through `pelorin.sweep` (a Gaussian copula in the fit's own variables:
lognormal for "log" parameters) for P10/P50/P90 bands.
"""
from __future__ import annotations

import dataclasses
import math
import os
import time as _clock
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np
import xarray as xr

from ._batches import Failure, run_batches
from ._call import InputError, solve_many
from ._distributions import LogNormal, Normal, Uniform
from ._run import reached
from ._simulate import ENGINE_OPTIONS, plan, refused, simulate
from ._sweep import SweepResult, _targets, _with_values, sweep
from .errors import ParameterError
from .model import LAYER_PARAMETERS, Loading, Profile
from .observations import Observations, as_observations, check_depths, model_values

__all__ = ["calibrate", "Fit", "Prediction", "FitParameter", "IdentifiabilityWarning",
           "CalibrationError"]

# Finite-difference step of the Jacobian, in the unit interval of a parameter's range.
# The engine's adaptive steps make its output a little rough in the parameters (about
# 1e-5 of the settlement at the default tolerance); a step of a two-hundredth of the
# range keeps that well below the change it measures.
FD_STEP = 5e-3
# A parameter is not identifiable when its linearised 95 % interval is wider than its
# range, or when it weighs in a direction of J whose singular value is below this
# share of the largest.
SINGULAR = 1e-6
# The standard errors of series given without one start from a share of their spread.
_START_SD = 0.05
_PENALTY = 1e4   # standardised residual of a run that fails at a trial point


class IdentifiabilityWarning(UserWarning):
    """A fitted parameter the readings do not determine."""


class CalibrationError(RuntimeError):
    """A fit that cannot be made (the model fails at the starting point, say)."""


@dataclass(frozen=True)
class FitParameter:
    """A parameter to fit: ``"<layer>.<parameter>"``, its range and its scale."""

    name: str
    low: float
    high: float
    log: bool

    def x(self, value: Any) -> Any:
        return np.log10(value) if self.log else np.asarray(value, dtype=float)

    def value(self, x: Any) -> Any:
        return 10.0 ** np.asarray(x) if self.log else np.asarray(x, dtype=float)

    @property
    def bounds_x(self) -> tuple[float, float]:
        return float(self.x(self.low)), float(self.x(self.high))


def parse_vary(vary: Any) -> list[FitParameter]:
    """The parameters of `calibrate`'s `vary`: (name, (low, high)[, "log"|"linear"])
    items, or a mapping of name to (low, high[, scale]); kref is fitted on log10 unless
    told otherwise."""
    if isinstance(vary, Mapping):
        # {name: (low, high)}, {name: (low, high, scale)} or {name: ((low, high), scale)}
        items: list[tuple] = []
        for k, v in vary.items():
            v = tuple(v) if isinstance(v, (tuple, list)) else (v,)
            if len(v) == 3:
                items.append((k, v[:2], v[2]))
            elif len(v) == 2 and isinstance(v[1], str):
                items.append((k, v[0], v[1]))
            else:
                items.append((k, v))
    else:
        items = list(vary) if vary is not None else []
    if not items:
        raise ParameterError("calibrate", "vary", "must name at least one parameter, as "
                             "[(\"clay.kref\", (1e-10, 1e-8), \"log\"), ...]")
    out: list[FitParameter] = []
    for i, item in enumerate(items):
        if isinstance(item, str) or not isinstance(item, (tuple, list)) or len(item) not in (2, 3):
            raise ParameterError("calibrate", f"vary[{i}]", "must be (name, (low, high)) or "
                                 f"(name, (low, high), \"log\"|\"linear\"); got {item!r}")
        name, rng = item[0], item[1]
        scale = item[2] if len(item) == 3 else ("log" if str(name).endswith("kref")
                                                  else "linear")
        if not isinstance(name, str) or not name:
            raise ParameterError("calibrate", f"vary[{i}]", f"the name must be text "
                                 f"(\"<layer>.<parameter>\"); got {name!r}")
        if scale not in ("log", "linear"):
            raise ParameterError("calibrate", f"vary[{i}]", f"{name!r}: the scale must be "
                                 f"\"log\" or \"linear\"; got {scale!r}")
        try:
            low, high = (float(v) for v in rng)
        except (TypeError, ValueError):
            raise ParameterError("calibrate", f"vary[{i}]", f"{name!r}: the range must be two "
                                 f"numbers (low, high); got {rng!r}") from None
        if not (math.isfinite(low) and math.isfinite(high) and low < high):
            raise ParameterError("calibrate", f"vary[{i}]", f"{name!r}: the range must have "
                                 f"low < high; got ({low:g}, {high:g})")
        if scale == "log" and low <= 0:
            raise ParameterError("calibrate", f"vary[{i}]", f"{name!r}: a log-scaled range "
                                 f"must be positive; got ({low:g}, {high:g})")
        if name in [p.name for p in out]:
            raise ParameterError("calibrate", f"vary[{i}]", f"{name!r} is named twice")
        out.append(FitParameter(name, low, high, scale == "log"))
    return out


def _layer_value(profile: Profile, target: tuple) -> float:
    index, field = target
    layer = profile.layers[index]
    return float(getattr(layer, field) if field in LAYER_PARAMETERS else getattr(layer.soil, field))


# ----------------------------------------------------------- the forward model ------

def _model_vector(item: tuple) -> np.ndarray:
    """The model's value of every reading of one parameter set (concatenated)."""
    return _model_vectors([item])[0]


def _model_vectors(items: Sequence[tuple]) -> list:
    """The model's readings for every item (profile, loading, times, options, targets,
    values, observations), or the exception it fails with; the runs in one engine call,
    without the GIL.  A module-level function of its items alone, for Dask."""
    out: list = [None] * len(items)
    plans = []
    for i, (profile, loading, times, options, targets, values, obs) in enumerate(items):
        try:
            p = plan(_with_values(profile, targets, values), loading, times, 10, options,
                     caller="calibrate")
            plans.append((i, p, obs))
        except Exception as exc:
            out[i] = exc
    if plans:
        try:
            results = solve_many([p.job for _, p, _ in plans])
        except Exception as exc:   # out of memory, say: these runs fail
            results = [exc] * len(plans)
        for (i, p, obs), res in zip(plans, results):
            try:
                if isinstance(res, InputError):
                    raise refused(res, p, "calibrate")
                if isinstance(res, Exception):
                    raise res
                reached(res, p.job)
                time = np.r_[0.0, p.time]
                out[i] = np.concatenate(model_values(obs, time, p.job.depth, res["z"], res["u"],
                                                     res["settlement"]))
            except Exception as exc:
                out[i] = exc
    return out


def _batch_outcomes(items: Sequence[tuple]) -> list:
    return [Failure.of(v) if isinstance(v, Exception) else v for v in _model_vectors(items)]


class _Forward:
    """Runs of the forward model: serial, on threads or on a Dask client; counts them."""

    def __init__(self, profile: Profile, loading: Loading, obs: Observations,
                 params: Sequence[FitParameter], options: dict, workers: int, client: Any):
        self.profile, self.obs, self.params = profile, obs, list(params)
        self.targets = _targets_for(profile, [p.name for p in params])
        self.options, self.workers, self.client = options, workers, client
        last = float(obs.times[-1])
        if last <= 0:
            raise ParameterError("calibrate", "observations", "must hold readings after time 0")
        if loading.end is not None and last > loading.end * (1 + 1e-12):
            raise ParameterError("calibrate", "observations", f"run to {last:g} days, beyond "
                                 f"the loading's end ({loading.end:g} days)")
        # Stages that start after the last reading do not change the readings.
        stages = [s for s in loading.stages if s.time < last]
        if not stages:
            raise ParameterError("calibrate", "observations", "all lie before the first "
                                 f"stage ({loading.stages[0].time:g} days)")
        self.loading = Loading(stages)
        self.times = obs.times[obs.times > 0]
        self.runs = 0

    def items(self, xs: Sequence[np.ndarray]) -> list[tuple]:
        return [(self.profile, self.loading, self.times, self.options, self.targets,
                 tuple(float(p.value(x)) for p, x in zip(self.params, xv)), self.obs)
                for xv in xs]

    def __call__(self, xs: Sequence[np.ndarray]) -> list:
        """The model's readings at every parameter vector (natural x), or an Exception."""
        items = self.items(xs)
        self.runs += len(items)
        if self.client is not None and len(items) > 1:
            outs = run_batches(_batch_outcomes, items, client=self.client, progress=False,
                               batched=True, batch_size=1)
            return [RuntimeError(str(o)) if isinstance(o, Failure) else o for o in outs]
        n = min(self.workers, len(items))
        if n <= 1:
            return _model_vectors(items)
        chunks = [items[k::n] for k in range(n)]
        with ThreadPoolExecutor(n) as pool:
            parts = list(pool.map(_model_vectors, chunks))
        out: list = [None] * len(items)
        for k, part in enumerate(parts):
            out[k::n] = part
        return out


def _targets_for(profile: Profile, names: list[str]) -> list:
    try:
        return _targets(profile, names)
    except ParameterError as err:
        raise ParameterError("calibrate", "vary", err.problem) from None


# ------------------------------------------------------------------- the fit --------

@dataclass
class _Problem:
    forward: _Forward
    params: list
    lo: np.ndarray      # bounds in x (log10 for log parameters)
    width: np.ndarray
    observed: np.ndarray
    sd: np.ndarray      # standard error of every reading (estimated where unknown)
    step: float
    central: bool

    def x(self, q: np.ndarray) -> np.ndarray:
        return self.lo + self.width * q

    def residuals(self, models: list) -> list:
        return [m if isinstance(m, Exception) else (m - self.observed) / self.sd for m in models]


class _Objective:
    """Standardised residuals and their Jacobian in the unit cube, with the model runs
    of one point shared between the two (least_squares asks for both at each point).

    Run in parallel, the residuals at a new point come with the Jacobian's columns
    there in the same batch: least_squares accepts most trial points and then asks for
    the Jacobian, so the columns cost no wall time of their own; a rejected point
    wastes its columns' runs but, in parallel, little time."""

    def __init__(self, prob: _Problem, speculate: bool = False):
        self.prob = prob
        self.speculate = speculate
        self.cache: dict = {}

    def _key(self, q: np.ndarray) -> bytes:
        return np.asarray(q, dtype=np.float64).tobytes()

    def models(self, qs: list) -> list:
        todo = [q for q in qs if self._key(q) not in self.cache]
        if todo:
            for q, m in zip(todo, self.prob.forward([self.prob.x(q) for q in todo])):
                self.cache[self._key(q)] = m
        return [self.cache[self._key(q)] for q in qs]

    def _steps(self, q: np.ndarray) -> tuple[np.ndarray, list]:
        """The finite-difference steps at q (into the range) and the points they need."""
        p = q.size
        h = np.full(p, self.prob.step)
        h = np.where(q + h > 1.0, -h, h)
        points = [q.copy()]
        for j in range(p):
            e = np.zeros(p)
            e[j] = h[j]
            points.append(q + e)
            if self.prob.central:
                points.append(q - e)
        return h, points

    def fun(self, q: np.ndarray) -> np.ndarray:
        if self.speculate and self._key(q) not in self.cache:
            self.models(self._steps(q)[1])
        (m,) = self.models([q])
        if isinstance(m, Exception):
            return np.full(self.prob.observed.size, _PENALTY)
        return (m - self.prob.observed) / self.prob.sd

    def jac(self, q: np.ndarray) -> np.ndarray:
        prob = self.prob
        p = q.size
        h, points = self._steps(q)
        ms = self.models(points)
        base = ms[0]
        if isinstance(base, Exception):
            raise CalibrationError(f"the model fails at a point of the fit: {base}")
        J = np.zeros((prob.observed.size, p))
        for j in range(p):
            if prob.central:
                up, down = ms[1 + 2 * j], ms[2 + 2 * j]
                if not isinstance(up, Exception) and not isinstance(down, Exception):
                    J[:, j] = (up - down) / (2 * h[j])
                    continue
                other = up if not isinstance(up, Exception) else down
                sign = 1.0 if other is up else -1.0
            else:
                other, sign = ms[1 + j], 1.0
            if isinstance(other, Exception):
                # The other side of the point.
                (other,) = self.models([q - sign * h * (np.arange(p) == j)])
                sign = -sign
                if isinstance(other, Exception):
                    raise CalibrationError(f"the model fails on both sides of "
                                           f"{prob.params[j].name} = "
                                           f"{float(prob.params[j].value(prob.x(q)[j])):.4g}: "
                                           f"{other}")
            J[:, j] = sign * (other - base) / h[j]
        return J / prob.sd[:, None]


def _solve(obj: _Objective, q0: np.ndarray, max_nfev: Optional[int]) -> Any:
    from scipy.optimize import least_squares

    return least_squares(obj.fun, q0, jac=obj.jac, bounds=(0.0, 1.0), method="trf",
                         x_scale=1.0, max_nfev=max_nfev, xtol=1e-6, ftol=1e-8, gtol=1e-8)


def _covariance(J: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(J^T J)^-1 by the SVD, infinite along near-null directions; the singular values
    and which parameters lie along those directions."""
    _, s, vt = np.linalg.svd(J, full_matrices=False)
    p = J.shape[1]
    if s.size == 0 or s[0] == 0:
        return np.full((p, p), np.inf), s, np.ones(p, bool)
    null = s < SINGULAR * s[0]
    keep = ~null
    v = vt.T
    C = (v[:, keep] / s[keep] ** 2) @ v[:, keep].T
    weak = np.zeros(p, bool)
    if null.any():
        weak = np.any(np.abs(v[:, null]) > 0.3, axis=1)
        C[weak, :] = np.inf
        C[:, weak] = np.inf
    return C, s, weak


def calibrate(profile: Profile, loading: Loading, observations: Any, vary: Any, *,
              method: str = "least_squares", workers: Optional[int] = None,
              client: Any = None, jacobian: str = "2-point", step: float = FD_STEP,
              max_nfev: Optional[int] = 100, walkers: Optional[int] = None,
              steps: int = 600, burn: Optional[int] = None, seed: int = 0,
              warn: bool = True, **options: Any) -> "Fit":
    """Fit parameters of a profile to monitoring readings.

    Parameters
    ----------
    profile, loading : Profile, Loading
        The design model: every parameter not fitted keeps its value; the fit starts
        from the design values (the middle of a range that does not hold one).
    observations : Observations, str or path-like
        The readings, or a CSV file of them (see `pelorin.Observations`).
    vary : sequence
        The parameters to fit: ``("<layer>.<parameter>", (low, high))`` or
        ``("<layer>.<parameter>", (low, high), "log")``, layers named as in
        `pelorin.sweep`; a ``"log"`` parameter is fitted on log10 (the default for
        kref).  The range bounds the fit (and is the prior of ``method="mcmc"``).
    method : {"least_squares", "mcmc"}
        Weighted least squares (scipy's trust-region reflective), or also a Bayesian
        posterior by emcee (uniform priors over the ranges) started at its optimum.
    workers : int, optional
        Threads for the Jacobian's columns (default: the machine's cores; 1: serial).
    client : distributed.Client, optional
        Run the Jacobian's columns on this Dask cluster instead (costly models).
    jacobian : {"2-point", "3-point"}
        Forward or central differences (twice the runs).
    step : float
        Finite-difference step, as a share of each parameter's range (on log10 for
        "log" parameters).
    max_nfev : int, optional
        Limit on the least-squares iterations (100).
    walkers, steps, burn, seed
        For ``method="mcmc"``: ensemble size (default 4 per parameter, at least 8),
        steps per walker, steps discarded (default a third), seed.
    warn : bool
        Warn (`IdentifiabilityWarning`) about parameters the readings do not determine.
    **options
        Engine options (``rtol``, ``max_substeps``, ``max_newton``).

    Returns
    -------
    Fit
        Fitted values, covariance, 95 % intervals, residuals, goodness of fit.

    Raises
    ------
    ParameterError
        A parameter, range, reading or option cannot be used.
    CalibrationError
        The model cannot be run at the starting point.
    """
    if not isinstance(profile, Profile):
        raise ParameterError("calibrate", "profile", f"must be a Profile; got "
                             f"{type(profile).__name__}")
    if not isinstance(loading, Loading):
        raise ParameterError("calibrate", "loading", f"must be a Loading; got "
                             f"{type(loading).__name__}")
    if method not in ("least_squares", "mcmc"):
        raise ParameterError("calibrate", "method", f"must be \"least_squares\" or \"mcmc\"; "
                             f"got {method!r}")
    if jacobian not in ("2-point", "3-point"):
        raise ParameterError("calibrate", "jacobian", f"must be \"2-point\" or \"3-point\"; "
                             f"got {jacobian!r}")
    if not (isinstance(step, (int, float)) and 0 < step < 0.5):
        raise ParameterError("calibrate", "step", f"must lie in (0, 0.5) (a share of the "
                             f"range); got {step!r}")
    unknown = sorted(set(options) - set(ENGINE_OPTIONS))
    if unknown:
        raise TypeError(f"calibrate() got an unexpected keyword argument {unknown[0]!r}")
    if workers is None:
        workers = os.cpu_count() or 1
    elif isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ParameterError("calibrate", "workers", f"must be a whole number of at least 1; "
                             f"got {workers!r}")
    obs = as_observations(observations)
    if len(obs) == 0:
        raise ParameterError("calibrate", "observations", "hold no readings")
    check_depths(obs, profile.thickness)
    params = parse_vary(vary)
    if len(obs) < len(params):
        raise ParameterError("calibrate", "observations", f"hold {len(obs)} readings, fewer "
                             f"than the {len(params)} parameters fitted")
    started = _clock.perf_counter()
    forward = _Forward(profile, loading, obs, params, dict(options), workers, client)
    design = np.array([_layer_value(profile, t) for t in forward.targets])
    lo = np.array([p.bounds_x[0] for p in params])
    hi = np.array([p.bounds_x[1] for p in params])
    x_design = np.array([float(p.x(v)) for p, v in zip(params, design)])
    q0 = np.where((x_design >= lo) & (x_design <= hi), (x_design - lo) / (hi - lo), 0.5)
    observed = np.concatenate([s.value for s in obs])
    known = np.concatenate([np.full(len(s), s.sd is not None) for s in obs])
    sd = np.concatenate([s.sd if s.sd is not None else
                         np.full(len(s), _START_SD * max(np.ptp(s.value), np.abs(s.value).max(),
                                                         1e-12))
                         for s in obs])
    prob = _Problem(forward, params, lo, hi - lo, observed, sd, float(step),
                    jacobian == "3-point")
    obj = _Objective(prob, speculate=workers > 1 or client is not None)
    obj.fun(q0)
    (m0,) = obj.models([q0])
    if isinstance(m0, Exception):
        raise CalibrationError(f"the model cannot be run at the starting point: {m0}") from m0
    sol = _solve(obj, q0, max_nfev)
    estimated: dict = {}
    if not known.all():
        # Series without a standard error: one each, from the scatter about the first
        # fit (n_s - p n_s / n degrees of freedom), then the fit again with them.
        for _ in range(2):
            (m,) = obj.models([sol.x])
            at = 0
            for s in obs:
                k = slice(at, at + len(s))
                at += len(s)
                if s.sd is None:
                    dof = max(len(s) * (1.0 - len(params) / observed.size), 1.0)
                    est = float(np.sqrt(np.sum((m[k] - observed[k]) ** 2) / dof))
                    est = max(est, 1e-9 * max(np.abs(observed[k]).max(), 1e-12))
                    prob.sd[k] = est
                    estimated[s.name] = est
            obj.cache.clear()
            sol = _solve(obj, sol.x, max_nfev)
    q = np.clip(sol.x, 0.0, 1.0)
    J = obj.jac(q)
    (m_hat,) = obj.models([q])
    fit = _summarise(prob, q, J, m_hat, design, estimated, sol)
    if method == "mcmc":
        fit._posterior(_mcmc(obj, q, J, walkers, int(steps), burn, int(seed)))
    fit.runs = forward.runs
    fit.wall_time = _clock.perf_counter() - started
    fit.profile_design, fit.loading, fit.observations = profile, loading, obs
    fit.options = dict(options)
    fit.profile = _with_values(profile, forward.targets, list(fit.values.values()))
    if warn:
        weak = [p.name for p in params if not fit.identifiable[p.name]]
        if weak:
            warnings.warn(f"calibrate: not identifiable from the readings: "
                          f"{', '.join(weak)} (the readings hardly depend on "
                          f"{'it' if len(weak) == 1 else 'them'} within the range given, or "
                          "only in a combination with another parameter); "
                          f"{'its value is' if len(weak) == 1 else 'their values are'} "
                          "not determined", IdentifiabilityWarning, stacklevel=2)
    return fit


def _summarise(prob: _Problem, q: np.ndarray, J: np.ndarray, m: np.ndarray,
               design: np.ndarray, estimated: dict, sol: Any) -> "Fit":
    from scipy import stats

    n, p = J.shape
    Cq, singular, weak = _covariance(J)
    sd_q = np.sqrt(np.diag(Cq))
    with np.errstate(invalid="ignore"):
        identifiable = ~weak & (sd_q < 0.25)
    x = prob.x(q)
    Cx = Cq * np.outer(prob.width, prob.width)
    Cx[~np.isfinite(Cx)] = np.inf
    sd_x = sd_q * prob.width
    dof = n - p
    quantile = float(stats.t.ppf(0.975, max(dof, 1))) if estimated else float(stats.norm.ppf(0.975))
    low_x = np.clip(x - quantile * sd_x, prob.lo, prob.lo + prob.width)
    high_x = np.clip(x + quantile * sd_x, prob.lo, prob.lo + prob.width)
    r = (m - prob.observed) / prob.sd
    chi2 = float(r @ r)
    return Fit(params=list(prob.params), x=x, covariance=Cx, sd_x=sd_x,
               values={p.name: float(p.value(xi)) for p, xi in zip(prob.params, x)},
               design={p.name: float(v) for p, v in zip(prob.params, design)},
               interval={p.name: (float(p.value(a)), float(p.value(b)))
                         for p, a, b in zip(prob.params, low_x, high_x)},
               identifiable={p.name: bool(i) for p, i in zip(prob.params, identifiable)},
               model=m, observed=prob.observed, sd=prob.sd.copy(), chi2=chi2, dof=dof,
               p_value=float(stats.chi2.sf(chi2, dof)) if dof > 0 else math.nan,
               singular_values=singular, sd_estimated=estimated, status=int(sol.status),
               message=str(sol.message), iterations=int(sol.nfev), jacobian=J * prob.sd[:, None] / prob.width)


def _mcmc(obj: _Objective, q: np.ndarray, J: np.ndarray, walkers: Optional[int], steps: int,
          burn: Optional[int], seed: int) -> np.ndarray:
    """Posterior samples in the unit cube (uniform priors over the ranges)."""
    try:
        import emcee
    except ImportError:
        raise CalibrationError("method=\"mcmc\" needs emcee (Debian: python3-emcee)") from None
    p = q.size
    nw = walkers if walkers is not None else max(8, 4 * p)
    if nw < 2 * p or nw % 2:
        raise ParameterError("calibrate", "walkers", f"must be even and at least {2 * p}; "
                             f"got {nw}")
    if steps < 2:
        raise ParameterError("calibrate", "steps", f"must be at least 2; got {steps}")
    prob = obj.prob

    def log_prob(qs: np.ndarray) -> np.ndarray:
        qs = np.atleast_2d(qs)
        out = np.full(len(qs), -np.inf)
        inside = np.all((qs >= 0) & (qs <= 1), axis=1)
        idx = np.flatnonzero(inside)
        if idx.size:
            ms = prob.forward([prob.x(qs[i]) for i in idx])
            for i, m in zip(idx, ms):
                if not isinstance(m, Exception):
                    r = (m - prob.observed) / prob.sd
                    out[i] = -0.5 * float(r @ r)
        return out

    rng = np.random.default_rng(seed)
    Cq, _, _ = _covariance(J)
    spread = np.sqrt(np.clip(np.diag(Cq), 0, 0.01)) if np.all(np.isfinite(Cq)) \
        else np.full(p, 0.05)
    spread = np.where(np.isfinite(spread) & (spread > 0), spread, 0.05)
    start = np.clip(q + 0.5 * spread * rng.standard_normal((nw, p)), 1e-6, 1 - 1e-6)
    sampler = emcee.EnsembleSampler(nw, p, log_prob, vectorize=True)
    sampler.random_state = np.random.RandomState(seed).get_state()
    sampler.run_mcmc(start, steps, progress=False)
    discard = steps // 3 if burn is None else int(burn)
    return sampler.get_chain(discard=discard, flat=True)


# ------------------------------------------------------------------- results --------

class Fit:
    """A fitted model.

    Attributes
    ----------
    values : dict
        Fitted value of every parameter (natural units).
    design : dict
        Its design value (the profile given).
    interval : dict
        95 % interval of every parameter, (low, high), within its range.
    identifiable : dict
        False for a parameter the readings do not determine.
    covariance : ndarray
        Covariance of the fitted parameters in the fit's variables (log10 of the "log"
        parameters); `covariance_frame()` labels it.
    sd_x : ndarray
        Standard errors in those variables (decades for "log" parameters).
    chi2, dof, p_value, reduced_chi2
        Goodness of fit: the weighted sum of squares, its degrees of freedom, the
        probability of a larger one (meaningful with given standard errors), chi2/dof.
    residuals : ndarray
        Model minus reading, per reading (the unit of the reading).
    sd_estimated : dict
        The standard error estimated for each series given without one.
    runs, wall_time
        Engine runs and seconds the fit took.
    profile : Profile
        The profile with the fitted values.
    samples : ndarray or None
        With ``method="mcmc"``: posterior samples (natural units, one row each).
    """

    def __init__(self, *, params: list, x: np.ndarray, covariance: np.ndarray,
                 sd_x: np.ndarray, values: dict, design: dict, interval: dict,
                 identifiable: dict, model: np.ndarray, observed: np.ndarray, sd: np.ndarray,
                 chi2: float, dof: int, p_value: float, singular_values: np.ndarray,
                 sd_estimated: dict, status: int, message: str, iterations: int,
                 jacobian: np.ndarray) -> None:
        self.params, self.x, self.covariance, self.sd_x = params, x, covariance, sd_x
        self.values, self.design, self.interval = values, design, interval
        self.identifiable, self.model, self.observed, self.sd = identifiable, model, observed, sd
        self.chi2, self.dof, self.p_value = chi2, dof, p_value
        self.singular_values, self.sd_estimated = singular_values, sd_estimated
        self.status, self.message, self.iterations = status, message, iterations
        self.jacobian = jacobian
        self.method = "least_squares"
        self.samples: Optional[np.ndarray] = None
        self.runs = 0
        self.wall_time = 0.0
        self.profile: Profile
        self.profile_design: Profile
        self.loading: Loading
        self.observations: Observations
        self.options: dict = {}

    def _posterior(self, qs: np.ndarray) -> None:
        lo = np.array([p.bounds_x[0] for p in self.params])
        hi = np.array([p.bounds_x[1] for p in self.params])
        xs = lo + (hi - lo) * qs
        self.method = "mcmc"
        self.samples = np.column_stack([p.value(xs[:, j]) for j, p in enumerate(self.params)])
        self.x = np.median(xs, axis=0)
        self.covariance = np.atleast_2d(np.cov(xs, rowvar=False))
        self.sd_x = np.sqrt(np.diag(self.covariance))
        lo95, hi95 = np.percentile(xs, [2.5, 97.5], axis=0)
        self.values = {p.name: float(p.value(v)) for p, v in zip(self.params, self.x)}
        self.interval = {p.name: (float(p.value(a)), float(p.value(b)))
                         for p, a, b in zip(self.params, lo95, hi95)}
        width = (hi95 - lo95) / (hi - lo)
        self.identifiable = {p.name: bool(self.identifiable[p.name] and w < 0.95)
                             for p, w in zip(self.params, width)}

    @property
    def names(self) -> list[str]:
        return [p.name for p in self.params]

    @property
    def reduced_chi2(self) -> float:
        return self.chi2 / self.dof if self.dof > 0 else math.nan

    @property
    def residuals(self) -> np.ndarray:
        return self.model - self.observed

    def __repr__(self) -> str:
        vals = ", ".join(f"{k} = {v:.4g}" for k, v in self.values.items())
        return f"<pelorin.Fit: {vals}; chi2/dof {self.reduced_chi2:.3g}>"

    def table(self) -> Any:
        """One row per parameter (pandas.DataFrame): design and fitted values, standard
        error (in the fit's variable), the 95 % interval, the range, identifiable."""
        import pandas as pd

        rows = []
        for j, p in enumerate(self.params):
            lo, hi = self.interval[p.name]
            rows.append({"parameter": p.name, "scale": "log" if p.log else "linear",
                         "design": self.design[p.name], "fitted": self.values[p.name],
                         "sd": self.sd_x[j], "low95": lo, "high95": hi, "range_low": p.low,
                         "range_high": p.high, "identifiable": self.identifiable[p.name]})
        return pd.DataFrame(rows).set_index("parameter")

    def correlation(self) -> np.ndarray:
        """Correlation of the fitted parameters (NaN for those not identifiable)."""
        C = self.covariance
        with np.errstate(invalid="ignore", divide="ignore"):
            R = C / np.outer(self.sd_x, self.sd_x)
        R[~np.isfinite(R)] = np.nan
        np.fill_diagonal(R, 1.0)
        return R

    def series_rms(self) -> dict:
        """RMS misfit of every series, in its unit."""
        out, at = {}, 0
        for s in self.observations:
            k = slice(at, at + len(s))
            at += len(s)
            out[s.name] = float(np.sqrt(np.mean(self.residuals[k] ** 2)))
        return out

    def summary(self) -> str:
        """A text table of the fit."""
        lines = [f"fit of {len(self.params)} parameters to {self.observed.size} readings "
                 f"({self.method}; {self.runs} engine runs, {self.wall_time:.2f} s)", ""]
        head = f"{'parameter':28s} {'design':>11s} {'fitted':>11s} {'95 % interval':>25s}  note"
        lines.append(head)
        for p in self.params:
            lo, hi = self.interval[p.name]
            note = "" if self.identifiable[p.name] else "not identifiable"
            lines.append(f"{p.name:28s} {self.design[p.name]:11.4g} {self.values[p.name]:11.4g} "
                         f"{lo:12.4g} - {hi:<10.4g}  {note}")
        lines.append("")
        lines.append(f"chi2 {self.chi2:.4g} on {self.dof} degrees of freedom (chi2/dof "
                     f"{self.reduced_chi2:.3g}, p = {self.p_value:.3g})")
        for s in self.observations:
            rms = self.series_rms()[s.name]
            scale = 1000.0 if s.unit == "m" else 1.0
            unit = "mm" if s.unit == "m" else s.unit
            extra = (f", sd estimated {self.sd_estimated[s.name] * scale:.3g} {unit}"
                     if s.name in self.sd_estimated else "")
            lines.append(f"  {s.name}: {len(s)} readings, rms misfit {rms * scale:.3g} {unit}"
                         f"{extra}")
        return "\n".join(lines)

    def covariance_frame(self) -> Any:
        """The covariance as a labelled pandas.DataFrame (log10 for "log" parameters)."""
        import pandas as pd
        return pd.DataFrame(self.covariance, index=self.names, columns=self.names)

    @property
    def dataset(self) -> xr.Dataset:
        """The fit as an xarray Dataset: per parameter and per reading (fit.nc)."""
        names = self.names
        ds = xr.Dataset(coords={"parameter": names, "parameter_b": names,
                                "reading": np.arange(self.observed.size)})
        tab = self.table()
        for key in ("design", "fitted", "low95", "high95", "range_low", "range_high"):
            ds[key] = ("parameter", tab[key].to_numpy(float))
        ds["sd"] = ("parameter", self.sd_x, {"long_name": "standard error (log10 for log "
                                                         "parameters)"})
        ds["scale"] = ("parameter", np.array(tab["scale"], dtype=str))
        ds["identifiable"] = ("parameter", tab["identifiable"].to_numpy(np.int8))
        cov = np.where(np.isfinite(self.covariance), self.covariance, np.nan)
        ds["covariance"] = (("parameter", "parameter_b"), cov,
                            {"long_name": "covariance of the fitted parameters (log10 for log "
                                          "parameters)"})
        frame = self.observations.to_frame()
        ds["instrument"] = ("reading", frame["instrument"].to_numpy(str))
        ds["kind"] = ("reading", frame["kind"].to_numpy(str))
        ds["time"] = ("reading", frame["time"].to_numpy(float), {"units": "day"})
        ds["depth"] = ("reading", frame["depth"].to_numpy(float), {"units": "m"})
        ds["bottom"] = ("reading", frame["bottom"].to_numpy(float), {"units": "m"})
        ds["observed"] = ("reading", self.observed, {"long_name": "reading (m or kPa)"})
        ds["model"] = ("reading", self.model, {"long_name": "fitted model (m or kPa)"})
        ds["standard_error"] = ("reading", self.sd)
        ds["residual"] = ("reading", self.residuals)
        ds.attrs.update(method=self.method, chi2=self.chi2, dof=self.dof, p_value=self.p_value,
                        reduced_chi2=self.reduced_chi2, runs=self.runs, wall_time=self.wall_time,
                        message=self.message, source="pelorin.calibrate")
        return ds

    def to_netcdf(self, path: Union[str, os.PathLike]) -> None:
        self.dataset.to_netcdf(path, engine="netcdf4")

    def distributions(self) -> tuple[dict, Optional[np.ndarray]]:
        """The fitted parameters as `pelorin.sweep` distributions and their correlation:
        lognormal for "log" parameters, normal for the others, uniform over the range for
        one not identifiable."""
        vary: dict = {}
        R = self.correlation()
        ok = np.array([self.identifiable[n] and np.isfinite(s) and s > 0
                       for n, s in zip(self.names, self.sd_x)])
        for j, p in enumerate(self.params):
            if not ok[j]:
                vary[p.name] = Uniform(p.low, p.high)
            elif p.log:
                vary[p.name] = LogNormal(float(10.0 ** self.x[j]), sigma_log10=float(self.sd_x[j]))
            else:
                vary[p.name] = Normal(float(self.x[j]), sd=float(self.sd_x[j]))
        R = np.where(np.outer(ok, ok), R, 0.0)
        np.fill_diagonal(R, 1.0)
        if len(self.params) == 1 or np.allclose(R, np.eye(len(R))):
            return vary, None
        # Keep it positive definite when two parameters are all but collinear.
        R = np.clip(R, -0.999, 0.999)
        np.fill_diagonal(R, 1.0)
        while True:
            try:
                np.linalg.cholesky(R)
                break
            except np.linalg.LinAlgError:
                R = 0.99 * R + 0.01 * np.eye(len(R))
        return vary, R

    def predict(self, end: Optional[float] = None, *, loading: Optional[Loading] = None,
                samples: int = 200, seed: int = 0, design: bool = True,
                times: Optional[Sequence[float]] = None, **sweep_options: Any) -> "Prediction":
        """Run the fitted model on, with its uncertainty.

        Parameters
        ----------
        end : float, optional
            Last day of the prediction (default: the loading's end, or the one
            `simulate` picks).
        loading : Loading, optional
            The loading to predict under (default: the fit's, all stages, including
            those after the last reading).
        samples, seed : int
            Parameter sets drawn from the fitted distribution (see `distributions`) and
            run through `pelorin.sweep`; 0 for no band.
        design : bool
            Also run the design profile, to compare.
        times : sequence of float, optional
            Output times (days).
        **sweep_options
            Passed to `pelorin.sweep` (``scheduler``, ``client``, ``workers``,
            ``progress`` ...).

        Returns
        -------
        Prediction
        """
        ld = self.loading if loading is None else loading
        if not isinstance(ld, Loading):
            raise ParameterError("predict", "loading", f"must be a Loading; got "
                                 f"{type(ld).__name__}")
        if end is not None:
            if not end > ld.stages[-1].time:
                raise ParameterError("predict", "end", f"must be after the last stage "
                                     f"({ld.stages[-1].time:g} days); got {end!r}")
            ld = dataclasses.replace(ld, end=float(end))
        fitted = simulate(self.profile, ld, times, title="fitted model", background=False,
                          **self.options)
        grid: Any = fitted.time.values[1:]
        base = simulate(self.profile_design, ld, grid, title="design", background=False,
                        **self.options) if design else None
        band = None
        if samples:
            vary, corr = self.distributions()
            kw: dict = dict(progress=False)
            kw.update(sweep_options)
            band = sweep(self.profile, ld, vary=vary, samples=samples, seed=seed,
                         correlation=corr, times=grid, title="fitted model",
                         **self.options, **kw)
        return Prediction(self, fitted, base, band)

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """The readings and the fitted model at them, one panel per kind; the Figure."""
        from . import plots
        return plots.plot_fit(self, None, path)


class Prediction:
    """The fitted model run on: `fitted` (a Result), `design` (the design profile's
    Result, or None) and `band` (a SweepResult of parameter sets drawn from the fit, or
    None)."""

    def __init__(self, fit: Fit, fitted: Any, design: Any, band: Optional[SweepResult]):
        self.fit, self.fitted, self.design, self.band = fit, fitted, design, band

    def __repr__(self) -> str:
        s = float(self.fitted.settlement[-1]) * 1000
        return f"<pelorin.Prediction: settlement {s:.0f} mm at {float(self.fitted.time[-1]):g} d>"

    def percentiles(self) -> Any:
        """Settlement P10/P50/P90 of the band, with the fitted and design runs
        (pandas.DataFrame, m, by time)."""
        import pandas as pd
        frame = pd.DataFrame({"fitted_m": self.fitted.settlement.values},
                             index=pd.Index(self.fitted.time.values, name="time_d"))
        if self.design is not None:
            frame["design_m"] = self.design.settlement.values
        if self.band is not None:
            for q, row in zip(self.band.dataset["percentile"].values,
                              self.band.dataset["settlement_percentiles"].values):
                frame[f"P{q:g}_m"] = row
        return frame

    @property
    def dataset(self) -> xr.Dataset:
        """The fit's Dataset with the prediction: settlement of the fitted and design
        runs and the band's percentiles over ``prediction_time``."""
        ds = self.fit.dataset
        t = self.fitted.time.values
        ds = ds.assign_coords(prediction_time=("prediction_time", t, {"units": "day"}))
        ds["settlement_fitted"] = ("prediction_time", self.fitted.settlement.values,
                                   {"units": "m"})
        if self.design is not None:
            ds["settlement_design"] = ("prediction_time", self.design.settlement.values,
                                       {"units": "m"})
        if self.band is not None:
            b = self.band.dataset
            ds = ds.assign_coords(percentile=b["percentile"].values)
            ds["settlement_percentiles"] = (("percentile", "prediction_time"),
                                            b["settlement_percentiles"].values, {"units": "m"})
            ds.attrs["band_samples"] = int(b.sizes["sample"])
            ds.attrs["band_failed"] = int(b.attrs["failed"])
        return ds

    def to_netcdf(self, path: Union[str, os.PathLike]) -> None:
        self.dataset.to_netcdf(path, engine="netcdf4")

    def plot(self, path: Optional[Union[str, os.PathLike]] = None) -> Any:
        """Measured points, the fit, the design prediction and the P10-P90 band; the
        matplotlib Figure (saved to `path` when given)."""
        from . import plots
        return plots.plot_fit(self.fit, self, path)
