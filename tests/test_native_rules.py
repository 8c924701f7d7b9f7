"""The native code calls into Python one way only: through core/calls.hpp,
where a thread the interpreter ends at exit is parked rather than unwound.
Anything else that can run Python code (an attribute access, str(), a
comparison, a call) would release objects without the interpreter lock in
that case."""

import pathlib
import re

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "src" / "native"
THE_WAY_IN = {"core/calls.hpp", "core/calls.cpp"}

# What runs Python code when called, and is therefore only called in calls.cpp.
CALLS_INTO_PYTHON = re.compile(
    r"\.attr\(|py::repr\(|py::module_::import|py::getattr\(|py::setattr\(|py::hasattr\(|py::len\(|py::isinstance"
    r"|\.cast<|PyObject_(Str|Repr|ASCII|Call|Vectorcall|GetAttr|SetAttr|RichCompare|IsTrue|Length|Size|GetItem"
    r"|SetItem|GetBuffer|Hash|Format|Dir|GetIter)\b|_PyObject_Vectorcall|PyIter_Next|PyNumber_\w+|PySequence_\w+"
    r"|PyList_Sort|PyImport_\w+|PyFloat_AsDouble|PyEval_RestoreThread|%[SR]"
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
            if macro_line:
                continue
            code = re.sub(r"\(\*\w*\)\(", "(", code)  # a function pointer's type: (*name)(...)
            if CALLS_INTO_PYTHON.search(code):
                yield "%s:%d: %s" % (name, number, line.strip())


def test_only_calls_hpp_calls_into_python():
    assert list(offending_lines()) == []


def test_the_rule_finds_what_it_looks_for():
    for line in ("x.attr(\"name\")", "PyObject_Str(o)", "c.global(n.RetType)(code)", "PyErr_Format(e, \"%S\", v)",
                 "PyNumber_Long(v)", "PySequence_Tuple(v)"):
        assert CALLS_INTO_PYTHON.search(line), line
