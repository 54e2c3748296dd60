"""Reads the packet logs of trsn.mediatap into numpy arrays, without a Python loop per line.

A packet line, as the tool writes it (widths are minimum widths, right-aligned; a longer value is written
in full, as the missing-timestamp value -9223372036854775808 is in the width of 10):

    V packet_id=<id, 20 digits with leading zeros>   key=<0|1>   at=<seconds, %.2f, width 16>
       pts=<w10>   dts=<w10>   orpts=<w10>   ordts=<w10>   dur=<w5>   size=<bytes>

on one line, ending in LF (CR LF from the Windows build). An audio line starts with "A packet_id=" and has
eight spaces instead of "   key=" and its digit.

The reader works on blocks of lines and finds every "=" of a block at once. Most lines have every value
within its width, so every "=" in its place: those are checked and read from fixed columns, with a few
operations on the matrix of their bytes. A line with a value past its width is read by the positions of
its "=", each value from a window that ends where the value ends. A line that this strict reading
rejects is tried once more with a regular expression; only what that rejects too counts as a bad line.
"""
from __future__ import annotations

import dataclasses
import re

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

MISSING = np.iinfo(np.int64).min  # FFmpeg's value for a missing timestamp
CHUNK_BYTES = 1 << 22
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

    def split(self, mask):
        """(rows where mask is set, the other rows), column by column; these packets are left empty."""
        chosen, others = {}, {}
        rest = ~mask
        for name in COLUMNS:
            column = getattr(self, name)
            setattr(self, name, column[:0])
            chosen[name], others[name] = column[mask], column[rest]
            del column
        return Packets(**chosen), Packets(**others)


_POW10 = -(10 ** np.arange(INT_WIDTH - 2, -1, -1, dtype=np.int64))  # negative, so -2^63 fits
_INT64_MIN_DIGITS = np.frombuffer(b"9223372036854775808", np.uint8) - 48


def _rows(buf, first, width):
    """buf[first:first + width] for each first, as rows of a matrix; bytes outside buf read as spaces.
    Rows are copied from a sliding-window view, without a matrix of indices."""
    view = sliding_window_view(buf, width) if width <= len(buf) else np.empty((0, width), np.uint8)
    inside = (first >= 0) & (first <= len(buf) - width)
    if inside.all():
        return view[first]
    out = np.full((len(first), width), 32, np.uint8)
    out[inside] = view[first[inside]]
    edge = np.flatnonzero(~inside)
    idx = first[edge, None] + np.arange(width)
    valid = (idx >= 0) & (idx < len(buf))
    out[edge] = np.where(valid, buf[np.clip(idx, 0, max(len(buf) - 1, 0))], 32)
    return out


def _windows(buf, start, end, width):
    """The bytes of [start, end) of each row, right-aligned in width columns, spaces in front. Rows whose
    value is longer than width, or empty, are flagged."""
    chars = _rows(buf, end - width, width)
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


def _small_numbers(chars):
    """Right-aligned numbers of at most 15 digits (exact in a double): (values, ok)."""
    ok, negative, digit = _sign_and_digits(chars)
    magnitude = digit.astype(np.float64) @ (10.0 ** np.arange(chars.shape[-1] - 1, -1, -1))
    return np.where(negative, -magnitude, magnitude).astype(np.int64), ok


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
    return (_rows(buf, at - len(label), len(label)) == np.frombuffer(label, np.uint8)).all(axis=1)


# Character classes of the digits of a number, for the fitting lines: space 0, minus 1, digit 2, other 3.
_RANK = np.full(256, 3, np.uint8)
_RANK[32], _RANK[45], _RANK[48:58] = 0, 1, 2


class Layout:
    """A line whose values all fit their widths, column by column: the fixed bytes and the columns of
    the numbers."""

    def __init__(self, labels):
        video = labels is VIDEO_LABELS
        widths = (20, 1, 16, 10, 10, 10, 10, 5, 0) if video else (20, 16, 10, 10, 10, 10, 5, 0)
        text, self.equals, spans = b"", [], []
        for label, width in zip(labels, widths):
            text += label + b"="
            self.equals.append(len(text) - 1)
            spans.append((len(text), len(text) + width))
            text += b"?" * width
        self.equals = np.array(self.equals)
        self.width = len(text)  # where the size starts
        identity, *rest = spans
        key, time, *stamps = rest if video else [None] + rest
        text = bytearray(text)
        text[identity[0]:identity[0] + 2] = b"00"  # a larger id takes the general road
        text[time[1] - 3] = ord(".")
        # (name, columns of its digits, may have a sign); the time is read in hundredths.
        numbers = [("id", list(range(identity[0] + 2, identity[1])), False),
                   ("time", list(range(time[0], time[1] - 3)) + [time[1] - 2, time[1] - 1], True)]
        numbers += [(name, list(range(*span)), True)
                    for name, span in zip(("pts", "dts", "orig_pts", "orig_dts", "duration"), stamps[:5])]
        self.names = [name for name, _, _ in numbers]
        columns = sorted({c for _, cs, _ in numbers for c in cs} | ({key[0]} if key else set()))
        place = {c: i for i, c in enumerate(columns)}
        # Repeats of the last column up to a multiple of 8 plus one: every column has a next one, and the
        # tests of the rows work on 8 columns at a time.
        columns += [columns[-1]] * ((1 - len(columns)) % 8 or 8)
        self.columns = np.array(columns)
        self.low = np.zeros(len(columns) - 1, np.uint8)  # rank bounds of each column
        self.high = np.full(len(columns) - 1, 2, np.uint8)
        self.pair = np.zeros(len(columns) - 1, bool)  # column and the next in the same number
        self.numbers = []  # (name, positions of its columns, may have a sign)
        for name, cs, signed in numbers:
            positions = [place[c] for c in cs]
            if signed:
                self.pair[positions[:-1]] = True
                self.low[positions[-1]] = 2
                if name == "time":  # the decimals are digits
                    self.low[positions[-3:]] = 2
            else:
                self.low[positions] = 2
            self.numbers.append((name, positions, signed))
        self.key = key[0] if key else None
        if key:
            self.low[place[key[0]]] = 2
        padded = -(-self.width // 8) * 8
        fixed = np.zeros(padded, np.uint8)
        fixed[:self.width] = [0xFF if c != ord("?") else 0 for c in text]
        fixed[self.columns] = 0
        self.fixed = fixed.view(np.uint64)
        self.text = (np.frombuffer(bytes(text) + bytes(padded - self.width), np.uint8) & fixed).view(np.uint64)
        self.padded = padded


VIDEO_LAYOUT = Layout(VIDEO_LABELS)
AUDIO_LAYOUT = Layout(AUDIO_LABELS)
SIZE_WIDTH = 12


def _parse_fitting(buf, starts, ends, layout):
    """Reads the rows whose values all fit their widths, from fixed columns."""
    n = len(starts)
    chars = _rows(buf, starts, layout.padded)
    ok = ~((chars.view(np.uint64) ^ layout.text) & layout.fixed).any(axis=1)
    values = chars[:, layout.columns]
    rank = _RANK[values]
    here, after = rank[:, :-1], rank[:, 1:]
    bad = (here < layout.low) | (here > layout.high)
    # Within a number: no space or sign after a sign or digit, one sign at most.
    bad |= layout.pair & ((after < here) | ((after & here) == 1))
    ok &= ~np.ascontiguousarray(bad).view(np.uint64).any(axis=1)
    if layout.key is not None:
        ok &= chars[:, layout.key] <= ord("1")
    # Digits column by column (one row per column): a space or sign counts as 0.
    digits = ((values & 15) * (rank >> 1)).T
    signs = (rank == 1).T
    columns = {}
    for name, positions, signed in layout.numbers:
        value = digits[positions[0]].astype(np.int64)
        negative = signs[positions[0]].copy() if signed else None
        for p in positions[1:]:
            value *= 10
            value += digits[p]
            if signed:
                negative |= signs[p]
        columns[name] = np.where(negative, -value, value) if signed else value
    columns["time"] = columns["time"] / 100.0
    columns["key"] = chars[:, layout.key] == ord("1") if layout.key is not None else np.zeros(n, bool)
    size, fits = _windows(buf, starts + layout.width, ends, SIZE_WIDTH)
    columns["size"], good = _small_numbers(size)
    return columns, ok & good & fits


def _parse_kind(buf, starts, ends, equals, first_equal, labels, layout):
    """Reads the rows whose line starts with the label's letter and has one "=" per label. Returns the
    columns and a mask of the rows read."""
    eq = equals[first_equal[:, None] + np.arange(len(labels))]
    # Most lines have every value within its width, so every "=" in its place: those are read from
    # fixed columns, the others by the positions of their "=".
    fitting = (eq - starts[:, None] == layout.equals).all(axis=1) & (ends - starts > layout.width)
    rows = np.flatnonzero(fitting)
    columns, ok = _parse_fitting(buf, starts[rows], ends[rows], layout)
    others = np.flatnonzero(~fitting)
    if len(others):
        more, more_ok = _parse_general(buf, starts[others], ends[others], eq[others], labels)
        order = np.argsort(np.concatenate([rows, others]), kind="stable")
        columns = {name: np.concatenate([columns[name], more[name]])[order] for name in columns}
        ok = np.concatenate([ok, more_ok])[order]
    return columns, ok


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
    for letter, labels, layout in ((ord("V"), VIDEO_LABELS, VIDEO_LAYOUT), (ord("A"), AUDIO_LABELS, AUDIO_LAYOUT)):
        rows = np.flatnonzero((lead == letter) & (equal_count == len(labels)))
        if not len(rows):
            continue
        values, ok = _parse_kind(buf, starts[rows], ends[rows], equals, first_equal[rows], labels, layout)
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
    columns = {}
    for name in COLUMNS:  # one column at a time, letting go of the blocks' pieces as it goes
        columns[name] = np.concatenate([part.pop(name) for part in parts])
    return Packets(**columns), stats
