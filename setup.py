"""The build step of the `orvane` Python package (pyproject.toml holds its description).

setuptools puts the pure-Python modules, the stubs and py.typed into the package; the compiled
parts come from the project's own CMake build, which this file runs: the extension
`orvane._core` and the program `orvane-flow`, copied into the package as `orvane/_core*.so`
and `orvane/bin/orvane-flow` (the `orvane-flow` command that pip installs starts that copy,
see orvane/_scripts.py). Both copies are stripped of their debug information (from about 48 MB
to about 3 MB).

Where the CMake build happens:
- ORVANE_CMAKE_BUILD_DIR set: an existing build folder of this source tree, configured for the
  Python that builds the package (the usual `build/` folder serves /usr/bin/python3 and the
  venvs made from it). Its two targets are brought up to date and copied, nothing else is
  built. scripts/test.sh builds its wheel this way, from the build its other tests use.
- otherwise: a build of only those two targets in the folder of setuptools' temporary files
  (build-wheel/temp.*/cmake), configured for the Python that runs this file, with the
  project's defaults; kept between runs, so that a second `pip install .` rebuilds only what
  changed. ORVANE_CMAKE_ARGS adds arguments to its configuration (e.g. "-DCMAKE_BUILD_TYPE=Release").

The version is the CMake project version, read from CMakeLists.txt: the package's metadata and
wheel name carry it, and orvane.__version__ and `orvane-flow --version` are compiled with it.
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
PROGRAM = "orvane-flow"
# The program's place inside the package; orvane.flow.program() looks for it there.
PROGRAM_IN_PACKAGE = os.path.join("bin", PROGRAM)
TARGETS = ["orvane_core", PROGRAM]


def cmake_project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(\s*Orvane\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt has no `project(Orvane VERSION X.Y.Z ...)`: the "
                           "package takes its version from there")
    return found.group(1)


class CMakeExtension(Extension):
    """An extension that CMake builds: setuptools compiles nothing itself."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Runs the CMake build of orvane._core and orvane-flow and copies both into the
    package."""

    def build_extension(self, ext):
        build_dir = self._cmake_build()
        core = build_dir / "bindings" / "python" / "orvane" / ("_core" + _ext_suffix())
        program = build_dir / "tools" / PROGRAM
        if not core.is_file():
            made = sorted(p.name for p in core.parent.glob("_core*"))
            if made:
                raise SystemExit(
                    f"error: the CMake build in {build_dir} made {', '.join(made)}, not "
                    f"{core.name}: it is configured for another Python than {sys.executable}; "
                    "unset ORVANE_CMAKE_BUILD_DIR to build for this one")
            raise SystemExit(
                f"error: the CMake build in {build_dir} did not make the extension "
                f"({core.name}): pybind11 or the Python development files are missing "
                "(Debian: python3-pybind11 pybind11-dev python3-dev; scripts/setup-debian.sh "
                "--main installs them)")
        if not program.is_file():
            raise SystemExit(f"error: the CMake build in {build_dir} did not make {program}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        _copy_stripped(core, target)
        _copy_stripped(program, target.parent / PROGRAM_IN_PACKAGE)

    def _cmake_build(self):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("error: building the orvane package needs CMake (Debian: cmake; "
                             "scripts/setup-debian.sh --main installs everything it needs)")
        given = os.environ.get("ORVANE_CMAKE_BUILD_DIR")
        if given:
            build_dir = pathlib.Path(given).resolve()
            _check_build_of_this_tree(build_dir)
        else:
            build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
            configure = [cmake, "-S", str(ROOT), "-B", str(build_dir),
                         "-DORVANE_BUILD_TESTS=OFF", "-DORVANE_BUILD_BENCH=OFF",
                         "-DORVANE_BUILD_TOOLS=ON", "-DORVANE_BUILD_PYTHON=ON",
                         f"-DPython3_EXECUTABLE={sys.executable}"]
            configure += shlex.split(os.environ.get("ORVANE_CMAKE_ARGS", ""))
            _run(configure)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        _run([cmake, "--build", str(build_dir), "--parallel", jobs, "--target", *TARGETS])
        return build_dir

    # The program is an output of this command as much as the extension: it goes into the
    # wheel's file list, and an editable install (pip install -e .) copies it into the source
    # package beside the extension.
    def get_outputs(self):
        outputs = super().get_outputs()
        if not self.inplace:
            outputs.append(self._program_paths()[1])
        return outputs

    def _get_output_mapping(self):
        yield from super()._get_output_mapping()
        if self.inplace:
            inplace, regular = self._program_paths()
            yield regular, inplace

    def copy_extensions_to_source(self):
        super().copy_extensions_to_source()
        inplace, regular = self._program_paths()
        os.makedirs(os.path.dirname(inplace), exist_ok=True)
        self.copy_file(regular, inplace, level=self.verbose)

    def _program_paths(self):
        """(program in the source package, program in the build folder)."""
        ext = self.extensions[0]
        inplace, regular = self._get_inplace_equivalent(self.get_finalized_command("build_py"),
                                                       ext)
        return (os.path.join(os.path.dirname(inplace), PROGRAM_IN_PACKAGE),
                os.path.join(os.path.dirname(regular), PROGRAM_IN_PACKAGE))


def _ext_suffix():
    return sysconfig.get_config_var("EXT_SUFFIX")


def _check_build_of_this_tree(build_dir):
    cache = build_dir / "CMakeCache.txt"
    if not cache.is_file():
        raise SystemExit(f"error: ORVANE_CMAKE_BUILD_DIR={build_dir} is not a CMake build folder "
                         "(no CMakeCache.txt); configure it first (cmake -S . -B build) or "
                         "unset the variable")
    found = re.search(r"^Orvane_SOURCE_DIR:STATIC=(.*)$",
                      cache.read_text(encoding="utf-8", errors="replace"), re.M)
    if not found or pathlib.Path(found.group(1)).resolve() != ROOT:
        raise SystemExit(f"error: ORVANE_CMAKE_BUILD_DIR={build_dir} is a build of "
                         f"{found.group(1) if found else 'another project'}, not of {ROOT}")


def _copy_stripped(source, target):
    os.makedirs(target.parent, exist_ok=True)
    strip = shutil.which("strip")
    if strip:
        _run([strip, "--strip-debug", "-o", str(target), str(source)])
    else:
        shutil.copy2(source, target)
    print(f"copied {source} to {target}", flush=True)


def _run(command):
    print("+ " + shlex.join(command), flush=True)
    subprocess.run(command, check=True)


# setuptools wants the folder of its metadata (orvane.egg-info) to exist already.
os.makedirs("build-wheel", exist_ok=True)

setup(
    version=cmake_project_version(),
    package_dir={"": "bindings/python"},
    packages=["orvane"],
    package_data={"orvane": ["*.pyi", "py.typed"]},
    zip_safe=False,
    ext_modules=[CMakeExtension("orvane._core")],
    cmdclass={"build_ext": CMakeBuild},
    # setuptools' own folders beside the CMake build/ folder, not inside it.
    options={"build": {"build_base": "build-wheel"},
             "egg_info": {"egg_base": "build-wheel"}},
)
