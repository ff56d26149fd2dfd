"""daskel.segment: the segmentation method of daskel::segment, as daskel-segment runs it, on a numpy
image."""

import inspect
from typing import NamedTuple, Tuple

import numpy as np

from . import _core
from ._arguments import MAX_ELEMENTS, aligned, as_array, as_given, float32_of, given, integer


def _as_written(value):
    """The shortest decimal that rounds to the same float32: 0.4 rather than 0.4000000059604645."""
    return float(repr(np.float32(value)))


# The method's defaults, taken from its Settings in C++.
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
    window: int


def segment(image, phases=DEFAULT_PHASES, *, levels=None, tv=DEFAULT_TV, penalty=DEFAULT_PENALTY,
            rounds=DEFAULT_ROUNDS, threads=0, window=0):
    """Segments an image into `phases` regions of similar intensity, as daskel-segment does.

    Parameters
    ----------
    image : array of shape (rows, cols) or (rows, cols, channels)
        uint8 or uint16 samples (divided by 255 or 65535), other integer and bool samples as
        scikit-image's img_as_float scales them (signed ones must not be negative), or
        floating-point intensities in [0, 1]. One or two channels are grey (and alpha), three or four are RGB (and alpha),
        which counts by its luma 0.299 R + 0.587 G + 0.114 B. Alpha is ignored. At least 2 x 2.
    phases : int, optional
        The number of phases, from 2 to 16.
    levels : sequence of `phases` numbers in [0, 1], optional
        Starting phase intensities; by default the levels of least within-phase sum of squares
        (an exact k-means) of the picture's flat-window means choose them.
    tv : float, optional
        Weight of the total variation, at least 0; larger gives smoother regions.
    penalty : float, optional
        The split penalty of the solver, at least 1.17549e-38 (the smallest normal float32).
    rounds : int, optional
        Solver calls, from 1 to 1000; each after the first re-estimates the phase intensities
        and goes on from the labelling.
    threads : int, optional
        Threads each solve may use: 0 (the default) chooses (DASKEL_NUM_THREADS, else the CPUs
        this process may run on), 1 keeps to the calling thread; no more threads than those CPUs
        are used, whatever the count, and the result is the same, bit for bit, for every count.
    window : int, optional
        Side of the square windows whose means are segmented: 0 (the default) chooses, 1 unless
        the picture is a fine regular texture (stripes, checks), then about one period of it;
        1 segments the pixels themselves; an odd side up to 99 segments the means of such
        windows.

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
    return segment_with(image, checked_settings(phases, levels, tv, penalty, rounds, threads,
                                                window))


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


def checked_settings(phases, levels, tv, penalty, rounds, threads, window):
    """The settings of segment() as the compiled half takes them: TypeError for a value of the
    wrong kind; ValueError for one that the method refuses, in the words of its C++ check, which
    daskel-segment shows too. A thread count beyond the most a solve uses is taken as that."""
    settings = Settings(phases=_int32(integer("phases", phases)),
                        levels=_starting_levels(levels),
                        tv=float32_of("tv", tv),
                        penalty=float32_of("penalty", penalty),
                        rounds=_int32(integer("rounds", rounds)),
                        threads=_int32(min(integer("threads", threads), _core.MAX_THREADS)),
                        window=_int32(integer("window", window)))
    problem = _core.check_settings(*settings)
    if problem is not None:
        setting, requirement = problem
        given_value = dict(phases=phases, levels=levels, tv=tv, penalty=penalty, rounds=rounds,
                           threads=threads, window=window)[setting]
        quoted = (as_given(given_value, getattr(settings, setting)) if setting in ("tv", "penalty")
                  else repr(given_value))
        raise ValueError(f"{setting} {requirement}; got {quoted}")
    return settings


def _int32(number):
    """An integer taken into the range of int32, beyond which every setting refuses it anyway."""
    return max(-2**31, min(number, 2**31 - 1))


def _starting_levels(levels):
    """Float32 intensities, increasing; empty for k-means. The C++ check judges them."""
    if levels is None:
        return ()
    if np.ndim(levels) != 1:
        raise ValueError(f"levels must be a sequence of intensities; got {given(levels)}")
    return tuple(sorted(float(float32_of("levels", level)) for level in levels))


def image_samples(image):
    """`image` as rows x cols x channels of uint8, uint16 or float64, checked. Other integer and
    bool samples become float64 intensities as scikit-image's img_as_float scales them."""
    array = as_array("image", image)
    check_sample_type(array.dtype)
    if array.dtype.kind == "u" and array.dtype.itemsize <= 2:
        array = array.astype(array.dtype.newbyteorder("="), copy=False)  # native byte order
    else:
        array = _as_float_intensities(array)
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
            scaled = "a signed image scaled as img_as_float scales it" \
                if np.asarray(image).dtype.kind == "i" else "a floating-point image"
            raise ValueError(f"{scaled} must lie in [0, 1]; got "
                             f"{intensities[outside].flat[0]!r} among its intensities")
        array = array.astype(np.float64, copy=False)
    return aligned(array)


def _as_float_intensities(array):
    """Integer samples other than uint8 and uint16 as scikit-image's img_as_float scales them,
    multiplied by the reciprocal of their type's largest value (signed ones are then at least -1,
    which the range check refuses like any float below 0), and bool as 0 and 1."""
    if array.dtype.kind == "b":
        return array.astype(np.float64)
    if array.dtype.kind in "ui":
        scaled = np.multiply(array, 1.0 / np.iinfo(array.dtype).max, dtype=np.float64)
        return np.maximum(scaled, -1.0, out=scaled)
    return array


def check_sample_type(dtype):
    """TypeError unless the samples are integers, bool or floating point."""
    if dtype.kind not in "uibf":
        raise TypeError("image must be of an integer, bool or floating-point type (intensities in"
                        f" [0, 1]); got {dtype}")


def check_picture_size(shape, name):
    """ValueError unless a picture of `shape` (rows, cols) is at least 2 x 2."""
    rows, cols = shape
    if rows < 2 or cols < 2:
        raise ValueError(f"{name} must be at least 2 x 2 pixels; got {rows} x {cols}")
