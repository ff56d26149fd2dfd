"""Builds the Python package daskel with CMake, for `python3 -m pip install --no-build-isolation .`

The compiled half is the build tree's own CMake target, daskel_python, built in a folder of its
own for the interpreter that runs pip; the package is what CMake lays out in <build>/python/daskel
(the Python half, the extension and the version, which comes from the project's CMakeLists.txt).
"""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = os.path.dirname(os.path.abspath(__file__))


def project_version():
    """The version in CMakeLists.txt's project(daskel VERSION ...), the one place it is kept."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        return re.search(r"project\(daskel VERSION ([0-9.]+)", cmake_lists.read()).group(1)


class BuildWithCMake(build_py):
    """build_py that configures and builds daskel_python with CMake and takes its package."""

    def run(self):
        build = os.path.join(os.path.abspath(self.get_finalized_command("build").build_base),
                             "cmake")
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                        "-DDASKEL_BUILD_TESTS=OFF", "-DDASKEL_MATLAB=OFF",
                        f"-DDASKEL_PYTHON={sys.executable}"], check=True)
        subprocess.run(["cmake", "--build", build, "--target", "daskel_python", "--parallel",
                        str(os.cpu_count() or 1)], check=True)
        built = os.path.join(build, "python", "daskel")
        if not any(name.startswith("_core") for name in os.listdir(built)):
            sys.exit("CMake did not build daskel._core; its configuration says why (python3-dev, "
                     "python3-numpy and pybind11-dev are needed)")
        package = os.path.join(self.build_lib, "daskel")
        os.makedirs(package, exist_ok=True)
        for name in os.listdir(built):
            if name.endswith(".py") or name.startswith("_core"):
                shutil.copy2(os.path.join(built, name), package)


class BinaryDistribution(Distribution):
    """A distribution with a compiled extension, so that the wheel names its platform."""

    def has_ext_modules(self):
        return True


# setuptools' own build folders, apart from the CMake build trees (build/, build-*/);
# DASKEL_PIP_BUILD puts them elsewhere.
BUILD_BASE = os.environ.get("DASKEL_PIP_BUILD", os.path.join(ROOT, "build-pip"))
os.makedirs(BUILD_BASE, exist_ok=True)

setup(
    version=project_version(),
    packages=["daskel"],
    package_dir={"daskel": "python/daskel"},
    cmdclass={"build_py": BuildWithCMake},
    distclass=BinaryDistribution,
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
