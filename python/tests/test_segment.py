"""daskel.segment: the labels of the command-line tool daskel-segment on the same picture, for
every sample type and option; every malformed argument refused, with the image unchanged."""

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


def tool_result(Image, png, options, folder):
    """The labels that daskel-segment writes for `png`, and the phase intensities it prints."""
    labels = folder / "labels.png"
    run = subprocess.run([program("DASKEL_SEGMENT_TOOL"), png, folder / "phases.png",
                          "--labels", labels, *options],
                         check=True, capture_output=True, text=True)
    printed = re.findall(r"^\s+\d+\s+(\d\.\d{3})\s+[\d.]+ %$", run.stdout, re.MULTILINE)
    return np.asarray(Image.open(labels)), printed


def strided(picture):
    """The same pixels as a view into a larger array, with steps between the rows and columns."""
    larger = np.zeros((2 * picture.shape[0], 3 * picture.shape[1]) + picture.shape[2:],
                      picture.dtype)
    larger[::2, ::3] = picture
    return larger[::2, ::3]


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
    ("grey and alpha as float32", ((30, 20, 2), 255), lambda p: (p / 255.0).astype(np.float32),
     ["--phases", "2"], dict(phases=2)),
]


@pytest.mark.parametrize("picture, given, tool_options, options",
                         [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_labels_equal_the_tool(Image, tmp_path, picture, given, tool_options, options):
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

    expected, printed_levels = tool_result(Image, png, tool_options, tmp_path)
    assert result.labels.dtype == np.uint8 and np.array_equal(result.labels, expected)
    assert [f"{level:.3f}" for level in result.levels] == printed_levels
    assert result.u.shape == samples.shape[:2] + (len(result.levels),)
    assert np.array_equal(result.labels, result.u.argmax(axis=2))
    assert np.array_equal(image, before)


GREY = np.linspace(0.0, 1.0, 20).reshape(4, 5)
HUGE = np.broadcast_to(np.uint8(0), (65536, 32768))  # no memory behind it

# the arguments that differ from segment(GREY), the exception, a fragment of its message
BAD = [
    (dict(image="abc"), TypeError, "image must be a numeric array; got str"),
    (dict(image=GREY + 0j), TypeError, "uint8, uint16 or floating point (intensities in [0, 1]);"
                                       " got complex128"),
    (dict(image=np.zeros((4, 5), np.int64)), TypeError, "got int64"),
    (dict(image=np.zeros((4, 5), np.uint32)), TypeError, "got uint32"),
    (dict(image=np.zeros(20)), ValueError, "(rows, cols, channels) with 1 to 4 channels; got shape"
                                           " (20,)"),
    (dict(image=np.zeros((4, 5, 5))), ValueError, "got shape (4, 5, 5)"),
    (dict(image=np.zeros((1, 5))), ValueError, "image must be at least 2 x 2 pixels; got 1 x 5"),
    (dict(image=HUGE), ValueError, "too large for 3 phases"),
    (dict(image=GREY * 1.5), ValueError, "image must lie in [0, 1]; got 1.026"),
    (dict(image=np.where(GREY > 0.5, np.nan, GREY)), ValueError, "got nan"),
    (dict(image=np.dstack([GREY, GREY, GREY * 2])), ValueError, "lie in [0, 1]"),
    (dict(phases=1), ValueError, "phases must be an integer from 2 to 16; got 1"),
    (dict(phases=17), ValueError, "got 17"),
    (dict(phases=2.0), TypeError, "phases must be an integer; got float"),
    (dict(levels=[0.1, 0.9]), ValueError, "one intensity per phase, 3; got 2"),
    (dict(levels=[[0.1, 0.5, 0.9]]), ValueError, "sequence of 3"),
    (dict(levels=[0.1, 1.2, 0.5]), ValueError, "levels must be between 0 and 1; got 1.2"),
    (dict(levels=[0.5, 0.1, 0.5]), ValueError, "must not repeat an intensity"),
    (dict(levels=["a", "b", "c"]), TypeError, "levels must be a real number; got str"),
    (dict(tv=-0.5), ValueError, "tv must be finite and at least 0; got -0.5"),
    (dict(tv=np.inf), ValueError, "got inf"),
    (dict(penalty=0.0), ValueError, "penalty must be finite and greater than 0; got 0.0"),
    (dict(rounds=0), ValueError, "rounds must be an integer from 1 to 1000; got 0"),
    (dict(rounds=1001), ValueError, "got 1001"),
    (dict(threads=-2), ValueError, "threads must be an integer at least 0; got -2"),
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
