"""Functions outlive their module, and imports are independent."""

import gc
import importlib

import ondrel.qardev.Sweepgate as first_sweepgate
import ondrel.Tarnel as first
from ondrel.QarUtils import RetCode
from tests.children._prelude import Conn, forget
from tests.fakes import SweepgateDevice

FpgaTool, device = first.FpgaTool, SweepgateDevice()  # a class of the first import
forget("ondrel.Tarnel")
forget("ondrel._transfer")  # the engine is Tarnel's
forget("ondrel.qardev.Sweepgate")
del first, first_sweepgate
second = importlib.import_module("ondrel.Tarnel")
importlib.import_module("ondrel.qardev.Sweepgate")
gc.collect()
assert FpgaTool is not second.FpgaTool
assert FpgaTool(Conn()).initFpga(32).RetCode is RetCode.OK
assert device.setFastParallelMode(True).RetCode is RetCode.OK and device.external_control_enabled is True
second._DEVICE_WHITELIST.append(28)  # seen by the second module's functions only
assert second.FpgaTool(Conn()).initFpga(28).RetCode is RetCode.OK
assert FpgaTool(Conn()).initFpga(28).RetCode is RetCode.WARNING
third = importlib.reload(second)
assert third.FpgaTool(Conn()).initFpga(32).RetCode is RetCode.OK
print("ok")
