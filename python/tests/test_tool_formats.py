"""daskel-segment on TIFF stacks that Pillow writes: one call segments every page, each into its
page of the labels TIFF, equal to daskel.segment of that page's samples."""

import os
import re
import subprocess

import numpy as np
import pytest

import daskel
from conftest import program

PAGES = 10


@pytest.fixture(name="Image")
def pillow_image():
    """Pillow's Image module, which writes the stacks and reads the tool's labels."""
    return pytest.importorskip("PIL.Image", reason="Pillow (python3-pil) writes TIFF stacks")


@pytest.fixture(name="tool")
def segment_tool():
    """daskel-segment, which a build without libpng, libtiff or libjpeg lacks."""
    if not os.environ.get("DASKEL_SEGMENT_TOOL"):
        pytest.skip("daskel-segment is not built (libpng, libtiff or libjpeg not found)")
    return program("DASKEL_SEGMENT_TOOL")


def page(seed, shape=(36, 52)):
    """A noisy picture of three regions whose levels change from page to page, as intensities."""
    random = np.random.default_rng(seed)
    rows, cols = shape
    i, j = np.mgrid[0:rows, 0:cols]
    levels = np.array([0.15, 0.45, 0.8]) + random.uniform(-0.1, 0.1, 3)
    regions = (i > rows // 2).astype(int) + ((j - cols // 3) ** 2 + (i - rows // 3) ** 2
                                             < (rows // 4) ** 2)
    return np.clip(levels[regions] + random.normal(0.0, 0.06, shape), 0.0, 1.0)


# the stack's samples from a page's intensities
STACKS = {
    "16-bit grey": lambda intensities: np.rint(intensities * 65535).astype(np.uint16),
    "32-bit float": lambda intensities: intensities.astype(np.float32),
}


@pytest.mark.parametrize("samples_of", STACKS.values(), ids=STACKS.keys())
def test_a_stack_is_segmented_page_by_page_as_segment_does(tool, Image, tmp_path, samples_of):
    stack = [samples_of(page(seed)) for seed in range(PAGES)]
    images = [Image.fromarray(samples) for samples in stack]
    images[0].save(tmp_path / "stack.tif", save_all=True, append_images=images[1:])

    run = subprocess.run([tool, tmp_path / "stack.tif", tmp_path / "phases.tif",
                          "--labels", tmp_path / "labels.tif", "--phases", "3"],
                         check=True, capture_output=True, text=True)

    labels = Image.open(tmp_path / "labels.tif")
    assert labels.n_frames == PAGES
    printed = re.findall(r"^\s+\d+\s+(\d\.\d{3})\s+[\d.]+ %$", run.stdout, re.MULTILINE)
    assert len(printed) == 3 * PAGES, run.stdout
    for number, samples in enumerate(stack):
        labels.seek(number)
        result = daskel.segment(samples, phases=3)
        assert np.array_equal(np.asarray(labels), result.labels), f"page {number}"
        assert [f"{level:.3f}" for level in result.levels] == printed[3 * number:3 * number + 3]
        assert f"(page {number + 1} of {PAGES}): 52 x 36 pixels, 3 phases" in run.stdout
