"""Trace files as the library leaves them: which is which, in which order, and
their lines streamed with a progress bar."""
import datetime
import os
import re
import sys
import time

MAIN, PDU, UNKNOWN = "pt_vector.log", "pdu_trace.log", "unknown"

_MAIN_START = re.compile(rb"\d\d:\d\d:\d\d\.\d\d\d;")
_PDU_START = re.compile(rb"\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d ")
_CREATE = re.compile(rb"(\d\d):(\d\d):(\d\d)\.(\d\d\d);(\d\d)\.(\d\d)\.(\d{4});Create tracefile")


class Source:
    """One file given on the command line, recognised by its first lines
    (not its name: rotated copies are called pt_vector.old, pt_vector01.log)."""

    def __init__(self, path, position):
        self.path = path
        self.position = position
        self.kind = UNKNOWN
        self.created = None      # (date, counter ms) of the "Create tracefile" line
        self.size = os.path.getsize(path)
        with open(path, "rb") as f:
            head = f.read(1 << 16).splitlines()
        for line in head:     # garbled first lines do not hide what the file is
            m = _CREATE.match(line)
            if m:
                h, mi, s, ms, d, mo, y = (int(g) for g in m.groups())
                self.kind = MAIN
                try:
                    self.created = (datetime.date(y, mo, d), ((h * 60 + mi) * 60 + s) * 1000 + ms)
                except ValueError:
                    pass
                break
            if _MAIN_START.match(line):
                self.kind = MAIN
                break
            if _PDU_START.match(line):
                self.kind = PDU
                break

    def order_key(self):
        # Rotation renames files, so the creation stamp inside orders them;
        # files without one keep the order they were given in.
        if self.created:
            return (0, self.created[0], self.created[1], self.position)
        return (1, None, 0, self.position)


def classify(paths):
    """Sources by kind, each list in the order the files were written."""
    sources = [Source(p, i) for i, p in enumerate(paths)]
    main = sorted((s for s in sources if s.kind == MAIN), key=Source.order_key)
    pdu = [s for s in sources if s.kind == PDU]
    unknown = [s for s in sources if s.kind == UNKNOWN]
    return main, pdu, unknown


class Progress:
    """A one-line bar on stderr for long files; silent unless enabled."""

    def __init__(self, total, enabled):
        self.total = max(total, 1)
        self.enabled = enabled
        self.done = 0
        self.started = time.monotonic()
        self.shown = 0.0

    def advance(self, nbytes):
        self.done += nbytes
        now = time.monotonic()
        if self.enabled and now - self.shown >= 0.25:
            self.shown = now
            self._draw(now)

    def _draw(self, now):
        part = min(self.done / self.total, 1.0)
        rate = self.done / max(now - self.started, 1e-6) / 1e6
        bar = "#" * int(part * 30)
        sys.stderr.write("\r[%-30s] %5.1f%%  %6.1f MB/s" % (bar, part * 100, rate))
        sys.stderr.flush()

    def finish(self):
        if self.enabled:
            self.done = self.total
            self._draw(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()



def read_capture(path):
    """The stand-in's record of its bus (bus_capture.txt), one frame a line:
    "<time ns> <channel> <id> <length> <bytes...> port N | node N | outside",
    " FD" and " BRS" after it for CAN FD frames. Gives (id, data, sent by the
    library, seconds, is_fd, bitrate_switch) per frame."""
    frames = []
    with open(path) as f:
        for line in f:
            p = line.split()
            n = int(p[3])
            data = bytes.fromhex("".join(p[4:4 + n]))
            if len(data) != n or p[4 + n] not in ("port", "node", "outside"):
                raise ValueError("%s: not a frame line: %r" % (path, line))
            flags = p[4 + n:]
            frames.append((int(p[2], 16), data, flags[0] == "port", int(p[0]) / 1e9, "FD" in flags, "BRS" in flags))
    return frames
