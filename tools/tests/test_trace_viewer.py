"""The trace viewer on traces pt_demo writes during the test (PT_DEMO names it, PT_EMULATOR what runs it):
its bus logs against the stand-in's bus capture, its table, its picture, damaged traces; a CAN FD session
written by hand; its count of a frame's bits on the bus against the frame written out."""
import collections
import contextlib
import csv
import io
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

import can
from matplotlib import image

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from trace_viewer import buslog, cli, sources  # noqa: E402
from trace_viewer.bittime import fd_frame_bits, frame_bits, frame_ms, least_bits  # noqa: E402

FG = "kept for the functional-group answer"
# The demo's five exchanges: (direction, id, length, result) of every transfer.
SESSION = [("TX", "0x7E0", "2", "confirmed"), ("RX", "0x7E8", "6", "delivered"),
           ("TX", "0x7E0", "3", "confirmed"), ("RX", "0x7E8", "20", "delivered"),
           ("TX", "0x7E0", "4095", "confirmed"), ("RX", "0x7E8", "4095", "delivered"),
           ("TX", "0x6F1", "3", "confirmed"), ("RX", "0x640", "20", "delivered"),
           ("TX", "0x6F0", "2", "confirmed"), ("RX", "0x641", "6", FG), ("RX", "0x642", "6", FG),
           ("RX", "0x643", "6", FG)]
# A received frame's stamp and the ASC log's time are cut to the microsecond.
STAMP_MS = 0.003
COLOURS = {"single": (0x1F, 0x77, 0xB4), "first": (0xFF, 0x7F, 0x0E), "consecutive": (0x2C, 0xA0, 0x2C),
           "flow control": (0x94, 0x67, 0xBD), "confirmation": (0x7F, 0x7F, 0x7F), "failed": (0xD6, 0x27, 0x28)}
LOGS = ("session.asc", "session.blf")


def run_demo(work, *options, bus=None):
    """pt_demo's exit code; bus: the name its bus capture is kept under."""
    emulator = [e for e in os.environ.get("PT_EMULATOR", "").split(";") if e]
    os.makedirs(work, exist_ok=True)
    # A relative work directory means the same folder to wine and to us.
    code = subprocess.run(emulator + [os.environ["PT_DEMO"], *options, "work"], cwd=work,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120).returncode
    if bus:
        os.replace(os.path.join(work, "work", "bus_capture.txt"), os.path.join(work, "work", bus))
    return code


def trace(work, name="pt_vector.log"):
    return os.path.join(work, "work", name)


def capture(work, name="bus_capture.txt"):
    """(id, data, sent by us, seconds, is_fd, bitrate_switch) of the frames the simulated bus carried."""
    return sources.read_capture(trace(work, name))


def frame_of_line(line):
    """(id, data, sent by us) of a RAW-CAN--TX or RAW-CAN--RX line."""
    m = re.search(rb"RAW-CAN--(TX|RX) CanId[= ](?:0x)?([0-9a-fA-F]+) .*?Data: ((?:0x[0-9a-fA-F]{2} )*)", line)
    return int(m.group(2), 16), bytes(int(b, 16) for b in m.group(3).split()), m.group(1) == b"TX"


def line_ms(line):
    return ((int(line[0:2]) * 60 + int(line[3:5])) * 60 + int(line[6:8])) * 1000 + int(line[9:12])


def hold_up(lines, first, ms):
    """The trace as if the thread writing lines[first] had been held up for ms milliseconds just before:
    that line is written ms later, and every line after it no earlier."""
    held = line_ms(lines[first]) + ms
    for i in range(first, len(lines)):
        if re.match(rb"\d\d:\d\d:\d\d\.\d\d\d;", lines[i]) and line_ms(lines[i]) < held:
            lines[i] = b"%02d:%02d:%02d.%03d" % (held // 3600000, held // 60000 % 60, held // 1000 % 60,
                                                  held % 1000) + lines[i][12:]


def frames_of(path):
    return [(m.arbitration_id, bytes(m.data), not m.is_rx) for m in can.LogReader(path)]


def lines_of(path):
    with open(path, "rb") as f:
        return f.read().splitlines(keepends=True)


def written(path, lines):
    with open(path, "wb") as f:
        f.write(b"".join(lines))
    return path


def time_errors(messages, bus):
    """Each frame's time against the bus's, in ms, the two clocks aligned on the received frames (they
    carry the driver's own stamps)."""
    offset = statistics.median(m.timestamp - f[3] for m, f in zip(messages, bus) if not f[2])
    return [(m.timestamp - f[3] - offset) * 1000.0 for m, f in zip(messages, bus)]


def queue_drift(bus):
    """Per frame of a classic session at 500 kbit/s: (whether it is a sent frame that queued behind the
    frame before it, and how far the viewer's counted bits may have taken it from the bus's time by
    then). The stand-in counts one stuff bit in five stuffable bits, the viewer the bits of the frame
    written out: along a queue the two part by the difference."""
    drift, prev, out = 0.0, None, []
    for can_id, data, sent, seconds, *_ in bus:
        ext = can_id > 0x7FF
        ms = ((67 if ext else 47) + 8 * len(data) + ((54 if ext else 34) + 8 * len(data)) // 5) / 500.0
        queued = sent and prev is not None and (seconds - prev) * 1000.0 <= ms + 0.0015
        drift = drift + frame_ms(can_id, ext, data, 500000) - ms if queued else 0.0
        out.append((queued, drift))
        prev = seconds
    return out


def told_off(text, session):
    """Sent frames the header says may be more than 1 ms off: (handed over while a thread was held up,
    queued in runs with no stamp after them)."""
    line = re.search(r"^bus times, session %d .*$" % session, text, re.M).group(0)
    return [sum(int(n) for n in re.findall(r"(\d+) of them " + why, line)) for why in ("handed over", "queued")]


def view(out, *args):
    """The viewer's exit code, its text and its CSV rows."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text), contextlib.redirect_stderr(io.StringIO()):
        code = cli.main(["-o", out, "--csv", *args])
    with open(os.path.join(out, "session.csv"), newline="") as f:
        return code, text.getvalue(), list(csv.DictReader(f))


def transfers(rows):
    return [(r["dir"], r["CAN id"], r["len"], r["result"]) for r in rows if r["what"] == "ISO-TP"]


def colour_pixels(png, rgb):
    pixels = image.imread(png)[:, :, :3] * 255
    return int((abs(pixels - rgb).max(axis=2) < 8).sum())


class TraceViewerOnDemo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="trace_viewer_")
        cls.ok, cls.trace2, cls.nofc, cls.nofc18 = (os.path.join(cls.tmp, n) for n in ("ok", "t2", "nofc", "nofc18"))
        # Two runs into one folder: the field profile's run rotates the default one's traces to *.old.
        started = time.monotonic()
        assert run_demo(cls.ok, bus="bus_default.txt") == 0, "the demo session failed"
        cls.between = [time.monotonic()]
        time.sleep(0.5)
        cls.between.append(time.monotonic())
        assert run_demo(cls.ok, "--field-profile", bus="bus_field.txt") == 0, "the field profile's session failed"
        cls.run_span = time.monotonic() - started
        assert run_demo(cls.trace2, "--trace", "2", bus="bus_default.txt") == 0
        assert run_demo(cls.trace2, "--trace", "2", "--field-profile", bus="bus_field.txt") == 0
        # The engine never answers the 4095-byte request: at TRACE=17 pt_vector.log has no received frames
        # (only the PDU trace); at TRACE=18 the demo then waits out P2* (5 s) for the answer, a long pause on
        # the bus in one run of the driver's clock.
        run_demo(cls.nofc, "--trace", "17", "--no-flow-control")
        run_demo(cls.nofc18, "--no-flow-control")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def out(self, name):
        return os.path.join(self.tmp, "out-" + name)

    def assert_bus_logs(self, out, text, *sessions, logs=LOGS):
        """Each log holds the buses' frames, session after session; per session the received ones at their
        stamps, no more sent frames over 1 ms off than the header owns up to, and of those only the ones
        handed over while a thread was held up off by more than their queue's drift."""
        for log in logs:
            messages = list(can.LogReader(os.path.join(out, log)))
            self.assertEqual(frames_of(os.path.join(out, log)), [f[:3] for bus in sessions for f in bus], log)
            for n, bus in enumerate(sessions, 1):
                part, messages = messages[:len(bus)], messages[len(bus):]
                errors, drift = time_errors(part, bus), queue_drift(bus)
                self.assertLess(max(abs(e) for e, f in zip(errors, bus) if not f[2]), STAMP_MS, log)
                held, queued = told_off(text, n)
                self.assertLessEqual(sum(abs(e) >= 1.0 for e in errors), held + queued, (log, n))
                self.assertLessEqual(queued, sum(q for q, _ in drift), (log, n))
                beyond = [(k, e, d) for k, (e, (q, d)) in enumerate(zip(errors, drift)) if abs(e) - abs(d) >= 1.0]
                self.assertLessEqual(len(beyond), held, (log, n, beyond[:5]))

    def sessions(self):
        """(name, trace files, bus capture) of the four single sessions."""
        for work, level in ((self.ok, "TRACE=18"), (self.trace2, "TRACE=2")):
            for mode, suffix, bus in (("default", ".old", "bus_default.txt"), ("field profile", ".log", "bus_field.txt")):
                files = [trace(work, name + suffix) for name in ("pt_vector", "pdu_trace")]
                yield "%s, %s" % (level, mode), [f for f in files if os.path.exists(f)], capture(work, bus)

    def test_bus_log_is_the_bus_the_stand_in_carried_and_host_times_follow_it(self):
        for name, files, bus in self.sessions():
            with self.subTest(name):
                out = self.out("bus " + name)
                code, text, rows = view(out, *files)
                self.assertEqual(code, 0)
                self.assertIn("%d frames sent and %d received" % (sum(f[2] for f in bus),
                                                                  sum(not f[2] for f in bus)), text)
                self.assert_bus_logs(out, text, bus)
                timed = [(float(r["span ms bus"]), float(r[c])) for r in rows if r["what"] == "ISO-TP"
                         for c in ("conf ms host", "dlvr ms host") if r[c]]
                self.assertEqual(len(timed), 12)
                self.assertEqual([t for t in timed if t[1] < t[0]], [], "a host time before its frame")

    def test_received_frames_keep_one_offset_across_a_long_pause(self):
        # The driver's clock runs on unbroken: one offset takes every received frame's stamp to the
        # trace's clock, so they stand to each other as they stood on the bus.
        bus = capture(self.nofc18)
        received = [f[3] for f in bus if not f[2]]
        self.assertGreater(max(b - a for a, b in zip(received, received[1:])), 5.0, "no long pause in the session")
        out = self.out("pause")
        code, text, rows = view(out, trace(self.nofc18), trace(self.nofc18, "pdu_trace.log"))
        self.assertEqual(code, 0)
        self.assertEqual([r["result"] for r in rows if r["failed"] == "yes"], ["timed out: no flow control"])
        self.assert_bus_logs(out, text, bus)

    def test_a_late_receive_line_leaves_its_frame_at_its_stamp(self):
        # The thread that reads the session's last frame (nothing is sent after it) is held up for 20 ms
        # before it writes the frame's line: the frame stays at its stamp, and the offset from the other
        # lines keeps the sent frames where they stood to the received ones on the bus.
        lines = lines_of(trace(self.ok, "pt_vector.old"))
        late = max(i for i, line in enumerate(lines) if b"RAW-CAN--RX" in line)
        self.assertFalse([line for line in lines[late:] if b"RAW-CAN--TX" in line])
        hold_up(lines, late, 20)
        code, text, rows = view(self.out("late"), written(os.path.join(self.tmp, "late.log"), lines))
        self.assertEqual(code, 0)
        self.assertNotIn("left out", text)
        self.assert_bus_logs(self.out("late"), text, capture(self.ok, "bus_default.txt"))

    def test_a_held_up_hand_over_is_told(self):
        # The thread that hands the 4095-byte request's first frame to the driver is held up for 10 ms
        # before it writes that the driver took it; no frame is on the bus in that time (the engine never
        # answers). When in it the frame went out the trace cannot say: the header owns up to it.
        lines = lines_of(trace(self.nofc18))
        first = next(i for i, line in enumerate(lines) if b"RAW-CAN--TX CanId=0x07e0 Len=  8" in line and
                     b"Data: 0x1f 0xff " in line)
        taken = next(i for i in range(first, len(lines)) if b"Transmit CAN messages ...successed" in lines[i])
        hold_up(lines, taken, 10)
        bus = capture(self.nofc18)
        after = next(k for k, f in enumerate(bus) if f[:3] == (0x7E0, bytes.fromhex("1fffba0102030405"), True))
        self.assertGreater(bus[after + 1][3] - bus[after][3], 1.0)
        code, text, rows = view(self.out("held"), written(os.path.join(self.tmp, "held.log"), lines))
        self.assertEqual(code, 0)
        told = re.search(r"(\d+) of them handed over while a thread was held up \(up to (\d+) ms\)", text)
        self.assertIsNotNone(told, text[:1500])
        self.assertGreaterEqual(int(told.group(2)), 10)
        self.assert_bus_logs(self.out("held"), text, bus, logs=LOGS[:1])

    def test_frames_that_wait_for_the_runs_end_in_a_file_come_back_unchanged(self):
        logs = {}
        for room in (64, None):
            out = self.out("room %s" % room)
            with mock.patch.object(buslog, "_CHUNK", room or buslog._CHUNK):
                code, text, rows = view(out, trace(self.ok), trace(self.ok, "pdu_trace.log"))
            self.assertEqual(code, 0)
            logs[room] = [[(m.timestamp, m.arbitration_id, bytes(m.data), m.is_rx)
                           for m in can.LogReader(os.path.join(out, log))] for log in LOGS]
        self.assertGreater(len(logs[None][0]), 64 * 10)
        self.assertEqual(logs[64], logs[None])

    def test_a_driver_clock_at_another_rate_is_told(self):
        # The driver's stamps 2 ms a second faster than the trace's clock: over the session's second no
        # one offset fits every line.
        lines = lines_of(trace(self.ok, "pt_vector.old"))
        stamps = re.compile(rb"(RAW-(?:CAN|ACK)--RX .* )(\d+)\.(\d{3})(\r?\n)$")
        for i, line in enumerate(lines):
            m = stamps.search(line)
            if m:
                us = round((int(m.group(2)) * 1000 + int(m.group(3))) * 1.002)
                lines[i] = line[:m.start()] + m.group(1) + b"%08d.%03d" % (us // 1000, us % 1000) + m.group(4)
        code, text, rows = view(self.out("drift"), written(os.path.join(self.tmp, "drift.log"), lines))
        self.assertEqual(code, 0)
        told = re.search(r"no one offset of the driver's clock to the trace's fits every line \(they differ by "
                         r"([\d.]+) ms", text)
        self.assertIsNotNone(told, text[:2000])
        self.assertGreater(float(told.group(1)), 0.5)

    def test_rotated_runs_follow_each_other_in_order(self):
        old, new = trace(self.ok, "pt_vector.old"), trace(self.ok)
        first, second = capture(self.ok, "bus_default.txt"), capture(self.ok, "bus_field.txt")
        for order in ((old, new), (new, old)):
            with self.subTest(order=[os.path.basename(p) for p in order]):
                out = self.out("rotated")
                code, text, rows = view(out, *order)
                self.assertEqual(transfers(rows), SESSION + SESSION)
                self.assertEqual([r["result"] for r in rows if r["what"] == "session"], ["session 2"])
                self.assert_bus_logs(out, text, first, second)
                for log in LOGS:
                    # The second run began after the first had ended and the pause between them.
                    messages = list(can.LogReader(os.path.join(out, log)))
                    gap = messages[len(first)].timestamp - messages[len(first) - 1].timestamp
                    self.assertGreater(gap, self.between[1] - self.between[0], log)
                    self.assertLess(gap, self.run_span, log)

    def test_table_and_picture_of_the_five_exchanges(self):
        out = self.out("table")
        code, text, rows = view(out, trace(self.ok, "pt_vector.old"))
        self.assertEqual(transfers(rows), SESSION)
        self.assertEqual([r for r in rows if r["failed"] == "yes"], [])
        self.assertNotIn("note:", text)
        self.assertNotIn("no one offset", text)
        long_tx, long_rx = (r for r in rows if r["len"] == "4095" and r["what"] == "ISO-TP")
        # Our flow control announces block size 8: one after the first frame and after every eighth of the
        # 585 consecutive frames.
        self.assertEqual((long_rx["BS"], long_rx["STmin"], long_rx["flow control"], long_rx["frames"]),
                         ("8", "0", "CTS x74", str(1 + 585 + 74)))
        self.assertEqual((long_tx["BS"], long_tx["flow control"], long_tx["frames"]), ("0", "CTS x1", "587"))
        writes = [r for r in rows if r["detail"].startswith("PassThruWriteMsgs")]
        self.assertEqual([(r["CAN id"], r["len"], r["result"]) for r in writes],
                         [(d[1], d[2], "STATUS_NOERROR") for d in SESSION if d[0] == "TX"])
        # The group's answers are kept back (the read returns nothing) until the aggregated answer is read
        # on the CANECU_CLASS id.
        reads = [(r["CAN id"], r["len"], r["result"]) for r in rows
                 if r["detail"].startswith("PassThruReadMsgs") and "confirmation" not in r["detail"]]
        self.assertEqual(reads[-4:], [(d[1], "6", "ERR_BUFFER_EMPTY") for d in SESSION[-3:]] +
                         [("0x6FF", "39", "STATUS_NOERROR")])
        png = os.path.join(out, "session.png")
        self.assertEqual(image.imread(png).shape[:2], (750, 1200))
        for kind, rgb in COLOURS.items():
            if kind != "failed":
                self.assertGreater(colour_pixels(png, rgb), 15, kind)
        with open(os.path.join(out, "session.svg")) as f:
            self.assertIn("<svg", f.read(2000))

    def test_a_transfer_without_flow_control_times_out(self):
        out = self.out("nofc")
        code, text, rows = view(out, trace(self.nofc, "pdu_trace.log"), trace(self.nofc))
        self.assertEqual(code, 0)
        first = rows[0]
        self.assertEqual((first["failed"], first["dir"], first["CAN id"], first["len"], first["result"]),
                         ("yes", "TX", "0x7E0", "4095", "timed out: no flow control"))
        waited = int(re.match(r"TX time-out after (\d+) ms", first["time-outs"]).group(1))
        self.assertTrue(1000 <= waited <= 1100, waited)
        self.assertEqual(sum(r["failed"] == "yes" for r in rows), 1)
        self.assertIn("need TRACE=2 or above", text)
        self.assertIn(("RX", "0x640"), [(r["dir"], r["CAN id"]) for r in rows if r["what"] == "PDU"])
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), [f[:3] for f in capture(self.nofc) if f[2]])
        self.assertGreater(colour_pixels(os.path.join(out, "session.png"), COLOURS["failed"]), 200)

    def test_pdu_trace_alone_gives_the_messages(self):
        code, text, rows = view(self.out("pdu"), trace(self.ok, "pdu_trace.log"))
        self.assertEqual(code, 0)
        self.assertIn("TRACE=18 gives frames", text)
        self.assertEqual([(r["dir"], r["CAN id"]) for r in rows],
                         [(d[0], d[1]) for d in SESSION[:9]] + [("RX", "0x641"), ("RX", "0x642"), ("RX", "0x643")])

    def test_damaged_trace_is_reported_and_the_rest_read(self):
        lines = lines_of(trace(self.ok, "pt_vector.old"))
        frame_lines = [i for i, l in enumerate(lines) if b"RAW-CAN--" in l]
        garbled, cut = frame_lines[1], frame_lines[300]    # the first answer; a frame of the long request
        damaged = lines[:garbled] + [b"\x00\x9f\xffgarbage;;\n"] + lines[garbled + 1:cut] + \
            [b"\xfe\x01 not a trace line\n", lines[cut][:len(lines[cut]) // 2]]
        out = self.out("damaged")
        code, text, rows = view(out, written(os.path.join(self.tmp, "damaged.log"), damaged))
        self.assertEqual(code, 0)
        self.assertIn("3 malformed or truncated lines left out", text)
        bus = [f[:3] for f in capture(self.ok, "bus_default.txt")]
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), bus[:1] + bus[2:300])
        self.assertEqual(transfers(rows), [SESSION[0], SESSION[2], SESSION[3],
                                           SESSION[4][:3] + ("incomplete: the trace ends first",)])

    def left_out(self, name, lines, kinds, per_kind, rest, damage, summary, keep=lambda line: True):
        """Damages 40 lines of the trace (up to per_kind of each kind, spread out, the rest function lines
        from len // rest on); the viewer counts them, names the first 20 and leaves their frames out."""
        found = {k: [i for i in range(2, len(lines)) if k in lines[i] and keep(lines[i])] for k in kinds}
        chosen = set(i for f in found.values() for i in f[::max(len(f) // per_kind, 1)][:per_kind])
        functions = iter(found[b";FU;"][len(found[b";FU;"]) // rest:])
        while len(chosen) < 40:
            chosen.add(next(functions))
        chosen = sorted(chosen)
        # Equal frames (the long transfers repeat their bytes) follow each other on the bus in the order of
        # their lines: the n-th such line is the n-th such frame.
        seen, lost = collections.Counter(), set()
        for i, line in enumerate(lines):
            if b"RAW-CAN--" in line:
                frame = frame_of_line(line)
                seen[frame] += 1
                if i in chosen:
                    lost.add((frame, seen[frame]))
        bus, seen = capture(self.ok, "bus_default.txt"), collections.Counter()
        expected = [f[:3] for f in bus if seen.update([f[:3]]) or (f[:3], seen[f[:3]]) not in lost]
        self.assertEqual(len(expected), len(bus) - len(lost))
        for n, i in enumerate(chosen):
            lines[i] = damage(n, lines[i])
        out = self.out(name)
        code, text, rows = view(out, "--verbose", written(os.path.join(self.tmp, name + ".log"), lines))
        self.assertEqual(code, 0)
        self.assertIn(summary, text)
        shown = re.findall(r"^  %s\.log:(\d+): (.*)$" % name, text, re.M)
        self.assertEqual([int(n) for n, _ in shown], [i + 1 for i in chosen[:20]])
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), expected)
        return shown

    def test_cut_lines_are_counted_one_by_one(self):
        def whole_fields_lost(line):
            # A function line cut before its name; frames and deliveries anywhere.
            return len(line) // 2 <= line.find(b";", 36) if line[25:29] == b";FU;" else \
                b"RAW-CAN--" in line or b"RAW-ACK--" in line or b" ISO15765-RX CanId" in line
        self.left_out("cut", lines_of(trace(self.ok, "pt_vector.old")),
                      (b";FU;", b"RAW-CAN--TX", b"RAW-CAN--RX", b"RAW-ACK--RX", b" ISO15765-RX CanId"), 8, 2,
                      lambda n, line: line[:len(line) // 2] + b"\n", "40 malformed or truncated lines left out",
                      whole_fields_lost)

    def test_lines_with_bytes_that_are_no_text_are_counted_one_by_one(self):
        lines = lines_of(trace(self.ok, "pt_vector.old"))
        # Text in UTF-8 is text: function names with it are whole lines.
        spared = [i for i, line in enumerate(lines) if b";FU;" in line and b"isTimerSet" in line][-5:]
        for i in spared:
            lines[i] = lines[i].rstrip(b"\r\n") + "\tGer\u00e4t \u00b5s".encode("utf-8") + b"\n"
        self.assertEqual(len(spared), 5)
        # Tails that are no text, whatever comes before them: bytes that are invalid UTF-8 where they stand,
        # or control characters.
        noise = random.Random(25)
        tails = [b"\xff\xfe\xfd", b" \xc3\x28", b" \xe2\x82", b"\x00" * 6, b"\x1b[31m", b"\x07\x08", b"Ger\xe4t",
                 b" \xc2\x85", b"\x00" + bytes(b for b in noise.randbytes(12) if b not in b"\r\n")]
        shown = self.left_out("garbled", lines, (b";FU;", b"RAW-CAN--TX", b"RAW-CAN--RX", b"RAW-ACK--RX",
                                                 b" ISO15765-RX CanId", b"new messages in receive queue"), 6, 3,
                              lambda n, line: line.rstrip(b"\r\n") + tails[n % len(tails)] +
                              line[len(line.rstrip(b"\r\n")):],
                              "40 malformed or truncated lines left out, 40 of them with bytes that are no text",
                              lambda line: b"\xc3\xa4t" not in line)
        self.assertTrue(shown[0][1].endswith("\\xff\\xfe\\xfd"), shown[0])


class CanFdSession(unittest.TestCase):
    """Escape single frames sent (confirmed) and received, a first frame with a 32-bit length and a
    64-byte consecutive frame queued behind it, in the main trace, the PDU trace and a bus capture."""
    SF, RX = bytes([0, 10]) + bytes(range(0x2E, 0x38)), bytes([0, 18]) + bytes(range(18))
    FF, CF = bytes([0x10, 0, 0, 0, 0x13, 0x88]) + b"\x55" * 58, b"\x21" + b"\xaa" * 63

    def test_fd_frames_read_decoded_timed_and_logged(self):
        tmp = tempfile.mkdtemp(prefix="trace_viewer_fd_")
        self.addCleanup(shutil.rmtree, tmp, True)
        line = "00:00:01.%03d;__:__:__.___;IN;|____1;18436;%s : %s\n"
        hexs = lambda data: "".join("0x%02x " % b for b in data)  # noqa: E731
        tx = lambda ms, scope, data: line % (ms, scope, "RAW-CAN--TX CanId=0x07e0 Len= %d Padding =  %d FD BRS "  # noqa
                                             "Data: %s" % (len(data), ms == 1, hexs(data)))
        ioctl = ["00:00:01.000;00:00:00.000;FU;%s____1;18436;PassThruIoctl()\n" % d for d in "+-"]
        ioctl[1:1] = [line % (0, "PassThruIoctl()", "0:Parameter 0000805c Value 003d0900(4000000)")]
        frames = [tx(1, "PassThruWriteMsgs()", self.SF),
                  line % (2, "AnalyzeRxCanMessaPF", "RAW-ACK--RX CanId 0007e0 [  A   ] Len= 12 FD BRS Data: %s "
                          "00000000.400" % hexs(self.SF).upper().replace("X", "x")),
                  line % (3, "AnalyzeRxCanMessaPF", "RAW-CAN--RX CanId 0007e8 [      ] Len= 20 FD BRS ESI Data: %s "
                          "00000001.500" % hexs(self.RX)),
                  tx(10, "PassThruWriteMsgs()", self.FF), tx(10, "ThreadRead()", self.CF)]
        files = {"pdu_trace.log": ["01.01.2026 00:00:01 CAN-TX 0x07e0 FD BRS %s\n" % hexs(self.SF[2:]),
                                   "01.01.2026 00:00:01 CAN-RX 0x07e8 FD BRS %s\n" % hexs(self.RX[2:])],
                 "bus_capture.txt": ["1000 0 7E0 12 %s port 0 FD BRS\n" % self.SF.hex(" "),
                                     "2000 0 7E8 20 %s node 0 FD\n" % self.RX.hex(" "), "3000 0 7E0 1 FD port 0\n"]}
        for name, lines in files.items():
            with open(os.path.join(tmp, name), "w") as f:
                f.writelines(lines)
        self.assertEqual(sources.read_capture(os.path.join(tmp, "bus_capture.txt")),
                         [(0x7E0, self.SF, True, 1e-6, True, True), (0x7E8, self.RX, False, 2e-6, True, False),
                          (0x7E0, b"\xfd", True, 3e-6, False, False)])
        code, text, rows = view(tmp, os.path.join(tmp, "pdu_trace.log"))
        self.assertEqual([(r["dir"], r["len"], r["detail"]) for r in rows],
                         [("TX", "10", "01.01.2026 CAN FD BRS"), ("RX", "18", "01.01.2026 CAN FD BRS")])
        # The data rate from the trace's parameter, else from the option.
        for options, head, data_rate in (((), ioctl, 4e6), (("--data-rate", "1000000"), [], 1e6)):
            with open(os.path.join(tmp, "pt_vector.log"), "w") as f:
                f.writelines(["00:00:01.000;01.01.2026;Create tracefile\n"] + head + frames)
            code, text, rows = view(tmp, *options, os.path.join(tmp, "pt_vector.log"))
            self.assertNotIn("left out", text)
            self.assertEqual([(r["dir"], r["len"], r["result"], r["detail"]) for r in rows if r["what"] == "ISO-TP"],
                             [("TX", "10", "confirmed", "CAN FD BRS"), ("RX", "18", "complete; not read by the host",
                               "CAN FD BRS"), ("TX", "5000", "incomplete: the trace ends first", "CAN FD BRS")])
            for log in LOGS:
                messages = list(can.LogReader(os.path.join(tmp, log)))
                self.assertEqual([(m.arbitration_id, bytes(m.data), m.is_fd, m.bitrate_switch, m.error_state_indicator)
                                  for m in messages], [(0x7E0, self.SF, True, True, False), (0x7E8, self.RX, True, True,
                                  True), (0x7E0, self.FF, True, True, False), (0x7E0, self.CF, True, True, False)])
                # The consecutive frame queued behind the first frame: it took its own time on the bus.
                self.assertAlmostEqual((messages[3].timestamp - messages[2].timestamp) * 1000.0,
                                       frame_ms(0x7E0, False, self.CF, 500000, True, True, data_rate), delta=0.002)


def _bits(value, width):
    return [(value >> i) & 1 for i in range(width - 1, -1, -1)]


def crc15(bits):
    """The CAN CRC by its definition: the bits times x^15 modulo x^15+x^14+x^10+x^8+x^7+x^4+x^3+1."""
    value = int("".join(map(str, bits)) or "0", 2) << 15
    while value.bit_length() > 15:
        value ^= 0xC599 << (value.bit_length() - 16)
    return value


def stuffed_frame(can_id, extended, data):
    """(bits on the bus, stuff bits) of a classic data frame written out bit by bit: SOF, identifier (or
    its 11 upper bits, SRR, IDE, 18 lower bits), RTR, IDE or r1, r0, DLC, data and CRC stuffed (after
    five equal bits one of the other level, the first of the next run), then 13 bits unstuffed."""
    if extended:
        head = [0] + _bits(can_id >> 18, 11) + [1, 1] + _bits(can_id & 0x3FFFF, 18) + [0, 0, 0]
    else:
        head = [0] + _bits(can_id, 11) + [0, 0, 0]
    fields = head + _bits(len(data), 4) + [b for byte in data for b in _bits(byte, 8)]
    stuffable = fields + _bits(crc15(fields), 15)
    stuff, level, run = 0, None, 0
    for bit in stuffable:
        run = run + 1 if bit == level else 1
        level = bit
        if run == 5:
            stuff += 1
            level, run = 1 - bit, 1
    return len(stuffable) + stuff + 13, stuff


class BitsOnTheBus(unittest.TestCase):
    def test_the_frame_written_out_is_right(self):
        # The catalogue's check value of CRC-15/CAN (of the ASCII bytes "123456789") is 0x059E. Identifier
        # 0 without data: 34 dominant bits in a row (the CRC of zeros is zero), 6 stuff bits, 13 after.
        self.assertEqual(crc15([b for byte in b"123456789" for b in _bits(byte, 8)]), 0x059E)
        self.assertEqual(stuffed_frame(0, False, b""), (53, 6))

    def test_stuffed_bits_of_standard_and_extended_frames(self):
        frames = [(0, False, b""), (0x7FF, False, b""), (0x7E0, False, bytes([0x02, 0x10, 0x03])),
                  (0x7E8, False, bytes([0x30, 0x08, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF])),
                  (0x555, False, b"\x55" * 8), (0x2AA, False, b"\xaa" * 8), (0x000, False, b"\x00" * 8),
                  (0x7FF, False, b"\xff" * 8), (0x10F, False, b"\x0f\x83\xe0\xf8\x3e\x0f\x83\xe0"),
                  (0, True, b""), (0x1FFFFFFF, True, b""), (0x18DA10F1, True, bytes([0x02, 0x10, 0x03])),
                  (0x18DAF110, True, b"\x00" * 8), (0x15555555, True, b"\x55" * 8), (0x0AAAAAAA, True, b"\xff" * 8)]
        noise = random.Random(2534)
        for _ in range(3000):
            extended = noise.random() < 0.5
            data = bytes(noise.choice((0x00, 0xFF, noise.getrandbits(8))) for _ in range(noise.randint(0, 8)))
            frames.append((noise.getrandbits(29 if extended else 11), extended, data))
        stuffing, wrong = set(), []
        for can_id, extended, data in frames:
            bits, stuff = stuffed_frame(can_id, extended, data)
            stuffing.add(stuff)
            # At most one stuff bit for each four bits after the first of the g + 8 n stuffable ones.
            g = 54 if extended else 34
            self.assertLessEqual(bits, g + 8 * len(data) + 13 + (g + 8 * len(data) - 1) // 4)
            counted = (frame_bits(can_id, extended, data), least_bits(extended, len(data)))
            if counted != (bits, g + 8 * len(data) + 13):
                wrong.append((hex(can_id), extended, data.hex(), counted, (bits, g + 8 * len(data) + 13)))
        self.assertEqual(wrong[:5], [], "%d of %d frames counted wrong" % (len(wrong), len(frames)))
        self.assertTrue(set(range(16)) <= stuffing, sorted(stuffing))

    def test_fd_frames_counted_by_hand(self):
        # (nominal, data-rate) bits. Nominal: SOF to BRS 17 (36 with a 29-bit id), their stuff bits, ACK,
        # EOF, intermission 12. Data rate: ESI and DLC 5, the data, its stuff bits, stuff count 4, CRC 17 (up
        # to 16 bytes) or 21, fixed stuff bits 6 or 7, CRC delimiter 1.
        cases = [((0x2AA, False, b"\x55" * 8), (29, 5 + 64 + 28)),     # bits alternate: no stuff bit
                 ((0x2AA, False, b"\x55" * 16), (29, 5 + 128 + 28)),   # the longest frame with CRC-17
                 ((0x2AA, False, b"\x55" * 20), (29, 5 + 160 + 33)),   # the shortest with CRC-21
                 # 5 dominant bits end the data: the first fixed stuff bit is their stuff bit.
                 ((0x2AA, False, b"\xe0"), (29, 5 + 8 + 28)),
                 # SOF to IDE 14 dominant bits: 2 stuff bits; 512 after the DLC 1111: 102.
                 ((0, False, bytes(64)), (17 + 2 + 12, 5 + 512 + 102 + 33)),
                 # SOF and base id 12 dominant: 2; id extension and RRS 19: 3; DLC 0001 and 0xff: 5 recessive, 1.
                 ((0, True, b"\xff"), (36 + 5 + 12, 5 + 8 + 1 + 28))]
        for frame, bits in cases:
            self.assertEqual(fd_frame_bits(*frame), bits, frame)
        # With bit-rate switch 29 bits at 500 kbit/s and 97 at 2 Mbit/s; without, all 126 at 500 kbit/s.
        for brs, ms in ((True, 0.058 + 0.0485), (False, 0.252)):
            self.assertAlmostEqual(frame_ms(0x2AA, False, b"\x55" * 8, 500000, True, brs, 2000000), ms)


if __name__ == "__main__":
    unittest.main()
