"""The transfer table: failed and timed-out rows first, then the rest, each
part in time order. Finished rows wait on disk, not in memory."""
import csv
import heapq
import tempfile

COLUMNS = ("#", "what", "start", "dir", "CAN id", "peer id", "len", "frames", "span ms bus",
           "conf ms host", "dlvr ms host", "BS", "STmin", "flow control", "result", "time-outs", "errors", "detail")
_WIDTH = (6, 8, 13, 4, 7, 8, 5, 7, 12, 13, 13, 4, 6, 13)


def _clock(ms):
    ms = int(ms) % 86400000
    return "%02d:%02d:%02d.%03d" % (ms // 3600000, ms // 60000 % 60, ms // 1000 % 60, ms % 1000)


def _id(v):
    return "" if v is None else "0x%X" % v


def _after(t, start):
    return "" if t is None else "%.1f" % (t - start)


def row_of(r):
    span = "" if r.first is None or r.what == "PDU" else "%.1f" % (r.last - r.first)
    clock = _clock(r.start)[:8] if r.clock == "wall" else _clock(r.start)
    ext = " ext 0x%02X" % r.ext if isinstance(r.ext, int) and r.what == "ISO-TP" else ""
    detail = r.detail + ext + (" " + r.fd if r.fd else "")
    return (str(r.number), r.what, clock, r.direction, _id(r.can_id), _id(r.flow_id) if r.what != "call" else "",
            "" if r.length is None else str(r.length), str(r.frames) if r.what == "ISO-TP" else "", span,
            _after(r.confirm, r.first), _after(r.deliver, r.first),
            "/".join(str(b) for b in r.bs), "/".join(str(s) for s in r.stmin),
            " ".join("%s x%d" % kv for kv in sorted(r.fc.items())), r.result,
            "; ".join(r.timeouts), "; ".join(dict.fromkeys(r.errors)), detail.strip())


class Table:
    def __init__(self):
        self.heap = []
        self.spools = {True: tempfile.TemporaryFile("w+", newline=""),
                       False: tempfile.TemporaryFile("w+", newline="")}
        self.writers = {k: csv.writer(f) for k, f in self.spools.items()}
        self.counts = {True: 0, False: 0}
        self.by_kind = {}

    def add(self, r, open_from):
        """open_from: the smallest number still open; rows before it are final."""
        heapq.heappush(self.heap, (r.number, row_of(r), r.failed))
        self.by_kind[r.what] = self.by_kind.get(r.what, 0) + 1
        self.release(open_from)

    def release(self, open_from=None):
        while self.heap and (open_from is None or self.heap[0][0] < open_from):
            _, row, failed = heapq.heappop(self.heap)
            self.writers[failed].writerow(row)
            self.counts[failed] += 1

    def rows(self, failed):
        f = self.spools[failed]
        f.flush()
        f.seek(0)
        return csv.reader(f)

    def write_csv(self, path):
        self.release()
        with open(path, "w", newline="") as out:
            w = csv.writer(out)
            w.writerow(("failed",) + COLUMNS)
            for failed in (True, False):
                for row in self.rows(failed):
                    w.writerow(("yes" if failed else "no",) + tuple(row))

    def write_text(self, out):
        self.release()
        head = "".join(c.ljust(n - 1)[:n - 1] + " " for c, n in zip(COLUMNS, _WIDTH)) + \
            " | ".join(COLUMNS[len(_WIDTH):])
        for failed, title in ((True, "FAILED OR TIMED OUT"), (False, "ALL OTHERS, IN TIME ORDER")):
            out.write("\n%s (%d)\n%s\n" % (title, self.counts[failed], head))
            for row in self.rows(failed):
                fixed = "".join(v.ljust(n - 1)[:n - 1] + " " for v, n in zip(row, _WIDTH))
                rest = " | ".join(v for v in row[len(_WIDTH):] if v)
                out.write((fixed + rest).rstrip() + "\n")

    def close(self):
        for f in self.spools.values():
            f.close()
