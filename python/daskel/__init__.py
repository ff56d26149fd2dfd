"""daskel: soft multi-phase labelling of images by split Bregman, from Python.

The same C++ as the MEX module DASKEL_mex and the command-line tool daskel-segment, with the same
bits:

- solve(costs, u0, tv_weight, penalty): one solver call, as DASKEL_mex makes it;
- segment(image, phases): the steps of daskel-segment, phase intensities and data costs included;
- daskel.dask.segment_stack(stack, phases): segment() on every slice of a stack, one Dask task per
  slice, on any Dask scheduler (import daskel.dask; it needs dask).
"""

try:
    from . import _core
except ImportError as error:  # the Python half of the package without its compiled half
    raise ImportError(
        "daskel's compiled extension daskel._core is not built for this Python: build it with "
        "`cmake -S . -B build && cmake --build build --target daskel_python` (or run "
        "./scripts/test.sh), or install the package with `python3 -m pip install "
        "--no-build-isolation .`") from error

from ._segment import SegmentResult, segment
from ._solve import solve
from ._version import __version__

__all__ = ["SegmentResult", "segment", "solve", "__version__"]
