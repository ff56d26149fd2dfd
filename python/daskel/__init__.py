"""daskel: soft multi-phase labelling of images by split Bregman, from Python.

The same C++ as the MEX module DASKEL_mex and the command-line tool daskel-segment, with the same
bits:

- solve(costs, u0, tv_weight, penalty): one solver call, as DASKEL_mex makes it;
- segment(image, phases): the steps of daskel-segment, phase intensities and data costs included;
- daskel.dask.segment_stack(stack, phases): segment() on every slice of a stack, one Dask task per
  slice, on any Dask scheduler (import daskel.dask; it needs dask).
"""

from ._segment import SegmentResult, segment
from ._solve import solve

__all__ = ["SegmentResult", "segment", "solve"]
