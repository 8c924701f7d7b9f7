"""The library's windowed transfers under the name they had before they
became part of the library: see ondrel.windowed."""

from ondrel.windowed import *  # noqa: F403
from ondrel.windowed import __all__  # noqa: F401
