"""python -m ondrel.tools: the ondrel-fpga command line."""

import sys

from .cli import main

sys.exit(main())
