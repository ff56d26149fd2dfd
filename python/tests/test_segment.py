"""daskel.segment: the labels of the command-line tool daskel-segment on the same picture, for
every sample type and option; every malformed argument refused, with the image unchanged, and bad
settings refused in the tool's words."""

import os
import re
import subprocess

import numpy as np
import pytest

import daskel
from conftest import program, source_file

CAMERA = source_file("data/camera.png")


def synthetic(shape, maximum, seed):
    """A noisy picture of three bands of intensity 0.2, 0.5 and 0.8, as samples up to
    `maximum`; the channels of a colour picture are scaled apart."""
    random = np.random.default_rng(seed)
    rows, cols = shape[:2]
    i, j = np.mgrid[0:rows, 0:cols]
    clean = np.array([0.2, 0.5, 0.8])[(3 * i // rows + (j > cols // 3)) % 3]
    if len(shape) == 3:
        clean = clean[..., np.newaxis] * random.uniform(0.6, 1.0, shape[2])
    noisy = np.rint((clean + random.normal(0.0, 0.08, shape)) * maximum)
    return np.clip(noisy, 0, maximum).astype(np.uint8 if maximum == 255 else np.uint16)


@pytest.fixture(name="Image")
def pillow_image():
    """Pillow's Image module, which reads and writes the PNGs of the tool."""
    return pytest.importorskip("PIL.Image", reason="Pillow (python3-pil) reads and writes PNGs")


@pytest.fixture(name="tool")
def segment_tool():
    """daskel-segment, which a build without libpng lacks."""
    if not os.environ.get("DASKEL_SEGMENT_TOOL"):
        pytest.skip("daskel-segment is not built (libpng, libtiff or libjpeg not found)")
    return program("DASKEL_SEGMENT_TOOL")


def tool_result(tool, Image, png, options, folder):
    """The labels that daskel-segment writes for `png`, and the phase intensities it prints."""
    labels = folder / "labels.png"
    run = subprocess.run([tool, png, folder / "phases.png",
                          "--labels", labels, *options],
                         check=True, capture_output=True, text=True)
    printed = re.findall(r"^\s+\d+\s+(\d\.\d{3,})\s+[\d.]+ %$", run.stdout, re.MULTILINE)
    return np.asarray(Image.open(labels)), printed


def strided(picture):
    """The same pixels as a view into a larger array, with steps between the rows and columns."""
    larger = np.zeros((2 * picture.shape[0], 3 * picture.shape[1]) + picture.shape[2:],
                      picture.dtype)
    larger[::2, ::3] = picture
    return larger[::2, ::3]


def misaligned(picture):
    """The same pixels one byte off the alignment of their samples, as a view into bytes."""
    buffer = bytearray(picture.nbytes + 1)
    view = np.frombuffer(buffer, picture.dtype, picture.size, offset=1).reshape(picture.shape)
    view[...] = picture
    assert not view.flags.aligned
    return view


# name, the picture the tool reads (the photograph, or the shape and largest sample of a synthetic
# one), what segment is given instead of the samples, tool options, the same options for segment
CASES = [
    ("camera", "camera", None, [], {}),
    ("camera as float64 in Fortran order", "camera", lambda p: np.asfortranarray(p / 255.0), [],
     {}),
    ("camera, every option", "camera", None, ["--phases", "2", "--tv", "1.5", "--penalty", "2",
                                              "--rounds", "3"],
     dict(phases=2, tv=1.5, penalty=2, rounds=3)),
    ("camera, starting levels", "camera", None, ["--levels", "0.1,0.5,0.9", "--rounds", "2"],
     dict(levels=[0.9, 0.1, 0.5], rounds=2)),
    ("RGB", ((48, 80, 3), 255), None, [], {}),
    ("RGBA as a strided view", ((61, 40, 4), 255), strided, ["--phases", "4"], dict(phases=4)),
    ("16-bit grey", ((50, 70), 65535), None, [], {}),
    ("16-bit grey, misaligned", ((50, 70), 65535), misaligned, [], {}),
    # samples up to 512 of 65535: the tool prints the levels with more decimals
    ("16-bit grey, low range", ((50, 70), 512), None, [], {}),
    ("camera as misaligned float64", "camera", lambda p: misaligned(p / 255.0), [], {}),
    ("grey and alpha as float32", ((30, 20, 2), 255), lambda p: (p / 255.0).astype(np.float32),
     ["--phases", "2"], dict(phases=2)),
]


@pytest.mark.parametrize("picture, given, tool_options, options",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_labels_equal_the_tool(tool, Image, tmp_path, picture, given, tool_options, options):
    if picture == "camera":
        png, samples = CAMERA, np.asarray(Image.open(CAMERA))
    else:
        shape, maximum = picture
        samples = synthetic(shape, maximum, seed=sum(shape))
        png = tmp_path / "picture.png"
        Image.fromarray(samples).save(png)
    image = samples if given is None else given(samples)
    before = image.copy()

    result = daskel.segment(image, **options)

    expected, printed_levels = tool_result(tool, Image, png, tool_options, tmp_path)
    assert result.labels.dtype == np.uint8 and np.array_equal(result.labels, expected)
    decimals = len(printed_levels[0].split(".")[1])
    assert decimals == (4 if picture != "camera" and picture[1] == 512 else 3)
    assert [f"{level:.{decimals}f}" for level in result.levels] == printed_levels
    assert result.u.shape == samples.shape[:2] + (len(result.levels),)
    assert np.array_equal(result.labels, result.u.argmax(axis=2))
    assert np.array_equal(image, before)


GREY = np.linspace(0.0, 1.0, 20).reshape(4, 5)
HUGE = np.broadcast_to(np.uint8(0), (65536, 32768))  # no memory behind it

# the arguments that differ from segment(GREY), the exception, a fragment of its message
BAD = [
    (dict(image="abc"), TypeError, "image must be a numeric array; got str"),
    (dict(image=GREY + 0j), TypeError, "integer, bool or floating-point type (intensities in"
                                       " [0, 1]); got complex128"),
    (dict(image=np.full((4, 5), -7, np.int16)), ValueError,
     "a signed image scaled as img_as_float scales it must lie in [0, 1]; got -0.000213"),
    (dict(image=np.zeros(20)), ValueError, "(rows, cols, channels) with 1 to 4 channels; got shape"
                                           " (20,)"),
    (dict(image=np.zeros((4, 5, 5))), ValueError, "got shape (4, 5, 5)"),
    (dict(image=np.zeros((1, 5))), ValueError, "image must be at least 2 x 2 pixels; got 1 x 5"),
    (dict(image=HUGE), ValueError, "too large for 3 phases"),
    (dict(image=GREY * 1.5), ValueError, "image must lie in [0, 1]; got 1.026"),
    (dict(image=np.where(GREY > 0.5, np.nan, GREY)), ValueError, "got nan"),
    (dict(image=np.dstack([GREY, GREY, GREY * 2])), ValueError, "lie in [0, 1]"),
    (dict(phases=2.0), TypeError, "phases must be an integer; got float"),
    (dict(levels=[[0.1, 0.5, 0.9]]), ValueError, "levels must be a sequence of intensities"),
    (dict(levels=["a", "b", "c"]), TypeError, "levels must be a real number; got str"),
    (dict(penalty=1e-46), ValueError, "got 1e-46, which is 0.0 as a float32"),
    (dict(penalty=2.0**200), ValueError, "which is inf as a float32"),
    (dict(rounds=10**30), ValueError, f"rounds must be a whole number from 1 to 1000; got {10**30}"),
    (dict(penalty=2**1100), ValueError, "which is inf as a float32"),
    (dict(threads=np.bool_(True)), TypeError, "threads must be an integer; got bool_"),
    (dict(image=np.ma.masked_greater(GREY, 0.5)), TypeError, "image must not have masked elements"),
]


@pytest.mark.parametrize("changes, error, fragment", BAD)
def test_bad_arguments_are_refused(changes, error, fragment):
    arguments = {"image": GREY, **changes}
    image = arguments["image"]
    before = image.copy() if isinstance(image, np.ndarray) and image is not HUGE else None
    with pytest.raises(error) as raised:
        daskel.segment(**arguments)
    assert fragment in str(raised.value)
    if before is not None:
        assert np.array_equal(image, before, equal_nan=True)


# Settings the method refuses, given to daskel.segment and to daskel-segment: segment's arguments,
# the tool's, and what both must say, the words of the one C++ check, before the value as given.
REFUSED_SETTINGS = [
    (dict(phases=1), ["--phases", "1"], "phases must be a whole number from 2 to 16"),
    (dict(phases=17), ["--phases", "17"], "phases must be a whole number from 2 to 16"),
    (dict(levels=[0.1, 0.9]), ["--phases", "3", "--levels", "0.1,0.9"],
     "levels must hold one intensity per phase, 3"),
    (dict(levels=[0.1, 1.2, 0.5]), ["--levels", "0.1,1.2,0.5"], "levels must lie between 0 and 1"),
    (dict(levels=[0.5, 0.1, 0.5]), ["--levels", "0.5,0.1,0.5"], "levels must not repeat an intensity"),
    (dict(tv=-0.5), ["--tv", "-0.5"], "tv must be a finite number of at least 0"),
    (dict(tv=float("nan")), ["--tv", "nan"], "tv must be a finite number of at least 0"),
    (dict(penalty=0.0), ["--penalty", "0"], "penalty must be a finite number of at least 1.17549e-38"),
    (dict(penalty=1e-45), ["--penalty", "1e-45"],
     "penalty must be a finite number of at least 1.17549e-38"),
    (dict(penalty=np.inf), ["--penalty", "inf"],
     "penalty must be a finite number of at least 1.17549e-38"),
    (dict(rounds=0), ["--rounds", "0"], "rounds must be a whole number from 1 to 1000"),
    (dict(threads=-2), ["--threads", "-2"], "threads must be a whole number from 0 to 256"),
    (dict(window=4), ["--window", "4"], "window must be 0 or an odd whole number from 1 to 99"),
]


@pytest.mark.parametrize("options, tool_options, words", REFUSED_SETTINGS)
def test_python_and_the_tool_refuse_the_same_settings_in_the_same_words(tool, tmp_path, options,
                                                                        tool_options, words):
    with pytest.raises(ValueError) as raised:
        daskel.segment(GREY, **options)
    assert str(raised.value).startswith(f"{words}; got ")
    run = subprocess.run([tool, CAMERA, tmp_path / "out.png", *tool_options],
                         capture_output=True, text=True)
    assert run.returncode == 1 and f": --{words}; got '" in run.stderr
    assert not (tmp_path / "out.png").exists()



@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.uint32, np.int64, np.uint64,
                                   bool])
def test_other_integer_and_bool_images_are_taken_as_img_as_float_scales_them(dtype):
    util = pytest.importorskip("skimage.util", reason="scikit-image (python3-skimage) scales them")
    samples = synthetic((40, 50), 255, seed=3)  # uint8
    if dtype is bool:
        picture = samples > 127
    else:  # the 8-bit levels spread over the type's range, in integer arithmetic
        maximum = np.iinfo(dtype).max
        picture = (samples.astype(np.uint64) * np.uint64(max(maximum // 255, 1))).astype(dtype)
        if maximum < 255:
            picture = (samples // 2).astype(dtype)
    result = daskel.segment(picture, phases=2)
    expected = daskel.segment(util.img_as_float(picture), phases=2)
    assert np.array_equal(result.u, expected.u) and np.array_equal(result.labels, expected.labels)
