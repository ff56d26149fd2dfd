"""daskel.solve: the bits of the C++ library for every shape, memory order, alignment and float
type; every malformed argument refused, with the inputs unchanged; the interpreter lock released;
Ctrl-C taken between outer iterations."""

import doctest
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import daskel
import daskel._segment
import daskel._solve
from conftest import program, source_file


def library_solve(costs, u0, tv_weight, penalty, folder):
    """The C++ library's u for float32 copies of the arrays and weights, through the program
    the Octave tests compare with (file format in tests/octave/daskel_reference.cpp)."""
    rows, cols, phases = costs.shape
    request, answer = folder / "request", folder / "answer"
    request.write_bytes(
        np.array([rows, cols, phases], "<i4").tobytes()
        + np.array([tv_weight, penalty], "<f4").tobytes()
        + costs.astype("<f4").tobytes(order="F")
        + u0.astype("<f4").tobytes(order="F"))
    subprocess.run([program("DASKEL_REFERENCE"), request, answer], check=True)
    return np.fromfile(answer, "<f4").reshape(costs.shape, order="F")


def problem(shape, dtype, values, seed):
    """Costs and an initial labelling: random ones, or with zeros, huge values, subnormals and
    negative zeros among them."""
    random = np.random.default_rng(seed)
    costs = random.uniform(0.0, 3.0, shape)
    u0 = random.uniform(0.0, 1.0, shape)
    if values == "edge":
        specials = np.array([0.0, -0.0, 1e30, -1e30, 3e38, 1e-40])
        costs.flat[::7] = specials[random.integers(0, len(specials), costs.flat[::7].shape)]
        u0.flat[::5] = specials[random.integers(0, len(specials), u0.flat[::5].shape)]
    return costs.astype(dtype), u0.astype(dtype)


def laid_out(array, order):
    """`array` in C or Fortran order, as a strided view into a larger array, or in Fortran order
    one byte off the alignment of its elements."""
    if order == "strided":
        larger = np.zeros((array.shape[0] * 2,) + array.shape[1:], array.dtype)
        larger[::2] = array
        return larger[::2]
    if order == "misaligned":
        buffer = bytearray(array.nbytes + 1)
        misaligned = np.frombuffer(buffer, array.dtype, array.size, offset=1)
        misaligned = misaligned.reshape(array.shape, order="F")
        misaligned[...] = array
        assert not misaligned.flags.aligned
        return misaligned
    return np.asarray(array, order=order)


# shape (rows, cols, phases), float type, memory order, values, tv_weight, penalty
CASES = [
    ((2, 2, 1), np.float32, "F", "random", 0.5, 1.0),
    ((2, 2, 3), np.float64, "C", "random", 0.3, 2.0),
    ((2, 9, 2), np.float64, "F", "edge", 0.5, 1.0),
    ((9, 2, 4), np.float32, "C", "random", 0.0, 0.5),
    ((7, 5, 2), np.float16, "C", "random", 1.0, 4.0),
    ((33, 17, 3), np.longdouble, "F", "random", 0.1, 0.7),
    ((64, 48, 5), np.float64, "strided", "random", 0.4, 4.0),
    ((48, 64, 3), np.float32, "F", "edge", 0.5, 1e-3),
    ((20, 30, 17), np.float32, "strided", "random", 2.0, 100.0),
    ((21, 34, 3), np.float32, "misaligned", "random", 0.4, 2.0),
    ((12, 10, 2), np.float64, "misaligned", "edge", 0.5, 1.0),
    ((256, 256, 3), np.float64, "C", "random", 0.4, 4.0),
]


@pytest.mark.parametrize("shape, dtype, order, values, tv_weight, penalty", CASES)
def test_bits_equal_the_library(tmp_path, shape, dtype, order, values, tv_weight, penalty):
    costs, u0 = problem(shape, dtype, values, seed=sum(shape))
    costs, u0 = laid_out(costs, order), laid_out(u0, order)
    costs_before, u0_before = costs.copy(), u0.copy()

    u, iterations = daskel.solve(costs, u0, tv_weight, penalty)

    expected = library_solve(costs, u0, tv_weight, penalty, tmp_path)
    assert u.dtype == np.float32 and u.shape == shape
    assert np.array_equal(u.view(np.uint32), expected.view(np.uint32))
    assert 1 <= iterations <= 5
    assert not np.shares_memory(u, u0)
    assert costs.tobytes() == costs_before.tobytes() and u0.tobytes() == u0_before.tobytes()


# A count beyond the CPUs, or beyond the most a solve uses, is taken as that most.
@pytest.mark.parametrize("threads", [1, 3, 10**12])
def test_every_thread_count_gives_the_bits_of_the_library(tmp_path, threads):
    costs, u0 = problem((64, 90, 3), np.float32, "random", seed=7)
    u, _ = daskel.solve(costs, u0, 0.4, 2.0, threads=threads)
    expected = library_solve(costs, u0, 0.4, 2.0, tmp_path)
    assert np.array_equal(u.view(np.uint32), expected.view(np.uint32))


GOOD = dict(costs=np.zeros((4, 5, 2)), u0=np.full((4, 5, 2), 0.5, np.float32), tv_weight=0.5,
            penalty=1.0)
HUGE = np.broadcast_to(np.float32(0), (65536, 32768, 1))  # no memory behind it

# the arguments that differ from GOOD, the exception, a fragment of its message
BAD = [
    (dict(costs="abc"), TypeError, "numeric array; got str 'abc'"),
    (dict(u0=[[1.0, 2.0], [3.0]]), TypeError, "u0 must be an array"),
    (dict(costs=np.zeros((4, 5, 2), complex)), TypeError,
     "real floating-point array; got an array of complex128"),
    (dict(costs=np.zeros((4, 5, 2), np.int64)), TypeError, "got an array of int64"),
    (dict(u0=np.zeros((4, 5, 2), bool)), TypeError, "u0 must be a real floating-point"),
    (dict(costs=np.zeros((4, 5))), ValueError, "3 dimensions (rows, cols, phases); got 2"),
    (dict(u0=np.zeros((4, 5, 3))), ValueError, "shape of costs, (4, 5, 2); got (4, 5, 3)"),
    (dict(u0=np.zeros((5, 4, 2))), ValueError, "got (5, 4, 2)"),
    (dict(costs=np.zeros((1, 5, 2)), u0=np.zeros((1, 5, 2))), ValueError, "at least 2 x 2 x 1"),
    (dict(costs=np.zeros((4, 1, 2)), u0=np.zeros((4, 1, 2))), ValueError, "got shape (4, 1, 2)"),
    (dict(costs=np.zeros((4, 5, 0)), u0=np.zeros((4, 5, 0))), ValueError, "at least 2 x 2 x 1"),
    (dict(costs=HUGE, u0=HUGE), ValueError, "at most 2147483647 elements"),
    (dict(tv_weight=np.nan), ValueError, "tv_weight must be finite; got nan"),
    (dict(tv_weight=1e39), ValueError, "got 1e+39, which is inf as a float32"),
    (dict(tv_weight="0.5"), TypeError, "tv_weight must be a real number; got str"),
    (dict(tv_weight=np.array([0.5])), TypeError, "got an array of float64, shape (1,)"),
    (dict(penalty=-0.0), ValueError,
     "penalty must be a finite number of at least 1.17549e-38; got -0.0"),
    (dict(penalty=np.inf), ValueError, "got inf"),
    (dict(penalty=1e-50), ValueError, "which is 0.0 as a float32"),
    # a subnormal penalty: its reciprocals overflow, and every value became NaN
    (dict(penalty=1e-45), ValueError, "at least 1.17549e-38; got 1e-45"),
    (dict(penalty=2**1100), ValueError, "which is inf as a float32"),
    (dict(penalty=True), TypeError, "penalty must be a real number; got bool"),
    # a NaN or an infinity spread over thousands of pixels and stopped the solve
    (dict(costs=np.where(np.arange(40).reshape(4, 5, 2) == 13, np.inf, 0.0)), ValueError,
     "costs must be finite: a NaN or an infinity spreads over the labelling; got inf at (1, 1, 1)"),
    (dict(u0=np.where(np.arange(40).reshape(4, 5, 2) == 0, np.nan, 0.5)), ValueError,
     "u0 must be finite"),
    (dict(costs=np.full((4, 5, 2), 1e39)), ValueError,
     "got 1e+39 at (0, 0, 0), which is inf as a float32"),
    (dict(costs=np.ma.masked_less(np.arange(40.0).reshape(4, 5, 2), 3)), TypeError,
     "costs must not have masked elements"),
    (dict(threads=-1), ValueError, "threads must be a whole number of at least 0; got -1"),
    (dict(threads=1.5), TypeError, "threads must be an integer; got float"),
    (dict(threads=True), TypeError, "got bool"),
    (dict(threads=np.bool_(True)), TypeError, "threads must be an integer; got bool_"),
]


@pytest.mark.parametrize("changes, error, fragment", BAD)
def test_bad_arguments_are_refused(changes, error, fragment):
    arguments = {**GOOD, **changes}
    before = {name: value.copy() for name, value in arguments.items()
              if isinstance(value, np.ndarray) and value is not HUGE}
    with pytest.raises(error) as raised:
        daskel.solve(**arguments)
    assert fragment in str(raised.value)
    for name, value in before.items():
        assert np.array_equal(arguments[name], value, equal_nan=True), f"{name} was changed"


def longest_pause_beside(work):
    """Runs `work` on another thread; returns how long it took and the longest time this
    thread went without running meanwhile. Holding the interpreter lock through `work` would
    stop this thread for all of it."""
    done = threading.Event()
    took = []

    def run():
        start = time.perf_counter()
        work()
        took.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=run)
    last = time.perf_counter()
    longest = 0.0
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    return took[0], longest


@pytest.mark.parametrize("call", ["solve", "segment"])
def test_the_interpreter_lock_is_released(call):
    # float32 in Fortran order: no conversion, during which numpy itself lets go of the lock
    costs, u0 = (np.asfortranarray(a) for a in problem((600, 600, 4), np.float32, "random", 3))
    image = np.random.default_rng(3).integers(0, 256, (600, 600), np.uint8)
    work = {"solve": lambda: daskel.solve(costs, u0, 0.4, 4.0),
            "segment": lambda: daskel.segment(image, rounds=2)}[call]
    took, longest = longest_pause_beside(work)
    assert longest < 0.5 * took, f"this thread stood still for {longest:.3f} s of {took:.3f} s"


@pytest.mark.parametrize("module", [daskel._solve, daskel._segment])
def test_docstring_examples(module):
    result = doctest.testmod(module)
    assert result.attempted > 0 and result.failed == 0


# Runs a long call in a process of its own, sends that process SIGINT into it, and prints how long
# the call takes uninterrupted and how long it went on after the signal.
INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    import daskel

    random = np.random.default_rng(1)
    if {call!r} == "solve":
        # float32 in Fortran order: no conversion, in which numpy would take the signal itself
        costs, u0 = (np.asfortranarray(random.uniform(0, high, (1000, 1000, 4)), np.float32)
                     for high in (3, 1))
        work = lambda: daskel.solve(costs, u0, 0.1, 0.5, threads=1)
        for warm in range(2):  # the second call finds its buffers' memory mapped already
            start = time.perf_counter()
            work()
            whole = time.perf_counter() - start
        after = whole / 4
    else:
        # Noise large enough that its rounds do not settle (800 x 800 settled within 0.4 s).
        image = random.integers(0, 256, (2000, 2000), np.uint8)
        work = lambda: daskel.segment(image, rounds=1000, threads=1)
        whole, after = float("inf"), 0.5
    threading.Timer(after, os.kill, (os.getpid(), signal.SIGINT)).start()
    start = time.perf_counter()
    try:
        work()
        print("not interrupted")
    except KeyboardInterrupt:
        print(whole, time.perf_counter() - start - after)
    """)


@pytest.mark.parametrize("call", ["solve", "segment"])
def test_ctrl_c_ends_a_long_call_between_outer_iterations(call):
    run = subprocess.run([sys.executable, "-c", INTERRUPTED.format(call=call)],
                         capture_output=True, text=True, env=os.environ, timeout=240, check=True)
    whole, late = (float(word) for word in run.stdout.split())
    # The solve's outer iterations (three here) would take `whole`; the one under way when the
    # signal comes goes on. The segmentation's thousand rounds would take minutes.
    assert late < min(0.6 * whole, 10.0), f"{call}: interrupted {late:.2f} s late of {whole:.2f} s"


def test_the_package_without_its_extension_says_how_to_build_it(tmp_path):
    built = os.path.dirname(daskel.__file__)
    package = tmp_path / "daskel"
    package.mkdir()
    for name in os.listdir(built):
        if name.endswith(".py"):
            (package / name).write_bytes(open(os.path.join(built, name), "rb").read())
    run = subprocess.run([sys.executable, "-c", "import daskel"], cwd=tmp_path,
                         capture_output=True, text=True, env={**os.environ, "PYTHONPATH": ""})
    assert run.returncode == 1
    assert "daskel._core is not built for this Python: build it with" in run.stderr


def test_the_version_is_the_projects():
    project = open(source_file("CMakeLists.txt")).read()
    assert f"project(daskel VERSION {daskel.__version__} " in project
