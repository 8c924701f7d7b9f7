"""Both modules compile and link for macOS on arm64 and x86-64, with the
ziglang package's cross toolchain and warnings as errors (the Linux aarch64
and Windows wheels are built whole by `make wheel`, and tested under
emulation).  Nothing here runs on macOS: the check is that every symbol the
modules ask for is either bound to a system library or Python's own API
(found in the interpreter at load), and that none of our code is exported
beside the entry point."""

import concurrent.futures
import os
import pathlib
import struct
import subprocess
import sys
import sysconfig

import pytest

# The ziglang package of this interpreter, or of the tools' (make test).
ZIG = [os.environ.get("ONDREL_TOOLS_PYTHON", sys.executable), "-m", "ziglang"]

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "src" / "native"
COMMON = ["core/function.cpp", "core/suggest.cpp", "core/calls.cpp", "core/classes.cpp", "core/imports.cpp",
          "core/module.cpp", "platform/os_posix.cpp", "platform/os_windows.cpp"]
MODULES = {"Tarnel": sorted(p.relative_to(NATIVE).as_posix() for p in (NATIVE / "tarnel").glob("*.cpp")),
           "Sweepgate": ["sweepgate/module.cpp"]}

pytestmark = pytest.mark.once  # what the interpreter running the tests does not change: `make test` runs it once


def zig(*arguments):
    return subprocess.run(ZIG + [str(a) for a in arguments], capture_output=True, text=True, timeout=900)


def macho_symbols(path):
    """(exported names, names left to the loader's flat lookup) of a 64-bit
    Mach-O file, from its symbol table (LC_SYMTAB's nlist_64 entries)."""
    data = pathlib.Path(path).read_bytes()
    magic, ncmds = struct.unpack_from("<I", data)[0], struct.unpack_from("<I", data, 16)[0]
    assert magic == 0xFEEDFACF, "not a 64-bit Mach-O file"
    exported, unbound, offset = set(), set(), 32
    for _ in range(ncmds):
        command, size = struct.unpack_from("<II", data, offset)
        if command == 0x2:  # LC_SYMTAB
            symbols, count, strings = struct.unpack_from("<III", data, offset + 8)
            for i in range(count):
                at, kind, _, desc, _ = struct.unpack_from("<IBBHQ", data, symbols + 16 * i)
                name = data[strings + at:data.index(b"\0", strings + at)].decode()
                if kind & 0xE0 or not kind & 0x01:  # debugging entries, local symbols
                    continue
                if kind & 0x0E == 0x0E and not kind & 0x10:  # defined here, not private
                    exported.add(name)
                elif kind & 0x0E == 0 and (desc >> 8) & 0xFF in (0, 0xFE):  # undefined, from no library
                    unbound.add(name)
        offset += size
    return exported, unbound


@pytest.mark.parametrize("target", ["aarch64-macos", "x86_64-macos"])
def test_the_modules_link_for_macos(target, tmp_path):
    if "ONDREL_TOOLS_PYTHON" not in os.environ:
        pytest.importorskip("ziglang")
    def compile_one(source):
        done = zig("c++", "-target", target, "-std=c++17", "-O1", "-fvisibility=hidden",
                   "-fvisibility-inlines-hidden", "-Wall", "-Wextra", "-Werror", "-Wno-unused-command-line-argument",
                   "-I", NATIVE, "-I", sysconfig.get_paths()["include"], "-c", NATIVE / source,
                   "-o", tmp_path / (source.replace("/", "_") + ".o"))
        return source, done.returncode, done.stderr[-3000:]

    sources = COMMON + [s for module in MODULES.values() for s in module]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        failed = [(source, err) for source, code, err in pool.map(compile_one, sources) if code != 0]
    assert failed == []
    for name, own in MODULES.items():
        module = tmp_path / (name + ".so")
        objects = [tmp_path / (source.replace("/", "_") + ".o") for source in COMMON + own]
        linked = zig("c++", "-target", target, "-shared", "-Wl,-undefined,dynamic_lookup", *objects, "-o", module)
        assert linked.returncode == 0, linked.stderr[-3000:]
        exported, unbound = macho_symbols(module)
        # Python's API is left to the interpreter; anything else unresolved would fail the import
        assert {s for s in unbound if not s.startswith(("_Py", "__Py"))} == set()
        # zig links its C++ runtime in, exported (its Mach-O linker takes no export list): our own code is not
        assert "_PyInit_" + name in exported
        assert [s for s in exported if "ondrel" in s or "pybind11" in s or (s.startswith("_Py") and
                                                                           s != "_PyInit_" + name)] == []
