"""daskel.segment: the steps of the command-line tool daskel-segment on a numpy image."""

import inspect
from typing import NamedTuple, Tuple

import numpy as np

from . import _core
from ._arguments import MAX_ELEMENTS, as_array, float32_number, given, thread_count, whole_number


def _as_written(value):
    """The shortest decimal that rounds to the same float32: 0.4 rather than 0.4000000059604645."""
    return float(repr(np.float32(value)))


# daskel-segment's defaults, taken from the tool's own constants.
DEFAULT_PHASES = _core.DEFAULT_PHASES
DEFAULT_TV = _as_written(_core.DEFAULT_TV_WEIGHT)
DEFAULT_PENALTY = _as_written(_core.DEFAULT_PENALTY)
DEFAULT_ROUNDS = _core.DEFAULT_ROUNDS


class SegmentResult(NamedTuple):
    """What daskel.segment returns."""

    labels: np.ndarray  # uint8, rows x cols: each pixel's most likely phase
    levels: np.ndarray  # float32, one intensity per phase, increasing
    u: np.ndarray  # float32, rows x cols x phases: the soft labelling


class Settings(NamedTuple):
    """Checked settings of a segmentation, as the compiled half takes them."""

    phases: int
    levels: Tuple[float, ...]  # empty: chosen by k-means
    tv: np.float32
    penalty: np.float32
    rounds: int
    threads: int


def segment(image, phases=DEFAULT_PHASES, *, levels=None, tv=DEFAULT_TV, penalty=DEFAULT_PENALTY,
            rounds=DEFAULT_ROUNDS, threads=0):
    """Segments an image into `phases` regions of similar intensity, as daskel-segment does.

    Parameters
    ----------
    image : array of shape (rows, cols) or (rows, cols, channels)
        uint8 or uint16 samples (divided by 255 or 65535), or floating-point intensities in
        [0, 1]. One or two channels are grey (and alpha), three or four are RGB (and alpha),
        which counts by its luma 0.299 R + 0.587 G + 0.114 B. Alpha is ignored. At least 2 x 2.
    phases : int, optional
        The number of phases, from 2 to 16.
    levels : sequence of `phases` numbers in [0, 1], optional
        Starting phase intensities; by default a deterministic k-means of the 5 x 5 local means
        chooses them.
    tv : float, optional
        Weight of the total variation, at least 0; larger gives smoother regions.
    penalty : float, optional
        The split penalty of the solver, greater than 0.
    rounds : int, optional
        Solver calls, from 1 to 1000; each after the first re-estimates the phase intensities
        and goes on from the labelling.
    threads : int, optional
        Threads each solve may use: 0 (the default) chooses (DASKEL_NUM_THREADS, else the CPUs
        this process may run on), 1 keeps to the calling thread; at most 256 are used, and the
        result is the same, bit for bit, for every count.

    Returns
    -------
    SegmentResult
        ``labels`` (uint8, rows x cols, phases numbered from 0 by increasing intensity),
        ``levels`` (float32, the phase intensities, increasing) and ``u`` (float32,
        rows x cols x phases, the soft labelling whose largest phase gives ``labels``).

    The steps, defaults and arithmetic are those of the command-line tool, so ``labels`` equals
    ``daskel-segment --labels`` on the same picture. The image is not changed, and the
    interpreter lock is released while the solver runs.

    Examples
    --------
    >>> import numpy as np, daskel
    >>> image = np.zeros((40, 60), np.uint8)
    >>> image[:, 30:] = 200
    >>> result = daskel.segment(image, phases=2)
    >>> np.array_equal(result.labels, image > 100), [round(float(v), 3) for v in result.levels]
    (True, [0.0, 0.784])
    """
    return segment_with(image, checked_settings(phases, levels, tv, penalty, rounds, threads))


def segment_with(image, settings):
    """segment() with settings that checked_settings has made."""
    samples = image_samples(image)
    rows, cols = samples.shape[:2]
    if rows * cols * settings.phases > MAX_ELEMENTS:
        raise ValueError(f"image is too large for {settings.phases} phases: rows * cols * phases "
                         f"must not exceed {MAX_ELEMENTS}; got {rows} * {cols} * "
                         f"{settings.phases}")
    labels, levels, u = _core.segment(samples, *settings)
    return SegmentResult(labels, levels, u)


def settings_for(phases=DEFAULT_PHASES, **options):
    """The checked settings of segment(image, phases, **options); TypeError for an unknown
    option."""
    arguments = inspect.signature(segment).bind(None, phases, **options)
    arguments.apply_defaults()
    del arguments.arguments["image"]
    return checked_settings(**arguments.arguments)


def checked_settings(phases, levels, tv, penalty, rounds, threads):
    """The options of daskel-segment, checked as its command line checks them."""
    phases = whole_number("phases", phases, _core.MIN_PHASES, _core.MAX_PHASES)
    return Settings(
        phases=phases,
        levels=_starting_levels(levels, phases),
        tv=float32_number("tv", tv, lambda w: np.isfinite(w) and w >= 0, "finite and at least 0"),
        penalty=float32_number("penalty", penalty, lambda p: np.isfinite(p) and p > 0,
                               "finite and greater than 0"),
        rounds=whole_number("rounds", rounds, 1, _core.MAX_ROUNDS),
        threads=thread_count(threads))


def _starting_levels(levels, phases):
    """`phases` distinct float32 intensities in [0, 1], increasing; empty for k-means."""
    if levels is None:
        return ()
    if np.ndim(levels) != 1:
        raise ValueError(f"levels must be a sequence of {phases} intensities; got {given(levels)}")
    if len(levels) != phases:
        raise ValueError(f"levels must hold one intensity per phase, {phases}; got {len(levels)}")
    rounded = sorted(float32_number("levels", level, lambda v: 0 <= v <= 1, "between 0 and 1")
                     for level in levels)
    if len(set(rounded)) != len(rounded):
        raise ValueError(f"levels must not repeat an intensity; got {list(levels)}")
    return tuple(float(level) for level in rounded)


def image_samples(image):
    """`image` as rows x cols x channels of uint8, uint16 or float64, checked."""
    array = as_array("image", image)
    check_sample_type(array.dtype)
    if array.dtype.kind == "u":
        array = array.astype(array.dtype.newbyteorder("="), copy=False)  # native byte order
    if array.ndim == 2:
        array = array[:, :, np.newaxis]
    if array.ndim != 3 or not 1 <= array.shape[2] <= 4:
        raise ValueError("image must have shape (rows, cols) or (rows, cols, channels) with 1 to "
                         f"4 channels; got shape {np.shape(image)}")
    check_picture_size(array.shape[:2], "image")
    if array.dtype.kind == "f":
        intensities = array[..., :3] if array.shape[2] >= 3 else array[..., :1]  # not alpha
        outside = ~((intensities >= 0) & (intensities <= 1))  # NaN is outside too
        if outside.any():
            raise ValueError("a floating-point image must lie in [0, 1]; got "
                             f"{intensities[outside].flat[0]!r} among its intensities")
        array = array.astype(np.float64, copy=False)
    return array


def check_sample_type(dtype):
    """TypeError unless the samples are uint8, uint16 or floating point."""
    if not (dtype.kind == "u" and dtype.itemsize <= 2 or dtype.kind == "f"):
        raise TypeError(f"image must be uint8, uint16 or floating point (intensities in [0, 1]);"
                        f" got {dtype}")


def check_picture_size(shape, name):
    """ValueError unless a picture of `shape` (rows, cols) is at least 2 x 2."""
    rows, cols = shape
    if rows < 2 or cols < 2:
        raise ValueError(f"{name} must be at least 2 x 2 pixels; got {rows} x {cols}")
