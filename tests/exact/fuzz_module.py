"""Fuzzing of the Pelorin module for a bounded time: random hostile calls of
every function (the strategies of test_robustness.py, unusual buffers
included), with fresh random seeds, until the time is up.  A crash ends the
process (and CI fails on its exit status); an exception that is not an
ordinary Python failure (SystemError) fails the run with its example.

  python tests/fuzz_module.py --seconds 120      (make fuzz SECONDS=120)
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.dirname(HERE))

import conftest  # noqa: E402,F401  -- PELORIN_BUILD_DIR
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import Pelorin  # noqa: E402
import test_robustness as r  # noqa: E402


def rounds(examples):
    fuzz = settings(max_examples=examples, deadline=None, derandomize=False, database=None,
                    suppress_health_check=list(HealthCheck))

    def fixed(name):
        @fuzz
        @given(args=r.fixed_call(r.KINDS[name]), warn=st.sampled_from(["ignore", "error"]))
        def check(args, warn):
            r.call_quietly(getattr(Pelorin, name), *args, warn=warn)
        return check

    @fuzz
    @given(kw=r.run_keywords())
    def compute(kw):
        r.call_quietly(Pelorin.compute, **kw)
        r.call_quietly(Pelorin.compute, maxsplit=2, **kw)

    @fuzz
    @given(kw=r.run_keywords(), spoil=st.lists(st.tuples(st.integers(0, 21), r.junk),
                                               max_size=3))
    def initial(kw, spoil):
        params = r.call_quietly(Pelorin.get_inputs, **kw)
        if isinstance(params, list):
            for k, v in spoil:
                params[k] = v
            r.call_quietly(Pelorin.get_initial, *params)

    @fuzz
    @given(v=r.junk)
    def max_(v):
        r.call_quietly(Pelorin.Max, v)

    return [fixed(n) for n in sorted(r.KINDS)] + [compute, initial, max_]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--seconds", type=float, default=120.0)
    ap.add_argument("--examples", type=int, default=200, help="per function and round")
    args = ap.parse_args()
    sys.stdout = r.Discard()            # the run's messages go nowhere
    end, calls = time.monotonic() + args.seconds, 0
    while time.monotonic() < end:
        for check in rounds(args.examples):
            check()
            calls += args.examples
    print(f"fuzz: up to {calls} hostile examples in {args.seconds:.0f} s, no crash",
          file=sys.stderr)


if __name__ == "__main__":
    main()
