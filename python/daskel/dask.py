"""Segmenting a stack of pictures with Dask: daskel.segment on every slice, one task per slice.

The tasks run wherever the Dask scheduler sends them: threads of this process (the interpreter
lock is released while the solver runs), or the workers of a dask.distributed cluster, from a
LocalCluster to many machines. Workers need daskel importable, as this process has it.
"""

import dask.array as da
import numpy as np

from . import _segment


def segment_stack(stack, phases=_segment.DEFAULT_PHASES, **options):
    """Labels of every slice of `stack`, each segmented on its own by daskel.segment.

    Parameters
    ----------
    stack : dask or numpy array of shape (slices, rows, cols)
        Grey pictures: uint8, uint16, other integers and bool as daskel.segment takes them,
        or floating point in [0, 1]. Any chunks: the stack is
        rechunked to one slice per chunk, so that every slice is one task.
    phases, **options
        As daskel.segment takes them (levels, tv, penalty, rounds, threads, window); checked
        now.

    Returns
    -------
    dask.array.Array
        uint8 labels of shape (slices, rows, cols), one chunk per slice; nothing is computed
        until it is asked for. Slice s equals ``daskel.segment(stack[s], phases,
        **options).labels``. A float slice outside [0, 1] raises when it is computed.

    Progress shows as for any Dask computation: ``with dask.diagnostics.ProgressBar():
    labels.compute()`` on the local schedulers; with dask.distributed, the dashboard's task
    stream and progress pages (``client.dashboard_link``), or ``distributed.progress(
    labels.persist())`` in a terminal or notebook.

    Examples
    --------
    >>> import numpy as np, daskel.dask
    >>> stack = np.zeros((3, 40, 60), np.uint8)
    >>> stack[:, :, 30:] = 200
    >>> labels = daskel.dask.segment_stack(stack, phases=2)
    >>> labels.chunks[0], bool((labels.compute() == (stack > 100)).all())
    ((1, 1, 1), True)
    """
    settings = _segment.settings_for(phases, **options)
    slices = stack if isinstance(stack, da.Array) else np.asarray(stack)
    if slices.ndim != 3:
        raise ValueError("stack must have 3 dimensions (slices, rows, cols); got shape "
                         f"{slices.shape}")
    _segment.check_sample_type(slices.dtype)
    _segment.check_picture_size(slices.shape[1:], "every slice of stack")
    one_per_chunk = (1, -1, -1)
    if isinstance(slices, da.Array):
        slices = slices.rechunk(one_per_chunk)
    else:
        slices = da.from_array(slices, chunks=one_per_chunk)
    return slices.map_blocks(_segment_slice, settings=settings, dtype=np.uint8,
                             meta=np.empty((0, 0, 0), np.uint8))


def _segment_slice(block, settings):
    """The labels of a chunk of one slice (or of none, in an empty stack)."""
    if block.shape[0] == 0:
        return np.empty(block.shape, np.uint8)
    return _segment.segment_with(block[0], settings).labels[np.newaxis]
