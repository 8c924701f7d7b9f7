"""Ways a caller could once crash the interpreter.  Each runs in a child
interpreter (a module of tests/children), so that a crash fails its test
instead of ending the run."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_child(name, *args, flags=(), check=True):
    child = subprocess.run([sys.executable, *flags, "-m", "tests.children." + name, *args], capture_output=True,
                           text=True, timeout=120, cwd=ROOT)
    if check:
        assert child.returncode == 0, child.stderr[-3000:]
    return child


def test_functions_outlive_their_module_and_imports_are_independent():
    assert run_child("imports").stdout.endswith("ok\n")


@pytest.mark.parametrize("kind", ["FpgaTool", "Sweepgate"])
def test_recursion_through_an_override_ends_in_recursion_error(kind):
    assert run_child("recursion", kind).stdout == "RecursionError\nRecursionError\n"


def test_what_hmac_and_hashlib_are_handed_stays_valid():
    assert run_child("spies").stdout.endswith("ok\n")


@pytest.fixture
def cpu_load():
    """A busy loop on another process for the duration of the test."""
    burner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    yield
    burner.kill()
    burner.wait()


def test_daemon_threads_inside_native_calls_at_exit(cpu_load):
    for _ in range(3):
        child = run_child("at_exit", flags=("-X", "dev"), check=False)
        assert (child.returncode, child.stdout) == (0, "leaving\n"), child.stderr[-3000:]
        assert "Fatal Python error" not in child.stderr


def test_items_that_change_the_device_type_list_cannot_crash_the_check():
    assert run_child("growing_list").stdout.endswith("False\n")


@pytest.mark.parametrize("main_first", ["0", "1"], ids=["alone", "after the main interpreter"])
def test_other_interpreters_are_refused_at_import(tmp_path, main_first):
    out = run_child("subinterpreters", main_first, str(tmp_path)).stdout
    assert out.splitlines()[-2:] == ["module ondrel.Tarnel does not support loading in subinterpreters",
                                     "module ondrel.qardev.Sweepgate does not support loading in subinterpreters"]


def test_a_module_nobody_refers_to_is_freed():
    assert run_child("freed").stdout.endswith("[True, True]\n")
