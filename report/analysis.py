"""What the packets of a capture say: a summary per kind and its timestamp anomalies, all vectorised.

The anomalies are those of the timestamps as read (orpts, ordts), which are what the source delivered;
packets whose written timestamps differ from those are the ones the tool's repair changed.
"""
from __future__ import annotations

import dataclasses

import numpy as np

from packet_log import MISSING, Packets

LISTED_IDS = 200  # packet ids listed per anomaly
GAP_FACTOR = 3  # a DTS step larger than this many median steps is a gap; back by as much, a jump back

# Anomaly kinds in the order of the page: key, title, explanation.
ANOMALIES = (
    ("missing", "Missing PTS or DTS", "the source gave no PTS or no DTS"),
    ("not_increasing", "DTS not increasing", "DTS equal to or before the previous packet's DTS"),
    ("pts_before_dts", "PTS before DTS", "PTS smaller than DTS"),
    ("gap", "Gaps", f"DTS step more than {GAP_FACTOR} times the median step"),
    ("jump_back", "Backward jumps", f"DTS back by more than {GAP_FACTOR} times the median step"),
    ("repaired", "Repaired", "written PTS or DTS differs from the one read (what -fix 1 changed)"),
)


@dataclasses.dataclass
class Stats:
    minimum: float
    mean: float
    maximum: float


def _stats(values):
    if not len(values):
        return None
    return Stats(float(values.min()), float(values.mean()), float(values.max()))


@dataclasses.dataclass
class Kind:
    """The packets of one kind and what they say."""
    name: str  # "video" or "audio"
    packets: Packets
    time_base: float | None  # seconds per tick, estimated from the lines; None when it cannot be
    first_time: float | None
    last_time: float | None
    duration: float | None
    bytes: int
    bit_rate: float | None  # bit/s
    rate: float | None  # packets/s
    median_step: int  # DTS ticks
    step_rows: np.ndarray  # row of each DTS step's later packet
    steps: np.ndarray  # DTS step (ticks) between packets with a DTS
    key_count: int
    key_times: np.ndarray  # time of each key frame with a PTS
    gop_packets: Stats | None
    gop_seconds: Stats | None
    anomalies: dict  # key -> rows (int64 array)

    @property
    def ticks_name(self):
        return "s" if self.time_base else "ticks"

    def seconds(self, ticks):
        """Ticks as seconds when the time base is known, else as they are (float)."""
        return ticks * self.time_base if self.time_base else ticks.astype(np.float64)


COMMON_RATES = (90000, 1000, 48000, 44100, 32000, 24000, 22050, 16000, 12800, 11025, 8000, 96000, 1000000,
                15360, 30000, 60000, 25, 30, 50, 60)


def _time_base(packets):
    """Seconds per tick from the written PTS and the time printed with it. The printed time has two
    decimals, so the packet with the largest PTS gives the best estimate, and a common rate (or the
    roundest number of ticks per second) within the estimate's error is taken."""
    valid = (packets.pts != MISSING) & (packets.pts != 0)
    if not valid.any():
        return None
    row = np.flatnonzero(valid)[np.argmax(np.abs(packets.pts[valid].astype(np.float64)))]
    seconds = abs(float(packets.time[row]))
    if seconds < 0.5:
        return None  # too short to tell
    rate = packets.pts[row] / packets.time[row]
    if rate <= 0:
        return None
    tolerance = 0.0051 / seconds + 1e-9
    near = [r for r in COMMON_RATES if abs(r / rate - 1) <= tolerance]
    if near:
        return 1 / min(near, key=lambda r: abs(r / rate - 1))
    for digits in range(1, 16):
        rounded = float(f"{rate:.{digits}g}")
        if abs(rounded / rate - 1) <= tolerance:
            return 1 / rounded
    return 1 / rate


def analyse_kind(name, packets):
    timed = packets.pts != MISSING
    times = packets.time[timed]
    first_time = float(times[0]) if len(times) else None
    last_time = float(times[-1]) if len(times) else None
    duration = last_time - first_time if len(times) > 1 else None
    total_bytes = int(packets.size.sum())
    positive = duration is not None and duration > 0
    bit_rate = total_bytes * 8 / duration if positive else None
    rate = (len(times) - 1) / duration if positive else None

    has_dts = packets.orig_dts != MISSING
    dts_rows = np.flatnonzero(has_dts)
    steps = np.diff(packets.orig_dts[dts_rows])
    step_rows = dts_rows[1:]
    forward = steps[steps > 0]
    median = int(np.median(forward)) if len(forward) else 0

    pts, dts = packets.orig_pts, packets.orig_dts
    anomalies = {
        "missing": np.flatnonzero((pts == MISSING) | ~has_dts),
        "not_increasing": step_rows[steps <= 0],
        "pts_before_dts": np.flatnonzero((pts != MISSING) & has_dts & (pts < dts)),
        "gap": step_rows[steps > GAP_FACTOR * median] if median else step_rows[:0],
        "jump_back": step_rows[steps < -GAP_FACTOR * median] if median else step_rows[steps < 0],
        "repaired": np.flatnonzero((packets.pts != pts) | (packets.dts != dts)),
    }

    key_rows = np.flatnonzero(packets.key)
    gop_packets = _stats(np.diff(key_rows))
    key_times = packets.time[key_rows[timed[key_rows]]]
    gop_seconds = _stats(np.diff(key_times))
    return Kind(name, packets, _time_base(packets), first_time, last_time, duration, total_bytes, bit_rate, rate,
                median, step_rows, steps, len(key_rows), key_times, gop_packets, gop_seconds, anomalies)


@dataclasses.dataclass
class Drift:
    """Audio time minus the time of the latest video packet before it in the same log, at each audio
    packet: in a log of both kinds, lines follow the order in which the packets arrived."""
    time: np.ndarray  # audio time (s)
    difference: np.ndarray  # s


def drift(packets):
    rows = np.arange(len(packets))
    usable = packets.pts != MISSING
    video_row = np.where(packets.video & usable, rows, -1)
    latest_video = np.maximum.accumulate(video_row)
    audio = np.flatnonzero(~packets.video & usable & (latest_video >= 0))
    audio = audio[packets.file[latest_video[audio]] == packets.file[audio]]
    if not len(audio):
        return None
    return Drift(packets.time[audio], packets.time[audio] - packets.time[latest_video[audio]])


@dataclasses.dataclass
class Capture:
    kinds: list  # Kind, video first
    drift: Drift | None


def analyse(packets):
    """What the packets say. Takes the packets' columns over: they are split by kind one at a time and
    released, so that a long capture is held in memory about once."""
    audio_on_video = drift(packets)
    parts = packets.split(packets.video)
    kinds = [analyse_kind(name, part) for name, part in zip(("video", "audio"), parts) if len(part)]
    return Capture(kinds, audio_on_video)
