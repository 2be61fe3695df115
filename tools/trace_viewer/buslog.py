"""The bus log: every frame the library sent and received, as Vector ASC and
BLF through python-can's own writers."""
import collections
import datetime
import time

import can

from .analyse import ACK

_WINDOW_MS = 50.0
_SETTLE_MS = 5000.0


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
        self.waiting = collections.deque()   # frames not yet given their final time
        self.lows = collections.deque()      # (line time, offset bound), increasing bounds

    def frame(self, frame):
        """Frames wait a few seconds of trace time: the offset between the
        driver's clock and the trace's is the smallest line-minus-driver time
        of the received frames around them (the host reads some frames late,
        and the two clocks may drift apart over a day)."""
        if frame.drv is not None:
            bound = frame.line - frame.drv
            lows = self.lows
            while lows and lows[-1][1] >= bound:
                lows.pop()
            lows.append((frame.line, bound))
        self.waiting.append(frame)
        newest = frame.line
        while self.waiting and self.waiting[0].line <= newest - _SETTLE_MS:
            self._settle(self.waiting.popleft())

    def _settle(self, frame):
        lows = self.lows
        while lows and lows[0][0] < frame.line - _SETTLE_MS:
            lows.popleft()
        if frame.drv is not None and lows:
            frame.t = frame.drv + lows[0][1] + 0.5
        self._order(frame)

    def _order(self, frame):
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
            # Only in front of sent frames whose trace line was certainly
            # written after this frame was on the bus: both times are within
            # half a millisecond of the truth.
            at = len(buf)
            while at > 0 and not buf[at - 1].rx and not buf[at - 1].exact and buf[at - 1].t >= frame.t + 1.0:
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
        while self.waiting:
            self._settle(self.waiting.popleft())
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
