"""daskel.dask.segment_stack: one task per slice whatever the chunks, labels equal to
slice-by-slice daskel.segment, on the local threads and on a two-worker LocalCluster."""

import contextlib
import doctest
import io

import numpy as np
import pytest

import daskel

da = pytest.importorskip("dask.array", reason="dask (python3-dask) runs the stack")
import daskel.dask  # noqa: E402  (needs dask)

OPTIONS = dict(phases=2, tv=0.8, rounds=3)


def noisy_stack(slices, rows, cols, seed=5):
    """uint8 slices of two regions whose boundary moves from slice to slice, with noise."""
    random = np.random.default_rng(seed)
    j = np.arange(cols)
    clean = np.array([np.where(j < cols * (s + 1) // (slices + 1), 60, 190) for s in range(slices)])
    noisy = clean[:, np.newaxis, :] + random.normal(0, 25, (slices, rows, cols))
    return np.clip(np.rint(noisy), 0, 255).astype(np.uint8)


def slice_by_slice(stack):
    return np.array([daskel.segment(picture, **OPTIONS).labels for picture in stack],
                    np.uint8).reshape(stack.shape)


@pytest.mark.parametrize("chunks", [None, (4, 15, 56), (2, -1, 20)],
                         ids=["numpy", "dask, chunks across rows", "dask, chunks across columns"])
def test_threads_give_slice_by_slice_labels(chunks):
    stack = noisy_stack(7, 30, 56)
    given = stack if chunks is None else da.from_array(stack, chunks=chunks)
    labels = daskel.dask.segment_stack(given, **OPTIONS)
    assert labels.dtype == np.uint8 and labels.chunks == ((1,) * 7, (30,), (56,))
    assert np.array_equal(labels.compute(scheduler="threads"), slice_by_slice(stack))


def test_dask_progress_bar_follows_the_slices():
    diagnostics = pytest.importorskip("dask.diagnostics")
    shown = io.StringIO()
    with contextlib.redirect_stdout(shown), diagnostics.ProgressBar(minimum=0, dt=0.01):
        daskel.dask.segment_stack(noisy_stack(4, 30, 40), **OPTIONS).compute(scheduler="threads")
    assert "100% Completed" in shown.getvalue()


def test_an_empty_stack_gives_no_labels():
    labels = daskel.dask.segment_stack(np.zeros((0, 4, 5), np.uint8))
    assert labels.compute().shape == (0, 4, 5)


def test_a_two_worker_cluster_gives_slice_by_slice_labels():
    distributed = pytest.importorskip(
        "distributed", reason="dask.distributed (python3-distributed) runs the cluster")
    stack = noisy_stack(8, 40, 48)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        labels = daskel.dask.segment_stack(da.from_array(stack, chunks=(3, 20, 48)), **OPTIONS)
        with distributed.get_task_stream(client) as tasks:
            labels = labels.persist()
            shown = io.StringIO()
            with contextlib.redirect_stdout(shown):
                distributed.progress(labels, notebook=False)  # waits for every slice
            computed = labels.compute()
    assert "100% Completed" in shown.getvalue()
    assert np.array_equal(computed, slice_by_slice(stack))
    # the slices were segmented in both worker processes, not here
    workers = {task["worker"] for task in tasks.data if labels.name in str(task["key"])}
    assert len(workers) == 2, f"the slices ran on {workers}"


# the call, the exception, a fragment of its message: raised before anything is computed
BAD = [
    (lambda: daskel.dask.segment_stack(np.zeros((2, 4, 5)), phase=2), TypeError, "phase"),
    (lambda: daskel.dask.segment_stack(np.zeros((2, 4, 5)), 1), ValueError, "from 2 to 16; got 1"),
    (lambda: daskel.dask.segment_stack(np.zeros((2, 4, 5)), rounds=0), ValueError, "rounds"),
    (lambda: daskel.dask.segment_stack(np.zeros((4, 5))), ValueError,
     "3 dimensions (slices, rows, cols); got shape (4, 5)"),
    (lambda: daskel.dask.segment_stack(da.zeros((2, 4, 5, 3))), ValueError, "(2, 4, 5, 3)"),
    (lambda: daskel.dask.segment_stack(da.zeros((2, 4, 5), dtype="c8")), TypeError,
     "got complex64"),
    (lambda: daskel.dask.segment_stack(np.zeros((2, 1, 5))), ValueError,
     "every slice of stack must be at least 2 x 2 pixels; got 1 x 5"),
]


@pytest.mark.parametrize("call, error, fragment", BAD)
def test_bad_arguments_are_refused_at_once(call, error, fragment):
    with pytest.raises(error) as raised:
        call()
    assert fragment in str(raised.value)


def test_docstring_example():
    result = doctest.testmod(daskel.dask)
    assert result.attempted > 0 and result.failed == 0
