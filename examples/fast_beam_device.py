"""How a device class plugs into Sweepgate.

Sweepgate sends nothing itself: it calls device operations by name
(_setBeamPatternEnable, _eraseBeamPattern, _applyBeamPatternToBFIC,
_getExtCtrl, _setExtCtrl, _reboot) and expects the device class to supply
them, plus the six abstract operations.  This class sends the command texts of
Sweepgate._fbs_cmd_dict() over any connection with a ``sendCmd(frame,
rsp_type)`` operation, such as ondrel.QarCommService._TCPConn.

Run it against the device simulator:

    python -m ondrel.tools.devsim --port 5025 &
    python examples/fast_beam_device.py 127.0.0.1 5025
"""

import sys
import time

from ondrel.qardev.BeamPatternManager import BeamPatternManager
from ondrel.qardev.Sweepgate import Sweepgate
from ondrel.QarPublic import FBSMode, RFMode
from ondrel.QarUtils import RetCode, RetType


class FastBeamDevice(Sweepgate):
    """A device reached through a text-command connection."""

    BEAMS_PER_MODE = 64

    def __init__(self, connection, delay_unit=0.001):
        self._conn = connection
        self.delay_unit = delay_unit  # seconds per unit of user_delay

    # -- sending -----------------------------------------------------------

    def _send(self, operation, *arguments):
        """One command of the fast-beam dictionary; a reply that is an error
        text ("ERR ..." or a negative code) becomes an ERROR result."""
        command, rsp_type = self._fbs_cmd_dict().get(operation, (operation, None))
        line = command + (" " + ",".join(str(a) for a in arguments) if arguments else "")
        reply = self._conn.sendCmd((line + "\r\n").encode("ascii"), rsp_type).RetData or ""
        if reply.startswith(("ERR", "-")):
            return RetType(RetCode.ERROR, "%s failed: %s" % (line, reply))
        return RetType(data=reply)

    def _wait(self, user_delay):
        time.sleep(user_delay * self.delay_unit)

    # -- device operations that Sweepgate calls by name -------------------

    def _getExtCtrl(self):
        return self._send("_getExtCtrl")

    def _setExtCtrl(self, enable_and_mode):
        return self._send("_setExtCtrl", enable_and_mode)

    def _setBeamPatternEnable(self, flag):
        return self._send("_setBeamPatternEnable", flag)

    def _getBeamPatternEnable(self):
        return self._send("_getBeamPatternEnable")

    def _eraseBeamPattern(self, user_delay=0):
        ret = self._send("_eraseBeamPattern")
        self._wait(user_delay)
        return ret

    def _applyBeamPatternToBFIC(self, user_delay=0):
        ret = self._send("_applyBeamPatternToBFIC")
        self._wait(user_delay)
        return ret

    def _setBeamPatternStoreFBS(self, beam_id, *values):
        return self._send("_setBeamPatternStoreFBS", beam_id, *values)

    def _setBeamPatternStoreTDBS(self, beam_id, *values):
        return self._send("_setBeamPatternStoreTDBS", beam_id, *values)

    def _reboot(self):
        return self._send("REBOOT")

    # -- the abstract operations -------------------------------------------

    def _create_beam_pattern_mgr(self):
        return BeamPatternManager(modes=tuple(RFMode), beam_count=self.BEAMS_PER_MODE)

    def getFastBeamGain(self, rf_mode, beam_id):
        record = self.beam_pattern_mgr.beam(RFMode(rf_mode), int(beam_id))
        return RetType(data=dict(record.get("gain", {"enable": False, "com_gain": 0, "ele_gain": 0})))

    def getFastBeamPattern(self, beam_id):
        return RetType(data=dict(self.beam_pattern_mgr.beam(RFMode.TX, int(beam_id)).get("pattern", {})))

    def setFastBeamGain(self, rf_mode, beam_id, enable, com_gain=0, ele_gain=0):
        gain = {"enable": bool(enable), "com_gain": int(com_gain), "ele_gain": int(ele_gain)}
        ret = self._setBeamPatternStoreFBS(int(beam_id), int(RFMode(rf_mode)), int(gain["enable"]),
                                           gain["com_gain"], gain["ele_gain"])
        if ret.RetCode is RetCode.OK:
            self.beam_pattern_mgr.beam(RFMode(rf_mode), int(beam_id))["gain"] = gain
        return ret

    def setFastBeamPatternThetaPhi(self, beam_id, rf_freq, theta, phi):
        return self._store_pattern(beam_id, {"rf_freq": float(rf_freq), "theta": float(theta), "phi": float(phi)})

    def setFastBeamPatternAzEl(self, beam_id, rf_freq, azimuth, elevation):
        return self._store_pattern(beam_id, {"rf_freq": float(rf_freq), "azimuth": float(azimuth),
                                             "elevation": float(elevation)})

    def _store_pattern(self, beam_id, pattern):
        ret = self._setBeamPatternStoreTDBS(int(beam_id), *pattern.values())
        if ret.RetCode is RetCode.OK:
            self.beam_pattern_mgr.beam(RFMode.TX, int(beam_id))["pattern"] = pattern
        return ret


def main(argv):
    import argparse

    from ondrel.QarCommService import _TCPConn

    parser = argparse.ArgumentParser(description="Drive a fast-beam device: parallel mode, a gain, and the erase "
                                                 "and sync of its beam configuration.")
    parser.add_argument("host", help="the device's address (for example a simulator: 127.0.0.1)")
    parser.add_argument("port", type=int, nargs="?", default=5025, help="its TCP port (default %(default)s)")
    args = parser.parse_args(argv[1:])
    host, port = args.host, args.port
    conn = _TCPConn(host, port)
    if not conn.initConnection():
        print("cannot connect to %s:%d" % (host, port))
        return 1
    device = FastBeamDevice(conn)
    print("parallel mode on:", device.setFastParallelMode(True, FBSMode.FULL_GAIN_PHASE).RetCode)
    print("parallel mode now:", device.getFastParallelMode().RetData)
    print("gain of TX beam 3:", device.setFastBeamGain(RFMode.TX, 3, True, com_gain=12).RetCode)
    print("erase configuration:", device.eraseFastBeamConfig().RetCode)
    print("sync configuration:", device.syncFastBeamConfig().RetCode)
    conn.closeConnection()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
