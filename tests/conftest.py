"""Test set-up: import the module under test.

`PELORIN_BUILD_DIR` points the suite at a meson build directory (the fast
development build, or the sanitizer build); otherwise the installed module
of the venv is used.
"""
import os
import sys

_build = os.environ.get("PELORIN_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))
