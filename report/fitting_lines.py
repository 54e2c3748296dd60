"""Reads the packet lines whose values all fit their widths, which is nearly every line of a log. Each
value then sits in fixed columns, the same for video and audio lines (an audio line has spaces where a
video line has "   key=" and its digit), so a block of such lines is one matrix of bytes, checked and
read with a few whole-matrix operations (no table look-ups, which cost far more per byte).

The four timestamps have a width of 10, which a 90 kHz clock outgrows after 31 hours: from then on the
lines of a long capture have them all one or more digits wider, in columns of their own.

A line this reader rejects is not necessarily bad: packet_log reads it once more by the positions of its
"=", and then with a regular expression.
"""
from __future__ import annotations

import functools

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

VIDEO_LABELS = (b"V packet_id", b"   key", b"   at", b"   pts", b"   dts", b"   orpts", b"   ordts", b"   dur",
                b"   size")
AUDIO_LABELS = (b"A packet_id", b"           at", b"   pts", b"   dts", b"   orpts", b"   ordts", b"   dur",
                b"   size")
STAMP_WIDTHS = range(10, 20)  # of pts, dts, orpts and ordts: the width the tool writes, or all wider
PTS_COLUMN = 69  # where the PTS starts, in both kinds of line
SIZE_DIGITS = 12  # a longer size, or one with spaces or a sign, is read by the positions of the "="
TILE_ROWS = 1 << 13  # more lines than a block of packet lines has
_POW10 = 10 ** np.arange(SIZE_DIGITS + 1, dtype=np.int64)
_SEVEN_BYTES = np.uint64((1 << 56) - 1)


def rows(buf, first, width):
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


class Layout:
    """The columns of a line whose values all fit their widths: its fixed bytes, the columns that must
    be digits, those that may also be a space or a sign, and the column ranges of each number."""

    def __init__(self, stamp_width):
        text, spans = b"", []
        for label, width in zip(VIDEO_LABELS, (20, 1, 16) + (stamp_width,) * 4 + (5, 0)):
            text += label + b"="
            spans.append((len(text), len(text) + width))
            text += b"?" * width
        self.width = len(text)  # where the size starts
        self.row_width = -(-(self.width + SIZE_DIGITS + 1) // 8) * 8  # and the end of the line
        identity, key, time, *stamps = spans
        assert stamps[0][0] == PTS_COLUMN
        self.key = key[0]
        # The kind's own bytes: the letter, and the 8 bytes up to the key (one word of a row).
        self.kind_word = self.key // 8
        assert self.key % 8 == 7 and text[self.key - 7:self.key - 4] == b"   "
        video_word = np.frombuffer(text[self.key - 7:self.key] + b"0", np.uint64)[0]
        self.video_word = video_word & ~np.uint64(0xFF << 56)  # without the key's digit
        self.audio_word = np.frombuffer(b" " * 8, np.uint64)[0]
        text = bytearray(text) + b"\0" * (self.row_width - len(text))
        text[identity[0]:identity[0] + 2] = b"00"  # a larger id takes the general road
        text[time[1] - 3] = ord(".")
        fixed = np.array([c != ord("?") for c in text[:self.width]] + [False] * (self.row_width - self.width))
        fixed[0] = False
        fixed[self.kind_word * 8:self.kind_word * 8 + 8] = False
        self.fixed = np.where(fixed, 0xFF, 0).astype(np.uint8).view(np.uint64)
        self.text = (np.frombuffer(bytes(text), np.uint8) & self.fixed.view(np.uint8)).view(np.uint64)

        self.digit = np.zeros(self.row_width, bool)  # a digit
        self.signed = np.zeros(self.row_width, bool)  # a space, a sign or a digit
        self.digit[identity[0] + 2:identity[1]] = True
        self.digit[time[1] - 4] = self.digit[time[1] - 2:time[1]] = True
        self.signed[time[0]:time[1] - 4] = True
        # (name, its column ranges, read in order; may have a sign): the time is read in hundredths.
        self.numbers = {"id": ([(identity[0] + 2, identity[1])], False),
                        "time": ([(time[0], time[1] - 3), (time[1] - 2, time[1])], True)}
        for name, (first, end) in zip(("pts", "dts", "orig_pts", "orig_dts", "duration"), stamps):
            self.numbers[name] = ([(first, end)], True)
            self.signed[first:end - 1] = True
            self.digit[end - 1] = True
        # Where a number's sign may be: its columns as (word of a row, mask of the word's bytes).
        self.sign_words = {}
        for name, (ranges, signed) in self.numbers.items():
            if signed:
                words = {}
                for column in range(*ranges[0]):
                    words[column // 8] = words.get(column // 8, 0) | 0xFF << 8 * (column % 8)
                self.sign_words[name] = [(word, np.uint64(mask)) for word, mask in words.items()]
        self._tiles = []

    def tiles(self, n):
        """The fixed bytes and their mask as words, and the masks of the digit and signed columns, as
        matrices of n rows: whole-matrix operations on matrices of one shape run several times faster
        than with a row broadcast over each row of a matrix. Just the rows for an unusually large n."""
        rows = (self.text, self.fixed, self.digit, self.signed)
        if n > TILE_ROWS:
            return rows
        if not self._tiles:
            self._tiles = [np.tile(row, (TILE_ROWS, 1)) for row in rows]
        return [tile[:n] for tile in self._tiles]


def stamp_widths(buf, starts):
    """The width of the timestamps' columns of each line whose "   dts=" is where a width puts it, else
    0: the layout to read the line with."""
    widths = np.zeros(len(starts), np.int64)
    label = np.frombuffer(b"   dts=\0", np.uint64)[0]
    todo = np.arange(len(starts))
    for width in STAMP_WIDTHS:
        found = (rows(buf, starts[todo] + PTS_COLUMN + width, 8).view(np.uint64)[:, 0] & _SEVEN_BYTES) == label
        widths[todo[found]] = width
        todo = todo[~found]
        if not len(todo):
            break
    return widths


@functools.cache  # by the width of the timestamps, made when first needed
def layout_for(stamp_width):
    return Layout(stamp_width)


def _number(digit, pairs, ranges):
    """The number in the column ranges of each row: a digit if their count is odd, then two at a
    time."""
    value = np.zeros(len(digit), np.int64)
    for first, end in ranges:
        if (end - first) % 2:
            value += digit[:, first]
            first += 1
        for column in range(first, end, 2):
            value *= 100
            value += pairs[:, column]
    return value


def _checked(chars, is_digit, next_is_digit, length, layout, digit_columns, signed_columns):
    """The rows whose numbers are spaces, a sign and digits in their columns, with digits up to their
    ends, and whose size is digits up to the end of the line."""
    signed = (chars == 45) | is_digit  # a sign or a digit must be followed by a digit, or be a space
    signed &= next_is_digit
    signed |= chars == 32
    bad = signed_columns > signed
    bad |= digit_columns > is_digit
    ok = np.bitwise_or.reduce(bad.view(np.uint64), axis=1) == 0
    # The line ends in CR or LF, so a size of digits only is the run of digits from its column.
    return ok & (np.argmin(is_digit[:, layout.width:layout.width + SIZE_DIGITS + 1], axis=1) == length)


def parse_fitting(buf, starts, ends, names, check=True, stamp_width=10):
    """Reads the lines [starts, ends) of buf, each a video or an audio line, as lines whose values fit
    their widths: the numbers named (of "id", "time", "pts", "dts", "orig_pts", "orig_dts", "duration",
    "size") and "key". Returns (columns, placed, ok): a mask of the lines whose fixed bytes are in place,
    and one of the lines read; the values of the others are meaningless. Without check, a line whose
    bytes are in place counts as read (for lines read with the check before)."""
    layout = layout_for(stamp_width)
    chars = rows(buf, starts, layout.row_width)
    n, width = chars.shape
    text, fixed, digit_columns, signed_columns = layout.tiles(n)
    words = chars.view(np.uint64)
    misfit = words ^ text
    misfit &= fixed
    placed = np.bitwise_or.reduce(misfit, axis=1) == 0
    length = ends - starts - layout.width
    placed &= (length >= 1) & (length <= SIZE_DIGITS)
    kind_word, key = words[:, layout.kind_word], chars[:, layout.key]
    video = (chars[:, 0] == ord("V")) & ((kind_word & ~np.uint64(0xFF << 56)) == layout.video_word)
    video &= (key == ord("0")) | (key == ord("1"))
    placed &= video | ((chars[:, 0] == ord("A")) & (kind_word == layout.audio_word))
    # Digit values, and after them one more byte, so that shifted by one they are a matrix view too.
    digits = np.empty(n * width + 1, np.uint8)
    np.subtract(chars.ravel(), 48, out=digits[:-1])
    digits[-1] = 255
    is_digits = digits < 10  # uint8: anything below "0" wraps around
    digit, is_digit = digits[:-1].reshape(n, width), is_digits[:-1].reshape(n, width)
    ok = placed
    if check:
        ok = ok & _checked(chars, is_digit, is_digits[1:].reshape(n, width), length, layout, digit_columns,
                           signed_columns)

    digits *= is_digits.view(np.uint8)  # spaces and signs count as 0
    pairs = digits[:-1] * 10  # a column's digit and the next one's
    pairs += digits[1:]
    pairs = pairs.reshape(n, width)
    minus = (chars == 45).view(np.uint64)
    columns = {"key": video & (key == ord("1"))}
    for name in names:
        if name == "size":  # from its column to the end of the line: the bytes after it are cut off
            value = _number(digit, pairs, [(layout.width, layout.width + SIZE_DIGITS)])
            columns[name] = value // _POW10[SIZE_DIGITS - np.clip(length, 0, SIZE_DIGITS)]
            continue
        value = _number(digit, pairs, layout.numbers[name][0])
        if name in layout.sign_words:
            negative = np.zeros(n, np.uint64)
            for word, mask in layout.sign_words[name]:
                negative |= minus[:, word] & mask
            np.negative(value, out=value, where=negative != 0)
        columns[name] = value / 100.0 if name == "time" else value
    return columns, placed, ok
