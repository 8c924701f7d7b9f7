"""The wheel `make wheel` builds is what it says: it exports its entry points
alone, asks of the system only what manylinux2014 (glibc 2.17) guarantees,
from the libraries that have it there, and installs and runs where there is
neither a compiler nor a package index."""

import functools
import glob
import os
import platform
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MACHINE = platform.machine()
# glibc 2.17's libraries for this machine, made by scripts/glibc-stubs
STUBS = os.path.join(ROOT, "build", "glibc-2.17" if MACHINE == "x86_64" else "glibc-2.17-" + MACHINE)

# The libraries a manylinux2014 wheel may need from the system.
MANYLINUX2014 = {"libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libc.so.6",
                 "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2", "libX11.so.6", "libXext.so.6",
                 "libXrender.so.1", "libICE.so.6", "libSM.so.6", "libGL.so.1", "libgobject-2.0.so.0",
                 "libgthread-2.0.so.0", "libglib-2.0.so.0", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
ENTRY_POINTS = {"Tarnel": {"PyInit_Tarnel"}, "Sweepgate": {"PyInit_Sweepgate"}}

pytestmark = [
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="packaging, not memory: the sanitizer run skips it"),
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="manylinux wheels (ELF, glibc): Linux only; the "
                       "Windows wheel's exports are checked where it is built"),
]


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """This interpreter's wheel: from the wheelhouse `make test` built, or built here."""
    tag = "cp%d%d" % sys.version_info[:2]
    built = os.environ.get("ONDREL_WHEELHOUSE")
    if not built:
        built = str(tmp_path_factory.mktemp("wheelhouse"))
        run = subprocess.run([os.path.join(ROOT, "scripts", "build-wheels"), sys.executable], capture_output=True,
                             text=True, env=dict(os.environ, WHEELHOUSE=built), timeout=1800)
        assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-2000:]
    (found,) = glob.glob(os.path.join(built, "ondrel-*-%s-%s-*_%s.whl" % (tag, tag, MACHINE)))
    return found


def dynamic(library):
    """(exported names, unique names, needed libraries, imports) of a shared
    library: imports as (name, strong, library, version or None)."""
    from elftools.elf.elffile import ELFFile

    with open(library, "rb") as f:
        elf = ELFFile(f)
        symbols = list(elf.get_section_by_name(".dynsym").iter_symbols())
        versions = {}
        need = elf.get_section_by_name(".gnu.version_r")
        for entry, aux in (need.iter_versions() if need else ()):
            for version in aux:
                versions[version["vna_other"]] = (entry.name, version.name)
        indices = elf.get_section_by_name(".gnu.version")
        needed = [tag.needed for tag in elf.get_section_by_name(".dynamic").iter_tags() if tag.entry.d_tag ==
                  "DT_NEEDED"]
        exported, unique, imports = set(), set(), []
        for number, symbol in enumerate(symbols):
            if not symbol.name:
                continue
            binding = symbol["st_info"]["bind"]
            if symbol["st_shndx"] == "SHN_UNDEF":
                index = indices.get_symbol(number)["ndx"] if indices else None
                library_version = versions.get(index) if isinstance(index, int) else None
                imports.append((symbol.name, binding == "STB_GLOBAL") + (library_version or (None, None)))
            elif binding == "STB_GNU_UNIQUE":
                unique.add(symbol.name)
            elif binding in ("STB_GLOBAL", "STB_WEAK") and symbol["st_other"]["visibility"] == "STV_DEFAULT":
                exported.add(symbol.name)
    return exported, unique, needed, imports


@functools.lru_cache(maxsize=None)
def glibc_2_17_exports(soname):
    """What glibc 2.17's library of that name defines (its stub, by its SONAME)."""
    from elftools.elf.elffile import ELFFile

    for path in glob.glob(os.path.join(STUBS, "*.so.*")):
        with open(path, "rb") as f:
            tags = ELFFile(f).get_section_by_name(".dynamic").iter_tags()
            if any(tag.entry.d_tag == "DT_SONAME" and tag.soname == soname for tag in tags):
                return dynamic(path)[0]
    return set()


def test_the_wheel_asks_only_what_glibc_2_17_has(wheel, tmp_path):
    with zipfile.ZipFile(wheel) as contents:
        contents.extractall(tmp_path)
        assert not [name for name in contents.namelist() if name.startswith("ondrel.libs/")]  # nothing grafted
    libraries = glob.glob(str(tmp_path / "ondrel" / "**" / "*.so"), recursive=True)
    assert sorted(os.path.basename(p).split(".")[0] for p in libraries) == ["Sweepgate", "Tarnel"]
    for library in libraries:
        exported, unique, needed, imports = dynamic(library)
        module = os.path.basename(library).split(".")[0]
        assert (exported, unique) == (ENTRY_POINTS[module], set()), library
        assert set(needed) <= MANYLINUX2014, needed
        for name, strong, needed_from, version in imports:
            if version is None:  # unversioned: the interpreter's, or optional (weak)
                assert not strong or name.startswith(("Py", "_Py")), name
            elif version.startswith("GLIBC_"):
                assert tuple(map(int, version[6:].split("."))) <= (2, 17), (name, version)
                assert name in glibc_2_17_exports(needed_from), "%s@%s is not in glibc 2.17's %s" % (
                    name, version, needed_from)
            else:
                assert needed_from == "libgcc_s.so.1" and version.startswith("GCC_"), (name, needed_from, version)


def test_the_wheel_installs_without_a_compiler_or_an_index(wheel, tmp_path):
    fresh = tmp_path / "fresh"
    subprocess.run([sys.executable, "-m", "venv", str(fresh)], check=True, timeout=300)
    bare = {"PATH": str(fresh / "bin"), "HOME": str(tmp_path), "PIP_CONFIG_FILE": os.devnull}
    if "QEMU_LD_PREFIX" in os.environ:  # under qemu-user: where the emulated programs' loader is
        bare["QEMU_LD_PREFIX"] = os.environ["QEMU_LD_PREFIX"]
    assert subprocess.run(["/bin/sh", "-c", "command -v cc gcc g++ c++"], env=bare).returncode != 0  # no compiler
    dependencies = glob.glob(os.path.join(os.path.dirname(wheel), "tomli-*.whl"))
    installed = subprocess.run([str(fresh / "bin" / "python"), "-m", "pip", "install", "--no-index", wheel] +
                               dependencies, capture_output=True, text=True, env=bare, timeout=300)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    demo = subprocess.run([str(fresh / "bin" / "ondrel-fpga"), "demo", "--kib", "8"], capture_output=True,
                          text=True, env=bare, timeout=300)
    assert demo.returncode == 0, demo.stderr
    assert "1 of 1 devices hold the image" in demo.stdout and "equal:" in demo.stdout
