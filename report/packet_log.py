"""Reads the packet logs of trsn.mediatap block by block into numpy arrays, without a Python loop per line.

A packet line, as the tool writes it (widths are minimum widths, right-aligned; a longer value is written
in full, as the missing-timestamp value -9223372036854775808 is in the width of 10):

    V packet_id=<id, 20 digits with leading zeros>   key=<0|1>   at=<seconds, %.2f, width 16>
       pts=<w10>   dts=<w10>   orpts=<w10>   ordts=<w10>   dur=<w5>   size=<bytes>

on one line, ending in LF (CR LF from the Windows build). An audio line starts with "A packet_id=" and has
eight spaces instead of "   key=" and its digit.

Most lines have every value within its width: those are read from fixed columns (fitting_lines). A line
with a value past its width is read by the positions of its "=", each value from a window that ends where
the value ends. A line that this strict reading rejects is tried once more with a regular expression;
only what that rejects too counts as a bad line.

The logs are read in blocks, and can be read again: a second reading gives the same lines, even of a log
that has grown since the first.
"""
from __future__ import annotations

import dataclasses
import re

import numpy as np

from fitting_lines import AUDIO_LABELS, VIDEO_LABELS, parse_fitting, rows, stamp_widths

MISSING = np.iinfo(np.int64).min  # FFmpeg's value for a missing timestamp
CHUNK_BYTES = 1 << 20
LONGEST_LINE = 1 << 16  # a longer line is bad; the reader does not hold more of it than this
FIRST_BAD_LINES = 10  # line numbers kept per file

COLUMNS = ("line", "id", "key", "time", "pts", "dts", "orig_pts", "orig_dts", "duration", "size")
NUMBERS = COLUMNS[1:2] + COLUMNS[3:]
_EMPTY = np.zeros(0, np.int64)
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
    size: int = 0  # bytes read
    misplaced: int = 0  # lines with their fixed bytes in place that were not read from fixed columns


@dataclasses.dataclass
class Packets:
    """The packet lines of one kind in a block, in the order of the lines."""
    line: np.ndarray  # int64 line number within the log, from 0
    id: np.ndarray  # int64 packet count of its kind
    key: np.ndarray  # bool (video)
    time: np.ndarray  # float64 seconds ("at")
    pts: np.ndarray  # int64, as written (after repair)
    dts: np.ndarray
    orig_pts: np.ndarray  # int64, as read
    orig_dts: np.ndarray
    duration: np.ndarray  # int64
    size: np.ndarray  # int64 bytes

    def __len__(self):
        return len(self.line)


@dataclasses.dataclass
class Block:
    """The lines of one block of a log."""
    video: Packets
    audio: Packets
    bad: np.ndarray  # line numbers within the log of the lines not read
    lines: int
    misplaced: int  # lines with their fixed bytes in place that were not read from fixed columns


_POW10 = -(10 ** np.arange(INT_WIDTH - 2, -1, -1, dtype=np.int64))  # negative, so -2^63 fits
_INT64_MIN_DIGITS = np.frombuffer(b"9223372036854775808", np.uint8) - 48


def _windows(buf, start, end, width):
    """The bytes of [start, end) of each row, right-aligned in width columns, spaces in front. Rows whose
    value is longer than width, or empty, are flagged."""
    chars = rows(buf, end - width, width)
    chars[np.arange(-width, 0) < (start - end)[:, None]] = 32
    return chars, (end - start <= width) & (end > start)


def _sign_and_digits(chars):
    """Checks that each row (the last axis) is spaces, an optional minus sign and at least one digit, and
    returns (ok, negative, digit values with 0 elsewhere)."""
    digit = chars - 48
    is_digit = digit < 10  # uint8: anything below "0" wraps around
    is_space = chars == 32
    is_minus = chars == 45
    ok = (is_digit | is_space | is_minus).all(axis=-1) & is_digit[..., -1]
    ok &= ~(~is_space[..., :-1] & is_space[..., 1:]).any(axis=-1)  # no space once the value began
    ok &= ~(is_minus[..., 1:] & ~is_space[..., :-1]).any(axis=-1)  # a sign only in front
    digit[~is_digit] = 0
    return ok, is_minus.any(axis=-1), digit


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
    return (rows(buf, at - len(label), len(label)) == np.frombuffer(label, np.uint8)).all(axis=1)


def _equal_signs(buf, starts, ends, count):
    """The positions of the "=" of each line [starts, ends), as rows of a matrix for the lines with count
    of them, and a mask of those lines."""
    lengths = ends - starts
    joined = np.arange(lengths.sum()) + np.repeat(starts - (np.cumsum(lengths) - lengths), lengths)
    found = joined[buf[joined] == 61]
    first = np.searchsorted(found, starts)
    counted = np.searchsorted(found, ends) - first == count
    return found[first[counted, None] + np.arange(count)], counted


def _parse_general(buf, starts, ends, eq, labels):
    """Reads rows by the positions of their "=", whatever the widths of their values."""
    n = len(starts)
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


def _read_again(buf, starts, ends, labels, columns):
    """Reads lines that the fixed columns rejected by the positions of their "=", and what that rejects
    with a regular expression, into the rows of columns. Returns a mask of the lines read."""
    ok = np.zeros(len(starts), bool)
    eq, counted = _equal_signs(buf, starts, ends, len(labels))
    general = np.flatnonzero(counted)
    values, ok[general] = _parse_general(buf, starts[general], ends[general], eq, labels)
    for name, column in columns.items():
        column[general] = values[name]
    for row in np.flatnonzero(~ok):
        values = _parse_slowly(bytes(buf[starts[row]:ends[row]]))
        if values:
            ok[row] = True
            for name, column in columns.items():
                column[row] = values[name]
    return ok


def _read_fitting(buf, starts, ends, names, check):
    """parse_fitting of the lines, a group of lines with the same width of timestamps at a time."""
    widths = stamp_widths(buf, starts)
    if len(widths) and widths[0] and (widths == widths[0]).all():
        return parse_fitting(buf, starts, ends, names, check, widths[0])
    n = len(starts)
    columns = {name: np.zeros(n, np.float64 if name == "time" else np.int64) for name in names}
    columns["key"] = np.zeros(n, bool)
    placed, ok = np.zeros(n, bool), np.zeros(n, bool)
    for width in np.unique(widths[widths > 0]):
        group = np.flatnonzero(widths == width)
        values, placed[group], ok[group] = parse_fitting(buf, starts[group], ends[group], names, check, width)
        for name, column in values.items():
            columns[name][group] = column
    return columns, placed, ok


def parse_lines(data, first_line=0, names=NUMBERS, check=True):
    """Reads a block of whole lines, each ending in LF, the first of them line first_line of its log:
    the numbers named and "key" of each kind (the other columns are left empty), the numbers of the lines
    not read, and how many lines had their fixed bytes in place but were not read from them. Without
    check, such lines count as read (fitting_lines.parse_fitting)."""
    buf = np.frombuffer(data, np.uint8)
    newlines = np.flatnonzero(buf == 10)
    n = len(newlines)
    starts = np.empty(n, np.int64)
    starts[0:1] = 0
    starts[1:] = newlines[:-1] + 1
    ends = newlines - ((buf[np.maximum(newlines - 1, 0)] == 13) & (newlines > starts))
    lead = buf[starts]
    # The video lines, then the audio lines: each kind's rows are one slice of the columns.
    kinds = [np.flatnonzero(lead == ord("V")), np.flatnonzero(lead == ord("A"))]
    lines = np.concatenate(kinds)
    columns, placed, ok = _read_fitting(buf, starts[lines], ends[lines], names, check)
    misplaced = int(np.count_nonzero(placed & ~ok)) if check else 0
    packets = []
    first = 0
    for kind, labels in zip(kinds, (VIDEO_LABELS, AUDIO_LABELS)):
        part = slice(first, first + len(kind))
        first += len(kind)
        read = ok[part]
        values = {name: column[part] for name, column in columns.items()}
        if not read.all():
            again = np.flatnonzero(~read)
            retried = {name: column[again] for name, column in values.items()}
            read[again] = _read_again(buf, starts[kind[again]], ends[kind[again]], labels, retried)
            for name, column in retried.items():
                values[name][again] = column
            kind = kind[read]
            values = {name: column[read] for name, column in values.items()}
        packets.append(Packets(line=kind + first_line, **{name: values.get(name, _EMPTY) for name in COLUMNS[1:]}))
    if len(lines) == n and ok.all():
        bad = _EMPTY
    else:
        good = np.zeros(n, bool)
        for kind in packets:
            good[kind.line - first_line] = True
        bad = np.flatnonzero(~good) + first_line
    return Block(*packets, bad=bad, lines=n, misplaced=misplaced)


def _blocks(stream, limit):
    """Blocks of whole lines of the first limit bytes, each ending in LF; a line longer than LONGEST_LINE
    is cut down to that length (it is bad anyway). Returns the number of bytes read at the end."""
    carry = b""
    skipping = False
    size = 0
    while limit is None or size < limit:
        block = stream.read(CHUNK_BYTES if limit is None else min(CHUNK_BYTES, limit - size))
        if not block:
            break
        size += len(block)
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
    return size


class Logs:
    """The logs of one capture, read in the order given, as one capture."""

    def __init__(self, paths):
        self.paths = list(paths)
        self.stats = None  # FileStats of each log, once read

    def blocks(self, names=NUMBERS):
        """Yields (index of the log, Block) for every block of every log, with the numbers named. The
        first reading counts the lines of each log and raises LogError for a log that cannot be read or
        holds no packet line; a later one reads the same bytes again, and in a log where the first found
        no line with its fixed bytes in place that was not read from them, takes such lines as read."""
        first = self.stats is None
        stats = [FileStats(path) for path in self.paths] if first else self.stats
        for index, (path, file_stats) in enumerate(zip(self.paths, stats)):
            lines = 0
            try:
                with open(path, "rb") as stream:
                    reader = _blocks(stream, None if first else file_stats.size)
                    while True:
                        try:
                            data = next(reader)
                        except StopIteration as end:
                            file_stats.size = end.value
                            break
                        block = parse_lines(data, lines, names, first or file_stats.misplaced > 0)
                        lines += block.lines
                        if first:
                            _count(file_stats, block)
                        yield index, block
            except FileNotFoundError:
                raise LogError(f"{path}: no such file") from None
            except IsADirectoryError:
                raise LogError(f"{path}: is a directory") from None
            except OSError as error:
                raise LogError(f"{path}: {error.strerror or error}") from None
            if first and not file_stats.packets:
                what = "empty" if not file_stats.lines else f"{file_stats.lines} lines"
                raise LogError(f"{path}: no packet line ({what})")
        self.stats = stats


def _count(file_stats, block):
    room = FIRST_BAD_LINES - len(file_stats.first_bad)
    file_stats.first_bad.extend(int(b) + 1 for b in block.bad[:max(room, 0)])
    file_stats.lines += block.lines
    file_stats.bad_lines += len(block.bad)
    file_stats.packets += len(block.video) + len(block.audio)
    file_stats.misplaced += block.misplaced
