"""Command line: pt_vector.log (and its rotated predecessors) and
pdu_trace.log in, a transfer table, a bus log and a timeline picture out."""
import argparse
import os
import sys

from . import analyse, sources
from .table import Table

USAGE = """%(prog)s [options] TRACE_FILE...

TRACE_FILE: pt_vector.log, its rotated predecessors (pt_vector.old,
pt_vector01.log, ...) and pdu_trace.log, in any order; each is recognised by
its content, rotated files are put in the order they were written."""


def parse_args(argv):
    p = argparse.ArgumentParser(prog="trace_viewer", usage=USAGE,
                                description="Transfers, bus log and timeline from the library's traces.")
    p.add_argument("files", nargs="+", metavar="TRACE_FILE", help=argparse.SUPPRESS)
    p.add_argument("-o", "--out", default=".", help="folder for the outputs (default: here)")
    p.add_argument("--name", default="session", help="base name of the output files (default: session)")
    p.add_argument("--table", default="-", help="text table to this file ('-': standard output, default)")
    p.add_argument("--csv", action="store_true", help="also write the table as NAME.csv")
    p.add_argument("--no-buslog", action="store_true", help="write no ASC/BLF bus log")
    p.add_argument("--no-blf", action="store_true", help="ASC only")
    p.add_argument("--no-picture", action="store_true", help="draw no timeline")
    p.add_argument("--data-rate", type=int, default=2000000, metavar="BIT/S",
                   help="data-phase bit rate of CAN FD frames with bit-rate switch, where the trace does not set "
                        "one (default: 2000000)")
    p.add_argument("--select", type=int, help="row number (#) of the transfer to zoom in on")
    p.add_argument("--progress", action="store_true", help="progress bar on stderr even when it is no terminal")
    p.add_argument("--verbose", action="store_true", help="show the first lines left out, with their numbers")
    args = p.parse_args(argv)
    if args.data_rate <= 0:
        p.error("--data-rate: a bit rate above 0")
    return args


class _Sinks(analyse.Sinks):
    def __init__(self, analyser_ref, table, buslog, timeline, select):
        self.ref, self.table, self.buslog, self.timeline, self.select = analyser_ref, table, buslog, timeline, select

    def frame(self, frame):
        if self.buslog is not None:
            self.buslog.frame(frame)
        if self.timeline is not None:
            self.timeline.frame(frame)

    def mark(self, t, lane, label):
        if self.timeline is not None:
            self.timeline.mark(t, lane, label)

    def bus(self, event, t, value=None):
        if self.buslog is None:
            return
        if event == "confirmation":
            self.buslog.confirmation(t)
        elif event == "lost":
            self.buslog.lost(t)
        elif event == "restart":
            self.buslog.restart(t, value)
        elif event == "rate":
            self.buslog.bit_rate(value)
        elif event == "data rate":
            self.buslog.data_bit_rate(value)
        elif event == "refused":
            self.buslog.refused(value)

    def record(self, r):
        self.table.add(r, self.ref[0].min_open())
        if self.timeline is not None:
            if r.what == "call":
                self.timeline.call(r)
            else:
                self.timeline.offer(r, self.select)
        r.kept = None if (self.timeline is None or self.timeline.zoom is not r) else r.kept


def detail_notes(a, main, pdu):
    """What the files hold, and which TRACE value would give more."""
    notes = []
    if not main:
        notes.append("no pt_vector.log given: only the messages of pdu_trace.log (no frames, no times below "
                     "a second); pt_vector.log at TRACE=18 gives frames, flow control and time-outs")
    elif not a.function_lines and not a.rx_frames:
        if a.tx_frames:
            notes.append("pt_vector.log was written at TRACE=1 (or 17): sent frames and time-outs only; received "
                         "frames, flow controls from the ECU and confirmations need TRACE=2 or above "
                         "(TRACE=18 also writes pdu_trace.log)")
        else:
            notes.append("pt_vector.log was written at TRACE=0 (or 16): errors only; TRACE=18 gives every frame, "
                         "every call and the PDU trace")
    if main and not pdu and not a.function_lines:
        notes.append("no pdu_trace.log given: received messages are only in it at TRACE=1 (TRACE=17)")
    return notes


def bus_time_notes(a, buslog):
    """Per session: where the bus log's times come from and how close they are."""
    lines = []
    for n, (s, b) in enumerate(zip(a.session_summary(), buslog.sessions), 1):
        name = os.path.basename(s["path"])
        stamped = "%d received and %d confirmed sent frames at the driver's stamps" % (b["received"], b["confirmed"])
        if not b["computed"]:
            how = stamped
        elif b["confirms"]:
            how = "%s; %d sent frames computed from their hand-over, their bits at the bit rate and their place " \
                  "among the received frames, within 1 ms" % (stamped, b["computed"])
            if b["uncertain"]:
                how += "; %d of them handed over while a thread was held up (up to %.0f ms): those may be off by " \
                       "up to half of that" % (b["uncertain"], b["window"])
            if b["unfitted"]:
                how += "; %d of them queued in runs with no stamp after them: their times rest on the counted " \
                       "bits alone" % b["unfitted"]
        else:
            how = "%s; %d sent frames computed from their hand-over lines and their bits at the bit rate only: this " \
                  "trace has no confirmations (TRACE=2 or above has them), so within about a millisecond where " \
                  "the bus was free, but frames queued behind each other (the field profile) can be several ms " \
                  "off" % (stamped, b["computed"])
        if b["conflict"] > 0.001:
            how += "; no one offset of the driver's clock to the trace's fits every line (they differ by %.3f ms: " \
                   "the driver's clock ran at another rate, or a line's time is wrong), so received frames may be " \
                   "off by up to half of that" % b["conflict"]
        lines.append("bus times, session %d (%s): %s" % (n, name, how))
    return lines


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    missing = [f for f in args.files if not os.path.isfile(f)]
    if missing:
        print("trace_viewer: no such file: %s" % ", ".join(missing), file=sys.stderr)
        return 2
    main_files, pdu_files, unknown = sources.classify(args.files)
    for s in unknown:
        print("trace_viewer: %s is neither pt_vector.log nor pdu_trace.log (first lines unknown); "
              "left out" % s.path, file=sys.stderr)
    if not main_files and not pdu_files:
        print("trace_viewer: nothing to read", file=sys.stderr)
        return 2
    os.makedirs(args.out, exist_ok=True)
    base = os.path.join(args.out, args.name)
    total = sum(s.size for s in main_files + pdu_files)
    progress = sources.Progress(total, args.progress or (sys.stderr.isatty() and total > 20 << 20))

    table = Table()
    buslog = timeline = None
    outputs = []
    if not args.no_buslog and main_files:
        from .buslog import BusLog, epoch_of
        paths = [base + ".asc"] + ([] if args.no_blf else [base + ".blf"])
        buslog = BusLog(paths, epoch_of(main_files[0].created), args.data_rate)
        outputs += paths
    if not args.no_picture:
        from .timeline import Timeline
        timeline = Timeline()
    ref = []
    a = analyse.Analyser(_Sinks(ref, table, buslog, timeline, args.select))
    a.min_open = lambda: min_open(a)
    ref.append(a)
    a.select = args.select

    for s in main_files:
        a.feed_main(s, progress)
    # Messages of pdu_trace.log become rows only when pt_vector.log has no
    # received frames: otherwise they repeat what the frames show.
    pdu_rows = a.rx_frames == 0
    for s in pdu_files:
        a.feed_pdu(s, progress, pdu_rows)
    a.finish()
    progress.finish()
    if buslog is not None:
        buslog.close()

    out = sys.stdout if args.table == "-" else open(args.table, "w")
    try:
        out.write("trace_viewer: %s\n" % ", ".join(s.path for s in main_files + pdu_files))
        out.write("%d lines read, %d frames sent and %d received, %d J2534 calls, %d transfers, "
                  "%d driver errors\n" % (a.lines, a.tx_frames, a.rx_frames, table.by_kind.get("call", 0),
                                         table.by_kind.get("ISO-TP", 0), a.driver_errors))
        if a.malformed:
            where = ", ".join("%s:%d" % (os.path.basename(f), n) for f, n in a.malformed_at)
            out.write("%s (first: %s)\n" % (left_out(a), where))
            if args.verbose:
                for f, n, text in a.malformed_lines:
                    out.write("  %s:%d: %s\n" % (os.path.basename(f), n, text))
        for note in detail_notes(a, main_files, pdu_files):
            out.write("note: %s\n" % note)
        if buslog is not None:
            for line in bus_time_notes(a, buslog):
                out.write(line + "\n")
        if a.tx_frames + a.rx_frames:
            out.write("times: span ms bus from the first to the last frame on the bus; conf ms host and dlvr ms host "
                      "from the first frame to the read call that handed the host its confirmation or message, on "
                      "the trace's clock with the driver's stamps taken over to it\n")
        table.write_text(out)
    finally:
        if out is not sys.stdout:
            out.close()
    if args.csv:
        table.write_csv(base + ".csv")
        outputs.append(base + ".csv")
    table.close()
    if timeline is not None:
        origin = a.start if a.start is not None else 0.0
        title = "%s: %d frames, %d transfers (%d failed)" % (
            os.path.basename(main_files[0].path) if main_files else "pdu_trace.log",
            a.tx_frames + a.rx_frames, table.by_kind.get("ISO-TP", 0), table.counts[True])
        paths = [base + ".png", base + ".svg"]
        timeline.draw(paths, origin, title)
        outputs += paths
    if a.malformed:
        print("trace_viewer: %s" % left_out(a), file=sys.stderr)
    for o in outputs:
        print("wrote %s" % o, file=sys.stderr)
    return 0


def left_out(a):
    """How many lines the analysis could not use, and why."""
    text = "%d malformed or truncated lines left out" % a.malformed
    if a.undecodable:
        text += ", %d of them with bytes that are no text: invalid UTF-8 or control characters" % a.undecodable
    return text


def min_open(a):
    """The smallest row number still open; rows below it are final."""
    numbers = [r.number for table in (a.tx_open, a.rx_open, a.unconfirmed, a.undelivered, a.thread_read, a.thread_ack)
               for r in table.values()]
    numbers += [c.number for stack in a.calls.values() for c in stack]
    return min(numbers) if numbers else a.number + 1
