"""Public enumerations shared by the device modules."""

from enum import Enum, IntEnum


class RetCode(Enum):
    """Result code of a device operation; members are compared by identity."""

    OK = 0
    ERROR = 1
    WARNING = 2


class FBSMode(IntEnum):
    """Fast-beam-switching modes."""

    PHASE_ONLY = 0
    GAIN_ONLY = 1
    FULL_GAIN_PHASE = 2
    BEAM_INDEX = 3


class RFMode(IntEnum):
    """RF path a beam belongs to."""

    TX = 0
    RX = 1
