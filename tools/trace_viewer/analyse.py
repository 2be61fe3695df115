"""Reads pt_vector.log and pdu_trace.log line by line and turns them into
frames on the bus, ISO-TP transfers and J2534 calls.

The library's texts are matched as they are written; nothing here depends on
how the library is structured inside. Memory stays bounded: a transfer or a
call lives here only while it is open, and finished ones go to the sinks."""
import re

from .bittime import CAN_MAX_DLEN, FD_LENGTHS, fd_length

# Frame kinds by the ISO-TP control nibble; ACK is the driver's transmit
# confirmation of one of our frames.
SF, FF, CF, FC, ACK, RAW = "single", "first", "consecutive", "flow control", "confirmation", "other"
KIND_OF_NIBBLE = {0: SF, 1: FF, 2: CF, 3: FC}
FLOW_STATUS = {0: "CTS", 1: "WAIT", 2: "OVFLW"}

J2534_STATUS = {0x00: "STATUS_NOERROR", 0x01: "ERR_NOT_SUPPORTED", 0x04: "ERR_NULL_PARAMETER",
                0x07: "ERR_FAILED", 0x08: "ERR_DEVICE_NOT_CONNECTED", 0x0A: "ERR_INVALID_MSG",
                0x10: "ERR_BUFFER_EMPTY"}
CONFIG_NAMES = {0x01: "DATA_RATE", 0x03: "LOOPBACK", 0x1E: "ISO15765_BS", 0x1F: "ISO15765_STMIN",
                0x22: "ISO15765_BS_TX", 0x23: "ISO15765_STMIN_TX", 0x24: "ISO15765_WFT_MAX",
                0x10007: "PT_CFG_ORV_ADDRTBL_CANID_TESTER", 0x10019: "PT_CFG_ORV_EXTADDRESSING",
                0x10020: "CANECU_CLASS", 0x10106: "PT_CFG_ORV_P2EXTTIMEOUT7F78", 0x10107: "PT_CFG_ORV_P2MAX",
                0x805C: "FD_CAN_DATA_PHASE_RATE", 0x805D: "FD_ISO15765_TX_DATA_LENGTH",
                0x10010: "CAN_FD_DATA_PHASE_RATE", 0x10011: "CAN_FD_TX_DATA_LENGTH"}
# Parameters whose value is the bit rate of a CAN FD frame's data phase.
DATA_PHASE_RATES = (0x805C, 0x10010)
IOCTL_NAMES = {0x01: "GET_CONFIG", 0x02: "SET_CONFIG", 0x03: "READ_VBATT", 0x07: "CLEAR_TX_BUFFER",
               0x08: "CLEAR_RX_BUFFER", 0x09: "CLEAR_PERIODIC_MSGS", 0x0A: "CLEAR_MSG_FILTERS",
               0x0E: "READ_PROG_VOLTAGE"}
IOCTL_READ_ONLY = {0x01, 0x03, 0x0E}
FILTER_NAMES = {1: "PASS_FILTER", 2: "BLOCK_FILTER", 3: "FLOW_CONTROL_FILTER"}
# Errors of PassThruWriteMsgs and the status the call returns with them.
WRITE_ERRORS = ((b"only one message supported", 0x01), (b"only message with content", 0x01),
                (b"Length over CAN MAX", 0x01), (b"Error in First Frame", 0x01),
                (b"Can Frame size over max", 0x01), (b"Transmit CAN messages ...FAILED", 0x07))

# Calls whose every failure status has its own text (WRITE_ERRORS, the read's).
_STATUS_FROM_TEXTS = ("PassThruWriteMsgs", "PassThruReadMsgs", "PassThruReadMsgsFG")
DAY_MS = 86400000
IDLE_CLOSE_MS = 60000   # a transfer silent this long lost its end in the trace

# A CAN FD frame has " FD", with bit-rate switch " BRS" and, received from a
# node in error passive state, " ESI" before " Data:".
_FD = rb"( FD(?: BRS)?(?: ESI)?)?"
_TX = re.compile(rb"RAW-CAN--TX CanId=0x([0-9a-fA-F]+) Len=\s*(-?\d+) Padding =\s*(\d+)" + _FD + rb" Data: ?(.*)$")
_RX = re.compile(rb"RAW-(CAN|ACK)--RX CanId ([0-9a-fA-F]+) \[.{6}\] Len=\s*(\d+)" + _FD + rb"\s+Data:")
_INT = re.compile(rb"-?\d+")
_PDU = re.compile(rb"(\d\d)\.(\d\d)\.(\d{4}) (\d\d):(\d\d):(\d\d) CAN-(TX|RX) 0x([0-9a-fA-F]+)( FD(?: BRS)?)? ?(.*)$")
CLASSIC = (False, False, False)


def fd_flags(words):
    """(is_fd, bitrate_switch, error_state_indicator) of the FD words of a line."""
    if not words:
        return CLASSIC
    return True, b"BRS" in words, b"ESI" in words


def fd_text(flags):
    return "" if not flags[0] else "CAN FD BRS" if flags[1] else "CAN FD"


def announced_length(kind, data, at):
    """The message length a single or first frame announces. A single frame
    has SF_DL in its low nibble, or, in a CAN FD frame longer than 8 bytes, 0
    there and SF_DL in the next byte; a first frame has FF_DL in 12 bits, or,
    beyond 4095 bytes, 0 there and FF_DL in the next 32 bits, big-endian."""
    if kind == SF:
        sf_dl = data[at] & 0x0F
        return data[at + 1] if sf_dl == 0 and len(data) > CAN_MAX_DLEN else sf_dl
    ff_dl = ((data[at] & 0x0F) << 8) | data[at + 1]
    if ff_dl == 0:
        if len(data) < at + 6:
            raise ValueError("first frame cut")
        return int.from_bytes(data[at + 2:at + 6], "big")
    return ff_dl


def _host_time(t, after):
    """A time on the trace's clock from a line written at millisecond t, not
    before the time after (a frame the line's call was handed): the middle of
    what is left of that millisecond."""
    lo = t if after is None or after < t else after
    hi = t + 1.0 if t + 1.0 > lo else lo
    return (lo + hi) / 2.0


def _hexbytes(text):
    """ "0x02 0x10 0x03 " as bytes; anything else in between is an error."""
    words = text.split()
    if any(len(w) != 4 or w[:2] != b"0x" for w in words):
        raise ValueError("hex bytes")
    return bytes.fromhex(b"".join(w[2:] for w in words).decode("ascii"))


def _ints(text):
    return [int(x) for x in _INT.findall(text)]


class Frame:
    """t: ms on the trace's counter clock as the analysis has it; drv: the
    driver's time stamp (ms) where the trace has one; line: the time of the
    trace line; handed: the time of the line that says the driver took a
    sent frame. The bus log adds its own fields: bus (the bus time it
    settles on), epoch, dur, least, ref, done, seq, start."""
    __slots__ = ("t", "can_id", "rx", "data", "kind", "exact", "drv", "line", "handed", "is_fd", "bitrate_switch",
                 "error_state_indicator", "bus", "epoch", "dur", "least", "ref", "done", "seq", "start")

    def __init__(self, t, can_id, rx, data, kind, exact, drv=None, line=None, fd=CLASSIC):
        self.t, self.can_id, self.rx, self.data, self.kind, self.exact = t, can_id, rx, data, kind, exact
        self.drv, self.line = drv, t if line is None else line
        self.is_fd, self.bitrate_switch, self.error_state_indicator = fd
        self.bus = self.ref = self.done = self.handed = self.dur = None


class Record:
    """One row of the table: an ISO-TP transfer, a J2534 call, or a PDU of
    pdu_trace.log when pt_vector.log has no frames."""
    __slots__ = ("number", "what", "direction", "can_id", "flow_id", "ext", "length", "start", "first",
                 "last", "confirm", "deliver", "end", "frames", "bs", "stmin", "fc", "timeouts", "errors",
                 "result", "detail", "seq_id", "kept", "multi", "sent_all", "status", "thread", "clock", "done", "fd")

    def __init__(self, number, what, t):
        self.number, self.what = number, what
        self.direction = ""
        self.can_id = self.flow_id = self.ext = self.length = None
        self.start = self.first = self.last = self.end = t
        self.confirm = self.deliver = None
        self.frames = 0
        self.bs, self.stmin, self.fc = [], [], {}
        self.timeouts, self.errors = [], []
        self.result = ""
        self.detail = ""
        self.seq_id = None
        self.kept = None          # frames, while this record may be zoomed in
        self.multi = self.sent_all = False
        self.status = None
        self.thread = None
        self.clock = "trace"      # "wall" for rows of pdu_trace.log
        self.done = False
        self.fd = ""              # "CAN FD" or "CAN FD BRS" when its frames are

    @property
    def failed(self):
        if self.what == "call":
            # Error lines inside a call that still returned success are told
            # in the row, but the call did not fail.
            return self.status not in (0, 0x10) and (self.status is not None or bool(self.errors))
        return bool(self.timeouts or self.errors) or self.result.startswith(("timed out", "error", "failed"))

    def add_frame(self, frame):
        self.frames += 1
        if self.frames == 1:
            self.first = frame.t
        self.last = frame.t
        if frame.is_fd:
            self.fd = fd_text((frame.is_fd, frame.bitrate_switch))
        if self.kept is not None and len(self.kept) < 5000:
            self.kept.append(frame)

    def note_fc(self, status, bs, stmin):
        self.fc[status] = self.fc.get(status, 0) + 1
        if bs not in self.bs:
            self.bs.append(bs)
        if stmin not in self.stmin:
            self.stmin.append(stmin)


class Sinks:
    """Where results go while the files stream through."""

    def frame(self, frame):
        pass

    def mark(self, t, lane, label):          # time-outs, errors, events on a lane
        pass

    def bus(self, event, t, value=None):      # "confirmation", "lost", "restart", "rate" for the bus log
        pass

    def record(self, record):                 # a finished table row
        pass


class Analyser:
    def __init__(self, sinks):
        self.sinks = sinks
        self.number = 0
        self.malformed = 0
        self.undecodable = 0      # of them, lines with bytes that are no text
        self.malformed_at = []    # (file, line) of the first few
        self.malformed_lines = []  # (file, line number, text) of the first twenty
        self.lines = 0
        self.rx_frames = self.tx_frames = self.function_lines = 0
        self.pdu_lines = 0
        self.start = None         # first time seen, ms on the trace's counter clock
        self.now = 0.0
        self._day = 0
        self._last_clock = None
        self._last_stamp = None
        self._offset = None       # counter ms - driver ms, smallest seen
        self._drv_wrap = 0.0      # the driver stamps' wraps so far, ms
        self._drv_last = None
        self.sessions = []        # per trace file: path, creation, what it holds
        self.calls = {}           # thread -> open calls, innermost last
        self.thread_ext = {}      # thread -> extended address byte of the frame being analysed
        self.thread_rx = {}       # thread -> last receive transfer touched
        self.thread_tx = {}       # thread -> transfer of the frame it sent last
        self.thread_read = {}     # thread -> last transfer delivered in a read
        self.thread_ack = {}      # thread -> transfer whose confirmation the read is handing over
        self.thread_frame = {}    # thread -> frame it is handing to the driver
        self.tx_open = {}         # can id -> transmit transfer
        self.rx_open = {}         # can id -> receive transfer
        self.by_seq = {}          # ("TX"|"RX", SeqID) -> transfer
        self.unconfirmed = {}     # can id -> transfer sent, waiting for its confirmation
        self.undelivered = {}     # can id -> receive transfer complete, not yet read
        self.flow_of = {}         # received id -> id our flow controls go out on (from filters)
        self.tx_ext = {}          # thread -> address byte of the write it is sending
        self.driver_errors = 0
        self.select = None        # number of the record to keep frames of
        self._idle_check = 0.0

    # ---- time ----------------------------------------------------------------
    def _clock(self, stamp):
        if stamp == self._last_stamp:
            return self.now
        ms = ((int(stamp[0:2]) * 60 + int(stamp[3:5])) * 60 + int(stamp[6:8])) * 1000 + int(stamp[9:12])
        if stamp[2] != 58 or stamp[5] != 58 or stamp[8] != 46:
            raise ValueError("time stamp")
        if self._last_clock is not None and ms < self._last_clock - DAY_MS // 2:
            self._day += DAY_MS       # the counter clock shows time of day and wraps at 24 h
        self._last_clock = ms
        self._last_stamp = stamp
        self.now = float(ms + self._day)
        if self.start is None:
            self.start = self.now
        return self.now

    def _driver_time(self, drv):
        """A frame's driver time stamp on the counter clock, for the table. The
        smallest difference between the line's time and the driver's time is
        the closest bound of the offset between the two clocks."""
        diff = self.now - drv
        if self._offset is None or diff < self._offset:
            self._offset = diff
        # The line's time is cut to the millisecond: the offset lies within
        # one millisecond above the bound; take the middle.
        return drv + self._offset + 0.5

    def _unwrap(self, drv):
        """The stamp (32-bit microseconds, so it wraps every 71.6 minutes)
        made to count on within one run of the driver's clock."""
        drv += self._drv_wrap
        if self._drv_last is not None and drv < self._drv_last - 2147483.648:
            self._drv_wrap += 4294967.296
            drv += 4294967.296
        self._drv_last = drv
        return drv

    def _restart_clock(self, t, session=False):
        """The driver's clock starts again: the port was activated, or a new
        session (trace file) begins."""
        self._offset = None
        self._drv_wrap = 0.0
        self._drv_last = None
        self.sinks.bus("restart", t, session)

    # ---- records -------------------------------------------------------------
    def _new(self, what, t):
        self.number += 1
        r = Record(self.number, what, t)
        if self.select is None or self.select == self.number:
            r.kept = []
        return r

    def _finish(self, r, result=None):
        if r.done:
            return
        r.done = True
        if result is not None and not r.result:
            r.result = result
        r.end = max(x for x in (r.end, r.last, r.confirm, r.deliver) if x is not None)
        for table in (self.tx_open, self.rx_open, self.unconfirmed, self.undelivered):
            if table.get(r.can_id) is r:
                del table[r.can_id]
        if r.seq_id is not None:
            self.by_seq.pop((r.direction, r.seq_id), None)
        self.sinks.record(r)

    def _close_idle(self):
        limit = self.now - IDLE_CLOSE_MS
        for table, result in ((self.tx_open, "incomplete: the trace shows no end"),
                              (self.rx_open, "incomplete: the trace shows no end"),
                              (self.unconfirmed, self._unconfirmed_result()),
                              (self.undelivered, "complete; not read by the host")):
            for r in [r for r in table.values() if r.last < limit]:
                self._finish(r, result)
        # A call without its exit line (a thread that died inside the library)
        # would hold back every row after it.
        for thread, stack in list(self.calls.items()):
            while stack and stack[0].start < limit:
                self._end_call(stack.pop(0), None, "no exit line in the trace")
            if not stack:
                del self.calls[thread]

    def finish(self):
        for table, result in ((self.tx_open, "incomplete: the trace ends first"),
                              (self.rx_open, "incomplete: the trace ends first"),
                              (self.unconfirmed, self._unconfirmed_result()),
                              (self.undelivered, "complete; not read by the host")):
            for r in list(table.values()):
                self._finish(r, result)
        for table in (self.thread_read, self.thread_ack):
            for r in list(table.values()):
                self._finish(r)
            table.clear()
        for stack in list(self.calls.values()):
            for call in reversed(stack):
                self._end_call(call, None, "no exit line: the trace ends first")
        self.calls.clear()

    # ---- the main trace --------------------------------------------------------
    def feed_main(self, source, progress):
        """Streams one pt_vector.log through; returns nothing, counts what it cannot read."""
        name = source.path
        handle = self._message
        scope = self._scope
        interesting = _SCOPES_OF_INTEREST.search
        self._begin_session(source)
        for number, line in _numbered_lines(name, progress, self):
            # Function entry and exit lines are nine in ten: most are skipped
            # on a glance at the level and the scope name. Every line the
            # library writes ends in a line break and has six fields, the
            # last not empty.
            try:
                if line.startswith(b";FU;", 25) and line[12] == 59:
                    if line[-1] != 10 or line.find(b";", 36, -2) < 0:
                        self.bad(name, number, line)
                    elif interesting(line, 36):
                        scope(line)
                    continue
                if line[12:13] != b";" or line[-1] != 10:
                    self._other(line, name, number)
                    continue
                handle(line)
            except (ValueError, IndexError, KeyError, TypeError):
                # A line cut or garbled anywhere, numbers included.
                self._other(line, name, number)

    def _begin_session(self, source):
        """A trace file is one load of the library: its driver clock is its own."""
        self._restart_clock(self.now, True)
        self.sessions.append({"path": source.path, "created": source.created, "lines": self.lines,
                              "function_lines": self.function_lines, "rx": self.rx_frames, "tx": self.tx_frames})
        if len(self.sessions) > 1:
            r = self._new("session", self.now)
            r.first = r.last = None
            if source.created:
                # The counter clock runs on across sessions of one machine.
                created = float(source.created[1])
                while created + DAY_MS / 2 < self.now:
                    created += DAY_MS
                r.start = r.end = created
                gap = created - self.now
                r.detail = "new session: %s created, %.1f s after the last line before it; the driver's clock " \
                    "starts again" % (source.path.replace("\\", "/").rsplit("/", 1)[-1], gap / 1000.0)
            else:
                r.detail = "new session: %s (no creation line)" % source.path
            r.result = "session %d" % len(self.sessions)
            r.done = True
            self.sinks.record(r)

    def session_summary(self):
        """Per trace file: its path and what it holds (function lines,
        received and sent frames), counted at its end."""
        out = []
        ends = self.sessions[1:] + [{"lines": self.lines, "function_lines": self.function_lines,
                                     "rx": self.rx_frames, "tx": self.tx_frames}]
        for s, e in zip(self.sessions, ends):
            out.append({"path": s["path"], "function_lines": e["function_lines"] - s["function_lines"],
                        "rx": e["rx"] - s["rx"], "tx": e["tx"] - s["tx"]})
        return out

    def bad(self, name, number, line=b"", undecodable=False):
        """A line left out: malformed, cut, or with bytes that are no text."""
        self.malformed += 1
        if undecodable:
            self.undecodable += 1
        if len(self.malformed_at) < 5:
            self.malformed_at.append((name, number))
        if len(self.malformed_lines) < 20:
            # A byte that is no printable ASCII shows as its value.
            text = line.rstrip(b"\r\n")[:160].decode("latin-1")
            self.malformed_lines.append((name, number, "".join(c if " " <= c <= "~" else "\\x%02x" % ord(c)
                                                               for c in text)))

    def _other(self, line, name, number):
        text = line.rstrip(b"\r\n")
        if not text or text.startswith(b"Timestamp;Deltatime;") or b";Create tracefile" in text \
                or b";Close tracefile" in text:
            return
        self.bad(name, number, line)

    def _fields(self, line):
        parts = line.rstrip(b"\r\n").split(b";", 5)
        if len(parts) != 6 or len(parts[2]) != 2 or parts[3][:1] not in (b"+", b"-", b"|"):
            raise ValueError("layout")
        return parts

    def _scope(self, line):
        stamp, delta, level, depth, thread, name = self._fields(line)
        t = self._clock(stamp)
        self.function_lines += 1
        entry = depth[:1] == b"+"
        if name.startswith(b"PassThru"):
            if entry:
                self._start_call(thread, name.decode("latin-1"), t)
            else:
                stack = self.calls.get(thread)
                if stack:
                    self._end_call(stack.pop(), t)
                    if not stack:
                        del self.calls[thread]
        elif entry and name == b"Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED":
            self.sinks.bus("confirmation", t)
        elif entry and name.startswith(b"Queue rx XL_CAN_MSG_FLAG_"):
            # An overrun, a wake-up, an error passive report: the driver says
            # something went wrong on the bus and nothing is delivered.
            self.driver_errors += 1
            label = name[len(b"Queue rx XL_CAN_MSG_FLAG_"):].decode("latin-1").strip()
            if label == "OVERRUN":
                self.sinks.bus("lost", t)
            self.sinks.mark(t, None, "driver: " + label)
            for r in self.rx_open.values():
                r.errors.append("driver: " + label)

    def _start_call(self, thread, name, t):
        call = self._new("call", t)
        call.detail = name[:-2] if name.endswith("()") else name
        call.thread = thread
        call.first = t
        call.direction = "TX" if "Write" in name else "RX" if "Read" in name else ""
        self.calls.setdefault(thread, []).append(call)

    def _end_call(self, call, t, result=None):
        if t is not None:
            call.last = call.end = t
        if call.direction == "RX":
            for table in (self.thread_read, self.thread_ack):
                delivered = table.pop(call.thread, None)
                if delivered is not None:
                    self._finish(delivered)
        name = re.match(r"\w*", call.detail).group(0)
        if name in ("PassThruReadVersion", "PassThruGetLastError"):
            return
        if name == "PassThruIoctl" and call.status is None and getattr(call, "seq_id", None) in IOCTL_READ_ONLY:
            return
        if call.status is None and (not call.errors or name in _STATUS_FROM_TEXTS):
            # Writes and reads trace every status but success; other error
            # lines in them (a replaced transfer) do not change what they return.
            call.status = 0
        if result:
            call.result = result
        elif call.status is not None:
            call.result = J2534_STATUS.get(call.status, "status 0x%02X" % call.status)
        else:
            call.result = "error"
        if call.status not in (None, 0) and call.status != 0x10:
            call.errors.append(call.result)
        call.done = True
        self.sinks.record(call)

    def _message(self, line):
        stamp, delta, level, depth, thread, msg = self._fields(line)
        t = self._clock(stamp)
        cut = msg.find(b" : ")
        if cut < 0:
            raise ValueError("no scope name")
        scope_name = msg[:cut]
        text = msg[cut + 3:]
        stack = self.calls.get(thread)
        call = stack[-1] if stack else None
        if level in (b"ER", b"FA"):
            self._error(t, thread, scope_name, text, call)
        if t - self._idle_check > 5000:
            self._idle_check = t
            self._close_idle()
        key = text[:10]
        handler = _HANDLERS.get(key)
        if handler is None and len(key) < 10 and any(k.startswith(key) for k in _HANDLERS):
            raise ValueError("text cut")     # what is left of a text we read
        if handler is not None:
            handler(self, t, thread, scope_name, text, call, level)
        elif call is not None:
            self._call_text(call, text)

    def _error(self, t, thread, scope_name, text, call):
        label = text.decode("latin-1").strip()
        if text.startswith(b"RAW-CAN--RX"):
            state = label.split("state:", 1)[1].strip() if "state:" in label else ""
            label = "driver event " + " ".join(state.split()[:-1]) if state else "driver event"
            self.driver_errors += 1
        if text.startswith(b"Queue rx"):
            self.driver_errors += 1
            if text.startswith(b"Queue rx XL_CAN_MSG_FLAG_OVERRUN"):
                self.sinks.bus("lost", t)
        self.sinks.mark(t, None, label)
        if call is not None:
            call.errors.append(label)

    # ---- texts inside calls --------------------------------------------------
    def _call_text(self, call, text):
        name = call.detail
        if name.startswith("PassThruIoctl"):
            if text.startswith(b"ChannelID="):
                nums = re.findall(rb"IoctlID=([0-9a-fA-F]+)", text)
                if nums:
                    call.seq_id = int(nums[0], 16)
                    call.detail = "PassThruIoctl " + IOCTL_NAMES.get(call.seq_id, "0x%02X" % call.seq_id)
            elif b":Parameter " in text:
                m = re.search(rb"Parameter ([0-9a-fA-F]+) Value [0-9a-fA-F]+\((\d+)\)", text)
                if m:
                    pid = int(m.group(1), 16)
                    call.detail += " %s=%s" % (CONFIG_NAMES.get(pid, "0x%X" % pid), m.group(2).decode())
                    if pid == 0x01:
                        self.sinks.bus("rate", self.now, int(m.group(2)))
                    elif pid in DATA_PHASE_RATES:
                        self.sinks.bus("data rate", self.now, int(m.group(2)))
            elif text.startswith(b"Return Status IoctlID="):
                call.status = int(text.split(b"=", 1)[1].split()[0], 16)
            elif text.startswith(b"-->Error in vectorInitDriver"):
                # The driver's own status is returned; the trace does not show it.
                call.errors.append("the driver could not be opened at this bit rate")
        elif name.startswith("PassThruStartMsgFilter"):
            if text.startswith(b"ChannelID="):
                m = re.search(rb"FilterType=([0-9a-fA-F]+)", text)
                if m:
                    ftype = int(m.group(1), 16)
                    call.detail = "PassThruStartMsgFilter " + FILTER_NAMES.get(ftype, "type %d" % ftype)
            elif text.startswith(b"pMsgID="):
                v = dict(re.findall(rb"(\w+)=([0-9a-fA-F]+)", text))
                try:
                    mask, pattern, flow = (int(v[k], 16) for k in (b"mask", b"canID", b"flowID"))
                except (KeyError, ValueError):
                    return
                call.can_id, call.flow_id = pattern, flow
                call.detail += " mask=0x%X pattern=0x%X flow=0x%X" % (mask, pattern, flow)
                if flow:
                    self.flow_of[pattern] = flow
        elif name.startswith("PassThruWriteMsgs"):
            for needle, status in WRITE_ERRORS:
                if needle in text:
                    call.status = status
                    call.errors.append(text.decode("latin-1").strip())
        elif name.startswith("PassThruStopMsgFilter"):
            if text.startswith(b"ChannelID="):
                m = re.search(rb"MsgID=([0-9a-fA-F]+)", text)
                if m:
                    call.detail += " filter id %d" % int(m.group(1), 16)
            elif text.startswith(b"Filter not found"):
                call.status = 0x01
        elif name.startswith("PassThruReadMsgs"):
            if text.startswith(b"CountReadMessage"):
                call.status = 0x08
            elif text.startswith(b"new messages in receive queue"):
                call.status = 0

    # ---- frames --------------------------------------------------------------
    def _kind(self, data, ext):
        at = 1 if ext is not None else 0
        if len(data) <= at:
            return RAW, None
        return KIND_OF_NIBBLE.get(data[at] >> 4, RAW), at

    def _on_tx(self, t, thread, scope_name, text, call, level):
        m = _TX.search(text)
        if not m:
            raise ValueError("transmit line")
        can_id = int(m.group(1), 16)
        data = _hexbytes(m.group(5))
        fd = fd_flags(m.group(4))
        length, padded = int(m.group(2)), int(m.group(3))
        # Padding fills a classic frame to 8 bytes; a CAN FD frame is filled
        # to the next length it can have, and to 8 at least when padded.
        filled = max(fd_length(length), 8 if padded else 0) if fd[0] else max(length, 8 if padded else 0)
        if len(data) not in (length, filled) or (fd[0] and len(data) not in FD_LENGTHS):
            raise ValueError("transmit data")
        self.tx_frames += 1
        ext = None
        r = None
        if scope_name.startswith(b"PassThruWriteMsgs"):
            ext = self.tx_ext.pop(thread, None)
            kind, at = self._kind(data, ext)
            r = self.tx_open.get(can_id) if kind == FF else None
            if r is None or r.frames:
                r = self._new("ISO-TP", t)
                r.direction, r.can_id, r.ext = "TX", can_id, ext
                r.flow_id = self._flow_partner(can_id)
                if kind == FF:
                    self.tx_open[can_id] = r
            if kind == SF:
                r.length = announced_length(kind, data, at)
                r.sent_all = True
            elif kind == FF:
                r.multi = True
                if r.length is None:
                    r.length = announced_length(kind, data, at)
            if call is not None:
                call.can_id, call.length = can_id, r.length
                call.detail += " -> #%d" % r.number
        elif scope_name.startswith(b"ThreadRead"):
            r = self.tx_open.get(can_id)
            ext = r.ext if r is not None else None
            kind, at = self._kind(data, ext)
        elif scope_name.startswith(b"SendFlowx"):
            ext = None if data[:1] == b"\x30" else data[0]
            kind, at = self._kind(data, ext)
            r = self.thread_rx.get(thread)
            if kind == FC and r is not None:
                r.note_fc(FLOW_STATUS.get(data[at] & 0x0F, "0x%X" % (data[at] & 0x0F)), data[at + 1], data[at + 2])
                if r.flow_id is None:
                    r.flow_id = can_id
        else:
            kind, at = self._kind(data, None)
            if not scope_name.startswith(b"WakeUP"):
                kind = RAW if kind != SF else kind
        # The line is written just before the frame goes out, its time cut
        # to the millisecond: the middle of that millisecond is closest.
        frame = Frame(t + 0.5, can_id, False, data, kind, False, None, t, fd)
        if r is not None:
            r.add_frame(frame)
            self.thread_tx[thread] = r
            if kind == SF and r.direction == "TX":
                self._await_confirmation(r)
        self.thread_frame[thread] = frame
        self.sinks.frame(frame)

    def _flow_partner(self, tx_id):
        for rx_id, flow in self.flow_of.items():
            if flow == tx_id:
                return rx_id
        return None

    def _on_rx(self, t, thread, scope_name, text, call, level):
        if level != b"IN":
            return     # bus states and the like, told by _error
        m = _RX.match(text)
        if not m:
            raise ValueError("receive line")
        ack = m.group(1) == b"ACK"
        can_id = int(m.group(2), 16)
        # The bytes, then the driver's time as milliseconds.microseconds.
        body, stamp = text[m.end():].rsplit(None, 1)
        data = _hexbytes(body)
        fd = fd_flags(m.group(4))
        if len(data) != int(m.group(3)) or (fd[0] and len(data) not in FD_LENGTHS):
            raise ValueError("receive data")
        ms, us = stamp.split(b".")
        if len(us) != 3:
            raise ValueError("driver time")
        drv = self._unwrap(int(ms) + int(us) / 1000.0)
        when = self._driver_time(drv)
        ext = self.thread_ext.pop(thread, None)
        if ack:
            frame = Frame(when, can_id, False, data, ACK, True, drv, t, fd)
            r = self.unconfirmed.get(can_id)
            if r is not None:
                # The driver's time of the confirmation is the time the frame
                # left; the trace line of a sent frame has milliseconds only.
                # The host gets the confirmation in the read that follows.
                if r.frames == 1:
                    r.first = when
                r.last = when
                if r.kept is not None:
                    r.kept.append(frame)
                del self.unconfirmed[can_id]
                r.result = "confirmed"
                previous = self.thread_ack.get(thread)
                if previous is not None:
                    self._finish(previous)
                self.thread_ack[thread] = r
            self.sinks.frame(frame)
            return
        self.rx_frames += 1
        if ext:
            ext = data[0] if data else None
        kind, at = self._kind(data, ext)
        frame = Frame(when, can_id, True, data, kind, True, drv, t, fd)
        r = None
        if kind in (SF, FF):
            old = self.rx_open.get(can_id)
            if old is not None:
                old.errors.append("interrupted by a new first or single frame")
                self._finish(old, "failed: interrupted by a new message")
            r = self._new("ISO-TP", when)
            r.direction, r.can_id, r.ext = "RX", can_id, ext
            r.flow_id = self.flow_of.get(can_id)
            if kind == SF:
                r.length = announced_length(kind, data, at)
                r.add_frame(frame)
                self.undelivered[can_id] = r
                self.thread_rx[thread] = r
                self.sinks.frame(frame)
                return
            r.multi = True
            r.length = announced_length(kind, data, at)
            self.rx_open[can_id] = r
        elif kind == CF:
            r = self.rx_open.get(can_id)
        elif kind == FC:
            # Their flow control answers our first frame on the id our flow
            # controls go to; without a filter the one waiting transfer.
            target = self.flow_of.get(can_id)
            r = self.tx_open.get(target) if target is not None else None
            if r is None and not self.flow_of:
                waiting = [x for x in self.tx_open.values() if x.multi]
                r = waiting[0] if len(waiting) == 1 else None
            if r is not None:
                r.note_fc(FLOW_STATUS.get(data[at] & 0x0F, "0x%X" % (data[at] & 0x0F)),
                          data[at + 1] if len(data) > at + 1 else None,
                          data[at + 2] if len(data) > at + 2 else None)
        if r is not None:
            r.add_frame(frame)
            self.thread_rx[thread] = r
        self.sinks.frame(frame)

    def _on_ext_write(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"ORV-Extadressing Tx Id"):
            m = re.search(rb"= ([0-9a-fA-F]+)", text)
            if m:
                self.tx_ext[thread] = int(m.group(1), 16) & 0xFF

    def _on_ext_match(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"b_ExtendedAdress does machtch"):
            self.thread_ext[thread] = True   # the frame traced next starts with its address byte

    def _on_activate(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"- ActivateChannel") and b"XL_SUCCESS" in text:
            self._restart_clock(t)

    def _on_first_frame(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"FIRST_FRAME with len"):
            n = _ints(text)   # len, SeqID, timeout; CanID in hex at the end
            can_id = int(text.rsplit(b"=", 1)[1].strip(), 16)
            r = self.tx_open.get(can_id)
            if r is not None and r.frames:
                r.errors.append("replaced by a new write")
                self._finish(r, "failed: replaced by a new write")
            r = self._new("ISO-TP", t)
            r.direction, r.can_id, r.length, r.seq_id, r.multi = "TX", can_id, n[0], n[1], True
            r.ext = self.tx_ext.get(thread)
            r.flow_id = self._flow_partner(can_id)
            self.tx_open[can_id] = r
            self.by_seq[("TX", n[1])] = r
        elif text.startswith(b"FIRST_FRAME ignored"):
            r = self.thread_rx.get(thread)
            if r is not None and self.rx_open.get(r.can_id) is r:
                r.errors.append("no flow-control filter: first frame ignored")
                self._finish(r, "failed: first frame ignored (no flow-control filter)")

    def _on_create_rx(self, t, thread, scope_name, text, call, level):
        n = re.search(rb"SeqID= ?(\d+) CanID ([0-9a-fA-F]+)", text)
        if n:
            r = self.rx_open.get(int(n.group(2), 16))
            if r is not None:
                r.seq_id = int(n.group(1))
                self.by_seq[("RX", r.seq_id)] = r

    def _on_cf(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"CONSECUTIVE_FRAME finished"):
            r = self.thread_rx.get(thread)
            if r is not None and self.rx_open.get(r.can_id) is r:
                del self.rx_open[r.can_id]
                r.sent_all = True
                self.undelivered[r.can_id] = r

    def _on_cf_error(self, t, thread, scope_name, text, call, level):
        code = _ints(text)
        label = "consecutive frame out of place (%d)" % (code[0] if code else 0)
        self.sinks.mark(t, None, label)
        r = self.thread_rx.get(thread)
        if r is not None and self.rx_open.get(r.can_id) is r:
            r.errors.append(label)

    def _on_fc_error(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"Error") or b"ignored" in text:
            self.sinks.mark(t, None, text.decode("latin-1").split("(", 1)[0].strip())

    def _on_tx_done(self, t, thread, scope_name, text, call, level):
        n = _ints(text)
        r = self.by_seq.get(("TX", n[0])) if n else None
        if r is None:
            return
        r.sent_all = True
        self.by_seq.pop(("TX", r.seq_id), None)
        if self.tx_open.get(r.can_id) is r:
            del self.tx_open[r.can_id]
        self._await_confirmation(r)

    def _await_confirmation(self, r):
        # The library keeps one flag per id: the next confirmation on the id
        # goes to the host, so an older transfer there will never see its own.
        old = self.unconfirmed.get(r.can_id)
        if old is not None and old is not r:
            self._finish(old, self._unconfirmed_result())
        self.unconfirmed[r.can_id] = r

    def _unconfirmed_result(self):
        if not self.function_lines:
            return "sent (confirmations need TRACE=2 or above)"
        return "sent; no confirmation read"

    def _on_tx_timeout(self, t, thread, scope_name, text, call, level):
        n = _ints(text)
        r = self.by_seq.get(("TX", n[0])) if n else None
        if r is None:
            self.sinks.mark(t, None, "TX time-out")
            return
        # Below TRACE=2 received flow controls are not in the trace, but no
        # consecutive frame goes out before one.
        what = "no flow control" if not r.fc and r.frames <= 1 else "transfer not finished"
        r.timeouts.append("TX time-out after %d ms: %s" % (t - r.start, what))
        r.end = t
        self.sinks.mark(t, r.can_id, "TX time-out")
        self._finish(r, "timed out: " + what)

    def _on_rx_timeout(self, t, thread, scope_name, text, call, level):
        n = _ints(text)
        r = self.by_seq.get(("RX", n[0])) if n else None
        if r is None:
            self.sinks.mark(t, None, "RX time-out")
            return
        r.timeouts.append("RX time-out: consecutive frame missing")
        r.end = t
        self.sinks.mark(t, r.can_id, "RX time-out")
        self._finish(r, "timed out: consecutive frame missing")

    def _on_duplicated(self, t, thread, scope_name, text, call, level):
        n = _ints(text)
        r = self.by_seq.get(("TX", n[0])) if n else None
        if r is not None:
            r.errors.append("replaced by a new write on the same id")
            self._finish(r, "failed: replaced by a new write")

    def _on_delivery(self, t, thread, scope_name, text, call, level):
        m = re.search(rb"CanId=0x([0-9a-fA-F]+) Len=(\d+)", text)
        if not m:
            if text.startswith(b" ISO15765-RX"):
                raise ValueError("delivery line cut")
            return
        can_id, length = int(m.group(1), 16), int(m.group(2))
        confirmation = text.endswith(b" TX-ACK ")
        if text.startswith(b" ISO15765-RX CanId") and not confirmation and not text.endswith(b"RX "):
            raise ValueError("delivery line cut")
        if call is not None:
            call.can_id, call.length = can_id, length
            call.detail += ": confirmation" if confirmation else ": message"
        if confirmation:
            r = self.thread_ack.get(thread)
            if r is not None and r.can_id == can_id:
                del self.thread_ack[thread]
                r.confirm = _host_time(t, r.last)
                self._finish(r)
            return
        r = self.undelivered.pop(can_id, None)
        if r is None:
            return
        r.deliver = _host_time(t, r.last)
        if length != r.length and (r.ext is None or length != (r.length or 0) + 1):
            r.errors.append("delivered %d bytes, frames announced %s" % (length, r.length))
        r.result = "delivered"
        previous = self.thread_read.get(thread)
        if previous is not None:
            self._finish(previous)
        self.thread_read[thread] = r

    def _on_group(self, t, thread, scope_name, text, call, level):
        if text.startswith(b"new functional group response"):
            r = self.thread_read.get(thread)
            if r is not None:
                r.result = "kept for the functional-group answer"
            if call is not None:
                call.detail += " (kept for the functional group)"
                call.status = 0x10     # the host gets nothing yet

    def _on_group_answer(self, t, thread, scope_name, text, call, level):
        if call is not None and text.startswith(b"FunctionalGroup responsses passed"):
            call.detail += ": aggregated functional-group answer"
            call.status = 0

    def _on_transmit_result(self, t, thread, scope_name, text, call, level):
        frame = self.thread_frame.pop(thread, None)
        if frame is not None and b"CanId=" not in text:
            if b"FAILED" in text:
                self.sinks.bus("refused", t, frame)     # never on the bus
            elif text.startswith(b"Transmit CAN messages ...successed"):
                frame.handed = t
        if b"FAILED" in text:
            label = "driver refused the frame: " + text.split(b"FAILED!!!!", 1)[-1].decode("latin-1").strip()
            self.driver_errors += 1
            self.sinks.mark(t, None, label)
            r = self.thread_tx.get(thread)
            if r is not None and not r.done:
                r.errors.append(label)
                r.result = "failed: the driver refused a frame"
            if call is not None:
                self._call_text(call, text)

    # ---- the PDU trace ---------------------------------------------------------
    def feed_pdu(self, source, progress, as_rows):
        """pdu_trace.log: one line per message with a wall-clock second. Made
        into rows only when pt_vector.log has no frames of its own."""
        for number, line in _numbered_lines(source.path, progress, self):
            m = _PDU.match(line.rstrip(b"\r\n"))
            if not m:
                if b" CAN-" in line or not _PDU_BANNER.match(line):
                    self.bad(source.path, number, line)
                continue
            self.pdu_lines += 1
            if not as_rows:
                continue
            d, mo, y, h, mi, s = (int(g) for g in m.groups()[:6])
            wall = ((h * 60 + mi) * 60 + s) * 1000.0
            data = m.group(10)
            try:
                payload = _hexbytes(data)
            except ValueError:
                self.bad(source.path, number, line)
                continue
            r = self._new("PDU", wall)
            r.clock = "wall"
            r.detail = "%02d.%02d.%04d" % (d, mo, y)
            r.direction = "TX" if m.group(7) == b"TX" else "RX"
            r.can_id = int(m.group(8), 16)
            r.length = len(payload)
            r.fd = fd_text(fd_flags(m.group(9)))
            r.result = "sent" if r.direction == "TX" else \
                "delivered (length counts the pass filters' address bytes)"
            self.sinks.record(r)


def _numbered_lines(path, progress, counter):
    """The lines of a file as bytes with their numbers, from 1; progress hears
    of every megabyte read, counter.lines of every line. A line with bytes
    that are no text (see _is_text) is not given out but counted as
    counter.bad(path, number, line, undecodable=True)."""
    number = 0
    with open(path, "rb") as f:
        while True:
            lines = f.readlines(1 << 20)
            if not lines:
                break
            block = b"".join(lines)
            progress.advance(len(block))
            # The library writes ASCII: a megabyte is looked at as a whole,
            # its lines one by one only when it holds something else.
            if block.isascii() and len(block.translate(None, _CONTROL)) == len(block):
                for number, line in enumerate(lines, number + 1):
                    yield number, line
                continue
            for number, line in enumerate(lines, number + 1):
                if _is_text(line):
                    yield number, line
                else:
                    counter.bad(path, number, line, undecodable=True)
    counter.lines += number


# Control characters: no trace line holds one but the tab and its line break
# (CR LF or LF).
_CONTROL = bytes(range(0, 9)) + b"\x0b\x0c" + bytes(range(14, 32)) + b"\x7f"
_C1_CONTROL = re.compile("[\x80-\x9f]")


def _is_text(line):
    """Whether a line's bytes are text: UTF-8 (of which ASCII is part)
    without control characters. Binary garbage, a write torn by a crash
    or the zeros a file system leaves after one are not; nor is a text in
    a legacy code page such as Windows-1252 (the library's own texts are
    ASCII)."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return len(line.translate(None, _CONTROL)) == len(line) and not _C1_CONTROL.search(text)


# Entry and exit lines worth a look: the J2534 calls and the driver's reports.
_SCOPES_OF_INTEREST = re.compile(rb"PassThru|Queue rx|WakeUP")
_PDU_BANNER = re.compile(rb"\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d ")

_HANDLERS = {
    b"RAW-CAN--T": Analyser._on_tx,
    b"RAW-CAN--R": Analyser._on_rx,
    b"RAW-ACK--R": Analyser._on_rx,
    b"b_Extended": Analyser._on_ext_match,
    b"ORV-Extadr": Analyser._on_ext_write,
    b"FIRST_FRAM": Analyser._on_first_frame,
    b"- Activate": Analyser._on_activate,
    b"Create m_r": Analyser._on_create_rx,
    b"CONSECUTIV": Analyser._on_cf,
    b"Error CONS": Analyser._on_cf_error,
    b"Error FLOW": Analyser._on_fc_error,
    b"FLOW_CONTR": Analyser._on_fc_error,
    b"We are fin": Analyser._on_tx_done,
    b"TX-TIMEOUT": Analyser._on_tx_timeout,
    b"RX TIMEOUT": Analyser._on_rx_timeout,
    b"DUPLICATED": Analyser._on_duplicated,
    b" ISO15765-": Analyser._on_delivery,
    b"new functi": Analyser._on_group,
    b"Functional": Analyser._on_group_answer,
    b"Transmit C": Analyser._on_transmit_result,
}
