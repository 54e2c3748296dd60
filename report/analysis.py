"""What the packets of a capture say: a summary per kind, its timestamp anomalies and the pictures' data.

The logs are read twice, block by block, and only bounded state is kept. The first reading counts what
the second must know in advance: the length of each picture's series (which decides its bins), the
distinct DTS steps (for the median step, and so the gaps and jumps back), the count of each anomaly
(for its markers), the time base and the time range (for the bit rate's bins). The second reading keeps
the summary, the first ids of each anomaly, the markers and the bins.

The anomalies are those of the timestamps as read (orpts, ordts), which are what the source delivered;
packets whose written timestamps differ from those are the ones the tool's repair changed.
"""
from __future__ import annotations

import dataclasses

import numpy as np

from packet_log import MISSING
from series import Bands, First, Picks, Range, Sum, Tally

LISTED_IDS = 200  # packet ids listed per anomaly
GAP_FACTOR = 3  # a DTS step larger than this many median steps is a gap; back by as much, a jump back
MARKERS = 600  # anomaly markers per kind and anomaly
RATE_BINS = 4000  # bit rate bins at most
KEY_TICKS = 2000  # key frames drawn as ticks at most

# Anomaly kinds in the order of the page: key, title, explanation.
ANOMALIES = (
    ("missing", "Missing PTS or DTS", "the source gave no PTS or no DTS"),
    ("not_increasing", "DTS not increasing", "DTS equal to or before the previous packet's DTS"),
    ("pts_before_dts", "PTS before DTS", "PTS smaller than DTS"),
    ("gap", "Gaps", f"DTS step more than {GAP_FACTOR} times the median step"),
    ("jump_back", "Backward jumps", f"DTS back by more than {GAP_FACTOR} times the median step"),
    ("repaired", "Repaired", "written PTS or DTS differs from the one read (what -fix 1 changed)"),
)
# The numbers each reading needs.
FIRST_READING = ("time", "pts", "dts", "orig_pts", "orig_dts")
SECOND_READING = ("id", "time", "pts", "dts", "orig_pts", "orig_dts", "size")

COMMON_RATES = (90000, 1000, 48000, 44100, 32000, 24000, 22050, 16000, 12800, 11025, 8000, 96000, 1000000,
                15360, 30000, 60000, 25, 30, 50, 60)


def time_base(pts, time):
    """Seconds per tick from the written PTS and the time printed with it, of the packet with the
    largest PTS. The printed time has two decimals, so that packet gives the best estimate, and a common
    rate (or the roundest number of ticks per second) within the estimate's error is taken."""
    seconds = abs(float(time))
    if seconds < 0.5:
        return None  # too short to tell
    rate = pts / time
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


class Differences:
    """The differences between consecutive values of a series, from block to block and log to log."""

    def __init__(self):
        self.last = None

    def add(self, values):
        differences = np.diff(values) if self.last is None else np.diff(values, prepend=self.last)
        if len(values):
            self.last = values[-1]
        return differences


class Steps(Differences):
    """The DTS steps (as read) of one kind."""

    def add(self, packets):
        """(rows of the block's packets that end a step, the steps in ticks)."""
        rows = np.flatnonzero(packets.orig_dts != MISSING)
        steps = super().add(packets.orig_dts[rows])
        return rows[len(rows) - len(steps):], steps


def _step_anomalies(steps, median):
    """Masks of the anomalies of the DTS steps, given the median step."""
    return {"not_increasing": steps <= 0,
            "gap": steps > GAP_FACTOR * median if median else np.zeros(len(steps), bool),
            "jump_back": steps < -GAP_FACTOR * median if median else steps < 0}


def _plain_anomalies(packets):
    """Masks of the anomalies that each packet shows on its own."""
    pts, dts = packets.orig_pts, packets.orig_dts
    return {"missing": (pts == MISSING) | (dts == MISSING),
            "pts_before_dts": (pts != MISSING) & (dts != MISSING) & (pts < dts),
            "repaired": (packets.pts != pts) | (packets.dts != dts)}


class Census:
    """The first reading of one kind."""

    def __init__(self):
        self.packets = self.timed = self.dts = self.written_dts = self.key_times = 0
        self.times = Range()  # of the packets with a PTS
        self.largest_pts = None  # (its size as a double, PTS, time)
        self.steps, self.step_values = Steps(), Tally()
        self.plain = dict.fromkeys(("missing", "pts_before_dts", "repaired"), 0)

    def add(self, packets):
        self.packets += len(packets)
        timed = packets.pts != MISSING
        times = packets.time[timed]
        self.timed += len(times)
        self.times.add(times)
        valid = np.flatnonzero(timed & (packets.pts != 0))
        if len(valid):
            sizes = np.abs(packets.pts[valid].astype(np.float64))
            at = np.argmax(sizes)
            if self.largest_pts is None or sizes[at] > self.largest_pts[0]:
                row = valid[at]
                self.largest_pts = (sizes[at], packets.pts[row], packets.time[row])
        rows, steps = self.steps.add(packets)
        self.step_values.add(steps)
        self.dts += np.count_nonzero(packets.orig_dts != MISSING)
        self.written_dts += np.count_nonzero(packets.dts != MISSING)
        self.key_times += np.count_nonzero(packets.key & timed)
        for key, mask in _plain_anomalies(packets).items():
            self.plain[key] += np.count_nonzero(mask)

    def finish(self):
        """The median step, the time base and the count of each anomaly."""
        values, tally = self.step_values.values, self.step_values
        forward = values > 0
        self.median_step = int(tally.median(forward)) if forward.any() else 0
        stepped = _step_anomalies(values, self.median_step)
        self.counts = dict(self.plain, **{key: tally.count(mask) for key, mask in stepped.items()})
        self.time_base = time_base(*self.largest_pts[1:]) if self.largest_pts else None


@dataclasses.dataclass
class Stats:
    minimum: float
    mean: float
    maximum: float


class Spread:
    """The smallest, mean and largest difference between consecutive values of a series, from block to
    block."""

    def __init__(self):
        self.series, self.range, self.sum = Differences(), Range(), Sum()

    def add(self, values):
        """The differences that the values add."""
        differences = self.series.add(values)
        self.range.add(differences)
        self.sum.add(differences)
        return differences

    def stats(self):
        if not self.sum.count:
            return None
        return Stats(float(self.range.low), float(self.sum.mean()), float(self.range.high))


class RateBins:
    """Bytes per bin of stream time, bins of whole seconds (at most about RATE_BINS of them)."""

    def __init__(self, times):
        low, high = times.low, times.high
        self.start = np.floor(low)
        self.width = max(1.0, float(np.ceil((high - self.start) / RATE_BINS)))
        self.bits = np.zeros(int(np.floor((high - self.start) / self.width)) + 1)

    def add(self, times, sizes):
        bins = np.floor((times - self.start) / self.width).astype(np.int64)
        inside = (bins >= 0) & (bins < len(self.bits))  # all of them, unless the log changed in between
        self.bits += np.bincount(bins[inside], weights=sizes[inside] * 8.0, minlength=len(self.bits))

    def kbits(self):
        """(kbit/s per bin, the bins' edges, the bins' width in seconds)."""
        return self.bits / self.width / 1000.0, self.start + np.arange(len(self.bits) + 1) * self.width, self.width


class Kind:
    """The second reading of one kind, and then (finish) what its packets say."""

    def __init__(self, name, census):
        self.name = name
        self.census = census
        self.packets, self.median_step, self.time_base = census.packets, census.median_step, census.time_base
        self.counts = census.counts  # packets with each anomaly
        self.first_id = self.last_id = None
        self.first_time, self.last_time = census.times.first, census.times.last  # of the packets with a PTS
        self.bytes = self.key_count = 0
        self.step_range = Range()  # of the steps as drawn
        self.step_scale = 1000.0 if self.time_base else 1.0  # ms or ticks
        self.rate = RateBins(census.times) if census.timed else None
        self._rows = 0
        self._original_dts, self._written_dts = Bands(census.dts), Bands(census.written_dts)
        self._steps, self._step_bands = Steps(), Bands(max(census.dts - 1, 0))
        self._listed = {key: First(LISTED_IDS) for key, _, _ in ANOMALIES}  # ids
        self._marked = {key: Picks(census.counts[key], MARKERS) for key, _, _ in ANOMALIES}  # (ids, steps)
        self._gop_packets, self._gop_seconds = Spread(), Spread()
        self._key_gaps = Bands(max(census.key_times - 1, 0))  # (time, distance to the key frame before)
        self._key_times = First(census.key_times if census.key_times <= KEY_TICKS else 0)

    @property
    def ticks_name(self):
        return "s" if self.time_base else "ticks"

    def seconds(self, ticks):
        """Ticks as seconds when the time base is known, else as they are (float)."""
        return ticks * self.time_base if self.time_base else ticks.astype(np.float64)

    def add(self, p):
        if not len(p):
            return
        if self.first_id is None:
            self.first_id = int(p.id[0])
        self.last_id = int(p.id[-1])
        self.bytes += int(p.size.sum())
        timed = p.pts != MISSING
        if self.rate:
            self.rate.add(p.time[timed], p.size[timed])
        for bands, values in ((self._original_dts, p.orig_dts), (self._written_dts, p.dts)):
            have = values != MISSING
            bands.add(p.id[have], self.seconds(values[have]))
        self._add_steps(p)
        self.key_count += np.count_nonzero(p.key)
        self._gop_packets.add(np.flatnonzero(p.key) + self._rows)
        key_times = p.time[p.key & timed]
        self._key_times.add(key_times)
        distances = self._gop_seconds.add(key_times)
        self._key_gaps.add(key_times[len(key_times) - len(distances):], distances)
        self._rows += len(p)

    def _add_steps(self, p):
        rows, ticks = self._steps.add(p)
        steps = self.seconds(ticks) * self.step_scale
        self._step_bands.add(p.id[rows], steps)
        self.step_range.add(steps)
        step_at = np.zeros(len(p))
        step_at[rows] = steps
        rows_of = {key: np.flatnonzero(mask) for key, mask in _plain_anomalies(p).items()}
        rows_of.update((key, rows[mask]) for key, mask in _step_anomalies(ticks, self.median_step).items())
        for key, at in rows_of.items():
            self._listed[key].add(p.id[at])
            self._marked[key].add(p.id[at], step_at[at])

    def finish(self):
        timed = self.census.timed
        self.duration = self.last_time - self.first_time if timed > 1 else None
        positive = self.duration is not None and self.duration > 0
        self.bit_rate = self.bytes * 8 / self.duration if positive else None
        self.frame_rate = (timed - 1) / self.duration if positive else None
        self.anomaly_ids = {key: first.result() for key, first in self._listed.items()}  # the first ones
        self.markers = {key: picks.result(2) for key, picks in self._marked.items()}  # (ids, steps)
        self.gop_packets, self.gop_seconds = self._gop_packets.stats(), self._gop_seconds.stats()
        self.key_times = self._key_times.result() if self.census.key_times <= KEY_TICKS else None
        # The pictures' series, each (x, y) or (x, low, mean, high) as series.Bands gives them.
        self.original_dts, self.written_dts = self._original_dts.result(), self._written_dts.result()
        self.step_bands, self.key_gaps = self._step_bands.result(), self._key_gaps.result()
        return self


class Drift:
    """Audio time minus the time of the latest video packet before it in the same log, at each audio
    packet: in a log of both kinds, lines follow the order in which the packets arrived."""

    def __init__(self):
        self.log, self.video_time = None, None  # the latest video packet's time in the log being read

    def add(self, index, block):
        """(audio times, differences) in the block."""
        if index != self.log:
            self.log, self.video_time = index, None
        video, audio = block.video, block.audio
        usable = video.pts != MISSING
        lines, times = video.line[usable], video.time[usable]
        usable = audio.pts != MISSING
        audio_lines, audio_times = audio.line[usable], audio.time[usable]
        before = np.searchsorted(lines, audio_lines) - 1
        if self.video_time is None:  # no video packet in the log yet: audio packets before the first count not
            audio_times, before = audio_times[before >= 0], before[before >= 0]
        video_times = times[np.maximum(before, 0)] if len(times) else np.zeros(len(before))
        if self.video_time is not None:
            video_times[before < 0] = self.video_time
        if len(times):
            self.video_time = times[-1]
        return audio_times, audio_times - video_times


@dataclasses.dataclass
class Capture:
    kinds: list  # Kind, video first
    drift: Range | None  # of audio minus video time (ms)
    drift_bands: tuple | None  # of (audio time, difference in ms)


def analyse(logs):
    """What the packets of the logs (packet_log.Logs) say."""
    census = {"video": Census(), "audio": Census()}
    drift, drift_points = Drift(), 0
    for index, block in logs.blocks(FIRST_READING):
        census["video"].add(block.video)
        census["audio"].add(block.audio)
        drift_points += len(drift.add(index, block)[0])
    for kind in census.values():
        kind.finish()

    kinds = [Kind(name, kind) for name, kind in census.items() if kind.packets]
    drift, drift_bands, drift_range = Drift(), Bands(drift_points), Range()
    for index, block in logs.blocks(SECOND_READING):
        for kind in kinds:
            kind.add(block.video if kind.name == "video" else block.audio)
        times, differences = drift.add(index, block)
        milliseconds = differences * 1000.0
        drift_bands.add(times, milliseconds)
        drift_range.add(milliseconds)
    kinds = [kind.finish() for kind in kinds]
    if not drift_points:
        return Capture(kinds, None, None)
    return Capture(kinds, drift_range, drift_bands.result())
