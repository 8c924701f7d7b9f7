"""Other interpreters are refused at import: python -m
tests.children.subinterpreters MAIN_FIRST FOLDER (MAIN_FIRST: 1 to import
the modules in the main interpreter first)."""

import os
import sys

try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters

if sys.argv[1] == "1":
    import ondrel.qardev.Sweepgate
    import ondrel.Tarnel  # noqa: F401
for name in ("ondrel.Tarnel", "ondrel.qardev.Sweepgate"):
    path = os.path.join(sys.argv[2], name)
    interpreter = interpreters.create()
    interpreters.run_string(interpreter, "\n".join([
        "try:",
        "    import %s",
        "    result = 'imported'",
        "except ImportError as error:",
        "    result = str(error)",
        "open(%r, 'w').write(result)"]) % (name, path))
    interpreters.destroy(interpreter)
    with open(path) as f:
        print(f.read())
