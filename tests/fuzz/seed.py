"""Seeds a harness's corpus with inputs that reach deep (containers that
verify, programmings that succeed), so the fuzzer starts past the checks:

    python -m tests.fuzz.seed container|programming [COUNT]"""

import hashlib
import os
import random
import sys

from . import model
from .container import sealed
from .values import Reader

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def container_seeds(count, rng):
    """Inputs whose sealed container the reading accepts."""
    found = []
    while len(found) < count:
        data = bytes([1 | rng.getrandbits(8) & 0xF9]) + bytes(rng.getrandbits(8) for _ in range(rng.randint(8, 120)))
        if model.reference(sealed(Reader(data[1:])))[0] == "accept":
            found.append(data)
    return found


def programming_seeds(count, rng):
    """An image and a script of replies all as they should be, one at a time and windowed."""
    return [bytes([8 * (i & 1) + rng.randint(0, 7), size]) + bytes(rng.getrandbits(8) for _ in range(size % 49)) +
            bytes(64) for i, size in enumerate(rng.randint(1, 48) for _ in range(count))]


def main():
    name, count = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 16
    rng = random.Random(name)
    folder = os.path.join(CORPUS, name)
    os.makedirs(folder, exist_ok=True)
    for data in {"container": container_seeds, "programming": programming_seeds}[name](count, rng):
        with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
