"""The bus log: every frame the library sent and received, at its bus time, as
Vector ASC and BLF through python-can's own writers.

Times are kept in milliseconds on the trace's counter clock. What the trace
gives for them:
- a received frame and a confirmed sent frame (RAW-ACK) carry the driver's
  microsecond time stamp of the end of the frame; the driver's clock starts
  again whenever the port is activated, and runs on unbroken until then: one
  offset takes every stamp of such a run to the counter clock. It lies
  between two kinds of bound, gathered over the whole run: a frame was on
  the bus before the line that reads it was written (offset < line + 1 ms -
  stamp), and after the line that handed it, or the frame before it on the
  bus, to the driver (offset >= hand-off line + its least bus time - stamp).
  So a run's frames are timed when the run ends, when all its bounds are
  known; until then they wait in bus order, all but the last 16384 in a
  temporary file;
- every other sent frame has the millisecond of the line written just before
  it was handed to the driver; at TRACE=2 and above the confirmation read for
  it ("Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED", one per frame, in the order of
  the receive queue, which is the order of the bus) says where it was among
  the received frames and that it had left by then.
A sent frame without a stamp leaves when it has been handed over and the
frame before it has left, and takes its bits (stuffing included) at the bit
rate set by DATA_RATE (a CAN FD frame with bit-rate switch: the bits of its
data phase at the data rate, from --data-rate or the trace's data-phase rate
parameter). A run of frames that queued behind each other and ends
in a stamped frame is stretched or shrunk to fit that stamp, so that the
difference between the counted bits and the bus's own does not add up."""
import bisect
import collections
import datetime
import marshal
import tempfile
import time

import can

from .analyse import ACK, Frame
from .bittime import frame_ms

_SETTLE_MS = 5000.0     # trace time after a frame's line that its confirmation or stamp may still come in
_WINDOW_MS = 50.0       # frames are put in time order over this much before they are written
_RUN_MAX = 20000        # frames in one segment at most before it is timed anyway
_SCALE = (0.85, 1.3)    # bits on the bus to bits counted, as far as a fit may stretch a run
_UNFITTED = 30          # queued frames in a run without a stamp after it that are reported
_CHUNK = 16384          # frames of a run kept in memory; more wait in a temporary file


class _Epoch:
    """One run of the driver's clock: the bounds of its one offset to the
    counter clock (the least upper and the greatest lower bound of the run)
    and its frames in bus order until the run ends."""
    __slots__ = ("number", "upper", "lower", "rate", "data_rate", "prev_end", "prev_exact", "hand_lo", "last_drv",
                 "confirms", "stats", "ratios", "scale", "store")

    def __init__(self, number, rate, data_rate, stats):
        self.number, self.rate, self.data_rate, self.stats = number, rate, data_rate, stats
        self.ratios = collections.deque()
        self.scale = 1.0          # bus time per counted bit time, as the stamps show it
        self.prev_exact = False
        self.upper = self.lower = None
        self.prev_end = None      # end of the frame last timed on the bus
        self.hand_lo = None       # the latest hand-off's earliest time
        self.last_drv = None      # the stamp of the stamped frame read last
        self.confirms = False     # the trace shows a confirmation read per frame
        self.store = _Store(self)

    def bound(self, value, upper):
        if upper:
            if self.upper is None or value < self.upper:
                self.upper = value
        elif self.lower is None or value > self.lower:
            self.lower = value

    def offset(self):
        """The run's offset: the middle between its bounds."""
        hi, lo = self.upper, self.lower
        if hi is None:
            return None if lo is None else lo + 0.5
        if lo is None:
            return hi - 0.5       # the line's millisecond was cut: the middle of it
        if lo > hi:
            # No one offset fits every line: the driver's clock ran at
            # another rate than the trace's, or a line's time is wrong.
            self.stats["conflict"] = max(self.stats["conflict"], lo - hi)
        return (lo + hi) / 2.0


class _Store:
    """A run's frames in bus order, waiting for the run's end: the last ones
    in memory, the others in a temporary file."""
    __slots__ = ("epoch", "frames", "spool", "chunks")

    def __init__(self, epoch):
        self.epoch = epoch
        self.frames = []
        self.spool = None
        self.chunks = 0

    def add(self, f):
        self.frames.append(f)
        if len(self.frames) >= _CHUNK:
            if self.spool is None:
                self.spool = tempfile.TemporaryFile()
            marshal.dump([(f.can_id, f.rx, f.data, f.kind, f.exact, f.drv, f.line, f.handed, f.done, f.dur,
                           f.ref, f.seq, (f.is_fd, f.bitrate_switch, f.error_state_indicator))
                          for f in self.frames], self.spool)
            self.chunks += 1
            self.frames = []

    def drain(self):
        """Every frame once, in bus order; the store is empty after."""
        if self.spool is not None:
            self.spool.seek(0)
            for _ in range(self.chunks):
                for can_id, rx, data, kind, exact, drv, line, handed, done, dur, ref, seq, fd in \
                        marshal.load(self.spool):
                    f = Frame(line, can_id, rx, data, kind, exact, drv, line, fd)
                    f.handed, f.done, f.dur, f.ref, f.seq, f.epoch = handed, done, dur, ref, seq, self.epoch
                    yield f
            self.spool.close()
            self.spool = None
            self.chunks = 0
        frames, self.frames = self.frames, []
        yield from frames


class BusLog:
    def __init__(self, paths, epoch, data_rate=2000000.0):
        self.writers = []
        for path in paths:
            if path.lower().endswith(".blf"):
                self.writers.append(can.BLFWriter(path))
            else:
                self.writers.append(can.ASCWriter(path))
        self.epoch_s = epoch
        self.count = 0
        self.last = None
        self.rate = 500000.0
        self.data_rate = float(data_rate)     # of CAN FD frames with bit-rate switch
        self.sessions = []        # per session: how its frames were timed
        self.clock = _Epoch(0, self.rate, self.data_rate, _new_stats())
        self.pending = collections.deque()   # sent frames whose confirmation is not read yet
        self.items = collections.deque()     # frames in bus order, waiting for their stamps and confirmations
        self.out = []                        # timed frames, sorted, waiting to be written
        self.newest = None
        self.seq = 0

    # ---- what the trace says, in its order ---------------------------------
    def frame(self, f):
        c = self.clock
        self.newest = f.line
        f.epoch = c
        if f.kind == ACK:
            self._ack(f)
        elif f.rx:
            f.dur = _ms(f, c)
            c.bound(f.line + 1.0 - f.drv, True)
            before = self._last_sent()
            if before is not None and before.done is not None:
                c.bound(before.line + before.least + _ms(f, c, True) - f.drv, False)
            c.last_drv = f.drv
            self._put(f)
        else:
            f.dur = _ms(f, c)
            f.least = _ms(f, c, True)
            f.ref = c.last_drv
            self.pending.append(f)
        self._advance()

    def confirmation(self, line):
        """The driver's confirmation of our next frame was read at this line."""
        self.newest = line
        self.clock.confirms = True
        self.clock.stats["confirms"] = True
        if self.pending:
            f = self.pending.popleft()
            f.done = line
            self._put(f)

    def refused(self, f):
        """The driver refused the frame: it never went on the bus."""
        for i in range(len(self.pending) - 1, -1, -1):
            if self.pending[i] is f:
                del self.pending[i]
                return

    def lost(self, line):
        """The receive queue overran: confirmations may be missing, so the
        frames still waiting for one are placed by their hand-off time."""
        self._flush_pending()

    def restart(self, line, session=False):
        """The driver's clock starts again (the port was activated, or a new
        session begins)."""
        self._flush_pending()
        self._settle(final=True)
        self._time_run(self.clock)
        stats = self.clock.stats
        if session or not self.sessions:
            stats = _new_stats()
            self.sessions.append(stats)
        self.clock = _Epoch(self.clock.number + 1, self.rate, self.data_rate, stats)

    def bit_rate(self, rate):
        if rate > 0:
            self.rate = float(rate)
            self.clock.rate = self.rate

    def data_bit_rate(self, rate):
        if rate > 0:
            self.data_rate = float(rate)
            self.clock.data_rate = self.data_rate

    # ---- bus order ------------------------------------------------------------
    def _ack(self, a):
        c = self.clock
        c.bound(a.line + 1.0 - a.drv, True)
        # The confirmation just read belongs to the frame it was counted for;
        # if that is not the frame (lost events), the latest with its bytes.
        target = None
        for q in (self.items, self.pending):
            for i in range(len(q) - 1, max(len(q) - 64, 0) - 1, -1):
                f = q[i]
                if not f.rx and f.drv is None and f.can_id == a.can_id and f.data == a.data:
                    target = f
                    break
            if target is not None:
                break
        if target is None:
            return
        target.drv = a.drv
        target.exact = True
        c.bound(target.line + target.least - a.drv, False)
        c.last_drv = a.drv
        if target in self.pending:
            # Confirmed before its counted confirmation: the frames before it left first.
            while self.pending:
                f = self.pending.popleft()
                self._put(f)
                if f is target:
                    break

    def _last_sent(self):
        for i in range(len(self.items) - 1, max(len(self.items) - 4, 0) - 1, -1):
            f = self.items[i]
            if not f.rx:
                return f if f.epoch is self.clock else None
            return None
        return None

    def _put(self, f):
        f.seq = self.seq
        self.seq += 1
        self.items.append(f)

    def _flush_pending(self):
        while self.pending:
            self._put(self.pending.popleft())

    def _advance(self):
        # A frame whose confirmation is not read within the settle time will
        # not get one (TRACE=1 has none at all).
        limit = self.newest - _SETTLE_MS
        while self.pending and self.pending[0].line < limit:
            self._put(self.pending.popleft())
        self._settle(final=False)

    # ---- timing ---------------------------------------------------------------
    def _settle(self, final):
        """Frames that no stamp or confirmation can reach any more go to
        their run's store."""
        limit = (self.newest or 0.0) - _SETTLE_MS
        items = self.items
        while items and (final or items[0].line < limit):
            f = items.popleft()
            f.epoch.store.add(f)

    def _time_run(self, c):
        """Times for the frames of a run that has ended, now that its offset
        is known: segments in bus order, each up to a stamped frame."""
        off = c.offset()
        segment = []
        for f in c.store.drain():
            segment.append(f)
            if f.exact:
                self._time(c, off, segment, f)
                segment = []
            elif len(segment) >= _RUN_MAX:
                self._time(c, off, segment, None)
                segment = []
        if segment:
            self._time(c, off, segment, None)

    def _time(self, c, off, segment, anchor):
        """Times for frames of the run c in bus order, off its offset;
        anchor: the stamped frame that ends the segment, if any (no other
        frame in it has a stamp)."""
        if anchor is not None:
            c.stats["received" if anchor.rx else "confirmed"] += 1
            anchor.bus = anchor.drv + off if off is not None else anchor.line + 0.5
        chain = []      # frames that queued behind the one before them, since the last idle start
        prev = c.prev_end
        body = segment[:-1] if anchor is not None else segment
        for f in body:
            # Handed over after the line that shows the frame, before the one
            # that says the driver took it and before the bus could have
            # carried it by the time its confirmation was read.
            lo = f.line
            if f.ref is not None and off is not None:
                lo = max(lo, f.ref + off)   # handed over after a stamped frame was read
            if c.hand_lo is not None:
                lo = max(lo, c.hand_lo)
            c.hand_lo = lo
            handed = f.handed if f.handed is not None and f.handed > f.line else f.line
            late = handed >= f.line + 2.0     # the thread was held up in between
            hi = handed + 1.0
            if f.done is not None:
                hi = min(hi, f.done + 1.0 - f.dur)
            hi = max(hi, lo)
            # A thread held up between the two lines was most likely held up
            # before the driver took the frame (writing the line, waiting for
            # the trace file or the driver): the later line is closer.
            hand = min(max(handed + 0.5, lo), hi) if late else (lo + hi) / 2.0
            if late and max(hi, prev or hi) - max(lo, prev or lo) > 2.0:
                c.stats["uncertain"] += 1   # where in that time the driver took it, the trace cannot say
                c.stats["window"] = max(c.stats["window"], hi - lo)
            c.stats["computed"] += 1
            if prev is not None and hand <= prev:
                chain.append(f)           # waiting for the bus
                f.start = prev
            else:
                self._unfitted(c, chain)
                chain = [f]
                f.start = hand
            f.bus = f.start + f.dur * c.scale
            prev = f.bus
        if anchor is None or not self._fit(chain, anchor, prev, c.scale):
            self._unfitted(c, chain)
        # A frame had left when its confirmation was read, and the bus
        # carries one frame at a time.
        limit = anchor.bus - anchor.dur * c.scale if anchor is not None else None
        for f in reversed(body):
            if f.done is not None:
                f.bus = min(f.bus, f.done + 1.0)
            if limit is not None and f.bus > limit:
                f.bus = limit
            limit = f.bus
        last = c.prev_end
        for f in body:
            if last is not None and f.bus < last:
                f.bus = last
            last = f.bus
        if anchor is not None and not body:
            self._learn(c, anchor)
        c.prev_exact = anchor is not None
        c.prev_end = anchor.bus if anchor is not None else last
        for f in segment:
            self._emit(f)

    @staticmethod
    def _unfitted(c, chain):
        # A long run of queued frames that no stamp follows: the bus's own
        # stuffing may differ from the counted bits by a few per cent.
        if len(chain) > _UNFITTED:
            c.stats["unfitted"] += len(chain)

    def _learn(self, c, anchor):
        """The bus's own time per counted bit, from received frames that
        followed each other without a pause (a bus whose frames carry more
        or fewer stuff bits than counted, or runs a little off its rate)."""
        if c.prev_end is None or not c.prev_exact or not anchor.rx:
            return
        ratio = (anchor.bus - c.prev_end) / anchor.dur
        if _SCALE[0] < ratio < _SCALE[1]:
            c.ratios.append(ratio)
            if len(c.ratios) > 63:
                c.ratios.popleft()
            c.scale = sorted(c.ratios)[len(c.ratios) // 2]

    def _fit(self, chain, anchor, prev, known):
        if not chain:
            return True
        begin = chain[0].start
        if not anchor.rx and anchor.line + 1.0 <= prev:
            # Our own stamped frame waited behind the chain: the chain ends
            # where the anchor began.
            total = sum(f.dur for f in chain) + anchor.dur
            span = anchor.bus - begin
        elif prev > anchor.bus - anchor.dur * known:
            # The chain would overlap the received frame that followed it.
            total = sum(f.dur for f in chain)
            span = anchor.bus - anchor.dur - begin
        else:
            return False
        if total <= 0:
            return False
        scale = min(max(span / total, _SCALE[0]), _SCALE[1])
        t = begin
        for f in chain:
            t += f.dur * scale
            f.bus = t
        return True

    def _emit(self, f):
        bisect.insort(self.out, (f.bus, f.seq, f))
        while self.out and self.out[0][0] < f.bus - _WINDOW_MS:
            self._write(self.out.pop(0)[2])

    def _write(self, f):
        t = f.bus if self.last is None or f.bus >= self.last else self.last
        self.last = t
        can_id = f.can_id & 0x1FFFFFFF
        msg = can.Message(timestamp=self.epoch_s + t / 1000.0, arbitration_id=can_id,
                          is_extended_id=_extended(f.can_id), is_rx=f.rx, dlc=len(f.data), data=f.data, channel=0,
                          is_fd=f.is_fd, bitrate_switch=f.bitrate_switch,
                          error_state_indicator=f.error_state_indicator)
        for w in self.writers:
            w.on_message_received(msg)
        self.count += 1

    def close(self):
        self._flush_pending()
        self._settle(final=True)
        self._time_run(self.clock)
        for _, _, f in self.out:
            self._write(f)
        self.out = []
        for w in self.writers:
            w.stop()


def _new_stats():
    return {"received": 0, "confirmed": 0, "computed": 0, "uncertain": 0, "window": 0.0, "unfitted": 0,
            "confirms": False, "conflict": 0.0}


def _extended(can_id):
    return bool(can_id & 0x80000000) or (can_id & 0x1FFFFFFF) > 0x7FF


def _ms(f, c, least=False):
    """The frame's time on the bus at the bit rates of the run c."""
    return frame_ms(f.can_id & 0x1FFFFFFF, _extended(f.can_id), f.data, c.rate, f.is_fd, f.bitrate_switch,
                    c.data_rate, least)


def epoch_of(created):
    """Seconds since 1970 of the trace's counter clock origin: local midnight
    of the day in the trace's "Create tracefile" line (the counter clock shows
    time since the machine started, printed as a time of day)."""
    if not created:
        return 0.0
    day = created[0]
    return time.mktime(datetime.datetime(day.year, day.month, day.day).timetuple())
