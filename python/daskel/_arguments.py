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
# The least penalty whose reciprocals the solver can form: the smallest normal float32.
SMALLEST_PENALTY = np.finfo(np.float32).tiny


def aligned(array):
    """`array` itself, or an aligned copy of it where numpy keeps it at an address that is not a
    multiple of its element's size (a view into a byte buffer): the solver reads whole values."""
    return np.require(array, requirements="A")


def finite_float32(name, array):
    """`array` as float32 in Fortran order, aligned; ValueError naming `name` for a NaN or an
    infinity, and for a finite value beyond the float32 range, which would become one."""
    with np.errstate(over="ignore"):
        converted = np.require(array, np.float32, ["F", "A"])
    finite = np.isfinite(converted)
    if not finite.all():
        where = np.unravel_index(np.argmin(finite), finite.shape)
        value = array[where]
        rounding = "" if not np.isfinite(value) else f", which is {converted[where]!r} as a float32"
        raise ValueError(f"{name} must be finite: a NaN or an infinity spreads over the labelling;"
                         f" got {value!r} at {tuple(int(i) for i in where)}{rounding}")
    return converted


def given(value):
    """A short description of what was passed, for error messages."""
    if isinstance(value, np.ndarray):
        return f"an array of {value.dtype}, shape {value.shape}"
    return f"{type(value).__name__} {reprlib.repr(value)}"


def as_array(name, value):
    """`value` as a numpy array, without a copy when it is one. A masked array with masked
    elements is refused: its mask would be dropped, and the values under it read."""
    if np.ma.is_masked(value):
        raise TypeError(f"{name} must not have masked elements, whose values would be read as "
                        f"they are; pass {name}.filled(value) or an ordinary array")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name} must be an array; got {type(value).__name__}: {error}") from error
    if array.dtype.kind not in "biufc":
        raise TypeError(f"{name} must be a numeric array; got {given(value)}")
    return array


def float32_of(name, value):
    """A real number rounded to the nearest float32, as MATLAB's single() rounds it; a value beyond
    the float32 range, an integer beyond that of floats included, becomes infinite."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number; got {given(value)}")
    try:
        real = float(value)
    except OverflowError:  # an integer of more than 1024 bits
        real = math.inf if value > 0 else -math.inf
    with np.errstate(over="ignore"):
        return np.float32(real)


def as_given(value, rounded):
    """How a number that was rounded to a float32 is quoted in an error message."""
    try:
        unchanged = float(rounded) == float(value) or math.isnan(value)
    except OverflowError:
        unchanged = False
    quoted = reprlib.repr(value)
    return quoted if unchanged else f"{quoted}, which is {rounded!r} as a float32"


def float32_number(name, value, acceptable, expected):
    """float32_of(name, value); ValueError unless acceptable(rounded) holds, saying that the
    number must be `expected`."""
    rounded = float32_of(name, value)
    if not acceptable(rounded):
        raise ValueError(f"{name} must be {expected}; got {as_given(value, rounded)}")
    return rounded


def integer(name, value):
    """An integer of any size, not a bool."""
    if isinstance(value, (bool, np.bool_)):
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
    beyond the most a solve uses (MAX_THREADS of the compiled half, and no more than the CPUs this
    process may run on) is taken as that."""
    return min(whole_number("threads", threads, 0), _core.MAX_THREADS)
