"""Set-up shared by the tests of the Python package daskel (run by ctest, see ../CMakeLists.txt).

ctest passes the programs the tests compare with in the environment. A run that skipped any test
(dask or Pillow missing, say) and failed none ends with status 77, which ctest reports as skipped
rather than passed; pytest's summary names what was skipped and why.
"""

import os

import pytest

SOME_SKIPPED = 77


def program(variable):
    """The path of a program that ctest names in the environment variable `variable`."""
    path = os.environ.get(variable)
    if not path:
        pytest.fail(f"{variable} is not set: run these tests through ctest")
    return path


def source_file(relative):
    """A file of the source tree, found from this file's place in it."""
    return os.path.join(os.path.dirname(__file__), "..", "..", relative)


def pytest_sessionfinish(session, exitstatus):
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    # 5 is pytest's "no tests collected", the status of a file skipped as a whole
    if exitstatus in (0, 5) and stats.get("skipped"):
        session.exitstatus = SOME_SKIPPED
