"""Checks that run in a child interpreter, so that a crash fails their test
instead of ending the run: ``python -m tests.children.NAME [ARGS]`` from
the checkout, printing what the test compares."""
