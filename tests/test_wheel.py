"""The wheel `make wheel` builds installs and runs where there is neither a
compiler nor a package index."""

import os
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                reason="packaging, not memory: the sanitizer run skips it")


def test_the_portable_wheel_installs_without_a_compiler_or_an_index(tmp_path):
    wheelhouse = tmp_path / "wheelhouse"
    built = subprocess.run([os.path.join(ROOT, "scripts", "build-wheels"), sys.executable], capture_output=True,
                           text=True, env=dict(os.environ, WHEELHOUSE=str(wheelhouse)), timeout=900)
    assert built.returncode == 0, built.stdout[-2000:] + built.stderr[-2000:]
    (wheel,) = wheelhouse.iterdir()
    assert "manylinux_2_17_x86_64" in wheel.name
    with zipfile.ZipFile(wheel) as contents:
        assert not [name for name in contents.namelist() if name.startswith("ondrel.libs/")]  # nothing grafted

    fresh = tmp_path / "fresh"
    subprocess.run([sys.executable, "-m", "venv", str(fresh)], check=True, timeout=300)
    bare = {"PATH": str(fresh / "bin"), "HOME": str(tmp_path), "PIP_CONFIG_FILE": os.devnull}
    assert subprocess.run(["/bin/sh", "-c", "command -v cc gcc g++ c++"], env=bare).returncode != 0  # no compiler
    installed = subprocess.run([str(fresh / "bin" / "python"), "-m", "pip", "install", "--no-index", str(wheel)],
                               capture_output=True, text=True, env=bare, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    demo = subprocess.run([str(fresh / "bin" / "ondrel-fpga"), "demo", "--kib", "8"], capture_output=True,
                          text=True, env=bare, timeout=300)
    assert demo.returncode == 0, demo.stderr
    assert "1 of 1 devices hold the image" in demo.stdout and "equal:" in demo.stdout
