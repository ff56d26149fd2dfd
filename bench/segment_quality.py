#!/usr/bin/python3
"""Quality benchmark of daskel-segment on pictures with known regions.

Generates 256 x 256 pictures from fixed seeds (2 to 5 phases, clean to very noisy, text strokes,
thin lines, a small minority phase, an intensity ramp, dark and bright, 8 and 16 bit), segments
each with daskel-segment given only --phases K, and with two scikit-image pipelines as peers:
multi-level Otsu thresholds on the picture, and the same after total-variation denoising
(denoise_tv_chambolle, weight 0.1). Prints, per picture and on average, the share of pixels
labelled right (all three number phases by increasing intensity, as the truth does), the
intersection over union of the worst phase, and the number of empty phases.

Run with Debian's interpreter, which has numpy, scikit-image and imageio:

    /usr/bin/python3 bench/segment_quality.py [--tool build/tools/daskel-segment/daskel-segment]
                                               [--short] [--markdown]

It is a benchmark, not a test: it never fails on a low score. --short runs a few pictures only.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import imageio
import numpy as np
from skimage.filters import threshold_multiotsu
from skimage.restoration import denoise_tv_chambolle

SIZE = 256
TV_WEIGHT = 0.1

# --- Layouts: each returns the phase of every pixel (0 to phases - 1) ---------------------------


def pixel_grid():
    """Pixel centres on a 0 to 1 scale: (y, x)."""
    centres = (np.arange(SIZE) + 0.5) / SIZE
    return np.meshgrid(centres, centres, indexing="ij")


def shapes(phases, rng):
    """A background with discs and rectangles of the other phases."""
    y, x = pixel_grid()
    truth = np.zeros((SIZE, SIZE), np.uint8)
    for phase in range(1, phases):
        for _ in range(2):
            cy, cx = rng.uniform(0.15, 0.85, 2)
            if rng.random() < 0.5:
                radius = rng.uniform(0.08, 0.18)
                truth[(y - cy) ** 2 + (x - cx) ** 2 < radius**2] = phase
            else:
                hy, hx = rng.uniform(0.06, 0.16, 2)
                truth[(abs(y - cy) < hy) & (abs(x - cx) < hx)] = phase
    return truth


def rings(phases, rng):
    """Concentric rings around an off-centre point, phases in turn."""
    y, x = pixel_grid()
    cy, cx = rng.uniform(0.4, 0.6, 2)
    radius = np.sqrt((y - cy) ** 2 + (x - cx) ** 2)
    return (np.floor(radius / 0.09).astype(int) % phases).astype(np.uint8)


def blobs(phases, rng):
    """Level sets of a smooth random field, cut at its quantiles: curved, interleaved regions."""
    y, x = pixel_grid()
    field = np.zeros_like(x)
    for _ in range(6):
        fy, fx = rng.uniform(2.0, 9.0, 2)
        py, px = rng.uniform(0.0, 2.0 * np.pi, 2)
        field += np.sin(fy * y + py) * np.cos(fx * x + px)
    cuts = np.quantile(field, np.arange(1, phases) / phases)
    return np.digitize(field, cuts).astype(np.uint8)


def segments_mask(segments, width):
    """Pixels within width / 2 of any of the segments ((y0, x0, y1, x1) in pixels)."""
    y, x = np.meshgrid(np.arange(SIZE) + 0.5, np.arange(SIZE) + 0.5, indexing="ij")
    mask = np.zeros((SIZE, SIZE), bool)
    for y0, x0, y1, x1 in segments:
        dy, dx = y1 - y0, x1 - x0
        t = np.clip(((y - y0) * dy + (x - x0) * dx) / max(dy * dy + dx * dx, 1e-9), 0.0, 1.0)
        mask |= (y - y0 - t * dy) ** 2 + (x - x0 - t * dx) ** 2 < (width / 2.0) ** 2
    return mask


# Letters as strokes on a grid 4 wide and 6 high (y down).
STROKE_FONT = {
    "D": [(0, 0, 6, 0), (0, 0, 1, 3), (1, 3, 5, 3), (5, 3, 6, 0)],
    "A": [(6, 0, 0, 2), (0, 2, 6, 4), (3, 1, 3, 3)],
    "S": [(0, 4, 0, 0), (0, 0, 3, 0), (3, 0, 3, 4), (3, 4, 6, 4), (6, 4, 6, 0)],
    "K": [(0, 0, 6, 0), (3, 0, 0, 4), (3, 0, 6, 4)],
    "E": [(0, 4, 0, 0), (0, 0, 6, 0), (6, 0, 6, 4), (3, 0, 3, 3)],
    "L": [(0, 0, 6, 0), (6, 0, 6, 4)],
    "M": [(6, 0, 0, 0), (0, 0, 3, 2), (3, 2, 0, 4), (0, 4, 6, 4)],
    "X": [(0, 0, 6, 4), (0, 4, 6, 0)],
}


def text(_phases, _rng):
    """Lines of letters drawn with strokes 3 pixels wide, phase 1 on phase 0."""
    scale = 4.0  # pixels per font unit: letters 16 x 24 pixels
    segments = []
    word = "DASKEL MEX "
    for line, top in enumerate(range(14, SIZE - 30, 40)):
        left = 10.0 + 6.0 * line
        for i, letter in enumerate((word * 3)[line : line + 11]):
            for y0, x0, y1, x1 in STROKE_FONT.get(letter, []):
                ox = left + i * 22.0
                segments.append(
                    (top + y0 * scale, ox + x0 * scale, top + y1 * scale, ox + x1 * scale)
                )
    return segments_mask(segments, 3.0).astype(np.uint8)


def thin_lines(phases, rng):
    """Straight lines 2 and 3 pixels wide at several angles, alternating phases 1 .. K - 1."""
    segments = {width: [] for width in (2.0, 3.0)}
    for i in range(14):
        angle = rng.uniform(0.0, np.pi)
        cy, cx = rng.uniform(30, SIZE - 30, 2)
        half = rng.uniform(40, 110)
        dy, dx = half * np.sin(angle), half * np.cos(angle)
        segments[2.0 if i % 2 == 0 else 3.0].append((cy - dy, cx - dx, cy + dy, cx + dx))
    truth = np.zeros((SIZE, SIZE), np.uint8)
    for n, (width, lines) in enumerate(segments.items()):
        truth[segments_mask(lines, width)] = 1 + n % (phases - 1)
    return truth


def minority(phases, rng):
    """Large regions of phases 0 .. K - 2 and small dots of phase K - 1 covering about 2 %."""
    truth = blobs(phases - 1, rng)
    y, x = pixel_grid()
    for _ in range(12):
        cy, cx = rng.uniform(0.05, 0.95, 2)
        truth[(y - cy) ** 2 + (x - cx) ** 2 < 0.023**2] = phases - 1
    return truth


LAYOUTS = {
    "shapes": shapes,
    "rings": rings,
    "blobs": blobs,
    "text": text,
    "lines": thin_lines,
    "minority": minority,
}

# --- The pictures ------------------------------------------------------------------------------

# name, layout, phase levels, noise deviation as a share of the smallest gap between levels,
# bits per sample, size of an intensity ramp across the picture (as a share of the smallest gap).
CASES = [
    ("2 phases clean", "shapes", [0.2, 0.8], 0.0, 8, 0.0),
    ("2 phases noise 0.6", "shapes", [0.3, 0.7], 0.6, 8, 0.0),
    ("3 phases clean", "shapes", [0.1, 0.5, 0.9], 0.0, 8, 0.0),
    ("3 phases noise 0.3", "shapes", [0.1, 0.5, 0.9], 0.3, 8, 0.0),
    ("3 blobs noise 0.5", "blobs", [0.2, 0.5, 0.8], 0.5, 8, 0.0),
    ("3 phases noise 0.6, 16 bit", "shapes", [0.25, 0.5, 0.75], 0.6, 16, 0.0),
    ("4 rings light noise", "rings", [0.1, 0.4, 0.6, 0.9], 0.1, 8, 0.0),
    ("4 blobs two close levels", "blobs", [0.1, 0.45, 0.55, 0.9], 0.3, 8, 0.0),
    ("4 blobs noise 0.5", "blobs", [0.1, 0.37, 0.63, 0.9], 0.5, 8, 0.0),
    ("4 shapes noise 0.8", "shapes", [0.1, 0.37, 0.63, 0.9], 0.8, 8, 0.0),
    ("5 rings clean", "rings", [0.0, 0.25, 0.5, 0.75, 1.0], 0.0, 8, 0.0),
    ("5 blobs noise 0.3", "blobs", [0.1, 0.3, 0.5, 0.7, 0.9], 0.3, 8, 0.0),
    ("5 shapes noise 0.5, 16 bit", "shapes", [0.1, 0.3, 0.5, 0.7, 0.9], 0.5, 16, 0.0),
    ("5 blobs noise 0.8", "blobs", [0.1, 0.3, 0.5, 0.7, 0.9], 0.8, 8, 0.0),
    ("text 3 px noise 0.3", "text", [0.25, 0.75], 0.3, 8, 0.0),
    ("text 3 px noise 0.6", "text", [0.25, 0.75], 0.6, 8, 0.0),
    ("lines 2-3 px noise 0.3", "lines", [0.2, 0.8], 0.3, 8, 0.0),
    ("3 lines 2-3 px clean", "lines", [0.1, 0.5, 0.9], 0.0, 8, 0.0),
    ("2 % minority phase", "minority", [0.2, 0.5, 0.8], 0.3, 8, 0.0),
    ("3 phases on a ramp", "shapes", [0.2, 0.5, 0.8], 0.2, 8, 0.6),
    ("dark 3 phases, 8 bit", "blobs", [0.02, 0.06, 0.10], 0.3, 8, 0.0),
    ("bright 3 phases, 16 bit", "shapes", [0.88, 0.92, 0.96], 0.3, 16, 0.0),
    ("dark 4 phases clean, 16 bit", "rings", [0.01, 0.02, 0.03, 0.04], 0.0, 16, 0.0),
]
SHORT_CASES = {"3 phases clean", "4 rings light noise", "5 rings clean", "text 3 px noise 0.6"}


def make_picture(index, layout, levels, noise, bits, ramp):
    """The picture (samples on a 0 to 1 scale, quantised to `bits`) and its true phases."""
    rng = np.random.default_rng(1000 + index)
    truth = LAYOUTS[layout](len(levels), rng)
    gap = float(np.min(np.diff(levels)))
    clean = np.asarray(levels, float)[truth]
    _, x = pixel_grid()
    clean += ramp * gap * (x - 0.5)
    values = np.clip(clean + rng.normal(0.0, noise * gap, truth.shape), 0.0, 1.0)
    top = 2**bits - 1
    samples = np.round(values * top).astype(np.uint16 if bits == 16 else np.uint8)
    return samples, truth


# --- The three methods -------------------------------------------------------------------------


def daskel_labels(tool, samples, phases, folder):
    picture = os.path.join(folder, "picture.png")
    labels = os.path.join(folder, "labels.png")
    imageio.imwrite(picture, samples)
    subprocess.run(
        [tool, picture, os.path.join(folder, "phases.png"), "--phases", str(phases),
         "--labels", labels, "--quiet"],
        check=True,
    )
    return imageio.imread(labels)


def otsu_labels(intensity, phases):
    return np.digitize(intensity, threshold_multiotsu(intensity, classes=phases)).astype(np.uint8)


def tv_otsu_labels(intensity, phases):
    return otsu_labels(denoise_tv_chambolle(intensity, weight=TV_WEIGHT), phases)


def scores(labels, truth, phases):
    """Share of pixels right, the worst phase's intersection over union, the empty phases."""
    accuracy = float(np.mean(labels == truth))
    ious = []
    for k in range(phases):
        union = np.count_nonzero((labels == k) | (truth == k))
        ious.append(np.count_nonzero((labels == k) & (truth == k)) / union)
    empty = sum(1 for k in range(phases) if not np.any(labels == k))
    return accuracy, min(ious), empty


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/tools/daskel-segment/daskel-segment")
    parser.add_argument("--short", action="store_true", help="a few pictures only")
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()

    methods = ["daskel-segment", "multi-Otsu", "TV + multi-Otsu"]
    rows = []
    started = time.time()
    with tempfile.TemporaryDirectory() as folder:
        for index, (name, layout, levels, noise, bits, ramp) in enumerate(CASES):
            if args.short and name not in SHORT_CASES:
                continue
            samples, truth = make_picture(index, layout, levels, noise, bits, ramp)
            phases = len(levels)
            intensity = samples.astype(float) / (2**bits - 1)
            results = [
                daskel_labels(args.tool, samples, phases, folder),
                otsu_labels(intensity, phases),
                tv_otsu_labels(intensity, phases),
            ]
            rows.append((name, [scores(labels, truth, phases) for labels in results]))

    means = tuple(
        (np.mean([r[m][0] for _, r in rows]), np.mean([r[m][1] for _, r in rows]),
         sum(r[m][2] for _, r in rows))
        for m in range(len(methods))
    )
    table = rows + [("mean (empty: all pictures)", means)]
    if args.markdown:
        print("| picture | " + " | ".join(methods) + " |")
        print("|---|" + "---|" * len(methods))
        for name, result in table:
            cells = [f"{100 * a:.1f} / {100 * i:.1f}" + (f", {e} empty" if e else "")
                     for a, i, e in result]
            print(f"| {name} | " + " | ".join(cells) + " |")
    else:
        print(f"{'':30s}" + "".join(f"{m:>24s}" for m in methods))
        print(f"{'picture':30s}" + f"{'right  worst IoU  empty':>24s}" * len(methods))
        for name, result in table:
            cells = [f"{100 * a:6.1f} {100 * i:9.1f} {e:6d}" for a, i, e in result]
            print(f"{name:30s}" + "".join(f"{c:>24s}" for c in cells))
    print(f"{len(rows)} pictures, {time.time() - started:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
