"""Test set-up: import the module under test.

`PELORIN_BUILD_DIR` points the suite at a meson build directory (the fast
development build, or the sanitizer build); otherwise the installed module
of the venv is used.  With a build directory, the `pelorin` package is the
source tree's Python files plus the extension built there.
"""
import importlib.util
import os
import sys

_build = os.environ.get("PELORIN_BUILD_DIR")
if _build:
    _build = os.path.abspath(_build)
    sys.path.insert(0, _build)
    _src = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "pelorin")
    _spec = importlib.util.spec_from_file_location(
        "pelorin", os.path.join(_src, "__init__.py"),
        submodule_search_locations=[_src, os.path.join(_build, "pelorin"), _build])
    _pkg = importlib.util.module_from_spec(_spec)
    sys.modules["pelorin"] = _pkg
    _spec.loader.exec_module(_pkg)
