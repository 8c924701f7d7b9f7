"""Recursion through an override ends in RecursionError: python -m
tests.children.recursion FpgaTool|Sweepgate"""

import sys

from ondrel.Tarnel import FpgaTool
from tests.children._prelude import Conn
from tests.fakes import SweepgateDevice


class Looping(FpgaTool):
    def _sendCmd(self, *args, **kwargs):
        return self._fpgaGetId()


if sys.argv[1] == "FpgaTool":
    call = Looping(Conn())._fpgaGetId
else:
    device = SweepgateDevice()
    type(device)._eraseBeamPattern = lambda self, user_delay: self.eraseFastBeamConfig()
    call = device.eraseFastBeamConfig
for limit in (1000, 200):  # at the limit, and again with the native code long since in use
    sys.setrecursionlimit(limit)
    try:
        call()
    except RecursionError:
        print("RecursionError")
