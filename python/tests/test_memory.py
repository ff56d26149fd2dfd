"""daskel.segment without the memory it needs: a MemoryError that says the image's size and about
how much memory it needs. A file of its own: the sanitizer build, which cannot limit its address
space, skips it, and the other tests keep their status."""

import os
import subprocess
import sys

import pytest

import daskel  # noqa: F401  (the subprocess imports it; an import that fails shows here first)


def test_an_image_too_large_for_the_memory_says_its_size_and_the_memory_it_needs():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer needs more address space than the limit leaves")
    script = ("import resource, numpy as np, daskel\n"
              "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))\n"
              "try:\n"
              "    daskel.segment(np.zeros((5000, 5000), np.uint8), threads=1)\n"
              "except MemoryError as error:\n"
              "    print(error)\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=os.environ, timeout=120, check=True)
    assert run.stdout.strip() == ("not enough memory to segment a 5000 x 5000 image in 3 phases "
                                  "(about 2.4 GB)")
