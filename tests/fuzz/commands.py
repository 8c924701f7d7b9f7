"""Sweepgate's command dictionary and the operations around it, with the
module's names substituted and device operations that answer with
arbitrary values.  Any Python exception is fine; a crash or a SystemError
is not."""

import ondrel.qardev.Sweepgate as Sweepgate
from ondrel.QarUtils import RetCode, RetType

from .values import Reader, value

_SAVED = {name: getattr(Sweepgate, name) for name in ("RspType", "RetType", "RetCode")}


class _Device(Sweepgate.Sweepgate):
    def __init__(self, reader):
        self.reader = reader

    def _answer(self, *args, **kwargs):
        reader = self.reader
        kind = reader.byte() % 4
        if kind == 0:
            return RetType(data=value(reader))
        if kind == 1:
            return RetType([RetCode.ERROR, RetCode.WARNING, value(reader)][reader.byte() % 3], "no", value(reader))
        if kind == 2:
            raise ValueError("device")
        return value(reader)

    _setBeamPatternEnable = _eraseBeamPattern = _applyBeamPatternToBFIC = _answer
    _getExtCtrl = _setExtCtrl = _reboot = _answer

    def _create_beam_pattern_mgr(self):
        return value(self.reader)

    getFastBeamGain = getFastBeamPattern = setFastBeamGain = _answer
    setFastBeamPatternThetaPhi = setFastBeamPatternAzEl = _answer


def one_input(data):
    reader = Reader(data)
    choice = reader.byte()
    if choice & 1:
        setattr(Sweepgate, ["RspType", "RetType", "RetCode"][reader.byte() % 3], value(reader))
    device = _Device(reader)
    operations = [
        lambda: device._fbs_cmd_dict(),
        lambda: device.getFastParallelMode(),
        lambda: device.setFastParallelMode(value(reader), value(reader)),
        lambda: device.eraseFastBeamConfig(),
        lambda: device.syncFastBeamConfig(),
        lambda: device.beam_pattern_mgr,
        lambda: Sweepgate._require_beam_pattern_setup(value(reader)),
        lambda: Sweepgate.Sweepgate.setFastBeamGain(device, value(reader), value(reader), value(reader),
                                                    value(reader), value(reader)),
    ]
    try:
        operations[(choice >> 1) % len(operations)]()
    except SystemError:
        raise
    except Exception:
        pass
    finally:
        for name, saved in _SAVED.items():
            setattr(Sweepgate, name, saved)
