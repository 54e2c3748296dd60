"""Reads the packet logs of trsn.mediatap into numpy arrays, without a Python loop per line.

A packet line, as the tool writes it (widths are minimum widths, right-aligned; a longer value is written
in full, as the missing-timestamp value -9223372036854775808 is in the width of 10):

    V packet_id=<id, 20 digits with leading zeros>   key=<0|1>   at=<seconds, %.2f, width 16>
       pts=<w10>   dts=<w10>   orpts=<w10>   ordts=<w10>   dur=<w5>   size=<bytes>

on one line, ending in LF (CR LF from the Windows build). An audio line starts with "A packet_id=" and has
eight spaces instead of "   key=" and its digit.

The reader finds every "=" of a block of lines at once, checks the labels in front of them and reads each
value from a fixed window that ends where the value ends, so values that overflow their width are read
like the others. A line that this strict reading rejects is tried once more with a regular expression;
only what that rejects too counts as a bad line.
"""
from __future__ import annotations

import dataclasses
import re

import numpy as np

MISSING = np.iinfo(np.int64).min  # FFmpeg's value for a missing timestamp
CHUNK_BYTES = 1 << 24
LONGEST_LINE = 1 << 16  # a longer line is bad; the reader does not hold more of it than this
FIRST_BAD_LINES = 10  # line numbers kept per file

COLUMNS = ("video", "id", "key", "time", "pts", "dts", "orig_pts", "orig_dts", "duration", "size", "file")
# Values read from each line after the label in front of them, video and audio line.
VIDEO_LABELS = (b"V packet_id", b"   key", b"   at", b"   pts", b"   dts", b"   orpts", b"   ordts", b"   dur",
                b"   size")
AUDIO_LABELS = (b"A packet_id", b"           at", b"   pts", b"   dts", b"   orpts", b"   ordts", b"   dur",
                b"   size")
INT_WIDTH = 20  # "-9223372036854775808"
TIME_WIDTH = 24  # "-9223372036854775808.00" (a time base of 1/1 with the missing value)

_NUMBER = rb" *(-?\d+)"
LINE_PATTERNS = {
    ord("V"): re.compile(rb"V packet_id=" + _NUMBER + rb"   key=([01])   at= *(-?\d+\.\d\d)   pts=" + _NUMBER +
                         rb"   dts=" + _NUMBER + rb"   orpts=" + _NUMBER + rb"   ordts=" + _NUMBER + rb"   dur=" +
                         _NUMBER + rb"   size=" + _NUMBER),
    ord("A"): re.compile(rb"A packet_id=" + _NUMBER + rb"           at= *(-?\d+\.\d\d)   pts=" + _NUMBER +
                         rb"   dts=" + _NUMBER + rb"   orpts=" + _NUMBER + rb"   ordts=" + _NUMBER + rb"   dur=" +
                         _NUMBER + rb"   size=" + _NUMBER),
}


class LogError(Exception):
    """A log that cannot be read or holds no packet line."""


@dataclasses.dataclass
class FileStats:
    path: str
    lines: int = 0
    packets: int = 0
    bad_lines: int = 0
    first_bad: list = dataclasses.field(default_factory=list)  # 1-based line numbers


@dataclasses.dataclass
class Packets:
    """One row per packet line, in the order of the logs and their lines."""
    video: np.ndarray  # bool: a video line, else audio
    id: np.ndarray  # int64 packet count of its kind
    key: np.ndarray  # bool (video)
    time: np.ndarray  # float64 seconds ("at")
    pts: np.ndarray  # int64, as written (after repair)
    dts: np.ndarray
    orig_pts: np.ndarray  # int64, as read
    orig_dts: np.ndarray
    duration: np.ndarray  # int64
    size: np.ndarray  # int64 bytes
    file: np.ndarray  # int32 index of the log

    def __len__(self):
        return len(self.id)

    def select(self, mask):
        return Packets(**{name: getattr(self, name)[mask] for name in COLUMNS})


_POW10 = -(10 ** np.arange(INT_WIDTH - 2, -1, -1, dtype=np.int64))  # negative, so -2^63 fits
_INT64_MIN_DIGITS = np.frombuffer(b"9223372036854775808", np.uint8) - 48


def _windows(buf, start, end, width):
    """The bytes of [start, end) of each row, right-aligned in width columns, spaces in front. Rows whose
    value is longer than width are flagged."""
    idx = end[:, None] + np.arange(-width, 0)
    outside = idx < start[:, None]
    chars = buf[np.maximum(idx, 0)]
    chars[outside] = 32
    return chars, (end - start <= width) & (end > start)


def _sign_and_digits(chars):
    """Checks that each row is spaces, an optional minus sign and at least one digit, and returns
    (ok, negative, digit values with 0 elsewhere)."""
    digit = chars - 48
    is_digit = digit < 10  # uint8: anything below "0" wraps around
    is_space = chars == 32
    is_minus = chars == 45
    started = np.maximum.accumulate(~is_space, axis=1)
    before = np.zeros_like(started)
    before[:, 1:] = started[:, :-1]
    ok = (is_digit | is_space | is_minus).all(axis=1) & is_digit[:, -1]
    ok &= ~(is_space & started).any(axis=1)  # no space once the value began
    ok &= ~(is_minus & before).any(axis=1)  # a sign only in front
    digit[~is_digit] = 0
    return ok, is_minus.any(axis=1), digit


def _parse_ints(buf, start, end):
    chars, ok = _windows(buf, start, end, INT_WIDTH)
    good, negative, digit = _sign_and_digits(chars)
    ok &= good & (digit[:, 0] == 0)  # twenty digits are only a padded id
    magnitude = digit[:, 1:].astype(np.int64) @ _POW10  # minus the value: one more number fits
    # Nineteen digits may not fit in 64 bits; compare them with the limit, which only a minus may reach.
    long = np.flatnonzero(ok & (chars[:, 1] >= 49) & (chars[:, 1] <= 57))
    if len(long):
        diff = digit[long, 1:].astype(np.int16) - _INT64_MIN_DIGITS
        first = np.argmax(diff != 0, axis=1)
        over = diff[np.arange(len(long)), first]
        ok[long] &= (over < 0) | ((over == 0) & negative[long])
    value = np.where(negative, magnitude, -magnitude)
    return value, ok


def _parse_seconds(buf, start, end):
    chars, ok = _windows(buf, start, end, TIME_WIDTH)
    good, negative, digit = _sign_and_digits(chars[:, :-3])
    decimals = chars[:, -2:] - 48
    ok &= good & (chars[:, -3] == 46) & (decimals < 10).all(axis=1)
    whole = digit.astype(np.float64) @ (10.0 ** np.arange(TIME_WIDTH - 4, -1, -1))
    # Hundredths first, so that a value comes out as the same double as float() of its text.
    value = (whole * 100.0 + (decimals[:, 0] * 10 + decimals[:, 1])) / 100.0
    return np.where(negative, -value, value), ok


def _label_ok(buf, at, label):
    idx = at[:, None] + np.arange(-len(label), 0)
    return (buf[np.maximum(idx, 0)] == np.frombuffer(label, np.uint8)).all(axis=1) & (idx[:, 0] >= 0)


def _parse_kind(buf, starts, ends, equals, first_equal, labels):
    """Reads the rows whose line starts with the label's letter and has one "=" per label. Returns the
    columns and a mask of the rows read."""
    n = len(starts)
    eq = equals[first_equal[:, None] + np.arange(len(labels))]
    ok = eq[:, 0] == starts + len(labels[0])
    for k, label in enumerate(labels):
        ok &= _label_ok(buf, eq[:, k], label)
    # The end of each value is the start of the next label; the last one ends the line.
    value_end = np.empty_like(eq)
    for k in range(len(labels) - 1):
        value_end[:, k] = eq[:, k + 1] - len(labels[k + 1])
    value_end[:, -1] = ends
    value_start = eq + 1
    columns = {}
    field = 0
    columns["id"], good = _parse_ints(buf, value_start[:, field], value_end[:, field])
    ok &= good
    field += 1
    if labels is VIDEO_LABELS:
        key_char = buf[value_start[:, field]]
        ok &= (value_end[:, field] - value_start[:, field] == 1) & ((key_char == 48) | (key_char == 49))
        columns["key"] = key_char == 49
        field += 1
    else:
        columns["key"] = np.zeros(n, bool)
    columns["time"], good = _parse_seconds(buf, value_start[:, field], value_end[:, field])
    ok &= good
    for name in ("pts", "dts", "orig_pts", "orig_dts", "duration", "size"):
        field += 1
        columns[name], good = _parse_ints(buf, value_start[:, field], value_end[:, field])
        ok &= good
    return columns, ok


def _parse_slowly(line):
    """The same reading of one line with a regular expression; None for a bad line."""
    pattern = LINE_PATTERNS.get(line[0] if line else -1)
    match = pattern.fullmatch(line) if pattern else None
    if not match:
        return None
    video = line[0] == ord("V")
    values = list(match.groups())
    key = video and values.pop(1) == b"1"
    numbers = [int(values[0])] + [int(v) for v in values[2:]]
    if any(not -(1 << 63) <= v < 1 << 63 for v in numbers):
        return None
    return dict(video=video, key=key, id=numbers[0], time=float(values[1]), pts=numbers[1], dts=numbers[2],
                orig_pts=numbers[3], orig_dts=numbers[4], duration=numbers[5], size=numbers[6])


def parse_lines(data):
    """Reads a block of whole lines, each ending in LF. Returns (columns of the packet lines, indices of the
    bad lines within the block, number of lines)."""
    buf = np.frombuffer(data, np.uint8)
    newlines = np.flatnonzero(buf == 10)
    n = len(newlines)
    starts = np.empty(n, np.int64)
    starts[0:1] = 0
    starts[1:] = newlines[:-1] + 1
    ends = newlines - ((buf[np.maximum(newlines - 1, 0)] == 13) & (newlines > starts))
    equals = np.flatnonzero(buf == 61)
    first_equal = np.searchsorted(equals, starts)
    equal_count = np.searchsorted(equals, ends) - first_equal
    lead = buf[starts]

    columns = {name: np.zeros(n, dtype) for name, dtype in (
        ("video", bool), ("key", bool), ("id", np.int64), ("time", np.float64), ("pts", np.int64),
        ("dts", np.int64), ("orig_pts", np.int64), ("orig_dts", np.int64), ("duration", np.int64),
        ("size", np.int64))}
    good = np.zeros(n, bool)
    for letter, labels in ((ord("V"), VIDEO_LABELS), (ord("A"), AUDIO_LABELS)):
        rows = np.flatnonzero((lead == letter) & (equal_count == len(labels)))
        if not len(rows):
            continue
        values, ok = _parse_kind(buf, starts[rows], ends[rows], equals, first_equal[rows], labels)
        rows = rows[ok]
        good[rows] = True
        columns["video"][rows] = letter == ord("V")
        for name, column in values.items():
            columns[name][rows] = column[ok]
    # Lines that look like packet lines but were not read above get a second, slower look.
    for row in np.flatnonzero(~good & ((lead == ord("V")) | (lead == ord("A")))):
        values = _parse_slowly(bytes(buf[starts[row]:ends[row]]))
        if values:
            good[row] = True
            for name, value in values.items():
                columns[name][row] = value
    return {name: column[good] for name, column in columns.items()}, np.flatnonzero(~good), n


def _blocks(stream):
    """Blocks of whole lines, each ending in LF; a line longer than LONGEST_LINE is cut down to that
    length (it is bad anyway)."""
    carry = b""
    skipping = False
    while True:
        block = stream.read(CHUNK_BYTES)
        if not block:
            break
        if skipping:
            cut = block.find(b"\n")
            if cut < 0:
                continue
            block = block[cut:]  # its LF ends the part of the long line that was kept
            skipping = False
        data = carry + block
        cut = data.rfind(b"\n") + 1
        carry = data[cut:]
        if len(carry) > LONGEST_LINE:
            carry = carry[:LONGEST_LINE]
            skipping = True
        if cut:
            yield memoryview(data)[:cut]
    if carry or skipping:
        yield carry + b"\n"


def read_logs(paths):
    """Reads the logs in the order given, as one capture. Raises LogError for a log that cannot be read or
    holds no packet line."""
    parts = []
    stats = []
    for index, path in enumerate(paths):
        file_stats = FileStats(path)
        try:
            with open(path, "rb") as stream:
                for block in _blocks(stream):
                    columns, bad, lines = parse_lines(block)
                    if len(bad):
                        room = FIRST_BAD_LINES - len(file_stats.first_bad)
                        file_stats.first_bad.extend(int(b) + file_stats.lines + 1 for b in bad[:max(room, 0)])
                    file_stats.lines += lines
                    file_stats.bad_lines += len(bad)
                    file_stats.packets += len(columns["id"])
                    columns["file"] = np.full(len(columns["id"]), index, np.int32)
                    parts.append(columns)
        except FileNotFoundError:
            raise LogError(f"{path}: no such file") from None
        except IsADirectoryError:
            raise LogError(f"{path}: is a directory") from None
        except OSError as error:
            raise LogError(f"{path}: {error.strerror or error}") from None
        if not file_stats.packets:
            what = "empty" if not file_stats.lines else f"{file_stats.lines} lines"
            raise LogError(f"{path}: no packet line ({what})")
        stats.append(file_stats)
    packets = Packets(**{name: np.concatenate([part[name] for part in parts]) for name in COLUMNS})
    return packets, stats
