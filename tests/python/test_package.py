"""The package as users get it: one version everywhere (the CMake project's), the stubs and
py.typed beside the modules, the orvane-flow program inside the package, the commands and
metadata of a pip install, and the message when the `batch` extra is missing.

scripts/test.sh runs this suite against the wheel installed into a fresh venv with
ORVANE_TEST_INSTALLED=1; then the package imported must be that installed one."""

import importlib.metadata
import os
import pathlib
import re
import subprocess
import sys
import sysconfig

import pytest

import orvane
import orvane.flow

SOURCE = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = pathlib.Path(orvane.__file__).resolve().parent
INSTALLED = os.environ.get("ORVANE_TEST_INSTALLED") == "1"


def cmake_project_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(\s*Orvane\s+VERSION\s+([0-9.]+)", text).group(1)


def pip_installed():
    try:
        return importlib.metadata.distribution("orvane")
    except importlib.metadata.PackageNotFoundError:
        return None


def test_the_version_is_the_cmake_project_version():
    assert orvane.__version__ == cmake_project_version()


@pytest.mark.parametrize("name", ["__init__.py", "__init__.pyi", "_core.pyi", "py.typed",
                                  "flow.py", "batch.py"])
def test_the_package_carries_its_modules_stubs_and_typed_marker(name):
    assert (PACKAGE / name).is_file(), f"{name} is missing from {PACKAGE}"


def test_the_program_comes_with_the_package_in_the_same_version():
    program = orvane.flow.program()
    assert pathlib.Path(program).parent == PACKAGE / "bin"
    done = subprocess.run([program, "--version"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"orvane-flow {orvane.__version__} (libavformat "), done.stdout


def test_the_tests_import_the_installed_package_when_told_to():
    if not INSTALLED:
        pytest.skip("the package under test is the build folder's (ORVANE_TEST_INSTALLED unset)")
    assert pip_installed() is not None, f"{PACKAGE} was not installed by pip"
    site = {pathlib.Path(sysconfig.get_path(k)).resolve() for k in ("purelib", "platlib")}
    assert PACKAGE.parent in site, f"orvane imported from {PACKAGE}, not from {site}"
    assert SOURCE not in PACKAGE.parents, f"orvane imported from the source tree: {PACKAGE}"


def test_a_pip_install_has_the_metadata_files_and_commands():
    dist = pip_installed()
    if dist is None:
        pytest.skip("orvane is not installed by pip here (the build folder's package)")
    assert dist.version == orvane.__version__
    requires = {}
    for line in dist.requires or []:
        extra = re.search(r"extra\s*==\s*[\"']([^\"']+)", line)
        requires.setdefault(extra.group(1) if extra else None, set()).add(
            re.match(r"[A-Za-z0-9_.-]+", line).group(0))
    assert requires == {None: {"numpy"}, "batch": {"dask", "distributed", "pandas"}}
    files = {str(f) for f in dist.files}
    for name in ["orvane/bin/orvane-flow", "orvane/py.typed", "orvane/_core.pyi",
                 "orvane/__init__.pyi"]:
        assert name in files, f"{name} is not in the installed file list"

    scripts = pathlib.Path(sysconfig.get_path("scripts"))
    done = subprocess.run([str(scripts / "orvane-flow"), "--version"], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout.split(" (")[0]) == (
        0, f"orvane-flow {orvane.__version__}"), done.stderr
    done = subprocess.run([str(scripts / "orvane-flow"), "--frames", "x"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 2, "the command passes on the program's exit status"
    done = subprocess.run([str(scripts / "orvane-batch"), "--help"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith("usage: orvane-batch "), done.stderr


# Dask hidden from the interpreter: what a pip install without the `batch` extra looks like.
WITHOUT_DASK = "import sys\nsys.modules['distributed'] = None\nfrom orvane import batch\n"


def test_batch_without_dask_says_what_to_install_and_writes_nothing(tmp_path):
    from orvane.batch import MISSING_DASK
    assert "pip install 'orvane[batch]'" in MISSING_DASK
    out = tmp_path / "results"
    script = WITHOUT_DASK + f"sys.exit(batch.main(['clip.mp4', '--out', {str(out)!r}]))\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (2, f"orvane.batch: {MISSING_DASK}\n")
    assert not out.exists()

    script = WITHOUT_DASK + (f"try:\n    batch.run(['clip.mp4'], out={str(out)!r})\n"
                             "except batch.BatchError as e:\n    print(e)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout) == (0, MISSING_DASK + "\n"), done.stderr
    assert not out.exists()
