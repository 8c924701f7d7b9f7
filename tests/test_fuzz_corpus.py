"""Every input the coverage-guided fuzzer kept (tests/fuzz/corpus, grown
by `make fuzz`) is run again through its harness on this build."""

import importlib
import logging
import pathlib

import pytest

CORPUS = pathlib.Path(__file__).resolve().parent / "fuzz" / "corpus"


@pytest.mark.parametrize("name", ["container", "programming", "replies", "commands"])
def test_the_fuzzing_corpus_replays(name, capsys):
    harness = importlib.import_module("tests.fuzz." + name)
    inputs = sorted(CORPUS.joinpath(name).glob("*"))
    assert inputs, "no corpus for %s: run make fuzz" % name
    logger = logging.getLogger("FPGA")
    level = logger.level
    logger.setLevel(logging.CRITICAL + 1)
    try:
        for path in inputs:
            harness.one_input(path.read_bytes())
    finally:
        logger.setLevel(level)
    capsys.readouterr()  # the progress lines of programming
