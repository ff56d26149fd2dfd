"""python3 -m pip install --no-build-isolation . into a virtual environment that sees Debian's
packages: an importable daskel with the bits of the build tree's."""

import os
import subprocess
import sys

import pytest

from conftest import source_file

# Labellings of a few pictures and one solve, as a digest of their bytes.
PROBE = """
import hashlib, numpy as np, daskel
random = np.random.default_rng(1)
digest = hashlib.sha256()
for image, options in [(random.integers(0, 256, (60, 70), np.uint8), {}),
                       (random.random((40, 50, 3)), dict(phases=4, tv=0.7, rounds=3))]:
    for array in daskel.segment(image, **options):
        digest.update(np.ascontiguousarray(array).tobytes())
u, iterations = daskel.solve(random.random((30, 40, 3)), np.full((30, 40, 3), 1 / 3), 0.3, 2.0)
digest.update(u.tobytes())
print(daskel.__file__, daskel.__version__, iterations, digest.hexdigest())
"""


def test_pip_installs_the_package_with_the_bits_of_the_build_tree(tmp_path):
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("pip builds an uninstrumented extension, which a sanitized run does not load")
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    python = str(venv / "bin" / "python")
    outside = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    outside["DASKEL_PIP_BUILD"] = str(tmp_path / "build")
    install = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                              "--no-cache-dir", source_file(".")],
                             env=outside, capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr

    installed = subprocess.run([python, "-c", PROBE], env=outside, cwd=tmp_path,
                               capture_output=True, text=True, check=True).stdout.split()
    built = subprocess.run([sys.executable, "-c", PROBE], cwd=tmp_path, capture_output=True,
                           text=True, check=True).stdout.split()
    assert installed[0].startswith(str(venv)) and not built[0].startswith(str(venv))
    assert installed[1:] == built[1:]
