"""The bus log: every frame the library sent and received, at its bus time, as
Vector ASC and BLF through python-can's own writers.

Times are kept in milliseconds on the trace's counter clock. What the trace
gives for them:
- a received frame and a confirmed sent frame (RAW-ACK) carry the driver's
  microsecond time stamp of the end of the frame; the driver's clock starts
  again whenever the port is activated, and its offset to the counter clock
  lies between two kinds of bound: a frame was on the bus before the line
  that reads it was written (offset < line + 1 ms - stamp), and after the
  line that handed it, or the frame before it on the bus, to the driver
  (offset >= hand-off line + its least bus time - stamp);
- every other sent frame has the millisecond of the line written just before
  it was handed to the driver; at TRACE=2 and above the confirmation read for
  it ("Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED", one per frame, in the order of
  the receive queue, which is the order of the bus) says where it was among
  the received frames and that it had left by then.
A sent frame without a stamp leaves when it has been handed over and the
frame before it has left, and takes its bits (stuffing included) at the bit
rate set by DATA_RATE. A run of frames that queued behind each other and ends
in a stamped frame is stretched or shrunk to fit that stamp, so that the
difference between the counted bits and the bus's own does not add up."""
import bisect
import collections
import datetime
import time

import can

from .analyse import ACK
from .bittime import frame_bits, least_bits

_SETTLE_MS = 5000.0     # trace time that bounds of the clocks' offset are gathered over, both ways
_WINDOW_MS = 50.0       # frames are put in time order over this much before they are written
_RUN_MAX = 20000        # frames in one segment at most before it is timed anyway
_SCALE = (0.85, 1.3)    # bits on the bus to bits counted, as far as a fit may stretch a run
_UNFITTED = 30          # queued frames in a run without a stamp after it that are reported


class _Epoch:
    """One run of the driver's clock: bounds of its offset to the counter
    clock (sliding minimum of the upper, maximum of the lower bounds)."""
    __slots__ = ("number", "upper", "lower", "rate", "prev_end", "prev_exact", "hand_lo", "last_exact",
                 "confirms", "stats", "ratios", "scale")

    def __init__(self, number, rate, stats):
        self.number, self.rate, self.stats = number, rate, stats
        self.ratios = collections.deque()
        self.scale = 1.0          # bus time per counted bit time, as the stamps show it
        self.prev_exact = False
        self.upper, self.lower = collections.deque(), collections.deque()
        self.prev_end = None      # end of the frame last timed on the bus
        self.hand_lo = None       # the latest hand-off's earliest time
        self.last_exact = None    # the stamped frame read last
        self.confirms = False     # the trace shows a confirmation read per frame

    def bound(self, line, value, upper):
        q = self.upper if upper else self.lower
        if upper:
            while q and q[-1][1] >= value:
                q.pop()
        else:
            while q and q[-1][1] <= value:
                q.pop()
        q.append((line, value))

    def offset(self, line):
        for q in (self.upper, self.lower):
            while len(q) > 1 and q[0][0] < line - _SETTLE_MS:
                q.popleft()
        hi = self.upper[0][1] if self.upper else None
        lo = self.lower[0][1] if self.lower else None
        if hi is None:
            return None if lo is None else lo + 0.5
        if lo is None:
            return hi - 0.5       # the line's millisecond was cut: the middle of it
        return (lo + hi) / 2.0


class BusLog:
    def __init__(self, paths, epoch):
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
        self.sessions = []        # per session: how its frames were timed
        self.clock = _Epoch(0, self.rate, _new_stats())
        self.pending = collections.deque()   # sent frames whose confirmation is not read yet
        self.items = collections.deque()     # frames in bus order, waiting for their times
        self.exact = collections.deque()     # the stamped ones among them
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
            f.dur = frame_bits(f.can_id & 0x1FFFFFFF, _extended(f.can_id), f.data) * 1000.0 / c.rate
            c.bound(f.line, f.line + 1.0 - f.drv, True)
            before = self._last_sent()
            if before is not None and before.done is not None:
                c.bound(f.line, before.line + before.least + _least(f, c.rate) - f.drv, False)
            c.last_exact = f
            self._put(f)
        else:
            ext = _extended(f.can_id)
            f.dur = frame_bits(f.can_id & 0x1FFFFFFF, ext, f.data) * 1000.0 / c.rate
            f.least = least_bits(ext, len(f.data)) * 1000.0 / c.rate
            f.ref = c.last_exact
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
        self._drain(final=True)
        stats = self.clock.stats
        if session or not self.sessions:
            stats = _new_stats()
            self.sessions.append(stats)
        self.clock = _Epoch(self.clock.number + 1, self.rate, stats)

    def bit_rate(self, rate):
        if rate > 0:
            self.rate = float(rate)
            self.clock.rate = self.rate

    # ---- bus order ------------------------------------------------------------
    def _ack(self, a):
        c = self.clock
        c.bound(a.line, a.line + 1.0 - a.drv, True)
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
        c.bound(a.line, target.line + target.least - a.drv, False)
        c.last_exact = target
        if target in self.pending:
            # Confirmed before its counted confirmation: the frames before it left first.
            while self.pending:
                f = self.pending.popleft()
                self._put(f)
                if f is target:
                    break
        else:
            self._mark_exact(target)

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
        if f.exact:
            self.exact.append(f)

    def _mark_exact(self, f):
        if not self.exact or self.exact[-1].seq < f.seq:
            self.exact.append(f)
        else:
            self.exact = collections.deque(sorted(list(self.exact) + [f], key=lambda x: x.seq))

    def _flush_pending(self):
        while self.pending:
            self._put(self.pending.popleft())

    def _advance(self):
        # A frame whose confirmation is not read within the settle time will
        # not get one (TRACE=1 has none at all).
        limit = self.newest - _SETTLE_MS
        while self.pending and self.pending[0].line < limit:
            self._put(self.pending.popleft())
        self._drain(final=False)

    # ---- timing ---------------------------------------------------------------
    def _drain(self, final):
        limit = (self.newest or 0.0) - _SETTLE_MS
        items = self.items
        while items:
            head = items[0]
            anchor = self.exact[0] if self.exact else None
            if anchor is not None and not final and anchor.line >= limit:
                # The anchor's offset still waits for bounds from later lines.
                if head is anchor or head.line >= limit or anchor.seq - head.seq < _RUN_MAX:
                    break
                anchor = None
            if anchor is None and not final and head.line >= limit:
                break
            segment = []
            if anchor is not None:
                while segment[-1:] != [anchor]:
                    segment.append(items.popleft())
                self.exact.popleft()
            else:
                while items and not items[0].exact and (final or items[0].line < limit) and \
                        len(segment) < _RUN_MAX:
                    segment.append(items.popleft())
                if not segment:
                    break
            self._time(segment, anchor)

    def _time(self, segment, anchor):
        """Times for frames in bus order; anchor: the stamped frame that ends
        the segment, if any (no other frame in it has a stamp)."""
        c = segment[0].epoch
        if anchor is not None:
            c.stats["received" if anchor.rx else "confirmed"] += 1
            off = c.offset(anchor.line)
            anchor.bus = anchor.drv + off if off is not None else anchor.line + 0.5
        chain = []      # frames that queued behind the one before them, since the last idle start
        prev = c.prev_end
        body = segment[:-1] if anchor is not None else segment
        for f in body:
            # Handed over after the line that shows the frame, before the one
            # that says the driver took it and before the bus could have
            # carried it by the time its confirmation was read.
            lo = f.line
            if f.ref is not None and f.ref.bus is not None and f.ref.epoch is c:
                lo = max(lo, f.ref.bus)     # handed over after a frame was read
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
                          is_extended_id=_extended(f.can_id), is_rx=f.rx, dlc=len(f.data), data=f.data, channel=0)
        for w in self.writers:
            w.on_message_received(msg)
        self.count += 1

    def close(self):
        self._flush_pending()
        self._drain(final=True)
        for _, _, f in self.out:
            self._write(f)
        self.out = []
        for w in self.writers:
            w.stop()


def _new_stats():
    return {"received": 0, "confirmed": 0, "computed": 0, "uncertain": 0, "window": 0.0, "unfitted": 0,
            "confirms": False}


def _extended(can_id):
    return bool(can_id & 0x80000000) or (can_id & 0x1FFFFFFF) > 0x7FF


def _least(f, rate):
    return least_bits(_extended(f.can_id), len(f.data)) * 1000.0 / rate


def epoch_of(created):
    """Seconds since 1970 of the trace's counter clock origin: local midnight
    of the day in the trace's "Create tracefile" line (the counter clock shows
    time since the machine started, printed as a time of day)."""
    if not created:
        return 0.0
    day = created[0]
    return time.mktime(datetime.datetime(day.year, day.month, day.day).timetuple())
