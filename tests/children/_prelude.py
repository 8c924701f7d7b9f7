"""What the child checks share."""

import sys

from tests.fakes import RecordingConnection


def Conn():
    return RecordingConnection(default_reply="0.2.3.5", record=False)


def forget(name):
    """As if the module had never been imported."""
    del sys.modules[name]
    package, _, attribute = name.rpartition(".")
    delattr(sys.modules[package], attribute)
