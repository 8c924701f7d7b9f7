"""Beam-pattern storage of a fast-beam-switching device."""


class BeamPatternManager:
    """Holds one beam record per (mode, beam_id) pair of a device.

    The records are allocated up front, which is why device classes create
    the manager only when a fast-beam operation first needs it.
    """

    def __init__(self, modes=(0, 1), beam_count=64):
        self.modes = tuple(modes)
        self.beam_count = int(beam_count)
        self._beams = {(mode, beam_id): {} for mode in self.modes for beam_id in range(self.beam_count)}

    def beam(self, mode, beam_id):
        """The record of one beam; KeyError for a pair the device does not have."""
        return self._beams[(mode, beam_id)]

    def __len__(self):
        return len(self._beams)
