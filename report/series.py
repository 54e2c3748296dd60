"""What the report keeps of a series that arrives block by block, in a bounded size: its bands over a
fixed number of bins, a sum as numpy takes it, its ends and extremes, the first few values, values at
thinned-out positions, the count of each distinct value. Each gives the same numbers as the numpy operation on the whole
series would, given the length of the series where that decides the result (from a first reading).
"""
from __future__ import annotations

import numpy as np

BINS = 1500  # bins of a long series
SUM_RUN = 8192  # numpy adds a long array in runs of this many values, each pairwise, one after the other


class Bands:
    """A series of n points (x, y) as drawn: for a long one, per bin of consecutive points (at most BINS
    of them), its first x and the smallest, mean and largest y; a short one as it is."""

    def __init__(self, n, bins=BINS):
        self.size = -(-n // bins) if n > 2 * bins else None  # points per bin
        self.x, self.y = [], []  # the points not yet in a bin
        self.bands = []  # (x, low, mean, high) of whole bins

    def add(self, x, y):
        self.x.append(x)
        self.y.append(y)
        if self.size is None or sum(len(part) for part in self.y) < self.size:
            return
        x, y = np.concatenate(self.x), np.concatenate(self.y)
        whole = len(y) // self.size * self.size
        self._bin(x[:whole], y[:whole])
        self.x, self.y = [x[whole:]], [y[whole:]]

    def _bin(self, x, y):
        rows = y.reshape(-1, self.size)
        # A copy of the first xs: a view would hold on to all of them.
        self.bands.append((x[::self.size].copy(), rows.min(axis=1), rows.mean(axis=1), rows.max(axis=1)))

    def result(self):
        """(x, y) of a short series, else (x, low, mean, high) of its bins; the last bin is filled up
        with the series' last value."""
        x = np.concatenate(self.x) if self.x else np.zeros(0, np.int64)
        y = np.concatenate(self.y) if self.y else np.zeros(0)
        if self.size is None:
            return x, y
        if len(y):
            self._bin(x, np.concatenate([y, np.repeat(y[-1:], self.size - len(y))]))
            self.x, self.y = [], []
        if not self.bands:  # fewer points than the first reading counted: the log changed in between
            return x, y, y, y
        return tuple(np.concatenate(part) for part in zip(*self.bands))


class Sum:
    """The sum and mean of a float64 series, added up as numpy adds up the whole array."""

    def __init__(self):
        self.total = 0.0
        self.count = 0
        self.rest = []  # values of the run not yet added

    def add(self, values):
        self.count += len(values)
        self.rest.append(values)
        if sum(len(part) for part in self.rest) < SUM_RUN:
            return
        values = np.concatenate(self.rest)
        whole = len(values) // SUM_RUN * SUM_RUN
        for start in range(0, whole, SUM_RUN):
            self.total += np.add.reduce(values[start:start + SUM_RUN])
        self.rest = [values[whole:]]

    def mean(self):
        rest = np.concatenate(self.rest) if self.rest else np.zeros(0)
        return (self.total + np.add.reduce(rest)) / self.count


class Range:
    """The first, last, smallest and largest value of a series."""

    def __init__(self):
        self.first = self.last = self.low = self.high = None

    def add(self, values):
        if not len(values):
            return
        low, high = values.min(), values.max()
        if self.first is None:
            self.first, self.low, self.high = values[0], low, high
        self.last, self.low, self.high = values[-1], min(self.low, low), max(self.high, high)


class First:
    """The first limit values of a series."""

    def __init__(self, limit):
        self.limit = limit
        self.parts = []
        self.count = 0

    def add(self, values):
        if self.count < self.limit and len(values):
            self.parts.append(values[:self.limit - self.count].copy())
            self.count += len(self.parts[-1])

    def result(self):
        return np.concatenate(self.parts) if self.parts else np.zeros(0, np.int64)


class Picks:
    """The values at limit evenly spread positions of a series of n (all of them when there are no more
    than limit), as markers of the series are thinned out."""

    def __init__(self, n, limit):
        self.wanted = np.arange(n) if n <= limit else np.linspace(0, n - 1, limit).astype(np.int64)
        self.seen = 0
        self.parts = []

    def add(self, *columns):
        low, high = np.searchsorted(self.wanted, (self.seen, self.seen + len(columns[0])))
        if high > low:
            at = self.wanted[low:high] - self.seen
            self.parts.append(tuple(column[at] for column in columns))
        self.seen += len(columns[0])

    def result(self, columns):
        if not self.parts:
            return tuple(np.zeros(0) for _ in range(columns))
        return tuple(np.concatenate(part) for part in zip(*self.parts))


class Tally:
    """The count of each distinct value of an int64 series (a steady stream has a handful)."""

    def __init__(self):
        self.values = np.zeros(0, np.int64)  # sorted
        self.counts = np.zeros(0, np.int64)

    def add(self, values):
        if len(self.values):
            at = np.minimum(np.searchsorted(self.values, values), len(self.values) - 1)
            known = self.values[at] == values
            self.counts += np.bincount(at[known], minlength=len(self.values))
            values = values[~known]
        if len(values):
            new, counts = np.unique(values, return_counts=True)
            merged = np.concatenate([self.values, new])
            order = np.argsort(merged, kind="stable")
            self.values, self.counts = merged[order], np.concatenate([self.counts, counts])[order]

    def count(self, mask):
        """How many values the mask of the distinct values picks."""
        return int(self.counts[mask].sum())

    def median(self, mask):
        """np.median of the values that the mask picks, which numpy takes as the mean of the middle one
        or two of them."""
        values, counts = self.values[mask], self.counts[mask]
        total = int(counts.sum())
        ends = np.cumsum(counts)
        middle = [total // 2] if total % 2 else [total // 2 - 1, total // 2]
        return np.mean(values[np.searchsorted(ends, middle, side="right")])
