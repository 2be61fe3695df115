"""The trace viewer on traces that pt_demo writes during the test (natively, or
the x64 DLL's under wine): its bus log against the frames the simulated bus
carried, its table against the session's exchanges, its picture, and traces
that are damaged, rotated or written at a lower TRACE value.

PT_DEMO names the pt_demo program, PT_EMULATOR (optional) what runs it."""
import contextlib
import csv
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import can
from matplotlib import image

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from trace_viewer import cli  # noqa: E402

FG = "kept for the functional-group answer"
# The demo's five exchanges: (direction, id, length, result) of every transfer.
SESSION = [("TX", "0x7E0", "2", "confirmed"), ("RX", "0x7E8", "6", "delivered"),
           ("TX", "0x7E0", "3", "confirmed"), ("RX", "0x7E8", "20", "delivered"),
           ("TX", "0x7E0", "4095", "confirmed"), ("RX", "0x7E8", "4095", "delivered"),
           ("TX", "0x6F1", "3", "confirmed"), ("RX", "0x640", "20", "delivered"),
           ("TX", "0x6F0", "2", "confirmed"), ("RX", "0x641", "6", FG), ("RX", "0x642", "6", FG),
           ("RX", "0x643", "6", FG)]
COLOURS = {"single": (0x1F, 0x77, 0xB4), "first": (0xFF, 0x7F, 0x0E), "consecutive": (0x2C, 0xA0, 0x2C),
           "flow control": (0x94, 0x67, 0xBD), "confirmation": (0x7F, 0x7F, 0x7F), "failed": (0xD6, 0x27, 0x28)}


def run_demo(work, *options):
    emulator = [e for e in os.environ.get("PT_EMULATOR", "").split(";") if e]
    os.makedirs(work)
    # A relative work directory means the same folder to wine and to us.
    return subprocess.run(emulator + [os.environ["PT_DEMO"], *options, "work"], cwd=work,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120).returncode


def capture(work):
    """Frames the simulated bus carried: (id, data, sent by us, seconds)."""
    frames = []
    with open(os.path.join(work, "work", "bus_capture.txt")) as f:
        for line in f:
            p = line.split()
            n = int(p[3])
            frames.append((int(p[2], 16), bytes.fromhex("".join(p[4:4 + n])), p[4 + n] == "port", int(p[0]) / 1e9))
    return frames


def frames_of(path):
    return [(m.arbitration_id, bytes(m.data), not m.is_rx) for m in can.LogReader(path)]


def view(out, *args):
    """The viewer's exit code, its text and its CSV rows."""
    text = io.StringIO()
    with contextlib.redirect_stdout(text), contextlib.redirect_stderr(io.StringIO()):
        code = cli.main(["-o", out, "--csv", *args])
    with open(os.path.join(out, "session.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    return code, text.getvalue(), rows


def transfers(rows):
    return [(r["dir"], r["CAN id"], r["len"], r["result"]) for r in rows if r["what"] == "ISO-TP"]


def colour_pixels(png, rgb):
    pixels = image.imread(png)[:, :, :3] * 255
    return int((abs(pixels - rgb).max(axis=2) < 8).sum())


class TraceViewerOnDemo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="trace_viewer_")
        cls.ok = os.path.join(cls.tmp, "session")
        cls.nofc = os.path.join(cls.tmp, "no-flow-control")
        assert run_demo(cls.ok) == 0, "the demo session failed"
        # The engine never answers the 4095-byte request; TRACE=17 has no
        # received frames in pt_vector.log, only the PDU trace.
        run_demo(cls.nofc, "--trace", "17", "--no-flow-control")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def trace(self, work, name="pt_vector.log"):
        return os.path.join(work, "work", name)

    def out(self, name):
        return os.path.join(self.tmp, "out-" + name)

    def test_bus_log_is_the_bus_the_stand_in_carried(self):
        out = self.out("full")
        code, text, rows = view(out, self.trace(self.ok), self.trace(self.ok, "pdu_trace.log"))
        self.assertEqual(code, 0)
        bus = capture(self.ok)
        for log in ("session.asc", "session.blf"):
            self.assertEqual(frames_of(os.path.join(out, log)), [f[:3] for f in bus], log)
        # Times from the first frame: received frames carry the driver's
        # microseconds (the clocks' offset is known within half a millisecond),
        # sent ones the trace's millisecond, later by what delayed the sender.
        asc = [m.timestamp for m in can.ASCReader(os.path.join(out, "session.asc"))]
        for sent, bound in ((False, 0.001), (True, 0.005)):
            worst = max(abs((a - asc[0]) - (f[3] - bus[0][3])) for a, f in zip(asc, bus) if f[2] == sent)
            self.assertLess(worst, bound, "sent" if sent else "received")
        self.assertIn("%d frames sent and %d received" % (sum(f[2] for f in bus), sum(not f[2] for f in bus)), text)

    def test_table_lists_the_five_exchanges(self):
        code, text, rows = view(self.out("table"), self.trace(self.ok))
        self.assertEqual(transfers(rows), SESSION)
        self.assertEqual([r for r in rows if r["failed"] == "yes"], [])
        self.assertNotIn("note:", text)
        long_tx, long_rx = (r for r in rows if r["len"] == "4095" and r["what"] == "ISO-TP")
        # Our flow control announces block size 8: one after the first frame
        # and after every eighth of the 585 consecutive frames.
        self.assertEqual((long_rx["BS"], long_rx["STmin"], long_rx["flow control"], long_rx["frames"]),
                         ("8", "0", "CTS x74", str(1 + 585 + 74)))
        self.assertEqual((long_tx["BS"], long_tx["flow control"], long_tx["frames"]), ("0", "CTS x1", "587"))
        writes = [r for r in rows if r["detail"].startswith("PassThruWriteMsgs")]
        self.assertEqual([(r["CAN id"], r["len"], r["result"]) for r in writes],
                         [(d[1], d[2], "STATUS_NOERROR") for d in SESSION if d[0] == "TX"])
        # The group's answers are kept back (the read returns nothing) until
        # the aggregated answer is read on the CANECU_CLASS id.
        reads = [(r["CAN id"], r["len"], r["result"]) for r in rows
                 if r["detail"].startswith("PassThruReadMsgs") and "confirmation" not in r["detail"]]
        self.assertEqual(reads[-4:], [(d[1], "6", "ERR_BUFFER_EMPTY") for d in SESSION[-3:]] +
                         [("0x6FF", "39", "STATUS_NOERROR")])

    def test_a_transfer_without_flow_control_times_out(self):
        out = self.out("nofc")
        code, text, rows = view(out, self.trace(self.nofc, "pdu_trace.log"), self.trace(self.nofc))
        self.assertEqual(code, 0)
        first = rows[0]
        self.assertEqual((first["failed"], first["dir"], first["CAN id"], first["len"], first["result"]),
                         ("yes", "TX", "0x7E0", "4095", "timed out: no flow control"))
        waited = int(re.match(r"TX time-out after (\d+) ms", first["time-outs"]).group(1))
        self.assertTrue(1000 <= waited <= 1100, waited)
        self.assertEqual(sum(r["failed"] == "yes" for r in rows), 1)
        self.assertIn("need TRACE=2 or above", text)
        # Received messages come from the PDU trace when the frames are missing.
        pdus = [(r["dir"], r["CAN id"]) for r in rows if r["what"] == "PDU"]
        self.assertIn(("RX", "0x640"), pdus)
        sent = [f[:3] for f in capture(self.nofc) if f[2]]
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), sent)
        png = os.path.join(out, "session.png")
        self.assertGreater(colour_pixels(png, COLOURS["failed"]), 200)

    def test_picture_has_every_kind_of_frame(self):
        out = self.out("picture")
        view(out, self.trace(self.ok))
        png = os.path.join(out, "session.png")
        self.assertEqual(image.imread(png).shape[:2], (750, 1200))
        for kind, rgb in COLOURS.items():
            if kind != "failed":
                self.assertGreater(colour_pixels(png, rgb), 15, kind)
        with open(os.path.join(out, "session.svg")) as f:
            self.assertIn("<svg", f.read(2000))

    def test_damaged_trace_is_reported_and_the_rest_read(self):
        with open(self.trace(self.ok), "rb") as f:
            lines = f.read().splitlines(keepends=True)
        frame_lines = [i for i, l in enumerate(lines) if b"RAW-CAN--" in l]
        garbled, cut = frame_lines[1], frame_lines[300]    # the first answer; a frame of the long request
        damaged = lines[:garbled] + [b"\x00\x9f\xffgarbage;;\n"] + lines[garbled + 1:cut] + \
            [b"\xfe\x01 not a trace line\n", lines[cut][:len(lines[cut]) // 2]]
        path = os.path.join(self.tmp, "damaged.log")
        with open(path, "wb") as f:
            f.write(b"".join(damaged))
        out = self.out("damaged")
        code, text, rows = view(out, path)
        self.assertEqual(code, 0)
        self.assertIn("3 malformed or truncated lines left out", text)
        bus = [f[:3] for f in capture(self.ok)]
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), bus[:1] + bus[2:300])
        self.assertEqual(transfers(rows), [SESSION[0], SESSION[2], SESSION[3],
                                           SESSION[4][:3] + ("incomplete: the trace ends first",)])

    def test_rotated_files_are_read_in_the_order_they_were_written(self):
        with open(self.trace(self.ok), "rb") as f:
            lines = f.read().splitlines(keepends=True)
        half = len(lines) // 2
        stamp, date = lines[half][:12], lines[0][13:23]
        older = lines[:half] + [stamp + b";" + date + b";Close tracefile: \n"]
        newer = [stamp + b";" + date + b";Create tracefile\n", lines[1]] + lines[half:]
        paths = [os.path.join(self.tmp, n) for n in ("pt_vector.log", "pt_vector.old")]
        for path, part in zip(paths, (newer, older)):
            with open(path, "wb") as f:
                f.write(b"".join(part))
        out = self.out("rotated")
        code, text, rows = view(out, *paths)
        self.assertEqual(frames_of(os.path.join(out, "session.asc")), [f[:3] for f in capture(self.ok)])
        self.assertEqual(transfers(rows), SESSION)

    def test_pdu_trace_alone_gives_the_messages(self):
        code, text, rows = view(self.out("pdu"), self.trace(self.ok, "pdu_trace.log"))
        self.assertEqual(code, 0)
        self.assertIn("TRACE=18 gives frames", text)
        self.assertEqual([(r["dir"], r["CAN id"]) for r in rows],
                         [(d[0], d[1]) for d in SESSION[:9]] + [("RX", "0x641"), ("RX", "0x642"), ("RX", "0x643")])


if __name__ == "__main__":
    unittest.main()
