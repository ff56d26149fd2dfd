"""daskel.solve: one call of the solver on numpy arrays."""

import numpy as np

from . import _core
from ._arguments import (MAX_ELEMENTS, SMALLEST_PENALTY, as_array, finite_float32, float32_number,
                         given, thread_count)


def solve(costs, u0, tv_weight, penalty, *, threads=0):
    """Soft multi-phase labelling of an image by split Bregman with isotropic total variation.

    Parameters
    ----------
    costs : array of shape (rows, cols, phases), any real floating-point type, any memory order
        ``costs[i, j, k]`` is the cost of giving pixel (i, j) phase k. At least 2 x 2 x 1.
    u0 : array of the shape of `costs`
        The initial labelling; ``1 / phases`` everywhere is a usual start.
    tv_weight : real number
        Weight of the total-variation term; larger gives smoother regions. Finite.
    penalty : real number
        The split penalty; finite and at least 1.17549e-38, the smallest normal float32 (the
        reciprocals of a smaller one overflow).
    threads : int, optional
        Threads the solve may use: 0 (the default) chooses (DASKEL_NUM_THREADS, else the CPUs
        this process may run on), 1 keeps to the calling thread; no more threads than those CPUs
        are used, whatever the count, and the result is the same, bit for bit, for every count.

    Returns
    -------
    u : float32 array of shape (rows, cols, phases), in Fortran order
        The labelling: values in [0, 1] that sum to one over the phases at every pixel.
    iterations : int
        The number of outer iterations run (at most five).

    The arrays and both weights are rounded to float32 (to nearest, as MATLAB's ``single``
    rounds), and ``u`` then equals, bit for bit, ``DASKEL_mex(single(costs), single([rows cols
    phases tv_weight penalty]), single(u0))``. The inputs are not changed, and the interpreter
    lock is released while the solver runs, and Ctrl-C (KeyboardInterrupt) ends it between two
    outer iterations. A malformed argument raises TypeError (not a real array or number, a
    masked array with masked elements) or ValueError (a wrong shape, a NaN or infinity in
    `costs` or `u0`, or a value out of range).

    Examples
    --------
    Two phases on a 4 x 5 image, phase 0 free and phase 1 costing 1 everywhere:

    >>> import numpy as np, daskel
    >>> costs = np.stack([np.zeros((4, 5)), np.ones((4, 5))], axis=-1)
    >>> u, iterations = daskel.solve(costs, np.full((4, 5, 2), 0.5), 0.5, 1.0)
    >>> bool((u[..., 0] == 1).all() and (u[..., 1] == 0).all()), iterations
    (True, 4)
    """
    costs = _volume("costs", costs)
    u0 = _volume("u0", u0)
    if u0.shape != costs.shape:
        raise ValueError(f"u0 must have the shape of costs, {costs.shape}; got {u0.shape}")
    rows, cols, phases = costs.shape
    if rows < 2 or cols < 2 or phases < 1:
        raise ValueError(
            f"costs must be at least 2 x 2 x 1 (rows, cols, phases); got shape {costs.shape}")
    if rows * cols * phases > MAX_ELEMENTS:
        raise ValueError(f"costs must hold at most {MAX_ELEMENTS} elements (rows * cols * phases);"
                         f" got {rows} * {cols} * {phases} = {rows * cols * phases}")
    tv_weight = float32_number("tv_weight", tv_weight, np.isfinite, "finite")
    penalty = float32_number("penalty", penalty,
                             lambda p: np.isfinite(p) and p >= SMALLEST_PENALTY,
                             f"a finite number of at least {SMALLEST_PENALTY:g}")
    threads = thread_count(threads)
    return _core.solve(finite_float32("costs", costs), finite_float32("u0", u0), tv_weight,
                       penalty, threads)


def _volume(name, value):
    """`value` as a real floating-point array of three dimensions, not yet converted."""
    array = as_array(name, value)
    if array.dtype.kind != "f":
        raise TypeError(f"{name} must be a real floating-point array; got {given(value)}")
    if array.ndim != 3:
        raise ValueError(f"{name} must have 3 dimensions (rows, cols, phases); got "
                         f"{array.ndim}, shape {array.shape}")
    return array
