"""Builds the package from a source checkout against the FFmpeg that
pkg-config finds (the system's by default): CMake builds libkorvel and the
command-line tool, and both go into korvel/_lib/. Used by
`pip install --no-build-isolation .`; the self-contained wheel with FFmpeg
bundled comes from scripts/build-wheel.sh instead."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # setuptools without the wheel package builds no wheels anyway
    bdist_wheel = None

ROOT = Path(__file__).resolve().parent


def cmake_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"^project\(korvel VERSION ([0-9.]+)", text, re.M)
    if not found:
        raise RuntimeError("no project(korvel VERSION ...) in CMakeLists.txt")
    return found.group(1)


class build_with_cmake(build_py):
    """The Python files, then the compiled library and tool beside them."""

    def run(self) -> None:
        super().run()
        (Path(self.build_lib) / "korvel" / "_version.py").write_text(
            f'__version__ = "{cmake_version()}"\n')
        build = ROOT / "build-pip"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DKORVEL_BUILD_TESTS=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(build), "-j", os.environ.get("KORVEL_JOBS", "2"),
                        "--target", "korvel", "korvel_cli"], check=True)
        lib_dir = Path(self.build_lib) / "korvel" / "_lib"
        lib_dir.mkdir(parents=True, exist_ok=True)
        library, tool = lib_dir / "libkorvel.so", lib_dir / "korvel"
        shutil.copyfile((build / "libkorvel.so").resolve(), library)
        shutil.copyfile(build / "korvel", tool)
        library.chmod(0o755)
        tool.chmod(0o755)
        # The package loads the library by path; the tool finds it beside
        # itself under that file name, and FFmpeg where the system keeps it.
        soname = subprocess.run(["patchelf", "--print-soname", str(library)], check=True,
                                capture_output=True, text=True).stdout.strip()
        subprocess.run(["patchelf", "--set-soname", "libkorvel.so", str(library)], check=True)
        subprocess.run(["patchelf", "--remove-rpath", str(library)], check=True)
        if soname and soname != "libkorvel.so":
            subprocess.run(["patchelf", "--replace-needed", soname, "libkorvel.so", str(tool)],
                           check=True)
        subprocess.run(["patchelf", "--set-rpath", "$ORIGIN", str(tool)], check=True)


class BinaryDistribution(Distribution):
    def has_ext_modules(self) -> bool:
        return True


commands = {"build_py": build_with_cmake}
if bdist_wheel is not None:
    class bdist_wheel_any_python(bdist_wheel):
        """The library is loaded through ctypes: any Python 3, one platform."""

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = bdist_wheel_any_python

setup(version=cmake_version(), cmdclass=commands, distclass=BinaryDistribution)
