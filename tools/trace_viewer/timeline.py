"""The timeline picture: one lane per CAN id, the J2534 calls on a lane of
their own, time-outs and errors marked, and one transfer zoomed in below,
each frame there with a bar as long as its time on the bus; CAN FD frames'
bars are hatched and their lanes say "FD"."""
from array import array

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend must be chosen first)
from matplotlib.patches import Patch  # noqa: E402

from .analyse import ACK, CF, FC, FF, RAW, SF  # noqa: E402

KINDS = (SF, FF, CF, FC, ACK, RAW)
COLOURS = {SF: "#1f77b4", FF: "#ff7f0e", CF: "#2ca02c", FC: "#9467bd", ACK: "#7f7f7f", RAW: "#8c564b"}
CALL_COLOUR, FAILED_COLOUR, ERROR_COLOUR = "#17becf", "#d62728", "#e8a200"
FD_HATCH = "////"
_CAP = 40000   # marks kept per lane; beyond, every other one


class _Lane:
    __slots__ = ("times", "kinds", "stride", "seen", "rx", "tx", "fd")

    def __init__(self):
        self.times, self.kinds = array("d"), array("b")
        self.stride, self.seen, self.rx, self.tx, self.fd = 1, 0, 0, 0, 0

    def add(self, t, kind):
        self.seen += 1
        if self.seen % self.stride:
            return
        self.times.append(t)
        self.kinds.append(kind)
        if len(self.times) >= _CAP:
            self.times, self.kinds = self.times[::2], self.kinds[::2]
            self.stride *= 2


class Timeline:
    def __init__(self):
        self.lanes = {}
        self.calls = _Lane()        # start times; kinds 1 = failed
        self.call_ends = array("d")
        self.marks = []             # (t, can id or None, label)
        self.zoom = None            # record whose frames are kept
        self.zoom_reason = ""

    def frame(self, f):
        lane = self.lanes.get(f.can_id)
        if lane is None:
            lane = self.lanes[f.can_id] = _Lane()
        if f.rx:
            lane.rx += 1
        elif f.kind != ACK:
            lane.tx += 1
        lane.fd += f.is_fd
        lane.add(f.t, KINDS.index(f.kind))

    def mark(self, t, can_id, label):
        if len(self.marks) < 2000:
            self.marks.append((t, can_id, label))

    def call(self, r):
        before = len(self.calls.times)
        self.calls.add(r.start, 1 if r.failed else 0)
        if len(self.calls.times) > before:
            self.call_ends.append(r.end if r.end is not None else r.start)
        elif len(self.call_ends) > len(self.calls.times):
            self.call_ends = self.call_ends[::2][:len(self.calls.times)]

    def offer(self, r, selected):
        """Keeps the frames of the selected record, else of the first failed
        transfer, else of the one with the most frames."""
        if r.what != "ISO-TP" or not r.kept:
            return
        if selected is not None:
            if r.number == selected:
                self.zoom, self.zoom_reason = r, "selected"
            return
        z = self.zoom
        if r.failed:
            if z is None or not z.failed or r.number < z.number:
                self.zoom, self.zoom_reason = r, "first failed"
        elif z is None or (not z.failed and r.frames > z.frames):
            self.zoom, self.zoom_reason = r, "most frames"

    # ---- drawing ---------------------------------------------------------------
    def draw(self, paths, origin, title):
        ids = sorted(self.lanes)
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 7.5), dpi=100,
                                          gridspec_kw={"height_ratios": [3, 2], "hspace": 0.42})
        fig.suptitle(title, fontsize=11, x=0.01, y=0.99, ha="left")
        labels = ["J2534 calls"]
        for i, can_id in enumerate(ids):
            lane = self.lanes[can_id]
            who = "sent" if lane.rx == 0 else "received" if lane.tx == 0 else "both"
            labels.append("0x%X %s%s" % (can_id & 0x1FFFFFFF, who, " FD" if lane.fd else ""))
        ys = {can_id: -(i + 1) for i, can_id in enumerate(ids)}
        self._lanes(top, ids, ys, origin, labels)
        self._zoom(bottom, origin)
        handles = [plt.Line2D([], [], color=COLOURS[k], marker="|", linestyle="none", markersize=12,
                              markeredgewidth=2, label=k) for k in KINDS if k != RAW]
        handles.append(plt.Line2D([], [], color=FAILED_COLOUR, marker="X", linestyle="none", markersize=9,
                                  label="time-out"))
        handles.append(plt.Line2D([], [], color=ERROR_COLOUR, marker="^", linestyle="none", markersize=8,
                                  label="error line"))
        handles.append(Patch(color=CALL_COLOUR, label="J2534 call (red: failed)"))
        if any(lane.fd for lane in self.lanes.values()):
            handles.append(Patch(facecolor="white", edgecolor="#555555", hatch=FD_HATCH, label="CAN FD frame"))
        fig.legend(handles=handles, loc="upper left", ncol=len(handles), fontsize=8, frameon=False,
                   bbox_to_anchor=(0.005, 0.962), handletextpad=0.3, columnspacing=1.4)
        fig.subplots_adjust(left=0.11, right=0.98, top=0.875, bottom=0.08)
        for path in paths:
            fig.savefig(path)
        plt.close(fig)

    def _lanes(self, ax, ids, ys, origin, labels):
        times = [t for lane in self.lanes.values() for t in (lane.times[:1] + lane.times[-1:])]
        # Marks closer than a pixel are drawn once: the picture costs the same
        # for an hour as for a minute.
        step = (max(times) - min(times)) / 4000.0 if times else 1.0
        step = step or 1.0
        for can_id in ids:
            lane = self.lanes[can_id]
            y = ys[can_id]
            for k, kind in enumerate(KINDS):
                cells = sorted({int((t - origin) / step) for t, kk in zip(lane.times, lane.kinds) if kk == k})
                xs = [c * step / 1000.0 for c in cells]
                if xs:
                    ax.plot(xs, [y] * len(xs), linestyle="none", marker="|", markersize=14,
                            markeredgewidth=1.6, color=COLOURS[kind])
        spans = [((s - origin) / 1000.0, max((e - s) / 1000.0, 0.0005))
                 for s, e in zip(self.calls.times, self.call_ends)]
        ok = [sp for sp, f in zip(spans, self.calls.kinds) if not f]
        bad = [sp for sp, f in zip(spans, self.calls.kinds) if f]
        ax.broken_barh(ok, (-0.25, 0.5), color=CALL_COLOUR)
        ax.broken_barh(bad, (-0.3, 0.6), color=FAILED_COLOUR)
        for t, can_id, label in self.marks:
            y = ys.get(can_id, 0)
            x = (t - origin) / 1000.0
            if "time-out" in label:
                ax.plot([x], [y], marker="X", markersize=10, color=FAILED_COLOUR, linestyle="none")
            else:
                ax.plot([x], [y], marker="^", markersize=8, color=ERROR_COLOUR, linestyle="none")
            if can_id is not None:
                ax.annotate(label, (x, y), xytext=(6, 6), textcoords="offset points", fontsize=8,
                            color=FAILED_COLOUR)
        ax.set_yticks([0] + [ys[i] for i in ids])
        ax.set_yticklabels(labels, fontsize=9)
        ax.set_ylim(-len(ids) - 0.7, 0.7)
        ax.set_xlabel("seconds from the first line of the trace", fontsize=9)
        ax.grid(axis="x", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        ax.set_title("whole trace", fontsize=10, loc="left")

    def _zoom(self, ax, origin):
        z = self.zoom
        if z is None or not z.kept:
            ax.text(0.5, 0.5, "no transfer with frames to zoom in on", ha="center", va="center",
                    transform=ax.transAxes, color="#777777")
            ax.set_axis_off()
            return
        frames = sorted(z.kept, key=lambda f: f.t)
        t0 = frames[0].t
        ids = sorted({f.can_id for f in frames})
        ys = {i: -n for n, i in enumerate(ids)}
        for f in frames:
            ax.plot([f.t - t0], [ys[f.can_id]], linestyle="none", marker="|", markersize=18,
                    markeredgewidth=2, color=COLOURS[f.kind])
            if f.dur:
                start = f.t - t0 - (f.dur if f.exact else 0.0)
                ax.broken_barh([(start, f.dur)], (ys[f.can_id] - 0.12, 0.24), facecolor=COLOURS[f.kind],
                               edgecolor="black" if f.is_fd else COLOURS[f.kind], linewidth=0.4,
                               hatch=FD_HATCH if f.is_fd else None)
        gaps = [(b.t - a.t, a, b) for a, b in zip(frames, frames[1:])]
        span = max(frames[-1].t - t0, 1e-3)
        chosen = []
        for gap in sorted(gaps, key=lambda g: -g[0]):
            # The largest gaps, as many as fit side by side without overlapping.
            if len(chosen) >= 8:
                break
            mid = (gap[1].t + gap[2].t) / 2
            if all(abs(mid - (c[1].t + c[2].t) / 2) > span * 0.07 for c in chosen):
                chosen.append(gap)
        for gap, a, b in chosen:
            y = max(ys[a.can_id], ys[b.can_id]) + 0.3
            ax.annotate("", (b.t - t0, y), (a.t - t0, y),
                        arrowprops=dict(arrowstyle="<->", color="#555555", linewidth=0.8, shrinkA=0, shrinkB=0))
            ax.text((a.t + b.t) / 2 - t0, y + 0.04, "%.2f ms" % gap, ha="center", va="bottom", fontsize=8)
        end = frames[-1].t
        # The bars: a stamped frame's ends at its stamp, another's starts at its line.
        bars = (min([0.0] + [f.t - t0 - f.dur for f in frames if f.exact and f.dur]),
                max(f.t + (0.0 if f.exact else f.dur or 0.0) for f in frames))
        problems = z.timeouts + z.errors
        if problems:
            # The end of a failed transfer is the time-out or error line:
            # the silence before it is the gap that matters.
            stop = max(z.end or end, end)
            y = ys.get(z.can_id, 0)
            ax.plot([stop - t0], [y], marker="X", markersize=12, color=FAILED_COLOUR, linestyle="none")
            ax.annotate(problems[0], (stop - t0, y), xytext=(-8, -18), textcoords="offset points",
                        fontsize=8, color=FAILED_COLOUR, ha="right")
            if stop - end > span * 0.1:
                ax.annotate("", (stop - t0, y + 0.3), (end - t0, y + 0.3),
                            arrowprops=dict(arrowstyle="<->", color=FAILED_COLOUR, linewidth=0.8,
                                            shrinkA=0, shrinkB=0))
                ax.text((stop + end) / 2 - t0, y + 0.34, "%.0f ms without a frame of this transfer" % (stop - end),
                        ha="center", va="bottom", fontsize=8, color=FAILED_COLOUR)
            end = stop
        median = ", median gap %.2f ms" % sorted(g for g, _, _ in gaps)[len(gaps) // 2] if gaps else ""
        ax.set_yticks(list(ys.values()))
        ax.set_yticklabels(["0x%X" % (i & 0x1FFFFFFF) for i in ids], fontsize=9)
        ax.set_ylim(-len(ids) + 0.4, 0.9)
        pad = max((end - t0) * 0.03, 0.2)
        ax.set_xlim(bars[0] - pad, max(end, bars[1]) - t0 + pad)
        ax.set_xlabel("ms from the transfer's first frame", fontsize=9)
        ax.grid(axis="x", color="#dddddd", linewidth=0.6)
        ax.set_axisbelow(True)
        ax.set_title("#%d (%s): %s 0x%X, %s bytes, %d frame(s)%s, %s" % (
            z.number, self.zoom_reason, z.direction, z.can_id, z.length, z.frames, median, z.result),
            fontsize=10, loc="left", color=FAILED_COLOUR if z.failed else "black")
