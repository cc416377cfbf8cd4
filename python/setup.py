"""Build hooks of the q583 package (the metadata is in pyproject.toml).

The package can carry the Q583_SP library: when a built library is found
(the file or directory named by Q583_SP_LIBRARY, else the default build
tree's ../build/default), it is copied into the built package beside the
Python files, never into this source tree, and the wheel is tagged for this
platform.  Without one the package is pure Python and finds the library at
run time (see q583/_lib.py)."""

import os
import shutil
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70 keeps it in the wheel package
    from wheel.bdist_wheel import bdist_wheel

HERE = Path(__file__).resolve().parent
NAME = "Q583_SP.dll" if sys.platform == "win32" else "libQ583_SP.so"


def built_library():
    """The library file to carry, or None."""
    named = os.environ.get("Q583_SP_LIBRARY")
    place = Path(named) if named else HERE.parent / "build" / "default"
    candidate = place / NAME if place.is_dir() else place
    if candidate.is_file():
        return candidate.resolve()  # the file itself, not the soname link
    if named:
        raise SystemExit(f"Q583_SP_LIBRARY={named}: no {NAME} there")
    return None


LIBRARY = built_library()


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        if LIBRARY is not None:
            target = Path(self.build_lib) / "q583" / NAME
            print(f"q583: carrying {LIBRARY} as {target}")
            shutil.copyfile(LIBRARY, target)
            target.chmod(0o755)


class PlatformWheel(bdist_wheel):
    def finalize_options(self):
        super().finalize_options()
        # A wheel with the library runs only where the library does.
        self.root_is_pure = LIBRARY is None

    def get_tag(self):
        python, abi, platform = super().get_tag()
        # Python code and a plain C library: any Python 3 of this platform.
        return ("py3", "none", platform) if LIBRARY is not None else (python, abi, platform)


setup(cmdclass={"build_py": BuildWithLibrary, "bdist_wheel": PlatformWheel})
