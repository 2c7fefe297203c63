"""pip's way into the Python package hessian_maxima: CMake builds the
compiled module (_core) from this checkout, with the interpreter pip runs,
and setuptools puts it beside the package's Python files.

    python3 -m venv --system-site-packages venv
    venv/bin/pip install --no-build-isolation .

Works offline with Debian's packages (python3-dev, python3-numpy,
pybind11-dev, cmake and the libraries scripts/common.sh lists).
"""

import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# Not build/, which is the CMake build of the scripts and the README.
BUILD_BASE = os.path.join(ROOT, "build-pip")


def project_version():
    """The version set once, in the CMake project."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as cmake_lists:
        found = re.search(r"^project\(\s*\w+\s+VERSION\s+([0-9][0-9.]*)", cmake_lists.read(), re.MULTILINE)
    if not found:
        raise RuntimeError("CMakeLists.txt has no project(... VERSION ...)")
    return found.group(1)


class CMakeBuild(build_ext):
    """Builds the module with the project's own CMake files, nothing else of
    the project (no window, no tests)."""

    def build_extension(self, ext):
        cmake_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.run(["cmake", "-S", ROOT, "-B", cmake_dir, "-DCMAKE_BUILD_TYPE=Release",
                        "-DBUILD_TESTING=OFF", "-DHESSIAN_WINDOW=OFF",
                        "-DPython3_EXECUTABLE=" + sys.executable], check=True)
        target = self.get_ext_fullpath(ext.name)
        built = os.path.join(cmake_dir, "python", "hessian_maxima", os.path.basename(target))
        if not os.path.isfile(os.path.join(cmake_dir, "python", "hessian_maxima", "__init__.py")):
            raise RuntimeError("CMake found no Python package to build for %s: it needs python3-dev, "
                               "python3-numpy and pybind11-dev (see its messages above)" % sys.executable)
        jobs = self.parallel or os.cpu_count() or 1
        subprocess.run(["cmake", "--build", cmake_dir, "--target", "hessian_maxima_core",
                        "--parallel", str(jobs)], check=True)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


os.makedirs(BUILD_BASE, exist_ok=True)
setup(
    version=project_version(),
    ext_modules=[Extension("hessian_maxima._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
