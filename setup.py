"""Builds the Python package `vandrel` with the project's CMake build: the pure-Python
layer python/vandrel/ (with its type information) and the extension vandrel._core.

Only the extension and the core it links are built: the command-line tool, the plug-in, the
tests and the benchmarks are switched off. The interpreter running this script is the one
the module is built for. CMAKE_BUILD_PARALLEL_LEVEL sets the build's parallel jobs."""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def version():
    """The project's version, from project() in CMakeLists.txt: the one place it is written."""
    cmake = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(vandrel VERSION ([0-9.]+)", cmake).group(1)


def pybind11_cmake_dir():
    try:
        import pybind11
    except ImportError:
        return None
    return pybind11.get_cmake_dir()


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DVANDREL_BUILD_PYTHON=ON", "-DVANDREL_BUILD_CLI=OFF", "-DVANDREL_BUILD_MEX=OFF",
            "-DVANDREL_BUILD_TESTS=OFF", "-DVANDREL_BUILD_BENCH=OFF",
        ]
        cmake_dir = pybind11_cmake_dir()
        if cmake_dir:
            configure.append(f"-Dpybind11_DIR={cmake_dir}")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "vandrel_python", "--parallel", jobs],
                       check=True)

        built = build_dir / "python" / "vandrel" / ("_core" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            raise RuntimeError(f"the CMake build did not produce {built}: is pybind11 installed "
                               "(Debian: pybind11-dev python3-pybind11)?")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="vandrel",
    version=version(),
    description="Removes noise from point clouds that sample a surface",
    python_requires=">=3.8",
    install_requires=["numpy"],
    packages=["vandrel"],
    package_dir={"": "python"},
    package_data={"vandrel": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("vandrel._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Apart from build/, which the CMake build of the README uses.
    options={"build": {"build_base": "build-pip"}},
    zip_safe=False,
)
