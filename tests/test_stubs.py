"""The type stubs describe the built modules."""

import subprocess
import sys

import pytest

from .platforms import EMULATOR

pytest.importorskip("mypy")
pytestmark = pytest.mark.skipif(EMULATOR == "wine", reason="mypy's compiled parser (ast_serialize) does not load "
                                "under wine")


def test_stubs_match_the_built_modules(tmp_path):
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "ondrel.Tarnel", "ondrel.qardev.Sweepgate"],
                         capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stdout + out.stderr


def test_type_checkers_see_the_real_signatures(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(
        "from ondrel.Tarnel import FpgaTool\n"
        "tool = FpgaTool(address='10.0.0.5')\n"
        "ok: bool = tool._checkFileHeader('fw.tbin')\n"
        "tool.processFpgaUpdate(image_path=5)\n"
    )
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", str(script)], capture_output=True,
                         text=True, cwd=tmp_path)
    assert out.returncode == 1
    assert 'Argument "image_path" to "processFpgaUpdate" of "FpgaTool" has incompatible type "int"' in out.stdout
    assert out.stdout.count("error:") == 1
