"""The native code runs Python code one way only: through core/calls.*, where
a thread the interpreter ends at exit is parked rather than unwound through
our frames (or aborted in a destructor).  The object types the rest of the
code holds (core::Handle, core::Ref) offer no operation that runs Python
code, which the compiler enforces; the C API's own ways in are found in the
sources by name."""

import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "src" / "native"
THE_WAY_IN = {"core/calls.hpp", "core/calls.cpp"}

# What runs Python code (or may: a release runs __del__, a new tuple may start
# a collection), and is therefore only used in core/calls.*.
CALLS_INTO_PYTHON = re.compile(
    r"\bpybind11\b|\bpy::"  # pybind11's objects compare, index, convert and release through Python
    r"|\bPy(Object|Number|Sequence|Mapping|Iter|Import|Eval|Buffer|Callable|Method|MemoryView)_"
    r"(?!GC_(Track|UnTrack|Del)\b)\w+\s*\("  # (the collector's own bookkeeping runs no Python code)
    r"|\b_Py(?!Bytes_Resize\b)\w+\s*\(|\bPyVectorcall_(?!NARGS\b)\w+\s*\("
    r"|\bPy(Dict|List|Tuple)_(?!Check\b|CheckExact\b|GET_SIZE\b|GET_ITEM\b)\w+\s*\("
    r"|\bPy(Long|Float)_As\w+\s*\(|\bPyUnicode_(Decode|AsEncodedString|FromObject)\s*\("  # any codec"
    r"|\bPy_X?DECREF\b|\bPy_CLEAR\b|\bPy_X?SETREF\b"
    r"|\bPyErr_(SetObject|SetExcInfo|Restore|Fetch|NormalizeException|SetRaisedException|GetRaisedException)\s*\("
    r"|%[SRA]"  # a format that calls str(), repr() or ascii()
    r"|[\w\]>]\)\(")  # a call of what an expression gave: obj.method()(...)


def offending_lines():
    for path in sorted(NATIVE.rglob("*.[ch]pp")):
        name = path.relative_to(NATIVE).as_posix()
        if name in THE_WAY_IN:
            continue
        in_macro = False
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            macro_line = in_macro or code.lstrip().startswith("#")
            in_macro = macro_line and code.rstrip().endswith("\\")
            if macro_line and not re.search(r"\bpybind11\b|\bpy::|\bPy_X?DECREF\b|\bPy_CLEAR\b", code):
                continue
            code = re.sub(r"\(\*\w*\)\(", "(", code)  # a function pointer's type: (*name)(...)
            if CALLS_INTO_PYTHON.search(code):
                yield "%s:%d: %s" % (name, number, line.strip())


def test_only_calls_runs_python_code():
    assert list(offending_lines()) == []


@pytest.mark.parametrize("line", [
    'PyObject_GetAttrString(o, "name")', "PyObject_CallMethod(o, \"m\", nullptr)", "PyObject_Vectorcall(f, a, n, k)",
    "_PyObject_Vectorcall(f, a, n, k)", "PyObject_VectorcallMethod(n, a, k, w)", "PyNumber_Long(v)",
    "PyNumber_Index(v)", "PyDict_GetItem(d, k)", "PyDict_SetItemString(d, \"k\", v)", "PyObject_Str(o)",
    "PyUnicode_FromFormat(\"%S\", o)", "PyObject_RichCompareBool(a, b, Py_EQ)", "Py_DECREF(o);", "Py_XSETREF(f, o);",
    "Py_CLEAR(field);", "py::object o = f();", "PyTuple_New(3)", "PyLong_AsLong(v)", "PyErr_SetObject(t, v)",
    "c.global(n.RetType)(code)", "PySequence_Tuple(v)", "PyObject_GetBuffer(o, &view, 0)",
])
def test_the_rule_finds_each_way_in(line):
    assert CALLS_INTO_PYTHON.search(line), line


# --- what the compiler refuses ---------------------------------------------------------

HEADER = """
#include "core/calls.hpp"
#include <string>
using ondrel::core::Handle;
using ondrel::core::Ref;
void f(Handle h, Ref r) {
    (void)h; (void)r;
    %s;
}
"""

# Each of these would run Python code on an object handle; none compiles.
REFUSED = {
    "equality": "bool b = h == r; (void)b",
    "inequality": "bool b = r != h; (void)b",
    "ordering": "bool b = r < h; (void)b",
    "item": "auto x = r[0]; (void)x",
    "item by name": 'auto x = h["key"]; (void)x',
    "attribute": 'auto x = r.attr("name"); (void)x',
    "call": "auto x = r(h); (void)x",
    "text": "std::string s = r; (void)s",
    "text by cast": "std::string s = static_cast<std::string>(h); (void)s",
    "number": "long n = r; (void)n",
    "addition": "auto x = r + h; (void)x",
    "iteration": "for (auto x : r) (void)x",
    "truth": "bool b = r; (void)b",  # only identity (is) and presence (explicit bool) are offered
}


def _compiler():
    return shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")


def _compile(body, tmp_path):
    source = tmp_path / "probe.cpp"
    source.write_text(HEADER % body)
    return subprocess.run([_compiler(), "-std=c++17", "-fsyntax-only", "-I", str(NATIVE), "-I",
                           sysconfig.get_paths()["include"], str(source)], capture_output=True, text=True)


needs_compiler = pytest.mark.skipif(_compiler() is None or not (NATIVE / "core" / "calls.hpp").exists(),
                                    reason="needs a C++ compiler and the native sources")


@needs_compiler
@pytest.mark.skipif(sys.platform == "win32", reason="the probe compiles with a POSIX compiler's options")
def test_handles_offer_no_way_into_python(tmp_path):
    allowed = _compile("bool same = h.is(r) && bool(r) && !h.is_none(); Ref kept = Ref::borrow(h); (void)same",
                       tmp_path)
    assert allowed.returncode == 0, allowed.stderr  # the probe itself is sound
    compiled = [name for name, body in REFUSED.items() if _compile(body, tmp_path).returncode == 0]
    assert compiled == []
