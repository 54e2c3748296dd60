"""The bounded summaries of a series that arrives in blocks give exactly what numpy gives on the whole
series: the pictures' bands, the mean of a long series, the thinned-out markers, the median of the
distinct values."""
import numpy as np
import pytest

from series import BINS, Bands, Picks, Sum, Tally


def _blocks(values, rng):
    """The values cut at random places, with empty blocks among them."""
    cuts = np.sort(rng.integers(0, len(values) + 1, 12))
    return np.split(values, cuts)


def _bands_of_whole(x, y):
    """The bins as drawn from the whole series: the smallest, mean and largest of consecutive points."""
    if len(x) <= 2 * BINS:
        return x, y
    size = -(-len(x) // BINS)
    count = -(-len(x) // size)
    rows = np.concatenate([y, np.repeat(y[-1:], count * size - len(y))]).reshape(count, size)
    return x[::size], rows.min(axis=1), rows.mean(axis=1), rows.max(axis=1)


@pytest.mark.parametrize("n", [0, 7, 2 * BINS, 2 * BINS + 1, 4500, 12345, 100000, 20 * 8192 + 3])
def test_summaries_in_blocks_equal_numpy_on_the_whole_series(n):
    rng = np.random.default_rng(n)
    x = np.arange(n, dtype=np.int64) + 5
    y = rng.standard_normal(n) * rng.random(n) * 1e4 + np.linspace(-1e5, 1e5, n)  # no two sums alike
    bands, total, picks = Bands(n), Sum(), Picks(n, 600)
    for at in _blocks(np.arange(n), rng):
        bands.add(x[at], y[at])
        total.add(y[at])
        picks.add(x[at], y[at])
    for got, expected in zip(bands.result(), _bands_of_whole(x, y)):
        assert np.array_equal(got, expected)
    if n:
        assert total.mean() == y.mean()
    chosen = np.arange(n) if n <= 600 else np.linspace(0, n - 1, 600).astype(np.int64)
    ids, values = picks.result(2)
    assert np.array_equal(ids, x[chosen]) and np.array_equal(values, y[chosen])


@pytest.mark.parametrize("steps", [[3600] * 9 + [7200], [3600, 3601] * 50, [1920] * 5 + [1921] * 5 + [-90000, 0],
                                   [1, 2**62, 2**62 + 1, 5]])
def test_median_and_counts_of_distinct_values(steps):
    values = np.array(steps, np.int64)
    rng = np.random.default_rng(1)
    rng.shuffle(values)
    tally = Tally()
    for part in _blocks(values, rng):
        tally.add(part)
    forward = tally.values > 0
    assert int(tally.median(forward)) == int(np.median(values[values > 0]))
    assert tally.count(tally.values <= 0) == np.count_nonzero(values <= 0)
    assert tally.count(tally.values > 3 * 3600) == np.count_nonzero(values > 3 * 3600)
