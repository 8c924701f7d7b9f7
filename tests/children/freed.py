"""A module nobody refers to is freed (both modules; the engine is Tarnel's)."""

import gc
import sys
import weakref

import ondrel.qardev.Sweepgate as Sweepgate
import ondrel.Tarnel as Tarnel
from ondrel.QarUtils import RetType


class Conn:
    def sendCmd(self, frame, kind):
        return RetType(data="0.2.3.5")


Tarnel.FpgaTool(Conn()).initFpga(32)
modules = [weakref.ref(Tarnel), weakref.ref(Sweepgate)]
for name in ("ondrel.Tarnel", "ondrel._transfer", "ondrel.qardev.Sweepgate"):
    del sys.modules[name]
    package, _, attribute = name.rpartition(".")
    delattr(sys.modules[package], attribute)
del Tarnel, Sweepgate
gc.collect()
print([module() is None for module in modules])
