"""Builds early_reflection._core with CMake: the repository's own targets (the module's objects, er-render's
library, the room model) with the flags every other build uses, so the package plays er-render's samples.

Configures build/python-ext (Ninja when present) with the tests, tools' extras and benchmarks left out, builds the
one target and copies it where setuptools wants the extension. JOBS limits the parallel jobs (default 2).
ER_EXTENSION_BUILD names a build folder configured already with the same flags (the linux-x64 preset's, as
scripts/test gives it) to build the target in instead: its objects are then reused, not compiled again.
"""

import os
import shutil
import subprocess
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(os.environ.get("ER_EXTENSION_BUILD") or ROOT / "build" / "python-ext").resolve()
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DER_BUILD_PYTHON=ON", "-DER_BUILD_TESTS=OFF", "-DER_BUILD_BENCH=OFF",
            f"-DPython3_EXECUTABLE={os.sys.executable}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(configure, check=True)
        else:
            subprocess.run(["cmake", str(build), "-DER_BUILD_PYTHON=ON", f"-DPython3_EXECUTABLE={os.sys.executable}"],
                           check=True)
        jobs = os.environ.get("JOBS", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "_core", "-j", jobs], check=True)
        built = next((build / "python").glob("_core*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[CMakeExtension("early_reflection._core")], cmdclass={"build_ext": CMakeBuild})
