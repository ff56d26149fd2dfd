"""Checks and conversions shared by the functions of daskel.

Each raises TypeError for an argument of the wrong kind and ValueError for one of the right kind
out of range, with a message that names the argument, says what it must be and what was given.
"""

import math
import numbers
import operator
import reprlib

import numpy as np

from . import _core

# The solver counts the elements of a volume in 32-bit signed integers.
MAX_ELEMENTS = 2**31 - 1


def given(value):
    """A short description of what was passed, for error messages."""
    if isinstance(value, np.ndarray):
        return f"an array of {value.dtype}, shape {value.shape}"
    return f"{type(value).__name__} {reprlib.repr(value)}"


def as_array(name, value):
    """`value` as a numpy array, without a copy when it is one."""
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array; got {type(value).__name__}: {error}") from error
    if array.dtype.kind not in "biufc":
        raise TypeError(f"{name} must be a numeric array; got {given(value)}")
    return array


def float32_of(name, value):
    """A real number rounded to the nearest float32, as MATLAB's single() rounds it; a value beyond
    the float32 range becomes infinite."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number; got {given(value)}")
    with np.errstate(over="ignore"):
        return np.float32(value)


def as_given(value, rounded):
    """How a number that was rounded to a float32 is quoted in an error message."""
    unchanged = float(rounded) == float(value) or math.isnan(value)
    return f"{value!r}" if unchanged else f"{value!r}, which is {rounded!r} as a float32"


def float32_number(name, value, acceptable, expected):
    """float32_of(name, value); ValueError unless acceptable(rounded) holds, saying that the
    number must be `expected`."""
    rounded = float32_of(name, value)
    if not acceptable(rounded):
        raise ValueError(f"{name} must be {expected}; got {as_given(value, rounded)}")
    return rounded


def integer(name, value):
    """An integer of any size, not a bool."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer; got {given(value)}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer; got {given(value)}") from None


def whole_number(name, value, low, high=None):
    """An integer in [low, high] (no upper limit when high is None)."""
    number = integer(name, value)
    if number < low or (high is not None and number > high):
        limits = f"from {low} to {high}" if high is not None else f"of at least {low}"
        raise ValueError(f"{name} must be a whole number {limits}; got {number}")
    return number


def thread_count(threads):
    """The number of threads a solve may use: 0 chooses, 1 is the calling thread alone; a count
    beyond the most a solve uses (MAX_THREADS of the compiled half) is taken as that."""
    return min(whole_number("threads", threads, 0), _core.MAX_THREADS)
