"""The bus log: every frame the library sent and received, as Vector ASC and
BLF through python-can's own writers."""
import collections
import datetime
import time

import can

from .analyse import ACK

_WINDOW_MS = 50.0


class BusLog:
    """Frames arrive in the order of the trace. A received frame is traced
    when the host reads it, which may be after frames we sent later; its
    driver time stamp puts it back in front of them where that is certain.
    A sent frame has the trace's millisecond until its transmit confirmation
    brings the driver's time."""

    def __init__(self, paths, epoch):
        self.writers = []
        for path in paths:
            if path.lower().endswith(".blf"):
                self.writers.append(can.BLFWriter(path))
            else:
                self.writers.append(can.ASCWriter(path))
        self.epoch = epoch
        self.buffer = collections.deque()
        self.last = None
        self.count = 0

    def frame(self, frame):
        buf = self.buffer
        if frame.kind == ACK:
            # The confirmation dates our frame with the same id and data.
            for i in range(len(buf) - 1, -1, -1):
                f = buf[i]
                if not f.rx and not f.exact and f.can_id == frame.can_id and f.data == frame.data:
                    f.t, f.exact = frame.t, True
                    break
            return
        if frame.rx and frame.exact:
            # Only in front of frames whose trace line was certainly written
            # after this frame was on the bus (its time is within half a
            # millisecond, the sent frame's line time cut to the millisecond).
            at = len(buf)
            while at > 0 and not buf[at - 1].rx and not buf[at - 1].exact and buf[at - 1].t >= frame.t + 0.5:
                at -= 1
            buf.insert(at, frame)
        else:
            buf.append(frame)
        newest = frame.t
        while buf and (len(buf) > 256 or buf[0].t < newest - _WINDOW_MS):
            self._write(buf.popleft())

    def _write(self, f):
        t = f.t if self.last is None or f.t >= self.last else self.last
        self.last = t
        can_id = f.can_id & 0x1FFFFFFF
        msg = can.Message(timestamp=self.epoch + t / 1000.0, arbitration_id=can_id,
                          is_extended_id=bool(f.can_id & 0x80000000) or can_id > 0x7FF,
                          is_rx=f.rx, dlc=len(f.data), data=f.data, channel=0)
        for w in self.writers:
            w.on_message_received(msg)
        self.count += 1

    def close(self):
        while self.buffer:
            self._write(self.buffer.popleft())
        for w in self.writers:
            w.stop()


def epoch_of(created):
    """Seconds since 1970 of the trace's counter clock origin: local midnight
    of the day in the trace's "Create tracefile" line (the counter clock shows
    time since the machine started, printed as a time of day)."""
    if not created:
        return 0.0
    day = created[0]
    return time.mktime(datetime.datetime(day.year, day.month, day.day).timetuple())
