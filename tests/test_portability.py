"""The native sources compile for the lab PCs' other platforms: every source
for macOS (arm64), and the platform layer and the pure logic for
Windows (whose Python headers this machine lacks), with the ziglang
package's cross compilers, warnings as errors.  Compile only: nothing is
linked or run."""

import concurrent.futures
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

# The ziglang package of this interpreter, or of the tools' (make test).
ZIG = [os.environ.get("ONDREL_TOOLS_PYTHON", sys.executable), "-m", "ziglang"]
if "ONDREL_TOOLS_PYTHON" not in os.environ:
    pytest.importorskip("ziglang")

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "src" / "native"
LINUX_ONLY = {"core/portable.cpp"}  # the Linux wheel's stand-ins for newer glibc
WITHOUT_PYTHON = ["platform/os_windows.cpp", "platform/os_posix.cpp", "tarnel/pure.cpp", "core/suggest.cpp"]


def compile_all(target, sources, tmp_path):
    def compile_one(source):
        command = ZIG + ["c++", "-target", target, "-std=c++17", "-Wall", "-Wextra",
                   "-Werror", "-Wno-unused-command-line-argument", "-I", str(NATIVE),
                   "-I", sysconfig.get_paths()["include"], "-c", str(NATIVE / source),
                   "-o", str(tmp_path / (source.replace("/", "_") + ".o"))]
        done = subprocess.run(command, capture_output=True, text=True, timeout=600)
        return source, done.returncode, done.stderr[-3000:]

    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        return [(source, err) for source, code, err in pool.map(compile_one, sources) if code != 0]


pytestmark = pytest.mark.once  # what the interpreter running the tests does not change: `make test` runs it once


@pytest.mark.parametrize("target", ["aarch64-macos"])
def test_every_native_source_compiles_for_macos(target, tmp_path):
    sources = sorted(p.relative_to(NATIVE).as_posix() for p in NATIVE.rglob("*.cpp"))
    assert compile_all(target, [s for s in sources if s not in LINUX_ONLY], tmp_path) == []


def test_the_platform_layer_compiles_for_windows(tmp_path):
    assert compile_all("x86_64-windows-gnu", WITHOUT_PYTHON, tmp_path) == []
