"""Fast Beam Switch Manager module."""

from abc import ABC, abstractmethod
from enum import IntEnum
from typing import Callable, Dict, Optional, Tuple

from ..QarPublic import FBSMode as FBSMode
from ..QarPublic import RFMode as RFMode
from ..QarUtils import RetCode as RetCode
from ..QarUtils import RetType as RetType
from ..QarUtils import _RspType as RspType
from .BeamPatternManager import BeamPatternManager as BeamPatternManager

class StartEndEnum(IntEnum):
    OTHER = 0
    START = 1
    END = 2
    START_END = 3

def _require_beam_pattern_setup(func: Callable[..., RetType]) -> Callable[..., RetType]: ...

class Sweepgate(ABC):
    _beam_pattern_mgr: Optional[BeamPatternManager]
    external_control_enabled: bool
    @property
    def beam_pattern_mgr(self) -> BeamPatternManager: ...
    @abstractmethod
    def _create_beam_pattern_mgr(self) -> BeamPatternManager: ...
    def _fbs_cmd_dict(self) -> Dict[str, Tuple[str, RspType]]: ...
    def getFastParallelMode(self) -> RetType: ...
    def setFastParallelMode(self, toEnable: bool, fbs_mode: FBSMode = ...) -> RetType: ...
    def eraseFastBeamConfig(self) -> RetType: ...
    @abstractmethod
    def getFastBeamGain(self, rf_mode: RFMode, beam_id: int) -> RetType: ...
    @abstractmethod
    def getFastBeamPattern(self, beam_id: int) -> RetType: ...
    @abstractmethod
    def setFastBeamGain(
        self, rf_mode: RFMode, beam_id: int, enable: bool, com_gain: int = 0, ele_gain: int = 0
    ) -> RetType: ...
    @abstractmethod
    def setFastBeamPatternThetaPhi(self, beam_id: int, rf_freq: float, theta: float, phi: float) -> RetType: ...
    @abstractmethod
    def setFastBeamPatternAzEl(self, beam_id: int, rf_freq: float, azimuth: float, elevation: float) -> RetType: ...
    def syncFastBeamConfig(self) -> RetType: ...
