#!/usr/bin/python3
"""Timing benchmark of daskel-segment against TV + multi-Otsu at K = 3.

For each size (512^2, 2048^2 and 4096^2 by default) one noisy three-phase picture is made from a
fixed seed and written as an 8-bit PNG; then, alternately, the whole tool run (reading the PNG,
segmenting, writing the labels PNG: `daskel-segment IN OUT --phases 3 --threads N --quiet`, timed
from outside as a process) and the peer's whole pipeline on the same file (imageio reads it,
denoise_tv_chambolle with weight 0.1, threshold_multiotsu with 3 classes, np.digitize, imageio
writes the labels PNG, in this process; numpy runs it on one thread). Each pair runs --repeats
times; the medians are printed, with the ratio tool / peer of each pair and its median, for the
tool on one thread and on the automatic count (--threads 0). Also prints the share of pixels on
which the two agree and each one's share right.

    /usr/bin/python3 bench/segment_speed.py [--tool build/tools/daskel-segment/daskel-segment]
                                             [--sizes 512,2048,4096] [--repeats 3] [--markdown]
"""

import argparse
import os
import statistics
import subprocess
import tempfile
import time

import imageio
import numpy as np
from skimage.filters import threshold_multiotsu
from skimage.restoration import denoise_tv_chambolle

LEVELS = np.array([0.2, 0.5, 0.8])
NOISE = 0.1  # a third of the gap between levels


def picture(size, seed=7):
    """Three phases as the level sets of a smooth field, with Gaussian noise, in 8 bits."""
    rng = np.random.default_rng(seed)
    y, x = np.meshgrid(*(np.arange(size) / size,) * 2, indexing="ij")
    field = np.sin(9 * x + 1) * np.cos(7 * y) + 0.5 * np.sin(13 * x * y + 2)
    truth = np.digitize(field, [-0.35, 0.35]).astype(np.uint8)
    values = LEVELS[truth] + rng.normal(0.0, NOISE, truth.shape)
    return np.clip(np.round(values * 255), 0, 255).astype(np.uint8), truth


def run_tool(tool, source, target, threads):
    start = time.perf_counter()
    subprocess.run([tool, source, target + ".colour.png",
                    "--labels", target, "--phases", "3", "--threads", str(threads), "--quiet"],
                   check=True)
    return time.perf_counter() - start


def run_peer(source, target):
    start = time.perf_counter()
    intensity = imageio.imread(source).astype(float) / 255.0
    smooth = denoise_tv_chambolle(intensity, weight=0.1)
    labels = np.digitize(smooth, threshold_multiotsu(smooth, classes=3)).astype(np.uint8)
    imageio.imwrite(target, labels)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/tools/daskel-segment/daskel-segment")
    parser.add_argument("--sizes", default="512,2048,4096")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "picture.png")
        tool_labels = os.path.join(folder, "tool.png")
        peer_labels = os.path.join(folder, "peer.png")
        for size in (int(s) for s in args.sizes.split(",")):
            samples, truth = picture(size)
            imageio.imwrite(source, samples)
            for threads in (1, 0):
                tool_times, peer_times, ratios = [], [], []
                for _ in range(args.repeats):  # alternating, so that load on the machine hits both
                    tool_times.append(run_tool(args.tool, source, tool_labels, threads))
                    peer_times.append(run_peer(source, peer_labels))
                    ratios.append(tool_times[-1] / peer_times[-1])
                tool, peer = imageio.imread(tool_labels), imageio.imread(peer_labels)
                rows.append((size, "1" if threads == 1 else "auto", statistics.median(tool_times),
                             statistics.median(peer_times), statistics.median(ratios),
                             max(ratios), np.mean(tool == truth), np.mean(peer == truth)))
    header = ("size", "tool threads", "tool s", "TV + multi-Otsu s", "ratio (median)",
              "ratio (worst)", "tool right", "peer right")
    if args.markdown:
        print("| " + " | ".join(header) + " |")
        print("|---" * len(header) + "|")
        for size, threads, t, p, r, worst, a, b in rows:
            print(f"| {size}^2 | {threads} | {t:.3f} | {p:.3f} | {r:.2f} | {worst:.2f} | "
                  f"{100 * a:.2f} % | {100 * b:.2f} % |")
    else:
        for row in rows:
            print(*row)


if __name__ == "__main__":
    main()
