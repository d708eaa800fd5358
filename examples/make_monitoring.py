"""Synthetic monitoring of the demo's embankment (examples/embankment.toml): the
readings `examples/monitoring.csv` that `examples/fit.toml` fits.

The upper soft clay of the "real" ground differs from the design: it is less
permeable (kref 4e-9 m/s, not 1e-8), more compressible (Cc 1.05, not 0.90) and creeps
more (Ca 0.032, not 0.027).  Its readings over the first two years, with normal
noise of the given standard errors (seed 25):

- a settlement plate on the original surface, every 14.4 days (50 readings, 5 mm);
- a piezometer in the middle of the upper soft clay, 3.75 m deep, every 24 days
  (30 readings, 2 kPa);
- an extensometer across the upper soft clay, anchors at 2.0 and 5.5 m, every 36 days
  (20 readings, 3 mm).

    python examples/make_monitoring.py        # rewrites examples/monitoring.csv
"""
import dataclasses
import os

import numpy as np

import pelorin

HERE = os.path.dirname(os.path.abspath(__file__))
TRUE = {"upper soft clay.kref": 4e-9, "upper soft clay.Cc": 1.05, "upper soft clay.Ca": 0.032}
SEED = 25


def true_profile(profile):
    layers = list(profile.layers)
    i = [layer.name for layer in layers].index("upper soft clay")
    soil = dataclasses.replace(layers[i].soil, kref=TRUE["upper soft clay.kref"],
                               Cc=TRUE["upper soft clay.Cc"], Ca=TRUE["upper soft clay.Ca"])
    layers[i] = dataclasses.replace(layers[i], soil=soil)
    return dataclasses.replace(profile, layers=layers)


def readings(case, seed=SEED):
    """The readings of the true ground, with noise."""
    plate_t = np.linspace(14.4, 720.0, 50)
    piezo_t = np.linspace(24.0, 720.0, 30)
    ext_t = np.linspace(36.0, 720.0, 20)
    frame = pelorin.Observations.plate(plate_t, plate_t * 0, name="plate SP1") \
        + pelorin.Observations.piezometer(piezo_t, piezo_t * 0, depth=3.75, name="piezometer P1") \
        + pelorin.Observations.extensometer(ext_t, ext_t * 0, top=2.0, bottom=5.5,
                                            name="extensometer E1")
    times = frame.times
    loading = pelorin.Loading([s for s in case.loading.stages if s.time < times[-1]],
                              end=float(times[-1]))
    truth = pelorin.simulate(true_profile(case.profile), loading, times=times, background=False)
    rng = np.random.default_rng(seed)
    series = []
    for s, clean, sd in zip(frame, frame.model_values(truth), (0.005, 2.0, 0.003)):
        noisy = clean + rng.normal(0.0, sd, clean.size)
        series.append(pelorin.Series(s.kind, s.name, s.time, np.round(noisy, 4 if s.unit == "m"
                                                                      else 2),
                                     np.full(clean.size, sd), s.depth, s.bottom))
    return pelorin.Observations(series)


if __name__ == "__main__":
    case = pelorin.read_case(os.path.join(HERE, "embankment.toml"))
    obs = readings(case)
    path = os.path.join(HERE, "monitoring.csv")
    obs.to_csv(path)
    print(f"{path}: {obs}")
