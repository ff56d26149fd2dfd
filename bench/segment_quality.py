#!/usr/bin/python3
"""Quality benchmark of daskel-segment on pictures with known regions.

Generates 256 x 256 pictures from fixed seeds (2 to 5 phases, clean to very noisy, text strokes,
thin lines, 1-pixel lines and dots, a small minority phase, an intensity ramp, dark and bright,
low-range 8- and 16-bit pictures, one picture at several contrasts, a texture), segments each
with daskel-segment given only --phases K, and with simple peers at their defaults: multi-level
Otsu thresholds on the picture, the same after total-variation denoising (denoise_tv_chambolle,
weight 0.1, and denoise_tv_bregman), k-means of the intensities (scipy's kmeans2 from k-means++
starts), a Gaussian mixture of them (EM from the k-means partition) and, for two phases,
Chan-Vese. Prints, per picture and on average, the share of pixels labelled right (every method
numbers phases by increasing intensity, as the truth does), the intersection over union of the
worst phase, and the number of empty phases; then each family of pictures: the tool's mean
share right beside the best peer's.

Run with Debian's interpreter, which has numpy, scikit-image and imageio:

    /usr/bin/python3 bench/segment_quality.py [--tool build/tools/daskel-segment/daskel-segment]
                                               [--short] [--markdown] [--seed N]

It is a benchmark, not a test: it never fails on a low score. --short runs a few pictures only;
--seed N draws other pictures of the same kinds (the default 1000 gives the table in the docs).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import imageio
import numpy as np
from scipy.cluster.vq import kmeans2
from skimage.filters import threshold_multiotsu
from skimage.restoration import denoise_tv_bregman, denoise_tv_chambolle
from skimage.segmentation import chan_vese

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


def pixel_lines(_phases, rng):
    """1-pixel lines at several angles (drawn by their pixel centres) and single dots of the
    brightest phase on phase 0, with a 3-pixel bar; for three phases, 1-pixel lines of phase 1
    too."""
    truth = np.zeros((SIZE, SIZE), np.uint8)
    top = _phases - 1
    for n in range(16):
        angle = rng.uniform(0.0, np.pi)
        cy, cx = rng.uniform(40, SIZE - 40, 2)
        half = rng.uniform(20, 60)
        t = np.linspace(-half, half, int(4 * half))
        rows = np.clip(np.round(cy + t * np.sin(angle)).astype(int), 0, SIZE - 1)
        cols = np.clip(np.round(cx + t * np.cos(angle)).astype(int), 0, SIZE - 1)
        truth[rows, cols] = top if n % 2 == 0 or _phases == 2 else 1
    for _ in range(60):
        truth[tuple(rng.integers(2, SIZE - 2, 2))] = top
    truth[200:203, 20:60] = top
    return truth


def texture(_phases, rng):
    """Two regions (the shapes of two phases) under a pattern about their means (stripes 4 pixels
    wide or checks of 3, make_picture adds it): truth is the region, whose means differ by less
    than the pattern's amplitude."""
    return shapes(2, rng)


LAYOUTS = {
    "shapes": shapes,
    "rings": rings,
    "blobs": blobs,
    "text": text,
    "lines": thin_lines,
    "minority": minority,
    "pixel lines": pixel_lines,
    "texture": texture,
    "checks": texture,
}

# --- The pictures ------------------------------------------------------------------------------

# name, layout, phase levels, noise deviation as a share of the smallest gap between levels,
# bits per sample, size of an intensity ramp across the picture (as a share of the smallest gap),
# and the family the picture counts in. A scale a below 1 (the contrast family) maps the clean
# intensities I to 0.1 (1 - a) + a I before the noise, which is a share of the scaled gap.
CASES = [
    ("2 phases clean", "shapes", [0.2, 0.8], 0.0, 8, 0.0, "shapes and blobs"),
    ("2 phases noise 0.6", "shapes", [0.3, 0.7], 0.6, 8, 0.0, "shapes and blobs"),
    ("3 phases clean", "shapes", [0.1, 0.5, 0.9], 0.0, 8, 0.0, "shapes and blobs"),
    ("3 phases noise 0.3", "shapes", [0.1, 0.5, 0.9], 0.3, 8, 0.0, "shapes and blobs"),
    ("3 blobs noise 0.5", "blobs", [0.2, 0.5, 0.8], 0.5, 8, 0.0, "shapes and blobs"),
    ("3 phases noise 0.6, 16 bit", "shapes", [0.25, 0.5, 0.75], 0.6, 16, 0.0, "shapes and blobs"),
    ("4 rings light noise", "rings", [0.1, 0.4, 0.6, 0.9], 0.1, 8, 0.0, "rings"),
    ("4 blobs two close levels", "blobs", [0.1, 0.45, 0.55, 0.9], 0.3, 8, 0.0, "shapes and blobs"),
    ("4 blobs noise 0.5", "blobs", [0.1, 0.37, 0.63, 0.9], 0.5, 8, 0.0, "shapes and blobs"),
    ("4 shapes noise 0.8", "shapes", [0.1, 0.37, 0.63, 0.9], 0.8, 8, 0.0, "shapes and blobs"),
    ("5 rings clean", "rings", [0.0, 0.25, 0.5, 0.75, 1.0], 0.0, 8, 0.0, "rings"),
    ("5 blobs noise 0.3", "blobs", [0.1, 0.3, 0.5, 0.7, 0.9], 0.3, 8, 0.0, "shapes and blobs"),
    ("5 shapes noise 0.5, 16 bit", "shapes", [0.1, 0.3, 0.5, 0.7, 0.9], 0.5, 16, 0.0,
     "shapes and blobs"),
    ("5 blobs noise 0.8", "blobs", [0.1, 0.3, 0.5, 0.7, 0.9], 0.8, 8, 0.0, "shapes and blobs"),
    ("text 3 px noise 0.3", "text", [0.25, 0.75], 0.3, 8, 0.0, "text and lines"),
    ("text 3 px noise 0.6", "text", [0.25, 0.75], 0.6, 8, 0.0, "text and lines"),
    ("lines 2-3 px noise 0.3", "lines", [0.2, 0.8], 0.3, 8, 0.0, "text and lines"),
    ("3 lines 2-3 px clean", "lines", [0.1, 0.5, 0.9], 0.0, 8, 0.0, "text and lines"),
    ("2 % minority phase", "minority", [0.2, 0.5, 0.8], 0.3, 8, 0.0, "minority and ramp"),
    ("3 phases on a ramp", "shapes", [0.2, 0.5, 0.8], 0.2, 8, 0.6, "minority and ramp"),
    ("dark 3 phases, 8 bit", "blobs", [0.02, 0.06, 0.10], 0.3, 8, 0.0, "dark and bright"),
    ("bright 3 phases, 16 bit", "shapes", [0.88, 0.92, 0.96], 0.3, 16, 0.0, "dark and bright"),
    ("dark 4 phases clean, 16 bit", "rings", [0.01, 0.02, 0.03, 0.04], 0.0, 16, 0.0,
     "dark and bright"),
    ("1-px lines and dots clean", "pixel lines", [0.2, 0.8], 0.0, 8, 0.0, "1-pixel lines and dots"),
    ("1-px lines and dots noise 0.1", "pixel lines", [0.2, 0.8], 0.1, 8, 0.0,
     "1-pixel lines and dots"),
    ("3 phases 1-px lines clean", "pixel lines", [0.1, 0.5, 0.9], 0.0, 8, 0.0,
     "1-pixel lines and dots"),
    ("3 phases 1-px lines noise 0.15", "pixel lines", [0.1, 0.5, 0.9], 0.15, 8, 0.0,
     "1-pixel lines and dots"),
    ("levels 10, 11, 12 of 255 clean", "shapes", [10 / 255, 11 / 255, 12 / 255], 0.0, 8, 0.0,
     "low range"),
    ("levels 100, 250, 400 of 65535 clean", "shapes", [100 / 65535, 250 / 65535, 400 / 65535], 0.0,
     16, 0.0, "low range"),
    ("levels 100, 250, 400 of 65535 noise 0.3", "blobs",
     [100 / 65535, 250 / 65535, 400 / 65535], 0.3, 16, 0.0, "low range"),
    ("contrast 1: 3 shapes noise 0.3, 16 bit", "shapes", [0.2, 0.5, 0.8], 0.3, 16, 0.0,
     "contrast", 1.0),
    ("contrast 1/4", "shapes", [0.2, 0.5, 0.8], 0.3, 16, 0.0, "contrast", 1 / 4),
    ("contrast 1/16", "shapes", [0.2, 0.5, 0.8], 0.3, 16, 0.0, "contrast", 1 / 16),
    ("contrast 1/64", "shapes", [0.2, 0.5, 0.8], 0.3, 16, 0.0, "contrast", 1 / 64),
    ("texture: means 0.15 apart, stripes +-0.2", "texture", [0.4, 0.55], 0.1, 8, 0.0, "texture"),
    ("texture: means 0.2 apart, 3 px checks +-0.25, noise 0.2", "checks", [0.35, 0.55], 0.2, 8,
     0.0, "texture"),
]
SHORT_CASES = {"3 phases clean", "4 rings light noise", "5 rings clean", "text 3 px noise 0.6"}


def make_picture(index, layout, levels, noise, bits, ramp, scale=1.0, seed=1000):
    """The picture (samples on a 0 to 1 scale, quantised to `bits`) and its true phases."""
    rng = np.random.default_rng(seed + index)
    truth = LAYOUTS[layout](len(levels), rng)
    levels = 0.1 * (1.0 - scale) + scale * np.asarray(levels, float)
    gap = float(np.min(np.diff(levels)))
    clean = levels[truth]
    y, x = pixel_grid()
    clean += ramp * gap * (x - 0.5)
    if layout == "texture":
        clean += 0.2 * np.where(np.floor(x * SIZE / 4) % 2 == 0, 1.0, -1.0)
    elif layout == "checks":
        squares = np.floor(x * SIZE / 3) + np.floor(y * SIZE / 3)
        clean += 0.25 * np.where(squares % 2 == 0, 1.0, -1.0)
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


def by_intensity(labels, intensity, phases):
    """Labels renumbered so that phase 0 has the lowest mean intensity (empty phases last)."""
    means = [intensity[labels == k].mean() if np.any(labels == k) else np.inf
             for k in range(phases)]
    rank = np.empty(phases, np.uint8)
    rank[np.argsort(means, kind="stable")] = np.arange(phases)
    return rank[labels]


def kmeans_labels(intensity, phases):
    """scipy's kmeans2 of the intensities from k-means++ starts, a fixed seed."""
    _, labels = kmeans2(intensity.reshape(-1, 1), phases, minit="++", seed=0)
    return by_intensity(labels.reshape(intensity.shape), intensity, phases)


def mixture_labels(intensity, phases, iterations=100, tolerance=1e-3, floor=1e-6):
    """A Gaussian mixture of the intensities by EM from the k-means partition (as
    scikit-learn's GaussianMixture starts, with its tolerance, iteration count and variance
    floor); each pixel takes its most probable component."""
    values = intensity.reshape(-1)
    start = kmeans_labels(intensity, phases).reshape(-1)
    weights = np.array([np.mean(start == k) for k in range(phases)]) + 1e-12
    means = np.array([values[start == k].mean() if np.any(start == k) else values.mean()
                      for k in range(phases)])
    variances = np.array([values[start == k].var() if np.any(start == k) else values.var()
                          for k in range(phases)]) + floor
    previous = -np.inf
    for _ in range(iterations):
        log_p = (np.log(weights) - 0.5 * np.log(2 * np.pi * variances)
                 - 0.5 * (values[:, None] - means) ** 2 / variances)
        top = log_p.max(axis=1, keepdims=True)
        log_total = top + np.log(np.exp(log_p - top).sum(axis=1, keepdims=True))
        responsibilities = np.exp(log_p - log_total)
        likelihood = float(log_total.mean())
        counts = responsibilities.sum(axis=0) + 1e-12
        weights = counts / values.size
        means = (responsibilities * values[:, None]).sum(axis=0) / counts
        variances = (responsibilities * (values[:, None] - means) ** 2).sum(axis=0) / counts + floor
        if abs(likelihood - previous) < tolerance:
            break
        previous = likelihood
    labels = np.argmax(log_p, axis=1).reshape(intensity.shape)
    return by_intensity(labels, intensity, phases)


def chan_vese_labels(intensity, phases):
    """skimage's Chan-Vese at its defaults, two phases only."""
    if phases != 2:
        return None
    return by_intensity(chan_vese(intensity).astype(np.uint8), intensity, 2)


def tv_bregman_otsu_labels(intensity, phases):
    return otsu_labels(denoise_tv_bregman(intensity), phases)


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
    parser.add_argument("--seed", type=int, default=1000,
                        help="seed of the first picture's shapes and noise (the others follow); "
                             "another seed gives other pictures of the same kinds")
    args = parser.parse_args()

    methods = ["daskel-segment", "multi-Otsu", "TV + multi-Otsu", "TV-Bregman + multi-Otsu",
               "k-means", "Gaussian mixture", "Chan-Vese"]
    rows = []
    started = time.time()
    with tempfile.TemporaryDirectory() as folder:
        for index, (name, layout, levels, noise, bits, ramp, family, *scale) in enumerate(CASES):
            if args.short and name not in SHORT_CASES:
                continue
            # The contrast family is one picture: every scale of it takes the seed of the first.
            seed = next(i for i, case in enumerate(CASES) if case[1:6] == (layout, levels, noise,
                                                                             bits, ramp))
            samples, truth = make_picture(seed, layout, levels, noise, bits, ramp, *scale,
                                          seed=args.seed)
            phases = len(levels)
            intensity = samples.astype(float) / (2**bits - 1)
            results = [
                daskel_labels(args.tool, samples, phases, folder),
                otsu_labels(intensity, phases),
                tv_otsu_labels(intensity, phases),
                tv_bregman_otsu_labels(intensity, phases),
                kmeans_labels(intensity, phases),
                mixture_labels(intensity, phases),
                chan_vese_labels(intensity, phases),
            ]
            rows.append((name, family,
                         [None if labels is None else scores(labels, truth, phases)
                          for labels in results]))

    def mean_of(selected, m, part):
        values = [r[m][part] for _, _, r in selected if r[m] is not None]
        return np.mean(values) if values else None

    def summary(selected):
        return tuple(
            None if mean_of(selected, m, 0) is None else
            (mean_of(selected, m, 0), mean_of(selected, m, 1),
             sum(r[m][2] for _, _, r in selected if r[m] is not None))
            for m in range(len(methods)))

    table = [(name, result) for name, _, result in rows]
    table.append(("mean (empty: all pictures; Chan-Vese: 2 phases)", summary(rows)))
    families = []
    for family in dict.fromkeys(f for _, f, _ in rows):
        selected = [row for row in rows if row[1] == family]
        result = summary(selected)
        # Peers that label every picture of the family (Chan-Vese only two phases).
        peers = [m for m in range(1, len(methods)) if all(r[m] is not None for _, _, r in selected)]
        best = max(peers, key=lambda m: result[m][0])
        families.append((family, result[0][0], methods[best], result[best][0]))
    cell = lambda s: "-" if s is None else (f"{100 * s[0]:.1f} / {100 * s[1]:.1f}"
                                            + (f", {s[2]} empty" if s[2] else ""))
    if args.markdown:
        print("| picture | " + " | ".join(methods) + " |")
        print("|---|" + "---|" * len(methods))
        for name, result in table:
            print(f"| {name} | " + " | ".join(cell(s) for s in result) + " |")
        print()
        print("| family | daskel-segment | best peer | its score |")
        print("|---|---|---|---|")
        for family, own, peer, theirs in families:
            print(f"| {family} | {100 * own:.1f} | {peer} | {100 * theirs:.1f} |")
    else:
        print(f"{'':40s}" + "".join(f"{m:>24s}" for m in methods))
        for name, result in table:
            print(f"{name:40s}" + "".join(f"{cell(s):>24s}" for s in result))
        print()
        for family, own, peer, theirs in families:
            print(f"{family:30s} daskel-segment {100 * own:5.1f}   best peer {peer} "
                  f"{100 * theirs:5.1f}")
    print(f"{len(rows)} pictures, {time.time() - started:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
