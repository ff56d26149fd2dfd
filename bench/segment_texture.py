#!/usr/bin/python3
"""Texture pictures beyond bench/segment_quality.py's: two regions of 256 x 256 pixels (the shapes
of that benchmark) whose means differ by less than a pattern's amplitude, under stripes across,
along and diagonal, checks and sines of several periods, at two noise levels; and a grating of two
phases with no regions, which must stay labelled by pixel. Prints the share of pixels right for
daskel-segment --phases 2 and for the peers that come nearest on texture (TV + multi-Otsu,
TV-Bregman + multi-Otsu, Chan-Vese), as bench/segment_quality.py runs them.

    /usr/bin/python3 bench/segment_texture.py [--tool build/tools/daskel-segment/daskel-segment]
"""

import argparse
import os
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import segment_quality as quality  # noqa: E402

SIZE = quality.SIZE
Y, X = quality.pixel_grid()


def square(values, period):
    return np.where(np.floor(values * SIZE / (period / 2)) % 2 == 0, 1.0, -1.0)


# name, pattern in [-1, 1], amplitude, the regions' two means, noise levels, seed
CASES = [
    ("stripes across 3 px", square(Y, 6), 0.2, [0.4, 0.55], (0.01, 0.05), 300),
    ("diagonal stripes 5 px", square(X + Y, 10), 0.2, [0.4, 0.55], (0.01, 0.05), 301),
    ("checks 5 px", square(X, 10) * square(Y, 10), 0.2, [0.4, 0.55], (0.01, 0.05), 302),
    ("sine of period 6 px", np.sin(2 * np.pi * X * SIZE / 6), 0.2, [0.4, 0.55], (0.01, 0.05), 303),
    ("stripes along 7 px", square(X, 14), 0.25, [0.45, 0.6], (0.02, 0.1), 800),
    ("diagonal stripes 4 px", square(X - Y + 2, 8), 0.25, [0.45, 0.6], (0.02, 0.1), 801),
    ("checks 2 px", square(X, 4) * square(Y, 4), 0.25, [0.45, 0.6], (0.02, 0.1), 802),
    ("sine of period 5 px both ways",
     np.sin(2 * np.pi * X * SIZE / 5) * np.sin(2 * np.pi * Y * SIZE / 5), 0.25, [0.45, 0.6],
     (0.02, 0.1), 803),
]


def picture(pattern, amplitude, means, noise, seed):
    rng = np.random.default_rng(seed)
    truth = quality.shapes(2, rng)
    values = np.asarray(means)[truth] + amplitude * pattern + rng.normal(0.0, noise, truth.shape)
    return np.round(np.clip(values, 0.0, 1.0) * 255).astype(np.uint8), truth


def grating(noise):
    """Two phases in 2-pixel stripes, no regions: the truth is the stripes."""
    truth = (np.floor(X * SIZE / 2) % 2).astype(np.uint8)
    values = np.array([0.3, 0.7])[truth] + np.random.default_rng(400).normal(0, noise, truth.shape)
    return np.round(np.clip(values, 0.0, 1.0) * 255).astype(np.uint8), truth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/tools/daskel-segment/daskel-segment")
    args = parser.parse_args()
    pictures = [(f"{name}, noise {noise}", picture(pattern, amplitude, means, noise, seed))
                for name, pattern, amplitude, means, noises, seed in CASES for noise in noises]
    pictures += [(f"grating 2 px, no regions, noise {noise}", grating(noise))
                 for noise in (0.02, 0.1)]
    print("| picture | daskel-segment | TV + multi-Otsu | TV-Bregman + multi-Otsu | Chan-Vese |")
    print("|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as folder:
        for name, (samples, truth) in pictures:
            intensity = samples / 255.0
            results = [quality.daskel_labels(args.tool, samples, 2, folder),
                       quality.tv_otsu_labels(intensity, 2),
                       quality.tv_bregman_otsu_labels(intensity, 2),
                       quality.chan_vese_labels(intensity, 2)]
            cells = [f"{100 * quality.scores(labels, truth, 2)[0]:.1f}" for labels in results]
            print(f"| {name} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
