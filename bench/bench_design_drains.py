"""Wall time of a drain design: `pelorin.design_drains` over 10 spacings of the drains
example (examples/drains.toml, the demo's embankment on drains), serial (in this process,
without Dask) and on the embedded local Dask cluster (threads, then processes), best of
3 each; the tables are checked equal bit for bit.

  PELORIN_BUILD_DIR=build-dev /usr/bin/python3 bench/bench_design_drains.py
"""
import os
import sys
import time

import numpy as np

_build = os.environ.get("PELORIN_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    import conftest  # noqa: F401,E402  (the development build)

import pelorin  # noqa: E402

CASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples",
                    "drains.toml")
SPACINGS = list(np.round(np.linspace(1.0, 3.25, 10), 6))


def best(kw: dict, repeat: int = 3):
    case = pelorin.read_case(CASE)
    out, times = None, []
    for _ in range(repeat):
        start = time.perf_counter()
        out = pelorin.design_drains(case.profile, case.loading, SPACINGS, within=400.0,
                                    points_per_decade=20, progress=False, **kw)
        times.append(time.perf_counter() - start)
    return min(times), out


def main() -> None:
    print(f"design_drains over {len(SPACINGS)} spacings, {os.cpu_count()} cores, best of 3")
    ref = None
    for name, kw in (("serial (scheduler='synchronous')", dict(scheduler="synchronous")),
                     ("local cluster, threads", dict(processes=False)),
                     ("local cluster, processes", dict(processes=True))):
        t, d = best(kw)
        if ref is None:
            ref = d
        same = d.dataset.drop_attrs().equals(ref.dataset.drop_attrs()) \
            if hasattr(d.dataset, "drop_attrs") else \
            np.array_equal(d.dataset.degree.values, ref.dataset.degree.values, equal_nan=True)
        print(f"{name:34s} {t:7.3f} s   same table: {same}")
    print(f"widest spacing meeting U = 0.9 by 400 d: {ref.widest_spacing:g} m")


if __name__ == "__main__":
    main()
