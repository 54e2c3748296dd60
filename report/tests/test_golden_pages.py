"""The report's pages of the test logs against the pages it wrote before it read the logs in blocks and
kept only bounded state (golden/, with the logs they were made from; the damaged, cut and long logs are
made here the same way), cell by cell: every table cell, heading, list of packet ids and line of text,
and the pixels of every picture."""
import pathlib
import shutil

import pytest

import page_cells
from conftest import damage, run_report, windows_lines
from long_log import write_long_log

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"


def _copy(name):
    return lambda folder: shutil.copy(GOLDEN / name, folder / name)


def _damaged(folder):
    lines = (GOLDEN / "capture-fix0.log").read_bytes().splitlines(keepends=True)
    (folder / "damaged.log").write_bytes(windows_lines(damage(lines)))


def _parts(folder):
    """The -fix 1 capture in three parts, as a long capture comes."""
    lines = (GOLDEN / "capture-fix1.log").read_bytes().splitlines(keepends=True)
    for number, (start, end) in enumerate(((0, 150), (150, 400), (400, len(lines))), 1):
        (folder / f"part-{number}.log").write_bytes(b"".join(lines[start:end]))


# page: (logs in the order given, how they are made)
CASES = {
    "capture-fix0": (["capture-fix0.log"], [_copy("capture-fix0.log")]),
    "capture-fix1": (["capture-fix1.log"], [_copy("capture-fix1.log")]),
    "damaged": (["damaged.log"], [_damaged]),
    "video-audio": (["video.log", "audio.log"], [_copy("video.log"), _copy("audio.log")]),
    "parts": (["part-1.log", "part-2.log", "part-3.log"], [_parts]),
    "long": (["long-1.log", "long-2.log"],
             [lambda folder: write_long_log([folder / "long-1.log", folder / "long-2.log"], [55555])]),
    # Timestamps that outgrow their width of 10 half-way.
    "later": (["later.log"], [lambda folder: write_long_log([folder / "later.log"], offset=10**10 - 7 * 10**8)]),
}


@pytest.mark.parametrize("case", CASES)
def test_page_is_the_same_cell_by_cell(case, tmp_path):
    logs, makers = CASES[case]
    for make in makers:
        make(tmp_path)
    run = run_report(*logs, "-o", "page.html", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    compared, differ = page_cells.compare((GOLDEN / f"{case}.html").read_text(encoding="utf-8"),
                                          (tmp_path / "page.html").read_text(encoding="utf-8"))
    assert differ == [] and compared > 60
