"""Runs one fuzzing harness under atheris for SECONDS, growing its corpus
(libFuzzer keeps the inputs that reach new code, at most 256 bytes each):

    python -m tests.fuzz.run container|replies|commands SECONDS

(scripts/fuzz builds the instrumented modules and runs every harness.)"""

import importlib
import logging
import os
import sys

import atheris


def main():
    name, seconds = sys.argv[1], int(sys.argv[2])
    corpus = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", name)
    os.makedirs(corpus, exist_ok=True)
    logging.getLogger("FPGA").setLevel(logging.CRITICAL + 1)  # the harnesses provoke every refusal
    sys.stdout = open(os.devnull, "w")  # and the progress line
    with atheris.instrument_imports(include=["tests.fuzz"]):
        harness = importlib.import_module("tests.fuzz." + name)
    atheris.Setup([sys.argv[0], corpus, "-max_total_time=%d" % seconds, "-max_len=256", "-rss_limit_mb=8192",
                   "-timeout=20", "-print_final_stats=1"], harness.one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
