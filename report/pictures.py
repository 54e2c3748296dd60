"""The pictures of the report, as PNG bytes. A long series is drawn as bands (the smallest, mean and
largest value of each of a bounded number of bins, made by series.Bands as the log is read), so a picture
costs the same for any log length and still shows every jump; anomaly markers are thinned out to a
bounded number (analysis.MARKERS)."""
from __future__ import annotations

import io

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from analysis import ANOMALIES  # noqa: E402

WIDTH = 10.0  # inches
DPI = 80
COLOURS = {"video": "#1f5fa8", "audio": "#c2561a", "original": "#9a9a9a"}
MARKER_STYLE = {
    "missing": ("x", "#7b1fa2"),
    "not_increasing": ("v", "#d32f2f"),
    "pts_before_dts": ("s", "#f9a825"),
    "gap": ("^", "#2e7d32"),
    "jump_back": ("D", "#000000"),
    "repaired": ("|", "#00838f"),
}


def series(ax, binned, colour, label=None, linewidth=1.0, **style):
    """A line through the points (x, y), or for a long series (x, low, mean, high) its band from smallest
    to largest value per bin with a line through the means: every jump stays visible."""
    if len(binned) == 2:
        x, y = binned
        ax.plot(x, y, color=colour, linewidth=linewidth, label=label, **style)
        return
    xs, low, mean, high = binned
    ax.fill_between(xs, low, high, color=colour, alpha=0.35, linewidth=0)
    ax.plot(xs, mean, color=colour, linewidth=linewidth, label=label, **style)


def _legend(ax, size=8):
    """Above the plot, right of the title, so that it hides no data."""
    ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize=size, ncol=4, frameon=False,
              borderaxespad=0.1, handlelength=1.5, columnspacing=1.0)


def _png(figure):
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=DPI)
    plt.close(figure)
    return out.getvalue()


def _figure(rows):
    figure, axes = plt.subplots(rows, 1, figsize=(WIDTH, 0.6 + 2.4 * rows), squeeze=False, layout="constrained")
    for ax in axes[:, 0]:
        ax.grid(True, color="#e4e4e4", linewidth=0.6)
        ax.set_axisbelow(True)
    return figure, list(axes[:, 0])


def dts_over_capture(kinds):
    figure, axes = _figure(len(kinds))
    for ax, kind in zip(axes, kinds):
        for label, binned, colour, width in (("original DTS", kind.original_dts, COLOURS["original"], 3.0),
                                             ("written DTS", kind.written_dts, COLOURS[kind.name], 1.0)):
            series(ax, binned, colour, label, width)
        ax.set_title(f"{kind.name}: DTS per packet", loc="left", fontsize=10)
        ax.set_xlabel("packet id")
        ax.set_ylabel(f"DTS ({kind.ticks_name})")
        _legend(ax)
    return _png(figure)


def bit_rate(kinds):
    figure, axes = _figure(len(kinds))
    for ax, kind in zip(axes, kinds):
        ax.set_title(f"{kind.name}: bit rate", loc="left", fontsize=10)
        ax.set_xlabel("time (s)")
        if kind.rate is None:
            ax.text(0.5, 0.5, "no packet with a PTS", transform=ax.transAxes, ha="center")
            continue
        kbits, edges, width = kind.rate.kbits()
        ax.stairs(kbits, edges, color=COLOURS[kind.name], fill=True, alpha=0.35)
        ax.stairs(kbits, edges, color=COLOURS[kind.name], linewidth=0.8)
        ax.set_ylabel("kbit/s" if width == 1 else f"kbit/s per {width:g} s")
    return _png(figure)


def dts_steps(kinds):
    figure, axes = _figure(len(kinds))
    for ax, kind in zip(axes, kinds):
        unit = "ms" if kind.time_base else "ticks"
        series(ax, kind.step_bands, COLOURS[kind.name], "DTS step", 0.8)
        for key, title, _ in ANOMALIES:
            ids, steps = kind.markers[key]
            if len(ids):
                marker, colour = MARKER_STYLE[key]
                ax.scatter(ids, steps, marker=marker, color=colour, s=28, linewidths=1.2, zorder=3,
                           label=f"{title} ({kind.counts[key]})")
        if kind.median_step and kind.step_range.first is not None:
            median = abs(kind.seconds(np.array([kind.median_step]))[0] * kind.step_scale)
            low, high = kind.step_range.low, kind.step_range.high
            if max(abs(low), abs(high)) > 20 * median:  # big jumps: keep the ordinary steps readable too
                ax.set_yscale("symlog", linthresh=2 * median, linscale=1.5)
            else:
                ax.set_ylim(min(0.0, low * 1.1), max(high * 1.15, median * 2))
        ax.set_title(f"{kind.name}: DTS step per packet", loc="left", fontsize=10)
        ax.set_xlabel("packet id")
        ax.set_ylabel(f"step ({unit})")
        _legend(ax, 7)
    return _png(figure)


def key_frames(kind):
    figure, (ax,) = _figure(1)
    ax.set_title("video: key frames (distance to the previous key frame)", loc="left", fontsize=10)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("distance (s)")
    timed_keys = kind.census.key_times
    if timed_keys > 1:
        series(ax, kind.key_gaps, COLOURS["video"], drawstyle="steps-pre")
    if 0 < timed_keys:
        if kind.key_times is not None:
            ax.eventplot(kind.key_times, lineoffsets=0, linelengths=0.06, colors="#333333",
                         transform=ax.get_xaxis_transform())
    else:
        ax.text(0.5, 0.5, "no key frame", transform=ax.transAxes, ha="center")
    return _png(figure)


def drift(drift_bands):
    figure, (ax,) = _figure(1)
    ax.set_title("audio time minus video time, at each audio packet", loc="left", fontsize=10)
    ax.set_xlabel("audio time (s)")
    ax.set_ylabel("difference (ms)")
    series(ax, drift_bands, "#5d4037", linewidth=0.8)
    ax.axhline(0, color="#888888", linewidth=0.6)
    return _png(figure)
