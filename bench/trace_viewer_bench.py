#!/usr/bin/env python3
"""Throughput of tools/trace_viewer on a generated pt_vector.log.

    python3 bench/trace_viewer_bench.py [LINES] [--keep FILE]

Writes a trace of LINES lines (default 10^6) in the library's layout, with
the texts of a session at TRACE=18 (nine in ten lines are function entry and
exit, the rest messages; one line in 27 is a CAN frame, three times as many as
in the demo's trace), runs the viewer on it with every output (table, CSV,
ASC, BLF, PNG, SVG) and prints lines per second, MB per second and the time a
1 GB trace would take at that rate (start-up and drawing included, so a
larger trace goes faster). --keep FILE writes the trace to FILE and keeps it."""
import contextlib
import io
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from trace_viewer import cli  # noqa: E402


def stamp(ms):
    return "%02d:%02d:%02d.%03d" % (ms // 3600000 % 24, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)


class Writer:
    def __init__(self, out):
        self.out, self.ms, self.lines = out, 0, 0

    def tick(self, ms=1):
        self.ms += ms

    def scope(self, thread, depth, name, entry):
        self.out.write("%s;%s;FU;%s%s;%05d;%s\n" % (stamp(self.ms), "00:00:00.000", "+" if entry else "-",
                                                   str(depth).rjust(5, "_"), thread, name))
        self.lines += 1

    def msg(self, thread, depth, name, text, level="IN"):
        self.out.write("%s;__:__:__.___;%s;|%s;%05d;%s : %s\n" % (stamp(self.ms), level, str(depth).rjust(5, "_"),
                                                                  thread, name, text))
        self.lines += 1

    def idle(self, n):
        for _ in range(n):
            self.scope(812, 1, "COrvFunctionalGroup::isTimerSet(..)", True)
            self.scope(812, 1, "COrvFunctionalGroup::isTimerSet(..)", False)

    def rx(self, can_id, data, drv_us):
        w = "AnalyzeRxCanMessaPF"
        self.scope(812, 1, "AnalyzeRxCanMessage (main)", True)
        self.scope(812, 2, w, True)
        self.msg(812, 2, w, "PASS Frame: passed %04X %04X 07FF %04X" % (can_id, can_id, can_id))
        self.msg(812, 2, w, "RAW-CAN--RX CanId %06x [      ] Len=  8     Data: %s %08d.%03d" % (
            can_id, " ".join("0x%02X" % b for b in data), drv_us // 1000, drv_us % 1000))
        self.scope(812, 2, w, False)
        self.scope(812, 1, "AnalyzeRxCanMessage (main)", False)

    def tx(self, thread, scope, can_id, data):
        self.msg(thread, 1, scope, "RAW-CAN--TX CanId=0x%04x Len=  8 Padding =  1 Data: %s " % (
            can_id, " ".join("0x%02x" % b for b in data)))


def exchange(w, n):
    """A request as a single frame, its confirmation, and a 140-byte answer
    in 20 consecutive frames after our flow control."""
    drv = w.ms * 1000
    w.scope(812, 1, "PassThruWriteMsgs()", True)
    w.msg(812, 1, "PassThruWriteMsgs()", "ISO15765-TX CanId 0x07E0 Len=  2 TS=000000000 Data: 0x22 0xf1 ")
    w.tx(812, "PassThruWriteMsgs()", 0x7E0, [0x02, 0x22, 0xF1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF])
    w.scope(812, 1, "PassThruWriteMsgs()", False)
    w.idle(30)
    w.tick()
    w.scope(812, 1, "Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED", True)
    w.scope(812, 1, "Queue rx XL_CAN_MSG_FLAG_TX_COMPLETED", False)
    w.rx(0x7E8, [0x10, 140, 0x62, 0xF1, n & 0xFF, 1, 2, 3], drv + 500)
    w.scope(812, 4, "SendFlowx          ", True)
    w.tx(812, "SendFlowx          ", 0x7E0, [0x30, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF])
    w.scope(812, 4, "SendFlowx          ", False)
    for k in range(20):
        w.idle(3)
        w.tick()
        w.rx(0x7E8, [0x20 | ((k + 1) & 15)] + [k] * 7, drv + 1000 + 260 * k)
    w.msg(812, 2, "AnalyzeRxCanMessage (MB)", "CONSECUTIVE_FRAME finished m_rxBuffer removed SeqID=%d" % n)
    w.scope(812, 1, "PassThruReadMsgs()", True)
    w.msg(812, 1, "PassThruReadMsgs()", " ISO15765-RX CanId=0x07e8 Len=140 TS=000000000  Data: 0x00 RX ")
    w.msg(812, 1, "PassThruReadMsgs()", "new messages in receive queue! STATUS_NOERROR")
    w.scope(812, 1, "PassThruReadMsgs()", False)
    w.idle(150)
    w.tick(5)


def generate(path, lines):
    with open(path, "w", newline="\r\n" if os.name == "nt" else "\n") as f:
        w = Writer(f)
        f.write("00:00:00.000;01.01.2026;Create tracefile\nTimestamp;Deltatime;Tracelevel;Deepness;ThreadID;Message\n")
        n = 0
        while w.lines < lines:
            exchange(w, n)
            n += 1
    return w.lines + 2


def main():
    args = sys.argv[1:]
    keep = None
    if "--keep" in args:
        keep = args[args.index("--keep") + 1]
        del args[args.index("--keep"):args.index("--keep") + 2]
    lines = int(float(args[0])) if args else 10 ** 6
    with tempfile.TemporaryDirectory() as tmp:
        trace = keep or os.path.join(tmp, "pt_vector.log")
        written = generate(trace, lines)
        size = os.path.getsize(trace)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            code = cli.main([trace, "-o", os.path.join(tmp, "out"), "--csv"])
        took = time.perf_counter() - start
    print("%d lines, %.1f MB in %.2f s (exit %d): %.0f lines/s, %.1f MB/s; 1 GB would take %.0f s" % (
        written, size / 1e6, took, code, written / took, size / 1e6 / took, 1e9 / (size / took)))


if __name__ == "__main__":
    main()
