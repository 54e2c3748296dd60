"""The pictures of the report, as PNG bytes. A long series is drawn as bands (the smallest, mean and
largest value of each of a bounded number of bins), so a picture costs the same for any log length and
still shows every jump; anomaly markers are thinned out to a bounded number."""
from __future__ import annotations

import io

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from analysis import ANOMALIES  # noqa: E402
from packet_log import MISSING  # noqa: E402

BINS = 1500  # bins of a long series
MARKERS = 600  # anomaly markers per kind and anomaly
RATE_BINS = 4000  # bit rate bins at most
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


def bands(x, y, bins=BINS):
    """Per bin of consecutive points (at most bins of them): its first x, and the smallest, mean and
    largest y. None when the series is short enough to draw point by point."""
    n = len(x)
    if n <= 2 * bins:
        return None
    size = -(-n // bins)
    count = -(-n // size)
    pad = count * size - n
    ys = np.concatenate([y, np.repeat(y[-1:], pad)]).reshape(count, size)
    return x[::size], ys.min(axis=1), ys.mean(axis=1), ys.max(axis=1)


def series(ax, x, y, colour, label=None, linewidth=1.0, **style):
    """A line through the points, or for a long series its band from smallest to largest value per bin
    with a line through the means: every jump stays visible."""
    binned = bands(x, y)
    if binned is None:
        ax.plot(x, y, color=colour, linewidth=linewidth, label=label, **style)
        return
    xs, low, mean, high = binned
    ax.fill_between(xs, low, high, color=colour, alpha=0.35, linewidth=0)
    ax.plot(xs, mean, color=colour, linewidth=linewidth, label=label, **style)


def _legend(ax, size=8):
    """Above the plot, right of the title, so that it hides no data."""
    ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), fontsize=size, ncol=4, frameon=False,
              borderaxespad=0.1, handlelength=1.5, columnspacing=1.0)


def _thin(values, limit=MARKERS):
    if len(values) <= limit:
        return values
    return values[np.linspace(0, len(values) - 1, limit).astype(np.int64)]


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
        p = kind.packets
        for label, values, colour, width in (("original DTS", p.orig_dts, COLOURS["original"], 3.0),
                                             ("written DTS", p.dts, COLOURS[kind.name], 1.0)):
            have = values != MISSING
            series(ax, p.id[have], kind.seconds(values[have]), colour, label, width)
        ax.set_title(f"{kind.name}: DTS per packet", loc="left", fontsize=10)
        ax.set_xlabel("packet id")
        ax.set_ylabel(f"DTS ({kind.ticks_name})")
        _legend(ax)
    return _png(figure)


def bit_rate(kinds):
    figure, axes = _figure(len(kinds))
    for ax, kind in zip(axes, kinds):
        p = kind.packets
        timed = p.pts != MISSING
        times, sizes = p.time[timed], p.size[timed]
        ax.set_title(f"{kind.name}: bit rate", loc="left", fontsize=10)
        ax.set_xlabel("time (s)")
        if not len(times):
            ax.text(0.5, 0.5, "no packet with a PTS", transform=ax.transAxes, ha="center")
            continue
        start = np.floor(times.min())
        span = times.max() - start
        width = max(1.0, float(np.ceil(span / RATE_BINS)))
        bins = np.floor((times - start) / width).astype(np.int64)
        kbits = np.bincount(bins, weights=sizes * 8.0) / width / 1000.0
        edges = start + np.arange(len(kbits) + 1) * width
        ax.stairs(kbits, edges, color=COLOURS[kind.name], fill=True, alpha=0.35)
        ax.stairs(kbits, edges, color=COLOURS[kind.name], linewidth=0.8)
        ax.set_ylabel("kbit/s" if width == 1 else f"kbit/s per {width:g} s")
    return _png(figure)


def dts_steps(kinds):
    figure, axes = _figure(len(kinds))
    for ax, kind in zip(axes, kinds):
        unit = "ms" if kind.time_base else "ticks"
        scale = 1000.0 if kind.time_base else 1.0
        steps = kind.seconds(kind.steps) * scale
        ids = kind.packets.id
        series(ax, ids[kind.step_rows], steps, COLOURS[kind.name], "DTS step", 0.8)
        step_at = np.zeros(len(ids))
        step_at[kind.step_rows] = steps
        for key, title, _ in ANOMALIES:
            rows = _thin(kind.anomalies[key])
            if len(rows):
                marker, colour = MARKER_STYLE[key]
                ax.scatter(ids[rows], step_at[rows], marker=marker, color=colour, s=28, linewidths=1.2, zorder=3,
                           label=f"{title} ({len(kind.anomalies[key])})")
        if kind.median_step and len(steps):
            median = abs(kind.seconds(np.array([kind.median_step]))[0] * scale)
            if np.abs(steps).max() > 20 * median:  # big jumps: keep the ordinary steps readable too
                ax.set_yscale("symlog", linthresh=2 * median, linscale=1.5)
            else:
                ax.set_ylim(min(0.0, steps.min() * 1.1), max(steps.max() * 1.15, median * 2))
        ax.set_title(f"{kind.name}: DTS step per packet", loc="left", fontsize=10)
        ax.set_xlabel("packet id")
        ax.set_ylabel(f"step ({unit})")
        _legend(ax, 7)
    return _png(figure)


def key_frames(kind):
    figure, (ax,) = _figure(1)
    times = kind.key_times
    ax.set_title("video: key frames (distance to the previous key frame)", loc="left", fontsize=10)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("distance (s)")
    if len(times) > 1:
        series(ax, times[1:], np.diff(times), COLOURS["video"], drawstyle="steps-pre")
    if 0 < len(times) <= 2000:
        ax.eventplot(times, lineoffsets=0, linelengths=0.06, colors="#333333",
                     transform=ax.get_xaxis_transform())
    elif not len(times):
        ax.text(0.5, 0.5, "no key frame", transform=ax.transAxes, ha="center")
    return _png(figure)


def drift(drift_series):
    figure, (ax,) = _figure(1)
    ax.set_title("audio time minus video time, at each audio packet", loc="left", fontsize=10)
    ax.set_xlabel("audio time (s)")
    ax.set_ylabel("difference (ms)")
    series(ax, drift_series.time, drift_series.difference * 1000.0, "#5d4037", linewidth=0.8)
    ax.axhline(0, color="#888888", linewidth=0.6)
    return _png(figure)
