"""Builds the korvale module with CMake for the interpreter running pip.

The wheel holds one package directory, korvale/, with the extension module as
its __init__ (so `import korvale` gives the module itself), the type stub as
__init__.pyi and the py.typed marker, which type checkers need to trust it.
setuptools' scratch space is build-pip/, away from the contributors' build/.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CleanBuild(build):
    """Empties the staging directory first: whatever an earlier build left
    there would otherwise be packed into the wheel."""

    def run(self):
        shutil.rmtree(self.build_lib, ignore_errors=True)
        super().run()


class CMakeBuild(build_ext):
    """Builds only the `korvale` target (Release, no tests) and stages the package."""

    def build_extension(self, ext):
        cmake_dir = Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("KORVALE_JOBS", str(min(os.cpu_count() or 1, 8)))
        subprocess.run(
            [
                "cmake", "-S", str(ROOT), "-B", str(cmake_dir), "-G", "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DKORVALE_TESTS=OFF",
                "-DKORVALE_WERROR=OFF",
            ],
            check=True,
        )
        subprocess.run(
            ["cmake", "--build", str(cmake_dir), "-j", jobs, "--target", "korvale"], check=True
        )
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(cmake_dir / f"korvale{suffix}", target)
        shutil.copyfile(ROOT / "src" / "python" / "korvale.pyi", target.parent / "__init__.pyi")
        (target.parent / "py.typed").write_text("")


setup(
    ext_modules=[Extension("korvale.__init__", sources=[])],
    cmdclass={"build": CleanBuild, "build_ext": CMakeBuild},
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
